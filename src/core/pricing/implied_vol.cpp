// pricing/implied_vol.cpp: European implied volatility by rational initial guesses and Householder steps.
#include "pricing/implied_vol.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "pricing/analytic.hpp"

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
constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kSqrt3 = 1.7320508075688772;
constexpr double kSqrt2Pi = 2.5066282746310002;
constexpr double kInvSqrt2Pi = 0.3989422804014327;
constexpr double kSqrtHalfPi = 1.2533141373155003;

/// Φ(z) through erfc, so that it keeps its relative accuracy far into the left
/// tail (the pricer's erf form stops at an absolute 2^-54 there).
double cdf(double z) { return 0.5 * std::erfc(-z / kSqrt2); }

/// erfc(z)·e^(z² − q) for z ≥ 0, to a few ulps where the result is normal.
/// z² is split exactly into a 26-bit square and a small rest, so the rounding
/// of z² never reaches exp; erfc and the exponential see the same z, which
/// makes the product as well conditioned as e^(z²)·erfc(z) itself.
double erfc_scaled(double z, double q) {
    const double c = 134217729.0 * z;  // 2^27 + 1: Veltkamp's split
    const double hi = c - (c - z);
    const double rest = (z - hi) * (z + hi);  // z² − hi², below 2^-25·z²
    return std::erfc(z) * std::exp(hi * hi - q) * (1.0 + rest * (1.0 + 0.5 * rest));
}

/// ∂b/∂s = φ(h + t)·e^(x/2) = exp(−(h² + t²)/2)/√(2π).
double vega(double x, double s) {
    const double h = x / s, t = 0.5 * s;
    return kInvSqrt2Pi * std::exp(-0.5 * (h * h + t * t));
}

// Where −(h + t) reaches kTailEdge, both Φ terms are deep in the left tail and
// their difference is summed from the tail's asymptotic series; below kSmallT,
// from the Taylor series in t. Elsewhere the two terms are subtracted, at most
// a factor (kTailEdge + kSmallT)/(2·kSmallT) ≈ 60 above b. Then, while h + t < 0,
// they are formed as e^(−(h² + t²)/2)·e^(z²)·erfc(z)/2: the exponent rounds
// once for both, so the error of the difference is one of (h, t), and b's
// steepness in s keeps the implied s within a few ulps (separate erfc terms
// would each carry the rounding of their own argument, magnified by z²).
constexpr double kTailEdge = 12.0;
constexpr double kSmallT = 0.25;
constexpr int kSmallTTerms = 8;

/// b(x, s) = b'(s)·[Y(h + t) − Y(h − t)] with Y(z) = Φ(z)/φ(z), whose series at
/// z → −∞ is Σ (−1)^n·(2n−1)!!/u^(2n+1), u = −z. With u₁ = −h − t ≥ kTailEdge
/// and u₂ = −h + t, each term u₁^−m − u₂^−m = u₁^−m·(1 − ρ^m), ρ = u₁/u₂, and
/// 1 − ρ^m is built up by positive increments, so nothing cancels. 16 terms
/// reach 2^-56 at u₁ = 12; larger u₁ stop earlier.
double black_tail(double x, double s) {
    const double h = x / s, t = 0.5 * s;
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
    return vega(x, s) * sum;
}

/// b(x, s) = 2·b'(s)·Σ_(k odd) Y⁽ᵏ⁾(h)·t^k/k!, the odd part of the Taylor series
/// of e^(ht)·Φ(h + t)/φ(h) in t. Y' = 1 + zY gives Y⁽ⁿ⁺¹⁾ = n·Y⁽ⁿ⁻¹⁾ + z·Y⁽ⁿ⁾;
/// all these derivatives are positive, so the sum does not cancel. For
/// t < kSmallT the terms up to t^(2·kSmallTTerms − 1) leave out less than 2^-56.
double black_small_t(double x, double s) {
    const double h = x / s, t = 0.5 * s;
    double even = kSqrtHalfPi * erfc_scaled(-h / kSqrt2, 0.0);  // Y(h)
    double odd = 1.0 + h * even;                                // Y'(h)
    double series = 0.0, power = t, inverse_factorial = 1.0;
    const double t2 = t * t;
    for (int n = 1; n < 2 * kSmallTTerms; n += 2) {
        series += odd * inverse_factorial * power;
        power *= t2;
        inverse_factorial /= (n + 1) * (n + 2);
        even = n * even + h * odd;       // Y⁽ⁿ⁺¹⁾
        odd = (n + 1) * odd + h * even;  // Y⁽ⁿ⁺²⁾
    }
    return 2.0 * vega(x, s) * series;
}

