"""Arguments shared by value() and implied_vol(): arrays, option kinds, grid settings, errors."""
from __future__ import annotations

import math
import operator
import sys
from collections.abc import Sequence
from dataclasses import dataclass
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

METHOD_CODES = {None: 0, "analytic": 1, "fdm": 2}

# numpy broadcasts at most this many dimensions.
MAX_DIMENSIONS = 32


@dataclass(frozen=True)
class Spellings:
    """The words accepted for an option type or an exercise style (in any case), with their codes."""

    codes: dict[str, int]
    enum: type[sorvik.OptionType] | type[sorvik.ExerciseStyle]

    @property
    def expected(self) -> str:
        words = [repr(word) for word in self.codes]
        return f"{', '.join(words[:-1])} or {words[-1]}"


# The one table of spellings, for the functions and the command line alike.
SPELLINGS = {
    "option_type": Spellings({"call": 0, "put": 1, "c": 0, "p": 1}, sorvik.OptionType),
    "exercise": Spellings({"american": 0, "european": 1}, sorvik.ExerciseStyle),
}


# What numbers() refuses, by numpy's kind letter.
_KIND_NAMES = {"b": "booleans", "c": "complex numbers", "M": "datetime64 dates (year_fraction measures time to expiry)",
               "m": "timedelta64"}


def numbers(name: str, value: object) -> FloatArray:
    """A float64 array of `value` (no copy when it already is one).

    Refuses what would only convert by losing something: booleans, complex numbers, dates,
    masked arrays (whose masked elements would be valued). A timedelta64 ``years`` counts
    days / 365 (Actual/365 Fixed).
    """
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


def codes(name: str, value: object) -> npt.NDArray[np.int8]:
    """Option types or exercise styles as int8 codes; -1 marks an unknown word."""
    spellings = SPELLINGS[name]
    words, enum = spellings.codes, spellings.enum
    if isinstance(value, enum):
        return np.asarray(int(value), dtype=np.int8)
    if isinstance(value, str):
        return np.asarray(words.get(value.lower(), -1), dtype=np.int8)
    array = np.asarray(value)
    if array.dtype.kind in "US":
        # Bytes are compared as bytes: text that is not ASCII is an unknown word, not a decoding error.
        keys: dict[Any, int] = words if array.dtype.kind == "U" else {w.encode(): c for w, c in words.items()}
        out = np.full(array.shape, -1, dtype=np.int8)
        for word, code in keys.items():
            out[array == word] = code
        # Lowering every string costs more than valuing it in closed form: only the rest are lowered.
        rest = out < 0
        if rest.any():
            lowered = np.char.lower(array[rest])
            out[rest] = np.select([lowered == word for word in keys], list(keys.values()), -1)
        return out
    if array.dtype.kind == "O":
        out = np.full(array.shape, -1, dtype=np.int8)
        for index, item in np.ndenumerate(array):
            out[index] = codes(name, item) if isinstance(item, (str, enum)) else -1
        return out
    raise TypeError(f"{name} must be an {enum.__name__} member, {spellings.expected}, or an array of those strings, "
                    f"not {type(value).__name__}")


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
        self.name, self.flat, self.detail = name, flat, detail

    def __reduce__(self) -> tuple[type[ValueError], tuple[str]]:
        # Pickled (for example from a Dask worker) as the plain ValueError it reads as.
        return ValueError, (str(self),)


def unknown_kind(name: str, raw: object, kinds: npt.NDArray[np.int8], shape: tuple[int, ...]) -> ElementError:
    """The error for the first unknown option type or exercise word, found in `kinds` (the codes
    before broadcasting, so that no book-sized temporary is made) and placed in the book's shape."""
    first = int(np.flatnonzero(kinds < 0)[0])
    item = np.asarray(raw, dtype=object).reshape(-1)[first]
    padded = (0,) * (len(shape) - kinds.ndim) + tuple(int(i) for i in np.unravel_index(first, kinds.shape))
    flat = int(np.ravel_multi_index(padded, shape)) if shape else 0
    return ElementError(name, flat, shape, f": unknown value {item!r} (expected {SPELLINGS[name].expected})")


def bad_number(name: str, flat: int, reason: str, book: BookArrays) -> ElementError:
    """The error for an unusable number: which argument, where, what, and why (the kernel's reason)."""
    value = float(book.inputs[name].flat[flat]) if book.shape else float(book.inputs[name])
    return ElementError(name, flat, book.shape, f" is {value!r}: {reason}")


