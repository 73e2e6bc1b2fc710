import datetime as dt

import pytest

import sorvik

UTC = dt.timezone.utc


def utc(*args):
    return dt.datetime(*args, tzinfo=UTC)


def raises_exactly(exc_type, message):
    """pytest.raises that also pins the whole message."""
    return pytest.raises(exc_type, match="^" + __import__("re").escape(message) + "$")


@pytest.fixture
def european_call():
    return sorvik.StockOption(100.0, utc(2025, 1, 1), sorvik.OptionType.Call, sorvik.ExerciseStyle.European)
