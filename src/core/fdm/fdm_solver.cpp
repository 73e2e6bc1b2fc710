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
#include "fdm/uniform_mesher.hpp"
#include "numeric_text.hpp"
#include "system/memory_budget.hpp"

namespace sorvik {

namespace {

// N-sized arrays alive at the peak of one option's run: mesh 3, operator
// bands 3 and its factorisation 3; the stepper's copies of both 6, its
// u, v, sweep and payoff 4; the payoff and the read-off's u and v 3.
constexpr uint64_t arrays_per_node = 22;

/// Throws MemoryBudgetExceeded when `options` runs on `nodes` nodes would not
/// fit under the process's memory limits, so a huge count fails cleanly
/// instead of meeting the out-of-memory killer. Small counts always pass,
/// which leaves the operator's size fault to report N < 3.
void require_fits_in_memory(uint64_t nodes, uint64_t options) {
    require_memory(grid_bytes(nodes, options), "the finite-difference grid");
}

/// σ√T, the standard deviation of ln S at expiry (√T·σ, in that order).
double spread(const MarketNumbers& m) { return std::sqrt(m.years) * std::fabs(m.vol); }

bool is_deterministic(const FdmProblem& p) { return spread(p.market) == 0.0; }

/// Which stepping a problem takes; problems of one kind and one grid size can share a pass.
enum class Kind { European, AmericanCall, AmericanPut };

Kind kind_of(const FdmProblem& p) {
    if (p.exercise == ExerciseStyle::European) return Kind::European;
    return p.payoff.type == OptionType::Call ? Kind::AmericanCall : Kind::AmericanPut;
}

enum class Order { Less, Equal, Greater };

/// Three-way comparison of a location with ln(spot); unordered is a fault.
Order compare(double x, double y) {
    if (x < y) return Order::Less;
    if (x > y) return Order::Greater;
    if (x == y) return Order::Equal;
    throw Fault("NaN in Grid");
}

/// One option's grid and operator for the length of its run.
struct GridRun {
    const FdmProblem* problem;
    UniformMesher mesh;
    TridiagonalOperator op;
    double dt;
    double low_spot, high_spot;  // e^(x_0), e^(x_(N−1))

    explicit GridRun(const FdmProblem& p)
        : problem(&p),
          // 1. Mesh, centred on the strike
          mesh(std::log(p.payoff.strike), grid_half_width(p), static_cast<std::size_t>(p.grid.nodes)),
          // 3. Operator (the size fault for N < 3 comes from here)
          op(FdmProcess(p.market.rate, p.market.dividend_yield, p.market.vol).build_operator(mesh)),
          // 2. Time step
          dt(p.market.years / static_cast<double>(p.grid.time_steps)),
          low_spot(mesh.spot(0)),
          high_spot(mesh.spot(mesh.size() - 1)) {}

    /// 4. Payoff at every node.
    std::vector<double> payoff() const {
        std::vector<double> values(mesh.size());
        for (std::size_t i = 0; i < mesh.size(); ++i) values[i] = problem->payoff(mesh.spot(i));
        return values;
    }

    /// The far-field value of the low or the high end τ years before expiry,
    /// held by the exercise rule.
    template <class Exercise>
    double end_value(bool low_end, double tau, double payoff) const {
        const FdmProblem& p = *problem;
        return Exercise::hold(p.payoff.far_field(low_end, low_end ? low_spot : high_spot, tau, p.market), payoff);
    }

