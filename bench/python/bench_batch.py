"""sorvik_batch as users call it, next to the peers it replaces, in one process.

  1. one option at a time: value() on Python floats and on numpy scalars against vollib's
     scalar Black-Scholes price (and sorvik's compute() as the anchor); implied_vol() on one
     quote of floats and str, and of numpy scalars and numpy str, against vollib;
  2. small arrays: value() on 10 options against the numpy/scipy textbook on the same arrays;
  3. 10^6 Europeans, price and five greeks, against the numpy/scipy textbook computing the
     same six outputs: with a numpy string array of calls and puts (as books come), and with
     one option type (the shape measured before), on one and on two threads;
  4. grid books, 1001 x 50: 1,000 American puts, and a mixed book (calls and puts, European
     and American, interleaved as books come), in book order and sorted by kind, against a
     loop of compute(), on one and on two threads;
  5. memory: the peak growth of one closed-form call on 10^6 and 10^7 options, in a fresh
     process, next to its outputs;
  6. interruption: how long after Ctrl-C a call stops, on a grid of 40,000,001 nodes (its
     set-up and its steps) and during the errors="raise" scan of a 2 x 10^8 book.

Cases run in interleaved rounds, so load from other processes hits every case alike; the
tables show medians and ratios of medians. `--save` records the figures for the
documentation.

    pip install .[bench]
    python bench/python/bench_batch.py             # a few minutes
    python bench/python/bench_batch.py --quick     # smoke run
"""
import argparse
import datetime as dt
import json
import os
import platform
import signal
import statistics
import subprocess
import sys
import textwrap
import threading
import time
import timeit

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # idle BLAS threads would spin beside the timed work

import numpy as np
from scipy.special import ndtr
from vollib.black_scholes import black_scholes
from vollib.black_scholes.implied_volatility import implied_volatility

import sorvik as s
import sorvik_batch as sb

NOW = dt.datetime(2024, 1, 2, tzinfo=dt.timezone.utc)
A365 = s.DayCountConvention.Act365Fixed


def textbook(spot, strike, years, rate, vol, call):
    """Black-Scholes price and five greeks of calls (where `call`) and puts, one numpy expression per output."""
    sqrt_t = np.sqrt(years)
    d1 = (np.log(spot / strike) + (rate + 0.5 * vol * vol) * years) / (vol * sqrt_t)
    d2 = d1 - vol * sqrt_t
    discount = np.exp(-rate * years)
    pdf = np.exp(-0.5 * d1 * d1) / np.sqrt(2 * np.pi)
    n1, n2 = ndtr(d1), ndtr(d2)
    price = np.where(call, spot * n1 - strike * discount * n2, strike * discount * (1 - n2) - spot * (1 - n1))
    delta = np.where(call, n1, n1 - 1)
    gamma = pdf / (spot * vol * sqrt_t)
    theta = -spot * pdf * vol / (2 * sqrt_t) - rate * strike * discount * np.where(call, n2, n2 - 1)
    vega = spot * sqrt_t * pdf
    rho = strike * years * discount * np.where(call, n2, n2 - 1)
    return price, delta, gamma, theta, vega, rho


def closed_form_book(n, seed=1):
    rng = np.random.default_rng(seed)
    kinds = np.where(rng.random(n) < 0.5, "call", "put")
    return (rng.uniform(50, 150, n), rng.uniform(60, 140, n), rng.uniform(0.05, 3, n), rng.uniform(0.0, 0.08, n),
            rng.uniform(0.05, 0.8, n)), kinds


def grid_book(n, seed=2, mixed=False):
    rng = np.random.default_rng(seed)
    seconds = rng.integers(30 * 86_400, 2 * 31_536_000, n)
    numbers = (rng.uniform(70, 130, n), rng.uniform(80, 120, n), seconds / 31_536_000.0, rng.uniform(0.0, 0.08, n),
               rng.uniform(0.1, 0.6, n))
    kinds = rng.choice(["call", "put"], n) if mixed else np.full(n, "put")
    styles = rng.choice(["american", "european"], n) if mixed else np.full(n, "american")
    return numbers, seconds, kinds, styles


