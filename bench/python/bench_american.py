"""American options: the exercise-boundary engine against QuantLib's QdFpAmericanEngine and our grid.

In one process, one thread unless said otherwise:

  1. 300 American puts (K = 100, S 70-130, T 1-24 months, r 0-8 %, q 0-4 %, sigma 10-50 %):
     microseconds per option and error of every engine;
  2. 1,000 random Americans (calls and puts, S/K 0.5-2, T 1 week - 10 years, sigma 5-100 %,
     r and q 0-10 %): the same, with the 99th percentile, and the speed ratios the engine is
     held to; two threads against one;
  3. its greeks on that set against central differences of the high-precision price (spots
     within a bump of the exercise boundary left out);
  4. implied volatilities through it: quotes per second, and how closely each reprices;
  5. Americans with two exercise boundaries (negative rates and yields), which method=None
     leaves to the grid: its error at the default grid against QuantLib's finite-difference
     engine on a fine grid.

Errors are |price - reference| / max(S, K). The reference is the engine's high-precision level,
whose own error is below 1e-9 (checked against a finer setting by bench/cpp/spectral_accuracy.cpp,
and against QuantLib's high-precision scheme, which is off by up to about 5e-8, here).
QuantLib runs through its Python interface with every object built once and only the first
valuation timed (CPU time); sorvik_batch values the whole set in one call. Medians of rounds.

    pip install .[bench]
    python bench/python/bench_american.py            # a few minutes
    python bench/python/bench_american.py --quick    # smoke run
"""
import argparse
import os
import platform
import statistics
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np
import QuantLib as ql

import sorvik_batch as sb
from bench_batch import merge_record

TODAY = ql.Date(2, 1, 2025)
SCHEMES = {"fast": ql.QdFpAmericanEngine.fastScheme, "accurate": ql.QdFpAmericanEngine.accurateScheme,
           "high precision": ql.QdFpAmericanEngine.highPrecisionScheme}


def issue_set(n, seed=11):
    """American puts, K = 100, S 70-130, T 1-24 months (whole days), r 0-8 %, q 0-4 %, sigma 10-50 %."""
    rng = np.random.default_rng(seed)
    days = rng.integers(30, 731, n)
    return dict(spot=rng.uniform(70, 130, n), strike=np.full(n, 100.0), years=days / 365.0,
                rate=rng.uniform(0, 0.08, n), dividend_yield=rng.uniform(0, 0.04, n), vol=rng.uniform(0.1, 0.5, n),
                option_type=np.full(n, "put"))


def random_set(n, seed=12):
    """Calls and puts, S/K 0.5-2, T 1 week - 10 years (whole days), sigma 5-100 %, r and q 0-10 %."""
    rng = np.random.default_rng(seed)
    strike = 100.0
    days = np.round(np.exp(rng.uniform(np.log(7), np.log(3650), n)))
    return dict(spot=strike * np.exp(rng.uniform(np.log(0.5), np.log(2.0), n)), strike=np.full(n, strike),
                years=days / 365.0, rate=rng.uniform(0, 0.1, n), dividend_yield=rng.uniform(0, 0.1, n),
                vol=rng.uniform(0.05, 1.0, n), option_type=rng.choice(["call", "put"], n))


def ours(book, **settings):
    return sb.value(book["spot"], book["strike"], book["years"], book["rate"], book["vol"],
                    option_type=book["option_type"], exercise="american", dividend_yield=book["dividend_yield"],
                    **settings)


def quantlib_options(book, scheme):
    """One QuantLib option per row with its own quotes and curves, as a user would hold them."""
    day_count = ql.Actual365Fixed()
    options = []
    for i in range(len(book["spot"])):
        process = ql.BlackScholesMertonProcess(
            ql.QuoteHandle(ql.SimpleQuote(float(book["spot"][i]))),
            ql.YieldTermStructureHandle(ql.FlatForward(TODAY, float(book["dividend_yield"][i]), day_count)),
            ql.YieldTermStructureHandle(ql.FlatForward(TODAY, float(book["rate"][i]), day_count)),
            ql.BlackVolTermStructureHandle(ql.BlackConstantVol(TODAY, ql.NullCalendar(), float(book["vol"][i]),
                                                               day_count)))
        kind = ql.Option.Call if book["option_type"][i] == "call" else ql.Option.Put
        expiry = TODAY + int(round(book["years"][i] * 365))
        option = ql.VanillaOption(ql.PlainVanillaPayoff(kind, float(book["strike"][i])),
                                  ql.AmericanExercise(TODAY, expiry))
        option.setPricingEngine(ql.QdFpAmericanEngine(process, SCHEMES[scheme]()))
        options.append(option)
    return options


