"""sorvik_batch.value on books, next to the peers it replaces, in one process.

  * closed form, 10^6 European calls, price and five greeks: sorvik_batch on one
    and on two threads against a vectorised numpy/scipy Black-Scholes computing
    the same six outputs the textbook way (scipy.special.ndtr, one array
    expression per output);
  * American puts on a 1001 x 50 grid, a book of 1,000 different options: one
    sorvik_batch call on one and on two threads against a loop of sorvik
    compute() calls;
  * memory: what one 10^6-option closed-form call allocates, next to its outputs.

Cases run in interleaved rounds, so load from other processes hits every case
alike; the table shows medians and ratios of medians. `--save` records the
figures for the documentation.

    pip install .[bench]
    python bench/python/bench_batch.py             # about a minute
    python bench/python/bench_batch.py --quick     # smoke run
"""
import argparse
import datetime as dt
import json
import os
import platform
import statistics
import time
import tracemalloc

import numpy as np
from scipy.special import ndtr

import sorvik as s
import sorvik_batch as sb

NOW = dt.datetime(2024, 1, 2, tzinfo=dt.timezone.utc)
A365 = s.DayCountConvention.Act365Fixed


def textbook(spot, strike, years, rate, vol):
    """Black-Scholes call, price and five greeks, one numpy expression per output."""
    sqrt_t = np.sqrt(years)
    d1 = (np.log(spot / strike) + (rate + 0.5 * vol * vol) * years) / (vol * sqrt_t)
    d2 = d1 - vol * sqrt_t
    discount = np.exp(-rate * years)
    pdf = np.exp(-0.5 * d1 * d1) / np.sqrt(2 * np.pi)
    price = spot * ndtr(d1) - strike * discount * ndtr(d2)
    delta = ndtr(d1)
    gamma = pdf / (spot * vol * sqrt_t)
    theta = -spot * pdf * vol / (2 * sqrt_t) - rate * strike * discount * ndtr(d2)
    vega = spot * sqrt_t * pdf
    rho = strike * years * discount * ndtr(d2)
    return price, delta, gamma, theta, vega, rho


def closed_form_book(n, seed=1):
    rng = np.random.default_rng(seed)
    return (rng.uniform(50, 150, n), rng.uniform(60, 140, n), rng.uniform(0.05, 3, n), rng.uniform(0.0, 0.08, n),
            rng.uniform(0.05, 0.8, n))


def american_book(n, seed=2):
    rng = np.random.default_rng(seed)
    seconds = rng.integers(30 * 86_400, 2 * 31_536_000, n)
    return rng.uniform(70, 130, n), rng.uniform(80, 120, n), seconds, rng.uniform(0.0, 0.08, n), rng.uniform(0.1, 0.6, n)


