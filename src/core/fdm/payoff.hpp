// fdm/payoff.hpp: the vanilla payoff and the values its option tends to far from the strike.
#pragma once

#include <cmath>

#include "instrument/stock_option.hpp"
#include "pricing/market_numbers.hpp"

namespace sorvik {

/// max(0, S − K) for a call, max(0, K − S) for a put.
struct VanillaPayoff {
    OptionType type = OptionType::Call;
    double strike = 0.0;

    double operator()(double spot) const {
        if (type == OptionType::Call) return strike < spot ? spot - strike : 0.0;
        return spot < strike ? strike - spot : 0.0;
    }

    /// The European value τ years before expiry at a spot so far from the
    /// strike that the option is sure to end on one side of it: the
    /// discounted forward payoff ±(S·e^(−qτ) − K·e^(−rτ)) on the side where
    /// it is exercised, 0 on the other, and never below 0 (on a narrow grid
    /// with a large r·τ the formula alone can go negative). `low_end` names
    /// the grid end: a put is exercised at the low end, a call at the high end.
    double far_field(bool low_end, double spot, double tau, const MarketNumbers& m) const {
        if (low_end != (type == OptionType::Put)) return 0.0;
        const double carried = m.dividend_yield == 0.0 ? spot : spot * std::exp((-m.dividend_yield) * tau);
        const double strike_pv = strike * std::exp((-m.rate) * tau);
        const double value = type == OptionType::Put ? strike_pv - carried : carried - strike_pv;
        return value > 0.0 ? value : 0.0;
    }
};

}  // namespace sorvik
