"""The command line: ``python -m sorvik_batch price BOOK --out RESULT``."""
from __future__ import annotations

import argparse
import csv
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Literal

from . import _files, _progress
from ._columns import value_columns

PROG = "python -m sorvik_batch"


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns the exit status (1 with a one-line message on stderr for a bad book)."""
    args = _parser().parse_args(argv)
    try:
        price(args.book, args.out, errors=args.errors, scheduler=args.scheduler, workers=args.workers,
              threads=args.threads, progress=not args.no_progress)
    except (ValueError, OSError, ImportError, csv.Error) as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    return 0


def price(book_path: Path, out_path: Path, *, errors: Literal["raise", "nan"], scheduler: str | None,
          workers: int | None,
          threads: int | None, progress: bool) -> None:
    """Reads the book, values it here or on a cluster, and writes it with its prices and greeks."""
    _files.file_format(out_path, "RESULT")  # a bad name fails before the work, not after
    book = _files.read_book(book_path, errors)
    report, close = _progress.reporter(progress, "valuing")
    try:
        if scheduler is None and workers is None:
            outputs = value_columns(book.inputs, range(1, book.rows + 1), errors=errors, threads=threads,
                                    progress=report)
        else:
            from .cluster import run_on_cluster

            outputs = run_on_cluster(book.inputs, book.rows, scheduler=scheduler, workers=workers, threads=threads,
                                     errors=errors, progress=report)
    finally:
        close()
    _files.write_book(out_path, book, outputs)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Values books of options.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    command = commands.add_parser(
        "price", help="value a book of options",
        description="Reads a book (.csv or .parquet) with the columns spot, strike, years, rate, vol, option_type "
                    "and exercise, and optionally dividend_yield and method (analytic, fdm or blank for the "
                    "default), and writes it to RESULT (.csv or .parquet) with price, delta, gamma, theta, vega "
                    "and rho appended. Other columns are carried through.")
    command.add_argument("book", metavar="BOOK", type=Path, help="the book to value (.csv or .parquet)")
    command.add_argument("--out", metavar="RESULT", type=Path, required=True,
                         help="where to write the valued book (.csv or .parquet)")
    command.add_argument("--errors", choices=("raise", "nan"), default="raise",
                         help="a bad row stops the run naming the row (raise, the default), or gets NaN results (nan)")
    where = command.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="value partitions of the book on the Dask cluster at ADDRESS (tcp://host:8786)")
    where.add_argument("--workers", metavar="N", type=_positive,
                       help="value partitions of the book on a local Dask cluster of N worker processes")
    command.add_argument("--threads", metavar="N", type=_positive,
                         help="threads per valuation (default: every core here, each worker's own count on a cluster)")
    command.add_argument("--no-progress", action="store_true", help="draw no progress bar")
    return parser


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 1, got {text!r}")
    return number


if __name__ == "__main__":
    sys.exit(main())
