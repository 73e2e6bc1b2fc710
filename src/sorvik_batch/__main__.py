"""The command line: ``python -m sorvik_batch price BOOK --out RESULT``."""
from __future__ import annotations

import argparse
import contextlib
import csv
import signal
import sys
import threading
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Literal

from . import _files, _kernel, _progress
from ._columns import value_columns
from .cluster import ClusterError, run_on_cluster

PROG = "python -m sorvik_batch"


class Terminated(BaseException):
    """SIGTERM, raised where the run is, like KeyboardInterrupt for Ctrl-C, so that it unwinds."""


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns the exit status (1 with a one-line message on stderr for a bad
    book, 130 after Ctrl-C, 143 after SIGTERM)."""
    args = _parser().parse_args(argv)
    try:
        with _sigterm_raises():
            price(args.book, args.out, errors=args.errors, scheduler=args.scheduler, workers=args.workers,
                  threads=args.threads, progress=not args.no_progress, bumped_vega_rho=args.bumped_vega_rho,
                  precision=args.precision)
    except (ValueError, OSError, ImportError, csv.Error, ClusterError) as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print(f"{PROG}: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
    return 0


def price(book_path: Path, out_path: Path, *, errors: Literal["raise", "nan"], scheduler: str | None,
          workers: int | None, threads: int | None, progress: bool, bumped_vega_rho: bool = False,
          precision: Literal["standard", "high"] = "standard") -> None:
    """Reads the book, values it here or on a cluster, and writes it with its prices and greeks.

    RESULT is checked and its temporary file made before the work; it appears only complete.
    """
    form = _files.file_format(out_path, "RESULT")
    _files.refuse_same_file(book_path, out_path)
    with _files.replacing(out_path) as temporary:
        book = _files.read_book(book_path, errors)
        report, close = _progress.reporter(progress, "valuing")
        try:
            if scheduler is None and workers is None:
                outputs = value_columns(book.inputs, range(1, book.rows + 1), errors=errors, threads=threads,
                                        progress=report, bumped_vega_rho=bumped_vega_rho, precision=precision)
            else:
                outputs = run_on_cluster(book.inputs, book.rows, scheduler=scheduler, workers=workers,
                                         threads=threads, errors=errors, progress=report,
                                         bumped_vega_rho=bumped_vega_rho, precision=precision)
        finally:
            close()
        _files.write_book(temporary, form, book, outputs)


@contextlib.contextmanager
def _sigterm_raises() -> Iterator[None]:
    """SIGTERM raises Terminated for the length of the block (in the main thread, where signals
    are handled), so that the run cleans up as it does after Ctrl-C."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def terminate(signum: int, frame: object) -> None:
        raise Terminated

    previous = signal.signal(signal.SIGTERM, terminate)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Values books of options.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    command = commands.add_parser(
        "price", help="value a book of options",
        description="Reads a book (.csv or .parquet) with the columns spot, strike, years, rate, vol, option_type "
                    f"({_spelled('option_type')}) and exercise ({_spelled('exercise')}), and optionally "
                    "dividend_yield (blank: 0) and method (analytic, fdm, spectral or blank for the default: closed form "
                    "for Europeans, the exercise-boundary engine for Americans where it applies, else the grid), "
                    "and writes it to "
                    "RESULT (.csv or .parquet) with price, delta, gamma, theta, vega and rho appended. Other columns "
                    "are carried through. RESULT appears only when the run succeeds, written in full: an existing "
                    "RESULT is then replaced atomically, and a run that fails or is interrupted leaves it as it "
                    "was.")
    command.add_argument("book", metavar="BOOK", type=Path, help="the book to value (.csv or .parquet)")
    command.add_argument("--out", metavar="RESULT", type=Path, required=True,
                         help="where to write the valued book (.csv or .parquet); not the book itself")
    command.add_argument("--errors", choices=("raise", "nan"), default="raise",
                         help="a bad row stops the run naming the row (raise, the default), or gets NaN results (nan)")
    where = command.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="value partitions of the book on the Dask cluster at ADDRESS (tcp://host:8786)")
    where.add_argument("--workers", metavar="N", type=_positive,
                       help="value partitions of the book on a local Dask cluster of N worker processes")
    command.add_argument("--threads", metavar="N", type=_positive,
                         help="threads per valuation (default: every core here, each worker's own count on a cluster)")
    command.add_argument("--bumped-vega-rho", action="store_true",
                         help="vega and rho on the grid from four more grid valuations per option (five times the "
                              "work); without it they are NaN for rows valued on the grid")
    command.add_argument("--precision", choices=("standard", "high"), default="standard",
                         help="the exercise-boundary engine's level for American rows: standard (within about 1e-8 of "
                              "max(spot, strike), the default) or high (about 1e-10, three to four times the work)")
    command.add_argument("--no-progress", action="store_true", help="draw no progress bar")
    return parser


def _spelled(name: str) -> str:
    return ", ".join(_kernel.WORDS[name]) + ", in any case"


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
