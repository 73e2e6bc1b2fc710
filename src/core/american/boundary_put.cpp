// american/boundary_put.cpp: American puts with one early-exercise boundary, by spectral collocation of the boundary.
#include "american/boundary_put.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numbers>
#include <vector>

#include "american/lane_math.hpp"
#include "lanes.hpp"
#include "fault.hpp"

namespace sorvik {

namespace {

// Quadrature points go through the kernel two at a time, in one SSE2 pair.
using lanes::load;
using lanes::Pair;
using lanes::positive_part;
using lanes::select;
using lanes::splat;
using lanes::store;
using lanes::sum;

/// One option's numbers and those derived from them.
struct Market {
    double spot, strike, years, rate, yield, vol;
    double sqrt_years, vol_sqrt_years;
    double drift;           ///< μ = r − q + σ²/2
    double drift_over_vol;  ///< μ/σ
    double ln_x_over_k;     ///< ln(X/K): 0, or ln(r/q) where the boundary starts below the strike
    double ln_spot_over_x;  ///< ln(S/X)
    double strike_over_x;   ///< K/X
    bool x_moves;           ///< X = K·r/q, which moves with r and q

    explicit Market(const BoundaryPut& p)
        : spot(p.spot), strike(p.strike), years(p.years), rate(p.rate), yield(p.dividend_yield), vol(p.vol) {
        // X = K·min(1, r/q) for q > 0, else K: the boundary at expiry.
        x_moves = yield > 0.0 && rate < yield;
        const double x = x_moves ? strike * (rate / yield) : strike;
        ln_x_over_k = x_moves ? std::log(rate / yield) : 0.0;
        ln_spot_over_x = std::log(spot / x);
        strike_over_x = strike / x;
        sqrt_years = std::sqrt(years);
        vol_sqrt_years = vol * sqrt_years;
        drift = (rate - yield) + (vol * vol) * 0.5;
        drift_over_vol = drift / vol;
    }
};

/// Gaussian elimination with partial pivoting, keeping the factors for a
/// second solve with the transpose.
struct Lu {
    std::size_t n = 0;
    std::vector<double> a;           ///< L (unit diagonal, below) and U, row-major
    std::vector<std::size_t> pivot;  ///< the row swapped into place at each step

    /// Factors the n×n matrix in a (the row updates two columns at a time).
    /// The loops read size and entries through locals: stores through a
    /// double* could otherwise alias the members, which would be reloaded at
    /// every step.
    void factor(std::size_t size) {
        n = size;
        pivot.resize(size);
        double* const m = a.data();
        std::size_t* const pv = pivot.data();
        for (std::size_t c = 0; c < size; ++c) {
            std::size_t best = c;
            double largest = std::fabs(m[c * size + c]);
            for (std::size_t r = c + 1; r < size; ++r) {
                const double v = std::fabs(m[r * size + c]);
                if (v > largest) largest = v, best = r;
            }
            pv[c] = best;
            if (best != c) {
                for (std::size_t k = 0; k < size; ++k) std::swap(m[c * size + k], m[best * size + k]);
            }
            const double inverse = 1.0 / m[c * size + c];
            const double* top = &m[c * size];
            for (std::size_t r = c + 1; r < size; ++r) {
                double* row = &m[r * size];
                const double f = row[c] * inverse;
                row[c] = f;
                std::size_t k = c + 1;
                if ((size - k) % 2 != 0) {
                    row[k] -= f * top[k];
                    ++k;
                }
                for (; k < size; k += 2) store(&row[k], load(&row[k]) - f * load(&top[k]));
            }
        }
    }

    /// x ← J⁻¹·x: the row interchanges first (factor swapped whole rows, so
    /// P·J = L·U), then L and U.
    void solve(double* x) const {
        const std::size_t size = n;
        const double* const m = a.data();
        const std::size_t* const pv = pivot.data();
        for (std::size_t c = 0; c < size; ++c) std::swap(x[c], x[pv[c]]);
        for (std::size_t c = 0; c < size; ++c) {
            const double xc = x[c];
            for (std::size_t r = c + 1; r < size; ++r) x[r] -= m[r * size + c] * xc;
        }
        for (std::size_t c = size; c-- > 0;) {
            double xc = x[c];
            for (std::size_t k = c + 1; k < size; ++k) xc -= m[c * size + k] * x[k];
            x[c] = xc / m[c * size + c];
        }
    }

