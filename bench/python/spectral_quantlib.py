"""QuantLib's QdFpAmericanEngine on the exercise-boundary engine's accuracy set: time and error.

Reads the set and its reference prices written by the C++ measurement

    cmake -S . -B build-bench -DSORVIK_BUILD_PYTHON=OFF -DSORVIK_BUILD_BENCH=ON
    cmake --build build-bench -j2 --target spectral_accuracy
    ./build-bench/spectral_accuracy 1000 20250101 /tmp/spectral_set.csv
    python bench/python/spectral_quantlib.py /tmp/spectral_set.csv

and values every option with the peer's fast, accurate and high-precision schemes: objects
built once, only the first valuation timed (CPU time of this process), errors relative to
max(S, K) against the reference (the engine at 64 nodes, far finer than either level).
"""

from __future__ import annotations

import argparse
import csv
import time

import numpy as np
import QuantLib as ql


def build(row: dict[str, str], scheme: ql.QdFpIterationScheme, today: ql.Date) -> ql.VanillaOption:
    day_count = ql.Actual365Fixed()
    spot, strike = float(row["spot"]), float(row["strike"])
    days = round(float(row["years"]) * 365.0)
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(spot)),
        ql.YieldTermStructureHandle(ql.FlatForward(today, float(row["dividend_yield"]), day_count)),
        ql.YieldTermStructureHandle(ql.FlatForward(today, float(row["rate"]), day_count)),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), float(row["vol"]), day_count)),
    )
    kind = ql.Option.Call if row["type"] == "call" else ql.Option.Put
    option = ql.VanillaOption(ql.PlainVanillaPayoff(kind, strike), ql.AmericanExercise(today, today + days))
    option.setPricingEngine(ql.QdFpAmericanEngine(process, scheme))
    return option


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("csv", help="the set written by spectral_accuracy")
    args = parser.parse_args()
    with open(args.csv, newline="") as f:
        rows = list(csv.DictReader(f))
    today = ql.Date(2, 1, 2025)
    ql.Settings.instance().evaluationDate = today
    reference = np.array([float(r["reference"]) for r in rows])
    scale = np.array([max(float(r["spot"]), float(r["strike"])) for r in rows])
    schemes = {
        "fast": ql.QdFpAmericanEngine.fastScheme(),
        "accurate": ql.QdFpAmericanEngine.accurateScheme(),
        "high precision": ql.QdFpAmericanEngine.highPrecisionScheme(),
    }
    print(f"{len(rows)} options; errors relative to max(S, K)")
    print(f"{'scheme':<16} {'us/option':>10} {'max':>9} {'p99':>9} {'median':>9}")
    for name, scheme in schemes.items():
        options = [build(r, scheme, today) for r in rows]
        start = time.process_time()
        prices = np.array([o.NPV() for o in options])
        elapsed = time.process_time() - start
        error = np.abs(prices - reference) / scale
        print(f"{name:<16} {1e6 * elapsed / len(rows):10.1f} {error.max():9.1e} "
              f"{np.percentile(error, 99):9.1e} {np.median(error):9.1e}")


if __name__ == "__main__":
    main()
