// valuation/grid_implied_vol.hpp: the volatility that reproduces a grid price.
#pragma once

#include "fdm/fdm_problem.hpp"
#include "pricing/vol_search.hpp"
#include "valuation/book.hpp"

namespace sorvik {

/// The σ whose grid price (solve_fdm with `grid`) of the entry equals
/// `price`, by search_implied_vol on the grid price as a function of σ;
/// entry.market.vol is not read. The search starts from the European
/// formula's implied volatility of the quote and its vega. Its bounds: the
/// value at σ = 0 (the sure value, never below the payoff at the spot) and
/// the upper bound (an American: S for a call, K for a put; a European:
/// S·e^(−qT), K·e^(−rT)). Statuses and tolerances as search_implied_vol
/// gives them. The entry must have passed check_entry (its vol aside).
VolSearchResult implied_vol_on_grid(double price, const BookEntry& entry, const FdmSettings& grid,
                                    CancellationHook cancel = {});

}  // namespace sorvik
