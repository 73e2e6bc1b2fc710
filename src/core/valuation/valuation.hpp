// valuation/valuation.hpp: every rule of a valuation, in one place.
#pragma once

#include <optional>

#include "calendar/date.hpp"
#include "fdm/fdm_problem.hpp"
#include "instrument/stock_option.hpp"
#include "market/market_data.hpp"
#include "pricing/market_numbers.hpp"
#include "pricing/option_result.hpp"
#include "valuation/config_table.hpp"

namespace sorvik {

/// Values `option` in `market` with the method `config` holds for its kind
/// (the default table when null), `valuation_time` years before expiry (the
/// wall clock now when empty). Checks, in this order: a market is given
/// (CoreError "Market data is required for valuation."); the curve and the
/// surface have one day count convention each (Fault "not yet implemented"
/// otherwise) and the same one (CoreError "Mismatched day count conventions:
/// ..."); then reads the clock. T is Actual/365 Fixed whatever the market's
/// convention; r and σ are the curve's and the surface's at T; no dividends.
OptionResult value_option(const StockOption& option, const MarketData* market, const ConfigTable* config,
                          const std::optional<UtcInstant>& valuation_time, CancellationHook cancel = {});

/// One option in market numbers by one method: the closed form for analytic
/// and unset methods (an American then gets the European formula), else the
/// grid with the method's settings (the defaults for FdmDefault).
OptionResult value_with_method(OptionType type, ExerciseStyle style, double strike, const MarketNumbers& market,
                               const PricingMethod& method, CancellationHook cancel = {});

/// The grid's result as an OptionResult: no vega and no rho.
OptionResult grid_result(const FdmOutcome& outcome);

}  // namespace sorvik
