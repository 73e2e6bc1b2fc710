// valuation/grid_implied_vol.hpp: the volatility that reproduces a grid price.
#pragma once

#include "fdm/fdm_problem.hpp"
#include "pricing/implied_vol.hpp"
#include "valuation/book.hpp"

namespace sorvik {

struct GridImpliedVol {
    ImpliedVol result;
    unsigned valuations;  ///< grid valuations spent
};

/// The σ whose grid price (solve_fdm with `grid`) of the entry equals
/// `price` to within 1e-11·max(S, K); entry.market.vol is not read. The grid
/// price rises continuously with σ, so a bracketed root search converges: a
/// first step from the European formula's implied volatility and vega, then
/// secant steps kept inside the bracket, bisection when they stall.
/// No solution, as for the closed form: a price below the value at σ = 0
/// (the deterministic value, never below the payoff at the spot) is
/// BelowLowerBound, equal to it gives σ = 0; a price at or above the upper
/// bound (an American: S for a call, K for a put; a European: S·e^(−qT),
/// K·e^(−rT)) is AtOrAboveUpperBound; one above the grid price at σ = 10 is
/// AboveMaxVol. The entry must have passed check_entry (its vol aside).
GridImpliedVol implied_vol_on_grid(double price, const BookEntry& entry, const FdmSettings& grid,
                                   CancellationHook cancel = {});

}  // namespace sorvik
