// valuation/valuation.cpp: every rule of a valuation, in one place.
#include "valuation/valuation.hpp"

#include "calendar/clock.hpp"
#include "calendar/day_count.hpp"
#include "fault.hpp"
#include "fdm/fdm_solver.hpp"
#include "pricing/analytic.hpp"

namespace sorvik {

namespace {

/// The curve and the surface must measure time alike.
void check_day_counts(const MarketData& market) {
    const DayCountConvention& rates = market.rate_curve.day_count_convention();
    const DayCountConvention& vol = market.vol_surface.day_count_convention();
    if (!(rates == vol))
        throw CoreError("Mismatched day count conventions: Rates use " + rates.diagnostic() + ", while Vol uses " +
                        vol.diagnostic() + ". They must be identical.");
}

}  // namespace

OptionResult grid_result(const FdmOutcome& outcome) {
    return OptionResult{outcome.price, Greeks{outcome.delta, outcome.gamma, outcome.theta, std::nullopt, std::nullopt}};
}

OptionResult value_with_method(OptionType type, ExerciseStyle style, double strike, const MarketNumbers& market,
                               const PricingMethod& method, CancellationHook cancel) {
    if (method.tag == MethodTag::Analytic || method.tag == MethodTag::Unset) return price_analytic(type, strike, market);
    const FdmSettings settings = method.tag == MethodTag::FdmWithSettings ? method.settings : FdmSettings{};
    return grid_result(solve_fdm(FdmProblem{VanillaPayoff{type, strike}, style, market, settings, std::nullopt}, cancel));
}

OptionResult value_option(const StockOption& option, const MarketData* market, const ConfigTable* config,
                          const std::optional<UtcInstant>& valuation_time, CancellationHook cancel) {
    if (!market) throw CoreError("Market data is required for valuation.");
    check_day_counts(*market);
    static const ConfigTable default_table = ConfigTable::defaults();
    const ConfigTable& table = config ? *config : default_table;
    const UtcInstant when = valuation_time ? *valuation_time : wall_clock_now();

    const double years = year_fraction(when, option.expiry, Actual365Fixed{});
    const MarketNumbers numbers{market->spot, years, market->rate_curve.zero_rate(years), 0.0,
                                market->vol_surface.volatility(option.strike, years)};
    return value_with_method(option.option_type, option.exercise_style, option.strike, numbers,
                             table.slot(option.exercise_style, option.option_type), cancel);
}

}  // namespace sorvik
