// fdm/lane_sweep.hpp: several options' node arrays side by side, and the one solve every stage of every scheme makes.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "fault.hpp"
#include "fdm/cancellation.hpp"
#include "fdm/grid_memory.hpp"
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
    GridArray lower, diag, upper;
    /// The factorisation of I − a·L for each lane's current step, in the
    /// exercise rule's order, by elimination step.
    GridArray scaled_previous, modified_next, inverse_pivots;
    /// The scheme's carried components u (node values) and v, and
    /// elimination scratch, by row.
    GridArray u, v, sweep;
    /// The payoff the exercise rule holds values at, at the times of the
    /// coming step's two stages, [stage][row]; the same for every step
    /// unless the solver sets it before each one.
    std::array<GridArray, 2> floors;
    /// Each lane's current step size.
    std::array<double, W> dt{};
    /// Far-field values of the low and the high end node at the times of the
    /// coming step's two stages, [stage][end][lane]; set before every step.
    std::array<std::array<std::array<double, W>, 2>, 2> ends{};
    /// Polled along every pass over the nodes.
    CancellationHook cancel;

    explicit StepLanes(std::size_t nodes, const CancellationHook& hook = {}) : n(nodes), cancel(hook) {
        for (GridArray* array : {&lower, &diag, &upper, &scaled_previous, &modified_next, &inverse_pivots, &u,
                                           &v, &sweep, &floors[0], &floors[1]})
            resize_polled(*array, nodes * W, cancel);
    }

    /// Lane w: operator L's bands, u = u0, v = step·(L·u0) and the payoff as
    /// both stages' floor. Throws Fault when a size differs from n.
    void load(std::size_t w, const TridiagonalOperator& op, double step, std::span<const double> u0,
              std::span<const double> payoff);

    /// Lane w starts again from u = `values`, v = step·(L·values), as after
    /// an event that moved its values; `scratch` has n entries.
    void restart(std::size_t w, const TridiagonalOperator& op, double step, std::span<const double> values,
                 std::span<double> scratch);

    /// Lane w's step becomes `step`, with the factorisation of I − a·L in
    /// `order` (the operator's cached one when a matches it).
    void factorize(std::size_t w, const TridiagonalOperator& op, double step, double a, SweepOrder order);
    /// Lane w's step becomes `step`, with the factorisation `f` made for it.
    void factorize(std::size_t w, const TridiagonalFactorization& f, double step);

    /// Lane w's entry of a node array.
    double at(const GridArray& values, std::size_t i, std::size_t w) const { return values[i * W + w]; }
};

template <std::size_t W>
void StepLanes<W>::load(std::size_t w, const TridiagonalOperator& op, double step, std::span<const double> u0,
                        std::span<const double> floor) {
    if (w >= W || op.size() != n || u0.size() != n || floor.size() != n) {
        throw Fault("lane " + std::to_string(w) + " of " + std::to_string(W) + " loaded with " +
                    std::to_string(op.size()) + "-node operator, " + std::to_string(u0.size()) + " values and " +
                    std::to_string(floor.size()) + " payoffs for " + std::to_string(n) + " nodes");
    }
    for (std::size_t i = 0; i < n; ++i) {
        poll_at_row(cancel, i);
        const std::size_t e = i * W + w;
        lower[e] = op.lower()[i];
        diag[e] = op.diag()[i];
        upper[e] = op.upper()[i];
        floors[0][e] = floor[i];
        floors[1][e] = floor[i];
    }
    GridArray lv;
    resize_polled(lv, n, cancel);
    restart(w, op, step, u0, lv);
}

template <std::size_t W>
void StepLanes<W>::restart(std::size_t w, const TridiagonalOperator& op, double step, std::span<const double> values,
                           std::span<double> scratch) {
    op.apply(values, scratch, cancel);
    for (std::size_t i = 0; i < n; ++i) {
        poll_at_row(cancel, i);
        const std::size_t e = i * W + w;
        u[e] = values[i];
        v[e] = step * scratch[i];
    }
}

template <std::size_t W>
void StepLanes<W>::factorize(std::size_t w, const TridiagonalOperator& op, double step, double a, SweepOrder order) {
    factorize(w, op.factorization(a, order, cancel), step);
}

template <std::size_t W>
void StepLanes<W>::factorize(std::size_t w, const TridiagonalFactorization& f, double step) {
    for (std::size_t i = 0; i < n; ++i) {
        poll_at_row(cancel, i);
        const std::size_t e = i * W + w;
        scaled_previous[e] = f.scaled_previous[i];
        modified_next[e] = f.modified_next[i];
        inverse_pivots[e] = f.inverse_pivots[i];
    }
    dt[w] = step;
}

