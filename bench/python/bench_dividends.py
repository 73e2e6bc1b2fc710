"""Cash dividends on the grid: accuracy against QuantLib, convergence, cost and implied vols.

A random set of options (T 1 month to 3 years, 1 to 4 cash dividends of 0.2 to 5 % of the spot
each, sigma 10 to 60 %, r 0 to 8 %, S/K 0.7 to 1.4, calls and puts, European and American), all
times whole days under Actual/365 Fixed so that both sides see the same numbers:

  * accuracy: sorvik_batch.value at its default grid (and with nodes and steps doubled, then
    doubled again) against QuantLib's FdBlackScholesVanillaEngine with the same dividends
    (spot model, its default) on a very fine grid (for Americans extrapolated in its time steps,
    see peer_price), errors over max(S, K): maximum and 99th
    percentile; the same against sorvik's own very fine grid; and the cases whose total
    dividends stay under 10 % of the spot on their own; Europeans, sorvik's and QuantLib's, also
    against an independent integration of the spot model (the closed form after the last
    dividend, then Gauss-Hermite quadrature back through each drop on a fine log-spot grid);
  * cost: a book of American puts with four dividends each against the same book without,
    both with method="fdm" on the default grid (medians of interleaved rounds);
  * implied vols: the set's prices inverted and repriced on the grid.

    pip install QuantLib
    python bench/python/bench_dividends.py            # about seven minutes
    python bench/python/bench_dividends.py --quick    # smoke run

Writes bench/results/dividends.json and dividends.txt.
"""
import argparse
import json
import os
import platform
import statistics
import time

import numpy as np
import QuantLib as ql
from scipy.interpolate import CubicSpline
from scipy.special import ndtr

import sorvik_batch as sb

K = 100.0
TODAY = ql.Date(2, 1, 2024)
DAY_COUNT = ql.Actual365Fixed()


def random_set(n, seed):
    rng = np.random.default_rng(seed)
    days = rng.integers(30, 3 * 365 + 1, n)
    cases = []
    for i in range(n):
        spot = K * rng.uniform(0.7, 1.4)
        count = int(rng.integers(1, 5))
        div_days = np.sort(rng.choice(np.arange(1, days[i]), size=count, replace=False))
        amounts = spot * rng.uniform(0.002, 0.05, count)
        cases.append(dict(spot=spot, days=int(days[i]), vol=rng.uniform(0.1, 0.6), rate=rng.uniform(0.0, 0.08),
                          type=rng.choice(["call", "put"]), exercise=rng.choice(["european", "american"]),
                          div_days=[int(d) for d in div_days], amounts=[float(a) for a in amounts]))
    return cases


def quantlib_price(c, t_grid, x_grid):
    ql.Settings.instance().evaluationDate = TODAY
    expiry = TODAY + c["days"]
    payoff = ql.PlainVanillaPayoff(ql.Option.Call if c["type"] == "call" else ql.Option.Put, K)
    exercise = ql.EuropeanExercise(expiry) if c["exercise"] == "european" else ql.AmericanExercise(TODAY, expiry)
    option = ql.VanillaOption(payoff, exercise)
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(ql.SimpleQuote(c["spot"])),
        ql.YieldTermStructureHandle(ql.FlatForward(TODAY, 0.0, DAY_COUNT, ql.Continuous)),
        ql.YieldTermStructureHandle(ql.FlatForward(TODAY, c["rate"], DAY_COUNT, ql.Continuous)),
        ql.BlackVolTermStructureHandle(ql.BlackConstantVol(TODAY, ql.NullCalendar(), c["vol"], DAY_COUNT)))
    dividends = ql.DividendVector([TODAY + d for d in c["div_days"]], c["amounts"])
    option.setPricingEngine(ql.FdBlackScholesVanillaEngine(process, dividends, t_grid, x_grid, 0,
                                                           ql.FdmSchemeDesc.Douglas()))
    return option.NPV()


def black_scholes(spot, years, rate, vol, call):
    spot = np.maximum(spot, 1e-300)
    sd = vol * np.sqrt(years)
    d1 = (np.log(spot / K) + (rate + 0.5 * vol * vol) * years) / sd
    value = spot * ndtr(d1) - K * np.exp(-rate * years) * ndtr(d1 - sd)
    return value if call else value - spot + K * np.exp(-rate * years)


