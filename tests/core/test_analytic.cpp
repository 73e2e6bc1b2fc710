// tests/core/test_analytic.cpp: closed-form prices and greeks.
#include <gtest/gtest.h>

#include <cmath>

#include "pricing/analytic.hpp"

namespace sorvik {
namespace {

struct Quoted {
    OptionType type;
    double price, delta, gamma, vega, theta, rho;
};

class AtTheMoney : public ::testing::TestWithParam<Quoted> {};

// Textbook values for S = K = 100, T = 1, r = 5%, σ = 20%, to their printed digits.
TEST_P(AtTheMoney, MatchesPublishedValues) {
    const Quoted q = GetParam();
    const OptionResult r = price_analytic(100.0, 100.0, 1.0, 0.05, 0.2, q.type);
    EXPECT_NEAR(r.price, q.price, 5e-5);
    EXPECT_NEAR(r.greeks.delta, q.delta, 5e-5);
    EXPECT_NEAR(r.greeks.gamma, q.gamma, 5e-7);
    ASSERT_TRUE(r.greeks.vega.has_value());
    ASSERT_TRUE(r.greeks.rho.has_value());
    EXPECT_NEAR(*r.greeks.vega, q.vega, 5e-4);
    EXPECT_NEAR(r.greeks.theta, q.theta, 5e-4);
    EXPECT_NEAR(*r.greeks.rho, q.rho, 5e-4);
}

INSTANTIATE_TEST_SUITE_P(CallAndPut, AtTheMoney,
                         ::testing::Values(Quoted{OptionType::Call, 10.4506, 0.6368, 0.018762, 37.524, -6.414, 53.232},
                                           Quoted{OptionType::Put, 5.5735, -0.3632, 0.018762, 37.524, -1.658,
                                                  -41.890}));

struct Market {
    double S, K, T, r, sigma;
};

class Parity : public ::testing::TestWithParam<Market> {};

TEST_P(Parity, CallMinusPutIsForward) {
    const Market m = GetParam();
    const OptionResult call = price_analytic(m.S, m.K, m.T, m.r, m.sigma, OptionType::Call);
    const OptionResult put = price_analytic(m.S, m.K, m.T, m.r, m.sigma, OptionType::Put);
    const double forward = m.S - m.K * std::exp(-m.r * m.T);
    EXPECT_NEAR(call.price - put.price, forward, 1e-12 * (m.S + m.K));
    // The put's delta is formed as N(d1) + (−1.0): exactly the call's minus one.
    EXPECT_EQ(put.greeks.delta, call.greeks.delta + (-1.0));
    EXPECT_EQ(put.greeks.gamma, call.greeks.gamma);
    EXPECT_EQ(*put.greeks.vega, *call.greeks.vega);
    // Rho and theta parity: ∂/∂r and ∂/∂t of S − K·e^(−rT).
    EXPECT_NEAR(*call.greeks.rho - *put.greeks.rho, m.T * m.K * std::exp(-m.r * m.T), 1e-10 * m.K);
    EXPECT_NEAR(call.greeks.theta - put.greeks.theta, -m.r * m.K * std::exp(-m.r * m.T), 1e-10 * m.K);
}

INSTANTIATE_TEST_SUITE_P(Markets, Parity,
                         ::testing::Values(Market{100, 100, 1, 0.05, 0.2}, Market{80, 100, 0.25, 0.01, 0.35},
                                           Market{130, 90, 3, 0.08, 0.15}, Market{100, 120, 0.5, -0.01, 0.6}));

}  // namespace
}  // namespace sorvik