def quantlib(book, scheme, rounds):
    """Prices and the median CPU seconds per option of the first valuation of fresh objects."""
    times, prices = [], None
    for _ in range(rounds):
        options = quantlib_options(book, scheme)
        start = time.process_time()
        prices = np.array([o.NPV() for o in options])
        times.append((time.process_time() - start) / len(options))
    return prices, statistics.median(times)


def timed(fn, rounds, count):
    times, result = [], None
    for _ in range(rounds):
        start = time.perf_counter()
        result = fn()
        times.append((time.perf_counter() - start) / count)
    return result, statistics.median(times)


def errors(prices, reference, book):
    return np.abs(prices - reference) / np.maximum(book["spot"], book["strike"])


def subset(book, n):
    return {k: v[:n] for k, v in book.items()}


def table(title, rows):
    print(f"\n{title}")
    print(f"  {'engine':<44} {'µs/option':>10} {'max':>9} {'p99':>9} {'median':>9}")
    for name, (seconds, err) in rows.items():
        print(f"  {name:<44} {seconds * 1e6:10.1f} {err.max():9.1e} {np.percentile(err, 99):9.1e} "
              f"{np.median(err):9.1e}")


def compare(book, rounds, hp_count, grid_count):
    """Every engine on `book`: {name: (seconds per option, errors)}, and the reference prices."""
    n = len(book["spot"])
    reference = ours(book, method="spectral", precision="high").price
    rows = {}
    for scheme in ("fast", "accurate"):
        prices, seconds = quantlib(book, scheme, rounds)
        rows[f"QuantLib QdFpAmericanEngine, {scheme}"] = (seconds, errors(prices, reference, book))
    hp = subset(book, hp_count)
    prices, seconds = quantlib(hp, "high precision", 1)
    rows["QuantLib QdFpAmericanEngine, high precision"] = (seconds, errors(prices, reference[:hp_count], hp))
    for name, settings in (("standard", dict(precision="standard")), ("high", dict(precision="high"))):
        result, seconds = timed(lambda: ours(book, method="spectral", threads=1, **settings), rounds, n)
        rows[f"sorvik_batch spectral, {name} (six outputs)"] = (seconds, errors(result.price, reference, book))
    for nodes, steps, count in ((1001, 50, n), (4001, 200, grid_count)):
        part = subset(book, count)
        result, seconds = timed(lambda: ours(part, method="fdm", nodes=nodes, time_steps=steps, threads=1),
                                max(1, rounds // 3), count)
        rows[f"sorvik_batch grid {nodes} x {steps}"] = (seconds, errors(result.price, reference[:count], part))
    return rows, reference


def greeks_check(book, h_spot=4e-3):
    """Largest greek errors against central differences of the high-precision price (in spot and
    rate, extrapolated from steps h and h/2, so that the differences' own error is O(h^4))."""
    base = dict(method="spectral")
    got = ours(book, **base)
    high = dict(method="spectral", precision="high")

    def at(**change):
        return ours({**book, **change}, **high).price

    spot, vol, rate, years = book["spot"], book["vol"], book["rate"], book["years"]
    scale = np.maximum(spot, book["strike"])
    h = np.minimum(h_spot, 0.05 * vol * np.sqrt(years)) * spot  # well inside the spread of the spot at expiry
    up, mid, down = at(spot=spot + h), at(), at(spot=spot - h)
    half_up, half_down = at(spot=spot + h / 2), at(spot=spot - h / 2)
    payoff = np.where(book["option_type"] == "call", 1.0, -1.0)

    def exercised(s, v):
        return v <= np.maximum(payoff * (s - book["strike"]), 0.0) + 1e-12 * scale

    # A spot within a bump of the exercise boundary: the three prices on both sides of it.
    held = [exercised(spot + h, up), exercised(spot, mid), exercised(spot - h, down)]
    clear = (held[0] == held[1]) & (held[1] == held[2])
    delta = (4 * (half_up - half_down) / h - (up - down) / (2 * h)) / 3
    gamma = (16 * (half_up - 2 * mid + half_down) / (h * h) - (up - 2 * mid + down) / (h * h)) / 3
    dt, dv, dr = 1e-4, 1e-4, 1e-4
    theta = -(at(years=years + dt) - at(years=years - dt)) / (2 * dt)
    vega = (at(vol=vol + dv) - at(vol=vol - dv)) / (2 * dv)
    # Rate differences extrapolated from dr and dr/2 as well: where r < q the boundary starts at
    # K·r/q, which moves by dr/r, so a short-dated spot near it curves the price on the scale of r.
    rho_at = {s: (at(rate=rate + s) - at(rate=rate - s)) / (2 * s) for s in (dr, dr / 2)}
    rho = (4 * rho_at[dr / 2] - rho_at[dr]) / 3
    out = {"delta": np.abs(got.delta - delta)[clear]}
    for name, true, floor in (("gamma", gamma, 1e-3 / spot), ("theta", theta, 1e-3 * scale),
                              ("vega", vega, 1e-3 * scale), ("rho", rho, 1e-3 * scale)):
        keep = clear & (np.abs(true) >= floor)
        out[name] = np.abs(getattr(got, name)[keep] - true[keep]) / np.abs(true[keep])
    return out, int(clear.sum())


def quantlib_fine_grid(book, i, time_steps=8000, nodes=4000):
    """QuantLib's finite-difference American price of row i (Crank-Nicolson, spot grid of `nodes`)."""
    day_count = ql.Actual365Fixed()
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(float(book["spot"][i]))),
        ql.YieldTermStructureHandle(ql.FlatForward(TODAY, float(book["dividend_yield"][i]), day_count)),
        ql.YieldTermStructureHandle(ql.FlatForward(TODAY, float(book["rate"][i]), day_count)),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(TODAY, ql.NullCalendar(), float(book["vol"][i]), day_count)))
    kind = ql.Option.Call if book["option_type"][i] == "call" else ql.Option.Put
    option = ql.VanillaOption(ql.PlainVanillaPayoff(kind, float(book["strike"][i])),
                              ql.AmericanExercise(TODAY, TODAY + int(round(book["years"][i] * 365))))
    option.setPricingEngine(ql.FdBlackScholesVanillaEngine(process, time_steps, nodes, 0,
                                                           ql.FdmSchemeDesc.CrankNicolson()))
    return option.NPV()