/// The normalised call price b(x, s) for x ≤ 0, s > 0, to a few ulps.
/// root_up = e^(x/2).
double black(double x, double root_up, double s) {
    const double h = x / s, t = 0.5 * s;
    if (h + t <= -kTailEdge) return black_tail(x, s);
    if (t < kSmallT) return black_small_t(x, s);
    if (h + t < 0.0) {
        const double q = 0.5 * (h * h + t * t);
        return 0.5 * (erfc_scaled(-(h + t) / kSqrt2, q) - erfc_scaled((t - h) / kSqrt2, q));
    }
    return root_up * cdf(h + t) - cdf(h - t) / root_up;
}

/// e^(x/2) − b(x, s), the distance to the limit at s = ∞, as a sum of two tail
/// probabilities: accurate where b itself has no digits left to lose.
double black_complement(double x, double root_up, double s) {
    const double h = x / s, t = 0.5 * s;
    return root_up * cdf(-h - t) + cdf(h - t) / root_up;
}

/// Φ⁻¹(p) for 0 < p ≤ 1/2 to about 1e-10: the textbook rational estimate
/// (Abramowitz & Stegun 26.2.23, error below 4.5e-4) and one Halley step. Only
/// initial guesses use it.
double normal_quantile_lower(double p) {
    const double w = std::sqrt(-2.0 * std::log(p));
    double z = -(w - (2.515517 + w * (0.802853 + w * 0.010328)) /
                         (1.0 + w * (1.432788 + w * (0.189269 + w * 0.001308))));
    const double u = (cdf(z) - p) * kSqrt2Pi * std::exp(0.5 * z * z);
    z -= u / (1.0 + 0.5 * z * u);
    return z;
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

/// The objective the Householder steps drive to zero, chosen by where β lies:
/// 1/ln b − 1/ln β below b_l, b − β between b_l and b_u, and
/// ln((e^(x/2) − β)/(e^(x/2) − b)) above b_u. Each is close to linear in s in
/// its range, which is what makes two steps enough.
enum class Objective : uint8_t { Low, Middle, High };

/// Lowest range, β < b_l: f(s) = (2π/√27)·|x|·Φ(−|x|/(√3·s))³ has b's own
/// leading behaviour as s → 0 and an explicit inverse, so f(β) is nearly
/// linear; it is interpolated between (0, 0) with slope 1 and the point at s_l.
double low_guess(double x, double beta, double b_l, double s_l, double v_l) {
    const double ax = -x;
    const double z = ax / (kSqrt3 * s_l);
    const double tail = cdf(-z);
    const double scale = 1.2091995761561452 * ax;  // 2π/√27·|x|
    const double f = scale * tail * tail * tail;
    const double w = kInvSqrt2Pi * std::exp(-0.5 * z * z) * z / (s_l * tail);  // (ln f)'/3
    const double df = 3.0 * f * w;
    const double d2f = 3.0 * f * w * (3.0 * w + (z * z - 2.0 - s_l * w) / s_l);
    const double b2 = x * x / (s_l * s_l * s_l) - 0.25 * s_l;  // b''/b'
    const RationalCubic curve{0.0, b_l, 0.0, f, 1.0, df / v_l};
    const double r = curve.shape_preserving(curve.control_for_right((d2f - df * b2) / (v_l * v_l)));
    const double f_beta = curve(beta, r);
    const double root = std::cbrt(f_beta / scale);  // Φ(−|x|/(√3·s))
    if (!(root > 0.0)) return s_l * 0.5;
    return ax / (kSqrt3 * -normal_quantile_lower(root));
}

/// Highest range, β > b_u: e^(x/2) − b behaves like 2·Φ(−s/2) as s → ∞, so
/// f(s) = Φ(−s/2) is interpolated between the point at s_u and (e^(x/2), 0)
/// with slope −1/2, and inverted as s = −2·Φ⁻¹(f).
double high_guess(double x, double root_up, double beta, double b_u, double s_u, double v_u) {
    const double f = cdf(-0.5 * s_u);
    const double density = kInvSqrt2Pi * std::exp(-0.125 * s_u * s_u);  // φ(s/2)
    const double df = -0.5 * density;
    const double d2f = 0.125 * s_u * density;
    const double b2 = x * x / (s_u * s_u * s_u) - 0.25 * s_u;
    const RationalCubic curve{b_u, root_up, f, 0.0, df / v_u, -0.5};
    const double r = curve.shape_preserving(curve.control_for_left((d2f - df * b2) / (v_u * v_u)));
    const double f_beta = curve(beta, r);
    if (!(f_beta > 0.0)) return s_u * 2.0;
    return -2.0 * normal_quantile_lower(std::min(f_beta, 0.5));
}

// A step is about as large as the error it removes, and after a step below
// 2^-16·s the error left is of order (2^-16)^4: that step is the last. From
// the initial guesses one or two steps end there; the cap only bounds the
// work on inputs at the ends of the double range.
constexpr int kMaxSteps = 4;

/// Householder steps of order three (convergence order four) on the chosen
/// objective g: s += ν·(1 + ν·h₂/2)/(1 + ν·(h₂ + ν·h₃/6)), with ν = −g/g',
/// h₂ = g''/g', h₃ = g'''/g'. For g = G(b(s)) these follow from the ratios
/// b''/b' = x²/s³ − s/4 and b'''/b' = (b''/b')² − 3x²/s⁴ − 1/4.
double householder(double x, double root_up, double beta, double s, Objective objective) {
    const double log_beta = objective == Objective::Low ? std::log(beta) : 0.0;
    const double gap_beta = objective == Objective::High ? root_up - beta : 0.0;
    for (int step = 0; step < kMaxSteps; ++step) {
        const double h = x / s;
        const double v = vega(x, s);
        const double b2 = h * h / s - 0.25 * s;
        const double b3 = b2 * b2 - 3.0 * (h * h) / (s * s) - 0.25;
        double nu, h2, h3;
        if (objective == Objective::Middle) {
            nu = (beta - black(x, root_up, s)) / v;
            h2 = b2;
            h3 = b3;
        } else if (objective == Objective::Low) {
            const double b = black(x, root_up, s);
            const double l = std::log(b);
            const double q = v / b;
            const double k = (l + 2.0) / l;
            nu = (l / q) * (1.0 - l / log_beta);
            h2 = b2 - k * q;
            h3 = b3 - 3.0 * k * q * b2 + ((2.0 * l * l + 6.0 * l + 6.0) / (l * l)) * q * q;
        } else {
            const double gap = black_complement(x, root_up, s);
            const double q = v / gap;
            nu = std::log(gap / gap_beta) / q;
            h2 = b2 + q;
            h3 = b3 + 3.0 * q * b2 + 2.0 * q * q;
        }
        const double factor = (1.0 + 0.5 * h2 * nu) / (1.0 + nu * (h2 + h3 * nu / 6.0));
        // Far from the root the rational factor may turn; Newton's step is safe.
        const double ds = (factor > 0.0 && factor < 2.0) ? nu * factor : nu;
        if (!std::isfinite(ds)) break;
        const double next = std::max(s + ds, 0.5 * s);
        const bool done = std::abs(next - s) <= 0x1p-16 * s;
        s = next;
        if (done) break;
    }
    return s;
}

/// The s with b(x, s) = β, for x ≤ 0 and 0 < β; +∞ when β ≥ e^(x/2).
/// s_c = √(−2x) and the tangent there, which meets 0 at s_l and e^(x/2) at
/// s_u, split the range into four; the two middle ones interpolate s(β)
/// directly, with zero second derivative at the inflection.
double normalised_implied(double x, double root_up, double beta) {
    if (!(beta > 0.0)) return 0.0;
    if (!(beta < root_up)) return kInf;
    const double s_c = std::sqrt(-2.0 * x);
    const double b_c = s_c > 0.0 ? black(x, root_up, s_c) : 0.0;
    const double v_c = kInvSqrt2Pi * root_up;  // b'(s_c) in closed form
    if (beta <= b_c) {
        const double s_l = s_c - b_c / v_c;
        const double b_l = s_l > 0.0 ? black(x, root_up, s_l) : 0.0;
        const double v_l = vega(x, s_l);
        if (beta < b_l) {
            return householder(x, root_up, beta, low_guess(x, beta, b_l, s_l, v_l), Objective::Low);
        }
        const RationalCubic curve{b_l, b_c, s_l, s_c, 1.0 / v_l, 1.0 / v_c};
        const double s = curve(beta, curve.shape_preserving(curve.control_for_right(0.0)));
        return householder(x, root_up, beta, s, Objective::Middle);
    }
    const double s_u = s_c + (root_up - b_c) / v_c;
    const double b_u = black(x, root_up, s_u);
    const double v_u = vega(x, s_u);
    if (beta <= b_u) {
        const RationalCubic curve{b_c, b_u, s_c, s_u, 1.0 / v_c, 1.0 / v_u};
        const double s = curve(beta, curve.shape_preserving(curve.control_for_left(0.0)));
        return householder(x, root_up, beta, s, Objective::Middle);
    }
    return householder(x, root_up, beta, high_guess(x, root_up, beta, b_u, s_u, v_u), Objective::High);
}

}  // namespace

