// fdm/fdm_solver.cpp: finite-difference valuation of stock options with early exercise and grid greeks.
#include "fdm/fdm_solver.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "fault.hpp"
#include "fdm/butcher_jackiewicz2.hpp"
#include "fdm/exercise.hpp"
#include "fdm/fdm_process.hpp"
#include "fdm/grid_readoff.hpp"
#include "fdm/time_grid.hpp"
#include "fdm/uniform_mesher.hpp"
#include "numeric_text.hpp"
#include "system/memory_budget.hpp"

namespace sorvik {

namespace {

// N-sized arrays alive at the peak of one option's run: mesh 3, node spots 1,
// operator bands 3 and its factorisation 3; the stepper's copies of both 6,
// its u, v, sweep and two stage floors 5; the payoff (then the read-off's
// floor) and the read-off's u and v 3. The values after and before a cash
// dividend's drop, 2, live only while stepping, before the read-off's two;
// such a run holds 3 more for each distinct step after the first.
constexpr uint64_t arrays_per_node = 24;

/// Throws MemoryBudgetExceeded when `options` runs on `nodes` nodes would not
/// fit under the process's memory limits, so a huge count fails cleanly
/// instead of meeting the out-of-memory killer. Small counts always pass,
/// which leaves the operator's size fault to report N < 3.
void require_fits_in_memory(uint64_t nodes, uint64_t options, uint64_t factorizations) {
    require_memory(grid_bytes(nodes, options, factorizations), "the finite-difference grid");
}

/// σ√T, the standard deviation of ln S at expiry (√T·σ, in that order).
double spread(const MarketNumbers& m) { return std::sqrt(m.years) * std::fabs(m.vol); }

bool is_deterministic(const FdmProblem& p) { return spread(p.market) == 0.0; }

/// Whether the grid must impose early exercise: an American whose early
/// exercise can pay. Any other option is valued as a European.
bool exercised_early(const FdmProblem& p) {
    return p.exercise == ExerciseStyle::American && p.payoff.early_exercise_can_pay(p.market, !p.dividends.empty());
}

/// A drop of the stock by `amount` at τ years before expiry.
struct Drop {
    double tau, amount;
};

/// The option's dividends as drops in τ, in the order the run meets them
/// (from expiry back), those at one τ added up. A dividend at expiry has
/// τ = 0; one so near today that T − t rounds to T counts as paid already,
/// like one at t = 0.
std::vector<Drop> drops_of(const FdmProblem& p) {
    std::vector<Drop> drops;
    for (auto d = p.dividends.rbegin(); d != p.dividends.rend(); ++d) {
        const double tau = p.market.years - d->time;
        if (!(tau < p.market.years)) continue;
        if (!drops.empty() && drops.back().tau == tau)
            drops.back().amount += d->amount;
        else
            drops.push_back({tau, d->amount});
    }
    return drops;
}

/// The run's time grid: it stops at every drop strictly inside (0, T).
TimeGrid time_grid_of(const FdmProblem& p, std::span<const Drop> drops) {
    std::vector<double> stops;
    for (const Drop& d : drops)
        if (d.tau > 0.0 && d.tau < p.market.years) stops.push_back(d.tau);
    return TimeGrid(p.market.years, p.grid.time_steps, stops);
}

/// Which stepping a problem takes; problems of one kind and one grid size can share a pass.
enum class Kind { European, ExercisedHigh, ExercisedLow };

Kind kind_of(const FdmProblem& p) {
    if (!exercised_early(p)) return Kind::European;
    return p.payoff.exercised_at_low_spots() ? Kind::ExercisedLow : Kind::ExercisedHigh;
}

/// One option's grid and operator for the length of its run. The grid's
/// coordinate is y = ln S + κ·τ (see FdmProcess): node i stands for the
/// spot e^(y_i)·e^(−κτ) τ years before expiry; it holds values grown by
/// e^(gτ), U = e^(gτ)·V, g = r − (the rate the operator discounts at).
///
/// An option exercised early keeps the spot as its coordinate (κ = 0) while
/// the cells can carry the drift, and discounts on the grid (g = 0): the
/// value K − S of its exercise region then stands still in time, which the
/// exercise rule, first order in the step, needs. Any other option follows
/// the forward, κ = r − q, with undiscounted values, g = r: a value far from
/// the strike, e^(−rτ)·(e^y − K) or 0 in these terms, is then e^y − K for
/// all τ, which the scheme reproduces exactly; tiny time values above it
/// (small σ, quotes near the sure value) are not drowned by the scheme's
/// error on the discount. Such a call is stepped as the put and read off
/// with the parity C = P + e^y − K, exact in these terms: the call's own
/// growth like e^y towards the top of a wide grid would feed the stencil's
/// error on it back to the spot. Not with cash dividends: a stock they take
/// to 0 stays there, so S_T is no longer S's forward less theirs wherever
/// that can happen (high σ, long lives, large dividends), and the parity
/// would carry the put's price over with the wrong forward.
struct GridRun {
    const FdmProblem* problem;
    bool exercise;  // exercised_early()
    bool parity;    // a call without cash dividends stepped as its put
    VanillaPayoff stepped;  // the payoff on the grid
    double width;
    double kappa;   // κ
    double growth;  // g
    UniformMesher mesh;
    TridiagonalOperator op;
    std::vector<Drop> drops;
    TimeGrid times;
    double first_step;  // Δt of the first step, and of the last one: theta's
    double last_step;   // (T/0 when there are none)
    GridArray spots;  // e^(y_i), the node spots at expiry
    CancellationHook cancel;    // polled along every pass over the nodes
    // With drops, one factorisation per distinct step, formed together.
    std::vector<double> distinct_steps;
    std::vector<TridiagonalFactorization> factorizations;

