// pricing/analytic.hpp: closed-form Black–Scholes price and greeks, no dividends.
#pragma once

#include "instrument/stock_option.hpp"
#include "pricing/option_result.hpp"

namespace sorvik {

/// European price and the five greeks of an option on spot S with strike K,
/// T years to expiry, continuously compounded rate r and volatility sigma.
/// Theta is per year of calendar time, vega per unit of volatility, rho per
/// unit of rate; vega and rho are always present. Never fails: inputs outside
/// the model's domain (T <= 0, sigma = 0, ...) give non-finite values, which
/// are returned as they are. An American option priced here is valued as
/// European (without dividends early exercise never pays for a call).
OptionResult price_analytic(double S, double K, double T, double r, double sigma, OptionType type);

}  // namespace sorvik
