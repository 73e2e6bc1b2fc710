// tests/core/test_fdm_reference.cpp: the fused time loop against a plain step-by-step evaluation, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "fdm/butcher_jackiewicz2.hpp"
#include "fdm/fdm_process.hpp"
#include "fdm/fdm_solver.hpp"
#include "fdm/tridiagonal_operator.hpp"
#include "fdm/uniform_mesher.hpp"
#include "fdm_support.hpp"

namespace sorvik {
namespace {

using testing::problem;
using testing::same_bits;

using BJ = ButcherJackiewicz2;

bool american(const FdmProblem& p) { return p.exercise == ExerciseStyle::American; }

SweepOrder order_of(const FdmProblem& p) {
    return american(p) && p.payoff.type == OptionType::Put ? SweepOrder::Descending : SweepOrder::Ascending;
}

/// Row of the k-th step of elimination.
std::size_t row(SweepOrder order, std::size_t k, std::size_t n) {
    return order == SweepOrder::Ascending ? k : n - 1 - k;
}

/// (I − a·L)·Y = b, or for an American the complementarity problem with
/// Y >= payoff (Brennan–Schwartz: the exercise rule applied in substitution).
std::vector<double> stage_solve(const TridiagonalOperator& op, const std::vector<double>& b, double a,
                                SweepOrder order, const std::vector<double>* payoff) {
    const std::size_t n = b.size();
    const TridiagonalFactorization& f = op.factorization(a, order);
    std::vector<double> z(n), y(n);
    for (std::size_t k = 0; k < n; ++k) {
        const double carried = k == 0 ? 0.0 : z[k - 1] * f.scaled_previous[k];
        z[k] = k == 0 ? b[row(order, 0, n)] * f.inverse_pivots[0] : (b[row(order, k, n)] - carried) * f.inverse_pivots[k];
    }
    for (std::size_t k = n; k-- > 0;) {
        const std::size_t i = row(order, k, n);
        double value = k + 1 == n ? z[k] : z[k] - f.modified_next[k] * y[row(order, k + 1, n)];
        if (payoff) value = value > (*payoff)[i] ? value : (*payoff)[i];
        y[i] = value;
    }
    return y;
}

/// Y solves the stage's complementarity problem: Y >= payoff, (I − aL)Y >= b,
/// and one of the two holds with equality on every interior row.
void expect_complementarity(const TridiagonalOperator& op, const std::vector<double>& b, double a,
                            const std::vector<double>& y, const std::vector<double>& payoff) {
    const std::size_t n = y.size();
    std::vector<double> ly(n);
    op.apply(y, ly);
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double scale = 1e-10 * (1.0 + std::fabs(b[i]) + std::fabs(a * ly[i]));
        const double slack = y[i] - payoff[i];
        const double residual = (y[i] - a * ly[i]) - b[i];
        ASSERT_GE(slack, 0.0) << "row " << i;
        ASSERT_GE(residual, -scale) << "row " << i;
        ASSERT_LE(std::min(slack, std::fabs(residual)), scale) << "row " << i;
    }
}

/// One step as documented, stage by stage: input, end values, solve under the
/// exercise rule, derivative, increment; then the output formula with every
/// tableau product evaluated.
void reference_step(std::vector<double>& u, std::vector<double>& v, const TridiagonalOperator& op, double dt,
                    const std::array<std::array<double, 2>, 2>& ends, SweepOrder order,
                    const std::vector<double>* payoff) {
    const std::size_t n = u.size();
    std::vector<std::vector<double>> k(2, std::vector<double>(n));
    std::vector<double> b(n), f(n);
    for (int s = 0; s < 2; ++s) {
        for (std::size_t i = 0; i < n; ++i) {
            b[i] = BJ::U[s][0] * u[i] + BJ::U[s][1] * v[i];
            for (int j = 0; j < s; ++j) b[i] = b[i] + BJ::A[s][j] * k[j][i];
        }
        std::vector<double> held = b;
        held[0] = ends[s][0];
        held[n - 1] = ends[s][1];
        const double a = BJ::A[s][s] * dt;
        const std::vector<double> y = stage_solve(op, held, a, order, payoff);
        if (payoff) expect_complementarity(op, b, a, y, *payoff);
        op.apply(y, f);
        for (std::size_t i = 0; i < n; ++i) {
            const bool from_stage_equation = payoff || i == 0 || i + 1 == n;
            k[s][i] = from_stage_equation ? (y[i] - b[i]) * BJ::inverse_lambda : dt * f[i];
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        const double new_u = BJ::V[0][0] * u[i] + BJ::V[0][1] * v[i] + BJ::B[0][0] * k[0][i] + BJ::B[0][1] * k[1][i];
        const double new_v = BJ::V[1][0] * u[i] + BJ::V[1][1] * v[i] + BJ::B[1][0] * k[0][i] + BJ::B[1][1] * k[1][i];
        u[i] = new_u;
        v[i] = new_v;
    }
}

/// A whole valuation written out plainly: grid, payoff, steps, read-off.
FdmOutcome reference_outcome(const FdmProblem& p) {
    const UniformMesher mesh(std::log(p.payoff.strike), grid_half_width(p), p.grid.nodes);
    const double dt = p.market.years / static_cast<double>(p.grid.time_steps);
    const TridiagonalOperator op = FdmProcess(p.market.rate, p.market.dividend_yield, p.market.vol).build_operator(mesh);
    const std::size_t n = mesh.size();
    std::vector<double> payoff(n), u(n), v(n);
    for (std::size_t i = 0; i < n; ++i) payoff[i] = p.payoff(mesh.spot(i));
    u = payoff;
    op.apply(u, v);
    for (double& e : v) e = dt * e;
    auto hold = [&](std::size_t i, double value) { return american(p) ? std::max(value, payoff[i]) : value; };
    for (uint64_t m = 0; m < p.grid.time_steps; ++m) {
        std::array<std::array<double, 2>, 2> ends;
        for (std::size_t s = 0; s < 2; ++s) {
            const double tau = (static_cast<double>(m) + BJ::c[s]) * dt;
            ends[s] = {hold(0, p.payoff.far_field(true, mesh.spot(0), tau, p.market)),
                       hold(n - 1, p.payoff.far_field(false, mesh.spot(n - 1), tau, p.market))};
        }
        reference_step(u, v, op, dt, ends, order_of(p), american(p) ? &payoff : nullptr);
    }
    const std::span<const double> x = mesh.locations();
    const double spot = p.market.spot, h = 0.01 * spot;
    auto read = [&](double at) { return american(p) ? std::max(value_at(x, u, at), p.payoff(at)) : value_at(x, u, at); };
    const double v0 = read(spot), vv = value_at(x, v, spot), up = read(spot + h), down = read(spot - h);
    return {v0, (up - down) / (2.0 * h), ((up - (v0 + v0)) + down) / (h * h), -vv / dt};
}

void expect_same_bits(const FdmOutcome& expected, const FdmOutcome& actual) {
    EXPECT_TRUE(same_bits(expected.price, actual.price));
    EXPECT_TRUE(same_bits(expected.delta, actual.delta));
    EXPECT_TRUE(same_bits(expected.gamma, actual.gamma));
    EXPECT_TRUE(same_bits(expected.theta, actual.theta));
}

constexpr auto Am = ExerciseStyle::American;
constexpr auto Eu = ExerciseStyle::European;
constexpr auto Put = OptionType::Put;
constexpr auto Call = OptionType::Call;

const FdmProblem cases[] = {
    problem(100, 100, 1.0, 0.05, 0.2, Put, Am, {1001, 50, 6.0}),
    problem(100, 100, 1.0, 0.05, 0.2, Put, Eu, {1001, 50, 6.0}),
    problem(90, 100, 3.0, 0.10, 0.2, Put, Am, {401, 60, 6.0}),
    problem(60, 100, 1.0, 0.05, 0.2, Put, Am, {501, 30, 6.0}),     // exercise region around the spot
    problem(110, 100, 0.5, 0.03, 0.3, Call, Am, {301, 25, 5.0}),
    problem(95, 100, 2.0, -0.02, 0.25, Call, Am, {201, 40, 6.0}),  // negative rate: calls are exercised early
    problem(120, 100, 1.0, 0.02, 0.3, Call, Am, {201, 30, 6.0}, 0.08),  // dividends: calls are exercised early
    problem(80, 90, 0.5, 0.01, 0.4, Call, Eu, {201, 10, 4.0}, 0.03),
    problem(400, 100, 0.25, 0.05, 0.2, Call, Eu, {301, 20, 6.0}),  // spot far outside ln K ± 6σ√T: widened
    problem(100, 100, 1.0, 0.05, 0.2, Put, Am, {101, 1, 6.0}),
    problem(100, 100, 1.0, 0.05, 0.2, Call, Eu, {101, 0, 6.0}),    // no steps: theta NaN
    problem(100, 100, 1.0, 0.05, 0.2, Put, Am, {3, 4, 6.0}),
};

class AgainstReference : public ::testing::TestWithParam<FdmProblem> {};

TEST_P(AgainstReference, SolverGivesTheSameBits) {
    const FdmProblem p = GetParam();
    expect_same_bits(reference_outcome(p), solve_fdm(p));
}

INSTANTIATE_TEST_SUITE_P(Cases, AgainstReference, ::testing::ValuesIn(cases));

// Options stepped together interleave their sweeps; each keeps its own bits.
TEST(AgainstReference, OptionsSteppedTogetherKeepTheirBits) {
    std::vector<FdmProblem> problems;
    for (double spot : {70.0, 85.0, 100.0, 115.0, 130.0, 150.0}) {
        for (const FdmProblem& c : {problem(spot, 100, 1.0, 0.05, 0.25, Put, Am, {201, 20, 6.0}),
                                    problem(spot, 90, 0.5, 0.03, 0.3, Call, Eu, {201, 20, 6.0}, 0.02),
                                    problem(spot, 110, 2.0, 0.01, 0.2, Call, Am, {201, 20, 6.0}, 0.05),
                                    problem(spot, 100, 0.0, 0.05, 0.2, Put, Am, {201, 20, 6.0})}) {  // deterministic
            problems.push_back(c);
        }
    }
    std::vector<FdmOutcome> together(problems.size());
    solve_fdm_many(problems, together);
    for (std::size_t i = 0; i < problems.size(); ++i) {
        SCOPED_TRACE(::testing::PrintToString(problems[i]));
        expect_same_bits(solve_fdm(problems[i]), together[i]);
    }
}

}  // namespace
}  // namespace sorvik
