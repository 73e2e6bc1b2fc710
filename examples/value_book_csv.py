"""A book of options in a CSV file, valued by the command line:

    python -m sorvik_batch price book.csv --out valued.csv

Writes a small book (with a column of trade ids that is carried through), values it on every
core of this machine and prints the result. Add --workers 2, or --scheduler tcp://HOST:8786, to
value it on a Dask cluster instead (pip install '.[cluster]' first).
"""
import csv
import subprocess
import sys
import tempfile
from pathlib import Path

BOOK = [
    # trade, spot, strike, years, rate, vol, option_type, exercise, dividend_yield, method
    ("T1", 100.0, 100.0, 1.0, 0.05, 0.20, "call", "european", 0.0, ""),
    ("T2", 100.0, 100.0, 1.0, 0.05, 0.20, "put", "american", 0.0, ""),  # blank: the exercise-boundary engine
    ("T3", 100.0, 110.0, 0.5, 0.05, 0.25, "call", "american", 0.04, ""),  # early exercise can pay with a dividend
    ("T4", 95.0, 100.0, 2.0, 0.03, 0.30, "put", "american", 0.01, "fdm"),  # on the grid
    ("T5", 105.0, 100.0, 0.25, 0.04, 0.15, "put", "american", 0.0, "analytic"),  # the European formula
]
COLUMNS = ("trade", "spot", "strike", "years", "rate", "vol", "option_type", "exercise", "dividend_yield", "method")

with tempfile.TemporaryDirectory() as folder:
    book, valued = Path(folder) / "book.csv", Path(folder) / "valued.csv"
    with open(book, "w", newline="") as stream:
        writer = csv.writer(stream)
        writer.writerow(COLUMNS)
        writer.writerows(BOOK)
    subprocess.run([sys.executable, "-m", "sorvik_batch", "price", str(book), "--out", str(valued), "--no-progress"],
                   check=True)
    with open(valued, newline="") as stream:
        for row in csv.DictReader(stream):
            print(f"{row['trade']}: {row['exercise']:8s} {row['option_type']:4s} price {float(row['price']):8.4f}  "
                  f"delta {float(row['delta']):+.4f}  gamma {float(row['gamma']):.4f}  "
                  f"theta {float(row['theta']):+8.4f}  vega {float(row['vega']):8.4f}")
