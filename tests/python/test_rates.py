"""Frequency, Compounding, InterestRate and RateCurve."""
import datetime as dt
import math
import sys

import pytest

from sorvik import Compounding, DayCountConvention, Frequency, InterestRate, RateCurve, Tenor
from conftest import raises_exactly, raises_fault

DCC = DayCountConvention
D = dt.date


def continuous(rate, dcc=DCC.Act365Fixed):
    return InterestRate(rate, Compounding.continuous(), dcc)


# ---------------------------------------------------------------- Frequency, Compounding

@pytest.mark.parametrize(
    "name, code, periods",
    [("Annual", 0, 1), ("SemiAnnual", 1, 2), ("Quarterly", 2, 4), ("Monthly", 3, 12)],
)
def test_frequency_members(name, code, periods):
    member = getattr(Frequency, name)
    assert member is getattr(Frequency, name)
    assert isinstance(member, Frequency)
    assert (repr(member), str(member), int(member), member.value) == (name, name, code, periods)
    with pytest.raises(AttributeError):
        member.value = 3


@pytest.mark.parametrize(
    "compounding, text",
    [
        (Compounding.simple(), "Compounding.Simple"),
        (Compounding.continuous(), "Compounding.Continuous"),
        (Compounding.compounded(Frequency.SemiAnnual), "Compounding.Compounded(SemiAnnual)"),
        (Compounding.compounded(freq=Frequency.Monthly), "Compounding.Compounded(Monthly)"),
        (Compounding.simple_then_compounded(Frequency.Quarterly), "Compounding.SimpleThenCompounded(Quarterly)"),
    ],
)
def test_compounding_repr(compounding, text):
    assert repr(compounding) == str(compounding) == text


# ---------------------------------------------------------------- InterestRate

@pytest.mark.parametrize(
    "compounding, t, expected",
    [
        (Compounding.simple(), 2.0, 1 / 1.1),
        (Compounding.compounded(Frequency.SemiAnnual), 2.0, 1.025 ** -4),
        (Compounding.compounded(Frequency.Monthly), 2.0, 1 / (1 + 0.05 / 12) ** 24),
        (Compounding.compounded(Frequency.Annual), 0.5, 1 / 1.05 ** 0.5),
        (Compounding.continuous(), 2.0, math.exp(-0.1)),
        (Compounding.simple(), 0.0, 1.0),
        (Compounding.compounded(Frequency.Quarterly), 0.0, 1.0),
        (Compounding.continuous(), 0.0, 1.0),
        (Compounding.continuous(), -1.0, math.exp(0.05)),
    ],
)
def test_discount_factor(compounding, t, expected):
    rate = InterestRate(0.05, compounding, DCC.Act360)
    assert rate.discount_factor(t) == pytest.approx(expected, rel=1e-15)
    assert rate.discount_factor(t=t) == rate.discount_factor(t)


def test_discount_factor_follows_ieee_arithmetic():
    assert InterestRate(-0.5, Compounding.simple(), DCC.Act360).discount_factor(2) == math.inf
    assert math.isnan(InterestRate(math.nan, Compounding.continuous(), DCC.Act360).discount_factor(1.0))


def test_simple_then_compounded_is_held_but_not_discounted():
    rate = InterestRate(0.05, Compounding.simple_then_compounded(Frequency.Annual), DCC.Act365Fixed)
    for _ in range(2):  # the rate stays usable after the fault
        with raises_fault("not yet implemented: Implement other logic"):
            rate.discount_factor(1.0)


def test_rates_and_flat_curves_copy_their_arguments():
    compounding = Compounding.compounded(Frequency.Annual)
    before = sys.getrefcount(compounding)
    rate = InterestRate(0.05, compounding, DCC.Act360)
    assert sys.getrefcount(compounding) == before
    before = sys.getrefcount(rate)
    curve = RateCurve.flat(rate)
    assert sys.getrefcount(rate) == before
    del compounding, rate
    assert curve.discount_factor(1.0) == 1 / 1.05


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda: InterestRate(0.05, Compounding.continuous(), Frequency.Annual), TypeError,
         "argument 'dcc': 'Frequency' object cannot be cast as 'DayCountConvention'"),
        (lambda: InterestRate(rate=None, compounding=Compounding.simple(), dcc=DCC.Act360), TypeError,
         "argument 'rate': must be real number, not NoneType"),
        (lambda: InterestRate(0.05, Frequency.Annual, DCC.Act360), TypeError,
         "argument 'compounding': 'Frequency' object cannot be cast as 'Compounding'"),
        (lambda: InterestRate(0.05), TypeError,
         "InterestRate.__new__() missing 2 required positional arguments: 'compounding' and 'dcc'"),
        (lambda: continuous(0.05).discount_factor("1"), TypeError,
         "argument 't': must be real number, not str"),
        (lambda: Compounding.compounded(DCC.Act360), TypeError,
         "argument 'freq': 'DayCountConvention' object cannot be cast as 'Frequency'"),
        (lambda: Compounding.simple_then_compounded(), TypeError,
         "Compounding.simple_then_compounded() missing 1 required positional argument: 'freq'"),
    ],
)
def test_argument_errors(call, exc_type, message):
    with raises_exactly(exc_type, message):
        call()


