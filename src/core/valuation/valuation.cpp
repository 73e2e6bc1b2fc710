// valuation/valuation.cpp: model inputs, method selection, result.
#include "valuation/valuation.hpp"

#include "calendar/day_count.hpp"
#include "fault.hpp"
#include "pricing/analytic.hpp"

namespace sorvik {

void check_day_counts(const MarketData& market) {
    const DayCountConvention& rates = market.rate_curve.day_count_convention();
    const DayCountConvention& vol = market.vol_surface.day_count_convention();
    if (!(rates == vol))
        throw CoreError("Mismatched day count conventions: Rates use " + rates.diagnostic() + ", while Vol uses " +
                        vol.diagnostic() + ". They must be identical.");
}

OptionResult value_option(const StockOption& option, const MarketData& market, const ConfigTable& table,
                          const UtcInstant& valuation_time, CancellationHook cancel) {
    const double spot = market.spot;
    const double strike = option.strike;
    const double years = year_fraction(valuation_time, option.expiry, Actual365Fixed{});
    const double rate = market.rate_curve.zero_rate(years);
    const double vol = market.vol_surface.volatility(strike, years);

    const PricingMethod& method = table.slot(option.exercise_style, option.option_type);
    if (method.tag == MethodTag::Analytic || method.tag == MethodTag::Unset)
        return price_analytic(option.option_type, strike, MarketNumbers{spot, years, rate, 0.0, vol});

    const FdmSettings settings = method.tag == MethodTag::FdmWithSettings ? method.settings : FdmSettings{};
    const FdmSolver solver(spot, strike, years, rate, vol, option.option_type, option.exercise_style, settings);
    const FdmOutcome outcome = solver.run(cancel);
    return OptionResult{outcome.price, Greeks{outcome.delta, outcome.gamma, outcome.theta, std::nullopt, std::nullopt}};
}

}  // namespace sorvik