/// One stage's solve (I − a·L)·Y = b for every lane, with the end nodes held
/// at `ends` [end][lane] (L's end rows are zero) and every value held by the
/// exercise rule against `floor` as it is formed: the elimination in the
/// exercise rule's order, then the substitution towards the exercise side.
/// The scheme's `stage` gives the input and takes the stage's derivative:
///
///   Value stage.input(e)        b at entry e, read once, in elimination order
///   Value stage.implied(e, y)   the derivative the stage equation implies
///   void  stage.finish(e, k)    takes the derivative k of entry e
///
/// The derivative is implied on the end rows and on every row under an
/// exercise rule that needs it (Exercise::derivative_from_stage_equation);
/// on the other interior rows it is Δt·(L·Y), formed one row behind the
/// substitution once both neighbours of a row are final. Each lane's
/// arithmetic is that of the lane alone.
template <class Exercise, std::size_t W, class Stage>
SORVIK_LANES_INLINE void sweep_lanes(StepLanes<W>& lanes, const double* floor, const std::array<std::array<double, W>, 2>& ends,
                 const Stage& stage) {
    using Value = typename LaneValue<W>::type;
    constexpr SweepOrder order = Exercise::order;
    constexpr bool ascending = order == SweepOrder::Ascending;
    // Entry of the k-th row in elimination order, and of elimination step k.
    const std::size_t n = lanes.n;  // >= 3
    const std::size_t row_step = ascending ? W : 0 - W;
    const std::size_t first_row = ascending ? 0 : (n - 1) * W;
    double* const z = lanes.sweep.data();
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

    // Elimination. The end rows solve to their far-field values.
    Value b = stage.input(first_row);
    Value zk = load_lanes<W>(ends[first_end].data()) * load_lanes<W>(p);
    store_lanes<W>(z, zk);
    std::size_t e = first_row;
    for (std::size_t f = W; f < (n - 1) * W; f += W) {
        poll_at_row(lanes.cancel, f / W);
        e += row_step;
        b = stage.input(e);
        zk = (b - zk * load_lanes<W>(l + f)) * load_lanes<W>(p + f);
        store_lanes<W>(z + f, zk);
    }
    e += row_step;  // the last row
    const std::size_t last_row = e;
    {
        const std::size_t f = (n - 1) * W;
        b = stage.input(e);
        zk = (load_lanes<W>(ends[last_end].data()) - zk * load_lanes<W>(l + f)) * load_lanes<W>(p + f);
        store_lanes<W>(z + f, zk);
    }

    // Substitution, towards the exercise side. y1, y2: Y at the rows one and
    // two places later in elimination order.
    Value y1 = Exercise::hold(zk, load_lanes<W>(floor + last_row));
    stage.finish(last_row, stage.implied(last_row, y1));
    if constexpr (Exercise::derivative_from_stage_equation) {
        for (std::size_t f = (n - 1) * W; f != 0;) {
            f -= W;
            poll_at_row(lanes.cancel, f / W);
            e -= row_step;
            y1 = Exercise::hold(load_lanes<W>(z + f) - load_lanes<W>(cn + f) * y1, load_lanes<W>(floor + e));
            stage.finish(e, stage.implied(e, y1));
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
            stage.finish(j, k);
            y2 = y1;
            y1 = y0;
        }
        stage.finish(e, stage.implied(e, y1));
    }
}

/// No exercise rule, and the stage equation's derivative on every row: with
/// a stage that keeps each value as it is formed, the sweep is a plain solve.
template <SweepOrder Order>
struct PlainSolve {
    static constexpr SweepOrder order = Order;
    static constexpr bool derivative_from_stage_equation = true;

    static double hold(double value, double /*floor*/) { return value; }
};

/// Solves (I − a·A)·y = b on its own: the single-lane sweep, the end rows
/// part of the system. Throws Fault when b or y does not have N entries.
inline void solve_tridiagonal(const TridiagonalOperator& op, std::span<const double> b, double a, std::span<double> y,
                              SweepOrder order = SweepOrder::Ascending) {
    const std::size_t n = op.size();
    if (b.size() != n || y.size() != n)
        throw Fault("solve of " + std::to_string(b.size()) + " values into " + std::to_string(y.size()) +
                    " for an operator of size " + std::to_string(n));
    StepLanes<1> lane(n);
    lane.load(0, op, 1.0, b, b);
    lane.factorize(0, op, 1.0, a, order);
    const std::array<std::array<double, 1>, 2> ends{{{b[0]}, {b[n - 1]}}};
    struct Keep {
        std::span<const double> b;
        std::span<double> y;
        double input(std::size_t e) const { return b[e]; }
        double implied(std::size_t, double value) const { return value; }
        void finish(std::size_t e, double value) const { y[e] = value; }
    };
    const Keep keep{b, y};
    if (order == SweepOrder::Ascending)
        sweep_lanes<PlainSolve<SweepOrder::Ascending>>(lane, b.data(), ends, keep);
    else
        sweep_lanes<PlainSolve<SweepOrder::Descending>>(lane, b.data(), ends, keep);
}

}  // namespace sorvik