def two_boundary_set(n, seed=5):
    """Puts with q < r < 0 and calls with r < q < 0: T 3 months - 3 years, S/K 0.7-1.4, sigma 10-50 %."""
    rng = np.random.default_rng(seed)
    kind = rng.choice(["call", "put"], n)
    low, high = np.sort(rng.uniform(-0.03, -0.001, (2, n)), axis=0)
    put = kind == "put"
    return dict(spot=100.0 * rng.uniform(0.7, 1.4, n), strike=np.full(n, 100.0),
                years=np.round(rng.uniform(0.25, 3.0, n) * 365) / 365, rate=np.where(put, high, low),
                dividend_yield=np.where(put, low, high), vol=rng.uniform(0.1, 0.5, n), option_type=kind)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller sets, fewer rounds")
    parser.add_argument("--save", metavar="FILE", help="record the figures as JSON (bench/results/performance.json)")
    args = parser.parse_args()
    n_issue, n_random = (60, 100) if args.quick else (300, 1000)
    rounds = 1 if args.quick else 9
    ql.Settings.instance().evaluationDate = TODAY
    print(f"sorvik {sb.__version__}, QuantLib {ql.__version__}, numpy {np.__version__}, "
          f"Python {platform.python_version()}, {os.cpu_count()} CPUs, {platform.machine()}")

    # 1. The 300 puts
    book = issue_set(n_issue)
    rows, _ = compare(book, rounds, hp_count=min(n_issue, 100), grid_count=min(n_issue, 100))
    table(f"1. {n_issue} American puts (K = 100, S 70-130, T 1-24 months, r 0-8 %, q 0-4 %, σ 10-50 %)", rows)

    # 2. The random set
    book = random_set(n_random)
    rows, reference = compare(book, rounds, hp_count=min(n_random, 100), grid_count=min(n_random, 50))
    table(f"2. {n_random} random Americans (calls and puts, S/K 0.5-2, T 1 week - 10 years, σ 5-100 %, "
          f"r and q 0-10 %)", rows)
    standard = rows["sorvik_batch spectral, standard (six outputs)"]
    accurate = rows["QuantLib QdFpAmericanEngine, accurate"]
    high = rows["sorvik_batch spectral, high (six outputs)"]
    hp = rows["QuantLib QdFpAmericanEngine, high precision"]
    grid = rows["sorvik_batch grid 1001 x 50"]
    print(f"  standard: {accurate[0] / standard[0]:.1f}x faster than QuantLib's accurate scheme at "
          f"{standard[1].max() / accurate[1].max():.3f} of its largest error; {grid[0] / standard[0]:.1f}x faster "
          f"than our grid at its defaults")
    print(f"  high: {hp[0] / high[0]:.0f}x faster than QuantLib's high-precision scheme")
    record = {
        "speed": [{"case": "American, exercise-boundary engine", "per": "option",
                   "peer": "QuantLib QdFpAmericanEngine (accurate)", "sorvik_seconds": standard[0],
                   "peer_seconds": accurate[0]}],
        "accuracy": [{"case": "American, exercise-boundary engine (max)", "measure": "max |error| / max(S, K)",
                      "peer": "QuantLib QdFpAmericanEngine (accurate)", "sorvik_error": float(standard[1].max()),
                      "peer_error": float(accurate[1].max())}]}
    _, one = timed(lambda: ours(book, method="spectral", threads=1), rounds, n_random)
    _, two = timed(lambda: ours(book, method="spectral", threads=2), rounds, n_random)
    print(f"  two threads against one: {one / two:.2f}x")

    # 3. Greeks
    found, kept = greeks_check(subset(book, min(n_random, 400)))
    print(f"\n3. Greeks at the standard level against central differences of the high-precision price "
          f"({kept} options away from the exercise boundary)")
    print(f"  delta, largest absolute error {found['delta'].max():.1e}")
    for name in ("gamma", "theta", "vega", "rho"):
        print(f"  {name}, largest relative error where not small {found[name].max():.1e} ({found[name].size} options)")

    # 4. Implied volatilities
    quotes = reference
    vols, seconds = timed(lambda: sb.implied_vol(quotes, book["spot"], book["strike"], book["years"], book["rate"],
                                                 option_type=book["option_type"], exercise="american",
                                                 dividend_yield=book["dividend_yield"], threads=1, errors="nan"),
                          rounds, n_random)
    solved = ~np.isnan(vols)
    again_valuation = ours({**book, "vol": np.where(solved, vols, 0.2)}, method="spectral")
    again, again_vega = again_valuation.price, again_valuation.vega
    scale = np.maximum(book["spot"], book["strike"])
    reprice = (np.abs(again - quotes) / scale)[solved]
    # A quote at its payoff (exercised now) has σ = 0: any σ up to some point gives it.
    payoff = np.maximum(np.where(book["option_type"] == "call", 1.0, -1.0) * (book["spot"] - book["strike"]), 0.0)
    timed_value = solved & (quotes > payoff + 1e-12 * scale)
    again_vega = again_vega / scale
    print(f"\n4. Implied volatilities of the high-precision prices, American, one thread: {1 / seconds:,.0f} quotes/s; "
          f"{solved.sum()} of {n_random} solved (the rest: too little time value to tell σ), repriced within "
          f"{reprice.max():.1e}·max(S, K); |σ error|·vega within {np.nanmax((np.abs(vols - book['vol']) * again_vega)[timed_value]):.1e}"
          f"·max(S, K) where the quote is above the payoff")

    # 5. Two exercise boundaries, on the grid
    book = two_boundary_set(10 if args.quick else 100)
    ours_grid = ours(book).price
    reference = np.array([quantlib_fine_grid(book, i, *((2000, 1000) if args.quick else (8000, 4000)))
                          for i in range(len(book["spot"]))])
    err = errors(ours_grid, reference, book)
    print(f"\n5. {len(err)} Americans with two exercise boundaries, the default grid against QuantLib's "
          f"finite differences on a fine grid: max {err.max():.1e}, 99th percentile {np.percentile(err, 99):.1e}, "
          f"median {np.median(err):.1e} ·max(S, K)")

    if args.save:
        merge_record(args.save, record)
        print(f"\nrecorded in {args.save}")


if __name__ == "__main__":
    main()