def compute_loop(book):
    """The same puts, one compute() each, as a user loops today."""
    spot, strike, seconds, rate, vol = book
    grid = s.Config().add_policy(s.InstrumentPolicy().fdm(s.FdmConfig(time_steps=50, nodes=1001)))
    out = []
    for i in range(len(spot)):
        option = s.StockOption(float(strike[i]), NOW + dt.timedelta(seconds=int(seconds[i])), s.OptionType.Put,
                               s.ExerciseStyle.American)
        frame = s.OptionMarketFrame(float(spot[i]), s.RateCurve.continuous(float(rate[i]), A365),
                                    s.VolSurface.flat(float(vol[i]), A365))
        r = option.valuation().market(frame).config(grid).at(NOW).compute()
        g = r.greeks
        out.append((r.price, g.delta, g.gamma, g.theta))
    return out


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def rounds_of(cases, rounds):
    times = {name: [] for name in cases}
    results = {}
    for _ in range(rounds):
        for name, fn in cases.items():
            seconds, results[name] = timed(fn)
            times[name].append(seconds)
    return {name: statistics.median(t) for name, t in times.items()}, results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller books, fewer rounds")
    parser.add_argument("--save", metavar="FILE", help="record the figures as JSON")
    args = parser.parse_args()
    n_closed = 200_000 if args.quick else 1_000_000
    n_american = 100 if args.quick else 1000
    rounds = 3 if args.quick else 9

    print(f"sorvik {sb.__version__}, numpy {np.__version__}, Python {platform.python_version()}, "
          f"{os.cpu_count()} CPUs, {platform.machine()}")

    # 1. Closed form
    book = closed_form_book(n_closed)
    ours = sb.value(*book, option_type="call", threads=1)
    peer = textbook(*book)
    agreement = max(float(np.max(np.abs(a - b) / np.maximum(1.0, np.abs(b)))) for a, b in
                    zip((ours.price, ours.delta, ours.gamma, ours.theta, ours.vega, ours.rho), peer))
    closed, _ = rounds_of({
        "numpy/scipy textbook": lambda: textbook(*book),
        "sorvik_batch, 1 thread": lambda: sb.value(*book, option_type="call", threads=1),
        "sorvik_batch, 2 threads": lambda: sb.value(*book, option_type="call", threads=2),
    }, rounds)
    print(f"\n1. Closed form, {n_closed:,} European calls, price + 5 greeks "
          f"(largest difference from the textbook: {agreement:.1e}, relative)")
    base = closed["numpy/scipy textbook"]
    for name, t in closed.items():
        print(f"  {name:28s} {t * 1e3:8.1f} ms  {t / n_closed * 1e9:6.1f} ns/option  {base / t:5.2f}x numpy")

    # 2. American puts on the grid
    amer = american_book(n_american)
    years = amer[2] / 31_536_000.0
    batch_args = (amer[0], amer[1], years, amer[3], amer[4])
    loop_result = compute_loop(amer)
    batch_result = sb.value(*batch_args, option_type="put", exercise="american", threads=1)
    identical = all(batch_result.price[i] == loop_result[i][0] and batch_result.theta[i] == loop_result[i][3]
                    for i in range(n_american))
    american, _ = rounds_of({
        "loop of compute()": lambda: compute_loop(amer),
        "sorvik_batch, 1 thread": lambda: sb.value(*batch_args, option_type="put", exercise="american", threads=1),
        "sorvik_batch, 2 threads": lambda: sb.value(*batch_args, option_type="put", exercise="american", threads=2),
    }, max(3, rounds // 3))
    print(f"\n2. American puts, 1001 nodes x 50 steps, {n_american:,} different options "
          f"(results bit-identical to compute(): {identical})")
    base = american["loop of compute()"]
    for name, t in american.items():
        print(f"  {name:28s} {t * 1e3:8.1f} ms  {n_american / t:8.0f} options/s  {base / t:5.2f}x the loop")
    print(f"  two threads against one: closed form {closed['sorvik_batch, 1 thread'] / closed['sorvik_batch, 2 threads']:.2f}x, "
          f"grid {american['sorvik_batch, 1 thread'] / american['sorvik_batch, 2 threads']:.2f}x")

    # 3. Memory
    sb.value(*book, option_type="call")
    tracemalloc.start()
    sb.value(*book, option_type="call")
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    outputs = 6 * 8 * n_closed
    print(f"\n3. Memory of one {n_closed:,}-option closed-form call: peak {peak / 2**20:.2f} MiB traced, "
          f"outputs {outputs / 2**20:.2f} MiB, everything else {(peak - outputs) / 1024:.1f} KiB")

    if args.save:
        record = {
            "speed": [
                {"case": "Closed form, price + 5 greeks", "sorvik_seconds": closed["sorvik_batch, 1 thread"] / n_closed,
                 "peer": "numpy/scipy", "peer_seconds": closed["numpy/scipy textbook"] / n_closed, "per": "option"},
                {"case": "American put, 1001 x 50 grid", "sorvik_seconds": american["sorvik_batch, 1 thread"] / n_american,
                 "peer": "loop of sorvik compute()", "peer_seconds": american["loop of compute()"] / n_american,
                 "per": "option"},
            ],
        }
        merge_record(args.save, record)
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
