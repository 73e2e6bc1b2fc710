// tests/core/test_analytic.cpp: closed-form prices and greeks.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

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
    const OptionResult r = price_analytic(q.type, 100.0, MarketNumbers{100.0, 1.0, 0.05, 0.0, 0.2});
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
    double S, K, T, r, sigma, q = 0.0;
};

class Parity : public ::testing::TestWithParam<Market> {};

TEST_P(Parity, CallMinusPutIsForward) {
    const Market m = GetParam();
    const MarketNumbers market{m.S, m.T, m.r, m.q, m.sigma};
    const OptionResult call = price_analytic(OptionType::Call, m.K, market);
    const OptionResult put = price_analytic(OptionType::Put, m.K, market);
    const double dq = std::exp(-m.q * m.T);
    const double forward = m.S * dq - m.K * std::exp(-m.r * m.T);
    EXPECT_NEAR(call.price - put.price, forward, 1e-12 * (m.S + m.K));
    EXPECT_NEAR(call.greeks.delta - put.greeks.delta, dq, 1e-15);
    if (m.q == 0.0) {
        // The put's delta is formed as N(d1) + (−1.0): exactly the call's minus one.
        EXPECT_EQ(put.greeks.delta, call.greeks.delta + (-1.0));
    }
    EXPECT_EQ(put.greeks.gamma, call.greeks.gamma);
    EXPECT_EQ(*put.greeks.vega, *call.greeks.vega);
    // Rho and theta parity: ∂/∂r and ∂/∂t of S·e^(−qT) − K·e^(−rT).
    EXPECT_NEAR(*call.greeks.rho - *put.greeks.rho, m.T * m.K * std::exp(-m.r * m.T), 1e-10 * m.K);
    EXPECT_NEAR(call.greeks.theta - put.greeks.theta, m.q * m.S * dq - m.r * m.K * std::exp(-m.r * m.T),
                1e-10 * m.K);
}

INSTANTIATE_TEST_SUITE_P(Markets, Parity,
                         ::testing::Values(Market{100, 100, 1, 0.05, 0.2}, Market{80, 100, 0.25, 0.01, 0.35},
                                           Market{130, 90, 3, 0.08, 0.15}, Market{100, 120, 0.5, -0.01, 0.6},
                                           Market{100, 100, 1, 0.05, 0.2, 0.03}, Market{90, 110, 2, 0.01, 0.3, -0.02}));

class WithDividends : public ::testing::TestWithParam<Market> {};

// Every greek against central differences of the price (relative steps 1e-5):
// the dividend terms of delta, gamma, theta and vega are easy to get wrong.
TEST_P(WithDividends, GreeksAreTheDerivativesOfThePrice) {
    const Market m = GetParam();
    for (const OptionType type : {OptionType::Call, OptionType::Put}) {
        auto price = [&](double S, double T, double r, double sigma) {
            return price_analytic(type, m.K, MarketNumbers{S, T, r, m.q, sigma}).price;
        };
        const OptionResult g = price_analytic(type, m.K, MarketNumbers{m.S, m.T, m.r, m.q, m.sigma});
        const double hs = 1e-4 * m.S, ht = 1e-5, hr = 1e-5, hv = 1e-5;
        const double p0 = price(m.S, m.T, m.r, m.sigma);
        EXPECT_NEAR(g.greeks.delta, (price(m.S + hs, m.T, m.r, m.sigma) - price(m.S - hs, m.T, m.r, m.sigma)) / (2 * hs), 1e-7);
        EXPECT_NEAR(g.greeks.gamma,
                    (price(m.S + hs, m.T, m.r, m.sigma) - 2 * p0 + price(m.S - hs, m.T, m.r, m.sigma)) / (hs * hs), 1e-5);
        EXPECT_NEAR(g.greeks.theta, -(price(m.S, m.T + ht, m.r, m.sigma) - price(m.S, m.T - ht, m.r, m.sigma)) / (2 * ht), 1e-5);
        EXPECT_NEAR(*g.greeks.rho, (price(m.S, m.T, m.r + hr, m.sigma) - price(m.S, m.T, m.r - hr, m.sigma)) / (2 * hr), 1e-5);
        EXPECT_NEAR(*g.greeks.vega, (price(m.S, m.T, m.r, m.sigma + hv) - price(m.S, m.T, m.r, m.sigma - hv)) / (2 * hv), 1e-5);
    }
}

