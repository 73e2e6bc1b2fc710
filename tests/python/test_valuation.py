"""Configuration, builder, compute and results: full valuations from Python."""
import datetime as dt
import gc
import math
import os
import re
import signal
import subprocess
import sys

import pytest

import sorvik as s
from conftest import UNDER_SANITIZER, UTC, fault_class, raises_exactly, raises_fault, utc

Call, Put = s.OptionType.Call, s.OptionType.Put
American, European = s.ExerciseStyle.American, s.ExerciseStyle.European
A365, A360 = s.DayCountConvention.Act365Fixed, s.DayCountConvention.Act360
EXPIRY, NOW = utc(2025, 1, 1), utc(2024, 1, 1)


def frame(spot=100.0, rate=0.05, vol=0.2, rates_dcc=A365, vol_dcc=A365):
    return s.OptionMarketFrame(spot, s.RateCurve.continuous(rate, rates_dcc), s.VolSurface.flat(vol, vol_dcc))


def option(kind=Call, style=European, strike=100.0, expiry=EXPIRY):
    return s.StockOption(strike, expiry, kind, style)


def value(opt, config=None, market=None, when=NOW):
    b = opt.valuation().market(market or frame()).at(when)
    if config is not None:
        b.config(config)
    return b.compute()


def is_fdm(result):
    return result.greeks.vega is None and result.greeks.rho is None


def fdm_everywhere(**settings):
    return s.Config().add_policy(s.InstrumentPolicy().fdm(s.FdmConfig(**settings) if settings else None))


class FarStamp(dt.datetime):
    def timestamp(self):
        return 1e20  # beyond the calendar


# ---------------------------------------------------------------- FdmConfig and policies


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda: s.FdmConfig(10, time_steps=20), TypeError,
         "FdmConfig.__new__() got multiple values for argument 'time_steps'"),
        (lambda: s.FdmConfig(1, 2, 3, 4), TypeError,
         "FdmConfig.__new__() takes from 0 to 3 positional arguments but 4 were given"),
        (lambda: s.FdmConfig(steps=3), TypeError, "FdmConfig.__new__() got an unexpected keyword argument 'steps'"),
        (lambda: s.FdmConfig(**{"nodes\0x": 1}), TypeError,
         "FdmConfig.__new__() got an unexpected keyword argument 'nodes\0x'"),
        (lambda: s.InstrumentPolicy().fdm(**{"fdm_config\0": None}), TypeError,
         "InstrumentPolicy.fdm() got an unexpected keyword argument 'fdm_config\0'"),
        (lambda: s.FdmConfig(time_steps=1.5), TypeError,
         "argument 'time_steps': 'float' object cannot be interpreted as an integer"),
        (lambda: s.FdmConfig(nodes="7"), TypeError, "argument 'nodes': 'str' object cannot be interpreted as an integer"),
        (lambda: s.FdmConfig(grid_std_devs="wide"), TypeError, "argument 'grid_std_devs': must be real number, not str"),
        (lambda: s.FdmConfig(time_steps=-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: s.FdmConfig(grid_std_devs=-6), ValueError, "grid_std_devs must be a positive finite number, got -6.0"),
        (lambda: s.FdmConfig(grid_std_devs=0.0), ValueError, "grid_std_devs must be a positive finite number, got 0.0"),
        (lambda: s.FdmConfig(grid_std_devs=math.nan), ValueError,
         "grid_std_devs must be a positive finite number, got nan"),
        (lambda: s.FdmConfig(grid_std_devs=math.inf), ValueError,
         "grid_std_devs must be a positive finite number, got inf"),
        (lambda: s.FdmConfig(nodes=2**64), OverflowError, "int too big to convert"),
        (lambda: s.Config(1), TypeError, "Config.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: s.InstrumentPolicy().fdm(1), TypeError,
         "argument 'fdm_config': 'int' object cannot be cast as 'FdmConfig'"),
        (lambda: s.Config().add_policy(s.FdmConfig()), TypeError,
         "argument 'policy': 'FdmConfig' object cannot be cast as 'InstrumentPolicy'"),
        (lambda: s.Config().add_policy(), TypeError,
         "Config.add_policy() missing 1 required positional argument: 'policy'"),
    ],
)
def test_configuration_errors(call, exc_type, message):
    with raises_exactly(exc_type, message):
        call()


