"""The module surface: registration order, type flags, immutable classes, enumerations."""
import importlib
import sys

import pytest

import sorvik
from conftest import blank_instance, raises_exactly

CLASSES_IN_ORDER = [
    "Compounding", "DayCountConvention", "Frequency", "InterestRate", "StockOption",
    "OptionMarketFrame", "Tenor", "RateCurve", "VolSurface", "FdmConfig", "Config",
    "OptionType", "ExerciseStyle", "ValuationBuilder", "OptionResult", "Greeks", "InstrumentPolicy",
]
REGISTERED = CLASSES_IN_ORDER
WITH_CONSTRUCTOR = {"InterestRate", "StockOption", "OptionMarketFrame", "FdmConfig", "Config",
                    "ValuationBuilder", "InstrumentPolicy"}


def test_all_lists_the_classes_in_registration_order():
    assert sorvik.__all__ == CLASSES_IN_ORDER
    assert all(isinstance(getattr(sorvik, name), type) for name in CLASSES_IN_ORDER)


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("sorvik")
    try:
        again = importlib.import_module("sorvik")
        assert again is first
        assert again.StockOption is first.StockOption
    finally:
        sys.modules["sorvik"] = first


@pytest.mark.parametrize("name", REGISTERED)
def test_class_conventions(name):
    cls = getattr(sorvik, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
    assert "__weakref__" not in dir(cls)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if name not in WITH_CONSTRUCTOR:
        with pytest.raises(TypeError):
            cls()


@pytest.mark.parametrize(
    "cls, members",
    [
        (sorvik.OptionType, [("Call", 0, "OptionType.Call"), ("Put", 1, "OptionType.Put")]),
        (sorvik.ExerciseStyle, [("American", 0, "ExerciseStyle.American"), ("European", 1, "ExerciseStyle.European")]),
        (sorvik.DayCountConvention, [("Act360", 0, "Act360"), ("Act365Fixed", 1, "Act365Fixed"),
                                     ("ActActISDA", 2, "ActActISDA"), ("Thirty360US", 3, "Thirty360US")]),
    ],
)
def test_enumeration_members(cls, members):
    for name, code, text in members:
        member = getattr(cls, name)
        assert member is getattr(cls, name)
        assert isinstance(member, cls)
        assert int(member) == code
        assert repr(member) == str(member) == text
    first, second = (getattr(cls, m[0]) for m in members[:2])
    assert first == first and first != second
    with pytest.raises(TypeError):
        first < second  # noqa: B015


def test_replacing_new_or_a_member_is_refused():
    with pytest.raises(TypeError):
        sorvik.Config.__new__ = lambda cls: object.__new__(cls)
    assert sorvik.Config().add_policy(sorvik.InstrumentPolicy()) is not None
    with pytest.raises(TypeError):
        sorvik.OptionType.Call = sorvik.OptionType.Put
    assert repr(sorvik.OptionType.Call) == "OptionType.Call"


@pytest.mark.parametrize("name", REGISTERED)
def test_classes_are_immutable(name):
    cls = getattr(sorvik, name)
    before = dict(vars(cls))
    existing = [n for n in before if not n.startswith("__")] + ["__new__", "__repr__", "__doc__"]
    for attr in existing + ["brand_new"]:
        with pytest.raises(TypeError):
            setattr(cls, attr, None)
        with pytest.raises(TypeError):
            type.__setattr__(cls, attr, None)
    for attr in existing:
        with pytest.raises(TypeError):
            delattr(cls, attr)
    for attr in ("__name__", "__qualname__", "__module__", "__bases__"):
        with pytest.raises(TypeError):
            setattr(cls, attr, getattr(cls, attr))
    assert dict(vars(cls)) == before


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: sorvik.Config().add_policy(blank_instance(sorvik.InstrumentPolicy)),
         "argument 'policy': 'InstrumentPolicy' object is not initialized"),
        (lambda: sorvik.ValuationBuilder(blank_instance(sorvik.StockOption)),
         "argument 'instrument': 'StockOption' object is not initialized"),
        (lambda: sorvik.VolSurface.flat(0.2, blank_instance(sorvik.DayCountConvention)),
         "argument 'day_count': 'DayCountConvention' object is not initialized"),
    ],
)
def test_unconstructed_arguments_are_refused(call, message):
    with raises_exactly(TypeError, message):
        call()


def test_attributes_are_read_only(european_call):
    with pytest.raises(AttributeError):
        european_call.strike = 1.0
    with pytest.raises(AttributeError):
        european_call.anything = 1.0
    assert european_call.strike == 100.0


SIGNATURES = {
    "StockOption": "(strike, expiry_time, option_type, exercise_style)",
    "StockOption.years_to_expiry": "($self, valuation_date=None)",
    "StockOption.valuation": "($self)",
    "OptionMarketFrame": "(spot, rate_curve, vol_surface)",
    "InterestRate": "(rate, compounding, dcc)",
    "InterestRate.discount_factor": "($self, t)",
    "Compounding.simple": "()",
    "Compounding.continuous": "()",
    "Compounding.compounded": "(freq)",
    "Compounding.simple_then_compounded": "(freq)",
    "Tenor.days": "(n)",
    "Tenor.weeks": "(n)",
    "Tenor.months": "(n)",
    "Tenor.years": "(n)",
    "Tenor.advance": "($self, from)",
    "RateCurve.flat": "(rate)",
    "RateCurve.continuous": "(rate, day_count_convention)",
    "RateCurve.interpolated": "(reference_date, tenors, rates)",
    "RateCurve.zero_rate": "($self, t)",
    "RateCurve.discount_factor": "($self, t)",
    "VolSurface.flat": "(vol, day_count)",
    "VolSurface.volatility": "($self, strike, t)",
    "FdmConfig": "(time_steps=None, nodes=None, grid_std_devs=None)",
    "Config": "()",
    "Config.add_policy": "($self, policy)",
    "InstrumentPolicy": "()",
    "InstrumentPolicy.call": "($self)",
    "InstrumentPolicy.put": "($self)",
    "InstrumentPolicy.american": "($self)",
    "InstrumentPolicy.european": "($self)",
    "InstrumentPolicy.analytic": "($self)",
    "InstrumentPolicy.fdm": "($self, fdm_config=None)",
    "ValuationBuilder": "(instrument)",
    "ValuationBuilder.market": "($self, market_frame)",
    "ValuationBuilder.config": "($self, config=None)",
    "ValuationBuilder.at": "($self, valuation_time=None)",
    "ValuationBuilder.compute": "($self)",
}


@pytest.mark.parametrize("path, signature", SIGNATURES.items())
def test_text_signatures(path, signature):
    obj = sorvik
    for part in path.split("."):
        obj = getattr(obj, part)
    assert obj.__text_signature__ == signature


@pytest.mark.parametrize("name", sorted(set(REGISTERED) - WITH_CONSTRUCTOR))
def test_classes_without_constructor_have_empty_docstrings(name):
    assert getattr(sorvik, name).__doc__ == ""
