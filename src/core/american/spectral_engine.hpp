// american/spectral_engine.hpp: American calls and puts by the exercise-boundary engine, and where it applies.
#pragma once

#include <cstdint>
#include <span>

#include "american/boundary_put.hpp"
#include "american/spectral_scheme.hpp"
#include "pricing/option_result.hpp"
#include "valuation/book.hpp"

namespace sorvik {

/// What the engine does with an entry. Only Valued and European carry a
/// result; the others leave every field NaN for the caller to route.
enum class SpectralStatus : uint8_t {
    Valued,         ///< by the exercise-boundary engine (the payoff where exercising now is best)
    European,       ///< a European, or an American never worth exercising early: the closed form, bit-exact
    TwoBoundaries,  ///< a put with q < r < 0 or a call with r < q < 0: exercise may pay in two regions
    NoSpread,       ///< σ√T = 0: nothing is random (the sure value is deterministic_outcome's)
    DriftDominated, ///< the drift outruns the spread: outside the engine's documented accuracy
    Unusable,       ///< numbers the engine cannot work with (not finite, or its ratios overflow)
};

/// The status `entry` gets, without valuing it; the rules in order:
///   Unusable        spot, strike not finite and positive; years, vol not
///                   finite and ≥ 0; rate, yield not finite; S/K not a
///                   positive normal double (its logarithm is needed);
///                   |r|·T or |q|·T above 700 (discount factors beyond doubles);
///   European        European style; or an American put with r ≤ 0 ≤ q − r,
///                   a call with q ≤ 0 ≤ r − q (early exercise never pays);
///   TwoBoundaries   a put with q < r < 0, a call with r < q < 0;
///   NoSpread        σ√T = 0;
///   DriftDominated  spectral_drift_dominated;
///   Valued          the rest.
SpectralStatus spectral_status(const BookEntry& entry);

/// The fallback rule: true when vol is below spectral_lowest_vol. Such
/// entries belong on the grid.
bool spectral_drift_dominated(const BookEntry& entry);

/// The lowest σ the engine values an entry at (T > 0): where the drift over
/// the option's life, max(|r|, |q|, |r − q|)·T, reaches kSpectralDriftLimit standard
/// deviations σ√T, or σ√T falls to kSpectralMinSpread. Beyond 7 the boundary
/// falls through many standard deviations within the first nodes' reach and
/// the standard level's error grows past 1e-6·max(S, K) (1e-7 up to 7; at 10,
/// 1e-5); below 1e-8 the value is the sure value to that accuracy.
/// Maturities themselves do not matter (an hour and a century are valued
/// alike), only this ratio. (Accuracy does fall off, to about 1e-5, where
/// σ√T itself exceeds 10: vols of 250% over decades; no rule sends those to
/// the grid, which does worse there.)
double spectral_lowest_vol(const MarketNumbers& market);

inline constexpr double kSpectralDriftLimit = 7.0;
inline constexpr double kSpectralMinSpread = 1e-8;

/// The put the engine values for an entry: a put itself, a call as its
/// symmetric put, C(S, K, r, q) = P(K, S, q, r).
BoundaryPut spectral_put(const BookEntry& entry);

/// Why an entry with this status has no result, as a bad element's message
/// would say it; empty for Valued and European.
const char* spectral_status_reason(SpectralStatus status);

struct SpectralOutcome {
    OptionResult result;  ///< price and all five greeks (vega and rho present); NaN unless valued
    SpectralStatus status;
};

/// Values each entry by its status into out and status (same length):
/// boundary puts and calls one after the other, the engine's work arrays
/// allocated once, each result with the bits it has alone (and so
/// independent of its neighbours and of how the caller splits the book). Calls are valued as puts by put–call symmetry,
/// C(S, K, r, q) = P(K, S, q, r). Theta is per year of calendar time (0 where
/// exercising now is best), vega and rho per unit and with the boundary's
/// response. Never throws for any numbers; Fault when the spans differ in length.
void value_spectral(std::span<const BookEntry> entries, SpectralPrecision precision, std::span<OptionResult> out,
                    std::span<SpectralStatus> status);

/// One entry.
SpectralOutcome value_spectral(const BookEntry& entry, SpectralPrecision precision);

/// value_spectral with the counts of any scheme (finer than High, say, for a
/// reference).
void value_spectral(std::span<const BookEntry> entries, const SpectralScheme& scheme, std::span<OptionResult> out,
                    std::span<SpectralStatus> status);

}  // namespace sorvik
