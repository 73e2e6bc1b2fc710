// tests/core/test_fdm_stepping.cpp: the two-stage time stepping against its stability function.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "fdm/butcher_jackiewicz2.hpp"
#include "fdm/fdm_process.hpp"
#include "fdm/fdm_solver.hpp"
#include "fdm/tridiagonal_operator.hpp"
#include "fdm/uniform_mesher.hpp"

// Counts every allocation of the test program, so a test can assert that a
// stretch of code allocates nothing.
namespace {
std::atomic<long> allocations{0};
}  // namespace

// GCC takes the malloc/free pairing below for a mismatch once it inlines
// library allocations that use these operators.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace sorvik {
namespace {

constexpr double lambda = ButcherJackiewicz2::A[0][0];

/// The scheme's stability function: one step multiplies a mode of du/dτ = k·u by R(k·Δt).
double stability(double z) {
    return (1.0 + (1.0 - 2.0 * lambda) * z) / ((1.0 - lambda * z) * (1.0 - lambda * z));
}

TridiagonalOperator diagonal_operator(std::size_t n, double value) {
    return TridiagonalOperator(std::vector<double>(n, 0.0), std::vector<double>(n, value),
                               std::vector<double>(n, 0.0));
}

struct Discounting {
    double rate, years;
    unsigned steps;
};

class PureDiscounting : public ::testing::TestWithParam<Discounting> {};

TEST_P(PureDiscounting, EachStepMultipliesByTheStabilityFunction) {
    const Discounting p = GetParam();
    const std::size_t n = 7;
    const TridiagonalOperator op = diagonal_operator(n, -p.rate);
    const double dt = p.years / static_cast<double>(p.steps);
    std::vector<double> u0(n);
    for (std::size_t i = 0; i < n; ++i) u0[i] = 10.0 + 3.0 * static_cast<double>(i);

    ButcherJackiewicz2 stepper;
    StepState state;
    stepper.start(state, u0, op, dt);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(state.v[i], dt * (-p.rate * u0[i]));
    for (unsigned m = 0; m < p.steps; ++m) stepper.step(state, op, dt, NoHooks{});

    const double growth = std::pow(stability(-p.rate * dt), p.steps);
    constexpr double rounding = 64 * std::numeric_limits<double>::epsilon();
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_NEAR(state.u[i], u0[i] * growth, rounding * p.steps * u0[i]);
        // v is Δt times the derivative at the end of the step: Δt·(−r)·Y_1, Y_1 ≈ new u.
        EXPECT_NEAR(state.v[i], dt * (-p.rate) * state.u[i], rounding * std::fabs(dt * p.rate) * u0[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PureDiscounting,
                         ::testing::Values(Discounting{0.05, 1.0, 1}, Discounting{0.05, 1.0, 50},
                                           Discounting{0.3, 10.0, 7}, Discounting{-0.02, 2.0, 20}));

TEST(Stepping, IdentityEndRowsGrowByTheStabilityFunctionOfDt) {
    const std::size_t n = 51;
    const UniformMesher mesh(100.0, 0.2, 1.0, 6.0, n);
    const TridiagonalOperator op = FdmProcess(0.05, 0.2).build_operator(mesh);
    std::vector<double> u0(n);
    for (std::size_t i = 0; i < n; ++i) u0[i] = std::fabs(mesh.spot(i) - 100.0);
    const double dt = 0.1;
    ButcherJackiewicz2 stepper;
    StepState state;
    stepper.start(state, u0, op, dt);
    double first = u0[0], last = u0[n - 1];
    for (int m = 0; m < 10; ++m) {
        stepper.step(state, op, dt, NoHooks{});
        first *= stability(dt);
        last *= stability(dt);
        EXPECT_NEAR(state.u[0], first, 1e-13 * first);
        EXPECT_NEAR(state.u[n - 1], last, 1e-13 * last);
    }
}

class NonFiniteCarry : public ::testing::TestWithParam<double> {};

// The zero-weight terms 0·v are evaluated, so a NaN or infinity in one entry
// of v reaches every stage input and, through the solves, every node.
TEST_P(NonFiniteCarry, SpreadsThroughTheZeroWeights) {
    const std::size_t n = 21;
    const UniformMesher mesh(100.0, 0.2, 1.0, 6.0, n);
    const TridiagonalOperator op = FdmProcess(0.05, 0.2).build_operator(mesh);
    std::vector<double> u0(n, 1.0);
    ButcherJackiewicz2 stepper;
    StepState state;
    stepper.start(state, u0, op, 0.02);
    state.v[13] = GetParam();
    stepper.step(state, op, 0.02, NoHooks{});
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_TRUE(std::isnan(state.u[i])) << i;
        EXPECT_TRUE(std::isnan(state.v[i])) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Values, NonFiniteCarry,
                         ::testing::Values(std::numeric_limits<double>::quiet_NaN(),
                                           std::numeric_limits<double>::infinity()));

class NoAllocation : public ::testing::TestWithParam<double> {};

// A NaN step makes the factorisation fail its reuse test at every stage: it
// is then rebuilt over its own storage, still without allocating.
TEST_P(NoAllocation, InsideTheTimeLoop) {
    const std::size_t n = 301;
    const double dt = GetParam();
    const UniformMesher mesh(100.0, 0.2, 1.0, 6.0, n);
    const TridiagonalOperator op = FdmProcess(0.05, 0.2).build_operator(mesh);
    std::vector<double> payoff(n), threshold(n);
    for (std::size_t i = 0; i < n; ++i) {
        payoff[i] = std::max(100.0 - mesh.spot(i), 0.0);
        threshold[i] = payoff[i] + 2.220446049250313e-16;
    }
    ButcherJackiewicz2 stepper;
    StepState state;
    stepper.start(state, payoff, op, dt);
    const long before = allocations.load();
    for (int m = 0; m < 5; ++m) {
        stepper.step(state, op, dt, AmericanHooks{payoff, threshold});
        stepper.step(state, op, dt, NoHooks{});
    }
    EXPECT_EQ(allocations.load(), before);
}

INSTANTIATE_TEST_SUITE_P(Steps, NoAllocation,
                         ::testing::Values(0.02, std::numeric_limits<double>::quiet_NaN()));

}  // namespace
}  // namespace sorvik
