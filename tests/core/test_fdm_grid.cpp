// tests/core/test_fdm_grid.cpp: log-spot mesh, operator assembly and the tridiagonal operator.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "fault.hpp"
#include "fdm/fdm_process.hpp"
#include "fdm/grid_memory.hpp"
#include "fdm/lane_sweep.hpp"
#include "fdm/tridiagonal_operator.hpp"
#include "fdm/uniform_mesher.hpp"

namespace sorvik {
namespace {

// ---------------------------------------------------------------- mesh

class MeshSize : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MeshSize, SpansStrikePlusMinusWidthAndStepsAreStoredDifferences) {
    const std::size_t n = GetParam();
    const double width = 6.0 * (std::sqrt(1.0) * 0.2);
    const UniformMesher mesh(std::log(100.0), width, n);
    const double x_min = std::log(100.0) - width;
    const double dx = ((width + std::log(100.0)) - x_min) / static_cast<double>(n - 1);
    ASSERT_EQ(mesh.size(), n);
    EXPECT_EQ(mesh.location(0), x_min);
    EXPECT_NEAR(dx, 2.4 / static_cast<double>(n - 1), 1e-15);
    EXPECT_NEAR(mesh.location((n - 1) / 2), std::log(100.0), 1e-13);  // odd count: strike on the middle node
    EXPECT_NEAR(mesh.location(n - 1), std::log(100.0) + 1.2, 1e-13);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(mesh.location(i), x_min + static_cast<double>(i) * dx);
    }
    for (std::size_t i = 0; i + 1 < n; ++i) {
        EXPECT_EQ(mesh.dplus(i), mesh.location(i + 1) - mesh.location(i));
        EXPECT_EQ(mesh.dminus(i + 1), mesh.dplus(i));
    }
    EXPECT_EQ(mesh.dplus(n - 1), 0.0);
    EXPECT_EQ(mesh.dminus(0), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Counts, MeshSize, ::testing::Values(3, 1001));

// ---------------------------------------------------------------- operator assembly

struct Stencil {
    std::size_t nodes;
    double grid_carry;
};

class Assembly : public ::testing::TestWithParam<Stencil> {};

// The central stencil of d·∂²/∂y² + μ·∂/∂y − r, μ = (r − q − κ) − d, and zero end rows.
TEST_P(Assembly, InteriorRowsAreTheCentralStencilAndEndRowsZero) {
    const std::size_t n = GetParam().nodes;
    const double r = 0.05, sigma = 0.2, carry = GetParam().grid_carry;
    const UniformMesher mesh(std::log(100.0), 1.2, n);
    const TridiagonalOperator op = FdmProcess(r, carry, sigma).build_operator(mesh);
    ASSERT_EQ(op.size(), n);
    for (std::size_t i : {std::size_t{0}, n - 1}) {
        EXPECT_EQ(op.diag()[i], 0.0);
        EXPECT_EQ(op.lower()[i], 0.0);
        EXPECT_EQ(op.upper()[i], 0.0);
    }
    const double dx = 2.4 / static_cast<double>(n - 1);
    const double d = sigma * sigma / 2, mu = carry - d;
    const double scale = d / (dx * dx);
    for (std::size_t i = 1; i + 1 < n; ++i) {
        EXPECT_NEAR(op.lower()[i], scale - mu / (2 * dx), 1e-9 * scale);
        EXPECT_NEAR(op.diag()[i], -2 * scale - r, 1e-9 * scale);
        EXPECT_NEAR(op.upper()[i], scale + mu / (2 * dx), 1e-9 * scale);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, Assembly,
                         ::testing::Values(Stencil{3, 0.0}, Stencil{101, 0.0}, Stencil{1001, 0.0}, Stencil{101, 0.08}));

// κ is 0 while the cell Péclet number of r − q − ½σ² stays at 1/2, takes over
// just the excess beyond, and tends to r − q as σ → 0.
TEST(CoordinateDrift, TakesOverOnlyTheDriftTheCellsCannotCarry) {
    EXPECT_EQ(FdmProcess::coordinate_drift(0.05, 0.2, 0.0024), 0.0);
    const double step = 1e-3, vol = 1e-3, d = vol * vol / 2;
    const double kappa = FdmProcess::coordinate_drift(0.05, vol, step);
    EXPECT_NEAR(std::fabs(0.05 - d - kappa) * step / (2 * d), 0.5, 1e-12);
    EXPECT_NEAR(FdmProcess::coordinate_drift(0.05, 1e-9, step), 0.05, 1e-12);
    EXPECT_NEAR(FdmProcess::coordinate_drift(-0.03, 1e-9, step), -0.03, 1e-12);
}

// ---------------------------------------------------------------- tridiagonal operator

class TooSmall : public ::testing::TestWithParam<std::size_t> {};

TEST_P(TooSmall, ConstructionFaultsWithTheCount) {
    const std::size_t n = GetParam();
    try {
        const TridiagonalOperator op{GridArray(n), GridArray(n), GridArray(n)};
        FAIL() << "no fault for " << n << " elements";
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), "TridiagonalOperator requires at least 3 elements, found " + std::to_string(n));
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, TooSmall, ::testing::Values(0, 1, 2));

/// A diagonally dominant operator with distinct entries on every row.
TridiagonalOperator sample_operator(std::size_t n) {
    GridArray lower(n), diag(n), upper(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i);
        lower[i] = i == 0 ? 0.0 : 0.8 + 0.01 * t;
        upper[i] = i + 1 == n ? 0.0 : 0.9 - 0.02 * t;
        diag[i] = -2.5 - 0.03 * t;
    }
    return TridiagonalOperator(std::move(lower), std::move(diag), std::move(upper));
}

