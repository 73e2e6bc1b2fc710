// valuation/grid_implied_vol.cpp: the volatility that reproduces a grid price.
#include "valuation/grid_implied_vol.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fdm/fdm_solver.hpp"
#include "pricing/analytic.hpp"

namespace sorvik {

VolSearchResult implied_vol_on_grid(double price, const BookEntry& entry, const FdmSettings& grid,
                                    CancellationHook cancel) {
    const MarketNumbers& m = entry.market;
    FdmProblem problem = grid_problem(entry, grid);
    const bool american = entry.style == ExerciseStyle::American;
    const double upper = entry.type == OptionType::Call
                             ? (american ? m.spot : m.spot * std::exp(-m.dividend_yield * m.years))
                             : (american ? entry.strike : entry.strike * std::exp(-m.rate * m.years));
    problem.market.vol = 0.0;
    const double lower = deterministic_outcome(problem).price;

    // The European formula's implied volatility of the quote, and its vega there.
    const ImpliedVol european = implied_vol_european(price, entry.type, entry.strike, m);
    double guess = std::numeric_limits<double>::quiet_NaN(), vega = guess;
    if (european.status == ImpliedVol::Status::Solved && european.vol > 0.0 && european.vol < kMaxImpliedVol) {
        guess = european.vol;
        MarketNumbers at_guess = m;
        at_guess.vol = guess;
        vega = *price_analytic(entry.type, entry.strike, at_guess).greeks.vega;
    }
    const VolSearchBounds bounds{lower, upper, std::max(m.spot, entry.strike), guess, vega};
    return search_implied_vol(price, bounds, [&](double vol) {
        problem.market.vol = vol;
        return solve_fdm(problem, cancel).price;
    });
}

}  // namespace sorvik