    /// x ← J⁻ᵀ·x: Jᵀ = Uᵀ·Lᵀ·P, so Uᵀ, then Lᵀ, then the interchanges in reverse.
    void solve_transposed(double* x) const {
        const std::size_t size = n;
        const double* const m = a.data();
        const std::size_t* const pv = pivot.data();
        for (std::size_t c = 0; c < size; ++c) {
            double xc = x[c];
            for (std::size_t k = 0; k < c; ++k) xc -= m[k * size + c] * x[k];
            x[c] = xc / m[c * size + c];
        }
        for (std::size_t c = size; c-- > 0;) {
            double xc = x[c];
            for (std::size_t r = c + 1; r < size; ++r) xc -= m[r * size + c] * x[r];
            x[c] = xc;
        }
        for (std::size_t c = size; c-- > 0;) std::swap(x[c], x[pv[c]]);
    }
};

/// The option's numbers at every point (i, k) of a stage, which the Newton
/// steps reuse: with t = τ_i·cos²θ_k the time from u to τ_i,
struct StagePoints {
    std::vector<double> vol_sqrt_t;   ///< σ√t
    std::vector<double> inv_vol_sqrt_t;  ///< 1/(σ√t)
    std::vector<double> drift_part;   ///< μ√t/σ, the part of d₊ that does not depend on the boundary
    std::vector<double> t;            ///< t
    std::vector<double> cdf_weight;   ///< w_k·du/dθ = w_k·2τ_i·sin θ·cos θ
    std::vector<double> pdf_weight;   ///< w_k·du/dθ/(σ√t) = w_k·2√τ_i·sin θ/σ
    std::vector<double> discount;     ///< e^(−qt)

    void resize(std::size_t size) {
        for (auto* v : {&vol_sqrt_t, &inv_vol_sqrt_t, &drift_part, &t, &cdf_weight, &pdf_weight, &discount})
            v->resize(size);
    }
};

/// Work arrays of one option, sized for the scheme and reused across options.
struct Workspace {
    std::vector<double> y, h;   ///< ln(X/B) and its square at the nodes (index 0 = expiry)
    std::vector<double> residual, node_discount;
    StagePoints points;
    std::vector<double> interpolated;     ///< H at the points of one row
    std::vector<double> boundary_weight;  ///< ∂F_i/∂ln B at the points of row i, over √H
    std::vector<double> pull_weight;      ///< ∂N_i/∂ln B there, over √H
    // ∂G_i/∂σ, ∂G_i/∂r, ∂G_i/∂q at a fixed boundary, and ∂G_i/∂ln X (every B moving together)
    std::vector<double> d_vol, d_rate, d_yield, d_ln_x;
    std::vector<double> scratch;
    // The price integral's option-dependent points: ξ = 2·sin θ − 1, w·du/dw,
    // cos θ; the boundary's Chebyshev coefficients, Clenshaw's b₁ and b₂, and ∂V/∂c.
    std::vector<double> price_xi, price_weight, price_cos, coefficients, clenshaw, by_coefficient;
    Lu lu;

