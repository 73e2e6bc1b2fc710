"""VolSurface and OptionMarketFrame."""
import datetime as dt
import math
import sys

import pytest

from sorvik import Compounding, DayCountConvention, InterestRate, OptionMarketFrame, RateCurve, Tenor, VolSurface
from conftest import raises_exactly

DCC = DayCountConvention


@pytest.mark.parametrize(
    "vol, dcc, strike, t",
    [
        (0.2, DCC.Act365Fixed, 100.0, 0.5),
        (0.2, DCC.Act365Fixed, -5.0, -1.0),
        (-0.3, DCC.Act360, 100.0, 1.0),
        (0.0, DCC.ActActISDA, math.nan, math.inf),
        (7, DCC.Thirty360US, 1, 2),
    ],
)
def test_flat_surface_returns_its_vol_everywhere(vol, dcc, strike, t):
    surface = VolSurface.flat(vol, dcc)
    assert surface.volatility(strike, t) == vol
    assert surface.volatility(t=t, strike=strike) == vol


def test_flat_surface_keeps_nan():
    assert math.isnan(VolSurface.flat(math.nan, DCC.Act360).volatility(100.0, 1.0))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: VolSurface.flat(0.2, "Act360"),
         "argument 'day_count': 'str' object cannot be cast as 'DayCountConvention'"),
        (lambda: VolSurface.flat("0.2", DCC.Act360), "argument 'vol': must be real number, not str"),
        (lambda: VolSurface.flat(0.2), "VolSurface.flat() missing 1 required positional argument: 'day_count'"),
        (lambda: VolSurface.flat(0.2, DCC.Act360).volatility(100.0),
         "VolSurface.volatility() missing 1 required positional argument: 't'"),
        (lambda: VolSurface.flat(0.2, DCC.Act360).volatility("x", None),
         "argument 'strike': must be real number, not str"),
        (lambda: VolSurface.flat(0.2, DCC.Act360).volatility(1.0, None),
         "argument 't': must be real number, not NoneType"),
    ],
)
def test_surface_argument_errors(call, message):
    with raises_exactly(TypeError, message):
        call()


def curve():
    return RateCurve.continuous(0.05, DCC.Act365Fixed)


def surface():
    return VolSurface.flat(0.2, DCC.Act360)


@pytest.mark.parametrize("spot", [100.0, 0.0, -1.0, math.nan, 100])
def test_frame_accepts_any_spot_and_mismatched_conventions(spot):
    assert isinstance(OptionMarketFrame(spot, curve(), surface()), OptionMarketFrame)


def test_frame_accepts_an_interpolated_curve_and_keywords():
    rates = [InterestRate(r, Compounding.continuous(), DCC.Act365Fixed) for r in (0.03, 0.04)]
    interpolated = RateCurve.interpolated(dt.date(2024, 1, 1), [Tenor.years(1), Tenor.years(2)], rates)
    frame = OptionMarketFrame(vol_surface=surface(), rate_curve=interpolated, spot=100.0)
    assert isinstance(frame, OptionMarketFrame)


def test_frame_copies_instead_of_keeping_references():
    rate_curve, vol_surface = curve(), surface()
    counts = sys.getrefcount(rate_curve), sys.getrefcount(vol_surface)
    frame = OptionMarketFrame(100.0, rate_curve, vol_surface)
    assert (sys.getrefcount(rate_curve), sys.getrefcount(vol_surface)) == counts
    del rate_curve, vol_surface
    assert isinstance(frame, OptionMarketFrame)


@pytest.mark.parametrize(
    "args, message",
    [
        (("100", curve(), surface()), "argument 'spot': must be real number, not str"),
        ((100.0, surface(), surface()), "argument 'rate_curve': 'VolSurface' object cannot be cast as 'RateCurve'"),
        ((100.0, curve(), curve()), "argument 'vol_surface': 'RateCurve' object cannot be cast as 'VolSurface'"),
        ((100.0, surface(), curve()), "argument 'rate_curve': 'VolSurface' object cannot be cast as 'RateCurve'"),
        (("x", surface(), curve()), "argument 'spot': must be real number, not str"),
        ((100.0, curve()), "OptionMarketFrame.__new__() missing 1 required positional argument: 'vol_surface'"),
        ((100.0, curve(), surface(), 1),
         "OptionMarketFrame.__new__() takes 3 positional arguments but 4 were given"),
    ],
)
def test_frame_argument_errors_in_order(args, message):
    counts = [sys.getrefcount(a) for a in args]
    with raises_exactly(TypeError, message):
        OptionMarketFrame(*args)
    assert [sys.getrefcount(a) for a in args] == counts


def test_frame_has_no_attributes_and_nothing_to_assign():
    frame = OptionMarketFrame(100.0, curve(), surface())
    with pytest.raises(AttributeError):
        frame.spot
    with pytest.raises(AttributeError):
        frame.spot = 1.0