@dataclass
class BookArrays:
    """Every per-option input broadcast to one shape, as read-only views."""

    shape: tuple[int, ...]
    inputs: dict[str, np.ndarray[Any, Any]]

    def views(self, names: Sequence[str]) -> tuple[np.ndarray[Any, Any], ...]:
        return tuple(self.inputs[name] for name in names)


def broadcast(values: dict[str, object], number_names: Sequence[str], code_names: Sequence[str],
              errors: str) -> BookArrays:
    """Converts and broadcasts the inputs with numpy's rules, without copying them."""
    arrays: dict[str, np.ndarray[Any, Any]] = {name: numbers(name, values[name]) for name in number_names}
    arrays.update({name: codes(name, values[name]) for name in code_names})
    shape = _broadcast_shape({name: a.shape for name, a in arrays.items()})
    if errors == "raise":
        for name in code_names:
            if (arrays[name] < 0).any():  # before broadcasting: no book-sized temporary
                raise unknown_kind(name, values[name], arrays[name], shape)
    return BookArrays(shape, {name: np.broadcast_to(a, shape) for name, a in arrays.items()})


def _broadcast_shape(shapes: dict[str, tuple[int, ...]]) -> tuple[int, ...]:
    """numpy's broadcast shape, refused with the argument named when an input has more dimensions
    than numpy broadcasts, or the result more elements than an array holds."""
    for name, shape in shapes.items():
        if len(shape) > MAX_DIMENSIONS:
            raise ValueError(f"{name} has {len(shape)} dimensions: at most {MAX_DIMENSIONS} broadcast together")
    try:
        shape = np.broadcast_shapes(*shapes.values())
    except ValueError:
        extents = [[s[-1 - d] for s in shapes.values() if d < len(s)] for d in range(max(map(len, shapes.values())))]
        if all(len({e for e in column if e != 1}) <= 1 for column in extents):  # compatible: too many elements
            shape = tuple(max(column) if 0 not in column else 0 for column in reversed(extents))
        else:
            described = ", ".join(f"{name} {s}" for name, s in shapes.items() if s)
            raise ValueError(f"shapes do not broadcast together: {described}") from None
    if math.prod(shape) > sys.maxsize:
        raise ValueError(f"the inputs broadcast to shape {shape}: more elements than an array can hold")
    return shape


def require_memory(elements: int, arrays: int, what: str) -> None:
    """MemoryError, saying how much was needed and what the process may use, when `arrays` float64
    results of `elements` each would not fit; checked before they are allocated."""
    # 2^64 - 1 bytes stands for any larger count.
    _kernel.require_memory(min(8 * elements * arrays, 2**64 - 1), f"the output of {elements:,} {what}")


@dataclass(frozen=True)
class Settings:
    method: int
    nodes: int
    time_steps: int
    grid_std_devs: float
    threads: int
    nan_mode: bool


def settings(method: str | None, nodes: int, time_steps: int, grid_std_devs: float, threads: int | None,
             errors: str) -> Settings:
    """The scalar keyword arguments, checked once."""
    if errors not in ("raise", "nan"):
        raise ValueError(f"errors must be 'raise' or 'nan', got {errors!r}")
    if method not in METHOD_CODES:
        raise ValueError(f"method must be None, 'analytic' or 'fdm', got {method!r}")
    nodes = operator.index(nodes)
    if nodes < 3:
        raise ValueError(f"nodes must be at least 3, got {nodes}")
    time_steps = operator.index(time_steps)
    if time_steps < 1:
        raise ValueError(f"time_steps must be at least 1, got {time_steps}")
    grid_std_devs = float(grid_std_devs)
    if not (grid_std_devs > 0 and math.isfinite(grid_std_devs)):
        raise ValueError(f"grid_std_devs must be a positive finite number, got {grid_std_devs!r}")
    if threads is None:
        threads = _kernel.usable_cpu_count()
    else:
        threads = operator.index(threads)
        if threads < 1:
            raise ValueError(f"threads must be at least 1, got {threads}")
    # An odd node count puts the strike on the middle node, as FdmConfig does.
    return Settings(METHOD_CODES[method], nodes | 1, time_steps, grid_std_devs, threads, errors == "nan")
