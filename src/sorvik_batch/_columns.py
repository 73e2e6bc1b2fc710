"""Books as named columns, one option a row: grouped by method, bad rows named by row."""
from __future__ import annotations

import inspect
from collections.abc import Callable, Collection, Mapping, Sequence
from typing import Any, Literal

import numpy as np

from . import _kernel
from ._arguments import ElementError, FloatArray
from ._book import value

REQUIRED = ("spot", "strike", "years", "rate", "vol", "option_type", "exercise")
NUMBERS = ("spot", "strike", "years", "rate", "vol", "dividend_yield")
TEXT = ("option_type", "exercise", "method", "dividends")
OUTPUTS = ("price", "delta", "gamma", "theta", "vega", "rho")

# The methods the kernel knows, a blank cell for the default; the closed form first: it is quick,
# so a bad row there is reported before any grid work.
_METHODS: dict[str, Any] = {("" if name is None else name): name
                            for name in sorted(_kernel.WORDS["method"], key=lambda name: name != "analytic")}
_EXPECTED = ", ".join(repr(name) for name in _METHODS if name) + " or blank"


class BookError(ValueError):
    """A book that cannot be valued as it stands: a missing column, or a bad row named by row."""


def number_default(name: str) -> float:
    """What a missing optional number (dividend_yield) means: value()'s own default for it."""
    default: float = inspect.signature(value).parameters[name].default
    return default


def check_columns(names: Collection[str]) -> None:
    """Raises BookError unless the book has every input column and none of the output names."""
    missing = [name for name in REQUIRED if name not in names]
    if missing:
        message = f"missing column{'s' if len(missing) > 1 else ''}: {', '.join(missing)}"
        if len(missing) == len(REQUIRED):  # not a book as it stands: say what was found instead
            message += f" (found {', '.join(map(repr, names)) or 'none'}"
            message += "; columns are separated by commas)" if any(";" in n or "\t" in n for n in names) else ")"
        raise BookError(message)
    taken = [name for name in OUTPUTS if name in names]
    if taken:
        raise BookError(f"the book already has a column named {', '.join(taken)}: the results would overwrite it")


def value_columns(columns: Mapping[str, Any], rows: Sequence[object], *, errors: Literal["raise", "nan"] = "raise",
                  threads: int | None = None, progress: Callable[[int, int], object] | None = None,
                  **settings: Any) -> dict[str, FloatArray]:
    """Prices and greeks of a book given as equal-length columns, by output name.

    ``columns`` holds the input columns (``dividend_yield``, ``method`` and ``dividends``
    optional); a blank or missing method is the default. A ``dividends`` cell lists an option's
    cash dividends as space-separated ``years:amount`` pairs (``0.25:1.10 0.75:1.10``), a blank
    cell none. ``rows[i]`` names row i in error messages. Other keywords go to ``value``;
    ``dividend_times`` and ``dividend_amounts`` there apply to every row when one-dimensional,
    else one row of theirs to each of the book's rows.
    """
    check_columns(columns)
    count = len(rows)
    outputs = {name: np.empty(count) for name in OUTPUTS}
    if not count:
        return outputs
    inputs = {name: columns[name] for name in NUMBERS if name in columns}
    inputs.update({name: text_column(columns[name]) for name in ("option_type", "exercise")})
    if "dividends" in columns:
        inputs["dividend_times"], inputs["dividend_amounts"] = _dividend_cells(text_column(columns["dividends"]),
                                                                               rows)
    for name in ("dividend_times", "dividend_amounts"):
        given = settings.pop(name, None)
        if given is not None and name not in inputs:
            inputs[name] = given if np.ndim(given) >= 2 else _Shared(given)
    done = 0
    for method, where in _method_groups(columns.get("method"), rows, errors, outputs):
        report = False if progress is None else (lambda d, _, base=done: progress(base + d, count))
        try:
            result = value(**{name: _pick(column, where) for name, column in inputs.items()}, method=method,
                           errors=errors, threads=threads, progress=report, **settings)
        except ElementError as error:
            # A dividend's index counts the dividends of the rows before it.
            flat = error.flat // error.shape[-1] if error.name in ("dividend_times", "dividend_amounts") else error.flat
            row = rows[flat if where is None else where[flat]]
            raise BookError(f"{error.name} at row {row}{error.detail}") from None
        if where is None:  # one method for the whole book: its results as they are
            return {name: getattr(result, name) for name in OUTPUTS}
        for name in OUTPUTS:
            outputs[name][where] = getattr(result, name)
        done += len(where)
    return outputs