    GridRun(const FdmProblem& p, const CancellationHook& hook)
        : problem(&p),
          exercise(exercised_early(p)),
          parity(!exercise && p.payoff.type == OptionType::Call && p.dividends.empty()),
          stepped{parity ? OptionType::Put : p.payoff.type, p.payoff.strike},
          width(p.half_width ? *p.half_width : grid_half_width(p)),
          kappa(exercise ? FdmProcess::coordinate_drift(p.market.rate - p.market.dividend_yield, p.market.vol,
                                                        2.0 * width / static_cast<double>(p.grid.nodes - 1))
                         : p.market.rate - p.market.dividend_yield),
          growth(exercise ? 0.0 : p.market.rate),
          // 1. Mesh, centred on the strike
          mesh(std::log(p.payoff.strike), width, static_cast<std::size_t>(p.grid.nodes), hook),
          // 3. Operator (the size fault for N < 3 comes from here)
          op(FdmProcess(p.market.rate - growth, (p.market.rate - p.market.dividend_yield) - kappa, p.market.vol)
                 .build_operator(mesh, hook)),
          // 2. Time steps, stopping at the dividends
          drops(drops_of(p)),
          times(time_grid_of(p, drops)),
          first_step(times.size() == 0 ? p.market.years / 0.0 : times.step(0)),
          last_step(times.size() == 0 ? first_step : times.step(times.size() - 1)),
          cancel(hook) {
        resize_polled(spots, mesh.size(), cancel);
        for (std::size_t i = 0; i < spots.size(); ++i) {
            poll_at_row(cancel, i);
            spots[i] = mesh.spot(i);
        }
    }

    /// Forms the factorisations of every distinct step of a run with drops,
    /// in `order`, in one pass.
    void factorize_steps(SweepOrder order) {
        distinct_steps = times.distinct_steps();
        std::vector<double> coefficients;
        for (const double dt : distinct_steps) coefficients.push_back(ButcherJackiewicz2::coefficient(dt));
        factorizations = op.factorizations(coefficients, order, cancel);
    }

