// Market core: the term-structure surface (no Python entry builds it) and the
// shared market block.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "fault.hpp"
#include "support.hpp"
#include "market/market_data.hpp"
#include "market/vol_surface.hpp"

namespace sorvik {
namespace {

using testing::fault_of;
using testing::ymd;

constexpr double kYear366 = 366.0 * 86400 / 31'536'000.0;  // 2024-01-01 .. 2025-01-01 under Act/365F

VolSurface two_pillar_surface() {
    return VolSurface::term_structure(ymd(2024, 1, 1), {Tenor::years(1), Tenor::years(2)}, {0.2, 0.3},
                                      Actual365Fixed{});
}

struct VolCase {
    double strike;
    double t;
    double expected;
};

class TermStructureVolatility : public ::testing::TestWithParam<VolCase> {};

TEST_P(TermStructureVolatility, LinearInTimeAndBlindToStrike) {
    const auto& c = GetParam();
    EXPECT_NEAR(two_pillar_surface().volatility(c.strike, c.t), c.expected, 1e-15);
}

// Pillars at 366/365 (0.2) and 731/365 (0.3): slope 0.1 per year, extrapolated at both ends.
INSTANTIATE_TEST_SUITE_P(Cases, TermStructureVolatility,
                         ::testing::Values(VolCase{100.0, kYear366, 0.2}, VolCase{-5.0, kYear366, 0.2},
                                           VolCase{100.0, 731.0 / 365.0, 0.3},
                                           VolCase{100.0, 1.5, 0.2 + 0.1 * (1.5 - kYear366)},
                                           VolCase{1e9, 0.0, 0.2 - 0.1 * kYear366},
                                           VolCase{100.0, 3.0, 0.3 + 0.1 * (3.0 - 731.0 / 365.0)}));

TEST(TermStructure, PillarsAreTimedUnderTheSurfacesConvention) {
    const auto surface = VolSurface::term_structure(ymd(2024, 1, 31), {Tenor::months(1), Tenor::months(2)},
                                                    {0.2, 0.3}, Thirty360{Thirty360Convention::German});
    // 2024-02-29 is the last day of February: 30 days under German 30/360; 2024-03-31 gives 60.
    EXPECT_EQ(std::get<VolSurface::TermStructure>(surface.kind()).interpolator.xs(),
              (std::vector<double>{30.0 / 360.0, 60.0 / 360.0}));
}

TEST(TermStructure, HasNoDayCountConventionYet) {
    const auto surface = two_pillar_surface();
    EXPECT_EQ(fault_of([&] { surface.day_count_convention(); }), "not yet implemented");
}

TEST(TermStructure, RefusesBadPillarsLikeACurve) {
    const auto error_of = [](std::vector<Tenor> tenors, std::vector<double> vols) {
        return testing::message_of<CurveError>([&] {
            VolSurface::term_structure(ymd(2024, 1, 1), std::move(tenors), std::move(vols), Actual365Fixed{});
        });
    };
    EXPECT_EQ(error_of({Tenor::years(1)}, {0.2, 0.3}), "Curve Error: LengthMismatch");
    EXPECT_EQ(error_of({}, {}), "Curve Error: Interpolation(InsufficientPoints)");
    EXPECT_EQ(error_of({Tenor::years(1)}, {0.2}), "Curve Error: Interpolation(InsufficientPoints)");
    EXPECT_EQ(error_of({Tenor::years(2), Tenor::years(1)}, {0.2, 0.3}), "Curve Error: Interpolation(NotMonotonic)");
}

TEST(FlatSurface, ReturnsItsVolForAnyInputAndKeepsItsConvention) {
    const auto surface = VolSurface::flat(-0.3, Thirty360{Thirty360Convention::European});
    EXPECT_EQ(surface.volatility(100.0, 0.5), -0.3);
    EXPECT_EQ(surface.volatility(-5.0, std::nan("")), -0.3);
    EXPECT_EQ(surface.day_count_convention().diagnostic(), "Thirty360(European)");
}

TEST(MarketData, HoldsItsOwnCopiesAndAcceptsUnvaluableParts) {
    auto curve = RateCurve::interpolated(ymd(2024, 1, 1), {Tenor::years(1), Tenor::years(2)},
                                         {InterestRate{0.03, Compounding::continuous(), Actual365Fixed{}},
                                          InterestRate{0.04, Compounding::continuous(), Actual365Fixed{}}});
    auto surface = two_pillar_surface();
    const auto block = std::make_shared<const MarketData>(MarketData{std::nan(""), curve, surface});

    curve = RateCurve::continuous(0.5, Actual360{});
    surface = VolSurface::flat(0.9, Actual360{});

    EXPECT_TRUE(std::isnan(block->spot));
    EXPECT_NEAR(block->rate_curve.zero_rate(1.5), 0.0349726, 1e-7);
    EXPECT_NEAR(block->vol_surface.volatility(0.0, 1.5), 0.2 + 0.1 * (1.5 - kYear366), 1e-15);
    // Both parts are accepted here; only a valuation asking for their conventions fails.
    EXPECT_EQ(fault_of([&] { block->rate_curve.day_count_convention(); }), "not yet implemented");
}

}  // namespace
}  // namespace sorvik
