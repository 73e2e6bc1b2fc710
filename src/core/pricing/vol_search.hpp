// pricing/vol_search.hpp: the volatility at which a price function of σ meets a quote, by a safeguarded search.
#pragma once

#include <functional>

#include "pricing/implied_vol.hpp"

namespace sorvik {

/// A quote within this relative distance of the value at σ = 0 has σ = 0.
inline constexpr double kZeroVolTolerance = 1e-12;
/// Every σ a search returns reprices the quote to within this times the
/// option's scale, max(S, K).
inline constexpr double kRepriceTolerance = 1e-10;

/// What a search knows of the price function before valuing it.
struct VolSearchBounds {
    double zero_vol_value;  ///< the price at σ = 0 (the sure value)
    double upper_bound;     ///< a price no σ reaches (S for an American call, ...)
    double scale;           ///< max(S, K): the unit of the reprice tolerance
    double guess;           ///< the first σ to value (e.g. the closed form's implied vol)
    double guess_vega;      ///< ∂price/∂σ near the guess, for a Newton step; NaN for none
};

struct VolSearchResult {
    ImpliedVol result;
    unsigned valuations;  ///< calls of the price function
};

/// The σ in [0, kMaxImpliedVol] at which `price`, continuous and
/// non-decreasing in σ, equals `quote`. The search brackets the root between
/// σ = 0 and σ = kMaxImpliedVol, steps by Newton (from the guess), then by
/// secant steps kept inside the bracket, bisecting when they stall.
///   NaN quote                          Solved, σ = NaN
///   quote >= upper_bound               AtOrAboveUpperBound
///   |quote − zero_vol_value| within kZeroVolTolerance of the value: σ = 0
///   quote below that                   BelowLowerBound (bound: the value at σ = 0)
///   price(kMaxImpliedVol) < quote      AboveMaxVol (bound: that price)
///   the σ that reprice the quote to kRepriceTolerance·scale span more than
///   max(1e-4, 1e-3·σ)                  Undetermined (bound: the value at σ = 0):
///                                      the time value is too small to tell σ
/// Every σ returned prices within kRepriceTolerance·scale of the quote.
VolSearchResult search_implied_vol(double quote, const VolSearchBounds& bounds,
                                   const std::function<double(double)>& price);

}  // namespace sorvik