def integrated_european(c, points=12001, order=200):
    """A European in the spot model without a grid in time: the closed form after the last dividend;
    then back through each drop, V(S) = V(max(S - D, 0)) with a stock at 0 staying there, and each
    interval before it, V(S) = e^(-r dt) E[V(S e^((r - vol^2/2) dt + vol sqrt(dt) Z))] by Gauss-Hermite
    quadrature at the nodes of a log-spot grid, interpolated by a cubic spline."""
    rate, vol, years, call = c["rate"], c["vol"], c["days"] / 365.0, c["type"] == "call"
    times = [d / 365.0 for d in c["div_days"]]
    z, w = np.polynomial.hermite_e.hermegauss(order)
    w = w / w.sum()
    reach = 10 * vol * np.sqrt(years) + 1
    x = np.linspace(np.log(c["spot"]) - reach, np.log(c["spot"]) + reach, points)

    def value(s):  # just after the last dividend
        return black_scholes(s, years - times[-1], rate, vol, call)

    for k in range(len(times) - 1, -1, -1):
        amount, after = c["amounts"][k], value
        dt = times[k] - (times[k - 1] if k > 0 else 0.0)
        grown = np.exp(x)[:, None] * np.exp((rate - 0.5 * vol * vol) * dt + vol * np.sqrt(dt) * z[None, :])
        spline = CubicSpline(x, np.exp(-rate * dt) * (after(np.maximum(grown - amount, 0.0)) @ w))

        def value(s, spline=spline):
            return spline(np.log(np.maximum(s, 1e-300)))
    return float(value(np.array([c["spot"]]))[0])


def peer_price(c, x_grid, t_grid):
    """QuantLib's value on an x_grid x t_grid grid. Its American values converge at first order in
    the time steps (exercise imposed once a step; about 1.5e-5 of max(S, K) at 2000 steps): for
    them the value at 4·t_grid steps is extrapolated with the one at t_grid."""
    coarse = quantlib_price(c, t_grid, x_grid)
    if c["exercise"] == "european":
        return coarse
    fine = quantlib_price(c, 4 * t_grid, x_grid)
    return fine + (fine - coarse) / 3.0


def book(cases):
    d = max(len(c["amounts"]) for c in cases)
    times = np.full((len(cases), d), np.nan)
    amounts = np.zeros((len(cases), d))
    for i, c in enumerate(cases):
        times[i, :len(c["div_days"])] = np.array(c["div_days"]) / 365.0
        amounts[i, :len(c["amounts"])] = c["amounts"]
    return dict(spot=np.array([c["spot"] for c in cases]), years=np.array([c["days"] / 365.0 for c in cases]),
                rate=np.array([c["rate"] for c in cases]), vol=np.array([c["vol"] for c in cases]),
                option_type=np.array([c["type"] for c in cases]), exercise=np.array([c["exercise"] for c in cases]),
                dividend_times=times, dividend_amounts=amounts)


def ours(b, nodes=1001, time_steps=50, vol=None):
    return sb.value(b["spot"], K, b["years"], b["rate"], b["vol"] if vol is None else vol,
                    option_type=b["option_type"], exercise=b["exercise"], method="fdm", nodes=nodes,
                    time_steps=time_steps, dividend_times=b["dividend_times"],
                    dividend_amounts=b["dividend_amounts"]).price


def summary(errors):
    return {"max": float(np.max(errors)), "p99": float(np.percentile(errors, 99)), "count": int(errors.size)}


