// pricing/analytic.cpp: closed-form Black–Scholes–Merton price and greeks.
#include "pricing/analytic.hpp"

#include <cmath>

#include "pricing/normal_cdf.hpp"

namespace sorvik {

// Every expression below keeps its written order of operations (and the
// build forbids contraction into fused multiply-adds): the results are
// reproduced bit for bit, so do not "simplify" them algebraically.
OptionResult price_analytic(OptionType type, double K, const MarketNumbers& m) {
    DiscountedTerms terms;
    return price_analytic(type, K, m, terms);
}

OptionResult price_analytic(OptionType type, double K, const MarketNumbers& m, DiscountedTerms& terms) {
    const double S = m.spot, T = m.years, r = m.rate, q = m.dividend_yield, sigma = m.vol;
    const double sqrt_t = std::sqrt(T);
    const double half_var = sigma * sigma * 0.5;
    const double ln_sk = std::log(S / K);
    const double sigma_sqrt_t = sigma * sqrt_t;
    // (halfVar + r) − q: exactly halfVar + r when q = 0.
    const double d1 = (ln_sk + ((half_var + r) - q) * T) / sigma_sqrt_t;
    const double d2 = d1 - sigma_sqrt_t;
    const double pdf = std::exp((-d1) * d1 * 0.5) / 2.5066282746310002;  // √(2π)
    const double discount = std::exp((-r) * T);
    const double two_sqrt_t = sqrt_t + sqrt_t;
    // The dividend-discounted spot; without dividends the spot itself, and the
    // dividend terms of theta and the factor of delta and gamma are skipped.
    const bool dividends = q != 0.0;
    const double dq = dividends ? std::exp((-q) * T) : 1.0;
    const double sq = dividends ? S * dq : S;

    terms = {sq, K * discount};
    OptionResult result;
    const double gamma = pdf / (sigma * S * sqrt_t);
    result.greeks.gamma = dividends ? dq * gamma : gamma;
    result.greeks.vega = sq * sqrt_t * pdf;
    // N is pure, so only the tail probabilities the option type needs are evaluated.
    const double nd1 = normal_cdf(d1);
    if (type == OptionType::Call) {
        const double nd2 = normal_cdf(d2);
        result.price = nd1 * sq - K * discount * nd2;
        result.greeks.delta = dividends ? dq * nd1 : nd1;
        result.greeks.theta = ((-sigma) * (sq * pdf)) / two_sqrt_t - r * K * discount * nd2;
        if (dividends) result.greeks.theta = result.greeks.theta + q * sq * nd1;
        result.greeks.rho = discount * (T * K) * nd2;
    } else {
        const double nmd1 = normal_cdf(-d1);
        const double nmd2 = normal_cdf(-d2);
        result.price = K * discount * nmd2 - sq * nmd1;
        const double delta = nd1 + (-1.0);
        result.greeks.delta = dividends ? dq * delta : delta;
        result.greeks.theta = r * K * discount * nmd2 - (sq * pdf * sigma) / two_sqrt_t;
        if (dividends) result.greeks.theta = result.greeks.theta - q * sq * nmd1;
        result.greeks.rho = discount * (T * (-K)) * nmd2;
    }
    return result;
}

}  // namespace sorvik
