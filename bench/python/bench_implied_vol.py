"""sorvik_batch.implied_vol next to vollib, QuantLib and a numpy Newton-Raphson, in one process.

Quotes are closed-form prices (sorvik_batch.value) of European options drawn with
sigma in [0.005, 5], T in [1 day, 30 years] (log-uniform), K/F in [0.1, 10]
(log-uniform), r in [-2%, 10%], q in [0, 5%], calls and puts.

  * scalar calls in a Python loop: sorvik_batch.implied_vol against vollib's
    implied_volatility, time per quote and error in sigma (maximum and 99th
    percentile) over the same quotes;
  * one batch call on 10^5 quotes, one thread, against a loop over QuantLib's
    VanillaOption.impliedVolatility (accuracy 1e-10, other settings default)
    and against a vectorised numpy Newton-Raphson (time, and where each fails to
    converge);
  * American puts on a 1001 x 50 grid, 1,000 quotes: quotes per second and grid
    valuations per quote.

    pip install .[bench]
    python bench/python/bench_implied_vol.py            # about a minute
    python bench/python/bench_implied_vol.py --quick    # smoke run
"""
import argparse
import math
import os
import platform
import statistics
import time
import warnings

import numpy as np
import QuantLib as ql
from scipy.special import ndtr

import sorvik_batch as sb

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    from vollib.black_scholes_merton.implied_volatility import implied_volatility as vollib_iv

from bench_batch import merge_record


def draw_quotes(n, seed=3):
    rng = np.random.default_rng(seed)
    years = np.exp(rng.uniform(math.log(1 / 365), math.log(30), n))
    rate, q = rng.uniform(-0.02, 0.10, n), rng.uniform(0.0, 0.05, n)
    spot = np.full(n, 100.0)
    forward = spot * np.exp((rate - q) * years)
    strike = forward * np.exp(rng.uniform(math.log(0.1), math.log(10), n))
    vol = rng.uniform(0.005, 5.0, n)
    kind = rng.choice(["call", "put"], n)
    book = sb.value(spot, strike, years, rate, vol, option_type=kind, dividend_yield=q)
    carried, discounted = spot * np.exp(-q * years), strike * np.exp(-rate * years)
    call = kind == "call"
    lower = np.maximum(0, np.where(call, carried - discounted, discounted - carried))
    upper = np.where(call, carried, discounted)
    rounding = 8 * 2.0**-52 * np.maximum(carried, discounted)
    inside = (book.price > lower + rounding) & (book.price < upper - rounding)
    return dict(price=book.price, spot=spot, strike=strike, years=years, rate=rate, q=q, vol=vol, kind=kind,
                vega=book.vega, rounding=rounding, inside=inside)


def errors_of(found, quotes, subset):
    """Over quotes inside their bounds: max and 99th percentile of |sigma found - sigma drawn| where a sigma
    was found, the count that missed the rounding allowance max(1e-12 sigma, rounding / vega) or found none,
    and the count of quotes."""
    err = np.abs(np.asarray(found, dtype=float) - quotes["vol"][subset])
    inside = quotes["inside"][subset]
    with np.errstate(divide="ignore"):
        allowed = np.maximum(1e-12 * quotes["vol"][subset], quotes["rounding"][subset] / quotes["vega"][subset])
    err_inside, allowed_inside = err[inside], allowed[inside]
    found = ~np.isnan(err_inside)
    missed = int(np.sum(~found | (err_inside > allowed_inside)))
    # The error in units of what the quote's own rounding allows: comparable across quotes.
    ratio = err_inside[found] / allowed_inside[found]
    return (float(np.max(err_inside[found])), float(np.percentile(err_inside[found], 99)), missed, int(inside.sum()),
            float(np.max(ratio)), float(np.percentile(ratio, 99)))


def newton(quotes, iterations=100, tolerance=1e-12):
    """A textbook vectorised Newton-Raphson from sigma = 0.5 on Merton's formula."""
    S, K, T, r, q = quotes["spot"], quotes["strike"], quotes["years"], quotes["rate"], quotes["q"]
    call = quotes["kind"] == "call"
    target = quotes["price"]
    vol = np.full(len(S), 0.5)
    for _ in range(iterations):
        sqrt_t = np.sqrt(T)
        d1 = (np.log(S / K) + (r - q + 0.5 * vol * vol) * T) / (vol * sqrt_t)
        d2 = d1 - vol * sqrt_t
        carried, discounted = S * np.exp(-q * T), K * np.exp(-r * T)
        price = np.where(call, carried * ndtr(d1) - discounted * ndtr(d2),
                         discounted * ndtr(-d2) - carried * ndtr(-d1))
        vega = carried * sqrt_t * np.exp(-0.5 * d1 * d1) / math.sqrt(2 * math.pi)
        with np.errstate(divide="ignore", invalid="ignore"):
            step = (price - target) / vega
        vol = vol - step
        if np.all(np.abs(step) < tolerance):
            break
    return vol


