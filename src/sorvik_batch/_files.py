"""Book files: CSV with the standard library, Parquet with pyarrow (the ``cluster`` extra).

A result is written to a temporary file beside it and renamed into place once complete, so a
run that fails or is stopped leaves nothing at RESULT, and an existing RESULT as it was.
"""
from __future__ import annotations

import contextlib
import csv
import gc
import math
import os
import secrets
import stat
import sys
from collections import Counter
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from ._arguments import FloatArray
from ._columns import NUMBERS, OUTPUTS, REQUIRED, TEXT, BookError, check_columns, number_default, text_column

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


def write_book(path: Path, form: str, book: Book, outputs: dict[str, FloatArray]) -> None:
    """Writes the book's columns, then the outputs, in `form` ('.csv' or '.parquet')."""
    if form == ".csv":
        _write_csv(path, book, outputs)
    else:
        _write_parquet(path, book, outputs)


def refuse_same_file(book_path: Path, result_path: Path) -> None:
    """BookError when RESULT names the book itself, by any path or link: the run would replace
    its own input. RESULT is resolved as ``replacing`` resolves it."""
    try:
        same = os.path.samefile(book_path, os.path.realpath(result_path))
    except OSError:  # RESULT does not exist yet (a missing book is reported by reading it)
        same = False
    if same:
        raise BookError(f"RESULT {str(result_path)!r} is the book itself: write the results to another file")


@contextlib.contextmanager
def replacing(path: Path) -> Iterator[Path]:
    """A new temporary file beside `path` (through any link to it), made now so that a folder
    that cannot take the result fails before the work; it replaces `path` in one rename when the
    block completes, and is removed when the block raises, Ctrl-C and signals included."""
    target = Path(os.path.realpath(path))
    if target.is_dir():
        raise BookError(f"RESULT {str(path)!r} is a folder")
    temporary = _create_beside(target, path)
    try:
        yield temporary
        _sync(temporary)  # on disk before the rename, so that not even a power cut loses both versions
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _sync(path: Path) -> None:
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _create_beside(target: Path, named: Path) -> Path:
    """An empty file in target's folder with the permissions a plain open() would leave at target:
    an existing file's own, else those of a new file under the umask."""
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except OSError:
        mode = None
    while True:
        temporary = target.with_name(f".{target.name}.{secrets.token_hex(4)}.tmp")
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666 if mode is None else mode)
        except FileExistsError:
            continue
        except OSError as error:
            raise OSError(f"cannot write RESULT {str(named)!r}: {error.strerror}") from None
        try:
            if mode is not None:
                os.fchmod(descriptor, mode)  # exactly, whatever the umask
        finally:
            os.close(descriptor)
        return temporary


# ---------------------------------------------------------------- CSV


def _read_csv(path: Path, errors: str) -> Book:
    with open(path, newline="", encoding="utf-8-sig") as stream, _no_cycle_collection(), _fields_of_any_size():
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
def _fields_of_any_size() -> Iterator[None]:
    """Long cells are carried through like any other (the file is in memory in any case); a
    stray quote that runs on shows as a row with too few fields."""
    limit = csv.field_size_limit(sys.maxsize)
    try:
        yield
    finally:
        csv.field_size_limit(limit)


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
    """Numbers parsed as float() does (correctly rounded, so repr() text reads back to the same
    bits), but strictly: ASCII only and no digit separators, which float() would also take
    ('1_00', fullwidth digits). A blank cell of an optional column is its default."""
    text = "".join(cells)
    if text.isascii() and "_" not in text:
        try:
            return np.fromiter(map(float, cells), np.float64, len(cells))
        except ValueError:
            pass
    default = None if name in REQUIRED else number_default(name)
    out = np.empty(len(cells))
    for i, cell in enumerate(cells):
        if default is not None and not cell.strip():
            out[i] = default
            continue
        try:
            if not cell.isascii() or "_" in cell:
                raise ValueError(cell)
            out[i] = float(cell)
        except ValueError:
            if errors == "raise":
                raise BookError(f"{name} at row {i + 1} is {_shown(cell)}: not a number") from None
            out[i] = math.nan
    return out


def _shown(cell: str) -> str:
    """A cell for a message: its repr, cut short when long."""
    return repr(cell) if len(cell) <= 40 else f"{cell[:40]!r}... ({len(cell):,} characters)"


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
    _check_names(pa.parquet.read_schema(path).names)  # before reading: pyarrow refuses repeated names itself
    table = pa.parquet.read_table(path)
    names = table.column_names
    columns = {name: table.column(name) for name in names}
    inputs: dict[str, Any] = {name: text_column(columns[name].to_pylist()) for name in TEXT if name in columns}
    for name in NUMBERS:
        if name in columns:
            column = columns[name]
            if not (pa.types.is_floating(column.type) or pa.types.is_integer(column.type)):
                raise BookError(f"column {name} holds {column.type}, not numbers")
            column = column.cast(pa.float64())
            if name not in REQUIRED:  # a missing optional number is its default, as a blank CSV cell is
                column = column.fill_null(number_default(name))
            inputs[name] = column.to_numpy()
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
