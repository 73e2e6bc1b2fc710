import contextlib
import ctypes
import datetime as dt
import functools
import re

import pytest
from hypothesis import settings

import sorvik

# Fixed examples in CI; `pytest --hypothesis-profile=long` runs twenty times as
# many, freshly drawn.
settings.register_profile("ci", derandomize=True, deadline=None, max_examples=100)
settings.register_profile("long", deadline=None, max_examples=2_000)
settings.load_profile("ci")

UTC = dt.timezone.utc

# The sanitizer runtime reserves terabytes of address space at start-up, so it
# cannot run under an address-space limit; tests that set one skip themselves.
with open("/proc/self/maps") as _maps:
    UNDER_SANITIZER = any("libasan" in line for line in _maps)


def utc(*args):
    return dt.datetime(*args, tzinfo=UTC)


def raises_exactly(exc_type, message):
    """pytest.raises that also pins the whole message."""
    return pytest.raises(exc_type, match="^" + re.escape(message) + "$")


def blank_instance(cls):
    """An instance allocated the way C code could, past every constructor:
    its native value was never built."""
    alloc = ctypes.pythonapi.PyType_GenericAlloc
    alloc.restype, alloc.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.c_ssize_t]
    return alloc(cls, 0)


@functools.cache
def fault_class():
    """The class of internal faults (not an attribute of the module), caught from an expired option on the grid."""
    a365 = sorvik.DayCountConvention.Act365Fixed
    option = sorvik.StockOption(1.0, utc(2025, 1, 1), sorvik.OptionType.Put, sorvik.ExerciseStyle.American)
    market = sorvik.OptionMarketFrame(1.0, sorvik.RateCurve.continuous(0.0, a365), sorvik.VolSurface.flat(0.2, a365))
    with pytest.raises(BaseException) as info:
        option.valuation().market(market).at(utc(2026, 1, 1)).compute()
    return type(info.value)


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
