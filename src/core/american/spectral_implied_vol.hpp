// american/spectral_implied_vol.hpp: the volatility that reproduces an American quote, on the exercise-boundary engine.
#pragma once

#include <span>

#include "american/spectral_engine.hpp"
#include "pricing/vol_search.hpp"

namespace sorvik {

struct SpectralImpliedVol {
    VolSearchResult search;  ///< the σ and its status, as search_implied_vol reports them
    /// Which engine answered: Valued (the exercise-boundary engine's price),
    /// European (the closed form's implied vol: a European entry, or an
    /// American never worth exercising early); anything else leaves the quote
    /// to the caller (search.result.vol NaN), and DriftDominated here also
    /// means a quote whose σ lies below the engine's range (see below).
    SpectralStatus status;
};

/// The σ at which the engine's price of `entry` equals `quote`
/// (entry.market.vol is not read), by search_implied_vol: every σ returned
/// reprices to kRepriceTolerance·max(S, K); a quote within kZeroVolTolerance
/// of the value at σ = 0 (the sure value, deterministic_outcome's) gives 0,
/// one below it is BelowLowerBound; a time value too small to tell σ is
/// Undetermined, never an arbitrary σ. The search starts from the closed
/// form's implied vol of the quote (an American quote deep in the money may
/// have none: then from σ = 0.5, bracketed) and values the price alone.
///
/// The engine's range in σ starts at σ_min, where the drift rule
/// (spectral_drift_dominated) stops applying; the search runs on
/// [σ_min, σ_min + kMaxImpliedVol]. A quote below the price at σ_min (and
/// not at the sure value) has its σ below the range: status DriftDominated,
/// for the grid to find. Statuses of the entry itself (Unusable,
/// TwoBoundaries; NoSpread for T = 0) come first, as spectral_status gives them.
SpectralImpliedVol implied_vol_spectral(double quote, const BookEntry& entry, SpectralPrecision precision);

/// implied_vol_spectral for each quote and entry into out (same lengths),
/// the engine's work arrays allocated once. Throws Fault when the spans
/// differ in length.
void implied_vol_spectral(std::span<const double> quotes, std::span<const BookEntry> entries,
                          SpectralPrecision precision, std::span<SpectralImpliedVol> out);

}  // namespace sorvik
