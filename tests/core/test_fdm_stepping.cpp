// tests/core/test_fdm_stepping.cpp: the two-stage time stepping against its stability function.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "fault.hpp"
#include "fdm/butcher_jackiewicz2.hpp"
#include "fdm/fdm_process.hpp"
#include "fdm/exercise.hpp"
#include "fdm/time_grid.hpp"
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
// Every form that can pair with the replaced delete is replaced too (the
// library's nothrow form, used by std::stable_sort, included): a sanitizer
// build would otherwise see its own new freed by our delete.
void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace sorvik {
namespace {

constexpr double lambda = ButcherJackiewicz2::A[0][0];

/// The scheme's stability function: one step multiplies a mode of du/dτ = k·u by R(k·Δt).
double stability(double z) {
    return (1.0 + (1.0 - 2.0 * lambda) * z) / ((1.0 - lambda * z) * (1.0 - lambda * z));
}

TridiagonalOperator diagonal_operator(std::size_t n, double value) {
    return TridiagonalOperator(GridArray(n, 0.0), GridArray(n, value),
                               GridArray(n, 0.0));
}

/// One option on its own: a single lane.
template <class Exercise>
struct Single {
    StepLanes<1> lanes;

    Single(const TridiagonalOperator& op, std::span<const double> u0, double dt,
           std::span<const double> payoff = {})
        : lanes(op.size()) {
        const std::vector<double> zero(op.size(), 0.0);
        lanes.load(0, op, dt, u0, payoff.empty() ? std::span<const double>(zero) : payoff);
        lanes.factorize(0, op, dt, ButcherJackiewicz2::coefficient(dt), Exercise::order);
    }
    void step(std::array<double, 2> stage0_ends, std::array<double, 2> stage1_ends) {
        for (std::size_t e = 0; e < 2; ++e) {
            lanes.ends[0][e][0] = stage0_ends[e];
            lanes.ends[1][e][0] = stage1_ends[e];
        }
        ButcherJackiewicz2::step<Exercise>(lanes);
    }
    double u(std::size_t i) const { return lanes.u[i]; }
    double v(std::size_t i) const { return lanes.v[i]; }
};

struct Discounting {
    double rate, years;
    unsigned steps;
};

class PureDiscounting : public ::testing::TestWithParam<Discounting> {};

// Interior rows only: the end rows carry whatever far-field values they are given.
TEST_P(PureDiscounting, EachStepMultipliesByTheStabilityFunction) {
    const Discounting p = GetParam();
    const std::size_t n = 7;
    const TridiagonalOperator op = diagonal_operator(n, -p.rate);
    const double dt = p.years / static_cast<double>(p.steps);
    std::vector<double> u0(n);
    for (std::size_t i = 0; i < n; ++i) u0[i] = 10.0 + 3.0 * static_cast<double>(i);

    Single<EuropeanExercise> single(op, u0, dt);
    for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(single.v(i), dt * (-p.rate * u0[i]));
    for (unsigned m = 0; m < p.steps; ++m) single.step({u0[0], u0[n - 1]}, {u0[0], u0[n - 1]});

    const double growth = std::pow(stability(-p.rate * dt), p.steps);
    constexpr double rounding = 64 * std::numeric_limits<double>::epsilon();
    for (std::size_t i = 1; i + 1 < n; ++i) {
        EXPECT_NEAR(single.u(i), u0[i] * growth, rounding * p.steps * u0[i]);
        // v is Δt times the derivative at the end of the step: Δt·(−r)·Y_1, Y_1 ≈ new u.
        EXPECT_NEAR(single.v(i), dt * (-p.rate) * single.u(i), rounding * std::fabs(dt * p.rate) * u0[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PureDiscounting,
                         ::testing::Values(Discounting{0.05, 1.0, 1}, Discounting{0.05, 1.0, 50},
                                           Discounting{0.3, 10.0, 7}, Discounting{-0.02, 2.0, 20}));

/// Far-field values as smooth functions of τ: e^(−rτ)-like decay at one end, growth at the other.
std::array<double, 2> far_field(double tau) { return {40.0 * std::exp(-0.05 * tau), 3.0 + 2.0 * tau}; }

template <class Exercise>
void expect_exact_ends() {
    const std::size_t n = 51;
    const UniformMesher mesh(std::log(100.0), 1.2, n);
    const TridiagonalOperator op = FdmProcess(0.05, 0.05, 0.2).build_operator(mesh);
    std::vector<double> u0(n);
    for (std::size_t i = 0; i < n; ++i) u0[i] = std::fabs(mesh.spot(i) - 100.0);
    const double dt = 0.1;
    Single<Exercise> single(op, u0, dt);
    for (int m = 0; m < 10; ++m) {
        single.step(far_field((m + ButcherJackiewicz2::c[0]) * dt), far_field((m + ButcherJackiewicz2::c[1]) * dt));
        const std::array<double, 2> expected = far_field((m + 1) * dt);
        EXPECT_NEAR(single.u(0), expected[0], 1e-14 * expected[0]) << "step " << m;
        EXPECT_NEAR(single.u(n - 1), expected[1], 1e-14 * expected[1]) << "step " << m;
    }
}

// The end rows were once identity rows, whose values grew like e^τ and
// leaked inwards; now they follow their far-field values, to rounding.
TEST(Stepping, EndNodesCarryTheirFarFieldValuesAfterEveryStep) {
    expect_exact_ends<EuropeanExercise>();
    expect_exact_ends<AmericanExercise<SweepOrder::Descending>>();
    expect_exact_ends<AmericanExercise<SweepOrder::Ascending>>();
}

class NonFiniteCarry : public ::testing::TestWithParam<double> {};

// The zero-weight terms 0·v are evaluated, so a NaN or infinity in one entry
// of v reaches every stage input and, through the solves, every node.
TEST_P(NonFiniteCarry, SpreadsThroughTheZeroWeights) {
    const std::size_t n = 21;
    const UniformMesher mesh(std::log(100.0), 1.2, n);
    const TridiagonalOperator op = FdmProcess(0.05, 0.05, 0.2).build_operator(mesh);
    std::vector<double> u0(n, 1.0);
    Single<EuropeanExercise> single(op, u0, 0.02);
    single.lanes.v[13] = GetParam();
    single.step({1.0, 1.0}, {1.0, 1.0});
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_TRUE(std::isnan(single.u(i))) << i;
        EXPECT_TRUE(std::isnan(single.v(i))) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Values, NonFiniteCarry,
                         ::testing::Values(std::numeric_limits<double>::quiet_NaN(),
                                           std::numeric_limits<double>::infinity()));

class NoAllocation : public ::testing::TestWithParam<double> {};

// The lanes hold everything a step needs, also for a NaN step.
TEST_P(NoAllocation, InsideTheTimeLoop) {
    const std::size_t n = 301;
    const double dt = GetParam();
    const UniformMesher mesh(std::log(100.0), 1.2, n);
    const TridiagonalOperator op = FdmProcess(0.05, 0.05, 0.2).build_operator(mesh);
    std::vector<double> payoff(n);
    for (std::size_t i = 0; i < n; ++i) payoff[i] = std::max(100.0 - mesh.spot(i), 0.0);
    Single<AmericanExercise<SweepOrder::Descending>> american(op, payoff, dt, payoff);
    Single<EuropeanExercise> european(op, payoff, dt);
    const long before = allocations.load();
    for (int m = 0; m < 5; ++m) {
        american.step({payoff[0], 0.0}, {payoff[0], 0.0});
        european.step({payoff[0], 0.0}, {payoff[0], 0.0});
    }
    EXPECT_EQ(allocations.load(), before);
}

INSTANTIATE_TEST_SUITE_P(Steps, NoAllocation,
                         ::testing::Values(0.02, std::numeric_limits<double>::quiet_NaN()));

// ---------------------------------------------------------------- time grid

TEST(TimeGrid, WithoutStopsIsTheUniformGridToTheBit) {
    const double years = 0.7;
    const TimeGrid grid(years, 13);
    ASSERT_EQ(grid.size(), 13u);
    const double dt = years / 13.0;
    for (uint64_t m = 0; m < 13; ++m) {
        EXPECT_EQ(grid.step(m), dt);
        EXPECT_EQ(grid.time(m, ButcherJackiewicz2::c[0]), (static_cast<double>(m) + ButcherJackiewicz2::c[0]) * dt);
        EXPECT_FALSE(grid.starts_at_stop(m));
    }
    EXPECT_EQ(grid.distinct_steps(), std::vector<double>{dt});
    EXPECT_EQ(TimeGrid(years, 0).size(), 0u);
}

struct Stops {
    uint64_t steps;
    std::vector<double> stops;
    std::vector<uint64_t> per_piece;
};

class StoppingTimes : public ::testing::TestWithParam<Stops> {};

// Steps land on every stop exactly, in proportion to the pieces' lengths.
TEST_P(StoppingTimes, AreLandedOnWithStepsInProportion) {
    const Stops p = GetParam();
    const double years = 1.0;
    const TimeGrid grid(years, p.steps, p.stops);
    uint64_t m = 0;
    for (std::size_t j = 0; j < p.per_piece.size(); ++j) {
        const double start = j == 0 ? 0.0 : p.stops[j - 1];
        const double end = j == p.stops.size() ? years : p.stops[j];
        EXPECT_EQ(grid.starts_at_stop(m), j != 0);
        EXPECT_EQ(grid.time(m, 0.0), start);
        for (uint64_t k = 0; k < p.per_piece[j]; ++k, ++m) EXPECT_EQ(grid.step(m), (end - start) / static_cast<double>(p.per_piece[j]));
        EXPECT_NEAR(grid.time(m - 1, 1.0), end, 1e-15);
    }
    EXPECT_EQ(grid.size(), m);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, StoppingTimes,
    ::testing::Values(Stops{50, {0.25, 0.75}, {13, 25, 12}},      // 12.5, 25, 12.5: one remainder left
                      Stops{10, {0.5}, {5, 5}}, Stops{1, {0.3, 0.6}, {1, 1, 1}},  // more pieces than steps
                      Stops{4, {0.001}, {1, 3}}));                // a short piece still gets a step

TEST(TimeGrid, RefusesStopsOutOfOrderOrOutsideTheLife) {
    for (const std::vector<double>& stops : {std::vector<double>{0.5, 0.5}, std::vector<double>{0.6, 0.4},
                                             std::vector<double>{0.0}, std::vector<double>{1.0}})
        EXPECT_THROW(TimeGrid(1.0, 10, stops), Fault);
}

}  // namespace
}  // namespace sorvik