    explicit Workspace(const SpectralScheme& s) {
        std::size_t n = 0, l = s.counts.price_points;
        for (const CollocationStage& g : s.stages) {
            n = std::max(n, g.nodes);
            l = std::max(l, g.points);
        }
        y.resize(n + 1);
        h.resize(n + 1);
        residual.resize(n);
        node_discount.resize(n + 1);
        points.resize(n * l);
        interpolated.resize(l);
        boundary_weight.resize(l);
        pull_weight.resize(l);
        d_vol.resize(n);
        d_rate.resize(n);
        d_yield.resize(n);
        d_ln_x.resize(n);
        scratch.resize(std::max(n, l));
        const std::size_t lp = s.counts.price_points, nf = s.fine().nodes;
        price_xi.resize(lp);
        price_weight.resize(lp);
        price_cos.resize(lp);
        coefficients.resize(nf + 1);
        clenshaw.resize(2 * lp);
        by_coefficient.resize(nf + 1);
        lu.a.resize(n * n);
    }
};

/// A first boundary: ln(X/B) rises like σ√τ from expiry towards the
/// perpetual put's y∞ = ln(X/B∞), B∞ = K·γ/(γ − 1) with γ the negative root
/// of σ²γ²/2 + (r − q − σ²/2)γ − r = 0.
void guess_boundary(const Market& m, const CollocationStage& g, double* y) {
    const double b = (m.rate - m.yield) - (m.vol * m.vol) * 0.5;
    const double var = m.vol * m.vol;
    const double gamma = (-b - std::sqrt(b * b + (var + var) * m.rate)) / var;
    double y_inf = gamma < 0.0 ? m.ln_x_over_k - std::log(gamma / (gamma - 1.0)) : 0.0;
    // No perpetual boundary (γ = 0), or one that far down: keep the rise moderate.
    if (!(y_inf > 1e-3 && y_inf < 50.0)) y_inf = 50.0;
    y[0] = 0.0;
    for (std::size_t i = 1; i <= g.nodes; ++i) {
        y[i] = y_inf * (1.0 - std::exp(-(m.vol_sqrt_years * g.z[i]) / y_inf));
    }
}

/// The option's numbers at the points of a stage (the only exponentials that
/// do not change between Newton steps).
void prepare_stage(const Market& m, const CollocationStage& g, Workspace& w) {
    const std::size_t n = g.nodes, l = g.points;
    StagePoints& p = w.points;
    for (std::size_t i = 1; i <= n; ++i) {
        const double z = g.z[i];
        const double tau = m.years * (z * z), sqrt_tau = m.sqrt_years * z;
        w.node_discount[i] = lanes::exp(-(m.yield * tau));
        for (std::size_t k = 0; k < l; ++k) {
            const std::size_t at = (i - 1) * l + k;
            const double s = g.sin_theta[k], c = g.cos_theta[k];
            p.vol_sqrt_t[at] = (m.vol_sqrt_years * z) * c;
            p.inv_vol_sqrt_t[at] = 1.0 / p.vol_sqrt_t[at];
            p.drift_part[at] = m.drift_over_vol * (sqrt_tau * c);
            p.t[at] = tau * (c * c);
            p.cdf_weight[at] = (2.0 * g.weight[k] * s * c) * tau;
            p.pdf_weight[at] = (2.0 * g.weight[k] * s) * sqrt_tau / m.vol;
        }
    }
    for (std::size_t at = 0; at < n * l; at += 2) {
        store(&p.discount[at], lanes::exp(-(m.yield * load(&p.t[at]))));
    }
}

/// Sums over the points of one node's integrals, two points per step.
struct RowSums {
    Pair push{}, pull{};            ///< P_i and N_i without their node terms
    Pair push_spot{}, pull_spot{};  ///< their derivatives in ln B_i
    Pair d_vol{}, d_rate{}, d_yield{}, d_boundary{};
};

/// One Newton step on the smooth-pasting equations of one stage, written
/// mostly as ln P_i − ln N_i = 0 with G_i = P_i − N_i ≡ ∂V/∂S + 1 at S = B_i (the
/// boundary held fixed):
///   P_i = e^(−qτ)·N(d₊(τ, B_i/K)) + ∫₀^τ q·e^(−qt)·N(e₊) du,
///   N_i = ∫₀^τ (rK/B(u) − q)·e^(−qt)·φ(e₊)/(σ√t) du,
/// e₊ = d₊(t, B_i/B(u)), t = τ − u. Both sides move roughly exponentially
/// with B_i near expiry (B_i sits a few standard deviations below X there),
/// so their logarithms are close to linear and Newton's method converges
/// quadratically from the coarser stage's boundary, where on G itself it
/// crawls. Leaves the residuals in w.residual and the Jacobian in `jacobian`;
/// with `Record`, also ∂F_i/∂(σ, r, q, ln X) = ∂G_i/∂(…)/P_i (P_i = N_i at
/// the root) for the adjoint.
template <bool Record>
void newton_step(const Market& m, const CollocationStage& g, Workspace& w, double* jacobian) {
    const std::size_t n = g.nodes, l = g.points;
    const double* y = w.y.data();
    double* h = w.h.data();
    const StagePoints& p = w.points;
    for (std::size_t j = 1; j <= n; ++j) h[j] = y[j] * y[j];
    const double q = m.yield, r = m.rate, vol = m.vol;
    for (std::size_t i = 1; i <= n; ++i) {
        const double z = g.z[i];
        const double yi = y[i];
        const double tau = m.years * (z * z), sqrt_tau = m.sqrt_years * z, vol_sqrt_tau = m.vol_sqrt_years * z;
        // The European part at S = B_i: e^(−qτ)·N(d₊) and its derivatives.
        const double d = ((m.ln_x_over_k - yi) + m.drift * tau) / vol_sqrt_tau;
        const auto node = lanes::normal_pair(d, -(m.yield * tau));
        const double node_cdf = d >= 0.0 ? w.node_discount[i] - node.tail : node.tail;

        // H at the row's points, two at a time, each sum kept in a register.
        const double* weights = &g.interpolation[(i - 1) * n * l];
        double* hk = w.interpolated.data();
        for (std::size_t k = 0; k < l; k += 2) {
            Pair acc = splat<Pair>(0.0);
            for (std::size_t j = 0; j < n; ++j) acc = acc + load(&weights[j * l + k]) * h[j + 1];
            store(&hk[k], acc);
        }

        RowSums sums;
        double* push_b = w.boundary_weight.data();  // ∂P_i/∂ln B(u)/√H(u), then the row's weights
        double* pull_b = w.pull_weight.data();      // ∂N_i/∂ln B(u)/√H(u)
        for (std::size_t k = 0; k < l; k += 2) {
            const std::size_t at = (i - 1) * l + k;
            const Pair yk = lanes::sqrt(positive_part(load(&hk[k])));  // ln(X/B(u))
            const Pair inv = load(&p.inv_vol_sqrt_t[at]);
            const Pair t = load(&p.t[at]);
            const Pair e = (yk - yi) * inv + load(&p.drift_part[at]);
            const auto pair = lanes::normal_pair(e, -(q * t));
            const Pair a = pair.density;  // e^(−qt)·φ(e₊)
            const Pair cdf = select(e >= 0.0, load(&p.discount[at]) - pair.tail, pair.tail);  // e^(−qt)·N(e₊)
            const Pair kappa = m.strike_over_x * lanes::exp(yk);  // K/B(u)
            const Pair cdf_w = load(&p.cdf_weight[at]), pdf_w = load(&p.pdf_weight[at]);
            const Pair q_a = q * a, rho_a = (r * kappa) * a;
            const Pair gap = q_a - rho_a;  // (q − rK/B(u))·e^(−qt)·φ(e₊)
            const Pair e_inv = e * inv;
            sums.push = sums.push + q * cdf_w * cdf;
            sums.pull = sums.pull - pdf_w * gap;
            sums.push_spot = sums.push_spot + pdf_w * q_a;
            sums.pull_spot = sums.pull_spot + pdf_w * (gap * e_inv);
            const Pair inv_yk = select(yk > 0.0, 1.0 / yk, splat<Pair>(0.0));
            store(&push_b[k], -(pdf_w * q_a) * inv_yk);
            store(&pull_b[k], -(pdf_w * (rho_a + gap * e_inv)) * inv_yk);
            if constexpr (Record) {
                const Pair vol_sqrt_t = load(&p.vol_sqrt_t[at]);
                const Pair e_minus = e - vol_sqrt_t;
                const Pair sqrt_t_vol = vol_sqrt_t / (vol * vol);  // √t/σ
                sums.d_vol = sums.d_vol + (cdf_w * (q_a * (-e_minus)) + pdf_w * gap * (e * e_minus - 1.0)) / vol;
                sums.d_rate = sums.d_rate + pdf_w * (q_a * t - gap * (e * sqrt_t_vol) - kappa * a);
                sums.d_yield = sums.d_yield + (cdf_w * (cdf - q * t * cdf) +
                                               pdf_w * (a - q_a * t + gap * (e * sqrt_t_vol - t)));
                sums.d_boundary = sums.d_boundary + pdf_w * (-gap) * (1.0 - e_inv);
            }
        }
        const double push = node_cdf + sum(sums.push), pull = sum(sums.pull);
        const double push_spot = node.density / vol_sqrt_tau + sum(sums.push_spot), pull_spot = sum(sums.pull_spot);
        // F_i = ω·ln(P_i/N_i) + (1 − ω)·(P_i − N_i)/P_i, its Jacobian taken with
        // the divisor P_i held (so at ω = 0 the step is Newton's on G_i itself).
        // The logarithm suits a node whose spread σ√τ_i exceeds ln(K/X) (every
        // node when r ≥ q, X = K): B_i sits below X and K alike and both sides
        // are exponential in B_i. Nearer expiry when r < q, B_i sits within the
        // spread of X, where N_i is not exponential (rK/B − q vanishes at B = X)
        // and G_i converges better. ω = 1/(1 + (ln(K/X)/(σ√τ_i))⁴) moves between
        // the two smoothly, which keeps the price smooth in r and q, and keeps
        // r just below q off G_i, whose crawl there leaves the boundary short of
        // its root and the adjoint's rate and yield sensitivities off the
        // price's. G_i itself wherever a side has underflowed (only far from
        // the root).
        double inv_push = 1.0, inv_pull = 1.0;
        if (std::isnormal(push) && std::isnormal(pull) && push > 0.0 && pull > 0.0) {
            const double gap_in_spreads = m.ln_x_over_k / vol_sqrt_tau;
            const double g2 = gap_in_spreads * gap_in_spreads;
            const double omega = 1.0 / (1.0 + g2 * g2);
            w.residual[i - 1] = omega * std::log(push / pull) + (1.0 - omega) * (1.0 - pull / push);
            inv_push = 1.0 / push;
            inv_pull = omega / pull + (1.0 - omega) * inv_push;
        } else {
            w.residual[i - 1] = push - pull;
        }
        for (std::size_t k = 0; k < l; k += 2) {
            store(&push_b[k], load(&push_b[k]) * inv_push - load(&pull_b[k]) * inv_pull);
        }

        // Row i of the Jacobian ∂F_i/∂y_j: through the interpolated boundary
        // at the points (∂ln B(u)/∂y_j = −y_j·M_kj/√H(u)), and through S = B_i.
        double* jrow = jacobian + (i - 1) * n;
        for (std::size_t j = 0; j < n; ++j) {
            const double* row = weights + j * l;
            Pair acc = splat<Pair>(0.0);
            for (std::size_t k = 0; k < l; k += 2) acc = acc + load(&push_b[k]) * load(&row[k]);
            jrow[j] = -(y[j + 1] * sum(acc));
        }
        const double d_spot = push_spot * inv_push - pull_spot * inv_pull;
        jrow[i - 1] -= d_spot;
        if constexpr (Record) {
            w.d_vol[i - 1] = (node.density * (-(d - vol_sqrt_tau) / m.vol) + sum(sums.d_vol)) * inv_push;
            w.d_rate[i - 1] = (node.density * (sqrt_tau / m.vol) + sum(sums.d_rate)) * inv_push;
            w.d_yield[i - 1] =
                (-(tau * node_cdf) - node.density * (sqrt_tau / m.vol) + sum(sums.d_yield)) * inv_push;
            w.d_ln_x[i - 1] = (push_spot - pull_spot + sum(sums.d_boundary)) * inv_push;
        }
    }
}

/// `iterations` Newton steps from w.y; the boundary stays at or below X.
void solve_stage(const Market& m, const CollocationStage& g, std::size_t iterations, Workspace& w, bool record) {
    const std::size_t n = g.nodes;
    prepare_stage(m, g, w);
    for (std::size_t it = 0; it < iterations; ++it) {
        if (record && it + 1 == iterations) {
            newton_step<true>(m, g, w, w.lu.a.data());
        } else {
            newton_step<false>(m, g, w, w.lu.a.data());
        }
        w.lu.factor(n);
        double* step = w.scratch.data();
        for (std::size_t r = 0; r < n; ++r) step[r] = -w.residual[r];
        w.lu.solve(step);
        // Safeguards, inactive near the root: a step moves B_i by at most one
        // standard deviation σ√τ_i (beyond that the equations bend away from
        // their linearisation), and never takes ln(X/B_i) below a quarter of
        // its value (at B_i = X the pulling side vanishes when r < q).
        for (std::size_t r = 0; r < n; ++r) {
            const double sd = m.vol_sqrt_years * g.z[r + 1];
            const double limited = std::clamp(step[r], -sd, sd);
            const double next = w.y[r + 1] + limited, floor = 0.25 * w.y[r + 1];
            w.y[r + 1] = next > floor ? next : floor;
        }
    }
}

/// The stages from coarse to fine: the first from the guess, each later one
/// from the one before, its H interpolated to the new nodes (and its depth in
/// standard deviations extrapolated in ln τ below its first node).
void solve_boundary(const Market& m, const SpectralScheme& s, Workspace& w, bool record) {
    guess_boundary(m, s.stages.front(), w.y.data());
    for (std::size_t st = 0; st < s.stages.size(); ++st) {
        if (st > 0) {
            const CollocationStage &from = s.stages[st - 1], &to = s.stages[st];
            const std::size_t n0 = from.nodes, n = to.nodes;
            const std::vector<double>& up = s.upsampling[st - 1];
            const std::vector<double>& near = s.near_expiry[st - 1];
            for (std::size_t j = 1; j <= n0; ++j) w.h[j] = w.y[j] * w.y[j];
            const double u1 = w.y[1] / (m.vol_sqrt_years * from.z[1]), u2 = w.y[2] / (m.vol_sqrt_years * from.z[2]);
            double* next = w.scratch.data();
            for (std::size_t i = 0; i < n; ++i) {
                const double sd = m.vol_sqrt_years * to.z[i + 1];
                if (near[i] == near[i]) {
                    next[i] = sd * std::sqrt(positive_part(u1 * u1 + near[i] * (u2 * u2 - u1 * u1)));
                } else {
                    double acc = 0.0;
                    for (std::size_t j = 0; j < n0; ++j) acc += up[i * n0 + j] * w.h[j + 1];
                    next[i] = std::sqrt(positive_part(acc));
                }
                // Never start at B = X, where the pulling side vanishes when r < q.
                if (!(next[i] > 1e-3 * sd)) next[i] = 1e-3 * sd;
            }
            for (std::size_t i = 0; i < n; ++i) w.y[i + 1] = next[i];
        }
        const bool last = st + 1 == s.stages.size();
        solve_stage(m, s.stages[st], s.counts.stages[st].iterations, w, record && last);
    }
}

/// The put's value: with `Greeks`, all of it; without, the price alone (the
/// greeks' fields NaN), which skips the parameter derivatives and the adjoint.
template <bool Greeks>
BoundaryPutValue value_one(const BoundaryPut& put, const SpectralScheme& s, Workspace& w) {
    constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
    const Market m(put);
    solve_boundary(m, s, w, Greeks);
    const std::size_t n = s.fine().nodes, lp = s.counts.price_points;
    const double S = m.spot, K = m.strike, T = m.years, rate = m.rate, yield = m.yield;
    const double* y = w.y.data();
    if (m.ln_spot_over_x <= -y[n]) {
        // At or below the boundary at the valuation date: exercise now.
        return {K - S, -1.0, 0.0, 0.0, 0.0, 0.0, 0.0, true};
    }
    for (std::size_t j = 1; j <= n; ++j) w.h[j] = y[j] * y[j];

    // The European put, from the same normal distribution as the premium.
    const double ln_spot_over_k = m.ln_spot_over_x + m.ln_x_over_k;
    const double d_plus = (ln_spot_over_k + m.drift * T) / m.vol_sqrt_years;
    const double d_minus = d_plus - m.vol_sqrt_years;
    const auto np = lanes::normal_pair(d_plus, -(yield * T));
    const auto nm = lanes::normal_pair(d_minus, -(rate * T));
    const double put_plus = d_plus >= 0.0 ? np.tail : lanes::exp(-(yield * T)) - np.tail;  // e^(−qT)·N(−d₊)
    const double put_minus = d_minus >= 0.0 ? nm.tail : lanes::exp(-(rate * T)) - nm.tail;  // e^(−rT)·N(−d₋)
    double price = K * put_minus - S * put_plus;
    double delta = -put_plus;
    double gamma = np.density / (S * m.vol_sqrt_years);
    double vega = S * np.density * m.sqrt_years;
    double d_rate = -(T * K * put_minus);
    double d_yield = T * S * put_plus;

    // The premium ∫₀^T [rK·e^(−rt)·N(−e₋) − qS·e^(−qt)·N(−e₊)] du, t = T − u,
    // e± = d±(t, S/B(u)). Near t = 0 its integrand turns from 0 to about
    // ½·(rK − qS) over t ~ (ℓ/σ)², ℓ = ln(S/B(T)) the spot's distance from
    // the boundary, which for a spot near the boundary is a thin layer: so
    // u = T·sin²θ with θ = π/2 − φ, φ = a·sinh(β·w), a = ℓ/(2σ√T) and
    // a·sinh(β) = π/2, which spaces the points evenly in φ below a and
    // geometrically above (for a distant spot, evenly throughout).
    const double ell = m.ln_spot_over_x + y[n];
    const double a = std::max(0.5 * ell / m.vol_sqrt_years, 1e-12);
    const double beta = std::asinh((0.5 * std::numbers::pi) / a);
    // The boundary's Chebyshev coefficients, for H at points that move with the option.
    double* coefficients = w.coefficients.data();
    for (std::size_t c = 0; c <= n; ++c) {
        double acc = 0.0;
        for (std::size_t j = 0; j < n; ++j) acc += s.chebyshev_coefficients[c * n + j] * w.h[j + 1];
        coefficients[c] = acc;
    }
    double* xi = w.price_xi.data();
    double* hk = w.interpolated.data();
    const double q = yield, r = rate, vol = m.vol;
    const Pair zero = splat<Pair>(0.0);
    Pair s_price = zero, s_delta = zero, s_gamma = zero, s_vega = zero, s_rate = zero, s_yield = zero,
         s_ln_x = zero;
    for (std::size_t k = 0; k < lp; k += 2) {
        const Pair up = lanes::exp(beta * load(&s.price_nodes[k])), down = 1.0 / up;
        const Pair phi = a * (0.5 * (up - down));
        const auto sv = lanes::sin_versine(phi);
        store(&xi[k], 1.0 - 2.0 * sv.versine);  // ξ = 2·sin θ − 1
        // w·du/dw = w·2T·sin θ·cos θ·dφ/dw
        store(&w.price_weight[k], load(&s.price_weight[k]) * (a * beta * (0.5 * (up + down))) *
                                      (2.0 * T * (1.0 - sv.versine) * sv.sin));
        store(&w.price_cos[k], sv.sin);  // cos θ = √(t/T)
    }
    // H at ξ_k by Clenshaw's recurrence, all points side by side (the
    // recurrence runs across the arrays, so no point waits on its own chain).
    double* b1 = w.clenshaw.data();
    double* b2 = b1 + lp;
    for (std::size_t k = 0; k < lp; k += 2) {
        store(&b1[k], zero);
        store(&b2[k], zero);
    }
    for (std::size_t c = n; c >= 1; --c) {
        for (std::size_t k = 0; k < lp; k += 2) {
            const Pair b = ((2.0 * load(&xi[k])) * load(&b1[k]) - load(&b2[k])) + coefficients[c];
            store(&b2[k], load(&b1[k]));
            store(&b1[k], b);
        }
    }
    for (std::size_t k = 0; k < lp; k += 2) store(&hk[k], (load(&xi[k]) * load(&b1[k]) - load(&b2[k])) + coefficients[0]);
    const double inv_vol = 1.0 / vol;
    for (std::size_t k = 0; k < lp; k += 2) {
        const Pair yk = lanes::sqrt(positive_part(load(&hk[k])));
        const Pair c = load(&w.price_cos[k]);
        const Pair sqrt_t = m.sqrt_years * c;
        const Pair vol_sqrt_t = m.vol_sqrt_years * c;
        const Pair inv_vst = 1.0 / vol_sqrt_t;
        const Pair t = T * (c * c);
        const Pair e_plus = (m.ln_spot_over_x + yk) * inv_vst + m.drift_over_vol * sqrt_t;
        const Pair e_minus = e_plus - vol_sqrt_t;
        const auto pp = lanes::normal_pair(e_plus, -(q * t));
        const auto pm = lanes::normal_pair(e_minus, -(r * t));
        const Pair low_plus = select(e_plus >= 0.0, pp.tail, lanes::exp(-(q * t)) - pp.tail);    // e^(−qt)·N(−e₊)
        const Pair low_minus = select(e_minus >= 0.0, pm.tail, lanes::exp(-(r * t)) - pm.tail);  // e^(−rt)·N(−e₋)
        const Pair rho = r * (m.strike_over_x * lanes::exp(yk));  // rK/B(u)
        const Pair a_pdf = pp.density;                             // e^(−qt)·φ(e₊)
        const Pair weight = load(&w.price_weight[k]);
        const Pair gap = (q - rho) * a_pdf;
        const Pair gap_vst = gap * inv_vst;
        s_price = s_price + weight * (r * K * low_minus - q * S * low_plus);
        s_delta = s_delta + weight * (gap_vst - q * low_plus);
        s_gamma = s_gamma + weight * ((q * a_pdf - gap_vst * e_plus) * inv_vst);
        s_vega = s_vega + weight * a_pdf * (rho * e_plus - q * e_minus);
        s_rate = s_rate + weight * (K * low_minus * (1.0 - r * t) + S * gap * (sqrt_t * inv_vol));
        s_yield = s_yield + weight * (-(S * gap) * (sqrt_t * inv_vol) - S * low_plus * (1.0 - q * t));
        const Pair d_b = weight * S * (-gap_vst);  // ∂V/∂ln B(u)
        s_ln_x = s_ln_x + d_b;
        store(&w.boundary_weight[k], select(yk > 0.0, d_b / yk, zero));
    }
    price += sum(s_price);
    if constexpr (!Greeks) return {price, NaN, NaN, NaN, NaN, NaN, NaN, false};
    delta += sum(s_delta);
    gamma += sum(s_gamma) / S;
    vega += S * sum(s_vega) / m.vol;
    d_rate += sum(s_rate);
    d_yield += sum(s_yield);

    // The boundary's response (adjoint): dV/dp = ∂V/∂p − λᵀ·∂F/∂p with
    // Jᵀλ = ∂V/∂y, ∂V/∂y_j = −y_j·Σ_k ∂V/∂ln B(u_k)/√H(u_k)·∂H(u_k)/∂H_j and
    // ∂H(u_k)/∂H_j = Σ_c T_c(ξ_k)·C_cj.
    // ∂V/∂c = Σ_k g_k·T_c(ξ_k): the products g_k·T_c(ξ_k) follow T's own
    // recurrence, run across the arrays (in Clenshaw's two arrays, now free).
    double* by_coefficient = w.by_coefficient.data();
    double* before = b1;
    double* now = b2;
    for (std::size_t c = 0; c <= n; ++c) {
        Pair even = zero, odd = zero;
        for (std::size_t k = 0; k < lp; k += 2) {
            const Pair g = load(&w.boundary_weight[k]), x = load(&xi[k]);
            const Pair next = c == 0 ? g : c == 1 ? g * x : (2.0 * x) * load(&now[k]) - load(&before[k]);
            store(&before[k], load(&now[k]));
            store(&now[k], next);
            if ((k / 2) % 2 == 0) {
                even = even + next;
            } else {
                odd = odd + next;
            }
        }
        by_coefficient[c] = sum(even + odd);
    }
    double* lambda = w.scratch.data();
    for (std::size_t j = 0; j < n; ++j) {
        double acc = 0.0;
        for (std::size_t c = 0; c <= n; ++c) acc += by_coefficient[c] * s.chebyshev_coefficients[c * n + j];
        lambda[j] = -(y[j + 1] * acc);
    }
    w.lu.solve_transposed(lambda);
    double l_vol = 0.0, l_rate = 0.0, l_yield = 0.0, l_x = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        l_vol += lambda[i] * w.d_vol[i];
        l_rate += lambda[i] * w.d_rate[i];
        l_yield += lambda[i] * w.d_yield[i];
        l_x += lambda[i] * w.d_ln_x[i];
    }
    vega -= l_vol;
    d_rate -= l_rate;
    d_yield -= l_yield;
    if (m.x_moves) {
        // X = K·r/q: ∂ln X/∂r = 1/r, ∂ln X/∂q = −1/q.
        const double through_x = sum(s_ln_x) - l_x;
        d_rate += through_x / rate;
        d_yield -= through_x / yield;
    }
    const double theta = rate * price - (rate - yield) * S * delta - (0.5 * m.vol * m.vol) * S * S * gamma;
    return {price, delta, gamma, theta, vega, d_rate, d_yield, false};
}

}  // namespace

