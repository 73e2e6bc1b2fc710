"""Arguments shared by value() and implied_vol(): arrays, option kinds, grid settings, errors."""
from __future__ import annotations

import math
import operator
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

_KINDS: dict[str, tuple[dict[str, int], type[sorvik.OptionType] | type[sorvik.ExerciseStyle], str]] = {
    "option_type": ({"call": 0, "put": 1}, sorvik.OptionType, "'call' or 'put'"),
    "exercise": ({"american": 0, "european": 1}, sorvik.ExerciseStyle, "'american' or 'european'"),
}

_WHY = {
    "spot": "must be a positive finite number",
    "strike": "must be a positive finite number",
    "years": "must be a finite number >= 0",
    "rate": "must be a finite number",
    "vol": "must be a finite number >= 0",
    "dividend_yield": "must be a finite number",
    "price": "must be a finite number",
}


def numbers(name: str, value: object) -> FloatArray:
    """A float64 array of `value` (no copy when it already is one)."""
    try:
        return np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be a number or an array of numbers: {error}") from None


def codes(name: str, value: object) -> npt.NDArray[np.int8]:
    """Option types or exercise styles as int8 codes; -1 marks an unknown string."""
    words, enum, _ = _KINDS[name]
    if isinstance(value, enum):
        return np.asarray(int(value), dtype=np.int8)
    if isinstance(value, str):
        return np.asarray(words.get(value.lower(), -1), dtype=np.int8)
    array = np.asarray(value)
    if array.dtype.kind in "US":
        text = array.astype(str, copy=False)
        out = np.full(array.shape, -1, dtype=np.int8)
        for word, code in words.items():
            out[text == word] = code
        # Lowering every string costs more than valuing it in closed form: only the rest are lowered.
        rest = out < 0
        if rest.any():
            lowered = np.char.lower(text[rest])
            out[rest] = np.select([lowered == word for word in words], list(words.values()), -1)
        return out
    if array.dtype.kind == "O":
        out = np.full(array.shape, -1, dtype=np.int8)
        for index, item in np.ndenumerate(array):
            out[index] = codes(name, item) if isinstance(item, (str, enum)) else -1
        return out
    raise TypeError(f"{name} must be an {enum.__name__} member, {_KINDS[name][2]}, or an array of those strings, "
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


def unknown_kind(name: str, raw: object, book: BookArrays) -> ElementError:
    """The error for the first unknown option type or exercise string."""
    flat = int(np.flatnonzero(book.inputs[name].ravel() < 0)[0]) if book.shape else 0
    item = np.broadcast_to(np.asarray(raw, dtype=object), book.shape).flat[flat]
    return ElementError(name, flat, book.shape, f": unknown value {item!r} (expected {_KINDS[name][2]})")


def bad_number(name: str, flat: int, book: BookArrays) -> ElementError:
    """The error for an unusable number: which argument, where, what and why."""
    value = float(book.inputs[name].flat[flat]) if book.shape else float(book.inputs[name])
    return ElementError(name, flat, book.shape, f" is {value!r}: {_WHY[name]}")


@dataclass
class BookArrays:
    """Every per-option input broadcast to one shape, as read-only views."""

    shape: tuple[int, ...]
    inputs: dict[str, np.ndarray[Any, Any]]
    raw: dict[str, object]

    def views(self, names: Sequence[str]) -> tuple[np.ndarray[Any, Any], ...]:
        return tuple(self.inputs[name] for name in names)


def broadcast(values: dict[str, object], number_names: Sequence[str], code_names: Sequence[str],
              errors: str) -> BookArrays:
    """Converts and broadcasts the inputs with numpy's rules, without copying them."""
    arrays: dict[str, np.ndarray[Any, Any]] = {name: numbers(name, values[name]) for name in number_names}
    arrays.update({name: codes(name, values[name]) for name in code_names})
    try:
        shape = np.broadcast_shapes(*(a.shape for a in arrays.values()))
    except ValueError:
        shapes = ", ".join(f"{name} {a.shape}" for name, a in arrays.items() if a.shape)
        raise ValueError(f"shapes do not broadcast together: {shapes}") from None
    book = BookArrays(shape, {name: np.broadcast_to(a, shape) for name, a in arrays.items()},
                      {name: values[name] for name in code_names})
    if errors == "raise":
        for name in code_names:
            if (arrays[name] < 0).any():  # before broadcasting: no book-sized temporary
                raise unknown_kind(name, book.raw[name], book)
    return book


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