def compute_loop(book):
    """The same options, one compute() each, as a user loops today."""
    (spot, strike, _, rate, vol), seconds, kinds, styles = book
    grid = s.Config().add_policy(s.InstrumentPolicy().fdm(s.FdmConfig(time_steps=50, nodes=1001)))
    out = []
    for i in range(len(spot)):
        kind = s.OptionType.Call if kinds[i] == "call" else s.OptionType.Put
        style = s.ExerciseStyle.American if styles[i] == "american" else s.ExerciseStyle.European
        option = s.StockOption(float(strike[i]), NOW + dt.timedelta(seconds=int(seconds[i])), kind, style)
        frame = s.OptionMarketFrame(float(spot[i]), s.RateCurve.continuous(float(rate[i]), A365),
                                    s.VolSurface.flat(float(vol[i]), A365))
        r = option.valuation().market(frame).config(grid).at(NOW).compute()
        out.append((r.price, r.greeks.delta, r.greeks.gamma, r.greeks.theta))
    return out


def rounds_of(cases, rounds):
    """Median seconds of each case, run in interleaved rounds."""
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, fn in cases.items():
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


def per_call(cases, rounds, number):
    """Median seconds per call of each small case, timed `number` calls at a time, in interleaved rounds."""
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, fn in cases.items():
            times[name].append(timeit.timeit(fn, number=number) / number)
    return {name: statistics.median(t) for name, t in times.items()}


def show(title, results, base_name, unit, scale, per=""):
    print(f"\n{title}")
    base = results[base_name]
    for name, t in results.items():
        print(f"  {name:44s} {t * scale:10.2f} {unit}{per}  {base / t:6.2f}x {base_name}")


