// tests/core/test_implied_vol.cpp: European implied volatility.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "pricing/analytic.hpp"
#include "pricing/implied_vol.hpp"

namespace sorvik {
namespace {

using Status = ImpliedVol::Status;
constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Exact {
    const char* name;
    OptionType type;
    double strike, years, rate, dividend_yield, price, vol;  // vol: the exact root for this double price
};

class ExactQuote : public ::testing::TestWithParam<Exact> {};

// Prices and roots from 60-digit arithmetic, S = 100, one case per region of
// the normalised price and per kind of initial guess, and near the money
// where the moneyness and the intrinsic value must not round: the solver may
// add no more than a few ulps of σ, or of relative price, to the root.
TEST_P(ExactQuote, SolvesToAFewUlps) {
    const Exact e = GetParam();
    const MarketNumbers market{100.0, e.years, e.rate, e.dividend_yield, e.vol};
    const ImpliedVol iv = implied_vol_european(e.price, e.type, e.strike, market);
    ASSERT_EQ(iv.status, Status::Solved);
    const double vega = *price_analytic(e.type, e.strike, market).greeks.vega;
    EXPECT_NEAR(iv.vol, e.vol, 8 * kEps * std::max(e.vol, e.price / vega));
    EXPECT_TRUE(std::isnan(iv.bound));
}

constexpr OptionType kCall = OptionType::Call, kPut = OptionType::Put;

INSTANTIATE_TEST_SUITE_P(
    Regions, ExactQuote,
    ::testing::Values(Exact{"atm_tiny_total_vol", kCall, 100.0, 1.0 / 365.0, 0.0, 0.0, 0.010440796634943348, 0.005},
                      Exact{"below_inflection", kCall, 105.0, 1.0, 0.0, 0.0, 5.905593471555494, 0.2},
                      Exact{"above_inflection", kCall, 150.0, 2.0, 0.0, 0.0, 36.99954461331942, 0.9},
                      Exact{"near_upper_bound", kCall, 100.0, 30.0, 0.0, 0.0, 99.9960076025231, 1.4999999999998863},
                      Exact{"deep_otm_put", kPut, 50.0, 0.5, 0.0, 0.0, 0.00012593913539656645, 0.25},
                      Exact{"far_left_tail", kCall, 400.0, 1.0, 0.0, 0.0, 7.575532479186121e-44, 0.1},
                      Exact{"short_expiry", kCall, 101.0, 0.01, 0.0, 0.0, 0.7683185738591226, 0.3},
                      Exact{"both_terms_small", kCall, 200.0, 1.0, 0.0, 0.0, 5.060631737284147, 0.6},
                      Exact{"both_terms_tiny", kCall, 134000.0, 1.0, 0.0, 0.0, 3.042188629038182e-31, 0.6},
                      Exact{"both_terms_tiny_apart", kCall, 30000.0, 1.0, 0.0, 0.0, 2.408006553952219e-35, 0.45},
                      Exact{"exactly_atm", kCall, 100.0, 4.0, 0.0, 0.0, 38.29249225480262, 0.49999999999999994},
                      Exact{"very_high_vol", kPut, 90.0, 0.25, 0.0, 0.0, 47.046495135254986, 3.0},
                      Exact{"near_atm_tiny_total_vol", kPut, 99.7, 0.0137, 0.0, 0.0, 0.07363604956799255, 0.04},
                      // In the money, the time value a thousandth of the intrinsic value.
                      Exact{"itm_small_time_value", kCall, 99.65, 0.5, 0.04, 0.01, 1.8254161950003451,
                            0.010000000000000057}),
    [](const auto& info) { return std::string(info.param.name); });

struct Domain {
    const char* name;
    double vol_low, vol_high, years_low, years_high, moneyness_low, moneyness_high;
};

class RoundTrip : public ::testing::TestWithParam<Domain> {};

/// Uniform in [0, 1) from the generator's top 53 bits (portable, unlike the std distributions).
double unit(std::mt19937_64& gen) { return static_cast<double>(gen() >> 11) * 0x1p-53; }
double log_uniform(std::mt19937_64& gen, double low, double high) {
    return low * std::exp(unit(gen) * std::log(high / low));
}

// Prices of the closed form back to their σ: within 1e-12·σ, or within the
// σ that the price's own rounding Δp = 8 ulps of max(S·e^(−qT), K·e^(−rT))
// moves, for every quote more than Δp inside its bounds.
TEST_P(RoundTrip, RecoversTheVolatility) {
    const Domain d = GetParam();
    std::mt19937_64 gen(20240611);
    int checked = 0;
    constexpr int kCases = 4000;
    for (int i = 0; i < kCases; ++i) {
        const double vol = log_uniform(gen, d.vol_low, d.vol_high);
        const double years = log_uniform(gen, d.years_low, d.years_high);
        const double r = -0.05 + 0.2 * unit(gen), q = -0.05 + 0.2 * unit(gen);
        const double forward = 100.0 * std::exp((r - q) * years);
        const double strike = forward * log_uniform(gen, d.moneyness_low, d.moneyness_high);
        const OptionType type = i % 2 == 0 ? OptionType::Call : OptionType::Put;
        const MarketNumbers market{100.0, years, r, q, vol};
        const OptionResult priced = price_analytic(type, strike, market);

        const double spot = 100.0 * std::exp(-q * years), strike_pv = strike * std::exp(-r * years);
        const double dp = 8 * kEps * std::max(spot, strike_pv);
        const double lower = std::max(type == OptionType::Call ? spot - strike_pv : strike_pv - spot, 0.0);
        const double upper = type == OptionType::Call ? spot : strike_pv;
        if (!(priced.price > lower + dp && priced.price < upper - dp)) continue;
        ++checked;
        const ImpliedVol iv = implied_vol_european(priced.price, type, strike, market);
        ASSERT_EQ(iv.status, Status::Solved) << "σ " << vol << " T " << years << " K " << strike;
        EXPECT_NEAR(iv.vol, vol, std::max(1e-12 * vol, dp / *priced.greeks.vega))
            << (type == OptionType::Call ? "call" : "put") << " T " << years << " K " << strike << " r " << r
            << " q " << q;
    }
    // Many quotes of a log-uniform draw sit at a bound (long, high σ; short, far strikes).
    EXPECT_GT(checked, kCases * 2 / 5);
}

INSTANTIATE_TEST_SUITE_P(Domains, RoundTrip,
                         ::testing::Values(Domain{"everywhere", 0.005, 5.0, 1.0 / 365.0, 30.0, 0.1, 10.0},
                                           Domain{"one_day", 0.005, 5.0, 1.0 / 365.0, 2.0 / 365.0, 0.9, 1.1},
                                           Domain{"far_wings", 0.5, 5.0, 0.5, 30.0, 0.1, 0.2},
                                           Domain{"far_wings_up", 0.5, 5.0, 0.5, 30.0, 5.0, 10.0},
                                           Domain{"low_vol", 0.005, 0.05, 0.1, 30.0, 0.8, 1.25}),
                         [](const auto& info) { return std::string(info.param.name); });

struct Bounded {
    const char* name;
    OptionType type;
    double price, strike;
    MarketNumbers market;
    Status status;
    double vol, bound;  // expected; NaN where the status has none
};

class Bounds : public ::testing::TestWithParam<Bounded> {};

TEST_P(Bounds, StatusVolAndBound) {
    const Bounded b = GetParam();
    const ImpliedVol iv = implied_vol_european(b.price, b.type, b.strike, b.market);
    EXPECT_EQ(iv.status, b.status);
    if (std::isnan(b.vol)) EXPECT_TRUE(std::isnan(iv.vol)) << iv.vol;
    else EXPECT_NEAR(iv.vol, b.vol, 1e-9 * b.vol);  // exactly 0 at the lower bound
    if (std::isnan(b.bound)) EXPECT_TRUE(std::isnan(iv.bound)) << iv.bound;
    else EXPECT_DOUBLE_EQ(iv.bound, b.bound);
}

// S = 100, K = 90, T = 1, r = q = 0 unless stated: call bounds [10, 100],
// put bounds [0, 90]. The price at σ = 10 of that call is 99.99995 (vega 1.4e-4).
const MarketNumbers kYear{100.0, 1.0, 0.0, 0.0, 0.0};
const double kCallAtMax = price_analytic(OptionType::Call, 90.0, MarketNumbers{100.0, 1.0, 0.0, 0.0, 10.0}).price;

INSTANTIATE_TEST_SUITE_P(
    Quotes, Bounds,
    ::testing::Values(
        Bounded{"below_intrinsic", OptionType::Call, 9.999, 90.0, kYear, Status::BelowLowerBound, kNaN, 10.0},
        Bounded{"negative_price", OptionType::Put, -1e-300, 90.0, kYear, Status::BelowLowerBound, kNaN, 0.0},
        Bounded{"at_intrinsic", OptionType::Call, 10.0, 90.0, kYear, Status::Solved, 0.0, kNaN},
        Bounded{"zero_otm", OptionType::Put, 0.0, 90.0, kYear, Status::Solved, 0.0, kNaN},
        Bounded{"at_spot", OptionType::Call, 100.0, 90.0, kYear, Status::AtOrAboveUpperBound, kNaN, 100.0},
        Bounded{"above_strike", OptionType::Put, 95.0, 90.0, kYear, Status::AtOrAboveUpperBound, kNaN, 90.0},
        Bounded{"infinite_price", OptionType::Put, INFINITY, 90.0, kYear, Status::AtOrAboveUpperBound, kNaN, 90.0},
        Bounded{"needs_more_than_10", OptionType::Call, 99.99999, 90.0, kYear, Status::AboveMaxVol, kNaN,
                kCallAtMax},
        Bounded{"reached_at_10", OptionType::Call, kCallAtMax, 90.0, kYear, Status::Solved, 10.0, kNaN},
        // Discounted bounds: S·e^(−qT) = 100·e^(−0.1), K·e^(−rT) = 90·e^(−0.05).
        Bounded{"discounted_upper", OptionType::Call, 100.0 * std::exp(-0.1), 90.0,
                MarketNumbers{100.0, 1.0, 0.05, 0.1, 0.0}, Status::AtOrAboveUpperBound, kNaN, 100.0 * std::exp(-0.1)},
        // At T = 0 every σ gives the intrinsic value.
        Bounded{"expired_at_intrinsic", OptionType::Call, 10.0, 90.0, MarketNumbers{100.0, 0.0, 0.05, 0.0, 0.0},
                Status::Solved, 0.0, kNaN},
        Bounded{"expired_above", OptionType::Put, 1.0, 90.0, MarketNumbers{100.0, 0.0, 0.05, 0.0, 0.0},
                Status::AboveMaxVol, kNaN, 0.0},
        // No quote in, no σ out; nonsense market numbers end at a bound.
        Bounded{"nan_price", OptionType::Call, kNaN, 90.0, kYear, Status::Solved, kNaN, kNaN},
        Bounded{"nan_rate", OptionType::Put, 5.0, 90.0, MarketNumbers{100.0, 1.0, kNaN, 0.0, 0.0}, Status::Solved,
                kNaN, kNaN},
        Bounded{"negative_time", OptionType::Put, 5.0, 90.0, MarketNumbers{100.0, -1.0, 0.0, 0.0, 0.0},
                Status::Solved, kNaN, kNaN},
        Bounded{"zero_spot", OptionType::Call, 0.0, 90.0, MarketNumbers{0.0, 1.0, 0.0, 0.0, 0.0},
                Status::AtOrAboveUpperBound, kNaN, 0.0},
        Bounded{"negative_strike", OptionType::Put, 1.0, -90.0, kYear, Status::AtOrAboveUpperBound, kNaN, -90.0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sorvik
