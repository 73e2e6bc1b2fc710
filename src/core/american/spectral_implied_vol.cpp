// american/spectral_implied_vol.cpp: the volatility that reproduces an American quote, on the exercise-boundary engine.
#include "american/spectral_implied_vol.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "american/boundary_put.hpp"
#include "fault.hpp"
#include "fdm/fdm_solver.hpp"
#include "pricing/analytic.hpp"

namespace sorvik {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

SpectralImpliedVol left_to_caller(SpectralStatus status) { return {{{NaN, ImpliedVol::Status::Solved, NaN}, 0}, status}; }

SpectralImpliedVol search(double quote, const BookEntry& entry, BoundaryPutPricer& pricer) {
    BookEntry probe = entry;
    probe.market.vol = kMaxImpliedVol;  // the statuses that do not depend on σ (nor does σ = 10 drift-dominate)
    const SpectralStatus status = spectral_status(probe);
    if (status == SpectralStatus::European) {
        return {{implied_vol_european(quote, entry.type, entry.strike, entry.market), 0}, status};
    }
    if (status != SpectralStatus::Valued) return left_to_caller(status);

    const MarketNumbers& m = entry.market;
    const bool put = entry.type == OptionType::Put;
    // The sure value (σ = 0) and the American upper bound: S for a call, K for a put.
    FdmProblem sure{VanillaPayoff{entry.type, entry.strike}, ExerciseStyle::American, m, FdmSettings{}, std::nullopt};
    sure.market.vol = 0.0;
    const double zero_vol_value = deterministic_outcome(sure).price;
    const double upper = put ? entry.strike : m.spot;
    const double scale = std::max(m.spot, entry.strike);
    // σ = σ_min + s, s ∈ [0, kMaxImpliedVol]: the search's σ = 0 is the engine's
    // lowest σ, and its value there the sure value, which the rules at the
    // payoff are about (the price at σ_min is higher by what σ_min adds, and
    // is only valued below, when the search finds no σ).
    const double vol_min = spectral_lowest_vol(m);
    BoundaryPut at = spectral_put(entry);
    auto price = [&](double s) {
        at.vol = vol_min + s;
        return pricer.price(at);
    };
    // First guess: the closed form's implied vol of the quote, with its vega.
    const ImpliedVol european = implied_vol_european(quote, entry.type, entry.strike, m);
    double guess = NaN, vega = NaN;
    if (european.status == ImpliedVol::Status::Solved && european.vol > vol_min && european.vol < kMaxImpliedVol) {
        guess = european.vol - vol_min;
        MarketNumbers at_guess = m;
        at_guess.vol = european.vol;
        vega = *price_analytic(entry.type, entry.strike, at_guess).greeks.vega;
    }
    VolSearchResult r = search_implied_vol(quote, VolSearchBounds{zero_vol_value, upper, scale, guess, vega}, price);
    if (r.result.status == ImpliedVol::Status::Solved) {
        if (r.result.vol != 0.0) r.result.vol += vol_min;  // σ = 0 is the rule at the sure value
    } else if (r.result.status == ImpliedVol::Status::Undetermined && quote < price(0.0)) {
        return left_to_caller(SpectralStatus::DriftDominated);  // its σ lies below the engine's range
    }
    return {r, status};
}

}  // namespace

SpectralImpliedVol implied_vol_spectral(double quote, const BookEntry& entry, SpectralPrecision precision) {
    BoundaryPutPricer pricer(SpectralScheme::of(precision));
    return search(quote, entry, pricer);
}

void implied_vol_spectral(std::span<const double> quotes, std::span<const BookEntry> entries,
                          SpectralPrecision precision, std::span<SpectralImpliedVol> out) {
    if (quotes.size() != entries.size() || out.size() != entries.size())
        throw Fault("implied_vol_spectral: quotes, entries and results differ in number");
    BoundaryPutPricer pricer(SpectralScheme::of(precision));
    for (std::size_t i = 0; i < entries.size(); ++i) out[i] = search(quotes[i], entries[i], pricer);
}

}  // namespace sorvik
