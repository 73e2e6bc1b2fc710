// fdm/butcher_jackiewicz2.hpp: two-stage Butcher–Jackiewicz time stepping, several options at once.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "fault.hpp"
#include "fdm/cancellation.hpp"
#include "fdm/exercise.hpp"
#include "fdm/lane_value.hpp"
#include "fdm/tridiagonal_operator.hpp"

namespace sorvik {

/// W options on grids of one size, stepped together. Their node arrays are
/// interleaved, entry (i, w) at [i·W + w], so that one pass over the nodes
/// advances every lane and the lanes' independent recurrences overlap.
template <std::size_t W>
struct StepLanes {
    std::size_t n = 0;
    /// L's bands, by row.
    std::vector<double> lower, diag, upper;
    /// The factorisation of I − λΔt·L in the exercise rule's order, by elimination step.
    std::vector<double> scaled_previous, modified_next, inverse_pivots;
    /// Carried components u (node values) and v ≈ Δt·du/dτ and elimination
    /// scratch, by row.
    std::vector<double> u, v, sweep;
    /// The payoff the exercise rule holds values at, at the times of the
    /// coming step's two stages, [stage][row]; the same for every step
    /// unless the solver sets it before each one.
    std::array<std::vector<double>, 2> floors;
    std::array<double, W> dt{};
    /// Far-field values of the low and the high end node at the times of the
    /// coming step's two stages, [stage][end][lane]; set before every step.
    std::array<std::array<std::array<double, W>, 2>, 2> ends{};
    /// Polled along every pass over the nodes.
    CancellationHook cancel;

    explicit StepLanes(std::size_t nodes, const CancellationHook& hook = {}) : n(nodes), cancel(hook) {
        for (std::vector<double>* array : {&lower, &diag, &upper, &scaled_previous, &modified_next, &inverse_pivots, &u,
                                           &v, &sweep, &floors[0], &floors[1]}) {
            resize_polled(*array, nodes * W, cancel);
        }
    }

    /// Lane w: operator L, time step Δt, initial values u = u0 and v = Δt·(L·u0),
    /// the payoff as both stages' floor, and the factorisation of I − λΔt·L in `order`. Throws
    /// Fault when a size differs from n.
    void load(std::size_t w, const TridiagonalOperator& op, double dt, std::span<const double> u0,
              std::span<const double> payoff, SweepOrder order);

    /// Lane w's entry of a node array.
    double at(const std::vector<double>& values, std::size_t i, std::size_t w) const { return values[i * W + w]; }
};

/// Two-stage diagonally implicit general linear method for du/dτ = L·u
/// (L-stable, λ ≈ 1 − 1/√2 on both stages, so one factorisation serves every
/// solve). The tableau holds the decimal constants as written, not values
/// derived from √2, and every product with a zero entry is evaluated, so a
/// NaN or infinity anywhere spreads into everything computed from it.
///
/// Each stage solves (I − λΔt·L)·Y = b with the end nodes held at their
/// far-field values (L's end rows are zero), under the exercise rule; the
/// stage derivative is L·Y on interior rows of a European stage and the one
/// the stage equation implies, K = (Y − b)/λ, on the end rows and on every
/// row of an American stage. Since B[0][1] = A[1][1], the new u of an end
/// node is then its far-field value at the end of the step.
class ButcherJackiewicz2 {
public:
    static constexpr double A[2][2] = {{0.292893218813452, 0.0}, {0.707106781186548, 0.292893218813452}};
    static constexpr double U[2][2] = {{1.0, 0.0}, {1.0, 0.0}};
    static constexpr double B[2][2] = {{0.707106781186548, 0.292893218813452}, {0.0, 1.0}};
    static constexpr double V[2][2] = {{1.0, 0.0}, {0.0, 0.0}};
    /// Stage abscissae: stage s of step m sits at τ = (m + c[s])·Δt, where
    /// the far-field values are taken.
    static constexpr double c[2] = {0.292893218813452, 1.0};
    /// 1/λ, rounded once: K = (Y − b)·(1/λ).
    static constexpr double inverse_lambda = 1.0 / 0.292893218813452;