def test_policy_builders_return_the_receiver():
    p = s.InstrumentPolicy()
    assert p.call() is p and p.put() is p and p.american() is p and p.european() is p
    assert p.analytic() is p and p.fdm() is p and p.fdm(s.FdmConfig()) is p
    c = s.Config()
    assert c.add_policy(p) is c


@pytest.mark.parametrize(
    "settings, same_as",
    [
        ({"nodes": 200}, {"nodes": 201}),  # even counts are raised to the next odd one
        ({}, {"nodes": 1001, "time_steps": 50, "grid_std_devs": 6.0}),
        ({"time_steps": None, "nodes": None, "grid_std_devs": None}, {}),
    ],
)
def test_fdm_settings(settings, same_as):
    a = value(option(Put, American), fdm_everywhere(**settings)).price
    b = value(option(Put, American), fdm_everywhere(**same_as)).price
    assert a == b


def test_default_settings_equal_an_empty_fdm_config():
    bare = value(option(Put, American), s.Config().add_policy(s.InstrumentPolicy().fdm()))
    assert bare.price == value(option(Put, American), fdm_everywhere(time_steps=50)).price


@pytest.mark.parametrize("nodes", [0, 1])
def test_too_few_nodes_is_an_internal_fault(nodes, capfd):
    with raises_fault("TridiagonalOperator requires at least 3 elements, found 1"):
        value(option(Put, American), fdm_everywhere(nodes=nodes))
    assert "TridiagonalOperator requires at least 3 elements" in capfd.readouterr().err


@pytest.mark.parametrize(
    "policies, fdm_slots",
    [
        # slots as (style, type) pairs that end up on finite differences
        ([], {(American, Put)}),
        ([s.InstrumentPolicy().fdm()], {(a, b) for a in (American, European) for b in (Call, Put)}),
        ([s.InstrumentPolicy().put().american()], set()),  # no method: clears the slot
        ([s.InstrumentPolicy().call().put().european().analytic()], {(American, Put)}),
        ([s.InstrumentPolicy().call().european().fdm()], {(American, Put), (European, Call)}),
        ([s.InstrumentPolicy().analytic(), s.InstrumentPolicy().american().fdm(s.FdmConfig(time_steps=200))],
         {(American, Put), (American, Call)}),
        ([s.InstrumentPolicy().analytic().fdm()], {(a, b) for a in (American, European) for b in (Call, Put)}),
    ],
)
def test_config_selects_the_method_per_slot(policies, fdm_slots):
    config = s.Config()
    for policy in policies:
        config.add_policy(policy)
    for style in (American, European):
        for kind in (Call, Put):
            assert is_fdm(value(option(kind, style), config)) == ((style, kind) in fdm_slots)


def test_default_configuration_without_config():
    assert is_fdm(value(option(Put, American)))
    for kind, style in [(Call, American), (Call, European), (Put, European)]:
        assert not is_fdm(value(option(kind, style)))


def test_policy_changes_after_add_policy_do_not_reach_the_config():
    policy = s.InstrumentPolicy().european().call()
    config = s.Config().add_policy(policy)
    policy.fdm()
    assert not is_fdm(value(option(Call, European), config))


# ---------------------------------------------------------------- builder


