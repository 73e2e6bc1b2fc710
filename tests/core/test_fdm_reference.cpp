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
#include "fdm/grid_readoff.hpp"
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
/// exercise rule (against that stage's floor), derivative, increment; then
/// the output formula with every tableau product evaluated.
void reference_step(std::vector<double>& u, std::vector<double>& v, const TridiagonalOperator& op, double dt,
                    const std::array<std::array<double, 2>, 2>& ends, SweepOrder order,
                    const std::array<std::vector<double>, 2>* floors) {
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
        const std::vector<double>* floor = floors ? &(*floors)[s] : nullptr;
        const std::vector<double> y = stage_solve(op, held, a, order, floor);
        if (floor) expect_complementarity(op, b, a, y, *floor);
        op.apply(y, f);
        for (std::size_t i = 0; i < n; ++i) {
            const bool from_stage_equation = floors || i == 0 || i + 1 == n;
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

/// A whole valuation written out plainly: an option exercised early on a
/// grid in ln S (κ = 0 unless the cells cannot carry the drift) with
/// discounted values; any other in the log-forward with undiscounted values,
/// U = e^(rτ)·V. Then payoff, steps, read-off.
FdmOutcome reference_outcome(const FdmProblem& p) {
    const bool exercise = american(p) && p.payoff.early_exercise_can_pay(p.market);
    // A call never exercised early is stepped as its put, and read off by parity.
    const bool parity = !exercise && p.payoff.type == OptionType::Call;
    const VanillaPayoff stepped{parity ? OptionType::Put : p.payoff.type, p.payoff.strike};
    const double width = grid_half_width(p);
    const UniformMesher mesh(std::log(p.payoff.strike), width, p.grid.nodes);
    const double dt = p.market.years / static_cast<double>(p.grid.time_steps);
    const double r = p.market.rate, q = p.market.dividend_yield, carry = r - q;
    const double kappa =
        exercise ? FdmProcess::coordinate_drift(carry, p.market.vol, 2.0 * width / static_cast<double>(p.grid.nodes - 1))
                 : carry;
    const double g = exercise ? 0.0 : r;
    const TridiagonalOperator op = FdmProcess(r - g, carry - kappa, p.market.vol).build_operator(mesh);
    const std::size_t n = mesh.size();
    // Node i stands for the spot e^(y_i)·e^(−κτ) τ years before expiry.
    auto spot_at = [&](std::size_t i, double tau) {
        return kappa == 0.0 ? mesh.spot(i) : mesh.spot(i) * std::exp((-kappa) * tau);
    };
    auto grown = [&](double tau) { return g == 0.0 ? 1.0 : std::exp(g * tau); };
    auto payoff_at = [&](double tau) {
        std::vector<double> values(n);
        for (std::size_t i = 0; i < n; ++i) values[i] = grown(tau) * stepped(spot_at(i, tau));
        return values;
    };
    std::vector<double> u = payoff_at(0.0), v(n);
    op.apply(u, v);
    for (double& e : v) e = dt * e;
    for (uint64_t m = 0; m < p.grid.time_steps; ++m) {
        std::array<std::array<double, 2>, 2> ends;
        std::array<std::vector<double>, 2> floors;
        for (std::size_t s = 0; s < 2; ++s) {
            const double tau = (static_cast<double>(m) + BJ::c[s]) * dt;
            floors[s] = payoff_at(kappa == 0.0 ? 0.0 : tau);
            auto hold = [&](std::size_t i, double value) { return exercise ? std::max(value, floors[s][i]) : value; };
            ends[s] = {hold(0, grown(tau) * stepped.far_field(true, spot_at(0, tau), tau, p.market)),
                       hold(n - 1, grown(tau) * stepped.far_field(false, spot_at(n - 1, tau), tau, p.market))};
        }
        reference_step(u, v, op, dt, ends, order_of(p), exercise ? &floors : nullptr);
    }
    // Read-off at y = ln S + κT; an American from the nodes it holds.
    const std::span<const double> x = mesh.locations();
    const double elapsed = p.grid.time_steps == 0 ? 0.0 : p.market.years;
    const double spot = p.market.spot, y = std::log(spot) + kappa * elapsed;
    const FdmOutcome exercised{p.payoff(spot), p.payoff.slope(spot), 0.0, 0.0};
    std::size_t first = 0, last = n - 1;
    if (exercise) {
        const std::vector<double> floor = payoff_at(elapsed);
        std::vector<bool> held(n);
        for (std::size_t i = 0; i < n; ++i) held[i] = u[i] <= floor[i] + 1e-13 * p.payoff.strike;
        if (p.payoff.type == OptionType::Put) {
            while (first < n && held[first]) ++first;
            if (first == n || (first > 0 && x[first - 1] >= y)) return exercised;
        } else {
            while (last + 1 > 0 && held[last]) --last;
            if (last + 1 == 0 || (last + 1 < n && x[last + 1] <= y)) return exercised;
        }
    }
    // A call's growth c·e^y, c = e^((g−κ−q)T), is read exactly, the rest by
    // the cubic; a call stepped as its put has none on the grid (parity adds
    // it, and −K).
    const double rate = g - (kappa + q);
    const double share = p.payoff.type == OptionType::Call ? std::exp(-(kappa + q) * elapsed) * grown(elapsed) : 0.0;
    std::vector<double> rest_u(n), rest_v(n);
    for (std::size_t i = 0; i < n; ++i) {
        rest_u[i] = share == 0.0 || parity ? u[i] : u[i] - share * mesh.spot(i);
        rest_v[i] = share == 0.0 || parity ? v[i] : v[i] - (rate * share * dt) * mesh.spot(i);
    }
    LocalFit fit = read_off(x, rest_u, y, first, last);
    double carried = read_off(x, rest_v, y, first, last).value;
    if (share != 0.0) {
        const double growth = share * std::exp(y);
        fit = {fit.value + growth, fit.slope + growth, fit.curvature + growth};
        carried += rate * dt * growth;
        if (parity) fit.value -= p.payoff.strike;
    }
    const double discount = 1.0 / grown(elapsed);
    fit = {discount * fit.value, discount * fit.slope, discount * fit.curvature};
    carried = discount * carried;
    if (exercise && fit.value <= exercised.price) return exercised;
    const double bound = american(p) || q == 0.0 ? 1.0 : std::exp(-q * p.market.years);
    const double delta = std::clamp(fit.slope / spot, p.payoff.type == OptionType::Put ? -bound : 0.0,
                                    p.payoff.type == OptionType::Put ? 0.0 : bound);
    const double gamma = std::max((fit.curvature - fit.slope) / (spot * spot), 0.0);
    const double theta = g * fit.value - (carried / dt + kappa * fit.slope);
    return {std::max(fit.value, 0.0), delta, gamma, theta};
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
