"""Rows per second of `python -m sorvik_batch price` in this process and on local Dask clusters.

Two books: European options in closed form (10^6 rows) and American puts on the default grid,
1001 nodes x 50 steps (12,000 rows). Each is valued the way the command values it: in this
process on every core, and through its cluster path on a local cluster of one worker process
(every core as its threads) and of two (the cores shared out), started beforehand as
`--scheduler ADDRESS` would find them. Rounds interleave the modes, so load from other
processes hits them alike; the script prints medians and the ratio to the in-process rate, and
checks that every mode gives the same bits. It also times reading and writing 200,000 rows of
the closed-form book as CSV and as Parquet, which the command adds in every mode.

    pip install .[cluster]
    python bench/python/bench_cluster.py            # 5 rounds, about three minutes
    python bench/python/bench_cluster.py --quick    # 1 round of books a tenth the size
"""
import argparse
import csv
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
from distributed import LocalCluster

from sorvik_batch import _files, _kernel
from sorvik_batch._columns import OUTPUTS, value_columns
from sorvik_batch.cluster import run_on_cluster


def book(rows, exercise, seed):
    rng = np.random.default_rng(seed)
    return {"spot": rng.uniform(50, 150, rows), "strike": rng.uniform(60, 140, rows),
            "years": rng.uniform(0.05, 3, rows), "rate": rng.uniform(0, 0.08, rows), "vol": rng.uniform(0.1, 0.6, rows),
            "option_type": rng.choice(["call", "put"], rows) if exercise == "european" else np.full(rows, "put"),
            "exercise": np.full(rows, exercise), "method": np.full(rows, "fdm" if exercise == "american" else "")}


def seconds(run):
    started = time.perf_counter()
    result = run()
    return time.perf_counter() - started, result


def file_steps(folder, inputs, outputs):
    """Reading and writing a book in each format, as the command does it."""
    csv_book, parquet_book = folder / "book.csv", folder / "book.parquet"
    with open(csv_book, "w", newline="") as stream:
        writer = csv.writer(stream)
        writer.writerow(inputs)
        writer.writerows(zip(*(column.tolist() for column in inputs.values())))
    pq.write_table(pa.table(inputs), parquet_book)
    from_csv, from_parquet = _files.read_book(csv_book, "raise"), _files.read_book(parquet_book, "raise")

    def write(path, form, book):  # through a temporary file renamed into place, as the command writes
        with _files.replacing(path) as temporary:
            _files.write_book(temporary, form, book, outputs)

    return {"CSV read": lambda: _files.read_book(csv_book, "raise"),
            "CSV write": lambda: write(folder / "valued.csv", ".csv", from_csv),
            "Parquet read": lambda: _files.read_book(parquet_book, "raise"),
            "Parquet write": lambda: write(folder / "valued.parquet", ".parquet", from_parquet)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one round of books a tenth the size")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    scale, rounds = (10, 1) if args.quick else (1, args.rounds)
    books = {"closed form, European": book(1_000_000 // scale, "european", 1),
             "grid 1001x50, American put": book(12_000 // scale, "american", 2)}
    cores = _kernel.usable_cpu_count()
    print(f"{cores} usable cores; {rounds} round(s) after a warm-up")

    with (LocalCluster(n_workers=1, threads_per_worker=cores, dashboard_address=":0") as one,
          LocalCluster(n_workers=2, threads_per_worker=max(1, cores // 2), dashboard_address=":0") as two,
          tempfile.TemporaryDirectory() as folder):
        def on(cluster):
            return lambda inputs, rows: run_on_cluster(inputs, rows, scheduler=cluster.scheduler_address, workers=None,
                                                       threads=None, errors="raise", progress=None)

        modes = {f"in process, {cores} threads": lambda inputs, rows: value_columns(inputs, range(1, rows + 1)),
                 f"1 worker x {cores} threads": on(one),
                 f"2 workers x {max(1, cores // 2)} thread(s)": on(two)}
        # Files of a fifth of the closed-form book: their rates per row are what matter.
        in_files = {name: column[:200_000 // scale] for name, column in books["closed form, European"].items()}
        steps = file_steps(Path(folder), in_files, value_columns(in_files, range(1, len(in_files["spot"]) + 1)))
        times = {key: [] for key in [(name, mode) for name in books for mode in modes] + list(steps)}
        for round_ in range(rounds + 1):
            for name, inputs in books.items():
                results = []
                for mode, run in modes.items():
                    elapsed, result = seconds(lambda: run(inputs, len(inputs["spot"])))
                    times[name, mode].append(elapsed)
                    results.append(result)
                assert all(np.array_equal(results[0][o], r[o], equal_nan=True) for r in results for o in OUTPUTS)
            for step, run in steps.items():
                times[step].append(seconds(run)[0])
            if not round_:  # the warm-up: workers import sorvik_batch, files reach the page cache
                for runs in times.values():
                    runs.clear()

    def median(key):
        return statistics.median(times[key])

    print(f"\n{'book':28s} {'mode':26s} {'rows':>9s} {'median s':>9s} {'rows/s':>12s} {'vs in process':>14s}")
    for name, inputs in books.items():
        rows = len(inputs["spot"])
        here = median((name, next(iter(modes))))
        for mode in modes:
            print(f"{name:28s} {mode:26s} {rows:9d} {median((name, mode)):9.3f} {rows / median((name, mode)):12,.0f} "
                  f"{here / median((name, mode)):13.2f}x")
    rows = len(in_files["spot"])
    for step in steps:
        print(f"{'closed form, European':28s} {step:26s} {rows:9d} {median(step):9.3f} {rows / median(step):12,.0f}")


if __name__ == "__main__":
    main()
