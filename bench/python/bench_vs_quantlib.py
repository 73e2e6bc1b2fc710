"""End-to-end timings and accuracy of sorvik next to QuantLib, in one process.

Same inputs on both sides: S = K = 100, r = 5% (continuous), sigma = 20%, no
dividends, T = 1 year exactly (Actual/365 Fixed, valuation and expiry 365 days
apart).

  * closed form: re-valuing an existing setup and reading price and five greeks
    (sorvik `compute()` on a builder; QuantLib after a spot quote change, which
    forces the analytic engine to run again), plus a pure-Python Black-Scholes
    as a second reference;
  * a full valuation from nothing (option, curve, surface, market, compute);
  * an American put on a 1001-node x 50-step finite-difference grid, against
    QuantLib's finite-difference engine on the same grid with its default
    scheme and with TR-BDF2, and the prices of all three against a
    high-precision American value.

Cases are timed in interleaved rounds so that load from other processes hits
every case alike; the table shows medians over the rounds and ratios of
medians.

    pip install .[bench]
    python bench/python/bench_vs_quantlib.py            # about 15 seconds
    python bench/python/bench_vs_quantlib.py --quick    # smoke run, a few seconds
"""
import argparse
import datetime as dt
import math
import os
import platform
import statistics
import sys
import timeit

import QuantLib as ql

import sorvik as s

S, K, R, SIGMA, T = 100.0, 100.0, 0.05, 0.2, 1.0
# The peer re-prices after a spot change; alternating with the next double up
# forces a recalculation every call while keeping the inputs the same.
S_NEXT = math.nextafter(S, math.inf)
FD_NODES, FD_STEPS = 1001, 50

UTC = dt.timezone.utc
A365 = s.DayCountConvention.Act365Fixed
NOW = dt.datetime(2024, 1, 2, tzinfo=UTC)
EXPIRY = dt.datetime(2025, 1, 1, tzinfo=UTC)  # 365 days later: T = 1.0
QL_TODAY, QL_EXPIRY = ql.Date(2, 1, 2024), ql.Date(1, 1, 2025)


# ---------------------------------------------------------------- sorvik side


def sorvik_builder(kind, style, config=None):
    option = s.StockOption(K, EXPIRY, kind, style)
    frame = s.OptionMarketFrame(S, s.RateCurve.continuous(R, A365), s.VolSurface.flat(SIGMA, A365))
    builder = option.valuation().market(frame).at(NOW)
    if config is not None:
        builder.config(config)
    return builder


def sorvik_full():
    option = s.StockOption(K, dt.datetime(2025, 1, 1, tzinfo=UTC), s.OptionType.Call, s.ExerciseStyle.European)
    frame = s.OptionMarketFrame(S, s.RateCurve.continuous(R, A365), s.VolSurface.flat(SIGMA, A365))
    return option.valuation().market(frame).at(dt.datetime(2024, 1, 2, tzinfo=UTC)).compute().price


# ---------------------------------------------------------------- QuantLib side


def ql_setup(option_type, exercise, engine_factory, merton=False):
    """An option on its own spot quote, so cases do not invalidate each other."""
    dc = ql.Actual365Fixed()
    quote = ql.SimpleQuote(S)
    rates = ql.YieldTermStructureHandle(ql.FlatForward(QL_TODAY, R, dc, ql.Continuous))
    vol = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(QL_TODAY, ql.NullCalendar(), SIGMA, dc))
    if merton:
        dividends = ql.YieldTermStructureHandle(ql.FlatForward(QL_TODAY, 0.0, dc, ql.Continuous))
        process = ql.BlackScholesMertonProcess(ql.QuoteHandle(quote), dividends, rates, vol)
    else:
        process = ql.BlackScholesProcess(ql.QuoteHandle(quote), rates, vol)
    option = ql.VanillaOption(ql.PlainVanillaPayoff(option_type, K), exercise)
    option.setPricingEngine(engine_factory(process))
    return quote, option


