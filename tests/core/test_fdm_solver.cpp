// tests/core/test_fdm_solver.cpp: grid valuation against the closed form, early exercise, lookup and failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fault.hpp"
#include "fdm/fdm_solver.hpp"
#include "pricing/analytic.hpp"
#include "support.hpp"
#include "system/memory_budget.hpp"

namespace sorvik {
namespace {

constexpr double K = 100.0, T = 1.0, R = 0.05, VOL = 0.2;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

FdmOutcome run(double spot, OptionType type, ExerciseStyle style, FdmSettings settings = {}) {
    return FdmSolver(spot, K, T, R, VOL, type, style, settings).run();
}

// ---------------------------------------------------------------- against the closed form

struct Priced {
    OptionType type;
    double spot;
};

class EuropeanGrid : public ::testing::TestWithParam<Priced> {};

// The scheme is second order in dx = 0.0024 and Δt = 0.02; across these spots
// the errors stay below 1e-4 (price, delta, gamma) and 1e-3 (theta, read off
// the carried derivative). The tolerances allow 2.5 times that and remain far
// below what a first-order slip (≈ Δt·|theta| ≈ 0.05) or a node shift
// (≈ S·dx·|delta| ≈ 0.1) would cost.
TEST_P(EuropeanGrid, MatchesTheClosedFormWithinDiscretisationError) {
    const Priced p = GetParam();
    const FdmOutcome fd = run(p.spot, p.type, ExerciseStyle::European);
    const OptionResult exact = price_analytic(p.spot, K, T, R, VOL, p.type);
    EXPECT_NEAR(fd.price, exact.price, 2.5e-4);
    EXPECT_NEAR(fd.delta, exact.greeks.delta, 2.5e-4);
    EXPECT_NEAR(fd.gamma, exact.greeks.gamma, 2.5e-4);
    EXPECT_NEAR(fd.theta, exact.greeks.theta, 2.5e-3);
}

INSTANTIATE_TEST_SUITE_P(Spots, EuropeanGrid,
                         ::testing::Values(Priced{OptionType::Call, 80}, Priced{OptionType::Call, 100},
                                           Priced{OptionType::Call, 120}, Priced{OptionType::Put, 80},
                                           Priced{OptionType::Put, 100}, Priced{OptionType::Put, 120}));

// ---------------------------------------------------------------- early exercise

class AmericanPut : public ::testing::TestWithParam<double> {};

TEST_P(AmericanPut, IsWorthAtLeastTheEuropeanAndItsPayoff) {
    const double spot = GetParam();
    const FdmOutcome american = run(spot, OptionType::Put, ExerciseStyle::American);
    const FdmOutcome european = run(spot, OptionType::Put, ExerciseStyle::European);
    EXPECT_GE(american.price, european.price - 1e-12);
    EXPECT_GE(american.price, K - spot - 1e-4);  // up to the interpolation error
}

INSTANTIATE_TEST_SUITE_P(Spots, AmericanPut, ::testing::Values(60.0, 80.0, 90.0, 100.0, 110.0, 140.0));

TEST(AmericanPut, DefaultGridValue) {
    EXPECT_NEAR(run(100.0, OptionType::Put, ExerciseStyle::American).price, 6.089759, 1e-6);
}

// Without holding the new values at the payoff, nodes that fall below it stay
// pinned there and this case gives 10.207 instead of about 10.996.
TEST(AmericanPut, NodesBelowThePayoffRecover) {
    const FdmOutcome out = FdmSolver(90.0, 100.0, 3.0, 0.10, 0.2, OptionType::Put, ExerciseStyle::American,
                                     FdmSettings{4001, 200, 6.0})
                               .run();
    EXPECT_NEAR(out.price, 10.996, 0.01);
}

class AmericanCall : public ::testing::TestWithParam<double> {};

// Without dividends early exercise of a call never pays.
TEST_P(AmericanCall, EqualsTheEuropeanToGridAccuracy) {
    const double spot = GetParam();
    const FdmOutcome american = run(spot, OptionType::Call, ExerciseStyle::American);
    const FdmOutcome european = run(spot, OptionType::Call, ExerciseStyle::European);
    EXPECT_NEAR(american.price, european.price, 1e-9 * european.price);
    EXPECT_NEAR(american.delta, european.delta, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Spots, AmericanCall, ::testing::Values(70.0, 100.0, 130.0));

// ---------------------------------------------------------------- time steps

TEST(TimeSteps, NoneLeavesTheInterpolatedPayoffAndNaNTheta) {
    const FdmOutcome out = run(90.0, OptionType::Put, ExerciseStyle::European, FdmSettings{1001, 0, 6.0});
    EXPECT_NEAR(out.price, 10.0, 1e-4);
    EXPECT_NEAR(out.delta, -1.0, 1e-3);
    EXPECT_NEAR(out.gamma, 0.0, 1e-4);
    EXPECT_TRUE(std::isnan(out.theta));
}

// ---------------------------------------------------------------- spot against the grid

TEST(Spot, BeyondTheGridIsValuedFlat) {
    // The grid ends at 100·e^1.2 ≈ 332; 0.99·400 lies above it.
    const FdmOutcome above = run(400.0, OptionType::Call, ExerciseStyle::European);
    const FdmOutcome far = run(4000.0, OptionType::Call, ExerciseStyle::European);
    EXPECT_EQ(above.delta, 0.0);
    EXPECT_EQ(above.gamma, 0.0);
    EXPECT_EQ(above.price, far.price);

    const FdmOutcome below = run(20.0, OptionType::Put, ExerciseStyle::American);  // grid starts at ≈ 30.1
    EXPECT_EQ(below.delta, 0.0);
    EXPECT_EQ(below.gamma, 0.0);
}

// ---------------------------------------------------------------- lookup

struct Lookup {
    double spot;
    double expected;
};

class ValueAt : public ::testing::TestWithParam<Lookup> {};

// Nodes at spots 50, 100, 200, 400 holding 1, 2, 4, 8 (linear in log-spot).
TEST_P(ValueAt, InterpolatesInLogSpotAndIsFlatOutside) {
    const std::vector<double> x = {std::log(50.0), std::log(100.0), std::log(200.0), std::log(400.0)};
    const std::vector<double> values = {1.0, 2.0, 4.0, 8.0};
    const Lookup p = GetParam();
    EXPECT_NEAR(value_at(x, values, p.spot), p.expected, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Spots, ValueAt,
                         ::testing::Values(Lookup{10.0, 1.0}, Lookup{0.0, 1.0}, Lookup{50.0, 1.0},
                                           Lookup{50.0 * std::sqrt(2.0), 1.5}, Lookup{100.0, 2.0},
                                           Lookup{400.0 / std::sqrt(2.0), 6.0}, Lookup{400.0, 8.0},
                                           Lookup{1e9, 8.0}));

TEST(ValueAt, OnANodeTakesTheNodeValueWithoutInterpolating) {
    // NaN neighbours would poison any interpolation.
    const std::vector<double> x = {std::log(50.0), std::log(100.0), std::log(200.0)};
    const std::vector<double> values = {NaN, 2.5, NaN};
    EXPECT_EQ(value_at(x, values, 100.0), 2.5);
}

struct Unordered {
    std::vector<double> locations;
    double spot;
};

class NaNInGrid : public ::testing::TestWithParam<Unordered> {};

TEST_P(NaNInGrid, UnorderedComparisonIsAFault) {
    const Unordered p = GetParam();
    const std::vector<double> values(p.locations.size(), 1.0);
    try {
        value_at(p.locations, values, p.spot);
        FAIL() << "no fault";
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), "NaN in Grid");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, NaNInGrid,
                         ::testing::Values(Unordered{{3.0, 4.0, 5.0, 6.0, 7.0}, NaN},
                                           Unordered{{3.0, 4.0, 5.0, 6.0, 7.0}, -1.0},
                                           Unordered{{NaN, NaN, NaN}, 100.0},
                                           Unordered{{3.0, 4.0, NaN, 6.0, 7.0}, 100.0}));

// ---------------------------------------------------------------- failures

class TooFewNodes : public ::testing::TestWithParam<uint64_t> {};

TEST_P(TooFewNodes, StopAtTheOperator) {
    const uint64_t nodes = GetParam();
    try {
        run(100.0, OptionType::Put, ExerciseStyle::American, FdmSettings{nodes, 50, 6.0});
        FAIL() << "no fault for " << nodes << " nodes";
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), "TridiagonalOperator requires at least 3 elements, found " + std::to_string(nodes));
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, TooFewNodes, ::testing::Values(0, 1, 2));

TEST(Failures, HugeGridIsRefusedBeforeAllocating) {
    for (uint64_t nodes : {std::numeric_limits<uint64_t>::max(), uint64_t{1} << 62, uint64_t{1} << 40}) {
        const std::string message = testing::message_of<MemoryBudgetExceeded>(
            [&] { run(100.0, OptionType::Put, ExerciseStyle::American, FdmSettings{nodes, 50, 6.0}); });
        EXPECT_EQ(message.rfind("the finite-difference grid needs ", 0), 0u) << message;
    }
}

// ---------------------------------------------------------------- cancellation

struct Poller {
    int polls = 0;
    int stop_at = -1;  // never
    static bool poll(void* self) {
        auto* p = static_cast<Poller*>(self);
        return ++p->polls == p->stop_at;
    }
};

TEST(Cancellation, PolledBeforeEveryStepAndStopsWhenAsked) {
    const FdmSolver solver(100, K, T, R, VOL, OptionType::Put, ExerciseStyle::American, FdmSettings{101, 17, 6.0});
    Poller quiet;
    solver.run(CancellationHook{&Poller::poll, &quiet});
    EXPECT_EQ(quiet.polls, 17);
    Poller stopping;
    stopping.stop_at = 3;
    EXPECT_THROW(solver.run(CancellationHook{&Poller::poll, &stopping}), Cancelled);
    EXPECT_EQ(stopping.polls, 3);
}

}  // namespace
}  // namespace sorvik
