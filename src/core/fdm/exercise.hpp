// fdm/exercise.hpp: the exercise rules the time stepper applies inside every stage.
#pragma once

#include "fdm/lane_value.hpp"
#include "fdm/tridiagonal_operator.hpp"

namespace sorvik {

/// No early exercise: each stage is the linear solve, and its derivative is
/// L·Y on interior rows.
struct EuropeanExercise {
    static constexpr SweepOrder order = SweepOrder::Ascending;
    /// Interior stage derivatives come from applying L, not from the stage equation.
    static constexpr bool derivative_from_stage_equation = false;

    template <class Value>
    static Value hold(const Value& value, const Value& /*payoff*/) {
        return value;
    }
};

/// Early exercise: each stage is the complementarity problem Y >= payoff,
/// (I − λΔt·L)·Y >= b, with equality in one of the two at every node, solved
/// exactly by Brennan–Schwartz: eliminate from the continuation side, then
/// substitute towards the exercise side holding every value at or above the
/// payoff as it is formed (a NaN becomes the payoff). `Order` puts the
/// exercise side last: descending for puts (exercised at low spots),
/// ascending for calls. The stage derivative is the one the stage equation
/// implies, K = (Y − b)/λ, on every row.
template <SweepOrder Order>
struct AmericanExercise {
    static constexpr SweepOrder order = Order;
    static constexpr bool derivative_from_stage_equation = true;

    /// `larger(a, b)`: a > b ? a : b, element-wise for several lanes at once.
    template <class Value>
    static Value hold(const Value& value, const Value& payoff) {
        return larger(value, payoff);
    }
};

}  // namespace sorvik
