// pricing/implied_vol.cpp: European implied volatility by rational initial guesses and Householder steps.
#include "pricing/implied_vol.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "pricing/analytic.hpp"
#include "pricing/erfcx.hpp"

namespace sorvik {
namespace {

// The whole inversion works on the normalised price of an out-of-the-money
// call, b(x, s) = e^(x/2)·Φ(x/s + s/2) − e^(−x/2)·Φ(x/s − s/2) with log-moneyness
// x = ln(F/K) ≤ 0 and total volatility s = σ√T: the quote divided by
// √(S·e^(−qT)·K·e^(−rT)). b rises from 0 (s = 0) to e^(x/2) (s = ∞) and has its
// single inflection at s_c = √(−2x). Below, h = x/s and t = s/2, so that the
// two arguments of Φ are h ± t and x = 2·h·t.

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kInvSqrt2 = 0.7071067811865476;
constexpr double kSqrt3 = 1.7320508075688772;
constexpr double kInvSqrt2Pi = 0.3989422804014327;
constexpr double kSqrtHalfPi = 1.2533141373155003;

/// erfc(w) = e^(−w²)·erfcx(w) for w ≥ 0, to a few ulps. w² is split exactly
/// into a 26-bit square and a small rest, so exp is never handed a rounded
/// square (whose error it would magnify by w²).
double erfc_tail(double w) {
    if (w > 27.0) return 0.0;  // below the smallest subnormal
    const double c = 134217729.0 * w;  // 2^27 + 1: Veltkamp's split
    const double hi = c - (c - w);
    const double rest = (w - hi) * (w + hi);  // w² − hi², below 2^-25·w²
    return std::exp(-(hi * hi)) * (1.0 - rest * (1.0 - 0.5 * rest)) * erfcx(w);
}

/// Φ(−z) for z ≥ 0, with relative accuracy far into the tail (the pricer's
/// erf form stops at an absolute 2^-54 there).
double normal_tail(double z) { return 0.5 * erfc_tail(z * kInvSqrt2); }

/// b(x, s) (or e^(x/2) − b) and the slope ∂b/∂s = φ(h + t)·e^(x/2) = exp(−(h² + t²)/2)/√(2π).
struct Black {
    double value;
    double vega;
};

double vega(double h, double t) { return kInvSqrt2Pi * std::exp(-0.5 * (h * h + t * t)); }

// Where −(h + t) reaches kTailEdge, both Φ terms are deep in the left tail and
// their difference is summed from the tail's asymptotic series; below kSmallT,
// from the Taylor series in t. Elsewhere it comes from erfcx with the common
// factor e^(−(h² + t²)/2) taken out, which rounds once for both terms: below
// the inflection (h + t < 0) as the difference of the two scaled tails, at
// most a factor (kTailEdge + kSmallT)/(2·kSmallT) ≈ 25 above b, its error one
// of (h, t) that b's steepness in s hands back; above it as e^(x/2) less the
// two upper tails. Separate erfc terms would each carry the rounding of their
// own argument, magnified by its square.
constexpr double kTailEdge = 12.0;
constexpr double kSmallT = 0.25;
constexpr int kSmallTTerms = 8;

/// b(x, s) = b'(s)·[Y(h + t) − Y(h − t)] with Y(z) = Φ(z)/φ(z), whose series at
/// z → −∞ is Σ (−1)^n·(2n−1)!!/u^(2n+1), u = −z. With u₁ = −h − t ≥ kTailEdge
/// and u₂ = −h + t, each term u₁^−m − u₂^−m = u₁^−m·(1 − ρ^m), ρ = u₁/u₂, and
/// 1 − ρ^m is built up by positive increments, so nothing cancels. 16 terms
/// reach 2^-56 at u₁ = 12; larger u₁ stop earlier.
Black black_tail(double h, double t) {
    const double u1 = -h - t, u2 = t - h;
    const double a2 = 1.0 / (u1 * u1);
    const double rho = u1 / u2;
    const double rho2 = rho * rho;
    const double one_minus_rho2 = (2.0 * t / u2) * (1.0 + rho);
    double coefficient = 1.0 / u1;   // (−1)^n·(2n−1)!!/u₁^(2n+1)
    double gap = 2.0 * t / u2;       // 1 − ρ^(2n+1)
    double power = rho;              // ρ^(2n+1)
    double sum = coefficient * gap;
    for (int n = 1; n < 24; ++n) {
        gap += power * one_minus_rho2;
        power *= rho2;
        coefficient *= -(2 * n - 1) * a2;
        const double term = coefficient * gap;
        sum += term;
        if (std::abs(term) <= 0x1p-56 * sum) break;
    }
    const double v = vega(h, t);
    return {v * sum, v};
}

/// b(x, s) = 2·b'(s)·Σ_(k odd) Y⁽ᵏ⁾(h)·t^k/k!, the odd part of the Taylor series
/// of e^(ht)·Φ(h + t)/φ(h) in t. Y' = 1 + zY gives Y⁽ⁿ⁺¹⁾ = n·Y⁽ⁿ⁻¹⁾ + z·Y⁽ⁿ⁾;
/// all these derivatives are positive, so the sum does not cancel, and each
/// term is below t²/3 of the one before: the sum stops at a term below 2^-55
/// of it, by t^(2·kSmallTTerms − 1) at the latest for t < kSmallT.
Black black_small_t(double h, double t) {
    constexpr double kInverseOddFactorial[kSmallTTerms] = {
        1.0, 1.0 / 6, 1.0 / 120, 1.0 / 5040, 1.0 / 362880, 1.0 / 39916800, 1.0 / 6227020800, 1.0 / 1307674368000};
    double even = kSqrtHalfPi * erfcx(-h * kInvSqrt2);  // Y(h)
    double odd = 1.0 + h * even;                        // Y'(h)
    double series = 0.0, power = t;
    const double t2 = t * t, hh = h * h;
    for (int j = 0; j < kSmallTTerms; ++j) {
        const double term = odd * kInverseOddFactorial[j] * power;
        series += term;
        if (term <= 0x1p-55 * series) break;
        power *= t2;
        // Both of the next pair from this one (the second by substituting the
        // first), so that they form side by side.
        const double n = 2 * j + 1;
        const double next_even = n * even + h * odd;      // Y⁽ⁿ⁺¹⁾
        odd = (n + 1.0 + hh) * odd + (n * h) * even;      // Y⁽ⁿ⁺²⁾
        even = next_even;
    }
    const double v = vega(h, t);
    return {2.0 * v * series, v};
}

/// e^(x/2)·Φ(−h − t) + e^(−x/2)·Φ(h − t) for h + t ≥ 0, given e = e^(−(h² + t²)/2):
/// as erfc(w) = e^(−w²)·erfcx(w) and (h ± t)²/2 = (h² + t²)/2 ± x/2, the
/// exponentials of both terms are e·e^(∓x/2) and cancel the factors e^(±x/2).
double upper_tails(double h, double t, double e) {
    return 0.5 * e * (erfcx((h + t) * kInvSqrt2) + erfcx((t - h) * kInvSqrt2));
}

/// The normalised call price b(x, s) for x ≤ 0, s > 0, to a few ulps, and
/// its vega. root_up = e^(x/2).
Black black(double x, double root_up, double s) {
    const double h = x / s, t = 0.5 * s;
    if (h + t <= -kTailEdge) return black_tail(h, t);
    if (t < kSmallT) return black_small_t(h, t);
    const double e = std::exp(-0.5 * (h * h + t * t));
    if (h + t < 0.0) return {0.5 * e * (erfcx(-(h + t) * kInvSqrt2) - erfcx((t - h) * kInvSqrt2)), kInvSqrt2Pi * e};
    return {root_up - upper_tails(h, t, e), kInvSqrt2Pi * e};
}

/// e^(x/2) − b(x, s), the distance to the limit at s = ∞, and b'. Above the
/// inflection it is the sum of the two upper tails, accurate where b itself
/// has no digits left to lose; below it b is small and the difference exact
/// enough.
Black black_complement(double x, double root_up, double s) {
    const double h = x / s, t = 0.5 * s;
    if (h + t < 0.0) {
        const Black b = black(x, root_up, s);
        return {root_up - b.value, b.vega};
    }
    const double e = std::exp(-0.5 * (h * h + t * t));
    return {upper_tails(h, t, e), kInvSqrt2Pi * e};
}

/// Φ⁻¹(p) for 0 < p ≤ 1/2, given ln p, by the textbook rational estimate
/// (Abramowitz & Stegun 26.2.23), within 4.5e-4: only initial guesses use
/// it, and an error of that size costs the Householder steps nothing.
double normal_quantile_lower(double log_p) {
    const double w = std::sqrt(-2.0 * log_p);
    return -(w - (2.515517 + w * (0.802853 + w * 0.010328)) / (1.0 + w * (1.432788 + w * (0.189269 + w * 0.001308))));
}

/// A rational cubic on [x_l, x_r] through the end values y with end slopes d;
/// its control parameter r makes it the cubic Hermite at r = 3 and tends to the
/// straight line as r grows.
struct RationalCubic {
    double x_l, x_r, y_l, y_r, d_l, d_r;

