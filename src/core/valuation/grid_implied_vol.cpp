// valuation/grid_implied_vol.cpp: the volatility that reproduces a grid price.
#include "valuation/grid_implied_vol.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fdm/fdm_solver.hpp"
#include "pricing/analytic.hpp"

namespace sorvik {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr unsigned max_valuations = 100;

ImpliedVol solved(double vol) { return {vol, ImpliedVol::Status::Solved, NaN}; }
ImpliedVol unsolved(ImpliedVol::Status status, double bound) { return {NaN, status, bound}; }

/// A point of the search: σ and grid price − quote.
struct Point {
    double vol, excess;
};

}  // namespace

GridImpliedVol implied_vol_on_grid(double price, const BookEntry& entry, const FdmSettings& grid,
                                   CancellationHook cancel) {
    const MarketNumbers& m = entry.market;
    FdmProblem problem{VanillaPayoff{entry.type, entry.strike}, entry.style, m, grid};
    unsigned valuations = 0;
    auto excess = [&](double vol) {
        problem.market.vol = vol;
        ++valuations;
        return solve_fdm(problem, cancel).price - price;
    };
    const double scale = std::max(m.spot, entry.strike);
    const double tolerance = 1e-11 * scale;

    // Bounds. σ = 0 is the deterministic value, found without a grid.
    const bool american = entry.style == ExerciseStyle::American;
    const double upper = entry.type == OptionType::Call
                             ? (american ? m.spot : m.spot * std::exp(-m.dividend_yield * m.years))
                             : (american ? entry.strike : entry.strike * std::exp(-m.rate * m.years));
    if (std::isnan(price)) return {solved(NaN), 0};
    if (price >= upper) return {unsolved(ImpliedVol::Status::AtOrAboveUpperBound, upper), 0};
    problem.market.vol = 0.0;
    const double lower = deterministic_outcome(problem).price;
    if (price < lower) return {unsolved(ImpliedVol::Status::BelowLowerBound, lower), 0};
    if (price == lower) return {solved(0.0), 0};

    // The bracket: low.excess < 0 <= high.excess; high is only known once valued.
    Point low{0.0, lower - price};
    Point high{kMaxImpliedVol, NaN};
    auto bracket = [&](const Point& p) {
        if (p.excess < 0.0) {
            low = p;
        } else {
            high = p;
        }
    };
    auto value_high = [&]() {
        if (std::isnan(high.excess)) high.excess = excess(high.vol);
        return high.excess >= 0.0;
    };

    // First point: the European formula's implied volatility of the quote,
    // then a Newton step with its vega.
    const ImpliedVol european = implied_vol_european(price, entry.type, entry.strike, m);
    double guess = european.status == ImpliedVol::Status::Solved && european.vol > 0.0 && european.vol < kMaxImpliedVol
                       ? european.vol
                       : 0.5;
    Point current{guess, excess(guess)};
    bracket(current);
    if (std::fabs(current.excess) <= tolerance) return {solved(current.vol), valuations};
    MarketNumbers at_guess = m;
    at_guess.vol = guess;
    const double vega = *price_analytic(entry.type, entry.strike, at_guess).greeks.vega;
    Point previous = current;
    double next = vega > 0.0 ? guess - current.excess / vega : NaN;

    while (valuations < max_valuations) {
        // Keep the step strictly inside the bracket, else bisect it.
        const double top = std::isnan(high.excess) ? kMaxImpliedVol : high.vol;
        if (!(next > low.vol && next < top)) {
            if (std::isnan(high.excess) && !value_high())
                return {unsolved(ImpliedVol::Status::AboveMaxVol, high.excess + price), valuations};
            next = 0.5 * (low.vol + high.vol);
        }
        if (next <= low.vol || next >= high.vol) break;  // the bracket is as narrow as doubles allow
        previous = current;
        current = {next, excess(next)};
        bracket(current);
        if (std::fabs(current.excess) <= tolerance) return {solved(current.vol), valuations};
        // Secant through the last two points; halve the bracket when it shrank too little.
        const double width = (std::isnan(high.excess) ? kMaxImpliedVol : high.vol) - low.vol;
        next = current.vol - current.excess * (current.vol - previous.vol) / (current.excess - previous.excess);
        if (std::fabs(next - current.vol) > 0.5 * width) next = NaN;
    }
    // Out of steps or of doubles: the end of the bracket closer to the quote.
    const Point& best = std::isnan(high.excess) || std::fabs(low.excess) < std::fabs(high.excess) ? low : high;
    return {solved(best.vol), valuations};
}

}  // namespace sorvik