def cost(n, rounds, threads=None):
    rng = np.random.default_rng(7)
    spot = rng.uniform(80, 120, n)
    times = np.sort(rng.uniform(0.05, 0.95, (n, 4)), axis=1)
    amounts = np.repeat(spot[:, None] * 0.01, 4, axis=1)
    kw = dict(option_type="put", exercise="american", method="fdm", threads=threads)

    def without():
        sb.value(spot, K, 1.0, 0.05, 0.25, **kw)

    def with_four():
        sb.value(spot, K, 1.0, 0.05, 0.25, dividend_times=times, dividend_amounts=amounts, **kw)

    a, b = [], []
    for _ in range(rounds):
        for run, out in ((without, a), (with_four, b)):
            start = time.perf_counter()
            run()
            out.append(time.perf_counter() - start)
    return {"options": n, "threads": threads, "without_s": statistics.median(a), "with_four_s": statistics.median(b),
            "ratio": statistics.median(b) / statistics.median(a)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    n, t_grid, x_grid = (24, 400, 800) if args.quick else (200, 2000, 4000)
    cases = random_set(n, 2026)
    b = book(cases)
    scale = np.maximum(b["spot"], K)

    peer = np.array([peer_price(c, x_grid, t_grid) for c in cases])
    levels = {f"{nodes}x{steps}": ours(b, nodes, steps) for nodes, steps in ((1001, 50), (2001, 100), (4001, 200))}
    own_fine = ours(b, 16001, 2000)
    covered = np.array([sum(c["amounts"]) < 0.1 * c["spot"] for c in cases])

    accuracy = {}
    for name, prices in levels.items():
        accuracy[name] = {"vs_quantlib": summary(np.abs(prices - peer) / scale),
                          "vs_quantlib_dividends_under_10pct": summary(np.abs(prices - peer)[covered] / scale[covered]),
                          "vs_own_fine": summary(np.abs(prices - own_fine) / scale)}
    refinement = {
        "vs_quantlib": accuracy["1001x50"]["vs_quantlib"]["max"] / accuracy["4001x200"]["vs_quantlib"]["max"],
        "vs_quantlib_dividends_under_10pct":
            accuracy["1001x50"]["vs_quantlib_dividends_under_10pct"]["max"]
            / accuracy["4001x200"]["vs_quantlib_dividends_under_10pct"]["max"],
        "vs_own_fine": accuracy["1001x50"]["vs_own_fine"]["max"] / accuracy["4001x200"]["vs_own_fine"]["max"]}
    own_vs_peer = summary(np.abs(own_fine - peer) / scale)
    europeans = np.array([c["exercise"] == "european" for c in cases])
    integrated = np.array([integrated_european(c) for c, e in zip(cases, europeans) if e])
    vs_integration = {name: summary(np.abs(prices[europeans] - integrated) / scale[europeans])
                      for name, prices in levels.items()}
    vs_integration["QuantLib"] = summary(np.abs(peer[europeans] - integrated) / scale[europeans])
    refinement["europeans_vs_integration"] = vs_integration["1001x50"]["max"] / vs_integration["4001x200"]["max"]

    prices = levels["1001x50"]
    vols = sb.implied_vol(prices, b["spot"], K, b["years"], b["rate"], option_type=b["option_type"],
                          exercise=b["exercise"], method="fdm", dividend_times=b["dividend_times"],
                          dividend_amounts=b["dividend_amounts"], errors="nan")
    solved = ~np.isnan(vols)
    repriced = ours(b, vol=np.where(solved, vols, b["vol"]))
    # sigma recovered to within a price error of |dsigma| * vega.
    vega = (ours(b, vol=b["vol"] + 1e-4) - ours(b, vol=b["vol"] - 1e-4)) / 2e-4
    implied = {"solved": int(solved.sum()), "of": int(solved.size),
               "reprice_max": float(np.max(np.abs(repriced - prices)[solved] / scale[solved])),
               "vol_times_vega_max": float(np.max((np.abs(vols - b["vol"]) * vega)[solved] / scale[solved]))}

    costs = [cost(200 if args.quick else 2000, 3 if args.quick else 7, threads) for threads in (1, None)]
    result = {"machine": platform.platform(), "cases": n, "peer_grid": f"{x_grid}x{t_grid} (Douglas, spot model)",
              "peer_americans": f"{x_grid}x{4 * t_grid} extrapolated with {x_grid}x{t_grid}, first order in time",
              "accuracy": accuracy, "refinement_max_ratio": refinement, "own_16001x2000_vs_quantlib": own_vs_peer,
              "europeans_vs_integration": vs_integration,
              "implied_vol": implied, "cost": costs}
    lines = [f"cash dividends: {n} random options, errors / max(S, K)",
             f"peer: QuantLib FdBlackScholesVanillaEngine {x_grid}x{t_grid} (Americans: {x_grid}x{4 * t_grid} "
             f"extrapolated with it in time); own fine grid 16001x2000"]
    for name, acc in accuracy.items():
        q, c, f = acc["vs_quantlib"], acc["vs_quantlib_dividends_under_10pct"], acc["vs_own_fine"]
        lines.append(f"  {name:>9}: vs peer max {q['max']:.2e} p99 {q['p99']:.2e} | dividends < 10% S "
                     f"max {c['max']:.2e} p99 {c['p99']:.2e} | vs own fine max {f['max']:.2e} p99 {f['p99']:.2e}")
    lines.append("  max falls with nodes and steps doubled twice: " +
                 ", ".join(f"{k} {v:.1f}x" for k, v in refinement.items()))
    lines.append(f"  own fine grid vs peer: max {own_vs_peer['max']:.2e} p99 {own_vs_peer['p99']:.2e}")
    lines.append(f"  {int(europeans.sum())} Europeans against the integration of the spot model: " +
                 ", ".join(f"{k} max {v['max']:.2e} p99 {v['p99']:.2e}" for k, v in vs_integration.items()))
    lines.append(f"implied vols: {implied['solved']}/{implied['of']} solved, reprice max {implied['reprice_max']:.1e}"
                 f" of max(S, K), |vol - true| x vega max {implied['vol_times_vega_max']:.1e} of max(S, K)")
    for c in costs:
        lines.append(f"cost: {c['options']} American puts, four dividends each vs none, 1001x50, "
                     f"{c['threads'] or 'all'} thread(s): {c['with_four_s']:.3f} s vs {c['without_s']:.3f} s, "
                     f"ratio {c['ratio']:.2f}")
    text = "\n".join(lines)
    print(text)
    if not args.quick:
        here = os.path.join(os.path.dirname(__file__), "..", "results")
        with open(os.path.join(here, "dividends.json"), "w") as f:
            json.dump(result, f, indent=2)
        with open(os.path.join(here, "dividends.txt"), "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
