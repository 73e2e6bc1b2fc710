"""Per-call cost of curve and surface lookups next to C-implemented calls.

Times `zero_rate(1.0)` and `discount_factor(1.0)` on a continuous and on an
interpolated curve, and `volatility(...)` on a flat surface, beside
`math.exp(1.0)` and `datetime.timedelta(1)` in the same process; prints
medians of repeated timings and their ratios to `math.exp(1.0)`.

    python bench/python/bench_market_calls.py
"""
import datetime as dt
import math
import statistics
import timeit

import sorvik

DCC = sorvik.DayCountConvention.Act365Fixed
FLAT = sorvik.RateCurve.continuous(0.05, DCC)
RATES = [sorvik.InterestRate(0.03 + 0.001 * k, sorvik.Compounding.continuous(), DCC) for k in range(30)]
PILLARS = sorvik.RateCurve.interpolated(dt.date(2024, 1, 1), [sorvik.Tenor.years(k + 1) for k in range(30)], RATES)
SURFACE = sorvik.VolSurface.flat(0.2, DCC)


def median_ns(stmt, number=500_000, repeat=15):
    runs = timeit.repeat(stmt, number=number, repeat=repeat, globals=globals())
    return statistics.median(runs) / number * 1e9


def main():
    cases = {
        "math.exp(1.0)  [floor]": "math.exp(1.0)",
        "datetime.timedelta(1)": "dt.timedelta(1)",
        "continuous.zero_rate(1.0)": "FLAT.zero_rate(1.0)",
        "continuous.discount_factor(1.0)": "FLAT.discount_factor(1.0)",
        "interpolated(30).zero_rate(1.0)": "PILLARS.zero_rate(1.0)",
        "interpolated(30).discount_factor(1.0)": "PILLARS.discount_factor(1.0)",
        "surface.volatility(100.0, 1.0)": "SURFACE.volatility(100.0, 1.0)",
    }
    results = {name: median_ns(stmt) for name, stmt in cases.items()}
    floor = results["math.exp(1.0)  [floor]"]
    for name, ns in results.items():
        print(f"{name:40s} {ns:7.1f} ns   {ns / floor:5.2f}x floor")


if __name__ == "__main__":
    main()
