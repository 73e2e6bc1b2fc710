// bench/cpp/bench_engine.cpp: closed-form pricer and finite-difference valuations.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "fdm/fdm_solver.hpp"
#include "pricing/analytic.hpp"

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

/// One valuation per iteration, S = K = 100, r = 5%, σ = 20%, T = 1.
/// Args: nodes, time steps. Reports ns per node-step as well.
void grid_put(benchmark::State& state, ExerciseStyle style) {
    const auto nodes = static_cast<uint64_t>(state.range(0));
    const auto steps = static_cast<uint64_t>(state.range(1));
    const sorvik::FdmProblem problem{{OptionType::Put, 100.0}, style, {100.0, 1.0, 0.05, 0.0, 0.2},
                                     sorvik::FdmSettings{nodes, steps, 6.0}};
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
        book.push_back({{OptionType::Put, 100.0}, ExerciseStyle::American, {80.0 + 0.625 * i, 1.0, 0.05, 0.0, 0.2}, {}});
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

}  // namespace
