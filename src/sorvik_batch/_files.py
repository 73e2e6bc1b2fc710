"""Book files: CSV with the standard library, Parquet with pyarrow (the ``cluster`` extra)."""
from __future__ import annotations

import contextlib
import csv
import gc
import math
from collections import Counter
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from ._arguments import FloatArray
from ._columns import NUMBERS, OUTPUTS, TEXT, BookError, check_columns, text_column

FORMATS = (".csv", ".parquet")


@dataclass
class Book:
    """A book as read: its columns in order (CSV text, or pyarrow columns) and the valuation inputs."""

    names: list[str]
    columns: dict[str, Any]
    inputs: dict[str, Any]
    rows: int


def file_format(path: Path, role: str) -> str:
    """'.csv' or '.parquet' from the file name (BookError otherwise); ImportError when pyarrow is missing."""
    suffix = path.suffix.lower()
    if suffix not in FORMATS:
        raise BookError(f"{role} {str(path)!r} must end in .csv or .parquet")
    if suffix == ".parquet":
        _pyarrow()
    return suffix


def read_book(path: Path, errors: str) -> Book:
    """Reads a book; a number that does not parse raises BookError, or with errors="nan" is NaN."""
    if file_format(path, "BOOK") == ".csv":
        return _read_csv(path, errors)
    return _read_parquet(path)


def write_book(path: Path, book: Book, outputs: dict[str, FloatArray]) -> None:
    """Writes the book's columns, then the outputs, in the format the name asks for."""
    if file_format(path, "RESULT") == ".csv":
        _write_csv(path, book, outputs)
    else:
        _write_parquet(path, book, outputs)


# ---------------------------------------------------------------- CSV


def _read_csv(path: Path, errors: str) -> Book:
    with open(path, newline="", encoding="utf-8-sig") as stream, _no_cycle_collection():
        reader = csv.reader(stream)
        names = next(reader, None)
        if names is None:
            raise BookError(f"{str(path)!r} is empty: a book starts with a header row")
        _check_names(names)
        records = [record for record in reader if record]  # blank lines are not rows
        for row, record in enumerate(records, start=1):
            if len(record) != len(names):
                raise BookError(f"row {row} has {len(record)} fields, the header {len(names)}")
        rows = len(records)
        columns = {name: list(column) for name, column in zip(names, zip(*records) if rows else [()] * len(names))}
        del records  # freed here by reference counting, before the collector runs again
    inputs: dict[str, Any] = {name: text_column(columns[name]) for name in TEXT if name in columns}
    inputs.update({name: _floats(name, columns[name], errors) for name in NUMBERS if name in columns})
    return Book(names, columns, inputs, rows)


@contextlib.contextmanager
def _no_cycle_collection() -> Iterator[None]:
    """Reading a book makes millions of lists and strings, none in a cycle: the cycle collector
    would scan them over and over, doubling the time."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _floats(name: str, cells: list[str], errors: str) -> FloatArray:
    """Numbers parsed as float() does: correctly rounded, so repr() text reads back to the same bits."""
    try:
        return np.fromiter(map(float, cells), np.float64, len(cells))
    except ValueError:
        pass
    out = np.empty(len(cells))
    for i, cell in enumerate(cells):
        try:
            out[i] = float(cell)
        except ValueError:
            if errors == "raise":
                raise BookError(f"{name} at row {i + 1} is {cell!r}: not a number") from None
            out[i] = math.nan
    return out


def _write_csv(path: Path, book: Book, outputs: dict[str, FloatArray]) -> None:
    columns = [_csv_cells(book.columns[name]) for name in book.names]
    columns += [_csv_cells(outputs[name]) for name in OUTPUTS]
    with open(path, "w", newline="", encoding="utf-8") as stream:
        writer = csv.writer(stream, lineterminator="\n")
        writer.writerow(book.names + list(OUTPUTS))
        writer.writerows(zip(*columns))


def _csv_cells(column: Any) -> list[Any]:
    """Cells for csv.writer: CSV text as read, Python floats (written as repr() writes them: the
    shortest text that reads back exactly), None as a blank."""
    if isinstance(column, list):
        return column
    cells: list[Any] = column.tolist() if isinstance(column, np.ndarray) else column.to_pylist()
    return cells


# ---------------------------------------------------------------- Parquet


def _pyarrow() -> Any:
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError:
        raise ImportError("Parquet files need pyarrow: install sorvik with its cluster extra "
                          "(pip install '.[cluster]' in its source tree), or pyarrow alone") from None
    return pyarrow


def _read_parquet(path: Path) -> Book:
    pa = _pyarrow()
    table = pa.parquet.read_table(path)
    names = table.column_names
    _check_names(names)
    columns = {name: table.column(name) for name in names}
    inputs: dict[str, Any] = {name: text_column(columns[name].to_pylist()) for name in TEXT if name in columns}
    for name in NUMBERS:
        if name in columns:
            column = columns[name]
            if not (pa.types.is_floating(column.type) or pa.types.is_integer(column.type)):
                raise BookError(f"column {name} holds {column.type}, not numbers")
            inputs[name] = column.cast(pa.float64()).to_numpy()
    return Book(list(names), columns, inputs, table.num_rows)


def _write_parquet(path: Path, book: Book, outputs: dict[str, FloatArray]) -> None:
    pa = _pyarrow()
    columns = [book.inputs[name] if name in NUMBERS and isinstance(book.columns[name], list) else book.columns[name]
               for name in book.names]
    columns += [outputs[name] for name in OUTPUTS]
    arrays = [column if isinstance(column, pa.ChunkedArray) else pa.array(column) for column in columns]
    table = pa.table(arrays, names=book.names + list(OUTPUTS))
    pa.parquet.write_table(table, path)


def _check_names(names: list[str]) -> None:
    repeated = sorted(name for name, count in Counter(names).items() if count > 1)
    if repeated:
        raise BookError(f"the header repeats {', '.join(repeated)}")
    check_columns(names)