def ql_full():
    today = ql.Date(2, 1, 2024)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    spot = ql.QuoteHandle(ql.SimpleQuote(S))
    rates = ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(ql.SimpleQuote(R)), dc, ql.Continuous))
    vol = ql.BlackVolTermStructureHandle(
        ql.BlackConstantVol(today, ql.NullCalendar(), ql.QuoteHandle(ql.SimpleQuote(SIGMA)), dc))
    process = ql.BlackScholesProcess(spot, rates, vol)
    option = ql.VanillaOption(ql.PlainVanillaPayoff(ql.Option.Call, K), ql.EuropeanExercise(ql.Date(1, 1, 2025)))
    option.setPricingEngine(ql.AnalyticEuropeanEngine(process))
    return option.NPV()


# ---------------------------------------------------------------- pure-Python reference

INV_SQRT2 = 1.0 / math.sqrt(2.0)
INV_SQRT_2PI = 1.0 / math.sqrt(2.0 * math.pi)


def py_black_scholes_call(spot, strike, rate, vol, t):
    """Price, delta, gamma, theta (per year), vega and rho of a European call."""
    sqrt_t = math.sqrt(t)
    vol_t = vol * sqrt_t
    d1 = (math.log(spot / strike) + (rate + 0.5 * vol * vol) * t) / vol_t
    d2 = d1 - vol_t
    n1 = 0.5 * (1.0 + math.erf(d1 * INV_SQRT2))
    n2 = 0.5 * (1.0 + math.erf(d2 * INV_SQRT2))
    pdf1 = math.exp(-0.5 * d1 * d1) * INV_SQRT_2PI
    k_df = strike * math.exp(-rate * t)
    return (spot * n1 - k_df * n2, n1, pdf1 / (spot * vol_t),
            -spot * pdf1 * vol / (2.0 * sqrt_t) - rate * k_df * n2, spot * pdf1 * sqrt_t, t * k_df * n2)


# ---------------------------------------------------------------- timing


class Case:
    def __init__(self, label, stmt, namespace, calls_per_stmt=1):
        self.label = label
        self.timer = timeit.Timer(stmt, globals=namespace)
        self.calls = calls_per_stmt
        self.number = 1
        self.samples = []

    def calibrate(self, budget):
        """Pick the loop count that makes one sample last about `budget` seconds."""
        self.timer.timeit(1)  # warm-up
        n = 1
        while True:
            elapsed = self.timer.timeit(n)
            if elapsed >= budget / 4 or n >= 1 << 24:
                break
            n *= 4
        self.number = max(1, round(n * budget / max(elapsed, 1e-9)))

    def sample(self):
        self.samples.append(self.timer.timeit(self.number) / (self.number * self.calls))

    @property
    def median(self):
        return statistics.median(self.samples)


def run_rounds(cases, rounds, budget):
    for case in cases:
        case.calibrate(budget)
    for _ in range(rounds):
        for case in cases:
            case.sample()


def fmt_time(seconds):
    if seconds >= 1e-3:
        return f"{seconds * 1e3:8.3f} ms"
    return f"{seconds * 1e6:8.3f} µs"


def warn(message):
    print(f"WARNING: {message}")


