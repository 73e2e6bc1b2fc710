// pricing/vol_search.cpp: the volatility at which a price function of σ meets a quote, by a safeguarded search.
#include "pricing/vol_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sorvik {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr unsigned max_valuations = 100;
/// The search stops when a point prices within this times the scale: ten
/// times inside the reprice tolerance, so that rounding never crosses it.
constexpr double converged = 0.1 * kRepriceTolerance;

ImpliedVol solved(double vol) { return {vol, ImpliedVol::Status::Solved, NaN}; }
ImpliedVol unsolved(ImpliedVol::Status status, double bound) { return {NaN, status, bound}; }

/// A point of the search: σ and price − quote.
struct Point {
    double vol, excess;
};

/// The widest span of σ that may reprice one quote, around σ.
double resolution(double vol) { return std::max(1e-4, 1e-3 * vol); }

}  // namespace

VolSearchResult search_implied_vol(double quote, const VolSearchBounds& b,
                                   const std::function<double(double)>& price) {
    using Status = ImpliedVol::Status;
    if (std::isnan(quote)) return {solved(NaN), 0};
    if (quote >= b.upper_bound) return {unsolved(Status::AtOrAboveUpperBound, b.upper_bound), 0};
    const double lower = b.zero_vol_value;
    if (std::fabs(quote - lower) <= kZeroVolTolerance * std::fabs(lower)) return {solved(0.0), 0};
    if (quote < lower) return {unsolved(Status::BelowLowerBound, lower), 0};

    unsigned valuations = 0;
    auto excess = [&](double vol) {
        ++valuations;
        return price(vol) - quote;
    };
    const double tolerance = kRepriceTolerance * b.scale;
    const double target = converged * b.scale;

    // The bracket: low.excess < 0 <= high.excess; high is only known once valued.
    Point low{0.0, lower - quote};
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

    // A root is only an answer when the quote pins σ down: a price that moves
    // by less than the tolerance over the resolution around it does not, nor
    // does one whose time value the tolerance swallows (an American deep in
    // the money is worth its payoff for every σ up to some point, then rises
    // steeply: the root's slope alone would not tell). The secant slope
    // through the last points estimates the span; where it says the span may
    // be close to the resolution, two more valuations decide.
    auto answer = [&](const Point& root, const Point& other) -> VolSearchResult {
        const double width = resolution(root.vol);
        // A time value within the tolerance: every σ from 0 to the root reprices it.
        if (quote - tolerance <= lower && root.vol > width) return {unsolved(Status::Undetermined, lower), valuations};
        const double slope = (root.excess - other.excess) / (root.vol - other.vol);
        const double span = slope > 0.0 ? 2.0 * tolerance / slope : std::numeric_limits<double>::infinity();
        if (span > 0.125 * width) {
            const double below = root.vol - 0.5 * width;
            const double at_below = below > 0.0 ? excess(below) : lower - quote;
            const double at_above = excess(root.vol + 0.5 * width);
            if (std::fabs(at_below) <= tolerance && std::fabs(at_above) <= tolerance)
                return {unsolved(Status::Undetermined, lower), valuations};
        }
        return {solved(root.vol), valuations};
    };

    // First point: the guess, then a Newton step with its vega.
    const double guess = b.guess > 0.0 && b.guess < kMaxImpliedVol ? b.guess : 0.5;
    Point current{guess, excess(guess)};
    bracket(current);
    if (std::fabs(current.excess) <= target) return answer(current, low);
    Point previous = current;
    double next = b.guess_vega > 0.0 ? guess - current.excess / b.guess_vega : NaN;

    while (valuations < max_valuations) {
        // Keep the step strictly inside the bracket, else bisect it.
        const double top = std::isnan(high.excess) ? kMaxImpliedVol : high.vol;
        if (!(next > low.vol && next < top)) {
            if (std::isnan(high.excess) && !value_high())
                return {unsolved(Status::AboveMaxVol, high.excess + quote), valuations};
            next = 0.5 * (low.vol + high.vol);
        }
        if (next <= low.vol || next >= high.vol) break;  // the bracket is as narrow as doubles allow
        previous = current;
        current = {next, excess(next)};
        bracket(current);
        if (std::fabs(current.excess) <= target) return answer(current, previous);
        // Secant through the last two points; halve the bracket when it shrank too little.
        const double width = (std::isnan(high.excess) ? kMaxImpliedVol : high.vol) - low.vol;
        next = current.vol - current.excess * (current.vol - previous.vol) / (current.excess - previous.excess);
        if (std::fabs(next - current.vol) > 0.5 * width) next = NaN;
    }
    // Out of steps or of doubles: the end of the bracket closer to the quote,
    // if it reprices it at all (a price that jumps over the quote does not).
    const bool high_known = !std::isnan(high.excess);
    const Point& best = !high_known || std::fabs(low.excess) < std::fabs(high.excess) ? low : high;
    if (std::fabs(best.excess) > tolerance || best.vol == 0.0) return {unsolved(Status::Undetermined, lower), valuations};
    return answer(best, high_known && &best == &low ? high : low);
}

}  // namespace sorvik
