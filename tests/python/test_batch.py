"""sorvik_batch.value and year_fraction: the same bits as sorvik, broadcasting, bad input, threads, progress."""
import datetime as dt
import math
import os
import pickle
import subprocess
import time

import mpmath
import numpy as np
import pytest

import sorvik as s
import sorvik_batch as sb
from conftest import fault_class, raises_exactly, utc

Call, Put = s.OptionType.Call, s.OptionType.Put
American, European = s.ExerciseStyle.American, s.ExerciseStyle.European
NOW = utc(2024, 1, 1)
A365 = s.DayCountConvention.Act365Fixed
FIELDS = ("price", "delta", "gamma", "theta", "vega", "rho")


def sorvik_result(spot, strike, expiry, rate, vol, kind, style, method, grid=None):
    frame = s.OptionMarketFrame(spot, s.RateCurve.continuous(rate, A365), s.VolSurface.flat(vol, A365))
    policy = s.InstrumentPolicy().fdm(s.FdmConfig(*grid) if grid else None) if method == "fdm" else s.InstrumentPolicy().analytic()
    option = s.StockOption(strike, expiry, kind, style)
    return option.valuation().market(frame).config(s.Config().add_policy(policy)).at(NOW).compute()


def same_bits(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


def exact_black(spot, strike, years, rate, vol, kind, field):
    """Black-Scholes price or vega without dividends, to 40 digits."""
    with mpmath.workdps(40):
        S, K, T, r, sigma = map(mpmath.mpf, (spot, strike, years, rate, vol))
        d1 = (mpmath.log(S / K) + (r + sigma**2 / 2) * T) / (sigma * mpmath.sqrt(T))
        d2 = d1 - sigma * mpmath.sqrt(T)
        if field == "vega":
            return float(S * mpmath.sqrt(T) * mpmath.npdf(d1))
        call = S * mpmath.ncdf(d1) - K * mpmath.exp(-r * T) * mpmath.ncdf(d2)
        return float(call if kind == Call else call - S + K * mpmath.exp(-r * T))


def random_cases(count, seed):
    rng = np.random.default_rng(seed)
    for _ in range(count):
        seconds = int(rng.integers(1, 3 * 31_536_000))
        yield (float(rng.uniform(50, 150)), float(rng.uniform(60, 140)), NOW + dt.timedelta(seconds=seconds),
               float(rng.uniform(-0.02, 0.12)), float(rng.uniform(0.05, 0.8)),
               (Call, Put)[rng.integers(2)], (American, European)[rng.integers(2)])


@pytest.mark.parametrize("method, grid", [("analytic", None), ("fdm", (40, 201, 5.0))])
def test_every_result_has_sorvik_bits(method, grid):
    cases = list(random_cases(60, seed=7 if method == "fdm" else 8))
    years = [s.StockOption(1.0, c[2], Call, European).years_to_expiry(NOW) for c in cases]
    columns = list(zip(*cases))
    settings = {"time_steps": grid[0], "nodes": grid[1], "grid_std_devs": grid[2]} if grid else {}
    book = sb.value(np.array(columns[0]), np.array(columns[1]), np.array(years), np.array(columns[3]),
                    np.array(columns[4]), option_type=[("call", "put")[int(k)] for k in columns[5]],
                    exercise=np.array([("american", "european")[int(e)] for e in columns[6]]), method=method,
                    threads=2, **settings)
    for i, case in enumerate(cases):
        expected = sorvik_result(*case, method, grid)
        greeks = expected.greeks
        wanted = (expected.price, greeks.delta, greeks.gamma, greeks.theta,
                  greeks.vega if greeks.vega is not None else math.nan,
                  greeks.rho if greeks.rho is not None else math.nan)
        for field, want in zip(FIELDS, wanted):
            got = getattr(book, field)[i]
            if method == "analytic" and field in ("price", "vega") and not same_bits(got, want):
                # In the wings the book keeps the precision the textbook form loses.
                exact = exact_black(case[0], case[1], years[i], case[3], case[4], case[5], field)
                assert abs(got - exact) <= 1e-13 * abs(exact), (field, case)
            else:
                assert same_bits(got, want), (field, case)


def test_the_analytic_method_values_an_american_as_its_european():
    analytic = sb.value(100.0, 100.0, 1.0, 0.05, 0.2, option_type="put", exercise="american", method="analytic")
    assert analytic.price == sb.value(100.0, 100.0, 1.0, 0.05, 0.2, option_type="put").price


def test_year_fraction_is_sorvik_time_to_expiry():
    rng = np.random.default_rng(3)
    zones = [dt.timezone.utc, dt.timezone(dt.timedelta(hours=5, minutes=30)), dt.timezone(dt.timedelta(hours=-8))]
    for _ in range(300):
        start = dt.datetime(1950, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(
            seconds=float(rng.uniform(0, 3e9)), microseconds=int(rng.integers(0, 10**6)))
        end = start + dt.timedelta(seconds=float(rng.choice([-1, 1]) * rng.uniform(0, 1e8)),
                                   microseconds=int(rng.integers(-10**6, 10**6)))
        start, end = start.astimezone(zones[rng.integers(3)]), end.astimezone(zones[rng.integers(3)])
        expected = s.StockOption(1.0, end, Call, European).years_to_expiry(start)
        assert sb.year_fraction(start, end) == expected
        as_array = sb.year_fraction(np.array([start.astimezone(dt.timezone.utc).replace(tzinfo=None)],
                                             dtype="datetime64[us]"), end)
        assert as_array.shape == (1,) and as_array[0] == expected


def test_year_fraction_of_missing_dates_is_nan_and_of_dates_beyond_the_calendar_an_error():
    expiry = np.array(["2025-01-01", "NaT"], dtype="datetime64[D]")
    years = sb.year_fraction(np.datetime64("2024-01-01T00:00", "m"), expiry)
    assert years[0] == 366 / 365 and math.isnan(years[1])
    assert math.isnan(sb.year_fraction(np.datetime64("NaT", "us"), utc(2025, 1, 1)))
    with raises_exactly(ValueError, "expiry at index 1 is 300000-01-01: outside the years -262143 to 262142"):
        sb.year_fraction(NOW, np.array(["2030-01-01", "300000-01-01"], dtype="datetime64[D]"))


# ---------------------------------------------------------------- arrays


def test_inputs_broadcast_without_being_written():
    spot = np.array([[90.0], [100.0], [110.0]])
    vol = np.array([0.1, 0.2, 0.3, 0.4])
    for a in (spot, vol):
        a.flags.writeable = False
    book = sb.value(spot, 100.0, 1.0, 0.05, vol, option_type="put", dividend_yield=0.01)
    assert book.price.shape == (3, 4) and book.price.dtype == np.float64
    for i in range(3):
        for j in range(4):
            single = sb.value(float(spot[i, 0]), 100.0, 1.0, 0.05, float(vol[j]), option_type=Put,
                              dividend_yield=0.01)
            assert all(getattr(book, f)[i, j] == getattr(single, f) for f in FIELDS)
            assert isinstance(single.price, float)


def test_strided_inputs_broadcast_over_three_axes_read_each_element_once():
    # Views with steps, reversed and of their own shapes, over a book of three chunks shared by two
    # workers, so that chunks begin part way along an axis and come in an uneven number; the same
    # options laid out flat give the same bits.
    rng = np.random.default_rng(8)
    spot = rng.uniform(80.0, 120.0, (34, 1, 1))[::-2]
    strike = rng.uniform(90.0, 110.0, (1, 30, 1))[:, ::-2]
    years = rng.uniform(0.1, 2.0, 80)[::2]
    kinds = np.array(["call", "put", "P"])[rng.integers(0, 3, (17, 15, 1))]
    book = sb.value(spot, strike, years, 0.03, 0.25, option_type=kinds, threads=2)
    flat = [np.ascontiguousarray(a).ravel() for a in np.broadcast_arrays(spot, strike, years, kinds)]
    alone = sb.value(flat[0], flat[1], flat[2], 0.03, 0.25, option_type=flat[3], threads=1)
    assert book.price.shape == (17, 15, 40)
    for field in FIELDS:
        np.testing.assert_array_equal(getattr(book, field).ravel(), getattr(alone, field))


def test_dividends_follow_merton():
    book = sb.value(100.0, 95.0, 0.5, 0.05, 0.25, option_type="call", dividend_yield=0.03)
    # Merton's price with the spot discounted by e^(-qT).
    forward_spot = 100.0 * math.exp(-0.03 * 0.5)
    plain = sb.value(forward_spot, 95.0, 0.5, 0.05, 0.25, option_type="call")
    assert book.price == pytest.approx(plain.price, rel=1e-12)
    grid = sb.value(100.0, 95.0, 0.5, 0.05, 0.25, option_type="call", dividend_yield=0.03, method="fdm")
    assert grid.price == pytest.approx(book.price, abs=2e-4)
    american = sb.value(100.0, 95.0, 0.5, 0.05, 0.25, option_type="call", exercise="american",
                        dividend_yield=0.08)
    european = sb.value(100.0, 95.0, 0.5, 0.05, 0.25, option_type="call", dividend_yield=0.08)
    assert american.price > european.price + 1e-3


def test_bumped_vega_and_rho_on_the_grid():
    grid = sb.value(100.0, 100.0, 1.0, 0.05, 0.2, option_type="put", method="fdm", bumped_vega_rho=True)
    exact = sb.value(100.0, 100.0, 1.0, 0.05, 0.2, option_type="put")
    assert grid.vega == pytest.approx(exact.vega, rel=1e-3) and grid.rho == pytest.approx(exact.rho, rel=1e-3)


def test_threads_do_not_change_bits():
    rng = np.random.default_rng(5)
    spot = rng.uniform(60, 140, 2000)
    args = (spot, 100.0, 0.75, 0.03, rng.uniform(0.1, 0.6, 2000))
    for kwargs in ({"option_type": "call"}, {"option_type": "put", "exercise": "american", "nodes": 101,
                                              "time_steps": 10}):
        one, two = sb.value(*args, threads=1, **kwargs), sb.value(*args, threads=2, **kwargs)
        for f in FIELDS:
            np.testing.assert_array_equal(getattr(one, f), getattr(two, f))


# ---------------------------------------------------------------- bad input


@pytest.mark.parametrize(
    "change, message",
    [
        ({"vol": [0.2, -0.1]}, "vol at index 1 is -0.1: must be a finite number >= 0"),
        ({"vol": math.nan}, "vol is nan: must be a finite number >= 0"),
        ({"spot": [[1.0, 0.0]]}, "spot at index (0, 1) is 0.0: must be a positive finite number"),
        ({"strike": -5.0}, "strike is -5.0: must be a positive finite number"),
        ({"years": [1.0, -0.5]}, "years at index 1 is -0.5: must be a finite number >= 0"),
        ({"rate": [0.0, math.inf]}, "rate at index 1 is inf: must be a finite number"),
        ({"dividend_yield": -math.inf}, "dividend_yield is -inf: must be a finite number"),
        ({"option_type": ["call", "cal"]},
         "option_type at index 1: unknown value 'cal' (expected 'call', 'put', 'c' or 'p')"),
        ({"exercise": "bermudan"}, "exercise: unknown value 'bermudan' (expected 'american' or 'european')"),
        ({"spot": [1.0, 2.0], "vol": [0.1, 0.2, 0.3]}, "shapes do not broadcast together: spot (2,), vol (3,)"),
        ({"method": "tree"}, "method must be None, 'analytic', 'fdm' or 'spectral', got 'tree'"),
        ({"threads": 0}, "threads must be at least 1, got 0"),
        ({"nodes": 2}, "nodes must be at least 3, got 2"),
        ({"time_steps": 0}, "time_steps must be at least 1, got 0"),
        ({"grid_std_devs": -6}, "grid_std_devs must be a positive finite number, got -6.0"),
        ({"errors": "coerce"}, "errors must be 'raise' or 'nan', got 'coerce'"),
        ({"spot": np.broadcast_to(100.0, (1, 10**10)), "vol": np.broadcast_to(0.2, (10**10, 1))},
         "the inputs broadcast to shape (10000000000, 10000000000): more elements than an array can hold"),
        ({"option_type": b"\xffput"}, "option_type: unknown value b'\\xffput' (expected 'call', 'put', 'c' or 'p')"),
        # Found before broadcasting: no (10^6, 10^6) temporary.
        ({"spot": np.full((1, 10**6), 100.0), "option_type": np.where(np.arange(10**6) == 5, "cal", "put")[:, None]},
         "option_type at index (5, 0): unknown value 'cal' (expected 'call', 'put', 'c' or 'p')"),
        ({"grid_std_devs": 1e308, "method": "fdm"}, "vol is 0.2: the grid, grid_std_devs standard deviations vol·√years either side "
                                   "of the strike, would reach spots beyond the largest float"),
    ],
)
def test_bad_input_is_refused_with_where_and_why(change, message):
    args = {"spot": 100.0, "strike": 100.0, "years": 1.0, "rate": 0.05, "vol": 0.2, "option_type": "put",
            "exercise": "american"} | change
    with raises_exactly(ValueError, message) as info:
        sb.value(**args)
    # The error crosses process boundaries (Dask workers, multiprocessing) with its message.
    assert str(pickle.loads(pickle.dumps(info.value))) == message


GRID_LIMIT = "would reach spots beyond the largest float"
PUT = {"spot": 100.0, "strike": 100.0, "years": 0.5, "rate": 0.04, "vol": 0.2, "option_type": "put"}


@pytest.mark.parametrize(
    "function, change, message",
    [
        # ln(S/K) overflows or underflows: refused by every method, the closed form's too.
        (sb.value, {"spot": [100.0, 1e308], "strike": [100.0, 1e-308], "exercise": "american"},
         "spot at index 1 is 1e+308: spot / strike must be a positive finite number"),
        (sb.value, {"spot": [100.0, 1e-320], "strike": [100.0, 1e10], "method": "analytic"},
         "spot at index 1 is 1e-320: spot / strike must be a positive finite number"),
        # Grids that cannot be built from these finite numbers.
        (sb.value, {"years": [0.5, 300.0], "vol": [0.2, 30.0], "exercise": "american", "method": "fdm"},
         "vol at index 1 is 30.0: the grid, grid_std_devs standard deviations vol·√years either side of the "
         "strike, " + GRID_LIMIT),
        (sb.value, {"spot": [100.0, 1.7e308], "method": "fdm"},
         "spot at index 1 is 1.7e+308: the grid, stretched from the strike out to this spot and its drift to "
         "expiry, " + GRID_LIMIT),
        # No grid at σ = 0, but the bumped valuation at σ + 1e-4 needs one.
        (sb.value, {"years": [0.5, 1e300], "vol": [0.2, 0.0], "exercise": "american", "bumped_vega_rho": True},
         "vol at index 1 is 0.0: the grid, grid_std_devs standard deviations vol·√years either side of the "
         "strike, " + GRID_LIMIT),
        (sb.implied_vol, {"price": [5.0, 5.0], "years": [0.5, 200.0], "exercise": "american", "method": "fdm"},
         "years at index 1 is 200.0: the grid for the highest volatility searched " + GRID_LIMIT),
    ],
    ids=["moneyness", "moneyness_closed_form", "grid_spread", "grid_reach", "bumped_grid", "implied_grid"],
)
def test_inputs_no_method_can_value_are_bad_elements(function, change, message):
    args = PUT | change
    if function is sb.implied_vol:
        del args["vol"]
    with raises_exactly(ValueError, message):
        function(**args)
    book = function(**args, errors="nan")
    first = function(**{name: value[0] if isinstance(value, list) else value for name, value in args.items()})
    for field in FIELDS if function is sb.value else [None]:
        values = getattr(book, field) if field else book
        assert math.isnan(values[1]) and same_bits(values[0], getattr(first, field) if field else first)


@pytest.mark.parametrize("shape", [(0,), (0, 2), (2, 0, 3)])
@pytest.mark.parametrize("method", [None, "fdm", "analytic"])
def test_empty_books_give_empty_results(shape, method):
    book = sb.value(np.full(shape, 100.0), 100.0, 1.0, 0.05, 0.2, option_type="put", exercise="american",
                    method=method)
    assert all(getattr(book, field).shape == shape for field in FIELDS)
    assert sb.implied_vol(np.full(shape, 5.0), 100.0, 100.0, 1.0, 0.05, option_type="put", exercise="american",
                          method=method).shape == shape


@pytest.mark.parametrize("function", [sb.value, sb.implied_vol])
def test_results_that_cannot_fit_are_refused_before_they_are_made(function):
    # 10^12 elements from inputs of 10^6: terabytes of results, in no machine's memory.
    wide, tall = np.full((1, 10**6), 100.0), np.full((10**6, 1), 0.5)
    args = (wide, 100.0, tall, 0.05, 0.2) if function is sb.value else (5.0, wide, 100.0, tall, 0.05)
    arrays, what = (6, "options") if function is sb.value else (1, "quotes")
    need = 8 * arrays * 10**12
    with pytest.raises(MemoryError, match=rf"^the output of 1,000,000,000,000 {what} needs [0-9.]+ TiB "
                                          rf"\({need} bytes\); .* leaves room for [0-9.]+ [KMGT]?i?B$"):
        function(*args, option_type="put")


def test_timedelta_years_are_days_over_365():
    years = np.array([8760, 24, -1, "NaT"], dtype="timedelta64[h]")
    book = sb.value(100.0, 100.0, years, 0.05, 0.2, option_type="put", errors="nan")
    exact = sb.value(100.0, 100.0, [1.0, 1 / 365], 0.05, 0.2, option_type="put")
    np.testing.assert_array_equal(book.price[:2], exact.price)
    assert np.isnan(book.price[2:]).all()


@pytest.mark.parametrize(
    "change, message",
    [
        ({"years": np.datetime64("2025-01-01")},
         "years must be a number or an array of numbers, not datetime64 dates (year_fraction measures time to "
         "expiry)"),
        ({"spot": np.timedelta64(1, "D")}, "spot must be a number or an array of numbers, not timedelta64"),
        ({"years": np.timedelta64(1, "Y")},
         "years as timedelta64 must count days or a finer unit, not months or years"),
        ({"spot": np.array([100.0 + 1j])},
         "spot must be a number or an array of numbers, not complex numbers"),
        ({"vol": True}, "vol must be a number or an array of numbers, not booleans"),
        ({"rate": np.ma.masked_array([0.05, -9.0], [False, True])},
         "rate is a masked array: its masked elements would be valued; pass rate.filled(np.nan) with errors='nan' "
         "to leave them out"),
    ],
    ids=["datetime64", "timedelta64", "timedelta64_years", "complex", "bool", "masked"],
)
def test_arguments_that_would_lose_something_as_floats_are_refused(change, message):
    with raises_exactly(TypeError, message):
        sb.value(**{"spot": 100.0, "strike": 100.0, "years": 1.0, "rate": 0.05, "vol": 0.2, "option_type": "put"}
                 | change)


def test_option_types_abbreviate_and_progress_takes_numpy_bools(capfd):
    short = sb.value(100.0, 100.0, 1.0, 0.05, 0.2, option_type=["c", "P", "p"], progress=np.True_)
    long = sb.value(100.0, 100.0, 1.0, 0.05, 0.2, option_type=["call", "put", "put"])
    np.testing.assert_array_equal(short.price, long.price)
    assert "3/3" in capfd.readouterr().err


def test_nan_mode_values_the_good_elements_only():
    book = sb.value([100.0, -1.0, 100.0, 100.0], 100.0, 1.0, 0.05, [0.2, 0.2, math.nan, 0.2],
                    option_type=["put", "put", "put", "straddle"], exercise="american", errors="nan")
    good = sb.value(100.0, 100.0, 1.0, 0.05, 0.2, option_type="put", exercise="american")
    assert book.price[0] == good.price
    for f in FIELDS:
        assert np.isnan(getattr(book, f)[1:]).all()


# ---------------------------------------------------------------- progress and interruption


def test_progress_callable_sees_counts_up_to_the_total():
    seen = []
    sb.value(np.linspace(80, 120, 200), 100.0, 1.0, 0.05, 0.2, option_type="put", exercise="american",
             progress=lambda done, total: seen.append((done, total)))
    assert seen[-1] == (200, 200) and all(b >= a for (a, _), (b, _) in zip(seen, seen[1:]))


def test_an_exception_from_progress_stops_the_workers():
    calls = []

    def fail(done, total):
        calls.append(done)
        raise LookupError("stop here")

    with pytest.raises(LookupError, match="stop here"):
        sb.value(np.full(4000, 100.0), 100.0, 1.0, 0.05, 0.2, option_type="put", exercise="american",
                 progress=fail)
    assert len(calls) == 1


def test_a_fault_raised_by_progress_is_sorviks_fault_class(capfd):
    # A subclass that is also SystemExit would end the process if let through.
    exiting = type("Exiting", (fault_class(), SystemExit), {})

    def fail(done, total):
        raise exiting("from progress")

    with pytest.raises(BaseException) as info:
        sb.value(100.0, 100.0, 1.0, 0.05, 0.2, option_type="put", exercise="american", progress=fail)
    assert type(info.value) is fault_class() and info.value.args == ("from progress",)
    assert "Python code raised PanicException" in capfd.readouterr().err


def test_progress_true_draws_a_bar_on_stderr(capfd):
    sb.value(np.full(50, 100.0), 100.0, 1.0, 0.05, 0.2, option_type="put", exercise="american", progress=True)
    assert "50/50" in capfd.readouterr().err


def test_ctrl_c_stops_a_long_book():
    book = (np.full(4000, 100.0), 100.0, 1.0, 0.05, 0.2)
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            sb.value(*book, option_type="put", exercise="american", method="fdm", time_steps=5000,
                     threads=2)
    finally:
        killer.wait()
    # The whole book would take minutes; the workers stopped at their next time step.
    assert time.monotonic() - started < 10


def test_ctrl_c_stops_one_option_on_a_huge_grid():
    # One option, alone on the calling thread's worker: its passes over the
    # nodes poll for the interrupt, not only its time steps.
    killer = subprocess.Popen(["sh", "-c", f"sleep 0.5; kill -INT {os.getpid()}"])
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            sb.value(100.0, 100.0, 1.0, 0.04, 0.2, option_type="put", exercise="american", method="fdm",
                     nodes=2_000_001, time_steps=5000)
    finally:
        killer.wait()
    assert time.monotonic() - started < 5
