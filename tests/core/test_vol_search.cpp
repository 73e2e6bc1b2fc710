// tests/core/test_vol_search.cpp: the safeguarded implied-volatility search on price functions of σ.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "pricing/analytic.hpp"
#include "pricing/vol_search.hpp"

namespace sorvik {
namespace {

using Status = ImpliedVol::Status;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

/// A European call, S = K = 100, T = 1, r = 5 %, as a price function of σ.
double call(double vol) { return price_analytic(OptionType::Call, 100.0, MarketNumbers{100.0, 1.0, 0.05, 0.0, vol}).price; }
const double sure = 100.0 - 100.0 * std::exp(-0.05);

VolSearchBounds call_bounds(double guess = NaN) { return {sure, 100.0, 100.0, guess, NaN}; }

struct Quote {
    double vol;    // the σ the quote is priced at
    double guess;  // the search's first σ
};

class VolSearchRoundTrip : public ::testing::TestWithParam<Quote> {};

TEST_P(VolSearchRoundTrip, EveryAnswerRepricesTheQuote) {
    const Quote q = GetParam();
    const double quote = call(q.vol);
    const VolSearchResult r = search_implied_vol(quote, call_bounds(q.guess), call);
    ASSERT_EQ(r.result.status, Status::Solved);
    EXPECT_LE(std::fabs(call(r.result.vol) - quote), kRepriceTolerance * 100.0);
    EXPECT_NEAR(r.result.vol, q.vol, 1e-8);
    EXPECT_LT(r.valuations, 40u);
}

// Good and bad first guesses, none, and quotes where the call is all time value or nearly none.
INSTANTIATE_TEST_SUITE_P(Quotes, VolSearchRoundTrip,
                         ::testing::Values(Quote{0.2, 0.21}, Quote{0.2, NaN}, Quote{0.2, 9.0}, Quote{0.05, 3.0},
                                           Quote{2.5, 0.1}, Quote{0.02, NaN}));

TEST(VolSearchLimits, AreReportedWithTheValueTheQuoteMissed) {
    const VolSearchResult above = search_implied_vol(100.0, call_bounds(), call);
    EXPECT_EQ(above.result.status, Status::AtOrAboveUpperBound);
    EXPECT_EQ(above.result.bound, 100.0);
    const VolSearchResult below = search_implied_vol(sure * (1 - 1e-9), call_bounds(), call);
    EXPECT_EQ(below.result.status, Status::BelowLowerBound);
    EXPECT_EQ(below.result.bound, sure);
    // Above the price at σ = 10 but below S: no σ reaches it.
    const VolSearchResult high = search_implied_vol(call(10.0) + 1e-9, call_bounds(), call);
    EXPECT_EQ(high.result.status, Status::AboveMaxVol);
    EXPECT_EQ(high.result.bound, call(10.0));
    EXPECT_TRUE(std::isnan(search_implied_vol(NaN, call_bounds(), call).result.vol));
}

TEST(VolSearchZero, QuotesWithinTheRelativeToleranceOfTheSureValueGiveZero) {
    for (const double quote : {sure, std::nextafter(sure, 0.0), std::nextafter(sure, 200.0), sure * (1 + 5e-13)}) {
        const VolSearchResult r = search_implied_vol(quote, call_bounds(), call);
        EXPECT_EQ(r.result.status, Status::Solved);
        EXPECT_EQ(r.result.vol, 0.0);
        EXPECT_EQ(r.valuations, 0u);
    }
}

// A price whose time value hardly moves with σ (a deep in-the-money American
// put): every σ in a wide span reprices the quote, so none is an answer.
TEST(VolSearchUndetermined, TimeValueTooSmallToTellTheVolatilityIsAFailureNotAnArbitraryRoot) {
    const double floor = 45.0;
    auto flat = [&](double vol) { return floor + 1e-7 * vol * vol; };
    const VolSearchResult r = search_implied_vol(flat(0.2), VolSearchBounds{floor, 100.0, 100.0, 0.3, NaN}, flat);
    EXPECT_EQ(r.result.status, Status::Undetermined);
    EXPECT_EQ(r.result.bound, floor);
    EXPECT_TRUE(std::isnan(r.result.vol));
}

// The same shape with a steep enough slope is determined, down to a span just
// inside the resolution max(1e-4, 1e-3·σ).
TEST(VolSearchUndetermined, AResolvedQuoteIsSolved) {
    const double slope = 2.5 * kRepriceTolerance * 100.0 / 1e-4;  // span 0.8e-4
    auto steep = [&](double vol) { return 45.0 + slope * vol; };
    const VolSearchResult r = search_implied_vol(steep(0.05), VolSearchBounds{45.0, 100.0, 100.0, 0.3, NaN}, steep);
    ASSERT_EQ(r.result.status, Status::Solved);
    EXPECT_NEAR(r.result.vol, 0.05, 1e-10);
}

// An American deep in the money is worth its payoff up to some σ, then rises
// steeply: a quote whose time value is within the tolerance is repriced by
// every σ up to the root, however steep the price is there.
TEST(VolSearchUndetermined, ATimeValueInsideTheToleranceIsUndeterminedEvenWhereThePriceIsSteep) {
    auto exercised = [](double vol) { return vol < 0.4 ? 45.0 : 45.0 + (vol - 0.4) * (vol - 0.4); };
    const VolSearchBounds bounds{45.0, 100.0, 100.0, 0.2, NaN};
    EXPECT_EQ(search_implied_vol(45.0 + 5e-9, bounds, exercised).result.status, Status::Undetermined);
    const VolSearchResult clear = search_implied_vol(45.0 + 1e-4, bounds, exercised);
    ASSERT_EQ(clear.result.status, Status::Solved);
    EXPECT_NEAR(clear.result.vol, 0.41, 1e-6);
}

// A price that jumps over the quote has no σ that reprices it.
TEST(VolSearchUndetermined, APriceThatJumpsOverTheQuoteHasNoAnswer) {
    auto step = [](double vol) { return vol < 0.3 ? 45.0 + vol : 46.0 + vol; };
    const VolSearchResult r = search_implied_vol(45.8, VolSearchBounds{45.0, 100.0, 100.0, 0.1, NaN}, step);
    EXPECT_EQ(r.result.status, Status::Undetermined);
}

}  // namespace
}  // namespace sorvik