# ---------------------------------------------------------------- RateCurve: flat, continuous

def test_flat_curve():
    curve = RateCurve.flat(InterestRate(0.05, Compounding.compounded(Frequency.SemiAnnual), DCC.Act365Fixed))
    assert [curve.zero_rate(t) for t in (3.0, 0.0, -1.0, math.nan)] == [0.05] * 4
    assert curve.discount_factor(2.0) == 1.025 ** -4


def test_continuous_curve_equals_flat_continuous_rate():
    curve = RateCurve.continuous(0.05, DCC.Act360)
    flat = RateCurve.flat(continuous(0.05, DCC.Act360))
    assert curve.zero_rate(7.0) == 0.05
    for t in (0.0, 0.5, 2.0, -3.0):
        assert curve.discount_factor(t) == flat.discount_factor(t)
    assert curve.discount_factor(2.0) == math.exp(-0.1)


def test_flat_simple_then_compounded_faults_only_on_discounting():
    curve = RateCurve.flat(InterestRate(0.05, Compounding.simple_then_compounded(Frequency.Monthly), DCC.Act360))
    assert curve.zero_rate(1.0) == 0.05
    with raises_fault("not yet implemented: Implement other logic"):
        curve.discount_factor(1.0)


# ---------------------------------------------------------------- RateCurve: interpolated

PILLARS = [Tenor.years(1), Tenor.years(2)]


def interpolated(dcc=DCC.Act365Fixed, reference=D(2024, 1, 1)):
    return RateCurve.interpolated(reference, PILLARS, [continuous(0.03, dcc), continuous(0.04, dcc)])


@pytest.mark.parametrize(
    "t, expected",
    [
        (1.5, 0.03 + 0.01 * (1.5 - 366 / 365)),
        (0.5, 0.03 + 0.01 * (0.5 - 366 / 365)),  # extrapolated below the first pillar
        (3.0, 0.04 + 0.01 * (3.0 - 731 / 365)),  # and beyond the last
        (366 / 365, 0.03),
        (731 / 365, 0.04),
    ],
)
def test_interpolated_zero_rate_and_discount_factor(t, expected):
    curve = interpolated()
    assert curve.zero_rate(t) == pytest.approx(expected, abs=1e-16)
    assert curve.discount_factor(t) == math.exp(-curve.zero_rate(t) * t)


def test_pillars_are_timed_under_their_rates_convention():
    curve = interpolated(DCC.Act360)
    assert curve.zero_rate(366 / 360) == 0.03
    assert curve.zero_rate(731 / 360) == 0.04
    # Mixed conventions: the first pillar at 366/360, the second at 731/365.
    mixed = RateCurve.interpolated(D(2024, 1, 1), PILLARS, [continuous(0.03, DCC.Act360), continuous(0.04)])
    assert mixed.zero_rate(366 / 360) == 0.03
    assert mixed.zero_rate(731 / 365) == 0.04


def test_datetime_reference_counts_as_its_date():
    late = dt.datetime(2024, 1, 1, 18, 0, tzinfo=dt.timezone(dt.timedelta(hours=-5)))
    curve, same = interpolated(reference=late), interpolated()
    assert [curve.zero_rate(t) for t in (0.3, 1.5, 4.0)] == [same.zero_rate(t) for t in (0.3, 1.5, 4.0)]


def test_interpolated_discounts_with_the_first_pillars_compounding():
    annual = InterestRate(0.03, Compounding.compounded(Frequency.Annual), DCC.Act365Fixed)
    curve = RateCurve.interpolated(D(2024, 1, 1), PILLARS, [annual, continuous(0.04)])
    for t in (0.5, 1.5, 3.0):
        assert curve.discount_factor(t) == pytest.approx((1 + curve.zero_rate(t)) ** -t, rel=1e-15)


def test_interpolated_simple_then_compounded_first_pillar():
    first = InterestRate(0.03, Compounding.simple_then_compounded(Frequency.Annual), DCC.Act365Fixed)
    curve = RateCurve.interpolated(D(2024, 1, 1), PILLARS, [first, continuous(0.04)])
    assert curve.zero_rate(1.5) == interpolated().zero_rate(1.5)
    with raises_fault("not yet implemented: Implement other logic"):
        curve.discount_factor(1.5)
    # Only the first pillar's compounding counts.
    last = InterestRate(0.04, Compounding.simple_then_compounded(Frequency.Annual), DCC.Act365Fixed)
    assert RateCurve.interpolated(D(2024, 1, 1), PILLARS, [continuous(0.03), last]).discount_factor(1.5) > 0


