// pricing/analytic.cpp: closed-form Black–Scholes–Merton price and greeks.
#include "pricing/analytic.hpp"

#include <cmath>

#include "lanes.hpp"

namespace sorvik {

namespace {

using lanes::Pair;
using lanes::PairBits;
using lanes::select;

/// f of each lane: the platform libm, lane by lane, so a lane's bits are the scalar call's.
template <class F>
SORVIK_LANE_INLINE double each(F f, double x, double y) {
    return f(x, y);
}
template <class F>
SORVIK_LANE_INLINE Pair each(F f, Pair x, Pair y) {
    return Pair{f(x[0], y[0]), f(x[1], y[1])};
}
template <class F>
SORVIK_LANE_INLINE double each(F f, double x) {
    return f(x);
}
template <class F>
SORVIK_LANE_INLINE Pair each(F f, Pair x) {
    return Pair{f(x[0]), f(x[1])};
}

template <class V>
struct ClosedForm {
    V price, delta, gamma, theta, vega, rho, carried, strike_pv;
};

/// The formula for a double or for two lanes, without a branch on the option
/// type (books mix calls and puts at random, and a mispredicted branch costs
/// as much as the arithmetic): both types' expressions are formed and one is
/// selected. Every expression keeps its written order of operations (and the
/// build forbids contraction into fused multiply-adds): results are
/// reproduced bit for bit, so do not "simplify" them algebraically.
///
/// N(x) = (erf(x/√2) + 1)/2 with the platform erf; N(−x) is (1 − erf(x/√2))/2,
/// the same bits as N evaluated at −x since (−x)/√2 = −(x/√2) exactly and erf
/// is odd, bit for bit, in the C library (its code works on |x| and restores
/// the sign). Never 1 − N(x), which loses the tail to rounding.
template <class V, class Mask>
SORVIK_LANE_INLINE ClosedForm<V> closed_form(Mask call, V K, V S, V T, V r, V q, V sigma) {
    const V sqrt_t = lanes::sqrt(T);
    const V half_var = sigma * sigma * 0.5;
    const V ln_sk = each([](double x) { return std::log(x); }, S / K);
    const V sigma_sqrt_t = sigma * sqrt_t;
    // (halfVar + r) − q: exactly halfVar + r when q = 0.
    const V d1 = (ln_sk + ((half_var + r) - q) * T) / sigma_sqrt_t;
    const V d2 = d1 - sigma_sqrt_t;
    const V pdf = each([](double x) { return std::exp(x); }, (-d1) * d1 * 0.5) / 2.5066282746310002;  // √(2π)
    const V discount = each([](double x) { return std::exp(x); }, (-r) * T);
    const V two_sqrt_t = sqrt_t + sqrt_t;
    // The dividend-discounted spot; without dividends the spot itself, and the
    // dividend terms of theta and the factor of delta and gamma are left out.
    const auto dividends = q != 0.0;
    const V dq = each([](double qq, double t) { return qq != 0.0 ? std::exp((-qq) * t) : 1.0; }, q, T);
    const V sq = select(dividends, S * dq, S);

    const V erf1 = each([](double x) { return std::erf(x); }, d1 / 1.4142135623730951);
    const V erf2 = each([](double x) { return std::erf(x); }, d2 / 1.4142135623730951);
    const V nd1 = (erf1 + 1.0) * 0.5;
    // The tails the option is paid on: N(d1), N(d2) for a call, N(−d1), N(−d2) for a put.
    const V tail1 = select(call, nd1, ((-erf1) + 1.0) * 0.5);
    const V tail2 = select(call, (erf2 + 1.0) * 0.5, ((-erf2) + 1.0) * 0.5);

    ClosedForm<V> out;
    out.carried = sq;
    out.strike_pv = K * discount;
    const V gamma = pdf / (sigma * S * sqrt_t);
    out.gamma = select(dividends, dq * gamma, gamma);
    out.vega = sq * sqrt_t * pdf;
    // Call: N(d1)·S' − K·D·N(d2); put: K·D·N(−d2) − S'·N(−d1).
    const V spot_leg = tail1 * sq, strike_leg = K * discount * tail2;
    out.price = select(call, spot_leg - strike_leg, strike_leg - spot_leg);
    const V delta = select(call, nd1, nd1 + (-1.0));
    out.delta = select(dividends, dq * delta, delta);
    // Call: −σ·S'·φ/(2√T) − r·K·D·N(d2) (+ q·S'·N(d1)); put: r·K·D·N(−d2) − S'·φ·σ/(2√T) (− q·S'·N(−d1)).
    const V decay = (sq * pdf * sigma) / two_sqrt_t, carry = r * K * discount * tail2;
    const V theta = select(call, (-decay) - carry, carry - decay);
    const V dividend_leg = q * sq * tail1;
    out.theta = select(dividends, select(call, theta + dividend_leg, theta - dividend_leg), theta);
    const V rho = discount * (T * K) * tail2;
    out.rho = select(call, rho, -rho);
    return out;
}

void store(const ClosedForm<double>& c, OptionResult& result, DiscountedTerms& terms) {
    terms = {c.carried, c.strike_pv};
    result.price = c.price;
    result.greeks = Greeks{c.delta, c.gamma, c.theta, c.vega, c.rho};
}

}  // namespace

OptionResult price_analytic(OptionType type, double K, const MarketNumbers& m) {
    DiscountedTerms terms;
    return price_analytic(type, K, m, terms);
}

OptionResult price_analytic(OptionType type, double K, const MarketNumbers& m, DiscountedTerms& terms) {
    OptionResult result;
    store(closed_form(type == OptionType::Call, K, m.spot, m.years, m.rate, m.dividend_yield, m.vol), result, terms);
    return result;
}

void price_analytic(const AnalyticPair& options, OptionResult (&results)[2], DiscountedTerms (&terms)[2]) {
    const MarketNumbers &a = *options.market[0], &b = *options.market[1];
    const PairBits call{options.type[0] == OptionType::Call ? -1 : 0, options.type[1] == OptionType::Call ? -1 : 0};
    const ClosedForm<Pair> c =
        closed_form(call, Pair{options.strike[0], options.strike[1]}, Pair{a.spot, b.spot}, Pair{a.years, b.years},
                    Pair{a.rate, b.rate}, Pair{a.dividend_yield, b.dividend_yield}, Pair{a.vol, b.vol});
    for (int j = 0; j < 2; ++j)
        store({c.price[j], c.delta[j], c.gamma[j], c.theta[j], c.vega[j], c.rho[j], c.carried[j], c.strike_pv[j]},
              results[j], terms[j]);
}

}  // namespace sorvik
