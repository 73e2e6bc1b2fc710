// pricing/analytic.hpp: closed-form Black–Scholes–Merton price and greeks.
#pragma once

#include <span>

#include "instrument/stock_option.hpp"
#include "pricing/market_numbers.hpp"
#include "pricing/option_result.hpp"

namespace sorvik {

/// European price and the five greeks of a call or put with the given strike,
/// under a continuous dividend yield q (Merton's formula: the spot enters the
/// price and the greeks as S·e^(−qT)). With q = 0 exactly the dividend factor
/// is not formed at all, so results are those of the formula without dividends,
/// bit for bit. Theta is per year of calendar time, vega per unit of
/// volatility, rho per unit of rate; vega and rho are always present. Never
/// fails: inputs outside the model's domain (T <= 0, sigma = 0, ...) give
/// non-finite values, which are returned as they are. An American option
/// priced here is valued as European.
OptionResult price_analytic(OptionType type, double strike, const MarketNumbers& market);

/// The discounted spot S·e^(−qT) (S itself when q = 0) and strike K·e^(−rT)
/// the formula worked with.
struct DiscountedTerms {
    double spot, strike;
};

/// price_analytic, bit for bit, also telling the discounted terms.
OptionResult price_analytic(OptionType type, double strike, const MarketNumbers& market, DiscountedTerms& terms);

/// One option of a book for the form below.
struct AnalyticOption {
    OptionType type;
    double strike;
    const MarketNumbers* market;
};

/// price_analytic of each option into results and terms (both as long as
/// options), bit for bit. Faster per option: the options are taken in blocks,
/// two to a SIMD register, each stage of the formula over the whole block.
void price_analytic(std::span<const AnalyticOption> options, std::span<OptionResult> results,
                    std::span<DiscountedTerms> terms);

}  // namespace sorvik
