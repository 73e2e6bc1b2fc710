// bench/cpp/bench_engine.cpp: closed-form pricer, implied volatility, finite-difference and exercise-boundary valuations.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "american/spectral_engine.hpp"
#include "american/spectral_implied_vol.hpp"
#include "fdm/fdm_solver.hpp"
#include "pricing/analytic.hpp"
#include "pricing/implied_vol.hpp"

namespace {

using sorvik::ExerciseStyle;
using sorvik::OptionType;

/// Price and the five greeks, S = K = 100, r = 5%, σ = 20%, T = 1.
void closed_form(benchmark::State& state, OptionType type) {
    double spot = 100.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(spot);  // keeps the call from being folded
        const sorvik::OptionResult r = sorvik::price_analytic(type, 100.0, sorvik::MarketNumbers{spot, 1.0, 0.05, 0.0, 0.2});
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK_CAPTURE(closed_form, call, OptionType::Call);
BENCHMARK_CAPTURE(closed_form, put, OptionType::Put);

struct Quote {
    double price;
    OptionType type;
    double strike;
    sorvik::MarketNumbers market;
};

/// Quotes priced by the closed form on a grid of strikes (as K/S) and
/// volatilities, calls and puts alternating; S = 100, r = 3%, q = 1%.
std::vector<Quote> quotes(double years, std::vector<double> moneyness, double vol_low, double vol_high) {
    std::vector<Quote> out;
    constexpr int kVols = 16;
    for (const double k : moneyness) {
        for (int i = 0; i < kVols; ++i) {
            const double vol = vol_low + (vol_high - vol_low) * i / (kVols - 1);
            const OptionType type = i % 2 == 0 ? OptionType::Call : OptionType::Put;
            const sorvik::MarketNumbers market{100.0, years, 0.03, 0.01, vol};
            const double price = sorvik::price_analytic(type, 100.0 * k, market).price;
            out.push_back(Quote{price, type, 100.0 * k, market});
        }
    }
    return out;
}

/// One pass over the quotes per iteration; reports the time per quote.
void implied_vol(benchmark::State& state, const std::vector<Quote>& set) {
    for (auto _ : state) {
        for (const Quote& q : set) {
            benchmark::DoNotOptimize(sorvik::implied_vol_european(q.price, q.type, q.strike, q.market));
        }
    }
    state.counters["per_quote"] = benchmark::Counter(
        static_cast<double>(set.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
// Near the money, one year, σ from 5% to 80%.
BENCHMARK_CAPTURE(implied_vol, atm, quotes(1.0, {0.95, 1.0, 1.05}, 0.05, 0.8));
// Far strikes, in and out of the money, two years, σ from 20% to 80%.
BENCHMARK_CAPTURE(implied_vol, wings, quotes(2.0, {0.3, 0.5, 2.0, 3.5}, 0.2, 0.8));
// One day to expiry, strikes within 3% of the spot, σ from 10% to 100%.
BENCHMARK_CAPTURE(implied_vol, tiny_t, quotes(1.0 / 365.0, {0.97, 0.99, 1.0, 1.01, 1.03}, 0.1, 1.0));

/// One valuation per iteration, S = K = 100, r = 5%, σ = 20%, T = 1.
/// Args: nodes, time steps. Reports ns per node-step as well.
void grid_put(benchmark::State& state, ExerciseStyle style) {
    const auto nodes = static_cast<uint64_t>(state.range(0));
    const auto steps = static_cast<uint64_t>(state.range(1));
    const sorvik::FdmProblem problem{{OptionType::Put, 100.0}, style, {100.0, 1.0, 0.05, 0.0, 0.2},
                                     sorvik::FdmSettings{nodes, steps, 6.0}, std::nullopt};
    for (auto _ : state) {
        benchmark::DoNotOptimize(sorvik::solve_fdm(problem));
    }
    // Seconds per node-step (printed with an SI prefix, e.g. "8.2n" = 8.2 ns).
    state.counters["per_node_step"] = benchmark::Counter(
        static_cast<double>(nodes * steps),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(grid_put, european, ExerciseStyle::European)
    ->Args({1001, 50})
    ->Args({4001, 200})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(grid_put, american, ExerciseStyle::American)
    ->Args({1001, 50})
    ->Args({4001, 200})
    ->Unit(benchmark::kMillisecond);

/// A book of American puts (spots 80 … 120) valued one by one or stepped
/// together; reports time per option.
void american_book(benchmark::State& state, bool together) {
    std::vector<sorvik::FdmProblem> book;
    for (int i = 0; i < 64; ++i) {
        book.push_back({{OptionType::Put, 100.0}, ExerciseStyle::American, {80.0 + 0.625 * i, 1.0, 0.05, 0.0, 0.2}, {}, std::nullopt});
    }
    std::vector<sorvik::FdmOutcome> out(book.size());
    for (auto _ : state) {
        if (together) {
            sorvik::solve_fdm_many(book, out);
        } else {
            for (std::size_t i = 0; i < book.size(); ++i) out[i] = sorvik::solve_fdm(book[i]);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["per_option"] = benchmark::Counter(static_cast<double>(book.size()),
                                                      benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(american_book, one_by_one, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(american_book, stepped_together, true)->Unit(benchmark::kMillisecond);

/// 64 Americans by the exercise-boundary engine, all six outputs: calls and
/// puts alternating, spots 80 … 120, T 1 month … 5 years, σ 15% … 45%,
/// r = 4%, q = 2% (every one of them valued, none exercised at once).
std::vector<sorvik::BookEntry> spectral_book() {
    std::vector<sorvik::BookEntry> book;
    for (int i = 0; i < 64; ++i) {
        const OptionType type = i % 2 == 0 ? OptionType::Put : OptionType::Call;
        const double years = 1.0 / 12.0 + (5.0 - 1.0 / 12.0) * (i % 8) / 7.0;
        const double vol = 0.15 + 0.3 * (i / 8) / 7.0;
        book.push_back({type, ExerciseStyle::American, 100.0, {80.0 + 0.625 * i, years, 0.04, 0.02, vol}});
    }
    return book;
}

/// The book in one call (per_option: time per option).
void spectral(benchmark::State& state, sorvik::SpectralPrecision precision) {
    const std::vector<sorvik::BookEntry> book = spectral_book();
    std::vector<sorvik::OptionResult> out(book.size());
    std::vector<sorvik::SpectralStatus> status(book.size());
    for (auto _ : state) {
        sorvik::value_spectral(book, precision, out, status);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["per_option"] = benchmark::Counter(static_cast<double>(book.size()),
                                                      benchmark::Counter::kIsIterationInvariantRate |
                                                          benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(spectral, standard, sorvik::SpectralPrecision::Standard)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(spectral, high, sorvik::SpectralPrecision::High)->Unit(benchmark::kMicrosecond);

/// One option per call through the single-option entry point (an at-the-money
/// put, T = 1, r = 5%, σ = 20%).
void spectral_one(benchmark::State& state, sorvik::SpectralPrecision precision) {
    double spot = 100.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(spot);
        const sorvik::BookEntry e{OptionType::Put, ExerciseStyle::American, 100.0, {spot, 1.0, 0.05, 0.0, 0.2}};
        benchmark::DoNotOptimize(sorvik::value_spectral(e, precision));
    }
}
BENCHMARK_CAPTURE(spectral_one, standard, sorvik::SpectralPrecision::Standard)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(spectral_one, high, sorvik::SpectralPrecision::High)->Unit(benchmark::kMicrosecond);

/// American implied vols of the book's own prices (per_quote: time per quote).
void spectral_implied_vol(benchmark::State& state, sorvik::SpectralPrecision precision) {
    const std::vector<sorvik::BookEntry> book = spectral_book();
    std::vector<sorvik::OptionResult> prices(book.size());
    std::vector<sorvik::SpectralStatus> status(book.size());
    sorvik::value_spectral(book, precision, prices, status);
    std::vector<double> quotes;
    for (const sorvik::OptionResult& r : prices) quotes.push_back(r.price);
    std::vector<sorvik::SpectralImpliedVol> out(book.size());
    for (auto _ : state) {
        sorvik::implied_vol_spectral(quotes, book, precision, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["per_quote"] = benchmark::Counter(static_cast<double>(book.size()),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(spectral_implied_vol, standard, sorvik::SpectralPrecision::Standard)->Unit(benchmark::kMicrosecond);

}  // namespace
