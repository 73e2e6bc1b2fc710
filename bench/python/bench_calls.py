"""Per-call cost of sorvik's small calls next to the interpreter's own floor.

Times object construction, years_to_expiry and curve/surface lookups beside
plain C-implemented calls (`math.exp(1.0)`, `datetime.timedelta(1)`) in the
same process, and prints medians of repeated timings with their ratios.

    python bench/python/bench_calls.py
"""
import datetime as dt
import math  # noqa: F401 - used by the timed statements
import statistics
import timeit

import sorvik

UTC = dt.timezone.utc
DCC = sorvik.DayCountConvention.Act365Fixed
EXPIRY = dt.datetime(2025, 6, 20, 16, tzinfo=UTC)
VALUATION = dt.datetime(2024, 1, 1, tzinfo=UTC)
# Any other zone goes through the datetime's own utcoffset() and timestamp().
VALUATION_IST = VALUATION.astimezone(dt.timezone(dt.timedelta(hours=5, minutes=30)))
CALL, EUROPEAN = sorvik.OptionType.Call, sorvik.ExerciseStyle.European
OPTION = sorvik.StockOption(100.0, EXPIRY, CALL, EUROPEAN)
FLAT = sorvik.RateCurve.continuous(0.05, DCC)
RATES = [sorvik.InterestRate(0.03 + 0.001 * k, sorvik.Compounding.continuous(), DCC) for k in range(30)]
PILLARS = sorvik.RateCurve.interpolated(dt.date(2024, 1, 1), [sorvik.Tenor.years(k + 1) for k in range(30)], RATES)
SURFACE = sorvik.VolSurface.flat(0.2, DCC)

CASES = {
    "math.exp(1.0)": "math.exp(1.0)",
    "datetime.timedelta(1)": "dt.timedelta(1)",
    "aware.timestamp()  [the interpreter's own]": "VALUATION.timestamp()",
    "StockOption(...)": "sorvik.StockOption(100.0, EXPIRY, CALL, EUROPEAN)",
    "years_to_expiry(aware UTC)": "OPTION.years_to_expiry(VALUATION)",
    "years_to_expiry(aware +05:30)": "OPTION.years_to_expiry(VALUATION_IST)",
    "years_to_expiry()  [clock]": "OPTION.years_to_expiry()",
    "continuous.zero_rate(1.0)": "FLAT.zero_rate(1.0)",
    "continuous.discount_factor(1.0)": "FLAT.discount_factor(1.0)",
    "interpolated(30).zero_rate(1.0)": "PILLARS.zero_rate(1.0)",
    "interpolated(30).discount_factor(1.0)": "PILLARS.discount_factor(1.0)",
    "surface.volatility(100.0, 1.0)": "SURFACE.volatility(100.0, 1.0)",
}


def median_ns(stmt, number=200_000, repeat=15):
    runs = timeit.repeat(stmt, number=number, repeat=repeat, globals=globals())
    return statistics.median(runs) / number * 1e9


def main():
    results = {name: median_ns(stmt) for name, stmt in CASES.items()}
    exp, timedelta = results["math.exp(1.0)"], results["datetime.timedelta(1)"]
    print(f"{'call':44s} {'median':>9s}   {'/exp':>6s} {'/timedelta':>10s}")
    for name, ns in results.items():
        print(f"{name:44s} {ns:7.1f} ns   {ns / exp:5.2f}x {ns / timedelta:9.2f}x")


if __name__ == "__main__":
    main()
