// tests/core/test_fdm_solver.cpp: grid valuation against the closed form and known values, lookup and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "fault.hpp"
#include "fdm/fdm_solver.hpp"
#include "fdm/grid_readoff.hpp"
#include "fdm_support.hpp"
#include "pricing/analytic.hpp"
#include "support.hpp"
#include "system/memory_budget.hpp"

namespace sorvik {
namespace {

using testing::problem;

constexpr double K = 100.0, T = 1.0, R = 0.05, VOL = 0.2;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr auto Am = ExerciseStyle::American;
constexpr auto Eu = ExerciseStyle::European;
constexpr auto Put = OptionType::Put;
constexpr auto Call = OptionType::Call;
constexpr double minute = 60.0 / 31536000.0;

FdmOutcome run(double spot, OptionType type, ExerciseStyle style, FdmSettings settings = {}) {
    return solve_fdm(problem(spot, K, T, R, VOL, type, style, settings));
}

OptionResult closed_form(const FdmProblem& p) { return price_analytic(p.payoff.type, p.payoff.strike, p.market); }

// ---------------------------------------------------------------- against the closed form

class EuropeanGrid : public ::testing::TestWithParam<FdmProblem> {};

// The scheme is second order in dx and Δt; near the strike the errors stay
// below 1e-4 (price, delta, gamma) and 1e-3 (theta, read off the carried
// derivative). The tolerances allow 2.5 times that and remain far below what
// a first-order slip (≈ Δt·|theta| ≈ 0.05) or a node shift (≈ S·dx·|delta|
// ≈ 0.1) would cost.
TEST_P(EuropeanGrid, MatchesTheClosedFormWithinDiscretisationError) {
    const FdmProblem p = GetParam();
    const FdmOutcome fd = solve_fdm(p);
    const OptionResult exact = closed_form(p);
    EXPECT_NEAR(fd.price, exact.price, 2.5e-4);
    EXPECT_NEAR(fd.delta, exact.greeks.delta, 2.5e-4);
    EXPECT_NEAR(fd.gamma, exact.greeks.gamma, 2.5e-4);
    EXPECT_NEAR(fd.theta, exact.greeks.theta, 2.5e-3);
}

INSTANTIATE_TEST_SUITE_P(Spots, EuropeanGrid,
                         ::testing::Values(problem(80, K, T, R, VOL, Call, Eu), problem(100, K, T, R, VOL, Call, Eu),
                                           problem(120, K, T, R, VOL, Call, Eu), problem(80, K, T, R, VOL, Put, Eu),
                                           problem(100, K, T, R, VOL, Put, Eu), problem(120, K, T, R, VOL, Put, Eu),
                                           problem(100, K, T, R, VOL, Call, Eu, {}, 0.03),
                                           problem(110, K, T, R, VOL, Put, Eu, {}, 0.06)));

struct Known {
    FdmProblem problem;
    double value;      // the true price: the closed form where NaN
    double tolerance;  // absolute
};

void PrintTo(const Known& k, std::ostream* os) { PrintTo(k.problem, os); }

class KnownValue : public ::testing::TestWithParam<Known> {};

// Regimes that once went plainly wrong: end rows that grew like e^τ on long
// maturities, spots outside a strike-centred grid (read flat, below the
// payoff), and an exercise test that flipped on the last bit of a value.
// True Americans from a high-precision American solver.
TEST_P(KnownValue, IsWithinTolerance) {
    const Known k = GetParam();
    const double truth = std::isnan(k.value) ? closed_form(k.problem).price : k.value;
    const FdmOutcome fd = solve_fdm(k.problem);
    EXPECT_NEAR(fd.price, truth, k.tolerance);
    // Deltas within their bounds, up to the rounding of the bump's difference.
    constexpr double rounding = 1e-12;
    if (k.problem.payoff.type == Put) {
        EXPECT_GE(fd.delta, -1.0 - rounding);
        EXPECT_LE(fd.delta, rounding);
    } else {
        EXPECT_GE(fd.delta, -rounding);
        EXPECT_LE(fd.delta, 1.0 + rounding);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Regimes, KnownValue,
    ::testing::Values(Known{problem(100, 100, 30, 0.05, 1.5, Put, Am), 83.21, 0.05},
                      Known{problem(100, 100, 30, 0.05, 0.1, Call, Eu), NaN, 0.05},
                      Known{problem(100, 100, 3, 0.05, 0.2, Call, Eu), NaN, 0.05},
                      Known{problem(100, 100, 5, 0.05, 0.2, Put, Eu), NaN, 0.05},
                      Known{problem(20, 95, 1.5, 0.03, 0.2, Put, Am), 75.0, 1e-9},
                      Known{problem(80, 95, 7.0 / 365.0, 0.03, 0.2, Put, Am), 15.0, 0.0475},
                      Known{problem(100, 200, 0.1, 0.05, 0.2, Put, Am), 100.0, 1e-9},
                      Known{problem(200, 100, 0.1, 0.05, 0.2, Call, Eu), NaN, 0.1},
                      Known{problem(1000, 100, 1.0, 0.05, 0.2, Call, Eu), NaN, 0.5},
                      Known{problem(90, 100, 1, 0.15, 0.2, Put, Am), 10.0200, 1.1e-4 + 5e-5},
                      Known{problem(1828, 2923, 26.4, 0.101, 0.383, Put, Am), 1106.2, 1.46},
                      Known{problem(100, 150, 1, 0.05, 0.2, Put, Am), 50.0, 0.0}));

// With sound ends the σ = 1.5, T = 30 call is only short of nodes: ±6 sd is
// ±49 in ln S. It stays within its bounds and within 3 %.
TEST(KnownValue, CoarseLongDatedCallStaysWithinItsBounds) {
    const FdmProblem p = problem(100, 100, 30, 0.05, 1.5, Call, Eu);
    const double price = solve_fdm(p).price;
    EXPECT_LE(price, 100.0);
    EXPECT_NEAR(price, closed_form(p).price, 0.03 * closed_form(p).price);
}

class ShortDated : public ::testing::TestWithParam<double> {};

// Once a fixed bump of 0.01·S (wider than the whole grid an hour before
// expiry) gave gamma 0.83 for 1.87; the read-off gives the true greeks.
TEST_P(ShortDated, GreeksAreTheTrueOnes) {
    const FdmProblem p = problem(100, 100, GetParam(), R, VOL, Put, Eu);
    const FdmOutcome fd = solve_fdm(p);
    const OptionResult exact = closed_form(p);
    EXPECT_NEAR(fd.delta, exact.greeks.delta, 1e-4);
    EXPECT_NEAR(fd.gamma, exact.greeks.gamma, 1e-3 * exact.greeks.gamma);
}

INSTANTIATE_TEST_SUITE_P(Maturities, ShortDated, ::testing::Values(minute, 60 * minute, 1440 * minute));

// ---------------------------------------------------------------- the grid

TEST(Grid, IsTodaysWhenItCoversTheSpotAndWidensContinuouslyBeyond) {
    const FdmProblem near = problem(100, K, T, R, VOL, Put, Am);
    EXPECT_EQ(grid_half_width(near), 6.0 * (std::sqrt(T) * VOL));
    // The switch from g·σ√T to the reach of the spot plus 2σ√T is continuous in S.
    double previous = grid_half_width(problem(300, K, T, R, VOL, Put, Am));
    for (double s = 300.0; s < 400.0; s += 0.5) {
        const double width = grid_half_width(problem(s, K, T, R, VOL, Put, Am));
        EXPECT_GE(width, 6.0 * VOL);
        EXPECT_LT(std::fabs(width - previous), 0.01);
        EXPECT_GE(width, std::log(s / K) + (R - 0.5 * VOL * VOL) * T + 2 * VOL - 1e-12);
        previous = width;
    }
}

// ---------------------------------------------------------------- nothing random

class Deterministic : public ::testing::TestWithParam<Known> {};

TEST_P(Deterministic, GivesTheSureValue) {
    const Known k = GetParam();
    EXPECT_NEAR(solve_fdm(k.problem).price, k.value, 1e-12 * k.problem.payoff.strike);
}

INSTANTIATE_TEST_SUITE_P(
    AtExpiryOrWithoutVolatility, Deterministic,
    ::testing::Values(Known{problem(90, 100, 0, 0.05, 0.2, Put, Am), 10.0, 0},
                      Known{problem(90, 100, 0, 0.05, 0.2, Put, Eu), 10.0, 0},
                      Known{problem(90, 100, 1, 0.05, 0.0, Put, Am), 10.0, 0},  // exercise now
                      Known{problem(90, 100, 1, 0.05, 0.0, Put, Eu), 100 * std::exp(-0.05) - 90, 0},
                      Known{problem(110, 100, 1, 0.05, 0.0, Call, Eu), 110 - 100 * std::exp(-0.05), 0},
                      Known{problem(90, 100, 1, 0.05, 0.0, Call, Am), 0.0, 0},
                      // r = 5 %, q = 2 %: exercising the call is best at t = ln(rK/(qS))/(r − q) = 1
                      Known{problem(100, 40 * std::exp(0.03), 2, 0.05, 0.0, Call, Am, {}, 0.02),
                            100 * std::exp(-0.02) - 40 * std::exp(0.03) * std::exp(-0.05), 0}));

TEST(Deterministic, GreeksAreTheSlopesAndThetaTheTimeDerivative) {
    const FdmOutcome itm = solve_fdm(problem(90, 100, 1, 0.05, 0.0, Put, Eu));
    EXPECT_EQ(itm.delta, -1.0);
    EXPECT_EQ(itm.gamma, 0.0);
    EXPECT_DOUBLE_EQ(itm.theta, 0.05 * 100 * std::exp(-0.05));
    // At the kink, the mean of the two one-sided slopes; no curvature.
    const FdmOutcome atm = solve_fdm(problem(100, 100, 0, 0.05, 0.2, Call, Eu));
    EXPECT_EQ(atm.delta, 0.5);
    EXPECT_EQ(atm.gamma, 0.0);
    EXPECT_EQ(solve_fdm(problem(90, 100, 1, 0.05, 0.0, Put, Am)).theta, 0.0);
}

// ---------------------------------------------------------------- early exercise

class AmericanPut : public ::testing::TestWithParam<double> {};

TEST_P(AmericanPut, IsWorthAtLeastTheEuropeanAndItsPayoff) {
    const double spot = GetParam();
    const FdmOutcome american = run(spot, Put, Am);
    const FdmOutcome european = run(spot, Put, Eu);
    EXPECT_GE(american.price, european.price - 1e-12);
    EXPECT_GE(american.price, K - spot);
}

INSTANTIATE_TEST_SUITE_P(Spots, AmericanPut, ::testing::Values(60.0, 80.0, 90.0, 100.0, 110.0, 140.0));

TEST(AmericanPut, DefaultGridValue) {
    // Within 4e-4 of 6.090370606535 from a high-precision American solver.
    EXPECT_NEAR(run(100.0, Put, Am).price, 6.0899810, 1e-6);
}

// One ulp of σ once moved this price by 0.7 %: whether a node counted as
// exercised hung on the last bit of its value. The exact exercise stages make
// the price continuous, and refining the grid converge monotonically (to
// 10.020047759894 from a high-precision American solver).
TEST(AmericanPut, PriceIsContinuousInTheInputsAndConverges) {
    const FdmProblem p = problem(90, 100, 1, 0.15, 0.2, Put, Am);
    FdmProblem bumped = p;
    bumped.market.vol = std::nextafter(p.market.vol, 1.0);
    EXPECT_NEAR(solve_fdm(bumped).price, solve_fdm(p).price, 1e-10);
    double previous_error = std::numeric_limits<double>::infinity();
    for (const FdmSettings grid : {FdmSettings{1001, 50, 6.0}, FdmSettings{2001, 100, 6.0}, FdmSettings{4001, 200, 6.0}}) {
        FdmProblem refined = p;
        refined.grid = grid;
        const double error = std::fabs(solve_fdm(refined).price - 10.020047759893412);
        EXPECT_LT(error, previous_error);
        previous_error = error;
    }
}

class AmericanCall : public ::testing::TestWithParam<double> {};

// Without dividends early exercise of a call never pays.
TEST_P(AmericanCall, EqualsTheEuropeanToGridAccuracy) {
    const double spot = GetParam();
    const FdmOutcome american = run(spot, Call, Am);
    const FdmOutcome european = run(spot, Call, Eu);
    EXPECT_NEAR(american.price, european.price, 1e-9 * european.price);
    EXPECT_NEAR(american.delta, european.delta, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Spots, AmericanCall, ::testing::Values(70.0, 100.0, 130.0));

TEST(AmericanCall, WithDividendsIsExercisedDeepInTheMoney) {
    const FdmOutcome deep = solve_fdm(problem(300, 100, 1, 0.05, 0.2, Call, Am, {}, 0.08));
    // Exercised: S − K, up to the chord of the convex payoff between two nodes.
    EXPECT_NEAR(deep.price, 200.0, 1e-3);
    EXPECT_NEAR(deep.delta, 1.0, 1e-3);
    const FdmProblem near = problem(110, 100, 1, 0.05, 0.2, Call, Am, {}, 0.08);
    EXPECT_GT(solve_fdm(near).price, closed_form(near).price + 0.05);
}

// ---------------------------------------------------------------- time steps

TEST(TimeSteps, NoneLeavesTheInterpolatedPayoffAndNaNTheta) {
    const FdmOutcome out = run(90.0, Put, Eu, FdmSettings{1001, 0, 6.0});
    EXPECT_NEAR(out.price, 10.0, 1e-4);
    EXPECT_NEAR(out.delta, -1.0, 1e-3);
    EXPECT_NEAR(out.gamma, 0.0, 1e-4);
    EXPECT_TRUE(std::isnan(out.theta));
}

// ---------------------------------------------------------------- read-off

/// A cubic the read-off must reproduce exactly (up to rounding), with its derivatives.
LocalFit cubic(double y) {
    return {1.0 + y * (-2.0 + y * (0.5 + 0.25 * y)), -2.0 + y * (1.0 + 0.75 * y), 1.0 + 1.5 * y};
}

class ReadOff : public ::testing::TestWithParam<double> {};

// Nodes at y = 0, 0.5, …, 3 on values of a cubic: every point inside gives
// the cubic and its two derivatives, whichever four nodes it uses, also when
// only nodes 2 … 6 may be read (an American's continuation side).
TEST_P(ReadOff, ReproducesACubicAndItsDerivatives) {
    std::vector<double> x, values;
    for (int i = 0; i <= 6; ++i) {
        x.push_back(0.5 * i);
        values.push_back(cubic(0.5 * i).value);
    }
    const double y = GetParam();
    for (const auto& [first, last] : {std::pair<std::size_t, std::size_t>{0, 6}, {2, 6}}) {
        if (y < x[first] - 0.5) continue;
        const LocalFit fit = read_off(x, values, y, first, last);
        EXPECT_NEAR(fit.value, cubic(y).value, 1e-12);
        EXPECT_NEAR(fit.slope, cubic(y).slope, 1e-12);
        EXPECT_NEAR(fit.curvature, cubic(y).curvature, 1e-11);
    }
}

INSTANTIATE_TEST_SUITE_P(Points, ReadOff, ::testing::Values(0.1, 0.5, 0.7, 1.25, 2.4, 2.99));

TEST(ReadOff, OnANodeTakesTheNodeValueAndBeyondTheEndsIsFlat) {
    const std::vector<double> x = {std::log(50.0), std::log(100.0), std::log(200.0), std::log(400.0)};
    const std::vector<double> values = {1.0, 2.0, 4.0, 8.0};
    EXPECT_EQ(read_off(x, values, std::log(100.0)).value, 2.0);
    for (const double y : {std::log(10.0), -std::numeric_limits<double>::infinity()}) {
        const LocalFit below = read_off(x, values, y);
        EXPECT_EQ(below.value, 1.0);
        EXPECT_EQ(below.slope, 0.0);
        EXPECT_EQ(below.curvature, 0.0);
    }
    EXPECT_EQ(read_off(x, values, std::log(1e9)).value, 8.0);
}

struct Unordered {
    std::vector<double> locations;
    double y;
};

class NaNInGrid : public ::testing::TestWithParam<Unordered> {};

TEST_P(NaNInGrid, UnorderedComparisonIsAFault) {
    const Unordered p = GetParam();
    const std::vector<double> values(p.locations.size(), 1.0);
    EXPECT_EQ(testing::fault_of([&] { read_off(p.locations, values, p.y); }), "NaN in Grid");
}

INSTANTIATE_TEST_SUITE_P(Cases, NaNInGrid,
                         ::testing::Values(Unordered{{3.0, 4.0, 5.0, 6.0, 7.0}, NaN},
                                           Unordered{{NaN, NaN, NaN}, 4.6},
                                           Unordered{{3.0, 4.0, NaN, 6.0, 7.0}, 4.6}));

// ---------------------------------------------------------------- failures

class BadInputs : public ::testing::TestWithParam<FdmProblem> {};

// Expired, NaN volatility, negative or NaN spot: also when σ√T = 0 would
// otherwise skip the grid.
TEST_P(BadInputs, AreTheNaNInGridFault) {
    EXPECT_EQ(testing::fault_of([&] { solve_fdm(GetParam()); }), "NaN in Grid");
}

INSTANTIATE_TEST_SUITE_P(Cases, BadInputs,
                         ::testing::Values(problem(100, K, -0.01, R, VOL, Put, Am), problem(100, K, T, R, NaN, Put, Eu),
                                           problem(-5, K, T, R, VOL, Call, Eu), problem(NaN, K, T, R, VOL, Put, Am),
                                           problem(NaN, K, T, R, 0.0, Put, Am), problem(-5, K, 0.0, R, VOL, Call, Eu)));

class TooFewNodes : public ::testing::TestWithParam<uint64_t> {};

TEST_P(TooFewNodes, StopAtTheOperator) {
    const uint64_t nodes = GetParam();
    EXPECT_EQ(testing::fault_of([&] { run(100.0, Put, Am, FdmSettings{nodes, 50, 6.0}); }),
              "TridiagonalOperator requires at least 3 elements, found " + std::to_string(nodes));
}

INSTANTIATE_TEST_SUITE_P(Counts, TooFewNodes, ::testing::Values(0, 1, 2));

class BadWidth : public ::testing::TestWithParam<double> {};

TEST_P(BadWidth, IsRefusedBeforeAnyGridIsBuilt) {
    const std::string message =
        testing::message_of<CoreError>([&] { run(100.0, Put, Am, FdmSettings{1001, 50, GetParam()}); });
    EXPECT_EQ(message.rfind("grid_std_devs must be a positive finite number, got ", 0), 0u) << message;
}

INSTANTIATE_TEST_SUITE_P(Widths, BadWidth,
                         ::testing::Values(-6.0, 0.0, NaN, std::numeric_limits<double>::infinity()));

TEST(Failures, HugeGridIsRefusedBeforeAllocating) {
    for (uint64_t nodes : {std::numeric_limits<uint64_t>::max(), uint64_t{1} << 62, uint64_t{1} << 40}) {
        const std::string message = testing::message_of<MemoryBudgetExceeded>(
            [&] { run(100.0, Put, Am, FdmSettings{nodes, 50, 6.0}); });
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
    const FdmProblem p = problem(100, K, T, R, VOL, Put, Am, FdmSettings{101, 17, 6.0});
    Poller quiet;
    solve_fdm(p, CancellationHook{&Poller::poll, &quiet});
    EXPECT_EQ(quiet.polls, 17);
    Poller stopping;
    stopping.stop_at = 3;
    EXPECT_THROW(solve_fdm(p, CancellationHook{&Poller::poll, &stopping}), Cancelled);
    EXPECT_EQ(stopping.polls, 3);
}

// A huge grid is polled within its passes, not only between steps, so that
// even one long step stops promptly; what it computes does not change.
TEST(Cancellation, HugeGridIsPolledWithinEveryPass) {
    const uint64_t nodes = (uint64_t{1} << 18) + 1;
    const FdmProblem p = problem(100, K, T, R, VOL, Put, Am, FdmSettings{nodes, 1, 6.0});
    Poller quiet;
    const FdmOutcome polled = solve_fdm(p, CancellationHook{&Poller::poll, &quiet});
    // Four polls in each of the step's four sweeps alone (2^18 rows each), and
    // more in setting up and reading off.
    EXPECT_GT(quiet.polls, 4 * 4 + 8);
    const FdmOutcome plain = solve_fdm(p);
    EXPECT_EQ(polled.price, plain.price);
    EXPECT_EQ(polled.delta, plain.delta);
    Poller stopping;
    stopping.stop_at = quiet.polls / 2;
    EXPECT_THROW(solve_fdm(p, CancellationHook{&Poller::poll, &stopping}), Cancelled);
    EXPECT_EQ(stopping.polls, quiet.polls / 2);
}

}  // namespace
}  // namespace sorvik