    /// Lane w of `lanes` steps by `dt` from here on.
    template <std::size_t W>
    void use_step(StepLanes<W>& lanes, std::size_t w, double dt, SweepOrder order) const {
        if (factorizations.empty()) return lanes.factorize(w, op, dt, ButcherJackiewicz2::coefficient(dt), order);
        const auto at = std::find(distinct_steps.begin(), distinct_steps.end(), dt) - distinct_steps.begin();
        lanes.factorize(w, factorizations[static_cast<std::size_t>(at)], dt);
    }

    /// e^(−κτ): a node's spot τ years before expiry over its spot at expiry.
    double drift_factor(double tau) const { return kappa == 0.0 ? 1.0 : std::exp((-kappa) * tau); }

    /// e^(gτ): the grid's values over the option's.
    double growth_factor(double tau) const { return growth == 0.0 ? 1.0 : std::exp(growth * tau); }

    /// 4. The payoff at every node, τ years before expiry, undiscounted (at
    /// τ = 0 the initial values).
    void payoff(double tau, std::span<double> out) const {
        const double factor = drift_factor(tau);
        const double growth = growth_factor(tau);
        for (std::size_t i = 0; i < spots.size(); ++i) {
            poll_at_row(cancel, i);
            out[i] = payoff_at(i, factor, growth);
        }
    }

    /// The payoff at node i, given drift_factor and growth_factor at its time.
    double payoff_at(std::size_t i, double factor, double growth) const { return growth * stepped(spots[i] * factor); }

    /// The drop by `amount` at τ: before it the values are those after it
    /// at the spot less the amount, V(S, before) = V(S − D, after), by the
    /// read-off's cubic in y. Spots the drop takes below the grid continue
    /// the lowest node's value along the far field, and a stock that drops
    /// to 0 or below is worth 0 ever after: the far field (and the payoff)
    /// at 0. An option exercised early may be exercised at the spot it drops
    /// to, and just before the drop.
    void cross_drop(double tau, double amount, std::span<const double> after, std::span<double> before) const {
        const FdmProblem& p = *problem;
        const std::span<const double> x = mesh.locations();
        const std::size_t n = x.size();
        const double factor = drift_factor(tau), grown = growth_factor(tau), shift = kappa * tau;
        const double lowest = grown * stepped.far_field(true, spots[0] * factor, tau, p.market);
        // The points first, into `before`: apart from the read-offs, the
        // logarithms' calls leave the loop below without spills.
        for (std::size_t i = 0; i < n; ++i) {
            poll_at_row(cancel, i);
            const double spot = spots[i] * factor - amount;
            before[i] = spot > 0.0 ? std::log(spot) + shift : -std::numeric_limits<double>::infinity();
        }
        RisingReadOff carried(x, after);  // the points rise with the nodes
        for (std::size_t i = 0; i < n; ++i) {
            poll_at_row(cancel, i);
            const double spot = spots[i] * factor - amount;
            const double y = before[i];
            double value = y >= x[0] ? carried(y)
                                     : after[0] + (grown * stepped.far_field(true, std::max(spot, 0.0), tau, p.market) - lowest);
            if (exercise) value = std::max({value, grown * stepped(std::max(spot, 0.0)), payoff_at(i, factor, grown)});
            before[i] = value;
        }
    }

    /// The present value, τ years before expiry, of the drops still ahead
    /// (those nearer expiry): Σ D·e^((r − q)τ_D − rτ).
    double dividends_ahead(double tau) const {
        const MarketNumbers& m = problem->market;
        double total = 0.0;
        for (const Drop& d : drops)
            if (d.tau < tau) total += d.amount * std::exp((m.rate - m.dividend_yield) * d.tau - m.rate * tau);
        return total;
    }

