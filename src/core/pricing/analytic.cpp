// pricing/analytic.cpp: closed-form Black–Scholes price and greeks, no dividends.
#include "pricing/analytic.hpp"

#include <cmath>

#include "pricing/normal_cdf.hpp"

namespace sorvik {

// Every expression below keeps its written order of operations (and the
// build forbids contraction into fused multiply-adds): the results are
// reproduced bit for bit, so do not "simplify" them algebraically.
OptionResult price_analytic(double S, double K, double T, double r, double sigma, OptionType type) {
    const double sqrt_t = std::sqrt(T);
    const double half_var = sigma * sigma * 0.5;
    const double ln_sk = std::log(S / K);
    const double sigma_sqrt_t = sigma * sqrt_t;
    const double d1 = (ln_sk + (half_var + r) * T) / sigma_sqrt_t;
    const double d2 = d1 - sigma_sqrt_t;
    const double pdf = std::exp((-d1) * d1 * 0.5) / 2.5066282746310002;  // √(2π)
    const double discount = std::exp((-r) * T);
    const double two_sqrt_t = sqrt_t + sqrt_t;

    OptionResult result;
    result.greeks.gamma = pdf / (sigma * S * sqrt_t);
    result.greeks.vega = S * sqrt_t * pdf;
    // N is pure, so only the tail probabilities the option type needs are evaluated.
    const double nd1 = normal_cdf(d1);
    if (type == OptionType::Call) {
        const double nd2 = normal_cdf(d2);
        result.price = nd1 * S - K * discount * nd2;
        result.greeks.delta = nd1;
        result.greeks.theta = ((-sigma) * (S * pdf)) / two_sqrt_t - r * K * discount * nd2;
        result.greeks.rho = discount * (T * K) * nd2;
    } else {
        const double nmd1 = normal_cdf(-d1);
        const double nmd2 = normal_cdf(-d2);
        result.price = K * discount * nmd2 - S * nmd1;
        result.greeks.delta = nd1 + (-1.0);
        result.greeks.theta = r * K * discount * nmd2 - (S * pdf * sigma) / two_sqrt_t;
        result.greeks.rho = discount * (T * (-K)) * nmd2;
    }
    return result;
}

}  // namespace sorvik
