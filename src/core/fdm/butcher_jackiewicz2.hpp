// fdm/butcher_jackiewicz2.hpp: two-stage Butcher–Jackiewicz time stepping, several options at once.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <type_traits>
#include <vector>

#include "fdm/exercise.hpp"
#include "fdm/tridiagonal_operator.hpp"

namespace sorvik {

/// The carried components: node values u and the scaled derivative v ≈ Δt·du/dτ.
struct StepState {
    std::vector<double> u;
    std::vector<double> v;
};

/// One option on the stepper. `ends[s]` holds the far-field values of the
/// low and the high end node at the time of stage s of the coming step; the
/// caller sets them before every step.
template <class Exercise>
struct StepLane {
    const TridiagonalOperator* op;
    Exercise exercise;
    StepState* state;
    std::span<double> sweep;  ///< N entries of elimination scratch
    double dt;
    std::array<std::array<double, 2>, 2> ends;
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

    /// u = u0, v = Δt·(L·u0); builds the stage factorisation in `order`, so
    /// that step() allocates nothing. Throws Fault when u0 does not have
    /// L.size() entries.
    static void start(StepState& state, std::span<const double> u0, const TridiagonalOperator& op, double dt,
                      SweepOrder order);

    /// One step of every lane in place, their sweeps interleaved node by node.
    /// Each lane's arithmetic is the same as stepping it alone, so its bits do
    /// not depend on W or on the other lanes. start() must have run for each
    /// lane with its operator, Δt and the exercise rule's order; all lanes
    /// have the same node count.
    template <std::size_t W, class Exercise>
    static void step(std::array<StepLane<Exercise>, W>& lanes);
};

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
template <std::size_t W, class Exercise>
void ButcherJackiewicz2::step(std::array<StepLane<Exercise>, W>& lanes) {
    static_assert(U[1][0] == U[0][0] && U[1][1] == U[0][1] && V[0][0] == U[0][0] &&
                      V[0][1] == U[0][1] && B[0][0] == A[1][0] && B[0][1] == A[1][1] && A[0][0] == A[1][1],
                  "the fused step relies on these coincidences of the tableau");
    constexpr SweepOrder order = Exercise::order;
    constexpr bool ascending = order == SweepOrder::Ascending;
    const std::size_t n = lanes[0].op->size();  // >= 3
    const std::size_t first = row_at<order>(0, n), last = row_at<order>(n - 1, n);
    // The far-field values in elimination order: [stage][first row, last row].
    constexpr std::size_t first_end = ascending ? 0 : 1, last_end = 1 - first_end;

    struct View {
        double *u, *v, *z;
        const double *l, *c, *p;           // factorisation, in elimination order
        const double *previous, *diag, *next;  // L's bands towards the previous and next row
        double dt;
    };
    std::array<View, W> lane;
    for (std::size_t w = 0; w < W; ++w) {
        const TridiagonalOperator& op = *lanes[w].op;
        lane[w].u = lanes[w].state->u.data();
        lane[w].v = lanes[w].state->v.data();
        lane[w].z = lanes[w].sweep.data();
        lane[w].previous = ascending ? op.lower().data() : op.upper().data();
        lane[w].diag = op.diag().data();
        lane[w].next = ascending ? op.upper().data() : op.lower().data();
        lane[w].dt = lanes[w].dt;
    }

    auto stage = [&](auto stage_index) {
        constexpr std::size_t s = decltype(stage_index)::value;
        for (std::size_t w = 0; w < W; ++w) {
            const TridiagonalFactorization& f = lanes[w].op->factorization(A[s][s] * lane[w].dt, order);
            lane[w].l = f.scaled_previous.data();
            lane[w].c = f.modified_next.data();
            lane[w].p = f.inverse_pivots.data();
        }
        // The stage input b at row i. Stage 0 forms b = U[0][0]·u + U[0][1]·v;
        // u keeps it and v becomes V[1][0]·u + V[1][1]·v, the old u and v
        // being needed no more. Stage 1 finds its input in u.
        auto input = [](View& x, std::size_t i) {
            if constexpr (s == 0) {
                const double b = U[0][0] * x.u[i] + U[0][1] * x.v[i];
                x.v[i] = V[1][0] * x.u[i] + V[1][1] * x.v[i];
                x.u[i] = b;
                return b;
            } else {
                return x.u[i];
            }
        };
        // Folds the increment K of row i into u and v.
        auto finish = [](View& x, std::size_t i, double k) {
            if constexpr (s == 0) {
                x.u[i] = x.u[i] + A[1][0] * k;  // stage-1 input
                x.v[i] = x.v[i] + B[1][0] * k;
            } else {
                x.u[i] = x.u[i] + B[0][1] * k;
                x.v[i] = x.v[i] + B[1][1] * k;
            }
        };
        // The increment the stage equation implies; u still holds b.
        auto implied = [](const View& x, std::size_t i, double y) { return (y - x.u[i]) * inverse_lambda; };

        // Elimination. The end rows solve to their far-field values.
        std::array<double, W> z;
        for (std::size_t w = 0; w < W; ++w) {
            View& x = lane[w];
            input(x, first);
            z[w] = lanes[w].ends[s][first_end] * x.p[0];
            x.z[0] = z[w];
        }
        for (std::size_t k = 1; k + 1 < n; ++k) {
            const std::size_t i = row_at<order>(k, n);
            for (std::size_t w = 0; w < W; ++w) {
                View& x = lane[w];
                z[w] = (input(x, i) - z[w] * x.l[k]) * x.p[k];
                x.z[k] = z[w];
            }
        }
        for (std::size_t w = 0; w < W; ++w) {
            View& x = lane[w];
            input(x, last);
            z[w] = (lanes[w].ends[s][last_end] - z[w] * x.l[n - 1]) * x.p[n - 1];
            x.z[n - 1] = z[w];
        }

        // Substitution, towards the exercise side, with the exercise rule
        // applied to each value as it is formed.
        std::array<double, W> y1, y2;  // Y at the rows one and two places later in elimination order
        for (std::size_t w = 0; w < W; ++w) {
            View& x = lane[w];
            y1[w] = lanes[w].exercise.project(last, x.z[n - 1]);
            finish(x, last, implied(x, last, y1[w]));
        }
        if constexpr (Exercise::derivative_from_stage_equation) {
            for (std::size_t k = n - 1; k-- > 0;) {
                const std::size_t i = row_at<order>(k, n);
                for (std::size_t w = 0; w < W; ++w) {
                    View& x = lane[w];
                    y1[w] = lanes[w].exercise.project(i, x.z[k] - x.c[k] * y1[w]);
                    finish(x, i, implied(x, i, y1[w]));
                }
            }
        } else {
            for (std::size_t w = 0; w < W; ++w) {
                View& x = lane[w];
                y2[w] = y1[w];
                y1[w] = lanes[w].exercise.project(row_at<order>(n - 2, n), x.z[n - 2] - x.c[n - 2] * y2[w]);
            }
            for (std::size_t k = n - 2; k-- > 0;) {
                const std::size_t i = row_at<order>(k, n);
                const std::size_t j = row_at<order>(k + 1, n);  // the row L can now be applied to
                for (std::size_t w = 0; w < W; ++w) {
                    View& x = lane[w];
                    const double y0 = lanes[w].exercise.project(i, x.z[k] - x.c[k] * y1[w]);
                    finish(x, j, x.dt * (x.previous[j] * y0 + x.diag[j] * y1[w] + x.next[j] * y2[w]));
                    y2[w] = y1[w];
                    y1[w] = y0;
                }
            }
            for (std::size_t w = 0; w < W; ++w) finish(lane[w], first, implied(lane[w], first, y1[w]));
        }
    };
    stage(std::integral_constant<std::size_t, 0>{});
    stage(std::integral_constant<std::size_t, 1>{});
}

}  // namespace sorvik