    /// One step of every lane in place. Each lane's arithmetic is the same as
    /// stepping it alone, so its bits do not depend on W or on the other lanes.
    template <class Exercise, std::size_t W>
    static void step(StepLanes<W>& lanes);

private:
    template <std::size_t S, class Exercise, std::size_t W>
    static void stage(StepLanes<W>& lanes);
};

template <std::size_t W>
void StepLanes<W>::load(std::size_t w, const TridiagonalOperator& op, double step, std::span<const double> u0,
                        std::span<const double> floor, SweepOrder order) {
    if (w >= W || op.size() != n || u0.size() != n || floor.size() != n) {
        throw Fault("lane " + std::to_string(w) + " of " + std::to_string(W) + " loaded with " +
                    std::to_string(op.size()) + "-node operator, " + std::to_string(u0.size()) + " values and " +
                    std::to_string(floor.size()) + " payoffs for " + std::to_string(n) + " nodes");
    }
    std::vector<double> lv;
    resize_polled(lv, n, cancel);
    op.apply(u0, lv, cancel);
    const TridiagonalFactorization& f = op.factorization(ButcherJackiewicz2::A[0][0] * step, order, cancel);
    for (std::size_t i = 0; i < n; ++i) {
        poll_at_row(cancel, i);
        const std::size_t e = i * W + w;
        lower[e] = op.lower()[i];
        diag[e] = op.diag()[i];
        upper[e] = op.upper()[i];
        scaled_previous[e] = f.scaled_previous[i];
        modified_next[e] = f.modified_next[i];
        inverse_pivots[e] = f.inverse_pivots[i];
        u[e] = u0[i];
        v[e] = step * lv[i];
        floors[0][e] = floor[i];
        floors[1][e] = floor[i];
    }
    dt[w] = step;
}

// The step runs each stage as the two sweeps of its solve. The elimination
// also forms the stage input; the substitution also applies the exercise
// rule, the stage derivative (L one node behind, once both neighbours of a
// row are final), the increment and the output formula. Every value keeps
// its operations and their order.
//
// The tableau's rows coincide (U[1] = U[0] = V[0], B[0][0] = A[1][0],
// B[0][1] = A[1][1]), so one value serves several formulas: u + 0·v is the
// input part of both stages and of the new u, and u + 0·v + A[1][0]·K_0 is
// both the stage-1 input and the new u before its K_1 term.
template <class Exercise, std::size_t W>
void ButcherJackiewicz2::step(StepLanes<W>& lanes) {
    static_assert(U[1][0] == U[0][0] && U[1][1] == U[0][1] && V[0][0] == U[0][0] && V[0][1] == U[0][1] &&
                      B[0][0] == A[1][0] && B[0][1] == A[1][1] && A[0][0] == A[1][1],
                  "the fused step relies on these coincidences of the tableau");
    stage<0, Exercise>(lanes);
    stage<1, Exercise>(lanes);
}

template <std::size_t S, class Exercise, std::size_t W>
void ButcherJackiewicz2::stage(StepLanes<W>& lanes) {
    using Value = typename LaneValue<W>::type;
    constexpr SweepOrder order = Exercise::order;
    constexpr bool ascending = order == SweepOrder::Ascending;
    // Entry of the k-th row in elimination order, and of elimination step k.
    const std::size_t n = lanes.n;  // >= 3
    const std::size_t row_step = ascending ? W : 0 - W;
    const std::size_t first_row = ascending ? 0 : (n - 1) * W;
    double* const u = lanes.u.data();
    double* const v = lanes.v.data();
    double* const z = lanes.sweep.data();
    const double* const floor = lanes.floors[S].data();
    const double* const l = lanes.scaled_previous.data();
    const double* const cn = lanes.modified_next.data();
    const double* const p = lanes.inverse_pivots.data();
    // L's bands towards the previous and the next row in elimination order.
    const double* const previous = ascending ? lanes.lower.data() : lanes.upper.data();
    const double* const diag = lanes.diag.data();
    const double* const next = ascending ? lanes.upper.data() : lanes.lower.data();
    const Value dt = load_lanes<W>(lanes.dt.data());
    // The ends in elimination order.
    constexpr std::size_t first_end = ascending ? 0 : 1, last_end = 1 - first_end;

    // The stage input b at entry e. Stage 0 forms b = U[0][0]·u + U[0][1]·v;
    // u keeps it and v becomes V[1][0]·u + V[1][1]·v, the old u and v being
    // needed no more. Stage 1 finds its input in u.
#define SORVIK_STAGE_INPUT(e, b)                                   \
    if constexpr (S == 0) {                                        \
        const Value ue = load_lanes<W>(u + (e));                   \
        const Value ve = load_lanes<W>(v + (e));                   \
        b = U[0][0] * ue + U[0][1] * ve;                           \
        store_lanes<W>(v + (e), V[1][0] * ue + V[1][1] * ve);      \
        store_lanes<W>(u + (e), b);                                \
    } else {                                                       \
        b = load_lanes<W>(u + (e));                                \
    }
    // Folds the increment K of entry e into u and v.
#define SORVIK_STAGE_FINISH(e, k)                                                     \
    {                                                                                 \
        const Value increment = (k);                                                  \
        const Value ue = load_lanes<W>(u + (e)), ve = load_lanes<W>(v + (e));         \
        if constexpr (S == 0) {                                                       \
            store_lanes<W>(u + (e), ue + A[1][0] * increment); /* stage-1 input */    \
            store_lanes<W>(v + (e), ve + B[1][0] * increment);                        \
        } else {                                                                      \
            store_lanes<W>(u + (e), ue + B[0][1] * increment);                        \
            store_lanes<W>(v + (e), ve + B[1][1] * increment);                        \
        }                                                                             \
    }
    // The increment the stage equation implies; u still holds b.
#define SORVIK_STAGE_IMPLIED(e, y) (((y) - load_lanes<W>(u + (e))) * inverse_lambda)

    // Elimination. The end rows solve to their far-field values.
    Value b;
    SORVIK_STAGE_INPUT(first_row, b)
    Value zk = load_lanes<W>(lanes.ends[S][first_end].data()) * load_lanes<W>(p);
    store_lanes<W>(z, zk);
    std::size_t e = first_row;
    for (std::size_t f = W; f < (n - 1) * W; f += W) {
        poll_at_row(lanes.cancel, f / W);
        e += row_step;
        SORVIK_STAGE_INPUT(e, b)
        zk = (b - zk * load_lanes<W>(l + f)) * load_lanes<W>(p + f);
        store_lanes<W>(z + f, zk);
    }
    e += row_step;  // the last row
    const std::size_t last_row = e;
    {
        const std::size_t f = (n - 1) * W;
        SORVIK_STAGE_INPUT(e, b)
        zk = (load_lanes<W>(lanes.ends[S][last_end].data()) - zk * load_lanes<W>(l + f)) * load_lanes<W>(p + f);
        store_lanes<W>(z + f, zk);
    }

    // Substitution, towards the exercise side, with the exercise rule applied
    // to each value as it is formed. y1, y2: Y at the rows one and two places
    // later in elimination order.
    Value y1 = Exercise::hold(zk, load_lanes<W>(floor + last_row));
    SORVIK_STAGE_FINISH(last_row, SORVIK_STAGE_IMPLIED(last_row, y1))
    if constexpr (Exercise::derivative_from_stage_equation) {
        for (std::size_t f = (n - 1) * W; f != 0;) {
            f -= W;
            poll_at_row(lanes.cancel, f / W);
            e -= row_step;
            y1 = Exercise::hold(load_lanes<W>(z + f) - load_lanes<W>(cn + f) * y1, load_lanes<W>(floor + e));
            SORVIK_STAGE_FINISH(e, SORVIK_STAGE_IMPLIED(e, y1))
        }
    } else {
        Value y2 = y1;
        std::size_t f = (n - 2) * W;
        e -= row_step;
        y1 = Exercise::hold(load_lanes<W>(z + f) - load_lanes<W>(cn + f) * y2, load_lanes<W>(floor + e));
        while (f != 0) {
            f -= W;
            poll_at_row(lanes.cancel, f / W);
            const std::size_t j = e;  // the row L can now be applied to
            e -= row_step;
            const Value y0 = Exercise::hold(load_lanes<W>(z + f) - load_lanes<W>(cn + f) * y1, load_lanes<W>(floor + e));
            const Value k = dt * (load_lanes<W>(previous + j) * y0 + load_lanes<W>(diag + j) * y1 +
                                  load_lanes<W>(next + j) * y2);
            SORVIK_STAGE_FINISH(j, k)
            y2 = y1;
            y1 = y0;
        }
        SORVIK_STAGE_FINISH(e, SORVIK_STAGE_IMPLIED(e, y1))
    }
#undef SORVIK_STAGE_INPUT
#undef SORVIK_STAGE_FINISH
#undef SORVIK_STAGE_IMPLIED
}

}  // namespace sorvik
