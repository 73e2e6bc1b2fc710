// pricing/market_numbers.hpp: the market numbers one valuation runs on.
#pragma once

namespace sorvik {

/// Spot, time to expiry in years (Actual/365 Fixed), continuously compounded
/// rate and dividend yield, and volatility. Not validated: whatever the caller
/// passes flows through the formulas as IEEE doubles.
struct MarketNumbers {
    double spot = 0.0;
    double years = 0.0;
    double rate = 0.0;
    double dividend_yield = 0.0;
    double vol = 0.0;
};

}  // namespace sorvik
