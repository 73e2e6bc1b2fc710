// tests/core/test_erfcx.cpp: the scaled complementary error function against long double.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "pricing/erfcx.hpp"

namespace sorvik {
namespace {

/// e^(z²)·erfc(z) in long double (64-bit mantissa or more), an independent reference.
double reference(double z) {
    const long double w = z;
    return static_cast<double>(std::exp(w * w) * std::erfc(w));
}

class Erfcx : public ::testing::TestWithParam<double> {};

// Nine points in every table interval (a wrong coefficient anywhere shows),
// at both ends of each and across the switch to the asymptotic series.
TEST_P(Erfcx, WithinTwoUlps) {
    const double width = GetParam();
    const double start = width == 0.125 ? 0.0 : 8.0, end = width == 0.125 ? 8.0 : 40.0;
    for (double a = start; a < end; a += width) {
        for (int k = 0; k <= 8; ++k) {
            const double z = k < 8 ? a + width * k / 8 : std::nextafter(a + width, 0.0);
            const double expected = reference(z);
            EXPECT_NEAR(erfcx(z), expected, 2 * std::numeric_limits<double>::epsilon() * expected) << "z = " << z;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(TableRegions, Erfcx, ::testing::Values(0.125, 0.5));

TEST(Erfcx, AsymptoticRangeAndEdges) {
    // Beyond z = 100 the long double erfc underflows; there three terms of the
    // series, 1/(√π·z)·(1 − u + 3u²) with u = 1/(2z²), are exact to 2^-60.
    for (const double z : {40.0, 40.5, 63.0, 100.0, 1e3, 1e6, 1e150}) {
        const double u = 0.5 / z / z;
        const double expected = z <= 100.0 ? reference(z) : 0.5641895835477563 / z * (1.0 - u + 3.0 * u * u);
        EXPECT_NEAR(erfcx(z), expected, 2 * std::numeric_limits<double>::epsilon() * expected) << "z = " << z;
    }
    EXPECT_EQ(erfcx(0.0), 1.0);
    EXPECT_EQ(erfcx(std::numeric_limits<double>::infinity()), 0.0);
    EXPECT_TRUE(std::isnan(erfcx(std::numeric_limits<double>::quiet_NaN())));
    EXPECT_TRUE(std::isnan(erfcx(-1.0)));  // outside the contract, but never an out-of-range read
}

}  // namespace
}  // namespace sorvik