    double slope() const { return (y_r - y_l) / (x_r - x_l); }

    /// r giving second derivative y2 at the left or at the right end.
    double control_for_left(double y2) const {
        return (d_r - d_l + 0.5 * (x_r - x_l) * y2) / (slope() - d_l);
    }
    double control_for_right(double y2) const {
        return (d_r - d_l + 0.5 * (x_r - x_l) * y2) / (d_r - slope());
    }

    /// r raised, where needed, to the least value at which the curve keeps
    /// the convexity or concavity of its data (and hence its monotonicity
    /// here, where the end slopes share the sign of the chord).
    double shape_preserving(double r) const {
        const double below = slope() - d_l, above = d_r - slope();
        const double least = below * above > 0.0 ? 1.0 + std::max(below / above, above / below) : 0.0;
        if (!(r >= least)) r = least;  // also replaces a NaN fit
        return std::min(r, 1e12);
    }

    double operator()(double x, double r) const {
        const double h = x_r - x_l;
        const double t = (x - x_l) / h, u = 1.0 - t;
        return (y_r * t * t * t + (r * y_r - h * d_r) * t * t * u + (r * y_l + h * d_l) * t * u * u +
                y_l * u * u * u) /
               (1.0 + (r - 3.0) * t * u);
    }
};

/// A quote in normalised units: x ≤ 0, e^(x/2), the price β and its distance
/// e^(x/2) − β to the upper bound, the latter taken from the price itself
/// (where β is close to e^(x/2) their difference would have lost it).
struct Normalised {
    double x, root_up, beta, gap;
};

/// The objective the Householder steps drive to zero, chosen by where β lies:
/// 1/ln b − 1/ln β below b_l, b − β between b_l and b_u, and
/// ln((e^(x/2) − β)/(e^(x/2) − b)) above b_u. Each is close to linear in s in
/// its range, which is what makes one or two steps enough.
enum class Objective : uint8_t { Low, Middle, High };

/// Lowest range, β < b_l: f(s) = (2π/√27)·|x|·Φ(−|x|/(√3·s))³ has b's own
/// leading behaviour as s → 0 and an explicit inverse. b falls so steeply
/// there that β itself is no variable to interpolate in; f/β is, as a
/// function of u = −1/ln β: expanding b and f one order further in s gives
/// f/β = 1 + (x²/16 − 3)·u + O(u²·ln u). It is interpolated between u = 0 and
/// the point at s_l, and f⁻¹ then gives s.
double low_guess(double x, double beta, double b_l, double s_l, double v_l) {
    const double ax = -x;
    const double z = ax / (kSqrt3 * s_l);
    const double tail = normal_tail(z);
    const double scale = 1.2091995761561452 * ax;  // 2π/√27·|x|
    const double f = scale * tail * tail * tail;
    const double df = 3.0 * f * kInvSqrt2Pi * std::exp(-0.5 * z * z) * z / (s_l * tail) / v_l;  // df/dβ
    const double u_l = -1.0 / std::log(b_l), u = -1.0 / std::log(beta);
    const double ratio_l = f / b_l;
    // d(f/β)/du = (df/dβ − f/β)/u² at s_l.
    const RationalCubic curve{0.0, u_l, 1.0, ratio_l, x * x / 16.0 - 3.0, (df - ratio_l) / (u_l * u_l)};
    const double f_beta = beta * curve(u, curve.shape_preserving(3.0));
    const double cube = f_beta / scale;  // Φ(−|x|/(√3·s))³
    if (!(cube > 0.0 && cube < 0.125)) return s_l * 0.5;
    return ax / (kSqrt3 * -normal_quantile_lower(std::log(cube) / 3.0));
}

/// Highest range, β > b_u: e^(x/2) − b behaves like 2·Φ(−s/2) as s → ∞, so
/// f(s) = Φ(−s/2) is interpolated between the point at s_u and (e^(x/2), 0)
/// with slope −1/2, and inverted as s = −2·Φ⁻¹(f).
double high_guess(double x, double root_up, double beta, double b_u, double s_u, double v_u) {
    const double f = normal_tail(0.5 * s_u);
    const double density = kInvSqrt2Pi * std::exp(-0.125 * s_u * s_u);  // φ(s/2)
    const double df = -0.5 * density;
    const double d2f = 0.125 * s_u * density;
    const double b2 = x * x / (s_u * s_u * s_u) - 0.25 * s_u;
    const RationalCubic curve{b_u, root_up, f, 0.0, df / v_u, -0.5};
    const double r = curve.shape_preserving(curve.control_for_left((d2f - df * b2) / (v_u * v_u)));
    const double f_beta = curve(beta, r);
    if (!(f_beta > 0.0)) return s_u * 2.0;
    return -2.0 * normal_quantile_lower(std::log(std::min(f_beta, 0.5)));
}

// A step is about as large as the error it removes, and after a step below
// 2^-10·s the error left is of order (2^-10)^6: that step is the last. From the
// initial guesses one or two steps end there; the cap only bounds the work on
// inputs at the ends of the double range.
constexpr int kMaxSteps = 4;

/// Householder steps of order five (convergence order six) on the chosen
/// objective g = G(b(s)), with ν = −g/g' and hₖ = g⁽ᵏ⁾/g':
///   s += ν·(1 + 3h₂ν/2 + (h₂²/4 + h₃/3)ν² + h₄ν³/24)
///        / (1 + 2h₂ν + (3h₂²/4 + h₃/2)ν² + (h₂h₃/6 + h₄/12)ν³ + h₅ν⁴/120).
/// By Faà di Bruno, with gₖ = (Gₖ/G₁)·b'^(k−1) (Gₖ = G⁽ᵏ⁾(b)) and Bₖ = b⁽ᵏ⁾/b':
///   h₂ = g₂ + B₂, h₃ = g₃ + 3g₂B₂ + B₃, h₄ = g₄ + 6g₃B₂ + g₂(3B₂² + 4B₃) + B₄,
///   h₅ = g₅ + 10g₄B₂ + g₃(15B₂² + 10B₃) + g₂(10B₂B₃ + 5B₄) + B₅,
/// and b' = exp(−x²/(2s²) − s²/8)/√(2π) gives, with ℓ = x²/s³ − s/4,
///   B₂ = ℓ, B₃ = ℓ² + ℓ', B₄ = ℓ³ + 3ℓℓ' + ℓ'',
///   B₅ = ℓ⁴ + 6ℓ²ℓ' + 3ℓ'² + 4ℓℓ'' + ℓ'''.
double householder(const Normalised& quote, double s, Objective objective) {
    const double x = quote.x, root_up = quote.root_up, beta = quote.beta;
    const double log_beta = objective == Objective::Low ? std::log(beta) : 0.0;
    for (int step = 0; step < kMaxSteps; ++step) {
        const double inv_s = 1.0 / s;
        const double h = x * inv_s;
        // b (or e^(x/2) − b on the high objective) and b'.
        const Black b = objective == Objective::High ? black_complement(x, root_up, s) : black(x, root_up, s);
        const double value = b.value, v = b.vega;
        const double inv_v = 1.0 / v;
        const double h2s = h * h * inv_s;  // x²/s³
        const double l0 = h2s - 0.25 * s, l1 = -3.0 * h2s * inv_s - 0.25;
        const double l2 = 12.0 * h2s * inv_s * inv_s, l3 = -5.0 * l2 * inv_s;
        const double b2 = l0, b3 = l0 * l0 + l1, b4 = l0 * (l0 * l0 + 3.0 * l1) + l2;
        const double b5 = l0 * (l0 * (l0 * l0 + 6.0 * l1) + 4.0 * l2) + 3.0 * l1 * l1 + l3;
        double nu, g2, g3, g4, g5;
        if (objective == Objective::Middle) {
            nu = (beta - value) * inv_v;
            g2 = g3 = g4 = g5 = 0.0;
        } else if (objective == Objective::Low) {
            // G = 1/L, L = ln b: with q = b'/(bL), g₂ = −(L + 2)q, g₃ = 2(L² + 3L + 3)q²,
            // g₄ = −2(3L³ + 11L² + 18L + 12)q³, g₅ = 2(12L⁴ + 50L³ + 105L² + 120L + 60)q⁴.
            const double l = std::log(value);
            const double q = v / (value * l);
            nu = l * value * inv_v * (1.0 - l / log_beta);
            g2 = -(l + 2.0) * q;
            g3 = 2.0 * ((l + 3.0) * l + 3.0) * q * q;
            g4 = -2.0 * (((3.0 * l + 11.0) * l + 18.0) * l + 12.0) * q * q * q;
            g5 = 2.0 * ((((12.0 * l + 50.0) * l + 105.0) * l + 120.0) * l + 60.0) * (q * q) * (q * q);
        } else {
            // G = −ln c, c = e^(x/2) − b: with q = b'/c, gₖ = (k − 1)!·q^(k−1).
            const double q = v / value;
            nu = std::log(value / quote.gap) * value * inv_v;
            g2 = q;
            g3 = 2.0 * q * q;
            g4 = 6.0 * q * q * q;
            g5 = 24.0 * (q * q) * (q * q);
        }
        const double h2 = g2 + b2;
        const double h3 = g3 + 3.0 * g2 * b2 + b3;
        const double h4 = g4 + 6.0 * g3 * b2 + g2 * (3.0 * b2 * b2 + 4.0 * b3) + b4;
        const double h5 =
            g5 + 10.0 * g4 * b2 + g3 * (15.0 * b2 * b2 + 10.0 * b3) + g2 * (10.0 * b2 * b3 + 5.0 * b4) + b5;
        const double factor =
            (1.0 + nu * (1.5 * h2 + nu * (0.25 * h2 * h2 + h3 * (1.0 / 3.0) + nu * h4 * (1.0 / 24.0)))) /
            (1.0 + nu * (2.0 * h2 + nu * (0.75 * h2 * h2 + 0.5 * h3 +
                                          nu * (h2 * h3 * (1.0 / 6.0) + h4 * (1.0 / 12.0) + nu * h5 * (1.0 / 120.0)))));
        // Far from the root the rational factor may turn; Newton's step is safe.
        const double ds = (factor > 0.0 && factor < 2.0) ? nu * factor : nu;
        if (!std::isfinite(ds)) break;
        const double next = std::max(s + ds, 0.5 * s);
        const bool done = std::abs(next - s) <= 0x1p-10 * s;
        s = next;
        if (done) break;
    }
    return s;
}

/// The s with b(x, s) = β; 0 when β ≤ 0, +∞ when β is at or above e^(x/2).
/// s_c = √(−2x) and the tangent there, which meets 0 at s_l and e^(x/2) at
/// s_u, split the range into four; the two middle ones interpolate s(β)
/// directly, with zero second derivative at the inflection.
double normalised_implied(const Normalised& quote) {
    const double x = quote.x, root_up = quote.root_up, beta = quote.beta;
    if (!(beta > 0.0)) return 0.0;
    if (!(quote.gap > 0.0)) return kInf;
    const double s_c = std::sqrt(-2.0 * x);
    // At s_c, h + t = 0: b_c = e^(x/2)/2 − e^(−x/2)·Φ(−s_c). It only anchors
    // the guesses, so the cancellation of ≈ 1/s_c there is harmless until s_c
    // is so small that b itself is a short series.
    const double b_c = s_c > 1e-3   ? 0.5 * root_up - normal_tail(s_c) / root_up
                       : s_c > 0.0 ? black(x, root_up, s_c).value
                                   : 0.0;
    const double v_c = kInvSqrt2Pi * root_up;  // b'(s_c) in closed form
    if (beta <= b_c) {
        const double s_l = s_c - b_c / v_c;
        // |x| so small (below about 1e-30) that s_l drowns in the rounding of
        // s_c: b is linear in s up to s_c.
        if (!(s_l > 0.0)) return householder(quote, beta / v_c, Objective::Middle);
        const auto [b_l, v_l] = black(x, root_up, s_l);
        if (beta < b_l) {
            return householder(quote, low_guess(x, beta, b_l, s_l, v_l), Objective::Low);
        }
        const RationalCubic curve{b_l, b_c, s_l, s_c, 1.0 / v_l, 1.0 / v_c};
        const double s = curve(beta, curve.shape_preserving(curve.control_for_right(0.0)));
        return householder(quote, s, Objective::Middle);
    }
    const double s_u = s_c + (root_up - b_c) / v_c;
    const auto [b_u, v_u] = black(x, root_up, s_u);
    if (beta <= b_u) {
        const RationalCubic curve{b_c, b_u, s_c, s_u, 1.0 / v_c, 1.0 / v_u};
        const double s = curve(beta, curve.shape_preserving(curve.control_for_left(0.0)));
        return householder(quote, s, Objective::Middle);
    }
    return householder(quote, high_guess(x, root_up, beta, b_u, s_u, v_u), Objective::High);
}

}  // namespace

NormalisedBlack normalised_black(double x, double root_up, double s) noexcept {
    const Black b = black(x, root_up, s);
    return {b.value, b.vega};
}

ImpliedVol implied_vol_european(double price, OptionType type, double strike, const MarketNumbers& m) noexcept {
    using Status = ImpliedVol::Status;
    const double S = m.spot, K = strike, T = m.years, r = m.rate, q = m.dividend_yield;
    if (std::isnan(price) || std::isnan(S) || std::isnan(K) || std::isnan(r) || std::isnan(q) || !(T >= 0.0) ||
        T == kInf) {
        return {kNaN, Status::Solved, kNaN};
    }
    // The discounted spot and strike, and their difference (the discounted
    // intrinsic value of the call). Near the money the time value is only
    // ≈ 0.4·σ√T·S, so the absolute ε·S that subtracting the two rounded
    // products loses would show in σ magnified by 1/(σ√T). Written as
    // (S − K) + (S·(e^(−qT) − 1) − K·(e^(−rT) − 1)) it loses ε times smaller
    // terms wherever rT and qT are small; the form with the smaller terms wins.
    const double spot = S * std::exp((-q) * T), strike_pv = K * std::exp((-r) * T);
    const double spot_drift = std::expm1((-q) * T), strike_drift = std::expm1((-r) * T);
    const double drift_terms = std::abs(S - K) + std::abs(S * spot_drift) + std::abs(K * strike_drift);
    const double forward_gap =
        drift_terms < spot + strike_pv ? (S - K) + (S * spot_drift - K * strike_drift) : spot - strike_pv;
    const bool call = type == OptionType::Call;
    const double lower = std::max(call ? forward_gap : -forward_gap, 0.0);
    const double upper = call ? spot : strike_pv;
    if (price < lower) return {kNaN, Status::BelowLowerBound, lower};
    if (price >= upper) return {kNaN, Status::AtOrAboveUpperBound, upper};
    if (price == lower) return {0.0, Status::Solved, kNaN};
    if (T == 0.0) return {kNaN, Status::AboveMaxVol, lower};

    // By parity the time value of an in-the-money option is the price of the
    // out-of-the-money one, and a put with log-moneyness x is the call with −x
    // in normalised units: every quote becomes an out-of-the-money call. The
    // log-moneyness ln(S/K) + (r − q)·T takes ln(S/K) from the exact |S − K|
    // (a rounded ratio would cost an absolute ε, for the reason above), and
    // does not wait for the discount factors.
    const double log_ratio = std::copysign(std::log1p(std::abs(S - K) / std::min(S, K)), S - K);
    const double x = -std::abs(log_ratio + (r - q) * T);
    const double root_spot = std::sqrt(spot), root_strike = std::sqrt(strike_pv);
    const double root_product = root_spot * root_strike;
    const double root_up = std::min(root_spot, root_strike) / std::max(root_spot, root_strike);  // e^(x/2)
    const Normalised quote{x, root_up, (price - lower) / root_product, (upper - price) / root_product};
    const double vol = normalised_implied(quote) / std::sqrt(T);
    if (vol <= kMaxImpliedVol) return {vol, Status::Solved, kNaN};
    const double at_max = price_analytic(type, K, MarketNumbers{S, T, r, q, kMaxImpliedVol}).price;
    // A quote the pricer reaches at σ = 10 within its rounding counts as reached.
    if (price <= at_max) return {kMaxImpliedVol, Status::Solved, kNaN};
    return {kNaN, Status::AboveMaxVol, at_max};
}

}  // namespace sorvik
