// fdm/fdm_solver.cpp: finite-difference valuation of a stock option with early exercise and grid greeks.
#include "fdm/fdm_solver.hpp"

#include <unistd.h>

#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "fault.hpp"
#include "fdm/butcher_jackiewicz2.hpp"
#include "fdm/fdm_process.hpp"
#include "fdm/uniform_mesher.hpp"
#include "system/memory_budget.hpp"

namespace sorvik {

namespace {

// N-sized arrays alive at the peak of a run: mesh 3, operator bands 3,
// factorisation 3, payoff and exercise threshold 2, u, v and sweep 3.
constexpr uint64_t arrays_per_node = 14;

/// Throws std::bad_alloc when a run on `nodes` nodes cannot fit in physical
/// memory (or its size overflows), so a huge count fails cleanly instead of
/// meeting the out-of-memory killer. Small counts always pass, which leaves
/// the operator's size fault to report N < 3.
void require_fits_in_memory(uint64_t nodes) {
    constexpr uint64_t bytes_per_node = arrays_per_node * sizeof(double);
    const uint64_t bytes = nodes > std::numeric_limits<uint64_t>::max() / bytes_per_node
                               ? std::numeric_limits<uint64_t>::max()  // stands for any larger count
                               : nodes * bytes_per_node;
    require_memory(bytes, "the finite-difference grid");
}

enum class Order { Less, Equal, Greater };

/// Three-way comparison of a location with ln(spot); unordered is a fault.
Order compare(double x, double y) {
    if (x < y) return Order::Less;
    if (x > y) return Order::Greater;
    if (x == y) return Order::Equal;
    throw Fault("NaN in Grid");
}

template <class Hooks>
void take_steps(ButcherJackiewicz2& stepper, StepState& state, const TridiagonalOperator& op, double dt,
                uint64_t steps, const Hooks& hooks, CancellationHook cancel) {
    for (uint64_t m = 0; m < steps; ++m) {
        if (cancel.poll != nullptr && cancel.poll(cancel.context)) {
            throw Cancelled{};
        }
        stepper.step(state, op, dt, hooks);
    }
}

}  // namespace

FdmSolver::FdmSolver(double spot, double strike, double years, double rate, double vol, OptionType type,
                     ExerciseStyle style, FdmSettings settings)
    : spot_(spot),
      strike_(strike),
      years_(years),
      rate_(rate),
      vol_(vol),
      type_(type),
      style_(style),
      settings_(settings) {}

FdmOutcome FdmSolver::run(CancellationHook hook) const {
    require_fits_in_memory(settings_.nodes);
    const auto n = static_cast<std::size_t>(settings_.nodes);

    // 1. Mesh
    const UniformMesher mesh(strike_, vol_, years_, settings_.grid_std_devs, n);

    // 2. Time step
    const double dt = years_ / static_cast<double>(settings_.time_steps);

    // 3. Operator (the size fault for N < 3 comes from here)
    const TridiagonalOperator op = FdmProcess(rate_, vol_).build_operator(mesh);

    // 4. Payoff, and the exercise test's threshold payoff + ε, both from
    //    S_i = e^(x_i) taken once here rather than in every hook call.
    constexpr double eps = 2.220446049250313e-16;  // 2^-52
    std::vector<double> payoff(n), threshold(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double s = mesh.spot(i);
        const bool in_the_money = type_ == OptionType::Call ? strike_ < s : s < strike_;
        const double intrinsic = type_ == OptionType::Call ? s - strike_ : strike_ - s;
        payoff[i] = in_the_money ? intrinsic : 0.0;
        threshold[i] = in_the_money ? intrinsic + eps : eps;
    }

    // 5. Start the stepper: u = payoff, v = Δt·(L·payoff)
    ButcherJackiewicz2 stepper;
    StepState state;
    stepper.start(state, payoff, op, dt);

    // 6. Hooks and 7. Steps
    if (style_ == ExerciseStyle::American) {
        take_steps(stepper, state, op, dt, settings_.time_steps, AmericanHooks{payoff, threshold}, hook);
    } else {
        take_steps(stepper, state, op, dt, settings_.time_steps, NoHooks{}, hook);
    }

    // 8. Results
    const std::span<const double> x = mesh.locations();
    const double v0 = value_at(x, state.u, spot_);
    const double vv = value_at(x, state.v, spot_);
    const double h = 0.01 * spot_;
    const double v_up = value_at(x, state.u, spot_ + h);
    const double v_down = value_at(x, state.u, spot_ - h);
    FdmOutcome out;
    out.price = v0;
    out.delta = (v_up - v_down) / (2.0 * h);
    out.gamma = ((v_up - (v0 + v0)) + v_down) / (h * h);
    out.theta = -vv / dt;
    return out;
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