def test_any_sequence_is_accepted():
    rates = (continuous(0.03), continuous(0.04))
    curve = RateCurve.interpolated(D(2024, 1, 1), tuple(PILLARS), rates)
    assert curve.zero_rate(1.5) == interpolated().zero_rate(1.5)


@pytest.mark.parametrize(
    "tenors, rates, message",
    [
        (PILLARS, [continuous(0.03)], "Curve Error: LengthMismatch"),
        ([], [continuous(0.03)], "Curve Error: LengthMismatch"),
        ([], [], "Curve Error: Interpolation(InsufficientPoints)"),
        ([Tenor.years(1)], [continuous(0.03)], "Curve Error: Interpolation(InsufficientPoints)"),
        ([Tenor.days(7), Tenor.weeks(1)], [continuous(0.03)] * 2, "Curve Error: Interpolation(NotMonotonic)"),
        ([Tenor.years(2), Tenor.years(1)], [continuous(0.03)] * 2, "Curve Error: Interpolation(NotMonotonic)"),
        # Same date, different conventions: 0 days stays 0 under both, so still equal times.
        ([Tenor.days(0), Tenor.months(0)], [continuous(0.03), continuous(0.03, DCC.Act360)],
         "Curve Error: Interpolation(NotMonotonic)"),
    ],
)
def test_curve_errors(tenors, rates, message):
    with raises_exactly(ValueError, message):
        RateCurve.interpolated(D(2024, 1, 1), tenors, rates)


class BadMonth(dt.date):
    month = property(lambda self: 13)


@pytest.mark.parametrize(
    "args, exc_type, message",
    [
        ((D(2024, 1, 1), "abc", []), TypeError, "argument 'tenors': Can't extract `str` to `Vec`"),
        ((D(2024, 1, 1), PILLARS, "ab"), TypeError, "argument 'rates': Can't extract `str` to `Vec`"),
        ((D(2024, 1, 1), PILLARS, [0.03, 0.04]), TypeError,
         "argument 'rates': 'float' object cannot be cast as 'InterestRate'"),
        ((D(2024, 1, 1), range(2), []), TypeError, "argument 'tenors': 'int' object cannot be cast as 'Tenor'"),
        ((D(2024, 1, 1), {1: 2}, []), TypeError, "argument 'tenors': 'dict' object cannot be cast as 'Sequence'"),
        (("2024-01-01", "abc", 1), TypeError, "argument 'reference_date': 'str' object cannot be cast as 'date'"),
        ((BadMonth(2024, 1, 1), PILLARS, []), ValueError, "invalid or out-of-range date"),
        ((D(2024, 1, 1), PILLARS), TypeError,
         "RateCurve.interpolated() missing 1 required positional argument: 'rates'"),
    ],
)
def test_interpolated_argument_errors(args, exc_type, message):
    with raises_exactly(exc_type, message):
        RateCurve.interpolated(*args)


def test_unusable_tenor_is_a_fault():
    with raises_fault("`NaiveDate + Months` out of range"):
        RateCurve.interpolated(D(2024, 1, 1), [Tenor.months(-1), Tenor.years(1)], [continuous(0.03)] * 2)


@pytest.mark.parametrize(
    "tenors, rates",
    [
        ([Tenor.years(2), Tenor.years(1)], [continuous(0.03), continuous(0.04)]),
        ([Tenor.years(1), Tenor.years(2)], [continuous(0.03), 0.04]),
        ([Tenor.years(-1), Tenor.years(2)], [continuous(0.03), continuous(0.04)]),
    ],
)
def test_failed_construction_changes_and_keeps_nothing(tenors, rates):
    snapshot = (list(tenors), list(rates))
    objects = [tenors, rates, *tenors, *rates]
    counts = [sys.getrefcount(o) for o in objects]
    with pytest.raises(BaseException):
        RateCurve.interpolated(D(2024, 1, 1), tenors, rates)
    assert (tenors, rates) == snapshot
    assert all(a is b for a, b in zip(tenors + rates, snapshot[0] + snapshot[1]))
    assert [sys.getrefcount(o) for o in objects] == counts


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: RateCurve.flat(0.05), "argument 'rate': 'float' object cannot be cast as 'InterestRate'"),
        (lambda: RateCurve.continuous(continuous(0.05), DCC.Act360),
         "argument 'rate': must be real number, not builtins.InterestRate"),
        (lambda: RateCurve.continuous(0.05, 1),
         "argument 'day_count_convention': 'int' object cannot be cast as 'DayCountConvention'"),
        (lambda: RateCurve.continuous(0.05), "RateCurve.continuous() missing 1 required positional argument: "
                                             "'day_count_convention'"),
        (lambda: RateCurve.continuous(0.05, DCC.Act360).zero_rate(None),
         "argument 't': must be real number, not NoneType"),
    ],
)
def test_curve_argument_errors(call, message):
    with raises_exactly(TypeError, message):
        call()
