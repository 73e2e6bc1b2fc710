"""year_fraction(): time to expiry exactly as sorvik measures it."""
from __future__ import annotations

import datetime as dt
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from ._arguments import FloatArray, index_text

_EPOCH_US = np.datetime64(0, "us")
_SECONDS_PER_YEAR = 31_536_000.0
_YEAR = np.timedelta64(365, "D")
# The calendar sorvik's instants span; datetime64 in units coarser than a microsecond can lie
# beyond it (and beyond what a microsecond count holds).
_FIRST = np.datetime64("-262143-01-01T00:00:00.000000", "us")
_LAST = np.datetime64("262142-12-31T23:59:59.999999", "us")
_COARSE_UNITS = ("Y", "M", "W", "D", "h", "m", "s", "ms")

Instants = Union[dt.datetime, "npt.ArrayLike"]


def _timestamps(name: str, value: object) -> npt.NDArray[np.float64]:
    """Seconds since the epoch as datetime.timestamp() gives them: whole microseconds / 10^6."""
    if isinstance(value, dt.datetime):
        if value.utcoffset() is None:
            raise ValueError(f"{name} must be timezone-aware (e.g. UTC or New York time)")
        return np.asarray(value.timestamp())
    array: np.ndarray[Any, Any] = np.asarray(value)
    if array.dtype.kind == "O":
        each = np.vectorize(lambda item: _timestamps(name, item), otypes=[np.float64])
        seconds: npt.NDArray[np.float64] = each(array)
        return seconds
    if array.dtype.kind != "M" or isinstance(value, np.ma.MaskedArray):
        raise TypeError(f"{name} must be an aware datetime or an array of numpy datetime64 (UTC), "
                        f"not {type(value).__name__}")
    missing = np.isnat(array)
    if np.datetime_data(array.dtype)[0] in _COARSE_UNITS:
        outside = ~missing & ((array < _FIRST.astype(array.dtype)) | (array > _LAST.astype(array.dtype)))
        if outside.any():
            flat = int(np.flatnonzero(outside)[0])
            raise ValueError(f"{name}{index_text(flat, array.shape)} is {array.reshape(-1)[flat]}: outside the years "
                             "-262143 to 262142")
    micros = (array.astype("datetime64[us]") - _EPOCH_US).astype(np.int64)
    return np.where(missing, np.nan, micros.astype(np.float64) / 1e6)


def timedelta_years(array: np.ndarray[Any, Any]) -> npt.NDArray[np.float64]:
    """numpy timedelta64 as Actual/365 Fixed years: days / 365, exactly as numpy divides; NaT is NaN."""
    try:
        years: npt.NDArray[np.float64] = array / _YEAR
    except TypeError:
        raise TypeError("years as timedelta64 must count days or a finer unit, not months or years") from None
    return years


def year_fraction(valuation_time: Instants, expiry: Instants) -> FloatArray | float:
    """Years from the valuation time to the expiry, exactly as sorvik's ``years_to_expiry`` gives them.

    Whole seconds elapsed (any fraction dropped) over 365 days of 86,400 seconds (Actual/365
    Fixed); negative when the expiry comes first. The expiry is read as ``sorvik.StockOption``
    stores it (its timestamp's fraction of a second kept when the timestamp is not negative),
    the valuation time as ``ValuationBuilder.at`` does (floored to the second, the fraction
    rounded to the nanosecond), so that ``value(..., years=year_fraction(t, expiry))`` values
    what ``sorvik`` values at ``t``.

    Args:
        valuation_time: an aware ``datetime``, or an array of numpy ``datetime64`` read as UTC
            (taken to the microsecond, as a ``datetime`` holds them) or of aware datetimes.
            ``NaT`` (not a time) gives NaN, so that a schedule with gaps maps to NaN, which
            ``value(..., errors="nan")`` passes over.
        expiry: the same kinds; broadcasts with ``valuation_time`` by numpy's rules.

    Returns:
        The year fractions: a float64 array of the broadcast shape, or a float for two scalars.

    Raises:
        ValueError: a naive ``datetime`` ("expiry must be timezone-aware (e.g. UTC or New York
            time)"), a ``datetime64`` outside the years -262143 to 262142 ("expiry at index 2
            is 300000-01-01: outside the years -262143 to 262142"), or shapes that do not
            broadcast.
        TypeError: neither an aware ``datetime`` nor an array of ``datetime64`` (a masked
            array is refused too).
    """
    start = _timestamps("valuation_time", valuation_time)
    end = _timestamps("expiry", expiry)
    # The expiry's instant: seconds towards zero, nanoseconds of the remaining fraction cut off.
    end_s = np.trunc(end)
    end_ns = np.trunc(np.clip((end - end_s) * 1e9, 0, 4_294_967_295))
    # The valuation time's: seconds floored, nanoseconds rounded half away from zero.
    start_s = np.floor(start)
    start_ns = np.clip(_round_half_away((start - start_s) * 1e9), 0, 4_294_967_295)
    later = (end_s > start_s) | ((end_s == start_s) & (end_ns >= start_ns))
    seconds = np.where(later, (end_s - start_s) - (end_ns < start_ns), -((start_s - end_s) - (start_ns < end_ns)))
    years = seconds / _SECONDS_PER_YEAR
    return float(years) if years.ndim == 0 else years


def _round_half_away(x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    return np.sign(x) * np.floor(np.abs(x) + 0.5)
