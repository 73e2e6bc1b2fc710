"""Tenor factories and advancing dates."""
import datetime as dt

import pytest

from sorvik import Tenor
from conftest import UTC, raises_exactly, raises_fault

D = dt.date


@pytest.mark.parametrize(
    "tenor, start, expected",
    [
        (Tenor.months(1), D(2024, 1, 31), D(2024, 2, 29)),
        (Tenor.months(1), D(2023, 1, 31), D(2023, 2, 28)),
        (Tenor.months(13), D(2024, 12, 31), D(2026, 1, 31)),
        (Tenor.months(0), D(2024, 1, 31), D(2024, 1, 31)),
        (Tenor.years(1), D(2024, 2, 29), D(2025, 2, 28)),
        (Tenor.years(4), D(2024, 2, 29), D(2028, 2, 29)),
        (Tenor.days(-1), D(2024, 3, 1), D(2024, 2, 29)),
        (Tenor.weeks(-2), D(2024, 3, 1), D(2024, 2, 16)),
        (Tenor.weeks(1), D(2024, 12, 28), D(2025, 1, 4)),
        (Tenor.days(0), dt.datetime(2024, 5, 17, 23, 30, tzinfo=UTC), D(2024, 5, 17)),
        (Tenor.days(1), dt.datetime(2024, 5, 17, 23, 30), D(2024, 5, 18)),
    ],
)
def test_advance(tenor, start, expected):
    result = tenor.advance(start)
    assert type(result) is dt.date
    assert result == expected


def test_advance_by_keyword_leaves_the_tenor_reusable():
    tenor = Tenor.weeks(3)
    assert tenor.advance(**{"from": D(2024, 1, 1)}) == D(2024, 1, 22)
    assert tenor.advance(D(2024, 1, 1)) == D(2024, 1, 22)


@pytest.mark.parametrize(
    "tenor, start, message",
    [
        (Tenor.months(-1), D(2024, 1, 1), "`NaiveDate + Months` out of range"),
        (Tenor.years(-1), D(2024, 1, 1), "`NaiveDate + Months` out of range"),
        (Tenor.years(300_000), D(2024, 1, 1), "`NaiveDate + Months` out of range"),
        (Tenor.days(2**31 - 1), D(2024, 1, 1), "`NaiveDate + TimeDelta` overflowed"),
        (Tenor.weeks(-(2**31)), D(2024, 1, 1), "`NaiveDate + TimeDelta` overflowed"),
    ],
)
def test_advance_faults(tenor, start, message):
    with raises_fault(message):
        tenor.advance(start)


@pytest.mark.parametrize("tenor, year", [(Tenor.years(8000), 10024), (Tenor.days(-1), 0)])
def test_dates_beyond_python_are_refused_by_datetime_itself(tenor, year):
    start = D(2024, 1, 1) if year > 1 else D(1, 1, 1)
    with pytest.raises(ValueError) as expected:
        D(year, 1, 1) if year > 1 else D(year, 12, 31)
    with raises_exactly(ValueError, str(expected.value)):
        tenor.advance(start)


@pytest.mark.parametrize("factory", [Tenor.days, Tenor.weeks, Tenor.months, Tenor.years])
@pytest.mark.parametrize("n", [2**31, -(2**31) - 1])
def test_count_outside_32_bits(factory, n):
    with raises_exactly(OverflowError, "out of range integral type conversion attempted"):
        factory(n)
    with pytest.raises(OverflowError):  # beyond a C long: the interpreter's own message
        factory(n * 2**40)


@pytest.mark.parametrize("n", [-(2**31), 2**31 - 1])
def test_count_at_the_32_bit_limits_is_accepted(n):
    assert isinstance(Tenor.months(n), Tenor)


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda: Tenor.days(), TypeError, "Tenor.days() missing 1 required positional argument: 'n'"),
        (lambda: Tenor.weeks(1, 2), TypeError, "Tenor.weeks() takes 1 positional arguments but 2 were given"),
        (lambda: Tenor.years(count=1), TypeError, "Tenor.years() got an unexpected keyword argument 'count'"),
        (lambda: Tenor.months(1.5), TypeError,
         "argument 'n': 'float' object cannot be interpreted as an integer"),
        (lambda: Tenor.days(1).advance("2024-01-01"), TypeError,
         "argument 'from': 'str' object cannot be cast as 'date'"),
        (lambda: Tenor.days(1).advance(), TypeError,
         "Tenor.advance() missing 1 required positional argument: 'from'"),
    ],
)
def test_argument_errors(call, exc_type, message):
    with raises_exactly(exc_type, message):
        call()
