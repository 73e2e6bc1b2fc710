"""Accuracy of the finite-difference (grid) engine against independent oracles.

Every valuation goes through sorvik's public API on the grid (default
FdmConfig: 1001 nodes, 50 steps, +-6 standard deviations, unless a case says
otherwise); T is whole seconds / 31,536,000 (Actual/365 Fixed), rates are
continuous, no dividends, S = 100 unless stated.

  1. a seeded random set: American and European calls and puts, T log-uniform
     from 1 minute to 30 years, sigma 0.05-1.5, K/S log-uniform 0.5-2,
     r -2%..15%; error per group, grid deltas outside their bounds, American
     prices below the payoff and prices above their bounds;
  2. far spots: European calls and puts, K = 100, S/K from 0.1 to 10, T from
     1 minute to 30 years; error and time per compute();
  3. known trouble cases, with their true values;
  4. time per compute() of the grid and of the American oracle, as a ratio;
  5. with --compare OLD.json, the change of price against an earlier run on the
     same cases (--save FILE.json keeps every case of a run);
  6. greeks (also alone, with --greeks): European grid greeks against the closed
     form over a random set (T 1 hour - 10 years, sigma 5-100 %, S/K 0.5-2,
     r 0-10 %, q 0-5 %); American grid greeks against central differences of
     QdFp; delta bounds and convexity in the strike on ladders; small
     volatilities; implied vols at the payoff; closed-form prices far out of
     the money against 50-digit values (mpmath); time per option on the grid.

Oracles. Europeans: the closed form (sorvik's analytic path at the same T;
QuantLib's AnalyticEuropeanEngine agrees, checked every run). Americans:
QuantLib's QdFpAmericanEngine with its high-precision scheme. Where that does
not apply -- American calls with r < 0, where early exercise of a call pays,
or wherever it raises or returns a value below the European price or the
payoff -- a fine QuantLib finite-difference engine (TR-BDF2, 2001 nodes, 1000
and 2000 steps extrapolated in time; calls through put-call symmetry,
C(S, K, r, 0) = P(K, S, 0, r), because the engine's call is poor at large
sigma*sqrt(T)). QuantLib dates have a one-day resolution, so the peer values
the same problem on a whole number of days D with r and sigma^2 scaled by
T / (D/365): the price depends on (r*T, sigma^2*T) only.

    pip install .[bench]
    python bench/python/bench_grid_accuracy.py                  # about 20 seconds
    python bench/python/bench_grid_accuracy.py --quick          # smoke run
    python bench/python/bench_grid_accuracy.py --save run.json
    python bench/python/bench_grid_accuracy.py --compare run.json
    python bench/python/bench_grid_accuracy.py --greeks         # section 6 only
"""
import argparse
import datetime as dt
import json
import math
import os
import platform
import random
import statistics
import sys
import time
from importlib import metadata

import numpy as np
import QuantLib as ql

import sorvik as s
import sorvik_batch as sb

UTC = dt.timezone.utc
A365 = s.DayCountConvention.Act365Fixed
NOW = dt.datetime(2024, 1, 2, tzinfo=UTC)
YEAR = 31_536_000  # seconds in an Act/365F year
CALL, PUT = "call", "put"
AMERICAN, EUROPEAN = "american", "european"
GROUPS = [(EUROPEAN, CALL), (EUROPEAN, PUT), (AMERICAN, CALL), (AMERICAN, PUT)]
DEFAULT_GRID = (1001, 50, 6.0)  # nodes, steps, standard deviations
BUMP = 0.01  # the relative spot step of the oracles' central differences (and of the old read-off)

QL_TODAY = ql.Date(2, 1, 2024)
QL_DC = ql.Actual365Fixed()
FD_NODES, FD_STEPS = 2001, (1000, 2000)

FIELDS = ["id", "kind", "style", "S", "K", "r", "sigma", "seconds", "nodes", "steps", "g",
          "price", "delta", "gamma", "theta", "failure", "oracle", "oracle_source", "oracle_delta",
          "oracle_gamma"]


# ---------------------------------------------------------------- cases


def case(cid, kind, style, S, K, r, sigma, seconds, grid=DEFAULT_GRID, label=None, what=("price",)):
    nodes, steps, g = grid
    return dict(id=cid, kind=kind, style=style, S=S, K=K, r=r, sigma=sigma, seconds=seconds, nodes=nodes,
                steps=steps, g=g, label=label, what=what)


def years(c):
    return c["seconds"] / YEAR


def inside_strike_grid(c, g=6.0):
    """Spot and both bump points strictly inside the strike-centred ln K +- g*sigma*sqrt(T)."""
    w = g * c["sigma"] * math.sqrt(max(years(c), 0.0))
    if not w > 0:
        return False
    lo, hi = math.log(c["S"] * (1 - BUMP) / c["K"]), math.log(c["S"] * (1 + BUMP) / c["K"])
    return -w < lo and hi < w


def ordinary(c):
    return inside_strike_grid(c, 6.0) and years(c) <= 2.0


def std_devs_from_strike(c):
    return abs(math.log(c["S"] / c["K"])) / (c["sigma"] * math.sqrt(years(c)))


def random_cases(n, seed):
    rng = random.Random(seed)
    lo, hi = math.log(60), math.log(30 * YEAR)
    out = []
    for i in range(n):
        style, kind = GROUPS[i % 4]
        seconds = round(math.exp(rng.uniform(lo, hi)))
        sigma = round(rng.uniform(0.05, 1.5), 4)
        K = round(100.0 * math.exp(rng.uniform(math.log(0.5), math.log(2.0))), 4)
        r = round(rng.uniform(-0.02, 0.15), 5)
        out.append(case(f"rnd-{i:04d}", kind, style, 100.0, K, r, sigma, seconds))
    return out