def test_setters_return_the_builder_and_compute_repeats():
    b = s.ValuationBuilder(option())
    assert b.market(frame()) is b and b.config() is b and b.at() is b and b.at(NOW) is b
    assert b.compute().price == b.compute().price
    assert s.ValuationBuilder(instrument=option()).market(frame()).at(NOW).compute().price == b.compute().price


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda b: b.market(None), TypeError,
         "argument 'market_frame': 'NoneType' object cannot be cast as 'OptionMarketFrame'"),
        (lambda b: b.market(), TypeError,
         "ValuationBuilder.market() missing 1 required positional argument: 'market_frame'"),
        (lambda b: b.config(s.InstrumentPolicy()), TypeError,
         "argument 'config': 'InstrumentPolicy' object cannot be cast as 'Config'"),
        (lambda b: b.at("today"), TypeError, "argument 'valuation_time': 'str' object cannot be cast as 'datetime'"),
        (lambda b: b.at(when=NOW), TypeError, "ValuationBuilder.at() got an unexpected keyword argument 'when'"),
        (lambda b: b.at(dt.datetime(2024, 1, 1)), ValueError,
         "Expiry must have a timezone specified (e.g. New York or UTC)"),
        (lambda b: b.at(FarStamp(2024, 1, 1, tzinfo=UTC)), ValueError, "Invalid timestamp"),
    ],
)
def test_failing_setters_leave_the_builder_unchanged(call, exc_type, message):
    b = option().valuation().market(frame()).at(NOW)
    before = b.compute().price
    with raises_exactly(exc_type, message):
        call(b)
    assert b.compute().price == before


def test_builder_constructor_errors():
    with raises_exactly(TypeError, "ValuationBuilder.__new__() takes 1 positional arguments but 2 were given"):
        s.ValuationBuilder(option(), frame())
    with raises_exactly(TypeError, "argument 'instrument': 'float' object cannot be cast as 'StockOption'"):
        s.ValuationBuilder(1.0)


def test_builder_refers_to_config_object_not_its_table():
    config = s.Config()
    b = option(Call, European).valuation().market(frame()).at(NOW).config(config)
    assert not is_fdm(b.compute())
    config.add_policy(s.InstrumentPolicy().fdm())
    assert is_fdm(b.compute())
    assert not is_fdm(b.config().compute())


def test_at_none_returns_to_the_clock():
    b = option(expiry=utc(2100, 1, 1)).valuation().market(frame()).at(NOW)
    fixed = b.compute().price
    assert b.at(None).compute().price != fixed


def test_builders_share_the_option_and_compute_independently():
    o = option()
    first, second = o.valuation(), o.valuation()
    assert first is not second
    first.market(frame()).at(NOW)
    second.market(frame()).at(utc(2024, 7, 1))
    assert first.compute().price > second.compute().price
    assert o.strike == 100.0


# ---------------------------------------------------------------- compute


def test_market_data_is_required_first():
    with raises_exactly(ValueError, "Market data is required for valuation."):
        s.ValuationBuilder(option()).compute()


def test_day_count_mismatch_and_agreement():
    with raises_exactly(ValueError, "Mismatched day count conventions: Rates use Actual365Fixed, while Vol uses "
                                    "Actual360. They must be identical."):
        value(option(), market=frame(vol_dcc=A360))
    # Both Act360: time is still Actual/365 Fixed.
    assert value(option(), market=frame(rates_dcc=A360, vol_dcc=A360)).price == value(option()).price


def test_closed_form_reference_values():
    when = utc(2024, 1, 2)  # exactly 365 days to expiry
    call = value(option(Call), when=when)
    put = value(option(Put), when=when)
    assert (round(call.price, 4), round(call.greeks.delta, 4), round(call.greeks.gamma, 6)) == (10.4506, 0.6368, 0.018762)
    assert (round(call.greeks.vega, 3), round(call.greeks.theta, 3), round(call.greeks.rho, 3)) == (37.524, -6.414, 53.232)
    assert (round(put.price, 4), round(put.greeks.delta, 4), round(put.greeks.theta, 3)) == (5.5735, -0.3632, -1.658)
    assert put.greeks.delta == call.greeks.delta + (-1.0)
    assert math.isclose(call.price - put.price, 100.0 - 100.0 * math.exp(-0.05), abs_tol=1e-12)


def test_compounding_of_a_flat_curve_is_ignored():
    semi = s.InterestRate(0.05, s.Compounding.compounded(s.Frequency.SemiAnnual), A365)
    market = s.OptionMarketFrame(100.0, s.RateCurve.flat(semi), s.VolSurface.flat(0.2, A365))
    assert value(option(), market=market).price == value(option()).price


