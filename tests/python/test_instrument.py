"""StockOption construction, its messages and years_to_expiry."""
import datetime as dt
import math
import time
import zoneinfo

import pytest
from hypothesis import given
from hypothesis import strategies as st

import sorvik
from conftest import UTC, raises_exactly, utc

Call, Put = sorvik.OptionType.Call, sorvik.OptionType.Put
American, European = sorvik.ExerciseStyle.American, sorvik.ExerciseStyle.European
YEAR = 31_536_000


def option(expiry=utc(2025, 1, 1), strike=100.0):
    return sorvik.StockOption(strike, expiry, Call, European)


class Stamp(dt.datetime):
    """A datetime whose timestamp() is chosen by the test."""

    value = 0.0

    def timestamp(self):
        return type(self).value


def stamped(value):
    cls = type("S", (Stamp,), {"value": value})
    return cls(2000, 1, 1, tzinfo=UTC)


NulNamed = type("NulNamed", (), {"__qualname__": "Nul\0Named"})


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((100.0, utc(2025, 1, 1), Call), {},
         "StockOption.__new__() missing 1 required positional argument: 'exercise_style'"),
        ((100.0,), {}, "StockOption.__new__() missing 3 required positional arguments: "
                       "'expiry_time', 'option_type', and 'exercise_style'"),
        ((100.0, utc(2025, 1, 1)), {},
         "StockOption.__new__() missing 2 required positional arguments: 'option_type' and 'exercise_style'"),
        ((1, 2, 3, 4, 5), {}, "StockOption.__new__() takes 4 positional arguments but 5 were given"),
        ((1.0,), {"strike": 2.0}, "StockOption.__new__() got multiple values for argument 'strike'"),
        ((), {"strike": 1.0, "expiry": 2}, "StockOption.__new__() got an unexpected keyword argument 'expiry'"),
        (("x", "naive", Call, European), {}, "argument 'strike': must be real number, not str"),
        ((1.0, "2025", Call, European), {}, "argument 'expiry_time': 'str' object cannot be cast as 'datetime'"),
        ((1.0, dt.date(2025, 1, 1), Call, European), {},
         "argument 'expiry_time': 'date' object cannot be cast as 'datetime'"),
        ((1.0, dt.datetime(2025, 1, 1), European, European), {},
         "argument 'option_type': 'ExerciseStyle' object cannot be cast as 'OptionType'"),
        ((1.0, dt.datetime(2025, 1, 1), Call, 1), {},
         "argument 'exercise_style': 'int' object cannot be cast as 'ExerciseStyle'"),
        ((None, utc(2025, 1, 1), Call, European), {}, "argument 'strike': must be real number, not NoneType"),
        ((1.0, utc(2025, 1, 1), NulNamed(), European), {},
         "argument 'option_type': 'Nul\0Named' object cannot be cast as 'OptionType'"),
    ],
)
def test_constructor_type_errors(args, kwargs, message):
    with raises_exactly(TypeError, message):
        sorvik.StockOption(*args, **kwargs)


def test_naive_expiry_is_reported_after_every_argument_converted():
    with raises_exactly(ValueError, "Expiry must have a timezone specified (e.g. New York or UTC)"):
        sorvik.StockOption(1.0, dt.datetime(2025, 1, 1), Call, European)


def test_keyword_construction_and_strike_values():
    o = sorvik.StockOption(exercise_style=American, option_type=Put, expiry_time=utc(2025, 6, 20, 16), strike=100)
    assert o.strike == 100.0 and type(o.strike) is float
    assert option(strike=-5.0).strike == -5.0
    assert math.isnan(option(strike=float("nan")).strike)


def test_zones_denoting_the_same_instant_give_the_same_expiry():
    new_york = utc(2025, 6, 20, 20).astimezone(zoneinfo.ZoneInfo("America/New_York"))
    fixed = utc(2025, 6, 20, 20).astimezone(dt.timezone(dt.timedelta(hours=5, minutes=30)))
    when = utc(2024, 1, 1)
    values = {option(e).years_to_expiry(when) for e in (utc(2025, 6, 20, 20), new_york, fixed)}
    assert len(values) == 1


@pytest.mark.parametrize(
    "valuation, expected",
    [
        (utc(2024, 1, 1), 366 * 86_400 / YEAR),
        (utc(2025, 1, 1), 0.0),
        (utc(2025, 1, 2), -86_400 / YEAR),
        (utc(2024, 12, 31, 23, 59, 59, 600_000), 0.0),  # 0.4 s before expiry: fraction dropped
        (utc(2024, 12, 31, 23, 59, 58, 600_000), 1 / YEAR),
    ],
)
def test_years_to_expiry(valuation, expected):
    assert option().years_to_expiry(valuation) == expected
    assert option().years_to_expiry(valuation_date=valuation) == expected


