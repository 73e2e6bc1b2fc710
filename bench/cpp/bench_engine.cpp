// bench/cpp/bench_engine.cpp: closed-form pricer and finite-difference valuations.
#include <benchmark/benchmark.h>

#include <cstdint>

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
    const sorvik::FdmSolver solver(100.0, 100.0, 1.0, 0.05, 0.2, OptionType::Put, style,
                                   sorvik::FdmSettings{nodes, steps, 6.0});
    for (auto _ : state) {
        benchmark::DoNotOptimize(solver.run());
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

}  // namespace
