"""Per-call cost of the binding layer next to the interpreter's own floor.

Runs `StockOption(...)` and `years_to_expiry(aware_datetime)` beside a plain
C-implemented call, `datetime.timedelta(1)`, in the same process, and prints
medians of repeated timings with their ratios to the floor.

    python bench/python/bench_binding.py
"""
import datetime as dt
import statistics
import timeit

import sorvik

UTC = dt.timezone.utc
EXPIRY = dt.datetime(2025, 6, 20, 16, tzinfo=UTC)
VALUATION = dt.datetime(2024, 1, 1, tzinfo=UTC)
CALL, EUROPEAN = sorvik.OptionType.Call, sorvik.ExerciseStyle.European
OPTION = sorvik.StockOption(100.0, EXPIRY, CALL, EUROPEAN)


def median_ns(stmt, number=200_000, repeat=15):
    runs = timeit.repeat(stmt, number=number, repeat=repeat, globals=globals())
    return statistics.median(runs) / number * 1e9


def main():
    cases = {
        "datetime.timedelta(1)  [floor]": "dt.timedelta(1)",
        "StockOption(...)": "sorvik.StockOption(100.0, EXPIRY, CALL, EUROPEAN)",
        "years_to_expiry(aware)": "OPTION.years_to_expiry(VALUATION)",
        "years_to_expiry()  [clock]": "OPTION.years_to_expiry()",
        "aware.timestamp()  [Python's own part]": "VALUATION.timestamp()",
    }
    results = {name: median_ns(stmt) for name, stmt in cases.items()}
    floor = results["datetime.timedelta(1)  [floor]"]
    for name, ns in results.items():
        print(f"{name:42s} {ns:8.1f} ns   {ns / floor:5.2f}x floor")


if __name__ == "__main__":
    main()