def test_years_to_expiry_without_a_date_reads_the_clock():
    o = option(utc(2100, 1, 1))
    first = o.years_to_expiry()
    time.sleep(1.05)
    second = o.years_to_expiry(None)
    assert 0 < second < first
    now = dt.datetime.now(UTC)
    assert abs(first - o.years_to_expiry(now)) < 5 / YEAR


@pytest.mark.parametrize(
    "valuation, exc_type, message",
    [
        ("2024-01-01", TypeError, "argument 'valuation_date': 'str' object cannot be cast as 'datetime'"),
        (dt.datetime(2024, 1, 1), ValueError, "valuation_date must be timezone-aware (e.g., UTC or New York time)"),
        (stamped(0.9999999999), ValueError, "Invalid valuation_date timestamp"),
        (stamped(1e300), ValueError, "Invalid valuation_date timestamp"),
    ],
)
def test_years_to_expiry_errors(valuation, exc_type, message):
    with raises_exactly(exc_type, message):
        option().years_to_expiry(valuation)


@pytest.mark.parametrize(
    "timestamp, truncated, floored",
    [
        # truncated: the expiry's whole seconds after the epoch; floored: whole
        # seconds elapsed from that valuation instant to the epoch (None: rejected)
        (-1.5, -1, 1),  # -2 s + 0.5e9 ns, 1.5 s before the epoch
        (0.9999999999, 0, None),  # flooring rounds to 1e9 ns outside a leap second
        (59.9999999999, 59, -59),  # ... which is a valid leap-second instant at :59
        (float("nan"), 0, 0),  # saturating casts send NaN to 0
    ],
)
def test_timestamp_splitting(timestamp, truncated, floored):
    epoch = utc(1970, 1, 1)
    assert option(stamped(timestamp)).years_to_expiry(epoch) == truncated / YEAR
    if floored is None:
        with raises_exactly(ValueError, "Invalid valuation_date timestamp"):
            option(epoch).years_to_expiry(stamped(timestamp))
    else:
        assert option(epoch).years_to_expiry(stamped(timestamp)) == floored / YEAR


def test_expiry_out_of_calendar_range():
    with raises_exactly(ValueError, "Invalid timestamp"):
        option(stamped(1e20))


def test_errors_of_utcoffset_and_timestamp_pass_through_unchanged():
    class BadOffset(dt.datetime):
        def utcoffset(self):
            raise KeyError("offset")

    class BadStamp(dt.datetime):
        def timestamp(self):
            raise TypeError("no stamp")

    class StrStamp(dt.datetime):
        def timestamp(self):
            return "soon"

    with pytest.raises(KeyError, match="offset"):
        option(BadOffset(2025, 1, 1, tzinfo=UTC))
    with raises_exactly(TypeError, "no stamp"):
        option(BadStamp(2025, 1, 1, tzinfo=UTC))
    with raises_exactly(TypeError, "must be real number, not str"):
        option(StrStamp(2025, 1, 1, tzinfo=UTC))


def test_reentrant_callbacks_see_a_consistent_option():
    o = option()
    seen = []

    class Reentrant(dt.datetime):
        def timestamp(self):
            seen.append(o.years_to_expiry(utc(2024, 1, 1)))  # shared borrow inside shared borrow
            return super().timestamp()

    assert o.years_to_expiry(Reentrant(2024, 1, 1, tzinfo=UTC)) == 366 * 86_400 / YEAR
    assert seen == [366 * 86_400 / YEAR]


def test_argument_prefix_only_for_exact_type_errors():
    class Strange:
        def __float__(self):
            raise ValueError("strange")

    class SubTypeError(TypeError):
        pass

    class Sub:
        def __float__(self):
            raise SubTypeError("sub")

    class Caused:
        def __float__(self):
            raise TypeError("outer") from KeyError("inner")

    with raises_exactly(ValueError, "strange"):
        option(strike=Strange())
    with raises_exactly(SubTypeError, "sub"):
        option(strike=Sub())
    with raises_exactly(TypeError, "argument 'strike': outer") as info:
        option(strike=Caused())
    assert isinstance(info.value.__cause__, KeyError)


class UtcSubclass(dt.datetime):
    """Same instants, but through the utcoffset()/timestamp() calls."""


@given(
    st.datetimes(min_value=dt.datetime(1, 1, 2), max_value=dt.datetime(9999, 12, 30)),
    st.datetimes(min_value=dt.datetime(1, 1, 2), max_value=dt.datetime(9999, 12, 30)),
)
def test_exact_utc_datetimes_match_the_method_calls(expiry, valuation):
    expiry, valuation = expiry.replace(tzinfo=UTC), valuation.replace(tzinfo=UTC)
    as_subclass = [UtcSubclass(*d.timetuple()[:6], d.microsecond, tzinfo=UTC) for d in (expiry, valuation)]
    assert option(expiry).years_to_expiry(valuation) == option(as_subclass[0]).years_to_expiry(as_subclass[1])
