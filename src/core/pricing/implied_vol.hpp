// pricing/implied_vol.hpp: the volatility that reproduces a European option's price.
#pragma once

#include <cstdint>

#include "instrument/stock_option.hpp"
#include "pricing/market_numbers.hpp"

namespace sorvik {

/// A quote that no σ in [0, kMaxImpliedVol] reaches has no solution.
inline constexpr double kMaxImpliedVol = 10.0;

struct ImpliedVol {
    /// Undetermined: the quote's time value is too small to tell σ (only
    /// searches on a price function report it; see vol_search.hpp).
    enum class Status : uint8_t { Solved, BelowLowerBound, AtOrAboveUpperBound, AboveMaxVol, Undetermined };
    double vol;     // the σ when Solved (0 exactly at the lower bound), NaN otherwise
    Status status;
    double bound;   // the bound the quote violated (for error messages), NaN when Solved
};

/// The normalised price of an out-of-the-money call, b(x, s) =
/// e^(x/2)·Φ(x/s + s/2) − e^(−x/2)·Φ(x/s − s/2) for log-moneyness
/// x = ln(F/K) ≤ 0 and total volatility s = σ√T > 0, to a few ulps however
/// deep in the tail (the quote over √(S·e^(−qT)·K·e^(−rT)); a put with
/// log-moneyness x is the call with −x), and its vega ∂b/∂s. root_up = e^(x/2),
/// which the caller has at hand as √(min(S·e^(−qT), K·e^(−rT)) / max(...)).
struct NormalisedBlack {
    double value, vega;
};
NormalisedBlack normalised_black(double x, double root_up, double s) noexcept;

/// The σ with price_analytic(type, strike, {S, T, r, q, σ}).price == price, to
/// machine precision; market.vol is not read. The bounds:
///   lower  max(0, ±(S·e^(−qT) − K·e^(−rT))), the difference taken without
///          cancellation: a price below it is BelowLowerBound, a price equal
///          to it gives σ = 0;
///   upper  S·e^(−qT) (call) or K·e^(−rT) (put): a price at or above it is
///          AtOrAboveUpperBound;
///   σ = 10 a price that needs more is AboveMaxVol, with bound = the pricer's
///          price at σ = 10 (always below the quote).
/// At T = 0 every σ gives the lower bound, so a price above it is AboveMaxVol
/// with that bound. NaN in the price or the market numbers, and a negative or
/// infinite T, give Solved with σ = NaN (the input carried no quote). S ≤ 0 or
/// K ≤ 0 leave the upper bound at or below the lower one, so they end in one
/// of the two bound statuses. Pure, allocation-free and thread-safe.
ImpliedVol implied_vol_european(double price, OptionType type, double strike, const MarketNumbers& market) noexcept;

}  // namespace sorvik
