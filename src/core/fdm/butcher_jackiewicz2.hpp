// fdm/butcher_jackiewicz2.hpp: two-stage Butcher–Jackiewicz time stepping with stage hooks.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "fdm/tridiagonal_operator.hpp"

namespace sorvik {

/// The carried components: node values u and the scaled derivative v ≈ Δt·du/dτ.
struct StepState {
    std::vector<double> u;
    std::vector<double> v;
};

/// Stage hooks act node by node: each call sees one node's values and returns
/// the replacement. Being pointwise, they give the same values whether called
/// over whole arrays after a solve or, as here, inside the sweeps.
///   after_solve(i, Y_i)      -> stage value Y_i after the solve
///   after_apply(i, Y_i, F_i) -> stage derivative F_i = (L·Y)_i before scaling by Δt
///   after_step(i, u_i)       -> new node value after the output formula
struct NoHooks {
    double after_solve(std::size_t, double y) const { return y; }
    double after_apply(std::size_t, double, double f) const { return f; }
    double after_step(std::size_t, double u) const { return u; }
};

/// Two-stage diagonally implicit general linear method for du/dτ = L·u
/// (L-stable, λ ≈ 1 − 1/√2 on both stages, so one factorisation serves every
/// solve). The tableau holds the decimal constants as written, not values
/// derived from √2, and every product with a zero entry is evaluated, so a
/// NaN or infinity anywhere spreads into everything computed from it.
class ButcherJackiewicz2 {
public:
    static constexpr double A[2][2] = {{0.292893218813452, 0.0}, {0.707106781186548, 0.292893218813452}};
    static constexpr double U[2][2] = {{1.0, 0.0}, {1.0, 0.0}};
    static constexpr double B[2][2] = {{0.707106781186548, 0.292893218813452}, {0.0, 1.0}};
    static constexpr double V[2][2] = {{1.0, 0.0}, {0.0, 0.0}};
    /// Stage abscissae; unused while L does not depend on time.
    static constexpr double c[2] = {0.292893218813452, 1.0};

    /// u = u0, v = Δt·(L·u0); sizes the work storage and builds the stage
    /// factorisation, so that step() allocates nothing. Throws Fault when u0
    /// does not have L.size() entries.
    void start(StepState& state, std::span<const double> u0, const TridiagonalOperator& op, double dt);

    /// One step of size dt in place. start() must have run with the same operator.
    template <class Hooks>
    void step(StepState& state, const TridiagonalOperator& op, double dt, const Hooks& hooks);

private:
    void require_started(const StepState& state, std::size_t n) const;

    std::vector<double> sweep_;  // forward-sweep values z of the solve in progress
};

// The step runs each stage as the two sweeps of its solve. The forward sweep
// also forms the stage input; the backward sweep also applies the hooks, L
// (one node behind, once both neighbours of a row are final), the increment
// and the output formula. Every value keeps its operations and their order.
//
// The tableau's rows coincide (U[1] = U[0] = V[0], B[0][0] = A[1][0]), so one
// value serves several formulas: u + 0·v is the input part of both stages and
// of the new u, and u + 0·v + A[1][0]·K_0 is both the stage-1 input and the
// new u before its K_1 term.
template <class Hooks>
void ButcherJackiewicz2::step(StepState& state, const TridiagonalOperator& op, double dt,
                              const Hooks& hooks) {
    static_assert(U[1][0] == U[0][0] && U[1][1] == U[0][1] && V[0][0] == U[0][0] &&
                      V[0][1] == U[0][1] && B[0][0] == A[1][0],
                  "the fused step relies on these coincidences of the tableau");
    const std::size_t n = op.size();  // >= 3
    require_started(state, n);
    double* u = state.u.data();
    double* v = state.v.data();
    double* z = sweep_.data();
    const double* lo = op.lower().data();
    const double* di = op.diag().data();
    const double* up = op.upper().data();

    // Backward sweep of a stage's solve, with the stage hooks, F = L·Y and
    // the increment K = Δt·F; `finish(j, K_j)` folds K_j into u_j and v_j.
    auto backward = [&](const TridiagonalFactorization& f, auto&& finish) {
        const double* cm = f.modified_upper.data();
        // raw: the solve's own y, which the recursion needs; y0..y2: Y after
        // after_solve at rows i, i+1, i+2.
        double raw = z[n - 1];
        double y2 = hooks.after_solve(n - 1, raw);
        raw = z[n - 2] - cm[n - 2] * raw;
        double y1 = hooks.after_solve(n - 2, raw);
        auto increment = [&](std::size_t j, double y, double fj) {
            return dt * hooks.after_apply(j, y, fj);
        };
        finish(n - 1, increment(n - 1, y2, lo[n - 1] * y1 + di[n - 1] * y2));
        for (std::size_t i = n - 2; i-- > 0;) {
            raw = z[i] - cm[i] * raw;
            const double y0 = hooks.after_solve(i, raw);
            const std::size_t j = i + 1;
            finish(j, increment(j, y1, lo[j] * y0 + di[j] * y1 + up[j] * y2));
            y2 = y1;
            y1 = y0;
        }
        finish(0, increment(0, y1, di[0] * y1 + up[0] * y2));
    };

    // Stage 0. Forward sweep with b = U[0][0]·u + U[0][1]·v; u keeps that
    // input part and v becomes V[1][0]·u + V[1][1]·v, the old u and v being
    // needed no more.
    {
        const TridiagonalFactorization& f = op.factorization(A[0][0] * dt);
        const double* l = f.scaled_lower.data();
        const double* p = f.inverse_pivots.data();
        auto input = [&](std::size_t i) {
            const double b = U[0][0] * u[i] + U[0][1] * v[i];
            v[i] = V[1][0] * u[i] + V[1][1] * v[i];
            u[i] = b;
            return b;
        };
        double zi = input(0) * p[0];
        z[0] = zi;
        for (std::size_t i = 1; i < n; ++i) {
            zi = (input(i) - zi * l[i]) * p[i];
            z[i] = zi;
        }
        backward(f, [&](std::size_t j, double k0) {
            u[j] = u[j] + A[1][0] * k0;  // stage-1 input
            v[j] = v[j] + B[1][0] * k0;
        });
    }
    // Stage 1. Its input is in u; the output formula completes u and v.
    {
        const TridiagonalFactorization& f = op.factorization(A[1][1] * dt);
        const double* l = f.scaled_lower.data();
        const double* p = f.inverse_pivots.data();
        double zi = u[0] * p[0];
        z[0] = zi;
        for (std::size_t i = 1; i < n; ++i) {
            zi = (u[i] - zi * l[i]) * p[i];
            z[i] = zi;
        }
        backward(f, [&](std::size_t j, double k1) {
            u[j] = hooks.after_step(j, u[j] + B[0][1] * k1);
            v[j] = v[j] + B[1][1] * k1;
        });
    }
}

}  // namespace sorvik
