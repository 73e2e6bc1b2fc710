"""Arguments shared by value() and implied_vol(): numbers, option kinds, pandas indexes, bad elements."""
from __future__ import annotations

import sys
from collections.abc import Sequence
from typing import Any, Union

import numpy as np
import numpy.typing as npt

import sorvik

from . import _kernel

FloatArray = npt.NDArray[np.float64]
# What the public functions accept: a number or anything numpy makes an array of; option types
# and exercise styles as members, words, or arrays of either.
Numbers = npt.ArrayLike
OptionTypes = Union[sorvik.OptionType, npt.ArrayLike, Sequence[Union[sorvik.OptionType, str]]]
ExerciseStyles = Union[sorvik.ExerciseStyle, npt.ArrayLike, Sequence[Union[sorvik.ExerciseStyle, str]]]

# The grid's defaults, as the kernel holds them.
GRID = _kernel.GRID_DEFAULTS
NODES: int = GRID["nodes"]
TIME_STEPS: int = GRID["time_steps"]
GRID_STD_DEVS: float = GRID["grid_std_devs"]

_ENUMS = {"option_type": sorvik.OptionType, "exercise": sorvik.ExerciseStyle}


# What numbers() refuses, by numpy's kind letter.
_KIND_NAMES = {"b": "booleans", "c": "complex numbers", "M": "datetime64 dates (year_fraction measures time to expiry)",
               "m": "timedelta64"}


def numbers(name: str, value: object) -> float | FloatArray:
    """A float, or a float64 array (no copy when it already is one), as the kernel takes them.

    Refuses what would only convert by losing something: booleans, complex numbers, dates,
    masked arrays (whose masked elements would be valued). A timedelta64 ``years`` counts
    days / 365 (Actual/365 Fixed).
    """
    if type(value) is float or (type(value) is np.ndarray and value.dtype == np.float64):
        return value
    if isinstance(value, np.ma.MaskedArray):
        raise TypeError(f"{name} is a masked array: its masked elements would be valued; pass "
                        f"{name}.filled(np.nan) with errors='nan' to leave them out")
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be a number or an array of numbers: {error}") from None
    kind = array.dtype.kind
    if kind in "bcM" or (kind == "m" and name != "years"):
        raise TypeError(f"{name} must be a number or an array of numbers, not {_KIND_NAMES[kind]}")
    if kind == "m":
        from ._time import timedelta_years  # _time builds on this module

        return timedelta_years(array)
    try:
        return array.astype(np.float64, copy=False)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be a number or an array of numbers: {error}") from None


def kinds(name: str, value: object) -> object:
    """Option types or exercise styles as the kernel reads them: a str, a member, or an array of
    words ('U' or 'S') or of int8 codes (-1 where an item names no value)."""
    if isinstance(value, (str, _ENUMS[name])):
        return value
    categorical = _categorical(value)
    if categorical is not None:
        # Each category once, then a code per row; a missing value (code -1) names nothing.
        categories, codes = categorical
        words = np.frombuffer(_kernel.kind_codes(name, list(categories)), dtype=np.int8)
        return np.append(words, np.int8(-1))[codes]
    array = np.asarray(value)
    if array.dtype.kind in "US":
        return array if array.dtype.isnative else array.astype(array.dtype.newbyteorder("="))
    if array.dtype.kind == "O":
        return np.frombuffer(_kernel.kind_codes(name, array.ravel().tolist()), dtype=np.int8).reshape(array.shape)
    enum = _ENUMS[name]
    raise TypeError(f"{name} must be an {enum.__name__} member, {_kernel.EXPECTED[name]}, or an array "
                    f"of those strings, not {type(value).__name__}")


def _categorical(value: object) -> tuple[Any, Any] | None:
    """(categories, codes) of a pandas categorical column, else None."""
    pd = sys.modules.get("pandas")
    if pd is None:
        return None
    if isinstance(value, pd.Series) and isinstance(value.dtype, pd.CategoricalDtype):
        value = value.array
    if isinstance(value, pd.Categorical):
        return value.categories, value.codes
    return None


def align(values: dict[str, object]) -> tuple[dict[str, object], Any]:
    """The inputs with pandas Series taken by their index, and that index (None without Series).

    Series must share their labels: one whose index is the first Series' in another order is
    read in the first one's order; any other difference is refused."""
    pd = sys.modules.get("pandas")
    if pd is None:
        return values, None
    series = [(name, v) for name, v in values.items() if isinstance(v, pd.Series)]
    if not series:
        return values, None
    first_name, first = series[0]
    index = first.index
    aligned = dict(values)
    for name, column in series[1:]:
        if column.index.equals(index):
            continue
        if index.is_unique and column.index.is_unique and len(column.index) == len(index) and \
                column.index.isin(index).all():
            aligned[name] = column.reindex(index)
            continue
        raise ValueError(f"{name} and {first_name} are pandas Series with different indexes: align them first "
                         f"(for example {name}.reindex({first_name}.index))")
    for name, column in series:
        column = aligned[name]
        if name not in _ENUMS:
            aligned[name] = column.to_numpy()  # type: ignore[attr-defined]
        elif not isinstance(column.dtype, pd.CategoricalDtype):  # type: ignore[attr-defined]
            aligned[name] = column.to_numpy(dtype=object, na_value="")  # type: ignore[attr-defined]
    return aligned, index


def index_text(flat: int, shape: tuple[int, ...]) -> str:
    """' at index i' for one dimension, ' at index (i, j)' for more, '' for a scalar."""
    if not shape:
        return ""
    where = tuple(int(i) for i in np.unravel_index(flat, shape))
    return f" at index {where[0] if len(where) == 1 else where}"


class ElementError(ValueError):
    """A bad element: the argument, its flat index and why, kept apart so books can name it by row."""

    def __init__(self, name: str, flat: int, shape: tuple[int, ...], detail: str) -> None:
        super().__init__(f"{name}{index_text(flat, shape)}{detail}")
        self.name, self.flat, self.shape, self.detail = name, flat, shape, detail

    def __reduce__(self) -> tuple[type[ValueError], tuple[str]]:
        # Pickled (for example from a Dask worker) as the plain ValueError it reads as.
        return ValueError, (str(self),)


def element_error(problem: tuple[int, str, float | None, str, tuple[int, ...]],
                  values: dict[str, object]) -> ElementError:
    """The error for the kernel's first problem: a number that cannot be used (its value and
    why), or a word that names no value (None, and the words expected)."""
    flat, name, value, why, shape = problem
    if value is None:
        item = np.broadcast_to(np.asarray(values[name], dtype=object), shape).flat[flat]
        return ElementError(name, flat, shape, f": unknown value {item!r} (expected {why})")
    return ElementError(name, flat, shape, f" is {value!r}: {why}")