class _Shared:
    """A dividend schedule that every row of the book takes."""

    def __init__(self, schedule: Any) -> None:
        self.schedule = schedule


def _pick(column: Any, where: np.ndarray[Any, Any] | None) -> Any:
    if isinstance(column, _Shared):
        return column.schedule
    return column if where is None else np.asarray(column)[where]


def _dividend_cells(cells: np.ndarray[Any, Any], rows: Sequence[object]) -> tuple[FloatArray, FloatArray]:
    """The dividends column as (times, amounts) of shape (rows, most dividends in a cell), padded
    with NaN times; BookError naming the row for a cell that is not years:amount pairs."""
    parsed = []
    for i, cell in enumerate(cells):
        pairs = []
        for item in str(cell).split():
            years, colon, amount = item.partition(":")
            try:
                if not colon:
                    raise ValueError(item)
                pairs.append((float(years), float(amount)))
            except ValueError:
                raise BookError(f"dividends at row {rows[i]} is {str(cell)!r}: expected space-separated "
                                f"years:amount pairs such as '0.25:1.10 0.75:1.10', or a blank cell") from None
        parsed.append(pairs)
    width = max((len(pairs) for pairs in parsed), default=0) or 1
    times = np.full((len(parsed), width), np.nan)
    amounts = np.zeros((len(parsed), width))
    for i, pairs in enumerate(parsed):
        for j, (t, a) in enumerate(pairs):
            times[i, j], amounts[i, j] = t, a
    return times, amounts


def text_column(column: Any) -> np.ndarray[Any, Any]:
    """A column of strings as a numpy string array, None and NaN (missing cells) as blanks.

    Strings in an object array (as pandas and pyarrow give them) would otherwise be read one by one.
    """
    items = np.asarray(column)
    if items.dtype.kind == "U":
        return items
    items = items.astype(object)
    items[(items == None) | (items != items)] = ""  # noqa: E711 - elementwise: None, and NaN (unequal to itself)
    return items.astype(str)


def _method_groups(column: Any, rows: Sequence[object], errors: str, outputs: dict[str, FloatArray]
                   ) -> list[tuple[Literal["analytic", "fdm", "spectral"] | None, np.ndarray[Any, Any] | None]]:
    """(method, row indices) per method in the book; None for indices when one method has every row.

    Rows with an unknown method raise BookError, or with errors="nan" get NaN in every output.
    """
    if column is None:
        return [(None, None)]
    items = text_column(column)
    keys, inverse = np.unique(np.char.lower(np.char.strip(items)), return_inverse=True)
    unknown = [k for k, key in enumerate(keys) if key not in _METHODS]
    if unknown:
        first = int(np.flatnonzero(np.isin(inverse, unknown))[0])
        if errors == "raise":
            raise BookError(f"method at row {rows[first]}: unknown value {str(items[first])!r} (expected {_EXPECTED})")
        for output in outputs.values():
            output[np.isin(inverse, unknown)] = np.nan
    order = list(_METHODS)
    known = sorted((k for k in range(len(keys)) if k not in unknown), key=lambda k: order.index(str(keys[k])))
    if len(known) == 1 and not unknown:
        return [(_METHODS[keys[known[0]]], None)]
    return [(_METHODS[keys[k]], np.flatnonzero(inverse == k)) for k in known]
