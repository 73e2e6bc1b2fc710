// valuation/book.cpp: the rules for valuing many options given in market numbers.
#include "valuation/book.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "fault.hpp"
#include "fdm/fdm_solver.hpp"
#include "pricing/analytic.hpp"
#include "valuation/valuation.hpp"

namespace sorvik {

namespace {

constexpr double vol_bump = 1e-4;
constexpr double rate_bump = 1e-4;

FdmProblem grid_problem(const BookEntry& e, const FdmSettings& settings) {
    return FdmProblem{VanillaPayoff{e.type, e.strike}, e.style, e.market, settings, std::nullopt};
}

}  // namespace

EntryProblem check_entry(const BookEntry& e) {
    const MarketNumbers& m = e.market;
    if (!std::isfinite(m.spot) || !(m.spot > 0.0)) return EntryProblem::Spot;
    if (!std::isfinite(e.strike) || !(e.strike > 0.0)) return EntryProblem::Strike;
    if (!std::isfinite(m.years) || m.years < 0.0) return EntryProblem::Years;
    if (!std::isfinite(m.rate)) return EntryProblem::Rate;
    if (!std::isfinite(m.vol) || m.vol < 0.0) return EntryProblem::Vol;
    if (!std::isfinite(m.dividend_yield)) return EntryProblem::DividendYield;
    return EntryProblem::None;
}

bool on_grid(const BookEntry& e, BookMethod method) {
    switch (method) {
        case BookMethod::Analytic: return false;
        case BookMethod::Fdm: return true;
        case BookMethod::Auto: return e.style == ExerciseStyle::American;
    }
    return false;
}

void check_grid_request(const GridRequest& grid) {
    check_grid_std_devs(grid.settings.grid_std_devs);
    if (grid.settings.nodes < 3)
        throw CoreError("nodes must be at least 3, got " + std::to_string(grid.settings.nodes));
    if (grid.settings.time_steps < 1)
        throw CoreError("time_steps must be at least 1, got " + std::to_string(grid.settings.time_steps));
}

OptionResult value_in_closed_form(const BookEntry& e) { return price_analytic(e.type, e.strike, e.market); }

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