# ---------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="few short rounds: a smoke run, not a measurement")
    parser.add_argument("--rounds", type=int, help="timing rounds per case (default 31, 5 with --quick)")
    parser.add_argument("--save", metavar="FILE", help="record the figures for the documentation (JSON)")
    args = parser.parse_args()
    rounds = args.rounds or (5 if args.quick else 31)
    budget = 0.005 if args.quick else 0.05  # seconds per sample

    ql.Settings.instance().evaluationDate = QL_TODAY
    Call, Put = s.OptionType.Call, s.OptionType.Put
    European, American = s.ExerciseStyle.European, s.ExerciseStyle.American

    # Closed form.
    cf = sorvik_builder(Call, European, s.Config().add_policy(s.InstrumentPolicy().analytic()))
    q_cf, o_cf = ql_setup(ql.Option.Call, ql.EuropeanExercise(QL_EXPIRY), ql.AnalyticEuropeanEngine)

    # Finite differences, American put.
    fd = sorvik_builder(Put, American, s.Config().add_policy(
        s.InstrumentPolicy().fdm(s.FdmConfig(time_steps=FD_STEPS, nodes=FD_NODES))))
    american = ql.AmericanExercise(QL_TODAY, QL_EXPIRY)
    q_dg, o_dg = ql_setup(ql.Option.Put, american,
                          lambda p: ql.FdBlackScholesVanillaEngine(p, FD_STEPS, FD_NODES, 0), merton=True)
    q_tr, o_tr = ql_setup(ql.Option.Put, american,
                          lambda p: ql.FdBlackScholesVanillaEngine(p, FD_STEPS, FD_NODES, 0,
                                                                   ql.FdmSchemeDesc.TrBDF2()), merton=True)
    _, o_ref = ql_setup(ql.Option.Put, american,
                        lambda p: ql.QdFpAmericanEngine(p, ql.QdFpAmericanEngine.highPrecisionScheme()), merton=True)

    ns = dict(globals(), cf=cf, fd=fd, q_cf=q_cf, o_cf=o_cf, q_dg=q_dg, o_dg=o_dg, q_tr=q_tr, o_tr=o_tr)
    read5 = "r.price; g = r.greeks; g.delta; g.gamma; g.theta; g.vega; g.rho"
    ql5 = "{o}.NPV(); {o}.delta(); {o}.gamma(); {o}.theta(); {o}.vega(); {o}.rho()"
    ql3 = "{o}.NPV(); {o}.delta(); {o}.gamma(); {o}.theta()"

    def ql_toggle(quote, reads):
        return f"{quote}.setValue(S_NEXT); {reads}; {quote}.setValue(S); {reads}"

    cases = {
        "cf_compute": Case("compute() only", "cf.compute()", ns),
        "cf_sorvik": Case("compute() + price + 5 greeks", f"r = cf.compute(); {read5}", ns),
        "cf_ql": Case("QuantLib: spot change, NPV + 5 greeks", ql_toggle("q_cf", ql5.format(o="o_cf")), ns, 2),
        "cf_py": Case("pure Python (math.erf), price + 5 greeks", "py_black_scholes_call(S, K, R, SIGMA, T)", ns),
        "full_sorvik": Case("sorvik: option, curve, surface, frame, compute", "sorvik_full()", ns),
        "full_ql": Case("QuantLib: dates, quotes, curves, process, engine, NPV", "ql_full()", ns),
        "fd_sorvik": Case("sorvik compute() + price, delta, gamma, theta",
                          "r = fd.compute(); r.price; g = r.greeks; g.delta; g.gamma; g.theta", ns),
        "fd_ql_douglas": Case("QuantLib FD, default scheme (Douglas)", ql_toggle("q_dg", ql3.format(o="o_dg")), ns, 2),
        "fd_ql_trbdf2": Case("QuantLib FD, TR-BDF2", ql_toggle("q_tr", ql3.format(o="o_tr")), ns, 2),
    }

    print(f"sorvik from {os.path.dirname(s.__file__) or '.'}; QuantLib {ql.__version__}; "
          f"Python {platform.python_version()}; {os.cpu_count()} CPUs; {platform.machine()}")
    print(f"{rounds} interleaved rounds of ~{budget * 1e3:.0f} ms per case; medians per call"
          + ("  [--quick: smoke run, figures are rough]" if args.quick else ""))
    sys.stdout.flush()
    run_rounds(cases.values(), rounds, budget)
    m = {key: case.median for key, case in cases.items()}

    def row(key, peer=None, target=None):
        case = cases[key]
        spread = (max(case.samples) - min(case.samples)) / case.median if case.samples else 0.0
        ratio = f"{m[peer] / m[key]:7.2f}x" if peer else " " * 8
        verdict = ""
        if target:
            verdict = f"  target >= {target:g}x " + ("met" if m[peer] / m[key] >= target else "MISSED")
        print(f"  {case.label:<52s}{fmt_time(m[key])}  {ratio}  (range {spread * 100:3.0f}%){verdict}")

    print("\nClosed form, European call (ratio = QuantLib time / this time)")
    row("cf_compute", "cf_ql")
    row("cf_sorvik", "cf_ql", 15)
    row("cf_py", "cf_ql")
    row("cf_ql")
    print("\nFull valuation from nothing, European call, closed form")
    row("full_sorvik", "full_ql", 10)
    row("full_ql")
    print(f"\nAmerican put, finite differences, {FD_NODES} nodes x {FD_STEPS} steps")
    row("fd_sorvik", "fd_ql_douglas", 4.5)
    print(f"  {'':<52s}{'':11s}  {m['fd_ql_trbdf2'] / m['fd_sorvik']:7.2f}x  vs QuantLib TR-BDF2")
    row("fd_ql_douglas")
    row("fd_ql_trbdf2")

    check_closed_form(cf, q_cf, o_cf)
    errors = check_grid(fd, q_dg, o_dg, q_tr, o_tr, o_ref)
    if args.save:
        from bench_batch import merge_record
        merge_record(args.save, {
            "speed": [
                {"case": "Closed form, compute() + 5 greeks", "sorvik_seconds": m["cf_sorvik"], "peer": "QuantLib",
                 "peer_seconds": m["cf_ql"], "per": "valuation"},
                {"case": "American put, 1001 x 50, one valuation", "sorvik_seconds": m["fd_sorvik"],
                 "peer": "QuantLib FD (Douglas)", "peer_seconds": m["fd_ql_douglas"], "per": "valuation"},
            ],
            "accuracy": [
                {"case": "American put, 1001 x 50", "sorvik_error": errors[0], "peer": "QuantLib FD (Douglas)",
                 "peer_error": errors[1], "measure": "|price - high-precision value|"},
            ],
        })
        print(f"\nrecorded in {args.save}")