def test_expired_option_gives_nan_analytically_and_a_fault_on_the_grid():
    late = utc(2026, 1, 1)
    result = value(option(Call, European), when=late)
    assert math.isnan(result.price) and repr(result) == "<OptionResult price=NaN>"
    panic = fault_class()
    assert panic.__name__ == "PanicException" and panic.__module__ == "velkor_runtime"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert not hasattr(s, "PanicException")


def test_faults_escape_except_exception_and_leave_objects_usable():
    b = option(Put, American).valuation().market(frame()).at(utc(2026, 1, 1))
    with pytest.raises(BaseException) as info:
        try:
            b.compute()
        except Exception:  # noqa: BLE001 - must not catch the fault
            pytest.fail("an internal fault was caught as Exception")
    assert str(info.value) == "NaN in Grid"
    assert b.at(NOW).compute().price > 0


def test_interpolated_curve_cannot_be_valued():
    curve = s.RateCurve.interpolated(dt.date(2024, 1, 1), [s.Tenor.years(1), s.Tenor.years(2)],
                                     [s.InterestRate(0.03, s.Compounding.continuous(), A365)] * 2)
    market = s.OptionMarketFrame(100.0, curve, s.VolSurface.flat(0.2, A365))
    with raises_fault("not yet implemented"):
        value(option(), market=market)


def test_american_put_on_the_grid():
    american = value(option(Put, American))
    european = value(option(Put, European), fdm_everywhere())
    assert american.price >= european.price
    assert abs(european.price - value(option(Put, European)).price) < 2e-3
    deep = value(option(Put, American), market=frame(spot=60.0))
    assert deep.price == 40.0


def before_expiry(years):
    """A valuation time `years` (whole seconds) before EXPIRY."""
    return EXPIRY - dt.timedelta(seconds=round(years * 31_536_000))


@pytest.mark.parametrize(
    "spot, strike, years, rate, vol, kind, style, true_price, tolerance",
    [
        # end values that once grew like e^τ; spots and bumps outside a strike-centred grid;
        # a value at expiry and without volatility; an American below its payoff
        (100, 100, 30, 0.05, 1.5, Put, American, 83.21, 0.05),
        (100, 100, 30, 0.05, 0.1, Call, European, None, 0.05),
        (20, 95, 1.5, 0.03, 0.2, Put, American, 75.0, 0.0),
        (200, 100, 0.1, 0.05, 0.2, Call, European, None, 0.1),
        (90, 100, 0.0, 0.05, 0.2, Put, American, 10.0, 0.0),
        (90, 100, 1.0, 0.05, 0.0, Put, American, 10.0, 0.0),
        (100, 150, 1.0, 0.05, 0.2, Put, American, 50.0, 0.0),
        (90, 100, 1.0, 0.15, 0.2, Put, American, 10.0200, 1.6e-4),
    ],
)
def test_grid_prices_in_every_regime(spot, strike, years, rate, vol, kind, style, true_price, tolerance):
    opt, market, when = option(kind, style, strike), frame(spot, rate, vol), before_expiry(years)
    grid = value(opt, fdm_everywhere(), market, when)
    if true_price is None:
        true_price = value(opt, s.Config().add_policy(s.InstrumentPolicy().analytic()), market, when).price
    assert abs(grid.price - true_price) <= tolerance


def test_reentrant_compute_inside_at_meets_the_borrow():
    b = option().valuation().market(frame())
    seen = []

    class Reentrant(dt.datetime):
        def timestamp(self):
            try:
                b.compute()
            except RuntimeError as e:
                seen.append(str(e))
            return super().timestamp()

    b.at(Reentrant(2024, 1, 1, tzinfo=UTC))
    assert seen == ["Already mutably borrowed"]
    assert b.compute().price == value(option()).price


HEADER = "sorvik: Python code raised PanicException; its traceback follows."


@pytest.mark.parametrize("message", ["boom from Python", "nul\0inside"])
def test_panic_raised_by_python_code_is_reraised_as_a_fault(message, capfd):
    panic = fault_class()

    class Panicky(dt.datetime):
        def timestamp(self):
            raise panic(message)

    b = option().valuation().market(frame())
    with raises_fault(message):
        b.at(Panicky(2024, 1, 1, tzinfo=UTC))
    err = capfd.readouterr().err
    assert HEADER in err and "in timestamp" in err and "sorvik: internal fault at src/python/" in err
    assert b.at(NOW).compute().price > 0


