import contextlib
import datetime as dt
import re

import pytest

import sorvik

UTC = dt.timezone.utc


def utc(*args):
    return dt.datetime(*args, tzinfo=UTC)


def raises_exactly(exc_type, message):
    """pytest.raises that also pins the whole message."""
    return pytest.raises(exc_type, match="^" + re.escape(message) + "$")


@contextlib.contextmanager
def raises_fault(message):
    """An internal fault: a BaseException (not an Exception) carrying the message alone."""
    with pytest.raises(BaseException) as info:
        yield
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert info.value.args == (message,)


@pytest.fixture
def european_call():
    return sorvik.StockOption(100.0, utc(2025, 1, 1), sorvik.OptionType.Call, sorvik.ExerciseStyle.European)
