// fdm/butcher_jackiewicz2.cpp: two-stage Butcher–Jackiewicz time stepping, several options at once.
#include "fdm/butcher_jackiewicz2.hpp"

#include <string>

#include "fault.hpp"

namespace sorvik {

void ButcherJackiewicz2::start(StepState& state, std::span<const double> u0, const TridiagonalOperator& op,
                               double dt, SweepOrder order) {
    const std::size_t n = op.size();
    if (u0.size() != n) {
        throw Fault("initial values of " + std::to_string(u0.size()) + " entries for an operator of size " +
                    std::to_string(n));
    }
    state.u.assign(u0.begin(), u0.end());
    state.v.resize(n);
    op.apply(state.u, state.v);
    for (double& x : state.v) {
        x = dt * x;
    }
    op.factorization(A[0][0] * dt, order);
}

}  // namespace sorvik