FAR_MULTIPLES = [0.1, 0.2, 0.5, 0.8, 1.0, 1.25, 2.0, 5.0, 10.0]
FAR_TIMES = [("1 min", 60), ("1 hour", 3600), ("1 day", 86400), ("1 week", 604800),
             ("0.1 y", YEAR // 10), ("1 y", YEAR), ("5 y", 5 * YEAR), ("30 y", 30 * YEAR)]


def far_cases():
    return [case(f"far-{kind}-{tlabel.replace(' ', '')}-{m:g}", kind, EUROPEAN, 100.0 * m, 100.0, 0.05, 0.2, sec)
            for kind in (CALL, PUT) for tlabel, sec in FAR_TIMES for m in FAR_MULTIPLES]


def repro_cases():
    ulp = math.nextafter(0.2, math.inf)
    pd = ("price", "delta")
    pdg = ("price", "delta", "gamma")
    A, E, P, C = AMERICAN, EUROPEAN, PUT, CALL
    return [
        case("rep-1a", P, A, 100.0, 100.0, 0.05, 1.5, 30 * YEAR, label="Am put S=K=100 sig=1.5 T=30"),
        case("rep-1b", C, E, 100.0, 100.0, 0.05, 1.5, 30 * YEAR, label="Eu call S=K=100 sig=1.5 T=30"),
        case("rep-1c", C, E, 100.0, 100.0, 0.05, 0.1, 30 * YEAR, label="Eu call S=K=100 sig=0.1 T=30"),
        case("rep-1d", P, A, 20.0, 95.0, 0.03, 0.2, 3 * YEAR // 2, label="Am put S=20 K=95 r=3% T=1.5"),
        case("rep-1e", C, E, 100.0, 50.0, 0.05, 0.1, 2 * YEAR, label="Eu call S=100 K=50 sig=0.1 T=2"),
        case("rep-1f", C, E, 100.0, 50.0, 0.05, 0.1, 5 * YEAR, label="Eu call S=100 K=50 sig=0.1 T=5"),
        case("rep-2a", P, A, 80.0, 95.0, 0.03, 0.2, 604800, label="Am put S=80 K=95 r=3% T=1w"),
        case("rep-2b", P, A, 100.0, 200.0, 0.05, 0.2, YEAR // 10, label="Am put S=100 K=200 T=0.1", what=pd),
        case("rep-2c", C, E, 200.0, 100.0, 0.05, 0.2, YEAR // 10, label="Eu call S=200 K=100 T=0.1"),
        case("rep-2d", P, A, 100.0, 100.0, 0.05, 0.2, 60, label="Am put S=K=100 T=1min", what=pdg),
        case("rep-2e", P, E, 100.0, 100.0, 0.05, 0.2, 600, label="Eu put S=K=100 T=10min", what=pdg),
        case("rep-3a", P, A, 90.0, 100.0, 0.05, 0.2, 0, label="Am put S=90 K=100 T=0", what=pdg),
        case("rep-3b", P, A, 90.0, 100.0, 0.05, 0.0, YEAR, label="Am put S=90 K=100 sig=0 T=1", what=pdg),
        case("rep-4", P, A, 100.0, 150.0, 0.05, 0.2, YEAR, label="Am put S=100 K=150 T=1"),
        case("rep-5", P, A, 100.0, 100.0, 0.05, 0.2, YEAR, grid=(1001, 50, -6.0), label="Am put K=100 g=-6"),
        case("rep-6a", P, A, 90.0, 100.0, 0.15, 0.2, YEAR, label="Am put S=90 K=100 r=15% T=1"),
        case("rep-6b", P, A, 90.0, 100.0, 0.15, ulp, YEAR, label="  same, sigma + 1 ulp"),
        case("rep-6c", P, A, 90.0, 100.0, 0.15, 0.2, YEAR, grid=(2001, 100, 6.0), label="  same, 2001 x 100"),
        case("rep-6d", P, A, 90.0, 100.0, 0.15, 0.2, YEAR, grid=(4001, 200, 6.0), label="  same, 4001 x 200"),
        case("rep-6e", P, A, 100.0, 100.0, 0.05, 0.2, YEAR, label="Am put S=K=100 T=1"),
        case("rep-6f", P, A, 100.0, 100.0, 0.05, ulp, YEAR, label="  same, sigma + 1 ulp"),
        case("rep-6g", P, A, 1828.0, 2923.0, 0.101, 0.383, round(26.4 * YEAR), label="Am put S=1828 K=2923 T=26.4",
             what=pd),
        case("rep-6h", P, A, 1828.0, 2923.0, 0.101, math.nextafter(0.383, math.inf), round(26.4 * YEAR),
             label="  same, sigma + 1 ulp", what=pd),
    ]


# ---------------------------------------------------------------- sorvik


def sorvik_type(kind):
    return s.OptionType.Call if kind == CALL else s.OptionType.Put


def sorvik_style(style):
    return s.ExerciseStyle.American if style == AMERICAN else s.ExerciseStyle.European


def builder(c, spot=None, analytic=False):
    option = s.StockOption(c["K"], NOW + dt.timedelta(seconds=c["seconds"]), sorvik_type(c["kind"]),
                           sorvik_style(c["style"]))
    frame = s.OptionMarketFrame(c["S"] if spot is None else spot, s.RateCurve.continuous(c["r"], A365),
                                s.VolSurface.flat(c["sigma"], A365))
    policy = s.InstrumentPolicy()
    if analytic:
        policy.analytic()
    else:
        policy.fdm(s.FdmConfig(time_steps=c["steps"], nodes=c["nodes"], grid_std_devs=c["g"]))
    return option.valuation().market(frame).config(s.Config().add_policy(policy)).at(NOW)


def run_grid(c, reps=0):
    """Grid price and greeks into the case; with reps > 0, the median time of that many compute() calls."""
    c.update(price=None, delta=None, gamma=None, theta=None, failure=None)
    try:
        b = builder(c)
        result = b.compute()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # an internal fault arrives as a BaseException subclass
        c["failure"] = f"{type(exc).__name__}: {exc}"
        return None
    g = result.greeks
    c.update(price=result.price, delta=g.delta, gamma=g.gamma, theta=g.theta)
    if reps <= 0:
        return None
    samples = []
    for _ in range(reps):
        t0 = time.perf_counter()
        b.compute()
        samples.append(time.perf_counter() - t0)
    return statistics.median(samples)


def closed_form(c, spot=None):
    return builder(c, spot=spot, analytic=True).compute().price


# ---------------------------------------------------------------- QuantLib


def ql_option(kind, style, S, K, r, q, sigma, seconds):
    """Option and process on whole days, with r, q and sigma^2 scaled to the same r*T, q*T, sigma^2*T."""
    days = max(1, round(seconds / 86400))
    a = (seconds / YEAR) / (days / 365)
    quote = ql.QuoteHandle(ql.SimpleQuote(S))
    flat = lambda rate: ql.YieldTermStructureHandle(ql.FlatForward(QL_TODAY, rate * a, QL_DC, ql.Continuous))
    vol = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(QL_TODAY, ql.NullCalendar(), sigma * math.sqrt(a), QL_DC))
    process = ql.BlackScholesMertonProcess(quote, flat(q), flat(r), vol)
    expiry = QL_TODAY + days
    exercise = ql.AmericanExercise(QL_TODAY, expiry) if style == AMERICAN else ql.EuropeanExercise(expiry)
    payoff = ql.PlainVanillaPayoff(ql.Option.Call if kind == CALL else ql.Option.Put, K)
    return process, ql.VanillaOption(payoff, exercise)


def ql_european(kind, S, K, r, sigma, seconds):
    process, option = ql_option(kind, EUROPEAN, S, K, r, 0.0, sigma, seconds)
    option.setPricingEngine(ql.AnalyticEuropeanEngine(process))
    return option.NPV()


def ql_qdfp(kind, S, K, r, sigma, seconds):
    """(price, seconds spent in NPV)."""
    process, option = ql_option(kind, AMERICAN, S, K, r, 0.0, sigma, seconds)
    option.setPricingEngine(ql.QdFpAmericanEngine(process, ql.QdFpAmericanEngine.highPrecisionScheme()))
    t0 = time.perf_counter()
    value = option.NPV()
    return value, time.perf_counter() - t0


def ql_fd_american(kind, S, K, r, sigma, seconds):
    """(price, error estimate) from a fine TR-BDF2 grid, extrapolated in time (the American step
    condition makes the error first order in the step). A call is valued as the symmetric put."""
    if kind == CALL:
        S, K, r, q = K, S, 0.0, r
    else:
        q = 0.0
    values = []
    for steps in FD_STEPS:
        process, option = ql_option(PUT, AMERICAN, S, K, r, q, sigma, seconds)
        option.setPricingEngine(ql.FdBlackScholesVanillaEngine(process, steps, FD_NODES, 0, ql.FdmSchemeDesc.TrBDF2()))
        values.append(option.NPV())
    # The same grid on the European put, against its closed form: the spatial part of the error.
    process, option = ql_option(PUT, EUROPEAN, S, K, r, q, sigma, seconds)
    option.setPricingEngine(ql.FdBlackScholesVanillaEngine(process, FD_STEPS[-1], FD_NODES, 0,
                                                           ql.FdmSchemeDesc.TrBDF2()))
    fd_european = option.NPV()
    option.setPricingEngine(ql.AnalyticEuropeanEngine(process))
    spatial = abs(fd_european - option.NPV())
    return 2.0 * values[1] - values[0], abs(values[1] - values[0]) + spatial


def payoff(kind, S, K):
    return max(0.0, S - K) if kind == CALL else max(0.0, K - S)


def deterministic(c, spot):
    """The value when sigma*sqrt(T) = 0: the discounted forward payoff, and for an American at least the payoff."""
    T = years(c)
    value = max(0.0, spot - c["K"] * math.exp(-c["r"] * T)) if c["kind"] == CALL else \
        max(0.0, c["K"] * math.exp(-c["r"] * T) - spot)
    return max(value, payoff(c["kind"], spot, c["K"])) if c["style"] == AMERICAN else value


class Oracle:
    def __init__(self):
        self.qdfp_times = {}  # case id -> seconds in NPV
        self.fd_times = []

    def american(self, c, spot=None, timed=False):
        """(value, source) for an American option."""
        S = c["S"] if spot is None else spot
        args = (c["kind"], S, c["K"], c["r"], c["sigma"], c["seconds"])
        european = closed_form(c, spot=S)
        floor = max(european, payoff(c["kind"], S, c["K"])) - 1e-9 * max(S, c["K"])
        reason = None
        if c["kind"] == CALL and c["r"] < 0:
            reason = "call, r < 0"
        else:
            try:
                value, spent = ql_qdfp(*args)
                if timed:
                    self.qdfp_times[c["id"]] = spent
                if math.isfinite(value) and value >= floor:
                    return value, "qdfp"
                reason = f"qdfp gave {value:.6g}"
            except RuntimeError as exc:
                reason = "qdfp: " + str(exc).split("\n")[0][:40]
        t0 = time.perf_counter()
        value, estimate = ql_fd_american(*args)
        if timed:
            self.fd_times.append(time.perf_counter() - t0)
        return value, f"fd ({reason}; est. err {estimate:.1e})"

    def value(self, c, spot=None, timed=False):
        S = c["S"] if spot is None else spot
        if not c["sigma"] * math.sqrt(max(years(c), 0.0)) > 0:
            return deterministic(c, S), "deterministic"
        if c["style"] == EUROPEAN:
            return closed_form(c, spot=S), "closed form"
        return self.american(c, spot=S, timed=timed)

    def fill(self, c, timed=False):
        c["oracle"], c["oracle_source"] = self.value(c, timed=timed)
        c["oracle_delta"] = c["oracle_gamma"] = None
        if "delta" in c["what"] or "gamma" in c["what"]:
            # True greeks: central differences of true prices over 1 % and 0.5 % of S, extrapolated.
            def differences(h):
                up, down = self.value(c, c["S"] + h)[0], self.value(c, c["S"] - h)[0]
                return (up - down) / (2 * h), ((up - (c["oracle"] + c["oracle"])) + down) / (h * h)
            (d1, g1), (d2, g2) = differences(BUMP * c["S"]), differences(0.5 * BUMP * c["S"])
            c["oracle_delta"], c["oracle_gamma"] = (4 * d2 - d1) / 3, (4 * g2 - g1) / 3


# ---------------------------------------------------------------- statistics


def percentile(values, q):
    v = sorted(values)
    if not v:
        return float("nan")
    pos = (len(v) - 1) * q
    i = int(pos)
    return v[i] if i + 1 >= len(v) else v[i] + (v[i + 1] - v[i]) * (pos - i)


def rel_error(c):
    if c["price"] is None or c["oracle"] is None:
        return float("nan")
    e = abs(c["price"] - c["oracle"]) / max(c["S"], c["K"])
    return e if math.isfinite(e) else float("inf")


def delta_outside(c, tol=0.0):
    d = c["delta"]
    if d is None:
        return False
    return not (-tol <= d <= 1.0 + tol) if c["kind"] == CALL else not (-1.0 - tol <= d <= tol)


def below_payoff(c):
    return c["style"] == AMERICAN and c["price"] is not None and c["price"] < payoff(c["kind"], c["S"], c["K"])


def above_bound(c):
    if c["price"] is None:
        return False
    if c["kind"] == CALL:
        return c["price"] > c["S"]
    return c["price"] > c["K"] * max(1.0, math.exp(-c["r"] * years(c)))


def describe(c):
    T = years(c)
    return (f"{c['style'][:2].capitalize()} {c['kind']} K={c['K']:g} r={c['r']:g} sig={c['sigma']:g} "
            f"T={T:.4g} ({std_devs_from_strike(c) if T > 0 and c['sigma'] > 0 else float('nan'):.1f} sd): "
            f"{c['price']!r} vs {c['oracle']!r}")


def fmt(x, pattern=".1e"):
    if x is None:
        return "-"
    return format(x, pattern)


# ---------------------------------------------------------------- reports


def group_table(title, subset):
    """Error and sanity counts per (style, type) group and overall."""
    print(f"\n  {title}")
    print(f"  {'group':<10}{'n':>5}{'max err':>10}{'p99 err':>10}{'median':>10}{'delta out':>11}{'(> 1e-6)':>10}"
          f"{'< payoff':>10}{'> bound':>9}{'failed':>8}")
    for name, members in [(f"{st[:2].capitalize()} {k}", [c for c in subset if (c['style'], c['kind']) == (st, k)])
                          for st, k in GROUPS] + [("all", subset)]:
        errors = [rel_error(c) for c in members if c["price"] is not None]
        n_below = sum(below_payoff(c) for c in members)
        am = any(c["style"] == AMERICAN for c in members)
        print(f"  {name:<10}{len(members):>5}{fmt(max(errors, default=None)):>10}"
              f"{fmt(percentile(errors, 0.99) if errors else None):>10}"
              f"{fmt(statistics.median(errors) if errors else None):>10}"
              f"{sum(delta_outside(c) for c in members):>11}{sum(delta_outside(c, 1e-6) for c in members):>10}"
              f"{(n_below if am else '-'):>10}"
              f"{sum(above_bound(c) for c in members):>9}{sum(c['failure'] is not None for c in members):>8}")


def report_random(cases, seed):
    print(f"\n1. Random set: {len(cases)} cases (seed {seed}), S = 100, error = |grid - oracle| / max(S, K)")
    print("  delta out: grid deltas outside [0, 1] (calls) or [-1, 0] (puts), and by more than 1e-6;"
          "\n  < payoff: American prices below the payoff; > bound: put > K max(1, exp(-rT)) or call > S")
    table = group_table
    table("All cases", cases)
    table("Spot and the +-1% bump inside the strike-centred ln K +- 6 sig sqrt(T) (any T)",
          [c for c in cases if inside_strike_grid(c)])
    table("Ordinary: inside ln K +- 6 sig sqrt(T) and T <= 2", [c for c in cases if ordinary(c)])

    print("\n  Worst case per group:")
    for st, k in GROUPS:
        members = [c for c in cases if (c["style"], c["kind"]) == (st, k) and c["price"] is not None]
        if members:
            worst = max(members, key=rel_error)
            print(f"    {rel_error(worst):8.1e}  {describe(worst)}")
    shortfalls = [(payoff(c["kind"], c["S"], c["K"]) - c["price"], c) for c in cases if below_payoff(c)]
    if shortfalls:
        gap, c = max(shortfalls, key=lambda x: x[0])
        print(f"  Largest shortfall below the payoff: {gap:.3e}  ({describe(c)})")
    outside = [c for c in cases if delta_outside(c)]
    if outside:
        c = max(outside, key=lambda c: abs(c["delta"]) if c["delta"] == c["delta"] else math.inf)
        print(f"  Largest |delta| out of bounds: {c['delta']!r}  ({describe(c)})")

    sources = {}
    for c in cases:
        key = c["oracle_source"].split(" (")[0] + (" (" + c["oracle_source"].split(" (")[1].split(";")[0] + ")"
                                                    if c["oracle_source"].startswith("fd") else "")
        sources.setdefault(key, []).append(c)
    print("\n  Oracles: " + "; ".join(f"{k}: {len(v)}" for k, v in sorted(sources.items())))
    fd_cases = [c for c in cases if c["oracle_source"].startswith("fd")]
    if fd_cases:
        worst_est = max(float(c["oracle_source"].rsplit("err ", 1)[1].rstrip(")")) / max(c["S"], c["K"])
                        for c in fd_cases)
        print(f"  Finite-difference oracle: largest error estimate {worst_est:.1e} x max(S, K) "
              "(time-extrapolation correction + the same grid's European error)")


def report_oracle_checks(cases, oracle, count):
    """The two American oracles side by side on American cases where both apply."""
    if count <= 0:
        return
    ams = [c for c in cases if c["style"] == AMERICAN and c["oracle_source"] == "qdfp"]
    picks = ams[:: max(1, len(ams) // count)][:count]
    negative_calls = [c for c in cases if c["style"] == AMERICAN and c["kind"] == CALL and c["r"] < 0]
    rows = []
    for c in picks:
        fd_value, _ = ql_fd_american(c["kind"], c["S"], c["K"], c["r"], c["sigma"], c["seconds"])
        rows.append(abs(fd_value - c["oracle"]) / max(c["S"], c["K"]))
    calls = []
    for c in negative_calls:
        try:
            qd_value, _ = ql_qdfp(c["kind"], c["S"], c["K"], c["r"], c["sigma"], c["seconds"])
        except RuntimeError:
            continue
        if math.isfinite(qd_value):
            calls.append(abs(qd_value - c["oracle"]) / max(c["S"], c["K"]))
    print(f"\n  Oracle cross-check: QdFp vs the fine FD oracle on {len(rows)} American cases served by QdFp: "
          f"max |diff| {max(rows, default=float('nan')):.1e} x max(S, K), median "
          f"{statistics.median(rows) if rows else float('nan'):.1e}")
    if calls:
        print(f"  American calls with r < 0 (FD oracle), where QdFp also returns a value ({len(calls)} of "
              f"{len(negative_calls)}): max |diff| {max(calls):.1e} x max(S, K)")


def report_far(cases, times):
    print("\n2. Far spots: European, K = 100, sig = 0.2, r = 5%; |grid - closed form| / max(S, K)")
    for kind in (CALL, PUT):
        print(f"\n  {kind}s{'':<5}" + "".join(f"{'S=' + format(100 * m, 'g'):>9}" for m in FAR_MULTIPLES)
              + f"{'time/compute':>14}")
        for tlabel, sec in FAR_TIMES:
            row = [c for c in cases if c["kind"] == kind and c["seconds"] == sec]
            cells = "".join(f"{fmt(rel_error(c)) if c['price'] is not None else 'fail':>9}" for c in row)
            med = statistics.median([times[c["id"]] for c in row if times.get(c["id"]) is not None] or [math.nan])
            print(f"  {tlabel:<10}{cells}{med * 1e3:11.3f} ms")
    all_times = [t for t in times.values() if t is not None]
    if all_times:
        print(f"  median time per compute() over all {len(all_times)} cells: {statistics.median(all_times) * 1e3:.3f} ms")


def report_repros(cases):
    print("\n3. Known trouble cases (true greeks: central differences of true prices, extrapolated)")
    print(f"  {'case':<31}{'':<6}{'grid':>16}{'true':>16}{'error':>11}{'err/max(S,K)':>13}  oracle")
    for c in cases:
        first = True
        for q in c["what"]:
            value = c[q]
            true = c["oracle"] if q == "price" else c[f"oracle_{q}"]
            name = c["label"] if first else ""
            if value is None:
                shown = (c["failure"] or "")[:40]
                print(f"  {name:<31}{q:<6}  {shown}  (true {true:.6g})")
            else:
                err = value - true
                rel = f"{abs(err) / max(c['S'], c['K']):13.1e}" if q == "price" else " " * 13
                print(f"  {name:<31}{q:<6}{value:16.8g}{true:16.8g}{err:11.2e}{rel}"
                      f"  {c['oracle_source'] if first else ''}")
            first = False
    by_id = {c["id"]: c for c in cases}
    for a, b in [("rep-6a", "rep-6b"), ("rep-6e", "rep-6f"), ("rep-6g", "rep-6h")]:
        if by_id[a]["price"] is not None and by_id[b]["price"] is not None:
            print(f"  one ulp of sigma moves {by_id[a]['label'].strip()}: {by_id[b]['price'] - by_id[a]['price']:+.3e}")


def report_timing(cases, grid_times, oracle):
    """Medians over cases, each grid time itself a median of a few compute() calls."""
    print("\n4. Time per compute(), medians over the random set (grid 1001 x 50)")
    early = [c["id"] for c in cases if c["id"] in oracle.qdfp_times and c["kind"] == PUT and c["r"] > 0]
    rows = [("sorvik grid, Europeans", [grid_times[c["id"]] for c in cases if c["style"] == EUROPEAN]),
            ("sorvik grid, Americans", [grid_times[c["id"]] for c in cases if c["style"] == AMERICAN]),
            ("QuantLib QdFp (high precision) NPV, every case it served", list(oracle.qdfp_times.values())),
            ("QuantLib fine FD oracle (three solves)", oracle.fd_times),
            ("sorvik grid, American puts with r > 0", [grid_times[i] for i in early]),
            ("QdFp, the same cases (early exercise to solve)", [oracle.qdfp_times[i] for i in early])]
    for name, samples in rows:
        samples = [x for x in samples if x is not None]
        if samples:
            print(f"  {name:<56}{statistics.median(samples) * 1e3:9.3f} ms  (n = {len(samples)})")
    pairs = [(grid_times[i], oracle.qdfp_times[i]) for i in early if grid_times[i] is not None]
    if not pairs:
        return None
    ratio = statistics.median([q for _, q in pairs]) / statistics.median([g for g, _ in pairs])
    print(f"  QdFp / sorvik grid on American puts with r > 0: {ratio:.1f}x (ratio of medians; "
          f"median of per-case ratios {statistics.median([q / g for g, q in pairs]):.1f}x)")
    return ratio


# ---------------------------------------------------------------- greeks


def quantile(values, q):
    return float(np.quantile(values, q)) if len(values) else float("nan")


def verdict(value, limit):
    return f"{value:9.2e}  (limit {limit:.0e}: {'ok' if value <= limit else 'OVER'})"


def european_greeks(n, seed):
    """The European random set of the greeks targets, on the default grid through sorvik_batch."""
    rng = np.random.default_rng(seed)
    S = 100.0 * np.exp(rng.uniform(math.log(0.5), math.log(2.0), n))
    K, T = 100.0, np.exp(rng.uniform(math.log(1 / 8760), math.log(10.0), n))
    r, q, vol = rng.uniform(0, 0.1, n), rng.uniform(0, 0.05, n), rng.uniform(0.05, 1.0, n)
    kind = rng.choice([CALL, PUT], n)
    grid = sb.value(S, K, T, r, vol, option_type=kind, dividend_yield=q, method="fdm", bumped_vega_rho=True)
    exact = sb.value(S, K, T, r, vol, option_type=kind, dividend_yield=q, method="analytic")
    scale = np.maximum(S, K)
    near = np.abs(np.log(S / K) + (r - q) * T) <= 3 * vol * np.sqrt(T)
    print(f"\n  European grid greeks against the closed form: {n} cases ({near.sum()} within 3 sd of the forward)")
    delta = np.abs(grid.delta - exact.delta)
    print(f"    delta error          p99 {verdict(quantile(delta, 0.99), 1e-4)}   max {verdict(delta.max(), 5e-4)}")
    curved = S * exact.gamma >= 1e-3
    gamma = np.abs(grid.gamma[curved] - exact.gamma[curved]) / exact.gamma[curved]
    inner = near[curved]
    print(f"    gamma < 0            {int((grid.gamma < 0).sum())} cases")
    print(f"    gamma rel. error     within 3 sd p99 {verdict(quantile(gamma[inner], 0.99), 1e-3)}   "
          f"max {verdict(gamma[inner].max(), 1e-2)}")
    print(f"                         beyond 3 sd max {verdict(gamma[~inner].max(), 2e-2)}")
    moving = near & (np.abs(exact.theta) >= 1e-4 * scale)
    theta = np.abs(grid.theta[moving] / exact.theta[moving] - 1)
    print(f"    theta rel. error     within 3 sd p99 {verdict(quantile(theta, 0.99), 2e-3)}")
    for field in ("vega", "rho"):
        big = near & (np.abs(getattr(exact, field)) >= 1e-3 * scale)
        err = np.abs(getattr(grid, field)[big] / getattr(exact, field)[big] - 1)
        print(f"    {field:<4} rel. error      within 3 sd p99 {verdict(quantile(err, 0.99), 1e-3)}   "
              f"max {verdict(err.max(), 1e-2)}   (bumped, mesh held)")


def american_greeks(n, seed):
    """American grid greeks against central differences (1 % and 0.5 % of S, extrapolated) of QdFp."""
    rng = np.random.default_rng(seed)
    delta_err, gamma_err, exercised, exact_payoff = [], [], 0, 0
    for i in range(n):
        kind = PUT if i % 2 == 0 else CALL
        S, K = 100.0, 100.0 / math.exp(rng.uniform(math.log(0.7), math.log(1.4)))
        days = int(math.exp(rng.uniform(math.log(7), math.log(3 * 365))))
        r, q, vol = rng.uniform(0, 0.1), rng.uniform(0.005, 0.05), rng.uniform(0.1, 0.6)
        T = days / 365
        g = sb.value(S, K, T, r, vol, option_type=kind, exercise=AMERICAN, dividend_yield=q, method="fdm")
        if g.price == payoff(kind, S, K):
            exercised += 1
            exact_payoff += (g.delta == (1.0 if kind == CALL else -1.0) and g.gamma == 0.0 and g.theta == 0.0)
            continue

        def true(spot):
            process, option = ql_option(kind, AMERICAN, spot, K, r, q, vol, days * 86400)
            option.setPricingEngine(ql.QdFpAmericanEngine(process, ql.QdFpAmericanEngine.highPrecisionScheme()))
            return option.NPV()

        v0 = true(S)
        steps = []
        for h in (BUMP * S, 0.5 * BUMP * S):
            up, down = true(S + h), true(S - h)
            steps.append(((up - down) / (2 * h), ((up - (v0 + v0)) + down) / (h * h)))
        d_true, g_true = (4 * steps[1][0] - steps[0][0]) / 3, (4 * steps[1][1] - steps[0][1]) / 3
        delta_err.append(abs(g.delta - d_true))
        if S * g_true >= 1e-3:
            gamma_err.append(abs(g.gamma / g_true - 1))
    print(f"\n  American grid greeks against central differences of QdFp: {n} cases "
          f"(T 1 week - 3 y, sigma 10-60 %, r 0-10 %, q 0.5-5 %, S/K 0.7-1.4, puts and calls)")
    print(f"    delta error          p99 {verdict(quantile(delta_err, 0.99), 2e-4)}   max {max(delta_err):.2e}")
    print(f"    gamma rel. error     p99 {verdict(quantile(gamma_err, 0.99), 1e-2)}   max {max(gamma_err):.2e}")
    print(f"    in the exercise region: {exercised} cases, {exact_payoff} with exactly the payoff's greeks")


def bounds_and_ladders(n_ladders, seed):
    rng = np.random.default_rng(seed)
    worst_delta, worst_convexity, bad_ladders = 0.0, 0.0, 0
    for _ in range(n_ladders):
        T, r, vol = math.exp(rng.uniform(math.log(1 / 365), math.log(10))), rng.uniform(0, 0.1), rng.uniform(0.05, 1.5)
        strikes = rng.uniform(50, 200) * 1.005 ** np.arange(21)
        for kind in (CALL, PUT):
            for style in (EUROPEAN, AMERICAN):
                v = sb.value(100.0, strikes, T, r, vol, option_type=kind, exercise=style, method="fdm")
                lo, hi = (0.0, 1.0) if kind == CALL else (-1.0, 0.0)
                worst_delta = max(worst_delta, float(np.max(np.maximum(lo - v.delta, v.delta - hi))))
                slopes = np.diff(v.price) / np.diff(strikes)
                second = np.diff(slopes) * np.diff(strikes)[1:] / strikes.max()
                worst_convexity = min(worst_convexity, float(second.min()))
                bad_ladders += bool(second.min() < -1e-9)
    print(f"\n  Bounds and convexity (q = 0): {n_ladders} ladders of 21 strikes 0.5 % apart, calls and puts, "
          "European and American")
    print(f"    largest delta beyond [0, 1] / [-1, 0]: {max(worst_delta, 0.0):.1e} (limit 1e-9)")
    print(f"    lowest second difference / max(S, K): {worst_convexity:.1e} (limit -1e-9); "
          f"ladders below: {bad_ladders}")


def small_volatilities():
    vols = np.array([0.0, 1e-8, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2])
    print("\n  Small volatilities: ATM, T = 1, r = 5 %, q = 0; |grid - exact| / max(S, K) "
          "(exact: closed form; American puts: QdFp, 0 below sigma = 1e-4)")
    print(f"    {'':<18}" + "".join(f"{v:>10g}" for v in vols) + f"{'|V(1e-8)-V(0)|':>16}")
    for kind in (CALL, PUT):
        for style in (EUROPEAN, AMERICAN):
            grid = sb.value(100.0, 100.0, 1.0, 0.05, vols, option_type=kind, exercise=style, method="fdm").price
            if kind == PUT and style == AMERICAN:
                exact = [0.0 if v < 1e-4 else ql_qdfp(PUT, 100.0, 100.0, 0.05, v, YEAR)[0] for v in vols]
            else:
                exact = sb.value(100.0, 100.0, 1.0, 0.05, vols, option_type=kind, method="analytic").price
            err = np.abs(grid - np.asarray(exact)) / 100
            print(f"    {style[:2].capitalize()} {kind:<15}" + "".join(f"{e:10.1e}" for e in err)
                  + f"{abs(grid[1] - grid[0]) / 100:16.1e}" + ("  NEGATIVE" if (grid < 0).any() else ""))


def implied_vols_at_the_payoff():
    print("\n  American implied vols at the payoff")

    def attempt(label, *args, **kw):
        try:
            print(f"    {label:<52} {sb.implied_vol(*args, **kw)!r}")
        except ValueError as exc:
            print(f"    {label:<52} ValueError: {exc}")

    spot, T, r, q = 59.23654131055017, 16 / 365, 0.015658, 0.050229
    sure = sb.value(spot, 100.0, T, r, 0.0, option_type=PUT, exercise=AMERICAN, dividend_yield=q, method="fdm").price
    attempt("(a) one ulp below the sure value", math.nextafter(sure, 0.0), spot, 100.0, T, r, option_type=PUT,
            exercise=AMERICAN, dividend_yield=q, method="fdm")
    kw = dict(option_type=PUT, exercise=AMERICAN, dividend_yield=0.02, method="fdm")
    quote = sb.value(55.0, 100.0, 2.0, 0.08, 0.2, **kw).price
    attempt(f"(b) the grid's own price at sigma 0.2 ({quote!r})", quote, 55.0, 100.0, 2.0, 0.08, **kw)
    attempt("(b) payoff + 5e-9 (inside the tolerance)", 45.0 + 5e-9, 55.0, 100.0, 2.0, 0.08, **kw)
    attempt("(c) payoff + 2.8e-7", 45.0 + 2.8e-7, 55.0, 100.0, 2.0, 0.08, **kw)
    quote = 100.0 - 100.0 * math.exp(-0.05) + 1e-7
    closed = sb.implied_vol(quote, 100.0, 100.0, 1.0, 0.05, option_type=CALL)
    american = sb.implied_vol(quote, 100.0, 100.0, 1.0, 0.05, option_type=CALL, exercise=AMERICAN, method="fdm")
    print(f"    {'(d) ATM call, sure value + 1e-7':<52} {american!r} (closed form {closed!r}: "
          f"{american / closed - 1:+.1e})")


def closed_form_wings(n, seed):
    try:
        import mpmath
    except ImportError:
        print("\n  Closed-form wings: mpmath is not installed")
        return
    rng = np.random.default_rng(seed)
    price_err, iv_err = [], []
    for _ in range(n):
        kind = str(rng.choice([CALL, PUT]))
        T, r, q, vol = math.exp(rng.uniform(math.log(0.02), math.log(5))), rng.uniform(0, 0.1), \
            rng.uniform(0, 0.05), rng.uniform(0.05, 1.0)
        sds = rng.uniform(6, 10) * (1 if kind == PUT else -1)
        K = 100.0 * math.exp((r - q) * T - sds * vol * math.sqrt(T))
        price = sb.value(100.0, K, T, r, vol, option_type=kind, dividend_yield=q).price
        with mpmath.workdps(50):
            S_, K_, T_, r_, q_, s_ = map(mpmath.mpf, (100.0, K, T, r, q, vol))
            sd = s_ * mpmath.sqrt(T_)
            d1 = (mpmath.log(S_ / K_) + (r_ - q_) * T_) / sd + sd / 2
            call = S_ * mpmath.exp(-q_ * T_) * mpmath.ncdf(d1) - K_ * mpmath.exp(-r_ * T_) * mpmath.ncdf(d1 - sd)
            exact = call if kind == CALL else call - S_ * mpmath.exp(-q_ * T_) + K_ * mpmath.exp(-r_ * T_)
            price_err.append(float(abs(price / exact - 1)))
        iv = sb.implied_vol(price, 100.0, K, T, r, option_type=kind, dividend_yield=q, errors="nan")
        iv_err.append(abs(iv / vol - 1))
    print(f"\n  Closed-form prices 6-10 sd out of the money against 50-digit values ({n} cases)")
    print(f"    price rel. error max {verdict(max(price_err), 1e-12)}   median {statistics.median(price_err):.1e}")
    print(f"    implied vol of the price, rel. error max {verdict(max(iv_err), 1e-12)}")


def grid_cost(reps):
    """Time per option of a grid book on one thread, medians of several runs."""
    rng = np.random.default_rng(5)
    n = 400
    S, T, vol = rng.uniform(70, 130, n), rng.uniform(0.1, 2.0, n), rng.uniform(0.1, 0.5, n)
    print("\n  Time per option on the default grid, one thread, books of 400 (median of runs)")
    for style, q in ((EUROPEAN, 0.0), (AMERICAN, 0.0), (AMERICAN, 0.03)):
        samples = []
        for _ in range(reps):
            t0 = time.perf_counter()
            sb.value(S, 100.0, T, 0.05, vol, option_type=PUT, exercise=style, dividend_yield=q, method="fdm",
                     threads=1)
            samples.append((time.perf_counter() - t0) / n)
        print(f"    {style} puts, q = {q:g}: {statistics.median(samples) * 1e6:7.1f} us")


def report_greeks(quick):
    print("\n6. Greeks")
    european_greeks(600 if quick else 3000, 20240102)
    american_greeks(40 if quick else 300, 20240103)
    bounds_and_ladders(40 if quick else 400, 20240104)
    small_volatilities()
    implied_vols_at_the_payoff()
    closed_form_wings(40 if quick else 300, 20240105)
    grid_cost(3 if quick else 9)


# ---------------------------------------------------------------- save and compare


def encode(x):
    if isinstance(x, float):
        if math.isnan(x):
            return "nan"
        if math.isinf(x):
            return "inf" if x > 0 else "-inf"
        return float(f"{x:.17g}")
    return x


def decode(x):
    return float(x) if x in ("nan", "inf", "-inf") else x


def save(path, cases, meta):
    rows = [[encode(c.get(f)) for f in FIELDS] for c in cases]
    with open(path, "w") as f:
        json.dump({"meta": meta, "fields": FIELDS, "cases": rows}, f, separators=(",", ":"))
        f.write("\n")
    print(f"\nSaved {len(rows)} cases to {path}")


def load(path):
    with open(path) as f:
        data = json.load(f)
    return data["meta"], {row[0]: dict(zip(data["fields"], map(decode, row))) for row in data["cases"]}


INPUTS = ["kind", "style", "S", "K", "r", "sigma", "seconds", "nodes", "steps", "g"]


def compare(path, cases):
    meta, old = load(path)
    pairs = [(old[c["id"]], c) for c in cases if c["id"] in old and all(old[c["id"]][k] == c[k] for k in INPUTS)]
    print(f"\n5. Change against {path} ({meta.get('created', '?')}): {len(pairs)} of {len(cases)} cases matched")
    drift = [abs(o["oracle"] - c["oracle"]) / max(c["S"], c["K"]) for o, c in pairs
             if o["oracle"] is not None and c["oracle"] is not None]
    if drift and max(drift) > 1e-12:
        print(f"  note: the oracle values differ from the saved ones by up to {max(drift):.1e} x max(S, K)")

    def err(p, c):
        return abs(p - c["oracle"]) / max(c["S"], c["K"])

    def summary(title, subset):
        print(f"\n  {title}")
        print(f"  {'':<22}{'n':>5}{'max rel chg':>13}{'median':>10}{'max chg/mx':>12}"
              f"{'mean err saved':>16}{'now':>10}{'closer':>8}{'farther':>8}{'same':>6}{'failed':>7}")
        for name, members in subset:
            ok = [(o, c) for o, c in members if o["price"] is not None and c["price"] is not None
                  and math.isfinite(o["price"]) and math.isfinite(c["price"])]
            failed = len(members) - len(ok)
            rel = [abs(c["price"] - o["price"]) / abs(o["price"]) if o["price"] != 0 else
                   (0.0 if c["price"] == 0 else math.inf) for o, c in ok]
            absx = [abs(c["price"] - o["price"]) / max(c["S"], c["K"]) for o, c in ok]
            before = [err(o["price"], c) for o, c in ok]
            after = [err(c["price"], c) for o, c in ok]
            closer = sum(a < b for a, b in zip(after, before))
            farther = sum(a > b for a, b in zip(after, before))
            same = sum(o["price"] == c["price"] for o, c in ok)
            print(f"  {name:<22}{len(members):>5}{fmt(max(rel, default=None)):>13}"
                  f"{fmt(statistics.median(rel) if rel else None):>10}{fmt(max(absx, default=None)):>12}"
                  f"{fmt(statistics.fmean(before) if before else None):>16}"
                  f"{fmt(statistics.fmean(after) if after else None):>10}{closer:>8}{farther:>8}{same:>6}{failed:>7}")

    saved_random = [dict(o, oracle=c["oracle"]) for o, c in pairs if c["id"].startswith("rnd-")]
    if saved_random:
        group_table(f"Random set as saved ({len(saved_random)} cases; errors against this run's oracle)", saved_random)
        group_table("Random set now, the same cases", [c for o, c in pairs if c["id"].startswith("rnd-")])

    broad = [(o, c) for o, c in pairs if not c["id"].startswith("rep-")]
    ordin = [(o, c) for o, c in broad if ordinary(c)]
    other = [(o, c) for o, c in broad if not ordinary(c)]
    eu = [(o, c) for o, c in ordin if c["style"] == EUROPEAN]
    am = [(o, c) for o, c in ordin if c["style"] == AMERICAN]
    bands = [(0, 1), (1, 2), (2, 4), (4, math.inf)]
    print("  rel chg = |now - saved| / |saved|; chg/mx = |now - saved| / max(S, K); err = |price - oracle| / max(S, K);"
          "\n  closer / farther: cases whose error shrank / grew; sd = |ln(S/K)| / (sig sqrt(T))")
    summary("Ordinary cases (random set and far spots): spot and +-1% bump inside ln K +- 6 sig sqrt(T), T <= 2",
            [("European", eu), ("American", am)]
            + [(f"  Eu {lo:g}-{hi:g} sd" if hi < math.inf else f"  Eu >= {lo:g} sd",
                [(o, c) for o, c in eu if lo <= std_devs_from_strike(c) < hi]) for lo, hi in bands]
            + [(f"  Am {lo:g}-{hi:g} sd" if hi < math.inf else f"  Am >= {lo:g} sd",
                [(o, c) for o, c in am if lo <= std_devs_from_strike(c) < hi]) for lo, hi in bands])
    summary("Other cases (spot or bump outside ln K +- 6 sig sqrt(T), T > 2, or no width)",
            [("European", [(o, c) for o, c in other if c["style"] == EUROPEAN]),
             ("American", [(o, c) for o, c in other if c["style"] == AMERICAN])])
    for name, members in [("European", eu), ("American", am)]:
        moved = sorted(((abs(c["price"] - o["price"]) / abs(o["price"]), o, c) for o, c in members
                        if o["price"] and c["price"] is not None), key=lambda x: -x[0])[:3]
        if moved and moved[0][0] > 0:
            print(f"  Largest ordinary {name} changes:")
            for rel, o, c in moved:
                print(f"    {rel:8.1e}  {describe(c)}; saved {o['price']!r}")

    reps = [(o, c) for o, c in pairs if c["id"].startswith("rep-")]
    if reps:
        print(f"\n  Known trouble cases, saved and current price\n  {'case':<31}{'saved':>16}{'now':>16}{'true':>16}")
        for o, c in reps:
            shown = lambda x: f"{x['price']:16.8g}" if x["price"] is not None else f"{'(failed)':>16}"
            print(f"  {c['label']:<31}{shown(o)}{shown(c)}{c['oracle']:16.8g}")
    if meta.get("qdfp_over_grid"):
        print(f"\n  Timing, QdFp / sorvik grid on American puts with r > 0: saved run {meta['qdfp_over_grid']:.1f}x "
              "(this run: section 4)")


# ---------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cases", type=int, help="random cases (default 500, 100 with --quick)")
    parser.add_argument("--seed", type=int, default=20240102, help="seed of the random set")
    parser.add_argument("--quick", action="store_true", help="fewer cases and timing repetitions: a smoke run")
    parser.add_argument("--oracle-checks", type=int, help="American cases valued by both oracles (default 12, 3 with --quick)")
    parser.add_argument("--save", metavar="FILE.json", help="write every case, its grid values and its oracle")
    parser.add_argument("--compare", metavar="OLD.json", help="print the change of price against a saved run")
    parser.add_argument("--greeks", action="store_true", help="run section 6 (greeks) only")
    args = parser.parse_args()
    n_cases = args.cases if args.cases is not None else (100 if args.quick else 500)
    checks = args.oracle_checks if args.oracle_checks is not None else (3 if args.quick else 12)
    reps = 2 if args.quick else 5
    started = time.perf_counter()

    ql.Settings.instance().evaluationDate = QL_TODAY
    print(f"sorvik {metadata.version('sorvik')} from {os.path.dirname(s.__file__) or '.'}; QuantLib {ql.__version__}; "
          f"Python {platform.python_version()}; {os.cpu_count()} CPUs; {platform.machine()}")
    print("Grid 1001 nodes x 50 steps x 6 sd unless stated; T = whole seconds / 31,536,000; continuous r; no dividends"
          + ("  [--quick: smoke run]" if args.quick else ""))
    sys.stdout.flush()

    if args.greeks:
        report_greeks(args.quick)
        print(f"\nDone in {time.perf_counter() - started:.0f} s")
        return

    oracle = Oracle()
    rnd = random_cases(n_cases, args.seed)
    grid_times = {}
    ql_gap = 0.0
    for c in rnd:
        grid_times[c["id"]] = run_grid(c, reps=3)
        oracle.fill(c, timed=True)
        if c["style"] == EUROPEAN:
            peer = ql_european(c["kind"], c["S"], c["K"], c["r"], c["sigma"], c["seconds"])
            ql_gap = max(ql_gap, abs(peer - c["oracle"]) / max(c["S"], c["K"]))
    report_random(rnd, args.seed)
    print(f"  European closed form, sorvik vs QuantLib analytic (days with scaled r, sig): max |diff| "
          f"{ql_gap:.1e} x max(S, K)")
    report_oracle_checks(rnd, oracle, checks)

    far = far_cases()
    far_times = {}
    for c in far:
        far_times[c["id"]] = run_grid(c, reps=reps)
        oracle.fill(c)
    report_far(far, far_times)

    reps_cases = repro_cases()
    for c in reps_cases:
        run_grid(c)
        oracle.fill(c)
    report_repros(reps_cases)

    ratio = report_timing(rnd, grid_times, oracle)
    report_greeks(args.quick)

    every = rnd + far + reps_cases
    if args.compare:
        compare(args.compare, every)
    if args.save:
        meta = dict(created=dt.datetime.now(UTC).strftime("%Y-%m-%d %H:%M UTC"), sorvik=metadata.version("sorvik"),
                    quantlib=ql.__version__, python=platform.python_version(), seed=args.seed, cases=n_cases,
                    qdfp_over_grid=ratio)
        save(args.save, every, meta)
    print(f"\nDone in {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
