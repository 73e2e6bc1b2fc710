// fdm/fdm_solver.hpp: finite-difference valuation of stock options with early exercise and grid greeks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fdm/fdm_problem.hpp"

namespace sorvik {

/// Values one European or American call or put by stepping the payoff back
/// on a uniform grid in y = ln S + κ·τ, κ the part of the drift r − q that
/// the grid's cells cannot carry (FdmProcess::coordinate_drift: 0 for
/// ordinary volatilities, r − q as σ → 0). The grid is centred on the strike
/// with half-width grid_half_width(); the end nodes carry the option's
/// far-field values; American stages are solved as complementarity problems
/// against the payoff at each stage's time. Price and greeks come from a
/// local cubic in y at the spot (see read_off). When σ√T = 0 nothing is
/// random and the sure value is returned instead (see deterministic_outcome).
/// Cash dividends are drops of the stock: the time grid stops at each one,
/// the values are carried across it, V(S, before) = V(S − D, after), by the
/// same cubic, an American may be exercised just before it, and the scheme
/// restarts after it; one at expiry is paid before the payoff.
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

/// The memory `options` grids of `nodes` nodes hold at the peak of their run,
/// each with `factorizations` factorisations (one per distinct step: more than
/// one only with cash dividends), UINT64_MAX for any larger count.
uint64_t grid_bytes(uint64_t nodes, uint64_t options, uint64_t factorizations = 1);

/// The factorisations a problem's run holds: one per distinct step.
uint64_t grid_factorizations(const FdmProblem& problem);

/// Half-width of the grid about ln K: g·σ√T, widened where needed so that
/// the spot's coordinate today, ln S + κ·T for any κ the grid may choose,
/// lies at least 2·σ√T and 3 cells inside it (the read-off needs only the
/// nodes around it), and never so narrow that a cell is below 2^-32 of max(1, |ln K|)
/// (as σ√T → 0). With cash dividends the spot after all of them (down to a
/// quarter of today's) is covered the same way. Continuous in S, σ, T, r and
/// q; exactly g·σ√T whenever that covers them.
double grid_half_width(const FdmProblem& problem);

/// The value when σ√T = 0 (VanillaPayoff::sure_value): delta its slope (the
/// mean of both sides at a kink), gamma 0, theta its calendar-time
/// derivative. Throws Fault "NaN in Grid" when ln(spot) is NaN.
FdmOutcome deterministic_outcome(const FdmProblem& problem);

}  // namespace sorvik