def check_closed_form(cf, q_cf, o_cf):
    q_cf.setValue(S)
    r = cf.compute()
    g = r.greeks
    ours = [r.price, g.delta, g.gamma, g.theta, g.vega, g.rho]
    peer = [o_cf.NPV(), o_cf.delta(), o_cf.gamma(), o_cf.theta(), o_cf.vega(), o_cf.rho()]
    python = list(py_black_scholes_call(S, K, R, SIGMA, T))
    names = ["price", "delta", "gamma", "theta/yr", "vega", "rho"]
    print("\nClosed-form values (QuantLib theta is per year; vega and rho per unit of vol and rate, as sorvik's)")
    print(f"  {'':9s}{'sorvik':>20s}{'QuantLib':>20s}{'pure Python':>20s}{'max rel diff':>14s}")
    for name, a, b, c in zip(names, ours, peer, python):
        rel = max(abs(a - b), abs(a - c)) / max(abs(a), 1e-300)
        print(f"  {name:9s}{a:20.12f}{b:20.12f}{c:20.12f}{rel:14.1e}")
    if abs(ours[0] - peer[0]) > 1e-10:
        warn(f"closed-form prices differ by {abs(ours[0] - peer[0]):.3e} (expected <= 1e-10)")
    for name, a, b in zip(names[1:], ours[1:], peer[1:]):
        if abs(a - b) > 1e-8 * max(1.0, abs(b)):
            warn(f"closed-form {name} differs: sorvik {a!r}, QuantLib {b!r}")


def check_grid(fd, q_dg, o_dg, q_tr, o_tr, o_ref):
    q_dg.setValue(S)
    q_tr.setValue(S)
    exact = o_ref.NPV()
    r = fd.compute()
    rows = [("sorvik", r.price, r.greeks.delta, r.greeks.gamma, r.greeks.theta),
            ("QuantLib FD Douglas", o_dg.NPV(), o_dg.delta(), o_dg.gamma(), o_dg.theta()),
            ("QuantLib FD TR-BDF2", o_tr.NPV(), o_tr.delta(), o_tr.gamma(), o_tr.theta())]
    print(f"\nAmerican put on {FD_NODES} x {FD_STEPS}, against QuantLib QdFpAmericanEngine (high precision) "
          f"= {exact:.12f}")
    print(f"  {'':21s}{'price':>16s}{'abs error':>11s}{'delta':>11s}{'gamma':>11s}{'theta/yr':>11s}")
    for name, price, delta, gamma, theta in rows:
        print(f"  {name:21s}{price:16.12f}{abs(price - exact):11.2e}{delta:11.6f}{gamma:11.6f}{theta:11.5f}")
    errors = [abs(row[1] - exact) for row in rows]
    print(f"  sorvik error is {errors[1] / errors[0]:.1f}x smaller than QuantLib Douglas, "
          f"{errors[2] / errors[0]:.1f}x smaller than TR-BDF2")
    for name, *_, gamma, _theta in rows:
        if gamma < 0:
            print(f"  note: {name} has a negative gamma: with no damping steps the payoff kink at the strike "
                  "leaves undamped oscillations")
    if errors[0] > 1e-2:
        warn(f"sorvik grid price is {errors[0]:.3e} away from the high-precision value")
    return errors


if __name__ == "__main__":
    main()
