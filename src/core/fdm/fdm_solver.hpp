// fdm/fdm_solver.hpp: finite-difference valuation of a stock option with early exercise and grid greeks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "instrument/stock_option.hpp"

namespace sorvik {

struct FdmSettings {
    uint64_t nodes = 1001;
    uint64_t time_steps = 50;
    double grid_std_devs = 6.0;
};

/// Price and spot greeks read off the grid; theta is per year of calendar time.
struct FdmOutcome {
    double price, delta, gamma, theta;
};

/// Polled between time steps; when poll(context) returns true the run throws sorvik::Cancelled.
struct CancellationHook {
    bool (*poll)(void* context) = nullptr;
    void* context = nullptr;
};

/// Early exercise as stage hooks: stage values and new node values are held
/// at or above the payoff (a NaN becomes the payoff), and the stage
/// derivative is zeroed where the stage value is within 2^-52 of the payoff.
/// payoff_i and threshold_i are those of the exercise rule, taken once per
/// valuation from e^(x_i) (the same values as recomputing them per call).
struct AmericanHooks {
    std::span<const double> payoff;
    std::span<const double> threshold;  ///< payoff_i + 2^-52, formed as (S_i − K) + ε, (K − S_i) + ε or ε

    double after_solve(std::size_t i, double y) const { return y > payoff[i] ? y : payoff[i]; }
    double after_apply(std::size_t i, double y, double f) const { return y <= threshold[i] ? 0.0 : f; }
    // Without this a node whose new value falls below the payoff stays pinned
    // there: the stage hooks alone never lift the carried u.
    double after_step(std::size_t i, double u) const { return u > payoff[i] ? u : payoff[i]; }
};

/// Values one European or American call or put by stepping the payoff back
/// on a uniform log-spot grid (ln K ± g·σ√T). The grid is centred on the
/// strike, not the spot; a spot outside it is valued by flat extrapolation
/// (the end node's value, delta = gamma = 0). This is kept by design: for
/// options far from the money raise grid_std_devs so the grid covers the spot.
class FdmSolver {
public:
    FdmSolver(double spot, double strike, double years, double rate, double vol, OptionType type,
              ExerciseStyle style, FdmSettings settings);

    /// Throws Fault "TridiagonalOperator requires at least 3 elements, found <N>"
    /// for fewer than 3 nodes and "NaN in Grid" from value_at (T < 0, NaN σ,
    /// negative or NaN spot); MemoryBudgetExceeded when the arrays of the run
    /// would not fit under the process's memory limits; Cancelled when the
    /// hook asks to stop.
    /// No inputs are validated otherwise: degenerate ones give non-finite
    /// results (time_steps = 0 leaves theta NaN).
    FdmOutcome run(CancellationHook hook = {}) const;

private:
    double spot_, strike_, years_, rate_, vol_;
    OptionType type_;
    ExerciseStyle style_;
    FdmSettings settings_;
};

/// The node values at `spot`, linear in log-spot between the ascending
/// locations and flat beyond the ends (no extrapolation). Throws Fault
/// "NaN in Grid" when a comparison of a location with ln(spot) is unordered,
/// and Fault when the arrays are empty or differ in length.
double value_at(std::span<const double> locations, std::span<const double> values, double spot);

}  // namespace sorvik
