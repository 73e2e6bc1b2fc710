// tests/core/test_spectral.cpp: the exercise-boundary engine against a peer, the closed form, its own finer counts and no-arbitrage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <vector>

#include "american/boundary_put.hpp"
#include "american/lane_math.hpp"
#include "american/spectral_engine.hpp"
#include "american/spectral_implied_vol.hpp"
#include "fdm/fdm_solver.hpp"
#include "pricing/analytic.hpp"
#include "spectral_fixture.hpp"

namespace sorvik {

// Test names print an entry's numbers, not its bytes (found by argument-dependent lookup).
void PrintTo(const BookEntry& e, std::ostream* os) {
    *os << (e.type == OptionType::Put ? "put" : "call") << " S=" << e.market.spot << " K=" << e.strike
        << " T=" << e.market.years << " r=" << e.market.rate << " q=" << e.market.dividend_yield
        << " vol=" << e.market.vol;
}

namespace {

constexpr auto Put = OptionType::Put;
constexpr auto Call = OptionType::Call;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

BookEntry american(OptionType type, double spot, double strike, double years, double rate, double yield, double vol) {
    return BookEntry{type, ExerciseStyle::American, strike, MarketNumbers{spot, years, rate, yield, vol}};
}

/// Far finer counts than High: the reference the levels are held to.
const SpectralScheme& reference() {
    static const SpectralScheme scheme(SpectralCounts{{{4, 8, 4}, {8, 8, 2}, {16, 16, 2}, {32, 32, 2}, {64, 64, 3}}, 256});
    return scheme;
}

OptionResult value(const BookEntry& e, const SpectralScheme& scheme) {
    OptionResult r;
    SpectralStatus s;
    value_spectral(std::span<const BookEntry>(&e, 1), scheme, std::span<OptionResult>(&r, 1),
                   std::span<SpectralStatus>(&s, 1));
    EXPECT_EQ(s, SpectralStatus::Valued);
    return r;
}

double scale(const BookEntry& e) { return std::max(e.market.spot, e.strike); }

BookEntry fixture_entry(const testing::FixtureOption& f) {
    return american(f.type, f.spot, f.strike, f.years, f.rate, f.dividend_yield, f.vol);
}

// ---------------------------------------------------------------- accuracy

// The peer's high-precision scheme is itself good to about 5e-8·max(S, K)
// (measured on a random set), so two independent methods agreeing to 1e-7
// rules out a wrong equation; the levels are then held to their documented
// accuracy against the finer reference.
TEST(SpectralAccuracy, FinerCountsAgreeWithThePeerAndEachLevelWithTheFinerCounts) {
    for (const testing::FixtureOption& f : testing::kSpectralFixture) {
        const BookEntry e = fixture_entry(f);
        SCOPED_TRACE(::testing::Message() << (f.type == Put ? "put" : "call") << " S=" << f.spot << " K=" << f.strike
                                          << " T=" << f.years << " r=" << f.rate << " q=" << f.dividend_yield
                                          << " vol=" << f.vol);
        const double ref = value(e, reference()).price;
        EXPECT_NEAR(ref, f.price, 1e-7 * scale(e));
        EXPECT_NEAR(value(e, SpectralScheme::of(SpectralPrecision::Standard)).price, ref, 1e-7 * scale(e));
        EXPECT_NEAR(value(e, SpectralScheme::of(SpectralPrecision::High)).price, ref, 1e-9 * scale(e));
    }
}

// Greeks against central differences of the reference price, at Standard:
// delta to 1e-6, the others to 1e-4 relative where they are not small
// (gamma·S, |theta|, vega, |rho| ≥ 1e-3·max(S, K); below, to 1e-4 of that
// size); one spot 1% above the boundary, where the premium's integrand turns
// within a thin layer.
class SpectralGreeks : public ::testing::TestWithParam<BookEntry> {};

TEST_P(SpectralGreeks, MatchCentralDifferencesOfTheReferencePrice) {
    const BookEntry e = GetParam();
    const MarketNumbers& m = e.market;
    auto price = [&](auto change) {
        BookEntry b = e;
        change(b.market);
        return value(b, reference()).price;
    };
    const double h = 2e-4 * m.spot * std::min(1.0, m.vol * std::sqrt(m.years)), wide = 10.0 * h;
    const double p0 = price([](MarketNumbers&) {});
    const double delta = (price([&](MarketNumbers& x) { x.spot += h; }) - price([&](MarketNumbers& x) { x.spot -= h; })) /
                         (2.0 * h);
    const double gamma = (price([&](MarketNumbers& x) { x.spot += wide; }) - 2.0 * p0 +
                          price([&](MarketNumbers& x) { x.spot -= wide; })) /
                         (wide * wide);
    const double dt = std::min(1e-4, 0.01 * m.years);
    const double theta =
        -(price([&](MarketNumbers& x) { x.years += dt; }) - price([&](MarketNumbers& x) { x.years -= dt; })) / (2.0 * dt);
    const double vega =
        (price([&](MarketNumbers& x) { x.vol += 1e-4; }) - price([&](MarketNumbers& x) { x.vol -= 1e-4; })) / 2e-4;
    const double rho =
        (price([&](MarketNumbers& x) { x.rate += 1e-5; }) - price([&](MarketNumbers& x) { x.rate -= 1e-5; })) / 2e-5;

    const Greeks g = value(e, SpectralScheme::of(SpectralPrecision::Standard)).greeks;
    const double small = 1e-3 * scale(e);
    EXPECT_NEAR(g.delta, delta, 1e-6);
    EXPECT_NEAR(g.gamma, gamma, 1e-4 * std::max(std::fabs(gamma), 1e-3 / m.spot));
    EXPECT_NEAR(g.theta, theta, 1e-4 * std::max(std::fabs(theta), small));
    EXPECT_NEAR(*g.vega, vega, 1e-4 * std::max(std::fabs(vega), small));
    EXPECT_NEAR(*g.rho, rho, 1e-4 * std::max(std::fabs(rho), small));
}

/// The put 1% above its boundary at the valuation date.
BookEntry near_boundary_put() {
    const BoundaryPut p{100.0, 100.0, 1.0, 0.05, 0.0, 0.2};
    std::vector<double> b(reference().fine().nodes + 1);
    exercise_boundary(p, reference(), b);
    return american(Put, 1.01 * b.back(), 100.0, 1.0, 0.05, 0.0, 0.2);
}

INSTANTIATE_TEST_SUITE_P(
    Options, SpectralGreeks,
    ::testing::Values(american(Put, 100.0, 100.0, 1.0, 0.05, 0.0, 0.2),       // r > q: boundary from the strike
                      american(Put, 90.0, 100.0, 2.0, 0.03, 0.07, 0.45),      // r < q: boundary from K·r/q
                      american(Put, 105.0, 100.0, 10.0, 0.1, 0.0, 0.05),      // drift well past the spread
                      american(Call, 115.0, 100.0, 0.5, 0.04, 0.09, 0.3),     // a call: its put's greeks mapped
                      american(Call, 100.0, 100.0, 7.5, 0.03, 0.082, 0.059),  // where a plain fixed point diverges
                      // r just below q, and the mirrored call (q just below r, its rho the put's
                      // yield sensitivity): the boundary barely below the strike at expiry
                      american(Put, 77.4303327763763, 100.0, 0.1726027397260274, 0.0051, 0.005109072888952382, 0.8807226856567114),
                      american(Call, 100.0, 77.4303327763763, 0.1726027397260274, 0.005109072888952382, 0.0051, 0.8807226856567114),
                      near_boundary_put()));

// ---------------------------------------------------------------- limits and no-arbitrage

TEST(SpectralLimits, NeverExercisedAmericansAreTheClosedFormBitForBit) {
    for (const BookEntry& e : {american(Put, 95.0, 100.0, 1.0, 0.0, 0.02, 0.3), american(Put, 95.0, 100.0, 1.0, -0.01, 0.0, 0.3),
                               american(Call, 105.0, 100.0, 1.0, 0.05, 0.0, 0.3), american(Call, 105.0, 100.0, 1.0, 0.0, -0.02, 0.3)}) {
        const SpectralOutcome o = value_spectral(e, SpectralPrecision::Standard);
        const OptionResult exact = price_analytic(e.type, e.strike, e.market);
        EXPECT_EQ(o.status, SpectralStatus::European);
        EXPECT_EQ(o.result.price, exact.price);
        EXPECT_EQ(o.result.greeks.delta, exact.greeks.delta);
        EXPECT_EQ(*o.result.greeks.rho, *exact.greeks.rho);
    }
}

TEST(SpectralLimits, DeepInTheMoneyIsThePayoffWithItsGreeks) {
    for (const BookEntry& e : {american(Put, 50.0, 100.0, 1.0, 0.05, 0.0, 0.2), american(Call, 200.0, 100.0, 1.0, 0.02, 0.08, 0.2)}) {
        const OptionResult r = value_spectral(e, SpectralPrecision::Standard).result;
        const bool put = e.type == Put;
        EXPECT_EQ(r.price, put ? e.strike - e.market.spot : e.market.spot - e.strike);
        EXPECT_EQ(r.greeks.delta, put ? -1.0 : 1.0);
        EXPECT_EQ(r.greeks.gamma, 0.0);
        EXPECT_EQ(r.greeks.theta, 0.0);
        EXPECT_EQ(*r.greeks.vega, 0.0);
        EXPECT_EQ(*r.greeks.rho, 0.0);
    }
}

// As T → 0 the premium vanishes: an at-the-money put an hour from expiry is
// worth its European value to within the premium's order, rT·K·N(0).
TEST(SpectralLimits, AnHourFromExpiryThePremiumVanishes) {
    const BookEntry e = american(Put, 100.0, 100.0, 1.0 / 8760.0, 0.05, 0.0, 0.2);
    const double american_price = value_spectral(e, SpectralPrecision::Standard).result.price;
    const double european = price_analytic(Put, 100.0, e.market).price;
    EXPECT_GE(american_price, european);
    EXPECT_LE(american_price - european, 0.05 / 8760.0 * 100.0 * 0.5);
}

TEST(SpectralNoArbitrage, AboveEuropeanAndPayoffMonotoneInSpotAndStrikeConvexInStrike) {
    for (const OptionType type : {Put, Call}) {
        std::vector<double> by_strike;
        for (int i = 0; i <= 40; ++i) {
            const double strike = 80.0 + i;
            const BookEntry e = american(type, 100.0, strike, 1.5, 0.04, 0.06, 0.3);
            const double p = value_spectral(e, SpectralPrecision::Standard).result.price;
            const double payoff = type == Put ? strike - 100.0 : 100.0 - strike;
            EXPECT_GE(p, price_analytic(type, strike, e.market).price - 1e-12);
            EXPECT_GE(p, payoff);
            by_strike.push_back(p);
        }
        // A put rises with its strike, a call falls; both are convex in it.
        const double sign = type == Put ? 1.0 : -1.0;
        for (std::size_t i = 1; i < by_strike.size(); ++i) {
            EXPECT_GT(sign * (by_strike[i] - by_strike[i - 1]), 0.0);
            if (i + 1 < by_strike.size()) {
                EXPECT_GE(by_strike[i + 1] - 2.0 * by_strike[i] + by_strike[i - 1], -1e-9);
            }
        }
        // And the other way round in the spot.
        double previous = NaN;
        for (int i = 0; i <= 40; ++i) {
            const double p = value_spectral(american(type, 80.0 + i, 100.0, 1.5, 0.04, 0.06, 0.3), SpectralPrecision::Standard)
                                 .result.price;
            if (i > 0) {
                EXPECT_LE(sign * (p - previous), 0.0);
            }
            previous = p;
        }
    }
}

// An implied-volatility search needs the price smooth in σ. With counts
// fixed there is no step where an iteration or quadrature count would
// change: third differences on a fine σ ladder stay at rounding size (the
// smooth part, P'''·h³, is below 1e-12 here), where a jump of 1e-10 would
// show whole.
TEST(SpectralSmoothness, PriceIsSmoothInVol) {
    for (const OptionType type : {Put, Call}) {
        std::vector<double> p;
        for (int i = 0; i <= 100; ++i) {
            const double vol = 0.2 + 1e-5 * i;
            p.push_back(value_spectral(american(type, 100.0, 100.0, 2.0, 0.05, 0.03, vol), SpectralPrecision::Standard)
                            .result.price);
        }
        for (std::size_t i = 3; i < p.size(); ++i) {
            const double third = p[i] - 3.0 * p[i - 1] + 3.0 * p[i - 2] - p[i - 3];
            EXPECT_LT(std::fabs(third), 2e-11) << "vol " << 0.2 + 1e-5 * static_cast<double>(i);
        }
    }
}

// ---------------------------------------------------------------- statuses and batches

TEST(SpectralStatuses, WhatTheEngineDoesNotValueIsReportedNotFaulted) {
    const double huge = 1e308, tiny = 1e-308;
    struct Case {
        BookEntry entry;
        SpectralStatus status;
    };
    const Case cases[] = {
        {BookEntry{Put, ExerciseStyle::European, 100.0, {90.0, 1.0, 0.05, 0.0, 0.2}}, SpectralStatus::European},
        {american(Put, 90.0, 100.0, 1.0, -0.01, -0.03, 0.2), SpectralStatus::TwoBoundaries},
        {american(Call, 110.0, 100.0, 1.0, -0.03, -0.01, 0.2), SpectralStatus::TwoBoundaries},
        {american(Put, 90.0, 100.0, 0.0, 0.05, 0.0, 0.2), SpectralStatus::NoSpread},
        {american(Put, 90.0, 100.0, 1.0, 0.05, 0.0, 0.0), SpectralStatus::NoSpread},
        {american(Put, 100.0, 100.0, 10.0, 0.1, 0.0, 0.03), SpectralStatus::DriftDominated},
        {american(Put, huge, tiny, 1.0, 0.05, 0.0, 0.2), SpectralStatus::Unusable},
        {american(Put, tiny, huge, 1.0, 0.05, 0.0, 0.2), SpectralStatus::Unusable},
        {american(Put, NaN, 100.0, 1.0, 0.05, 0.0, 0.2), SpectralStatus::Unusable},
        {american(Put, 100.0, 100.0, 1.0, 0.05, 0.0, HUGE_VAL), SpectralStatus::Unusable},
        {american(Put, 100.0, 100.0, 1e6, 0.05, 0.0, 0.2), SpectralStatus::Unusable},
    };
    for (const Case& c : cases) {
        const SpectralOutcome o = value_spectral(c.entry, SpectralPrecision::Standard);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(spectral_status(c.entry), c.status);
        if (c.status != SpectralStatus::European) {
            EXPECT_TRUE(std::isnan(o.result.price));
            EXPECT_GT(std::strlen(spectral_status_reason(c.status)), 0u);
        }
    }
}

// Numbers at the edges of what is valued: every result finite.
TEST(SpectralStatuses, ValuedEntriesAreFiniteAcrossExtremeNumbers) {
    std::vector<BookEntry> book;
    for (const double moneyness : {1e-6, 0.3, 1.0, 3.0, 1e6}) {
        for (const double years : {1e-9, 1e-3, 1.0, 100.0}) {
            for (const double vol : {0.01, 0.3, 5.0}) {
                for (const auto& [r, q] : {std::pair{0.05, 0.0}, std::pair{0.01, 0.2}, std::pair{0.0, -0.05}}) {
                    book.push_back(american(Put, 100.0 * moneyness, 100.0, years, r, q, vol));
                    book.push_back(american(Call, 100.0 * moneyness, 100.0, years, q, r, vol));
                }
            }
        }
    }
    std::vector<OptionResult> out(book.size());
    std::vector<SpectralStatus> status(book.size());
    value_spectral(book, SpectralPrecision::Standard, out, status);
    for (std::size_t i = 0; i < book.size(); ++i) {
        if (status[i] != SpectralStatus::Valued) continue;
        const Greeks& g = out[i].greeks;
        for (const double v : {out[i].price, g.delta, g.gamma, g.theta, *g.vega, *g.rho}) {
            EXPECT_TRUE(std::isfinite(v)) << "entry " << i;
        }
    }
}

TEST(SpectralBatch, EveryResultHasTheBitsOfItsEntryAlone) {
    std::vector<BookEntry> book;
    for (int i = 0; i < 9; ++i) {
        book.push_back(american(i % 2 ? Put : Call, 80.0 + 5.0 * i, 100.0, 0.25 + 0.5 * i, 0.01 * i, 0.08 - 0.01 * i, 0.2));
    }
    std::vector<OptionResult> out(book.size());
    std::vector<SpectralStatus> status(book.size());
    value_spectral(book, SpectralPrecision::Standard, out, status);
    for (std::size_t i = 0; i < book.size(); ++i) {
        const OptionResult alone = value_spectral(book[i], SpectralPrecision::Standard).result;
        EXPECT_EQ(std::memcmp(&alone.price, &out[i].price, sizeof(double)), 0);
        EXPECT_EQ(std::memcmp(&*alone.greeks.vega, &*out[i].greeks.vega, sizeof(double)), 0);
    }
}

TEST(SpectralBatch, ThePriceAloneHasTheBitsOfTheFullValuation) {
    BoundaryPutPricer pricer(SpectralScheme::of(SpectralPrecision::Standard));
    for (const BoundaryPut& p : {BoundaryPut{100.0, 100.0, 1.0, 0.05, 0.0, 0.2}, BoundaryPut{90.0, 100.0, 3.0, 0.02, 0.07, 0.5}}) {
        const double alone = pricer.price(p), full = pricer.value(p).price;
        EXPECT_EQ(std::memcmp(&alone, &full, sizeof(double)), 0);
    }
}

// ---------------------------------------------------------------- implied volatility

double reprice(const BookEntry& e, double vol) {
    BookEntry b = e;
    b.market.vol = vol;
    return value_spectral(b, SpectralPrecision::Standard).result.price;
}

TEST(SpectralImpliedVolTest, RecoversTheVolOfTheEnginesOwnPrices) {
    for (const BookEntry& e : {american(Put, 100.0, 100.0, 1.0, 0.05, 0.0, 0.25), american(Put, 85.0, 100.0, 0.3, 0.03, 0.06, 0.6),
                               american(Call, 105.0, 100.0, 4.0, 0.02, 0.07, 0.3), american(Call, 95.0, 100.0, 0.05, 0.08, 0.09, 0.9)}) {
        const double quote = value_spectral(e, SpectralPrecision::Standard).result.price;
        const SpectralImpliedVol iv = implied_vol_spectral(quote, e, SpectralPrecision::Standard);
        ASSERT_EQ(iv.status, SpectralStatus::Valued);
        ASSERT_EQ(iv.search.result.status, ImpliedVol::Status::Solved);
        EXPECT_NEAR(iv.search.result.vol, e.market.vol, 1e-7);
        EXPECT_NEAR(reprice(e, iv.search.result.vol), quote, kRepriceTolerance * scale(e));
    }
}

// The rules for quotes at the payoff: at the sure value (to a relative
// 1e-12) σ is 0; a time value the tolerance swallows tells no σ; every σ
// returned reprices the quote.
TEST(SpectralImpliedVolTest, QuotesAtThePayoffFollowTheRules) {
    const BookEntry deep = american(Put, 55.0, 100.0, 2.0, 0.08, 0.02, NaN);  // worth its payoff up to a large σ
    const SpectralImpliedVol at = implied_vol_spectral(std::nextafter(45.0, 0.0), deep, SpectralPrecision::Standard);
    EXPECT_EQ(at.search.result.status, ImpliedVol::Status::Solved);
    EXPECT_EQ(at.search.result.vol, 0.0);
    const SpectralImpliedVol tiny = implied_vol_spectral(45.0 + 1e-9, deep, SpectralPrecision::Standard);
    EXPECT_EQ(tiny.search.result.status, ImpliedVol::Status::Undetermined);
    for (const double time_value : {2.8e-7, 1e-5, 1e-3}) {
        const SpectralImpliedVol iv = implied_vol_spectral(45.0 + time_value, deep, SpectralPrecision::Standard);
        if (iv.search.result.status == ImpliedVol::Status::Solved) {
            EXPECT_NEAR(reprice(deep, iv.search.result.vol), 45.0 + time_value, kRepriceTolerance * 100.0);
        } else {
            EXPECT_EQ(iv.search.result.status, ImpliedVol::Status::Undetermined);
        }
    }
    const SpectralImpliedVol below = implied_vol_spectral(44.0, deep, SpectralPrecision::Standard);
    EXPECT_EQ(below.search.result.status, ImpliedVol::Status::BelowLowerBound);
}

TEST(SpectralImpliedVolTest, OutsideTheEnginesRangeTheQuoteIsLeftToTheCaller) {
    // σ = 0.3% is below where the drift rule lets the engine value this put: the grid's to find.
    const BookEntry e = american(Put, 100.0, 100.0, 1.0, 0.05, 0.0, NaN);
    BookEntry at = e;
    at.market.vol = 0.003;
    FdmProblem sure{VanillaPayoff{Put, 100.0}, ExerciseStyle::American, at.market, FdmSettings{}, std::nullopt};
    sure.market.vol = 0.0;
    const double quote = deterministic_outcome(sure).price + 1e-4;
    const SpectralImpliedVol iv = implied_vol_spectral(quote, e, SpectralPrecision::Standard);
    EXPECT_EQ(iv.status, SpectralStatus::DriftDominated);
    EXPECT_TRUE(std::isnan(iv.search.result.vol));
    // A European entry is the closed form's.
    const BookEntry european{Put, ExerciseStyle::European, 100.0, {100.0, 1.0, 0.05, 0.0, 0.2}};
    const double price = price_analytic(Put, 100.0, european.market).price;
    const SpectralImpliedVol closed = implied_vol_spectral(price, european, SpectralPrecision::Standard);
    EXPECT_EQ(closed.status, SpectralStatus::European);
    EXPECT_NEAR(closed.search.result.vol, 0.2, 1e-12);
}

// ---------------------------------------------------------------- lane arithmetic

TEST(SpectralLanes, ExpAndErfcxWithinAFewUlpAndPairsMatchTheScalarBits) {
    for (double x = -600.0; x < 700.0; x += 0.731) {
        EXPECT_NEAR(lanes::exp(x), std::exp(x), 8e-16 * std::exp(x));
        const lanes::Pair p = lanes::exp(lanes::Pair{x, -x});
        EXPECT_EQ(p[0], lanes::exp(x));
        EXPECT_EQ(p[1], lanes::exp(-x));
    }
    EXPECT_EQ(lanes::exp(-700.0), lanes::exp(-600.0));  // flat below, never subnormal
    // The range limits, in either lane and on a double alike: flat beyond
    // both ends, NaN passed through (never taken for a limit).
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (const double x : {-inf, -1e308, -700.0, 709.0, 710.0, 1e308, inf, NaN}) {
        const double scalar = lanes::exp(x), flat = x < 0.0 ? lanes::exp(-600.0) : lanes::exp(709.0);
        if (x != x) {
            EXPECT_TRUE(std::isnan(scalar));
        } else {
            EXPECT_EQ(scalar, flat) << x;
        }
        for (const double lane : {lanes::exp(lanes::Pair{x, 0.0})[0], lanes::exp(lanes::Pair{0.0, x})[1]}) {
            EXPECT_TRUE(x != x ? std::isnan(lane) : lane == scalar) << x;
        }
    }
    EXPECT_TRUE(std::isnan(lanes::erfcx(NaN)));
    EXPECT_TRUE(std::isnan(lanes::erfcx(lanes::Pair{0.0, NaN})[1]));
    EXPECT_EQ(lanes::erfcx(inf), lanes::erfcx(1e300));
    EXPECT_EQ(lanes::erfcx(lanes::Pair{inf, 1.0})[0], lanes::erfcx(1e300));
    for (double z = 0.0; z < 25.0; z += 0.0137) {
        // erfc(z)·e^(z²) in long double for the comparison.
        const long double exact = std::erfc(static_cast<long double>(z)) * std::exp(static_cast<long double>(z) * z);
        EXPECT_NEAR(lanes::erfcx(z), static_cast<double>(exact), 1e-15 * static_cast<double>(exact));
    }
}

}  // namespace
}  // namespace sorvik