std::vector<double> sample_rhs(std::size_t n) {
    std::vector<double> b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = std::sin(0.3 * static_cast<double>(i)) + 2.0;
    return b;
}

class Solve : public ::testing::TestWithParam<SweepOrder> {};

TEST_P(Solve, InvertsIMinusAApplyInEitherOrder) {
    const std::size_t n = 40;
    const TridiagonalOperator op = sample_operator(n);
    const std::vector<double> b = sample_rhs(n);
    std::vector<double> y(n), ay(n);
    const double a = 0.37;
    solve_tridiagonal(op, b, a, y, GetParam());
    op.apply(y, ay);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_NEAR(y[i] - a * ay[i], b[i], 1e-13);
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, Solve, ::testing::Values(SweepOrder::Ascending, SweepOrder::Descending));

TEST(Tridiagonal, AFactorisationServesOnlyItsOwnOrder) {
    const std::size_t n = 12;
    const TridiagonalOperator op = sample_operator(n);
    const TridiagonalFactorization& ascending = op.factorization(0.1, SweepOrder::Ascending);
    EXPECT_EQ(ascending.order, SweepOrder::Ascending);
    const TridiagonalFactorization& descending = op.factorization(0.1, SweepOrder::Descending);
    EXPECT_EQ(descending.order, SweepOrder::Descending);
    // The mirror image eliminates row N−1 first: its first pivot is that row's.
    EXPECT_EQ(descending.inverse_pivots[0], 1.0 / (1.0 - op.diag()[n - 1] * 0.1));
}

struct Reuse {
    double second;
    bool reused;
};

class FactorisationReuse : public ::testing::TestWithParam<Reuse> {};

// The cache serves any coefficient strictly within 1e-12 of its own.
TEST_P(FactorisationReuse, DependsOnAbsoluteDistance) {
    const std::size_t n = 25;
    const TridiagonalOperator op = sample_operator(n);
    EXPECT_FALSE(op.cached_coefficient().has_value());
    const std::vector<double> b = sample_rhs(n);
    std::vector<double> first(n), second(n);
    solve_tridiagonal(op, b, 0.1, first);
    ASSERT_EQ(op.cached_coefficient(), 0.1);

    const Reuse p = GetParam();
    solve_tridiagonal(op, b, p.second, second);
    if (p.reused) {
        EXPECT_EQ(op.cached_coefficient(), 0.1);
        EXPECT_EQ(second, first);
    } else {
        EXPECT_EQ(op.cached_coefficient(), p.second);
        const TridiagonalOperator fresh = sample_operator(n);
        std::vector<double> expected(n);
        solve_tridiagonal(fresh, b, p.second, expected);
        EXPECT_EQ(second, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Distances, FactorisationReuse,
                         ::testing::Values(Reuse{0.1, true}, Reuse{0.1 + 5e-13, true}, Reuse{0.1 - 5e-13, true},
                                           Reuse{0.1 + 2e-12, false}, Reuse{0.1 - 2e-12, false},
                                           Reuse{0.2, false}));

// On a thread that keeps grid memory (a book's worker), a freed array's
// block goes to the next array of its size, and to no other.
TEST(GridMemory, AKeptBlockServesTheNextArrayOfItsSize) {
    bool other_size = true, same_size = false;
    std::thread([&] {
        grid_memory::keep_on_this_thread();
        const double* first;
        {
            const GridArray a(1001);
            first = a.data();
        }
        {
            const GridArray other(1002);
            other_size = other.data() == first;
        }
        const GridArray b(1001);
        same_size = b.data() == first;
        grid_memory::release_on_this_thread();
    }).join();
    EXPECT_FALSE(other_size);
    EXPECT_TRUE(same_size);
}

}  // namespace
}  // namespace sorvik