def peak_growth(n, kinds):
    """Peak resident growth of one closed-form value() call on n options, in a fresh process (Linux:
    the peak is reset through /proc/self/clear_refs once the inputs are made)."""
    code = textwrap.dedent(f"""
        import numpy as np, sorvik_batch as sb
        def resident(key):
            return next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith(key)) * 1024
        n = {n}
        rng = np.random.default_rng(1)
        spot, strike, years, vol = (rng.uniform(50, 150, n), rng.uniform(60, 140, n), rng.uniform(.05, 3, n),
                                    rng.uniform(.05, .8, n))
        kinds = {'np.where(rng.random(n) < 0.5, "call", "put")' if kinds else '"call"'}
        sb.value(spot[:10], strike[:10], years[:10], 0.03, vol[:10], option_type="call")
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = resident("VmRSS:")
        result = sb.value(spot, strike, years, 0.03, vol, option_type=kinds)
        print(resident("VmHWM:") - before)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(out.stdout)


def interrupt_latency(call, after):
    """Seconds from a SIGINT sent `after` seconds into the call to the KeyboardInterrupt; None if it ended first."""
    sent = {}

    def fire():
        time.sleep(after)
        sent["at"] = time.perf_counter()
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=fire, daemon=True).start()
    try:
        call()
    except KeyboardInterrupt:
        return time.perf_counter() - sent["at"]
    time.sleep(after + 0.1)  # let a late signal land here rather than in the next case
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller books, fewer rounds")
    parser.add_argument("--save", metavar="FILE", help="record the figures as JSON")
    args = parser.parse_args()
    n_closed = 200_000 if args.quick else 1_000_000
    n_grid = 100 if args.quick else 1000
    rounds = 3 if args.quick else 9
    calls = 2_000 if args.quick else 20_000
    record = []

    print(f"sorvik {sb.__version__}, numpy {np.__version__}, Python {platform.python_version()}, "
          f"{os.cpu_count()} CPUs, {platform.machine()}")

    # 1. One option at a time
    f64, word = np.float64, np.str_
    # Numpy scalars as a loop over a table's values hands them over: made once, outside the timing.
    s_spot, s_strike, s_years, s_rate, s_vol = f64(100.0), f64(100.0), f64(1.0), f64(0.05), f64(0.2)
    s_call, s_upper_call, s_k105, s_half = word("call"), word("Call"), f64(105.0), f64(0.5)
    option = s.StockOption(100.0, dt.datetime(2025, 1, 2, tzinfo=dt.timezone.utc), s.OptionType.Call,
                           s.ExerciseStyle.European)
    builder = option.valuation().market(s.OptionMarketFrame(100.0, s.RateCurve.continuous(0.05, A365),
                                                            s.VolSurface.flat(0.2, A365))).at(NOW)
    one = per_call({
        "vollib black_scholes (price only)": lambda: black_scholes("c", 100.0, 100.0, 1.0, 0.05, 0.2),
        "sorvik compute()": builder.compute,
        "value(), Python floats": lambda: sb.value(100.0, 100.0, 1.0, 0.05, 0.2, option_type="call"),
        "value(), numpy scalars and numpy str": lambda: sb.value(s_spot, s_strike, s_years, s_rate, s_vol,
                                                                 option_type=s_call),
    }, rounds, calls)
    show("1a. One option: price and five greeks", one, "vollib black_scholes (price only)", "µs", 1e6, " per call")
    quote = float(sb.value(100.0, 105.0, 0.5, 0.05, 0.25, option_type="call").price)
    s_quote = f64(quote)
    ivs = per_call({
        "vollib implied_volatility": lambda: implied_volatility(quote, 100.0, 105.0, 0.5, 0.05, "c"),
        "implied_vol(), float and str": lambda: sb.implied_vol(quote, 100.0, 105.0, 0.5, 0.05, option_type="call"),
        "implied_vol(), numpy scalars and numpy str": lambda: sb.implied_vol(
            s_quote, s_spot, s_k105, s_half, s_rate, option_type=s_upper_call),
    }, rounds, calls // 4)
    show("1b. One quote: implied volatility", ivs, "vollib implied_volatility", "µs", 1e6, " per call")
    record += [
        {"case": "One option, price + 5 greeks (numpy scalars)", "per": "call", "peer": "vollib (price only)",
         "sorvik_seconds": one["value(), numpy scalars and numpy str"],
         "peer_seconds": one["vollib black_scholes (price only)"]},
        {"case": "One quote, implied vol (numpy scalars)", "per": "call", "peer": "vollib",
         "sorvik_seconds": ivs["implied_vol(), numpy scalars and numpy str"],
         "peer_seconds": ivs["vollib implied_volatility"]},
    ]

    # 2. Small arrays
    (spot, strike, years, rate, vol), kinds = closed_form_book(10, seed=3)
    small = per_call({
        "numpy/scipy textbook": lambda: textbook(spot, strike, years, rate, vol, kinds == "call"),
        "value()": lambda: sb.value(spot, strike, years, rate, vol, option_type=kinds),
    }, rounds, calls // 4)
    show("2. Ten options, price + 5 greeks, numpy string option types", small, "numpy/scipy textbook", "µs", 1e6,
         " per call")
    record.append({"case": "Ten options, price + 5 greeks", "per": "call", "peer": "numpy/scipy",
                   "sorvik_seconds": small["value()"], "peer_seconds": small["numpy/scipy textbook"]})

    # 3. 10^6 Europeans
    numbers, kinds = closed_form_book(n_closed)
    ours = sb.value(*numbers, option_type=kinds, threads=1)
    peer = textbook(*numbers, kinds == "call")
    agreement = max(float(np.max(np.abs(a - b) / np.maximum(1.0, np.abs(b)))) for a, b in
                    zip((ours.price, ours.delta, ours.gamma, ours.theta, ours.vega, ours.rho), peer))
    calls_only = np.ones(n_closed, dtype=bool)
    closed = rounds_of({
        "numpy/scipy textbook, calls and puts": lambda: textbook(*numbers, kinds == "call"),
        "numpy string option types, 1 thread": lambda: sb.value(*numbers, option_type=kinds, threads=1),
        "numpy string option types, 2 threads": lambda: sb.value(*numbers, option_type=kinds, threads=2),
        "numpy/scipy textbook, calls": lambda: textbook(*numbers, calls_only),
        "one option type, 1 thread": lambda: sb.value(*numbers, option_type="call", threads=1),
        "one option type, 2 threads": lambda: sb.value(*numbers, option_type="call", threads=2),
    }, rounds)
    show(f"3. Closed form, {n_closed:,} Europeans, price + 5 greeks (largest difference from the textbook: "
         f"{agreement:.1e}, relative)", closed, "numpy/scipy textbook, calls and puts", "ns", 1e9 / n_closed,
         " per option")
    print(f"  two threads against one: {closed['numpy string option types, 1 thread'] / closed['numpy string option types, 2 threads']:.2f}x "
          f"(one option type: {closed['one option type, 1 thread'] / closed['one option type, 2 threads']:.2f}x)")
    record.append({"case": "Closed form, price + 5 greeks", "per": "option", "peer": "numpy/scipy",
                   "sorvik_seconds": closed["numpy string option types, 1 thread"] / n_closed,
                   "peer_seconds": closed["numpy/scipy textbook, calls and puts"] / n_closed})

    # 4. Grid books
    puts = grid_book(n_grid)
    mixed = grid_book(n_grid, seed=4, mixed=True)
    (m_numbers, _, m_kinds, m_styles) = mixed
    order = np.lexsort((m_styles, m_kinds))
    sorted_numbers = tuple(x[order] for x in m_numbers)
    fdm = dict(method="fdm", nodes=1001, time_steps=50)
    loop = compute_loop(mixed)
    book_result = sb.value(*m_numbers, option_type=m_kinds, exercise=m_styles, threads=2, **fdm)
    identical = all(book_result.price[i] == loop[i][0] and book_result.gamma[i] == loop[i][2] for i in range(n_grid))
    grid = rounds_of({
        "loop of compute(), American puts": lambda: compute_loop(puts),
        "American puts, 1 thread": lambda: sb.value(*puts[0], option_type="put", exercise="american", threads=1,
                                                    **fdm),
        "American puts, 2 threads": lambda: sb.value(*puts[0], option_type="put", exercise="american", threads=2,
                                                     **fdm),
        "loop of compute(), mixed book": lambda: compute_loop(mixed),
        "mixed book in book order, 1 thread": lambda: sb.value(*m_numbers, option_type=m_kinds, exercise=m_styles,
                                                               threads=1, **fdm),
        "mixed book sorted by kind, 1 thread": lambda: sb.value(*sorted_numbers, option_type=m_kinds[order],
                                                                exercise=m_styles[order], threads=1, **fdm),
        "mixed book in book order, 2 threads": lambda: sb.value(*m_numbers, option_type=m_kinds, exercise=m_styles,
                                                                threads=2, **fdm),
    }, max(3, rounds // 3))
    show(f"4. Grid books, 1001 nodes x 50 steps, {n_grid:,} options each (the mixed book bit-identical to compute(): "
         f"{identical})", grid, "loop of compute(), mixed book", "µs", 1e6 / n_grid, " per option")
    print(f"  two threads against one: American puts {grid['American puts, 1 thread'] / grid['American puts, 2 threads']:.2f}x, "
          f"mixed book {grid['mixed book in book order, 1 thread'] / grid['mixed book in book order, 2 threads']:.2f}x")
    record += [
        {"case": "American put, 1001 x 50 grid", "per": "option", "peer": "loop of sorvik compute()",
         "sorvik_seconds": grid["American puts, 1 thread"] / n_grid,
         "peer_seconds": grid["loop of compute(), American puts"] / n_grid},
        {"case": "Mixed grid book in book order", "per": "option", "peer": "loop of sorvik compute()",
         "sorvik_seconds": grid["mixed book in book order, 1 thread"] / n_grid,
         "peer_seconds": grid["loop of compute(), mixed book"] / n_grid},
    ]

    # 5. Memory
    print("\n5. Peak growth of one closed-form call (fresh process), next to its outputs")
    for n in ([10**5, 10**6] if args.quick else [10**6, 10**7]):
        outputs = 6 * 8 * n
        for words in (False, True):
            growth = peak_growth(n, words)
            print(f"  {n:>10,} options, {'numpy string option types' if words else 'one option type':26s} "
                  f"{growth / 2**20:8.1f} MiB; outputs {outputs / 2**20:8.1f} MiB; beyond them "
                  f"{(growth - outputs) / 2**20:+6.1f} MiB")

    # 6. Interruption
    print("\n6. From Ctrl-C to KeyboardInterrupt")
    big_grid = dict(option_type="put", method="fdm", nodes=40_000_001, time_steps=4)
    for after in ([0.5] if args.quick else [0.3, 1.0, 3.0, 6.0]):
        late = interrupt_latency(lambda: sb.value(100.0, 100.0, 1.0, 0.05, 0.2, **big_grid), after)
        print(f"  grid of 40,000,001 nodes, signal after {after:3.1f} s: "
              + ("ended first" if late is None else f"{late * 1e3:7.0f} ms"))
    huge = np.broadcast_to(np.array([100.0]), (200_000_000,))
    late = interrupt_latency(lambda: sb.value(huge, 100.0, 1.0, 0.05, 0.2, option_type="put", exercise="american"),
                             0.5)
    print("  errors='raise' scan of 2 x 10^8 American puts, signal after 0.5 s: "
          + ("ended first" if late is None else f"{late * 1e3:7.0f} ms"))

    if args.save:
        merge_record(args.save, {"speed": record})
        print(f"\nrecorded in {args.save}")


def merge_record(path, record):
    """Adds this benchmark's cases to the shared record, replacing earlier ones of the same name."""
    existing = {"speed": [], "accuracy": []}
    if os.path.exists(path):
        with open(path) as f:
            existing = json.load(f)
    for key, rows in record.items():
        names = {row["case"] for row in rows}
        existing[key] = [row for row in existing.get(key, []) if row["case"] not in names] + rows
    with open(path, "w") as f:
        json.dump(existing, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
