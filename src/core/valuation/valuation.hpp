// valuation/valuation.hpp: one valuation from an option, its market and a method table.
#pragma once

#include "calendar/date.hpp"
#include "fdm/fdm_solver.hpp"
#include "instrument/stock_option.hpp"
#include "market/market_data.hpp"
#include "pricing/option_result.hpp"
#include "valuation/config_table.hpp"

namespace sorvik {

/// The curve and the surface must measure time alike. Throws CoreError
/// "Mismatched day count conventions: ..." when they differ, and the Fault
/// "not yet implemented" for a curve or surface without a single convention.
void check_day_counts(const MarketData& market);

/// Prices `option` at `valuation_time` with the method the table holds for its
/// kind: finite differences, or the closed form for analytic and unset slots
/// (an American option then gets the European formula). T is always
/// Actual/365 Fixed; r and σ are the curve's and the surface's at T.
OptionResult value_option(const StockOption& option, const MarketData& market, const ConfigTable& table,
                          const UtcInstant& valuation_time, CancellationHook cancel = {});

}  // namespace sorvik
