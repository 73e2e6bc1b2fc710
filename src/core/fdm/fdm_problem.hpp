// fdm/fdm_problem.hpp: what one grid valuation is given and what it returns.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "fdm/cancellation.hpp"
#include "fdm/cash_dividends.hpp"
#include "fdm/payoff.hpp"
#include "instrument/stock_option.hpp"
#include "pricing/market_numbers.hpp"

namespace sorvik {

struct FdmSettings {
    uint64_t nodes = 1001;
    uint64_t time_steps = 50;
    double grid_std_devs = 6.0;
};

/// Throws CoreError "grid_std_devs must be a positive finite number, got <x>"
/// unless 0 < grid_std_devs < ∞: a zero or negative width folds the grid.
void check_grid_std_devs(double grid_std_devs);

/// One option on the grid: its payoff, whether it may be exercised early,
/// its market and the grid settings. `half_width`, when set, fixes the
/// grid's half-width instead of grid_half_width(): valuations that differ
/// only in σ or r then share one mesh, so their difference is smooth.
/// `dividends`: its cash dividends (see CashDividend).
struct FdmProblem {
    VanillaPayoff payoff;
    ExerciseStyle exercise = ExerciseStyle::European;
    MarketNumbers market;
    FdmSettings grid;
    std::optional<double> half_width;
    std::vector<CashDividend> dividends = {};
};

/// Price and spot greeks read off the grid; theta is per year of calendar time.
struct FdmOutcome {
    double price, delta, gamma, theta;
};

}  // namespace sorvik
