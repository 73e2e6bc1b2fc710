// fdm/butcher_jackiewicz2.hpp: two-stage Butcher–Jackiewicz time stepping, several options at once.
#pragma once

#include <cstddef>

#include "fdm/exercise.hpp"
#include "fdm/lane_sweep.hpp"
#include "fdm/lane_value.hpp"

namespace sorvik {

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
/// node is then its far-field value at the end of the step. It carries u
/// (the values) and v ≈ Δt·du/dτ, which starts, and restarts after an event
/// that moved the values, as Δt·(L·u) (StepLanes::load).
class ButcherJackiewicz2 {
public:
    static constexpr double A[2][2] = {{0.292893218813452, 0.0}, {0.707106781186548, 0.292893218813452}};
    static constexpr double U[2][2] = {{1.0, 0.0}, {1.0, 0.0}};
    static constexpr double B[2][2] = {{0.707106781186548, 0.292893218813452}, {0.0, 1.0}};
    static constexpr double V[2][2] = {{1.0, 0.0}, {0.0, 0.0}};
    /// Stage abscissae: stage s of a step sits c[s] of the way through it
    /// (TimeGrid::time), where the far-field values are taken.
    static constexpr double c[2] = {0.292893218813452, 1.0};
    /// 1/λ, rounded once: K = (Y − b)·(1/λ).
    static constexpr double inverse_lambda = 1.0 / 0.292893218813452;

    /// The coefficient a of the systems (I − a·L)·Y = b a step of size dt
    /// solves: both stages share it.
    static double coefficient(double dt) { return A[0][0] * dt; }

    /// One step of every lane in place. Each lane's arithmetic is the same as
    /// stepping it alone, so its bits do not depend on W or on the other lanes.
    template <class Exercise, std::size_t W>
    static void step(StepLanes<W>& lanes);

private:
    template <std::size_t S, class Exercise, std::size_t W>
    static void stage(StepLanes<W>& lanes);
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
    // Stage 0 forms its input b = U[0][0]·u + U[0][1]·v; u keeps it and v
    // becomes V[1][0]·u + V[1][1]·v, the old u and v being needed no more.
    // Stage 1 finds its input in u. The increment K of an entry is folded
    // into u and v; the one the stage equation implies reads b from u.
    struct Formulas {
        double* u;
        double* v;

        SORVIK_LANES_INLINE Value input(std::size_t e) const {
            if constexpr (S == 0) {
                const Value ue = load_lanes<W>(u + e);
                const Value ve = load_lanes<W>(v + e);
                const Value b = U[0][0] * ue + U[0][1] * ve;
                store_lanes<W>(v + e, V[1][0] * ue + V[1][1] * ve);
                store_lanes<W>(u + e, b);
                return b;
            } else {
                return load_lanes<W>(u + e);
            }
        }
        SORVIK_LANES_INLINE Value implied(std::size_t e, const Value& y) const { return (y - load_lanes<W>(u + e)) * inverse_lambda; }
        SORVIK_LANES_INLINE void finish(std::size_t e, const Value& increment) const {
            const Value ue = load_lanes<W>(u + e), ve = load_lanes<W>(v + e);
            if constexpr (S == 0) {
                store_lanes<W>(u + e, ue + A[1][0] * increment);  // the stage-1 input
                store_lanes<W>(v + e, ve + B[1][0] * increment);
            } else {
                store_lanes<W>(u + e, ue + B[0][1] * increment);
                store_lanes<W>(v + e, ve + B[1][1] * increment);
            }
        }
    };
    sweep_lanes<Exercise>(lanes, lanes.floors[S].data(), lanes.ends[S], Formulas{lanes.u.data(), lanes.v.data()});
}

}  // namespace sorvik