INSTANTIATE_TEST_SUITE_P(Markets, WithDividends,
                         ::testing::Values(Market{100, 100, 1, 0.05, 0.2, 0.03}, Market{90, 110, 2, 0.01, 0.3, -0.02},
                                           Market{120, 100, 0.5, 0.02, 0.5, 0.08}));

/// The formula one option at a time, each tail probability N(x) = (erf(x/√2) + 1)/2
/// taken at its own argument: the bits every form of price_analytic must give.
OptionResult written_out(OptionType type, double K, const MarketNumbers& m) {
    const double S = m.spot, T = m.years, r = m.rate, q = m.dividend_yield, sigma = m.vol;
    auto N = [](double x) { return (std::erf(x / 1.4142135623730951) + 1.0) * 0.5; };
    const double sqrt_t = std::sqrt(T);
    const double d1 = (std::log(S / K) + ((sigma * sigma * 0.5 + r) - q) * T) / (sigma * sqrt_t);
    const double d2 = d1 - sigma * sqrt_t;
    const double pdf = std::exp((-d1) * d1 * 0.5) / 2.5066282746310002;
    const double discount = std::exp((-r) * T);
    const bool dividends = q != 0.0;
    const double dq = dividends ? std::exp((-q) * T) : 1.0;
    const double sq = dividends ? S * dq : S;
    OptionResult out;
    const double gamma = pdf / (sigma * S * sqrt_t);
    out.greeks.gamma = dividends ? dq * gamma : gamma;
    out.greeks.vega = sq * sqrt_t * pdf;
    if (type == OptionType::Call) {
        out.price = N(d1) * sq - K * discount * N(d2);
        out.greeks.delta = dividends ? dq * N(d1) : N(d1);
        out.greeks.theta = ((-sigma) * (sq * pdf)) / (sqrt_t + sqrt_t) - r * K * discount * N(d2);
        if (dividends) out.greeks.theta = out.greeks.theta + q * sq * N(d1);
        out.greeks.rho = discount * (T * K) * N(d2);
    } else {
        out.price = K * discount * N(-d2) - sq * N(-d1);
        out.greeks.delta = dividends ? dq * (N(d1) + (-1.0)) : N(d1) + (-1.0);
        out.greeks.theta = r * K * discount * N(-d2) - (sq * pdf * sigma) / (sqrt_t + sqrt_t);
        if (dividends) out.greeks.theta = out.greeks.theta - q * sq * N(-d1);
        out.greeks.rho = discount * (T * (-K)) * N(-d2);
    }
    return out;
}

void expect_same_bits(const OptionResult& a, const OptionResult& b) {
    for (auto [x, y] : {std::pair{a.price, b.price}, {a.greeks.delta, b.greeks.delta}, {a.greeks.gamma, b.greeks.gamma},
                        {a.greeks.theta, b.greeks.theta}, {*a.greeks.vega, *b.greeks.vega}, {*a.greeks.rho, *b.greeks.rho}})
        EXPECT_EQ(std::bit_cast<uint64_t>(x), std::bit_cast<uint64_t>(y)) << x << " vs " << y;
}

// A book of mixed calls and puts, with and without dividends, across moneyness,
// maturity and volatility, in an odd number (blocks of pairs, then one alone).
TEST(ManyAtOnce, EachOptionHasTheBitsOfTheFormulaWrittenOut) {
    std::mt19937_64 rng(11);
    auto log_uniform = [&](double lo, double hi) {
        return std::exp(std::uniform_real_distribution<double>(std::log(lo), std::log(hi))(rng));
    };
    const std::size_t n = 301;
    std::vector<MarketNumbers> markets(n);
    std::vector<AnalyticOption> options(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double S = log_uniform(0.01, 1e4);
        markets[i] = MarketNumbers{S, log_uniform(1e-5, 50.0), std::uniform_real_distribution<double>(-0.1, 0.3)(rng),
                                   i % 3 == 0 ? 0.0 : std::uniform_real_distribution<double>(-0.1, 0.2)(rng),
                                   log_uniform(1e-3, 4.0)};
        options[i] = {rng() % 2 ? OptionType::Call : OptionType::Put, S * log_uniform(0.05, 20.0), &markets[i]};
    }
    std::vector<OptionResult> results(n);
    std::vector<DiscountedTerms> terms(n);
    price_analytic(options, results, terms);
    for (std::size_t i = 0; i < n; ++i) {
        const AnalyticOption& o = options[i];
        const OptionResult expected = written_out(o.type, o.strike, *o.market);
        expect_same_bits(results[i], expected);
        expect_same_bits(price_analytic(o.type, o.strike, *o.market), expected);
    }
}

}  // namespace
}  // namespace sorvik