# Run in a child: printing the fault through the interpreter's hooks would end the process mid-call.
EXITING_PANIC = """
import datetime as dt, sys
import sorvik as s
utc = dt.timezone.utc
b = s.StockOption(100.0, dt.datetime(2025, 1, 1, tzinfo=utc), s.OptionType.Put, s.ExerciseStyle.American)
b = b.valuation().market(s.OptionMarketFrame(100.0, s.RateCurve.continuous(0.05, s.DayCountConvention.Act365Fixed),
                                              s.VolSurface.flat(0.2, s.DayCountConvention.Act365Fixed)))
try:
    b.at(dt.datetime(2026, 1, 1, tzinfo=utc)).compute()
except BaseException as e:
    panic = type(e)
{setup}
class Stamp(dt.datetime):
    def timestamp(self):
        raise {raised}("from a callback")
try:
    b.at(Stamp(2024, 1, 1, tzinfo=utc))
except BaseException as e:
    print("caught", type(e).__name__, e.args)
"""


@pytest.mark.parametrize(
    "setup, raised",
    [
        ("class ExitingPanic(panic, SystemExit): pass", "ExitingPanic"),
        ("sys.excepthook = lambda *exc: sys.exit(3)", "panic"),
    ],
    ids=["systemexit_subclass", "exiting_excepthook"],
)
def test_a_callbacks_fault_never_ends_the_process(setup, raised):
    script = EXITING_PANIC.format(setup=setup, raised=raised)
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (child.returncode, child.stdout) == (0, "caught PanicException ('from a callback',)\n")
    assert HEADER in child.stderr and "in timestamp" in child.stderr


# ---------------------------------------------------------------- results


@pytest.mark.parametrize(
    "price, text",
    [(5.573526022256971, "5.5735"), (0.5, "0.5000"), (0.03125, "0.0312"), (2.0, "2.0000"),
     (10.450583572185565, "10.4506"), (float("inf"), "inf"), (float("-inf"), "-inf")],
)
def test_result_repr(price, text):
    # S = 0 makes a call worth exactly -K·D·N(d2)... instead build prices directly:
    # a put with K·D = price and S = 0 is worth price exactly.
    rate = 0.0
    result = value(option(Put, European, strike=price), market=frame(spot=0.0, rate=rate))
    assert result.price == price or math.isnan(result.price)
    if not math.isnan(result.price):
        assert repr(result) == str(result) == f"<OptionResult price={text}>"


def test_results_are_read_only_and_greeks_are_fresh_copies():
    result = value(option())
    with pytest.raises(AttributeError):
        result.price = 1.0
    with pytest.raises(AttributeError):
        result.greeks.delta = 0.0
    assert result.greeks is not result.greeks and result.greeks != result.greeks
    assert result.greeks.delta == result.greeks.delta
    assert isinstance(result.greeks.vega, float) and isinstance(result.greeks.rho, float)
    grid = value(option(Put, American))
    assert grid.greeks.vega is None and grid.greeks.rho is None
    assert all(isinstance(getattr(grid.greeks, g), float) for g in ("delta", "gamma", "theta"))


# ---------------------------------------------------------------- unsafe input


MEMORY_REFUSAL = r"^the finite-difference grid needs {}; the .+ leaves room for \d+(\.\d)? [KMGTPE]?i?B$"


def test_unallocatable_grid_raises_memory_error_and_objects_stay_usable():
    config = fdm_everywhere(nodes=2**63)
    b = option(Put, American).valuation().market(frame()).at(NOW).config(config)
    with pytest.raises(MemoryError, match=MEMORY_REFUSAL.format("more than 16.0 EiB")):
        b.compute()
    assert not is_fdm(b.config(s.Config().add_policy(s.InstrumentPolicy().analytic())).compute())