    /// The far-field value of the low or the high end τ years before expiry,
    /// held by the exercise rule.
    template <class Exercise>
    double end_value(bool low_end, double tau, double floor) const {
        const FdmProblem& p = *problem;
        const double spot = spots[low_end ? 0 : spots.size() - 1] * drift_factor(tau);
        // The far field is 0 on the side where the payoff is not exercised:
        // only the other needs the dividends ahead, an exponential apiece.
        const double ahead = low_end == stepped.exercised_at_low_spots() ? dividends_ahead(tau) : 0.0;
        return Exercise::hold(growth_factor(tau) * stepped.far_field(low_end, spot, tau, p.market, ahead), floor);
    }

    /// 8. Price and greeks off the final grid by the local cubic of read_off,
    /// at y = ln S + κ·T (ln S without time steps), discounted by e^(−gT):
    /// delta = V_y/S, gamma = (V_yy − V_y)/S², theta from the scheme's
    /// carried derivative plus the coordinate's drift and the growth. An
    /// American reads only the nodes it holds: in the exercise region (or
    /// where the continuation side extrapolates to no more than the payoff)
    /// it takes the payoff's own value and slope, gamma and theta 0. Vanilla
    /// values are convex in S and never negative, and |delta| is at most
    /// delta_bound(): the read-off keeps to those bounds. u and v are the
    /// final values (changed here); `scratch` has N entries.
    FdmOutcome results(std::span<double> u, std::span<double> v, std::span<double> scratch) const {
        const FdmProblem& p = *problem;
        const double spot = p.market.spot;
        // The time the steps covered: T, or none when there are none.
        const double elapsed = times.size() == 0 ? 0.0 : p.market.years;
        const double y = std::log(spot) + kappa * elapsed;
        const std::span<const double> x = mesh.locations();
        const std::size_t n = mesh.size();
        if (std::isnan(y) || std::isnan(x[0])) throw Fault("NaN in Grid");
        const FdmOutcome exercised{p.payoff(spot), p.payoff.slope(spot), 0.0, 0.0};
        std::size_t first = 0, last = n - 1;
        if (exercise) {
            // The nodes held at their payoff today, counted from the exercise side.
            const std::span<double> floor = scratch;
            payoff(elapsed, floor);
            const double slack = 1e-13 * p.payoff.strike;
            auto held = [&](std::size_t i) { return u[i] <= floor[i] + slack; };
            if (p.payoff.exercised_at_low_spots()) {
                while (first < n && held(first)) ++first;
                if (first == n || (first > 0 && x[first - 1] >= y)) return exercised;
            } else {
                while (last + 1 > 0 && held(last)) --last;
                if (last + 1 == 0 || (last + 1 < n && x[last + 1] <= y)) return exercised;
            }
        }
        // The cubic reads what is left after the growth c·e^y that a call
        // carries (not a cubic); it comes back exactly, with its derivatives
        // e^y and its τ-derivative. A call stepped as its put has none on the
        // grid: the parity adds it, and −K, whose τ-derivative is 0 here.
        const double share = p.payoff.forward_share(elapsed, kappa, p.market) * growth_factor(elapsed);
        const double share_rate = growth - (kappa + p.market.dividend_yield);
        if (share != 0.0 && !parity) {
            const double share_v = share_rate * share * last_step;
            for (std::size_t i = 0; i < n; ++i) {
                poll_at_row(cancel, i);
                u[i] = u[i] - share * spots[i];
                v[i] = v[i] - share_v * spots[i];
            }
        }
        LocalFit fit = read_off(x, u, y, first, last);
        double carried = read_off(x, v, y, first, last).value;
        if (share != 0.0) {
            const double growth_part = share * std::exp(y);
            fit = {fit.value + growth_part, fit.slope + growth_part, fit.curvature + growth_part};
            carried += share_rate * last_step * growth_part;
            if (parity) fit.value -= p.payoff.strike;
        }
        const double discount = 1.0 / growth_factor(elapsed);
        fit = {discount * fit.value, discount * fit.slope, discount * fit.curvature};
        carried = discount * carried;
        if (exercise && !(fit.value > exercised.price)) return exercised;
        const double bound = p.payoff.delta_bound(p.exercise == ExerciseStyle::American, p.market);
        const double slope = fit.slope / spot;
        const double delta = p.payoff.exercised_at_low_spots() ? std::clamp(slope, -bound, 0.0)
                                                               : std::clamp(slope, 0.0, bound);
        const double gamma = (fit.curvature - fit.slope) / (spot * spot);
        const double theta = growth * fit.value - (carried / last_step + kappa * fit.slope);
        return {std::max(fit.value, 0.0), delta, std::max(gamma, 0.0), theta};
    }
};

/// Values W problems of one kind and one grid size into out[0..W).
template <std::size_t W, class Exercise>
void solve_together(const std::array<const FdmProblem*, W>& problems, std::array<FdmOutcome*, W> out,
                    CancellationHook cancel) {
    constexpr bool american = Exercise::derivative_from_stage_equation;
    std::vector<std::unique_ptr<GridRun>> runs;
    for (std::size_t w = 0; w < W; ++w) runs.push_back(std::make_unique<GridRun>(*problems[w], cancel));
    const std::size_t n = runs[0]->mesh.size();
    StepLanes<W> lanes(n, cancel);
    GridArray work;
    resize_polled(work, n, cancel);
    // The values after and before a drop, for lanes that have one.
    GridArray after, before;
    if (std::any_of(runs.begin(), runs.end(), [](const auto& run) { return !run->drops.empty(); })) {
        resize_polled(after, n, cancel);
        resize_polled(before, n, cancel);
    }
    for (std::size_t w = 0; w < W; ++w) {
        if (!runs[w]->drops.empty() && runs[w]->times.size() != 0) runs[w]->factorize_steps(Exercise::order);
        runs[w]->payoff(0.0, work);
        // 5. Start the stepper: u = payoff, v = Δt·(L·payoff); a dividend
        // at expiry is paid before the payoff.
        const GridRun& run = *runs[w];
        if (!run.drops.empty() && run.drops.front().tau == 0.0) {
            run.cross_drop(0.0, run.drops.front().amount, work, before);
            lanes.load(w, run.op, run.first_step, before, work);
        } else {
            lanes.load(w, run.op, run.first_step, work, work);
        }
        run.use_step(lanes, w, run.first_step, Exercise::order);
    }
    // 6. Exercise rule and 7. steps. An American's floor moves with the
    // node spots, e^(−κτ) of their values at expiry, unless κ = 0.
    const uint64_t steps = runs[0]->times.size();
    for (uint64_t m = 0; m < steps; ++m) {
        cancel.check();
        for (std::size_t w = 0; w < W; ++w) {
            const GridRun& run = *runs[w];
            if (run.times.starts_at_stop(m)) {
                // A drop: the values carried across it, the scheme restarted
                // from them (its v belongs to the values before), at the step
                // that follows.
                const double tau = run.times.time(m, 0.0);
                const auto drop = std::find_if(run.drops.begin(), run.drops.end(),
                                               [&](const Drop& d) { return d.tau == tau; });
                const double dt = run.times.step(m);
                for (std::size_t i = 0; i < n; ++i) {
                    poll_at_row(cancel, i);
                    after[i] = lanes.at(lanes.u, i, w);
                }
                run.cross_drop(tau, drop->amount, after, before);
                lanes.restart(w, run.op, dt, before, after);
                run.use_step(lanes, w, dt, Exercise::order);
            }
            for (std::size_t s = 0; s < 2; ++s) {
                const double tau = run.times.time(m, ButcherJackiewicz2::c[s]);
                if (american && run.kappa != 0.0) {
                    run.payoff(tau, work);
                    for (std::size_t i = 0; i < n; ++i) {
                        poll_at_row(cancel, i);
                        lanes.floors[s][i * W + w] = work[i];
                    }
                }
                lanes.ends[s][0][w] = run.template end_value<Exercise>(true, tau, lanes.at(lanes.floors[s], 0, w));
                lanes.ends[s][1][w] =
                    run.template end_value<Exercise>(false, tau, lanes.at(lanes.floors[s], n - 1, w));
            }
        }
        ButcherJackiewicz2::step<Exercise>(lanes);
    }
    GridArray().swap(after);
    GridArray().swap(before);
    GridArray u, v;
    resize_polled(u, n, cancel);
    resize_polled(v, n, cancel);
    for (std::size_t w = 0; w < W; ++w) {
        for (std::size_t i = 0; i < n; ++i) {
            poll_at_row(cancel, i);
            u[i] = lanes.at(lanes.u, i, w);
            v[i] = lanes.at(lanes.v, i, w);
        }
        *out[w] = runs[w]->results(u, v, work);
    }
}

template <std::size_t W>
void solve_kind(Kind kind, const std::array<const FdmProblem*, W>& problems, std::array<FdmOutcome*, W> out,
                CancellationHook cancel) {
    switch (kind) {
        case Kind::European:
            return solve_together<W, EuropeanExercise>(problems, out, cancel);
        case Kind::ExercisedHigh:
            return solve_together<W, AmericanExercise<SweepOrder::Ascending>>(problems, out, cancel);
        case Kind::ExercisedLow:
            return solve_together<W, AmericanExercise<SweepOrder::Descending>>(problems, out, cancel);
    }
}

/// Checks every problem needs before its grid is built, in the order a single
/// valuation reports them.
void check_grid(const FdmProblem& p, uint64_t options) {
    check_grid_std_devs(p.grid.grid_std_devs);
    require_fits_in_memory(p.grid.nodes, options, grid_factorizations(p));
    require_operator_size(static_cast<std::size_t>(p.grid.nodes));
}

}  // namespace

uint64_t grid_factorizations(const FdmProblem& p) {
    if (p.dividends.empty()) return 1;
    return std::max<uint64_t>(1, time_grid_of(p, drops_of(p)).distinct_steps().size());
}

uint64_t grid_bytes(uint64_t nodes, uint64_t options, uint64_t factorizations) {
    const uint64_t bytes_per_node = (arrays_per_node + 3 * (factorizations - 1)) * sizeof(double);
    const uint64_t per_option = nodes > std::numeric_limits<uint64_t>::max() / bytes_per_node
                                    ? std::numeric_limits<uint64_t>::max()  // stands for any larger count
                                    : nodes * bytes_per_node;
    return options != 0 && per_option > std::numeric_limits<uint64_t>::max() / options
               ? std::numeric_limits<uint64_t>::max()
               : per_option * options;
}

unsigned lane_group(const FdmProblem& p) { return is_deterministic(p) ? 0 : 1 + static_cast<unsigned>(kind_of(p)); }

void check_grid_std_devs(double grid_std_devs) {
    if (!(grid_std_devs > 0.0) || std::isinf(grid_std_devs))
        throw CoreError("grid_std_devs must be a positive finite number, got " + number_text(grid_std_devs));
}

double grid_half_width(const FdmProblem& p) {
    const MarketNumbers& m = p.market;
    const double sd = spread(m);
    double width = p.grid.grid_std_devs * sd;
    const double strike = p.payoff.strike;
    if (m.spot > 0.0 && std::isfinite(m.spot)) {
        // The spot's coordinate today, ln S + κT, at least 2σ√T inside the
        // grid, for any κ between 0 and r − q − ½σ² (the grid decides κ).
        const double z = std::log(m.spot / strike);
        const double drift = (m.rate - m.dividend_yield - 0.5 * m.vol * m.vol) * m.years;
        double reach = std::max(std::fabs(z), std::fabs(z + drift)) + 2.0 * sd;
        if (!p.dividends.empty()) {
            // And the spot after every cash dividend, down to a quarter of
            // today's (below, the values come from the far field).
            double paid = 0.0;
            for (const CashDividend& d : p.dividends) paid += d.amount;
            const double low = std::log(std::max(m.spot - paid, 0.25 * m.spot) / strike);
            reach = std::max({reach, std::fabs(low) + 2.0 * sd, std::fabs(low + drift) + 2.0 * sd});
        }
        // And 3 cells inside, so that the read-off's cubic is one of interior
        // nodes (as σ√T → 0 the 2σ√T alone would leave it on the end node).
        const double cells = static_cast<double>(p.grid.nodes - 1);
        if (cells > 12.0) reach = reach / (1.0 - 6.0 / cells);
        if (reach > width) width = reach;
    }
    // Cells of at least 2^-32 of the centre's magnitude: finer ones would
    // lose the locations' differences to rounding as σ√T → 0.
    const double finest = 0x1p-33 * std::max(1.0, std::fabs(std::log(strike))) * static_cast<double>(p.grid.nodes - 1);
    if (finest > width) width = finest;
    return width;
}

FdmOutcome deterministic_outcome(const FdmProblem& p) {
    if (std::isnan(std::log(p.market.spot))) throw Fault("NaN in Grid");  // what a grid lookup would refuse
    const SureValue sure = p.payoff.sure_value(p.exercise == ExerciseStyle::American, p.market, p.dividends);
    return {sure.value, sure.delta, 0.0, sure.theta};
}

FdmOutcome solve_fdm(const FdmProblem& problem, CancellationHook cancel) {
    FdmOutcome out;
    solve_fdm_many({&problem, 1}, {&out, 1}, cancel);
    return out;
}

void solve_fdm_many(std::span<const FdmProblem> problems, std::span<FdmOutcome> out, CancellationHook cancel) {
    if (out.size() != problems.size()) {
        throw Fault("solve_fdm_many: " + std::to_string(problems.size()) + " problems, " +
                    std::to_string(out.size()) + " results");
    }
    constexpr std::size_t lanes = kGridLanes;
    // Grid problems, ordered so that those that can step together are adjacent.
    std::vector<std::size_t> grid;
    for (std::size_t i = 0; i < problems.size(); ++i) {
        check_grid(problems[i], std::min<uint64_t>(lanes, problems.size()));
        if (is_deterministic(problems[i])) {
            out[i] = deterministic_outcome(problems[i]);
        } else {
            grid.push_back(i);
        }
    }
    // Options step together when their kinds, node counts and step counts
    // agree (their steps' sizes and stops may differ).
    std::vector<uint64_t> steps(problems.size());
    for (const std::size_t i : grid) {
        const FdmProblem& p = problems[i];
        steps[i] = p.dividends.empty() ? p.grid.time_steps : time_grid_of(p, drops_of(p)).size();
    }
    auto key = [&](std::size_t i) {
        const FdmProblem& p = problems[i];
        return std::tuple(kind_of(p), p.grid.nodes, steps[i]);
    };
    std::stable_sort(grid.begin(), grid.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
    std::size_t next = 0;
    while (next < grid.size()) {
        const std::size_t i = grid[next];
        if (next + lanes <= grid.size() && key(grid[next + lanes - 1]) == key(i)) {
            std::array<const FdmProblem*, lanes> batch;
            std::array<FdmOutcome*, lanes> results;
            for (std::size_t w = 0; w < lanes; ++w) {
                batch[w] = &problems[grid[next + w]];
                results[w] = &out[grid[next + w]];
            }
            solve_kind<lanes>(kind_of(problems[i]), batch, results, cancel);
            next += lanes;
        } else {
            solve_kind<1>(kind_of(problems[i]), {&problems[i]}, {&out[i]}, cancel);
            next += 1;
        }
    }
}

}  // namespace sorvik