def quantlib_iv(quotes, i):
    today = ql.Date(1, 1, 2024)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    days = max(1, round(quotes["years"][i] * 365))
    t = days / 365.0
    # QuantLib counts whole days: rates and the quote are rescaled so that r·T, q·T stay the same.
    scale = quotes["years"][i] / t
    spot = ql.QuoteHandle(ql.SimpleQuote(quotes["spot"][i]))
    rates = ql.YieldTermStructureHandle(ql.FlatForward(today, quotes["rate"][i] * scale, dc, ql.Continuous))
    divs = ql.YieldTermStructureHandle(ql.FlatForward(today, quotes["q"][i] * scale, dc, ql.Continuous))
    vol = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), 0.2, dc))
    process = ql.BlackScholesMertonProcess(spot, divs, rates, vol)
    kind = ql.Option.Call if quotes["kind"][i] == "call" else ql.Option.Put
    option = ql.VanillaOption(ql.PlainVanillaPayoff(kind, quotes["strike"][i]),
                              ql.EuropeanExercise(today + days))
    option.setPricingEngine(ql.AnalyticEuropeanEngine(process))
    try:
        return option.impliedVolatility(quotes["price"][i], process, 1e-10) / math.sqrt(scale)
    except RuntimeError:
        return math.nan


def seconds_each(fn, items, rounds):
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        for i in items:
            fn(i)
        samples.append((time.perf_counter() - start) / len(items))
    return statistics.median(samples)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer quotes and rounds")
    parser.add_argument("--save", metavar="FILE", help="record the figures as JSON")
    args = parser.parse_args()
    n_scalar, n_batch, n_peer, n_american = (500, 10_000, 200, 50) if args.quick else (3000, 100_000, 2000, 1000)
    rounds = 3 if args.quick else 7
    print(f"sorvik {sb.__version__}, QuantLib {ql.__version__}, Python {platform.python_version()}, "
          f"{os.cpu_count()} CPUs, {platform.machine()}")

    # 1. Scalar calls against vollib
    quotes = draw_quotes(n_scalar)
    # Plain Python arguments, made before timing: only the calls are timed.
    rows = [(float(quotes["price"][i]), float(quotes["strike"][i]), float(quotes["years"][i]),
             float(quotes["rate"][i]), float(quotes["q"][i]), str(quotes["kind"][i])) for i in range(n_scalar)]
    items = range(n_scalar)

    def ours(i):
        price, strike, years, rate, q, kind = rows[i]
        return sb.implied_vol(price, 100.0, strike, years, rate, option_type=kind, dividend_yield=q, errors="nan")

    def theirs(i):
        price, strike, years, rate, q, kind = rows[i]
        try:
            return vollib_iv(price, 100.0, strike, years, rate, q, kind[0])
        except Exception:  # vollib raises for quotes it cannot invert
            return math.nan

    found_ours = [ours(i) for i in items]
    found_theirs = [theirs(i) for i in items]
    t_ours = seconds_each(ours, items, rounds)
    t_theirs = seconds_each(theirs, items, max(1, rounds // 3))
    e_ours, e_theirs = errors_of(found_ours, quotes, items), errors_of(found_theirs, quotes, items)
    print(f"\n1. Scalar calls in a Python loop, {n_scalar} European quotes ({e_ours[3]} inside their bounds)")
    print("  |err| = |sigma found - sigma drawn|; allowed = max(1e-12 sigma, rounding of the quote / vega);")
    print("  missed: no sigma, or |err| > allowed")
    print(f"  {'':16s} {'per quote':>10s} {'max |err|':>10s} {'p99 |err|':>10s} {'max err/allowed':>16s} "
          f"{'p99 err/allowed':>16s} {'missed':>7s}")
    for name, t, e in (("sorvik_batch", t_ours, e_ours), ("vollib", t_theirs, e_theirs)):
        print(f"  {name:16s} {t * 1e6:7.2f} us {e[0]:10.1e} {e[1]:10.1e} {e[4]:16.3f} {e[5]:16.3f} {e[2]:7d}")
    print(f"  sorvik_batch is {t_theirs / t_ours:.0f}x faster")

    # 2. One batch call against QuantLib and numpy
    book = draw_quotes(n_batch, seed=4)
    batch_args = (book["price"], book["spot"], book["strike"], book["years"], book["rate"])
    batch = lambda: sb.implied_vol(*batch_args, option_type=book["kind"], dividend_yield=book["q"], threads=1,  # noqa: E731
                                   errors="nan")
    found_batch = batch()
    t_batch = statistics.median(timed(batch) for _ in range(rounds)) / n_batch
    peer_items = range(n_peer)
    found_ql = [quantlib_iv(book, i) for i in peer_items]
    t_ql = seconds_each(lambda i: quantlib_iv(book, i), peer_items, 1)
    t_newton = statistics.median(timed(lambda: newton(book)) for _ in range(rounds)) / n_batch
    found_newton = newton(book)
    e_batch = errors_of(found_batch, book, slice(None))
    e_ql = errors_of(found_ql, book, slice(0, n_peer))
    e_newton = errors_of(found_newton, book, slice(None))
    print(f"\n2. One batch call, one thread, {n_batch:,} quotes ({e_batch[3]} inside their bounds); "
          f"QuantLib on the first {n_peer}")
    print(f"  {'':22s} {'per quote':>10s} {'max |err|':>10s} {'p99 |err|':>10s} {'missed':>8s}")
    for name, t, e in (("sorvik_batch", t_batch, e_batch), ("QuantLib", t_ql, e_ql), ("numpy Newton", t_newton, e_newton)):
        print(f"  {name:22s} {t * 1e6:8.3f} us {e[0]:10.1e} {e[1]:10.1e} {e[2]:8d} of {e[3]}")
    print(f"  sorvik_batch is {t_ql / t_batch:.0f}x faster per quote than QuantLib, "
          f"{t_newton / t_batch:.1f}x than numpy Newton")

    # 3. American quotes on the grid
    rng = np.random.default_rng(5)
    spot, vol = rng.uniform(70, 130, n_american), rng.uniform(0.1, 0.6, n_american)
    years, rate = rng.uniform(0.1, 2.0, n_american), rng.uniform(0.0, 0.08, n_american)
    grid = dict(option_type="put", exercise="american", method="fdm")
    price = sb.value(spot, 100.0, years, rate, vol, **grid).price
    start = time.perf_counter()
    out = sb.implied_vol(price, spot, 100.0, years, rate, threads=1, errors="nan", **grid)
    elapsed = time.perf_counter() - start
    solved = ~np.isnan(out)
    reproduced = sb.value(spot, 100.0, years, rate, np.where(solved, out, vol), **grid).price
    # Deep in the money an American is worth its payoff for a range of sigma: no sigma to recover there.
    alive = solved & (price > np.maximum(100.0 - spot, 0.0) + 1e-6)
    print(f"\n3. American puts, 1001 x 50 grid, {n_american} quotes, one thread: {n_american / elapsed:.0f} quotes/s; "
          f"{solved.sum()} solved (the rest: too little time value to tell sigma); max |sigma error| "
          f"{np.max(np.abs(out - vol)[alive]):.1e} over the {alive.sum()} quotes above their payoff; every solved price "
          f"reproduced to {np.max(np.abs(reproduced - price)[solved]):.1e}")

    if args.save:
        merge_record(args.save, {
            "speed": [
                {"case": "Implied vol, scalar call", "sorvik_seconds": t_ours, "peer": "vollib",
                 "peer_seconds": t_theirs, "per": "quote"},
                {"case": "Implied vol, batch", "sorvik_seconds": t_batch, "peer": "QuantLib",
                 "peer_seconds": t_ql, "per": "quote"},
            ],
            "accuracy": [
                {"case": "Implied vol, worst quote", "sorvik_error": e_ours[4], "peer": "vollib",
                 "peer_error": e_theirs[4], "measure": "max |sigma error| / rounding allowance"},
                {"case": "Implied vol, 99th percentile", "sorvik_error": e_ours[5], "peer": "vollib",
                 "peer_error": e_theirs[5], "measure": "99th percentile |sigma error| / rounding allowance"},
            ],
        })
        print(f"\nrecorded in {args.save}")


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


if __name__ == "__main__":
    main()