ImpliedVol implied_vol_european(double price, OptionType type, double strike, const MarketNumbers& m) noexcept {
    using Status = ImpliedVol::Status;
    const double S = m.spot, K = strike, T = m.years, r = m.rate, q = m.dividend_yield;
    if (std::isnan(price) || std::isnan(S) || std::isnan(K) || std::isnan(r) || std::isnan(q) || !(T >= 0.0) ||
        T == kInf) {
        return {kNaN, Status::Solved, kNaN};
    }
    // The discounted spot and strike exactly as the pricer forms them.
    const double spot = q != 0.0 ? S * std::exp((-q) * T) : S;
    const double strike_pv = K * std::exp((-r) * T);
    const bool call = type == OptionType::Call;
    const double lower = std::max(call ? spot - strike_pv : strike_pv - spot, 0.0);
    const double upper = call ? spot : strike_pv;
    if (price < lower) return {kNaN, Status::BelowLowerBound, lower};
    if (price >= upper) return {kNaN, Status::AtOrAboveUpperBound, upper};
    if (price == lower) return {0.0, Status::Solved, kNaN};
    if (T == 0.0) return {kNaN, Status::AboveMaxVol, lower};

    // By parity the time value of an in-the-money option is the price of the
    // out-of-the-money one, and a put with log-moneyness x is the call with −x
    // in normalised units: every quote becomes an out-of-the-money call.
    const double ratio = std::min(spot, strike_pv) / std::max(spot, strike_pv);
    const double x = std::log(ratio);
    const double beta = (price - lower) / (std::sqrt(spot) * std::sqrt(strike_pv));
    const double vol = normalised_implied(x, std::sqrt(ratio), beta) / std::sqrt(T);
    if (vol <= kMaxImpliedVol) return {vol, Status::Solved, kNaN};
    const double at_max = price_analytic(type, K, MarketNumbers{S, T, r, q, kMaxImpliedVol}).price;
    // A quote the pricer reaches at σ = 10 within its rounding counts as reached.
    if (price <= at_max) return {kMaxImpliedVol, Status::Solved, kNaN};
    return {kNaN, Status::AboveMaxVol, at_max};
}

}  // namespace sorvik
