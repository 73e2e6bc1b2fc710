// valuation/book.cpp: the rules for valuing many options given in market numbers.
#include "valuation/book.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "american/spectral_engine.hpp"
#include "american/spectral_implied_vol.hpp"
#include "fault.hpp"
#include "fdm/fdm_solver.hpp"
#include "pricing/analytic.hpp"
#include "pricing/implied_vol.hpp"
#include "valuation/grid_implied_vol.hpp"
#include "valuation/valuation.hpp"

namespace sorvik {

namespace {

constexpr double vol_bump = 1e-4;
constexpr double rate_bump = 1e-4;

/// The closed form where nothing is random (T = 0 or σ = 0): the sure value
/// of a European (VanillaPayoff::sure_value) with its slopes, gamma 0, and
/// vega the slope in σ from the right at σ = 0: S·e^(−qT)·√T·φ(0) where the
/// forward is at the strike, else 0.
OptionResult sure_closed_form(const BookEntry& e) {
    const MarketNumbers& m = e.market;
    const VanillaPayoff payoff{e.type, e.strike};
    const SureValue sure = payoff.sure_value(false, m);
    const double carried = m.spot * std::exp(-m.dividend_yield * m.years);
    const double at_strike = carried == e.strike * std::exp(-m.rate * m.years) ? 1.0 : 0.0;
    const double vega = at_strike * carried * std::sqrt(m.years) * 0.3989422804014327;
    return {sure.value, Greeks{sure.delta, 0.0, sure.theta, vega, sure.rho}};
}

/// Whether a textbook price is small enough to be replaced (below).
bool in_the_wings(const DiscountedTerms& terms, const OptionResult& r) {
    return r.price < (terms.spot + terms.strike) * (1.0 / 32.0);
}

/// ln(F/K), taking ln(S/K) from the exact |S − K| as the kernel does.
double forward_log_moneyness(const BookEntry& e) {
    const MarketNumbers& m = e.market;
    const double S = m.spot, K = e.strike;
    const double log_ratio = std::copysign(std::log1p(std::abs(S - K) / std::min(S, K)), S - K);
    return log_ratio + (m.rate - m.dividend_yield) * m.years;
}

/// The normalised form's price and vega, for an out-of-the-money option
/// with forward log-moneyness x.
void take_normalised_form(const BookEntry& e, const DiscountedTerms& terms, double x, OptionResult& r) {
    const bool out_of_the_money = e.type == OptionType::Call ? x < 0.0 : x > 0.0;
    if (!out_of_the_money) return;
    const double sqrt_t = std::sqrt(e.market.years);
    const double root_spot = std::sqrt(terms.spot), root_strike = std::sqrt(terms.strike);
    const double root_up = std::min(root_spot, root_strike) / std::max(root_spot, root_strike);  // e^(x/2)
    const NormalisedBlack b = normalised_black(-std::abs(x), root_up, e.market.vol * sqrt_t);
    const double scale = root_spot * root_strike;
    r.price = scale * b.value;
    r.greeks.vega = scale * sqrt_t * b.vega;
}

/// Replaces the textbook price and vega of an out-of-the-money option by
/// the normalised form of the implied-volatility kernel, √(S·e^(−qT)·K·e^(−rT))
/// times b(x, σ√T), where the price is below 1/32 of S·e^(−qT) + K·e^(−rT).
/// The textbook form takes a small price as the difference of two products
/// of Φ values, each with an absolute error of about 2^-54 of its factor, so
/// it keeps the relative precision of neither: measured against 40-digit
/// values its error is about a fifth of an ulp times that ratio (at 8
/// standard deviations it has no digit left), the normalised form's a few
/// ulps. At the switch both are within about 10 ulps.
void keep_precision_in_the_wings(const BookEntry& e, const DiscountedTerms& terms, OptionResult& r) {
    if (in_the_wings(terms, r)) take_normalised_form(e, terms, forward_log_moneyness(e), r);
}

/// keep_precision_in_the_wings for a block of results: the options in the
/// wings (about a quarter of a random book, in no pattern a branch could
/// predict) are gathered first, without a branch, then taken stage by stage.
void keep_precision_in_the_wings(std::span<const BookEntry* const> entries, std::span<const DiscountedTerms> terms,
                                 std::span<OptionResult> results) {
    constexpr std::size_t most = 64;
    std::size_t wing[most];
    double x[most];
    for (std::size_t start = 0; start < results.size(); start += most) {
        const std::size_t end = std::min(results.size(), start + most);
        std::size_t wings = 0;
        for (std::size_t j = start; j < end; ++j) {
            wing[wings] = j;
            wings += in_the_wings(terms[j], results[j]) ? 1 : 0;
        }
        for (std::size_t w = 0; w < wings; ++w) x[w] = forward_log_moneyness(*entries[wing[w]]);
        for (std::size_t w = 0; w < wings; ++w) {
            const std::size_t j = wing[w];
            take_normalised_form(*entries[j], terms[j], x[w], results[j]);
        }
    }
}

bool is_sure(const BookEntry& e) { return e.market.years == 0.0 || e.market.vol == 0.0; }

}  // namespace

FdmProblem grid_problem(const BookEntry& e, const FdmSettings& settings) {
    std::vector<CashDividend> dividends(e.dividends);
    for (std::size_t k = 0; k < e.dividends; ++k) dividends[k] = {e.dividend_times[k], e.dividend_amounts[k]};
    return FdmProblem{VanillaPayoff{e.type, e.strike}, e.style, e.market, settings, std::nullopt, std::move(dividends)};
}

EntryProblem check_entry(const BookEntry& e, BookMethod method, const GridRequest& grid) {
    const MarketNumbers& m = e.market;
    if (!std::isfinite(m.spot) || !(m.spot > 0.0)) return EntryProblem::Spot;
    if (!std::isfinite(e.strike) || !(e.strike > 0.0)) return EntryProblem::Strike;
    if (!std::isfinite(m.years) || m.years < 0.0) return EntryProblem::Years;
    if (!std::isfinite(m.rate)) return EntryProblem::Rate;
    if (!std::isfinite(m.vol) || m.vol < 0.0) return EntryProblem::Vol;
    if (!std::isfinite(m.dividend_yield)) return EntryProblem::DividendYield;
    const double moneyness = m.spot / e.strike;
    if (!std::isfinite(moneyness) || !(moneyness > 0.0)) return EntryProblem::Moneyness;
    const Engine engine = engine_for(e, method);
    if (method == BookMethod::Spectral && e.style == ExerciseStyle::American &&
        spectral_status(e) == SpectralStatus::TwoBoundaries)
        return EntryProblem::TwoBoundaries;
    if (engine != Engine::Grid) return EntryProblem::None;
    BookEntry widest = e;
    if (grid.bumped_vega_rho) widest.market.vol += vol_bump;
    const double spread = std::sqrt(m.years) * widest.market.vol;
    if (spread > 0.0) {
        // One e-fold to spare: the last node may round above ln K + half-width,
        // and the payoff and far field there add to its spot.
        const double highest = std::log(std::numeric_limits<double>::max()) - 1.0;
        const double ln_strike = std::log(e.strike);
        if (!(ln_strike + grid.settings.grid_std_devs * spread <= highest)) return EntryProblem::GridSpread;
        if (!(ln_strike + grid_half_width(grid_problem(widest, grid.settings)) <= highest))
            return EntryProblem::GridReach;
    }
    return EntryProblem::None;
}

const char* entry_problem_reason(EntryProblem problem) {
    switch (problem) {
        case EntryProblem::None: return "";
        case EntryProblem::Spot:
        case EntryProblem::Strike: return "must be a positive finite number";
        case EntryProblem::Years:
        case EntryProblem::Vol: return "must be a finite number >= 0";
        case EntryProblem::Rate:
        case EntryProblem::DividendYield: return "must be a finite number";
        case EntryProblem::Moneyness: return "spot / strike must be a positive finite number";
        case EntryProblem::GridSpread:
            return "the grid, grid_std_devs standard deviations vol·√years either side of the strike, "
                   "would reach spots beyond the largest float";
        case EntryProblem::GridReach:
            return "the grid, stretched from the strike out to this spot and its drift to expiry, would reach spots "
                   "beyond the largest float";
        case EntryProblem::TwoBoundaries:
            return "with this rate and dividend yield (a put with q < r < 0, a call with r < q < 0) early exercise "
                   "may pay in two separate regions, which method='spectral' does not value (method=None values "
                   "it on the grid)";
    }
    return "";
}

void value_by_boundary(std::span<const BookEntry> entries, SpectralPrecision precision, std::span<OptionResult> out) {
    // Entries engine_for routed here are valued; any other comes back NaN.
    std::vector<SpectralStatus> status(entries.size());
    value_spectral(entries, precision, out, status);
}

Engine implied_engine_for(const BookEntry& entry, BookMethod method) {
    BookEntry widest = entry;
    widest.market.vol = kMaxImpliedVol;
    return engine_for(widest, method);
}

VolSearchResult implied_vol_for(double price, const BookEntry& entry, BookMethod method, const FdmSettings& grid,
                                SpectralPrecision precision, CancellationHook cancel) {
    switch (implied_engine_for(entry, method)) {
        case Engine::ClosedForm: return {implied_vol_european(price, entry.type, entry.strike, entry.market), 0};
        case Engine::Boundary: {
            const SpectralImpliedVol found = implied_vol_spectral(price, entry, precision);
            if (found.status == SpectralStatus::Valued || found.status == SpectralStatus::European) return found.search;
            break;  // below the engine's range of σ
        }
        case Engine::Grid: break;
    }
    return implied_vol_on_grid(price, entry, grid, cancel);
}

unsigned grid_group(const BookEntry& e) { return lane_group(grid_problem(e, FdmSettings{})); }

Engine engine_for(const BookEntry& e, BookMethod method) {
    if (e.dividends != 0) return Engine::Grid;
    switch (method) {
        case BookMethod::Analytic: return Engine::ClosedForm;
        case BookMethod::Fdm: return Engine::Grid;
        case BookMethod::Auto:
        case BookMethod::Spectral: break;
    }
    if (e.style == ExerciseStyle::European) return Engine::ClosedForm;
    switch (spectral_status(e)) {
        case SpectralStatus::Valued: return Engine::Boundary;
        case SpectralStatus::European: return Engine::ClosedForm;
        case SpectralStatus::TwoBoundaries:
        case SpectralStatus::NoSpread:
        case SpectralStatus::DriftDominated:
        case SpectralStatus::Unusable: return Engine::Grid;
    }
    return Engine::Grid;
}

OptionResult value_in_closed_form(const BookEntry& e) {
    if (is_sure(e)) return sure_closed_form(e);
    DiscountedTerms terms;
    OptionResult r = price_analytic(e.type, e.strike, e.market, terms);
    keep_precision_in_the_wings(e, terms, r);
    return r;
}

void value_in_closed_form(std::span<const BookEntry> entries, std::span<OptionResult> out) {
    if (out.size() != entries.size()) throw Fault("value_in_closed_form: results and entries differ in number");
    constexpr std::size_t block = 32;
    for (std::size_t start = 0; start < entries.size(); start += block) {
        const std::size_t end = std::min(entries.size(), start + block);
        AnalyticOption options[block];
        const BookEntry* random[block];
        std::size_t where[block];
        std::size_t count = 0;
        for (std::size_t i = start; i < end; ++i) {
            const BookEntry& e = entries[i];
            if (is_sure(e)) {
                out[i] = sure_closed_form(e);
            } else {
                options[count] = {e.type, e.strike, &e.market};
                random[count] = &e;
                where[count++] = i;
            }
        }
        OptionResult results[block];
        DiscountedTerms terms[block];
        price_analytic(std::span(options, count), std::span(results, count), std::span(terms, count));
        keep_precision_in_the_wings(std::span(random, count), std::span(terms, count), std::span(results, count));
        for (std::size_t j = 0; j < count; ++j) out[where[j]] = results[j];
    }
}

void value_on_grid(std::span<const BookEntry> entries, const GridRequest& grid, std::span<OptionResult> out,
                   CancellationHook cancel) {
    if (out.size() != entries.size()) throw Fault("value_on_grid: results and entries differ in number");
    // Each entry, followed by its bumped copies when asked for. The copies
    // keep the entry's mesh, so that their differences carry no change of
    // grid: only the smooth dependence of the grid price on σ and r.
    const std::size_t stride = grid.bumped_vega_rho ? 5 : 1;
    std::vector<FdmProblem> problems;
    problems.reserve(entries.size() * stride);
    for (const BookEntry& e : entries) {
        problems.push_back(grid_problem(e, grid.settings));
        if (grid.bumped_vega_rho) {
            FdmProblem base = problems.back();
            // A sure value (σ√T = 0) has no mesh; its copies take their own.
            if (std::sqrt(e.market.years) * e.market.vol > 0.0) base.half_width = grid_half_width(base);
            for (const double dv : {vol_bump, -vol_bump}) {
                FdmProblem p = base;
                p.market.vol = dv < 0.0 && e.market.vol < vol_bump ? e.market.vol : e.market.vol + dv;
                problems.push_back(p);
            }
            for (const double dr : {rate_bump, -rate_bump}) {
                FdmProblem p = base;
                p.market.rate = e.market.rate + dr;
                problems.push_back(p);
            }
        }
    }
    std::vector<FdmOutcome> outcomes(problems.size());
    solve_fdm_many(problems, outcomes, cancel);
    for (std::size_t g = 0; g < entries.size(); ++g) {
        const FdmOutcome* o = &outcomes[g * stride];
        OptionResult r = grid_result(o[0]);
        if (grid.bumped_vega_rho) {
            const double vol_up = problems[g * stride + 1].market.vol, vol_down = problems[g * stride + 2].market.vol;
            r.greeks.vega = (o[1].price - o[2].price) / (vol_up - vol_down);
            r.greeks.rho = (o[3].price - o[4].price) / (2.0 * rate_bump);
        }
        out[g] = r;
    }
}

}  // namespace sorvik