# In a child under a process limit: RLIMIT_AS is the limit under test; RLIMIT_DATA
# (not consulted) only keeps a regression from filling the machine's memory.
LIMITED_RUN = """
import datetime as dt, resource, sys
import sorvik as s
limit, nodes = getattr(resource, sys.argv[1]), int(sys.argv[2])
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
resource.setrlimit(limit, (size + (1 << 30), resource.getrlimit(limit)[1]))
utc, a365 = dt.timezone.utc, s.DayCountConvention.Act365Fixed
b = s.StockOption(100.0, dt.datetime(2025, 1, 1, tzinfo=utc), s.OptionType.Put, s.ExerciseStyle.American).valuation()
b.market(s.OptionMarketFrame(100.0, s.RateCurve.continuous(0.05, a365), s.VolSurface.flat(0.2, a365)))
b.at(dt.datetime(2024, 1, 1, tzinfo=utc))
b.config(s.Config().add_policy(s.InstrumentPolicy().fdm(s.FdmConfig(nodes=nodes, time_steps=1))))
try:
    b.compute()
except MemoryError as e:
    print(e)
print(b.config().compute().price > 0)
"""


def _available_nodes():
    with open("/proc/meminfo") as f:
        available = next(int(line.split()[1]) * 1024 for line in f if line.startswith("MemAvailable:"))
    return available // 192 + 1  # 24 arrays of doubles per node


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer runtime cannot start under a memory limit")
@pytest.mark.parametrize(
    "limit, nodes, refusal",
    [
        ("RLIMIT_AS", 20_000_001, r"3\.6 GiB \(3840000192 bytes\); the address-space limit \(RLIMIT_AS\) leaves "
                                  r"room for 8\d\d\.\d MiB"),
        ("RLIMIT_DATA", _available_nodes(), r"[\d.]+ GiB \(\d+ bytes\); the (available memory \(MemAvailable\)|"
                                            r"cgroup memory limit \(.+\)) leaves room for [\d.]+ GiB"),
    ],
)
def test_grid_beyond_a_memory_limit_is_refused(limit, nodes, refusal):
    child = subprocess.run([sys.executable, "-c", LIMITED_RUN, limit, str(nodes)], capture_output=True, text=True,
                           timeout=120)
    lines = child.stdout.splitlines()
    assert len(lines) == 2 and lines[1] == "True", child.stdout + child.stderr
    assert re.fullmatch("the finite-difference grid needs " + refusal, lines[0]), lines[0]


def test_long_grid_run_is_interruptible():
    b = option(Put, American).valuation().market(frame()).at(NOW).config(fdm_everywhere(time_steps=10**10))
    # A real SIGINT from outside: the run holds the interpreter lock, so no
    # Python thread could deliver it.
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.5; kill -INT {os.getpid()}"])
    try:
        with pytest.raises(KeyboardInterrupt):
            b.compute()
    finally:
        killer.wait()
    assert b.config().compute().price > 0


def test_a_fault_raised_by_a_signal_handler_is_reported_like_any_other(capfd):
    panic = fault_class()

    def handler(_signum, _frame):
        raise panic("from a signal handler")

    b = option(Put, American).valuation().market(frame()).at(NOW).config(fdm_everywhere(time_steps=10**10))
    previous = signal.signal(signal.SIGUSR1, handler)
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.5; kill -USR1 {os.getpid()}"])
    try:
        with raises_fault("from a signal handler"):
            b.compute()
    finally:
        killer.wait()
        signal.signal(signal.SIGUSR1, previous)
    err = capfd.readouterr().err
    assert HEADER in err and "in handler" in err and "sorvik: internal fault at src/python/" in err
    assert b.config().compute().price > 0


def test_references_are_released():
    o, market, config = option(Put, American), frame(), s.Config()
    before = [sys.getrefcount(x) for x in (o, market, config)]
    results = []
    for _ in range(50):
        b = o.valuation().market(market).config(config).at(NOW)
        results.append(b.compute())
        b.market(market).config(config)
    with pytest.raises(ValueError):
        s.ValuationBuilder(o).compute()
    del b, results
    gc.collect()
    assert [sys.getrefcount(x) for x in (o, market, config)] == before
