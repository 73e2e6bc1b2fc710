// pricing/option_result.hpp: what a valuation returns.
#pragma once

#include <optional>

namespace sorvik {

/// Sensitivities per unit of spot (delta, gamma), per year (theta), per unit
/// of volatility (vega) and of rate (rho). The grid engine gives no vega or rho.
struct Greeks {
    double delta = 0.0;
    double gamma = 0.0;
    double theta = 0.0;
    std::optional<double> vega;
    std::optional<double> rho;
};

struct OptionResult {
    double price = 0.0;
    Greeks greeks;
};

}  // namespace sorvik
