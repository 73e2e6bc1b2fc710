"""Cash dividends per option: their rules, and the schedules the kernel steps the grid across."""
from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _arguments

# Methods whose formulas know no cash dividend: an option with one inside its life is refused to them.
_GRID_ONLY = ("analytic", "spectral")


@dataclass
class Schedules:
    """The kernel's dividends and what the call does around them."""

    shape: tuple[int, ...]             # the book's shape, the dividends' leading axes included
    pair: tuple[Any, Any] | None       # (times, amounts), each (book size, D), or None when no option has one
    unusable: Any                      # bool array of the book's shape: rows NaN under errors="nan", or None


def schedules(times: object, amounts: object, years: Any, book_shape: tuple[int, ...], method: str | None,
              nan_mode: bool) -> Schedules | None:
    """The options' cash dividends, checked and put in order.

    The last axis lists an option's dividends; the leading axes broadcast with the book. A NaN time
    is padding (whatever its amount), an amount of 0 no dividend, a time at or before 0 or after
    ``years`` none for that option; the rest are sorted by time, equal times added up. An infinite
    time, or an amount that is negative or not finite, is a bad element; so is a dividend inside
    the option's life under a method without cash dividends. Under errors="nan" such options are
    left out (NaN); otherwise the first is raised, named by its argument and its index in that
    argument.
    """
    if times is None and amounts is None:
        return None
    if times is None or amounts is None:
        raise TypeError("dividend_times and dividend_amounts go together: give both or neither")
    t = _arguments.numbers("dividend_times", times)
    a = _arguments.numbers("dividend_amounts", amounts)
    t, a = np.asarray(t, dtype=np.float64), np.asarray(a, dtype=np.float64)
    if t.ndim == 0 or t.shape != a.shape:
        raise ValueError(f"dividend_times and dividend_amounts must be arrays of one shape whose last axis lists "
                         f"an option's dividends, got shapes {t.shape} and {a.shape}")
    lead = t.shape[:-1]
    try:
        shape = np.broadcast_shapes(book_shape, lead)
    except ValueError:
        raise ValueError(f"shapes do not broadcast together: the book {book_shape}, dividend_times {t.shape} "
                         f"(its last axis lists an option's dividends)") from None
    padding = np.isnan(t)
    bad_time = np.isinf(t)
    bad_amount = ~padding & ~bad_time & ~(np.isfinite(a) & (a >= 0.0))
    # Inside the option's life: after valuation, at or before expiry, with an amount.
    life = np.broadcast_to(years, shape)[..., np.newaxis]
    good = ~padding & ~bad_time & ~bad_amount
    inside = np.broadcast_to(good & (t > 0.0) & (a > 0.0), shape + t.shape[-1:]) & \
        (np.broadcast_to(t, shape + t.shape[-1:]) <= life)
    refused = inside if method in _GRID_ONLY else np.zeros_like(inside)
    problems = [("dividend_times", bad_time, "must be a finite number of years (NaN marks no dividend)"),
                ("dividend_amounts", bad_amount, "must be a finite number >= 0")]
    unusable = np.broadcast_to((bad_time | bad_amount).any(axis=-1), shape) | refused.any(axis=-1)
    if not nan_mode and unusable.any():
        _raise_first(t, a, problems, refused, method)
    # The dividends that count, in time order, equal times added up, then NaN padding.
    full_t = np.where(inside, np.broadcast_to(t, inside.shape), np.inf)
    full_a = np.where(inside, np.broadcast_to(a, inside.shape), 0.0)
    order = np.argsort(full_t, axis=-1, kind="stable")
    full_t = np.take_along_axis(full_t, order, axis=-1)
    full_a = np.take_along_axis(full_a, order, axis=-1)
    for j in range(full_t.shape[-1] - 1, 0, -1):
        same = (full_t[..., j] == full_t[..., j - 1]) & np.isfinite(full_t[..., j])
        full_a[..., j - 1] += np.where(same, full_a[..., j], 0.0)
        full_t[..., j] = np.where(same, np.inf, full_t[..., j])
    order = np.argsort(full_t, axis=-1, kind="stable")
    full_t = np.take_along_axis(full_t, order, axis=-1)
    full_a = np.take_along_axis(full_a, order, axis=-1)
    full_t[unusable] = np.inf
    count = int(np.isfinite(full_t).sum(axis=-1).max(initial=0))
    if count == 0:
        return Schedules(shape, None, unusable if unusable.any() else None)
    full_t = np.where(np.isfinite(full_t), full_t, np.nan)[..., :count]
    full_a = full_a[..., :count]
    pair = (np.ascontiguousarray(full_t.reshape(-1, count)), np.ascontiguousarray(full_a.reshape(-1, count)))
    return Schedules(shape, pair, unusable if unusable.any() else None)


def _raise_first(t: Any, a: Any, problems: list[tuple[str, Any, str]], refused: Any, method: str | None) -> None:
    """Raises the first bad element: a number that cannot be a dividend (lowest index in its
    argument, the time before the amount), else the first dividend the method refuses."""
    candidates = []
    for position, (name, bad, why) in enumerate(problems):
        if bad.any():
            flat = int(np.flatnonzero(bad)[0])
            value = float((t if name == "dividend_times" else a).flat[flat])
            candidates.append((flat, position, name, f" is {value!r}: {why}"))
    if candidates:
        flat, _, name, detail = min(candidates)
        raise _arguments.ElementError(name, flat, t.shape, detail)
    # The option's index in the book, and the dividend's position in its schedule.
    flat = int(np.flatnonzero(refused)[0])
    value = float(np.broadcast_to(t, refused.shape).flat[flat])
    raise _arguments.ElementError(
        "dividend_times", flat, refused.shape,
        f" is {value!r}: a cash dividend inside the option's life, which method={method!r} does not value "
        f"(method=None or 'fdm' value it on the grid)")


def for_book(numbers: tuple[Any, ...], kinds: tuple[Any, Any], years_at: int, method: str | None, errors: str,
             times: object, amounts: object) -> tuple[tuple[Any, ...], Schedules | None]:
    """The kernel's numbers (the first one widened to the book's shape when the dividends' leading
    axes widen it) and the book's schedules, or None without dividends."""
    if times is None and amounts is None:
        return numbers, None
    shapes = [np.shape(x) for x in numbers] + [np.shape(k) for k in kinds if not isinstance(k, str)]
    try:
        book_shape = np.broadcast_shapes(*shapes)
    except (ValueError, RuntimeError):
        return numbers, None  # the kernel words the mismatch (or the dimensions beyond numpy's)
    found = schedules(times, amounts, numbers[years_at], book_shape, method, errors == "nan")
    if found is None or found.shape == book_shape:
        return numbers, found
    widened = np.broadcast_to(np.asarray(numbers[0], dtype=np.float64), found.shape)
    return (widened,) + tuple(numbers[1:]), found


def left_out(result: Any, unusable: Any) -> Any:
    """The result with the options that could not be valued NaN in every output."""
    if unusable is None:
        return result
    if not dataclasses.is_dataclass(result):
        return np.where(unusable, np.nan, result) if np.ndim(result) else (np.nan if unusable else result)
    fields = {}
    for field in dataclasses.fields(result):
        value = getattr(result, field.name)
        if isinstance(value, np.ndarray) and value.shape == unusable.shape:
            value[unusable] = np.nan
        elif isinstance(value, float) and bool(unusable):
            value = float("nan")
        fields[field.name] = value
    return dataclasses.replace(result, **fields)  # type: ignore[type-var]