/// The workspace a pricer keeps between options.
struct BoundaryPutWorkspace : Workspace {
    using Workspace::Workspace;
};

BoundaryPutPricer::BoundaryPutPricer(const SpectralScheme& scheme)
    : scheme_(scheme), work_(std::make_unique<BoundaryPutWorkspace>(scheme)) {}

BoundaryPutPricer::~BoundaryPutPricer() = default;

BoundaryPutValue BoundaryPutPricer::value(const BoundaryPut& put) { return value_one<true>(put, scheme_, *work_); }

double BoundaryPutPricer::price(const BoundaryPut& put) { return value_one<false>(put, scheme_, *work_).price; }

void value_boundary_puts(std::span<const BoundaryPut> puts, const SpectralScheme& scheme,
                         std::span<BoundaryPutValue> out) {
    if (out.size() != puts.size()) throw Fault("value_boundary_puts: results and puts differ in number");
    if (puts.empty()) return;
    BoundaryPutPricer pricer(scheme);
    for (std::size_t i = 0; i < puts.size(); ++i) out[i] = pricer.value(puts[i]);
}

void exercise_boundary(const BoundaryPut& put, const SpectralScheme& scheme, std::span<double> out) {
    if (out.size() != scheme.fine().nodes + 1) throw Fault("exercise_boundary: wrong number of nodes");
    const Market m(put);
    Workspace w(scheme);
    solve_boundary(m, scheme, w, false);
    const double x = put.strike * std::exp(m.ln_x_over_k);
    for (std::size_t i = 0; i <= scheme.fine().nodes; ++i) out[i] = x * std::exp(-w.y[i]);
}

}  // namespace sorvik
