// fdm/fdm_solver.hpp: finite-difference valuation of stock options with early exercise and grid greeks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fdm/fdm_problem.hpp"

namespace sorvik {

/// Values one European or American call or put by stepping the payoff back
/// on a uniform log-spot grid. The grid is centred on the strike with
/// half-width grid_half_width(); the end nodes carry the option's far-field
/// values; American stages are solved as complementarity problems. When
/// σ√T = 0 nothing is random and the deterministic value is returned instead
/// (see deterministic_outcome).
///
/// Throws CoreError when grid_std_devs is not a positive finite number;
/// MemoryBudgetExceeded when the run's arrays would not fit; Fault
/// "TridiagonalOperator requires at least 3 elements, found <N>" for fewer
/// than 3 nodes and "NaN in Grid" when ln(spot) or a location is NaN (T < 0,
/// a NaN σ, a negative or NaN spot); Cancelled when the hook asks to stop.
/// time_steps = 0 leaves theta NaN.
FdmOutcome solve_fdm(const FdmProblem& problem, CancellationHook cancel = {});

/// solve_fdm for each problem into `out` (same length), several options
/// stepped together with their sweeps interleaved. Each result has exactly
/// the bits solve_fdm gives it alone.
void solve_fdm_many(std::span<const FdmProblem> problems, std::span<FdmOutcome> out, CancellationHook cancel = {});

/// Options valued together (solve_fdm_many) are stepped this many at a time.
inline constexpr std::size_t kGridLanes = 4;

/// Problems of one lane group and one grid size are stepped together by
/// solve_fdm_many; group 0 needs no grid (σ√T = 0: its value is sure).
unsigned lane_group(const FdmProblem& problem);

/// The memory `options` grids of `nodes` nodes hold at the peak of their run
/// (UINT64_MAX for any larger count).
uint64_t grid_bytes(uint64_t nodes, uint64_t options);

/// Half-width of the log-spot grid about ln K: g·σ√T, widened where needed so
/// that ln S and ln(S ± 0.01·S) lie at least 2·σ√T inside it. Continuous in
/// S, σ and T; exactly g·σ√T whenever that already covers them.
double grid_half_width(const FdmProblem& problem);

/// The value when σ√T = 0: the spot grows at r − q for sure, so a European
/// is worth max(0, ±(S·e^(−qT) − K·e^(−rT))) and an American the best of
/// exercising at any time in [0, T]; delta and gamma from the values at
/// S ± 0.01·S; theta the calendar-time derivative of the value (0 where
/// exercising before expiry is best).
FdmOutcome deterministic_outcome(const FdmProblem& problem);

/// The node values at `spot`, linear in log-spot between the ascending
/// locations and flat beyond the ends (no extrapolation). Throws Fault
/// "NaN in Grid" when a comparison of a location with ln(spot) is unordered,
/// and Fault when the arrays are empty or differ in length.
double value_at(std::span<const double> locations, std::span<const double> values, double spot);

}  // namespace sorvik