    /// 8. Price and greeks off the final grid. An American is never worth less
    /// than its payoff, at the spot or at the two bumped spots.
    FdmOutcome results(std::span<const double> u, std::span<const double> v) const {
        const FdmProblem& p = *problem;
        const double spot = p.market.spot;
        const std::span<const double> x = mesh.locations();
        const bool american = p.exercise == ExerciseStyle::American;
        auto held = [&](double value, double at) { return american ? std::max(value, p.payoff(at)) : value; };
        const double v0 = held(value_at(x, u, spot), spot);
        const double vv = value_at(x, v, spot);
        const double h = 0.01 * spot;
        const double v_up = held(value_at(x, u, spot + h), spot + h);
        const double v_down = held(value_at(x, u, spot - h), spot - h);
        return {v0, (v_up - v_down) / (2.0 * h), ((v_up - (v0 + v0)) + v_down) / (h * h), -vv / dt};
    }
};

/// Values W problems of one kind and one grid size into out[0..W).
template <std::size_t W, class Exercise>
void solve_together(const std::array<const FdmProblem*, W>& problems, std::array<FdmOutcome*, W> out,
                    CancellationHook cancel) {
    std::vector<std::unique_ptr<GridRun>> runs;
    for (std::size_t w = 0; w < W; ++w) runs.push_back(std::make_unique<GridRun>(*problems[w]));
    const std::size_t n = runs[0]->mesh.size();
    StepLanes<W> lanes(n);
    for (std::size_t w = 0; w < W; ++w) {
        const std::vector<double> payoff = runs[w]->payoff();
        // 5. Start the stepper: u = payoff, v = Δt·(L·payoff)
        lanes.load(w, runs[w]->op, runs[w]->dt, payoff, payoff, Exercise::order);
    }
    // 6. Exercise rule and 7. steps
    const uint64_t steps = problems[0]->grid.time_steps;
    for (uint64_t m = 0; m < steps; ++m) {
        if (cancel.poll != nullptr && cancel.poll(cancel.context)) {
            throw Cancelled{};
        }
        for (std::size_t w = 0; w < W; ++w) {
            for (std::size_t s = 0; s < 2; ++s) {
                const double tau = (static_cast<double>(m) + ButcherJackiewicz2::c[s]) * lanes.dt[w];
                lanes.ends[s][0][w] = runs[w]->template end_value<Exercise>(true, tau, lanes.at(lanes.payoff, 0, w));
                lanes.ends[s][1][w] =
                    runs[w]->template end_value<Exercise>(false, tau, lanes.at(lanes.payoff, n - 1, w));
            }
        }
        ButcherJackiewicz2::step<Exercise>(lanes);
    }
    std::vector<double> u(n), v(n);
    for (std::size_t w = 0; w < W; ++w) {
        for (std::size_t i = 0; i < n; ++i) {
            u[i] = lanes.at(lanes.u, i, w);
            v[i] = lanes.at(lanes.v, i, w);
        }
        *out[w] = runs[w]->results(u, v);
    }
}

template <std::size_t W>
void solve_kind(Kind kind, const std::array<const FdmProblem*, W>& problems, std::array<FdmOutcome*, W> out,
                CancellationHook cancel) {
    switch (kind) {
        case Kind::European:
            return solve_together<W, EuropeanExercise>(problems, out, cancel);
        case Kind::AmericanCall:
            return solve_together<W, AmericanExercise<SweepOrder::Ascending>>(problems, out, cancel);
        case Kind::AmericanPut:
            return solve_together<W, AmericanExercise<SweepOrder::Descending>>(problems, out, cancel);
    }
}

/// Checks every problem needs before its grid is built, in the order a single
/// valuation reports them.
void check_grid(const FdmProblem& p, uint64_t options) {
    check_grid_std_devs(p.grid.grid_std_devs);
    require_fits_in_memory(p.grid.nodes, options);
    require_operator_size(static_cast<std::size_t>(p.grid.nodes));
}

/// ln of a spot the deterministic value is read at; a NaN is what a grid
/// lookup would have refused.
void require_ordered_spot(double spot) {
    if (std::isnan(std::log(spot))) throw Fault("NaN in Grid");
}

}  // namespace

uint64_t grid_bytes(uint64_t nodes, uint64_t options) {
    constexpr uint64_t bytes_per_node = arrays_per_node * sizeof(double);
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
    const double sd = spread(p.market);
    double width = p.grid.grid_std_devs * sd;
    const double spot = p.market.spot;
    if (spot > 0.0 && std::isfinite(spot)) {
        const double h = 0.01 * spot;
        const double strike = p.payoff.strike;
        const double reach =
            std::max(std::fabs(std::log((spot + h) / strike)), std::fabs(std::log((spot - h) / strike))) + 2.0 * sd;
        if (reach > width) width = reach;
    }
    return width;
}

FdmOutcome deterministic_outcome(const FdmProblem& p) {
    const MarketNumbers& m = p.market;
    const double K = p.payoff.strike, T = m.years, r = m.rate, q = m.dividend_yield;
    const double sign = p.payoff.type == OptionType::Call ? 1.0 : -1.0;
    // The payoff of exercising t years from now, discounted: ±(S·e^(−qt) − K·e^(−rt)).
    auto exercised_at = [&](double spot, double t) { return sign * (spot * std::exp(-q * t) - K * std::exp(-r * t)); };
    // The best exercise time for `spot`: expiry for a European; for an
    // American also now, and the stationary point of exercised_at where
    // q·S·e^(−qt) = r·K·e^(−rt), if it lies inside (0, T).
    struct Best {
        double value;
        bool at_expiry;
    };
    auto best = [&](double spot) {
        Best b{std::max(0.0, exercised_at(spot, T)), true};
        if (p.exercise == ExerciseStyle::European) return b;
        // Ties go to exercising early: the value then does not move with T.
        auto consider = [&](double t) {
            const double v = exercised_at(spot, t);
            if (v >= b.value) b = {v, false};
        };
        consider(0.0);
        if (q != r && q * r > 0.0) {
            const double t = std::log((r * K) / (q * spot)) / (r - q);
            if (t > 0.0 && t < T) consider(t);
        }
        return b;
    };
    const double spot = m.spot, h = 0.01 * spot;
    for (const double s : {spot, spot + h, spot - h}) require_ordered_spot(s);
    const Best now = best(spot);
    const double v0 = now.value, v_up = best(spot + h).value, v_down = best(spot - h).value;
    // Calendar-time derivative: −∂/∂T of ±(S·e^(−qT) − K·e^(−rT)) when
    // exercising at expiry pays, else 0.
    const double theta = now.at_expiry && now.value > 0.0
                             ? sign * (q * spot * std::exp(-q * T) - r * K * std::exp(-r * T))
                             : 0.0;
    return {v0, (v_up - v_down) / (2.0 * h), ((v_up - (v0 + v0)) + v_down) / (h * h), theta};
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
    auto key = [&](std::size_t i) {
        const FdmProblem& p = problems[i];
        return std::tuple(kind_of(p), p.grid.nodes, p.grid.time_steps);
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

double value_at(std::span<const double> locations, std::span<const double> values, double spot) {
    const std::size_t n = locations.size();
    if (n == 0 || values.size() != n) {
        throw Fault("value lookup on " + std::to_string(values.size()) + " values over " +
                    std::to_string(n) + " locations");
    }
    const double y = std::log(spot);
    // Binary search for the last location <= y (or the first one when none is).
    std::size_t size = n;
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (compare(locations[mid], y) != Order::Greater) {
            base = mid;
        }
        size -= half;
    }
    std::size_t i = 0;
    switch (compare(locations[base], y)) {
        case Order::Equal: return values[base];
        case Order::Less: i = base + 1; break;
        case Order::Greater: i = base; break;
    }
    // Flat beyond both ends.
    if (i == 0) return values[0];
    if (i >= n) return values[n - 1];
    const double w = (y - locations[i - 1]) / (locations[i] - locations[i - 1]);
    return (values[i] - values[i - 1]) * w + values[i - 1];
}

}  // namespace sorvik
