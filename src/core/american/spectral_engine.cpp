// american/spectral_engine.cpp: American calls and puts by the exercise-boundary engine, and where it applies.
#include "american/spectral_engine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "fault.hpp"

namespace sorvik {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

bool finite_positive(double x) { return std::isfinite(x) && x > 0.0; }

OptionResult not_valued() {
    OptionResult r;
    r.price = NaN;
    r.greeks = Greeks{NaN, NaN, NaN, NaN, NaN};
    return r;
}

/// The entry's result from its put's. For a call (homogeneity of degree one
/// in spot and strike): ∂C/∂S = (P − K·∂P/∂S')/S, ∂²C/∂S² = K²·∂²P/∂S'²/S²,
/// and its rho is the put's sensitivity to its yield.
OptionResult from_put(const BookEntry& e, const BoundaryPutValue& v) {
    OptionResult r;
    r.price = v.price;
    r.greeks.theta = v.theta;
    r.greeks.vega = v.vega;
    if (e.type == OptionType::Put) {
        r.greeks.delta = v.delta;
        r.greeks.gamma = v.gamma;
        r.greeks.rho = v.rate_sensitivity;
    } else if (v.exercised) {
        r.greeks.delta = 1.0;
        r.greeks.gamma = 0.0;
        r.greeks.rho = 0.0;
    } else {
        const double S = e.market.spot, K = e.strike;
        r.greeks.delta = (v.price - K * v.delta) / S;
        r.greeks.gamma = (K / S) * (K / S) * v.gamma;
        r.greeks.rho = v.yield_sensitivity;
    }
    return r;
}

}  // namespace

BoundaryPut spectral_put(const BookEntry& e) {
    const MarketNumbers& m = e.market;
    if (e.type == OptionType::Put) return {m.spot, e.strike, m.years, m.rate, m.dividend_yield, m.vol};
    return {e.strike, m.spot, m.years, m.dividend_yield, m.rate, m.vol};
}

double spectral_lowest_vol(const MarketNumbers& m) {
    const double sqrt_t = std::sqrt(m.years);
    const double rate = std::max({std::fabs(m.rate), std::fabs(m.dividend_yield), std::fabs(m.rate - m.dividend_yield)});
    const double drift = rate * sqrt_t / kSpectralDriftLimit;
    return std::max(drift, kSpectralMinSpread / sqrt_t);
}

bool spectral_drift_dominated(const BookEntry& e) { return e.market.vol < spectral_lowest_vol(e.market); }

SpectralStatus spectral_status(const BookEntry& e) {
    const MarketNumbers& m = e.market;
    if (!finite_positive(m.spot) || !finite_positive(e.strike) || !std::isfinite(m.years) || m.years < 0.0 ||
        !std::isfinite(m.vol) || m.vol < 0.0 || !std::isfinite(m.rate) || !std::isfinite(m.dividend_yield))
        return SpectralStatus::Unusable;
    const double moneyness = m.spot / e.strike;
    if (!finite_positive(moneyness) || !std::isnormal(moneyness)) return SpectralStatus::Unusable;
    if (!(std::fabs(m.rate) * m.years <= 700.0) || !(std::fabs(m.dividend_yield) * m.years <= 700.0))
        return SpectralStatus::Unusable;
    if (e.style == ExerciseStyle::European) return SpectralStatus::European;
    // The put's rate and yield (a call's are exchanged by symmetry).
    const bool put = e.type == OptionType::Put;
    const double r = put ? m.rate : m.dividend_yield, q = put ? m.dividend_yield : m.rate;
    if (r <= 0.0 && q >= r) return SpectralStatus::European;
    if (q < r && r < 0.0) return SpectralStatus::TwoBoundaries;
    if (m.vol * std::sqrt(m.years) == 0.0) return SpectralStatus::NoSpread;
    if (spectral_drift_dominated(e)) return SpectralStatus::DriftDominated;
    return SpectralStatus::Valued;
}

const char* spectral_status_reason(SpectralStatus status) {
    switch (status) {
        case SpectralStatus::Valued:
        case SpectralStatus::European: return "";
        case SpectralStatus::TwoBoundaries:
            return "early exercise may pay in two separate regions (negative rate and yield), which the "
                   "exercise-boundary engine does not value";
        case SpectralStatus::NoSpread: return "volatility times the square root of years is zero: nothing is random";
        case SpectralStatus::DriftDominated:
            return "the drift dominates the volatility (max(|rate|, |dividend yield|, |rate − dividend yield|)·years "
                   "above 7·vol·√years, or vol·√years below 1e-8), outside the exercise-boundary engine's accuracy";
        case SpectralStatus::Unusable:
            return "spot, strike, years, rate, dividend yield or vol cannot be valued: not finite, negative, "
                   "spot/strike outside normal doubles, or |rate|·years or |dividend yield|·years above 700";
    }
    return "";
}

void value_spectral(std::span<const BookEntry> entries, SpectralPrecision precision, std::span<OptionResult> out,
                    std::span<SpectralStatus> status) {
    value_spectral(entries, SpectralScheme::of(precision), out, status);
}

void value_spectral(std::span<const BookEntry> entries, const SpectralScheme& scheme, std::span<OptionResult> out,
                    std::span<SpectralStatus> status) {
    if (out.size() != entries.size() || status.size() != entries.size())
        throw Fault("value_spectral: results, statuses and entries differ in number");
    std::vector<BoundaryPut> puts;
    std::vector<std::size_t> where;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        status[i] = spectral_status(entries[i]);
        switch (status[i]) {
            case SpectralStatus::European: out[i] = value_in_closed_form(entries[i]); break;
            case SpectralStatus::Valued:
                puts.push_back(spectral_put(entries[i]));
                where.push_back(i);
                break;
            default: out[i] = not_valued();
        }
    }
    if (puts.empty()) return;
    std::vector<BoundaryPutValue> values(puts.size());
    value_boundary_puts(puts, scheme, values);
    for (std::size_t p = 0; p < puts.size(); ++p) out[where[p]] = from_put(entries[where[p]], values[p]);
}

SpectralOutcome value_spectral(const BookEntry& entry, SpectralPrecision precision) {
    SpectralOutcome o{not_valued(), SpectralStatus::Unusable};
    value_spectral(std::span<const BookEntry>(&entry, 1), precision, std::span<OptionResult>(&o.result, 1),
                   std::span<SpectralStatus>(&o.status, 1));
    return o;
}

}  // namespace sorvik
