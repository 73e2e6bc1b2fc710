"""Americans in books: which method values each, the exercise-boundary engine against fine grids, its
precision levels and implied volatilities on it."""
import datetime as dt

import numpy as np
import pytest

import sorvik
import sorvik_batch as sb

OUTPUTS = ("price", "delta", "gamma", "theta", "vega", "rho")


def bits(valuation):
    return np.array([getattr(valuation, name) for name in OUTPUTS], dtype=np.float64).view(np.uint64)


def american(method=None, **settings):
    def at(spot, strike, years, rate, vol, kind, q):
        return sb.value(spot, strike, years, rate, vol, option_type=kind, exercise="american",
                        dividend_yield=q, method=method, **settings)
    return at


@pytest.mark.parametrize("spot, strike, years, rate, vol, kind, q, method_none_is", [
    (100.0, 100.0, 1.0, 0.05, 0.2, "put", 0.0, "spectral"),  # one boundary
    (120.0, 100.0, 2.0, 0.03, 0.3, "call", 0.06, "spectral"),
    (90.0, 100.0, 1.0, 0.0, 0.25, "put", 0.02, "european"),  # never exercised early: the European, exactly
    (110.0, 100.0, 1.0, 0.04, 0.25, "call", 0.0, "european"),
    (100.0, 100.0, 1.0, -0.01, 0.2, "put", -0.02, "fdm"),  # two boundaries
    (100.0, 100.0, 1.0, -0.03, 0.2, "call", -0.01, "fdm"),
    (100.0, 100.0, 30.0, 0.10, 0.01, "put", 0.0, "fdm"),  # the drift dwarfs the spread
    (100.0, 100.0, 0.0, 0.05, 0.2, "put", 0.0, "fdm"),  # nothing random: the sure value
])
def test_method_none_routes_each_american_to_the_method_that_values_it(spot, strike, years, rate, vol, kind, q,
                                                                      method_none_is):
    default = american()(spot, strike, years, rate, vol, kind, q)
    if method_none_is == "european":
        expected = sb.value(spot, strike, years, rate, vol, option_type=kind, dividend_yield=q)
    else:
        expected = american(method_none_is)(spot, strike, years, rate, vol, kind, q)
    np.testing.assert_array_equal(bits(default), bits(expected))


def test_the_grid_stays_bit_for_bit_what_compute_gives():
    now, expiry = dt.datetime(2025, 1, 2, tzinfo=dt.timezone.utc), dt.datetime(2025, 7, 3, tzinfo=dt.timezone.utc)
    act365 = sorvik.DayCountConvention.Act365Fixed
    option = sorvik.StockOption(95.0, expiry, sorvik.OptionType.Put, sorvik.ExerciseStyle.American)
    market = sorvik.OptionMarketFrame(100.0, sorvik.RateCurve.continuous(0.05, act365),
                                      sorvik.VolSurface.flat(0.25, act365))
    result = option.valuation().market(market).at(now).compute()
    grid = sb.value(100.0, 95.0, sb.year_fraction(now, expiry), 0.05, 0.25, option_type="put", exercise="american",
                    method="fdm")
    assert (grid.price, grid.delta, grid.gamma, grid.theta) == (result.price, result.greeks.delta,
                                                              result.greeks.gamma, result.greeks.theta)


def test_spectral_refuses_two_boundaries_by_element_and_values_europeans_in_closed_form():
    spot, rate, q = [100.0, 100.0, 100.0], [0.05, -0.01, 0.05], [0.0, -0.02, 0.0]
    exercise = ["american", "american", "european"]
    with pytest.raises(ValueError, match=r"^rate at index 1 is -0.01: .*two separate regions"):
        sb.value(spot, 100.0, 1.0, rate, 0.2, option_type="put", exercise=exercise, dividend_yield=q,
                 method="spectral")
    got = sb.value(spot, 100.0, 1.0, rate, 0.2, option_type="put", exercise=exercise, dividend_yield=q,
                   method="spectral", errors="nan")
    assert np.isnan(got.price[1]) and not np.isnan(got.price[[0, 2]]).any()
    european = sb.value(100.0, 100.0, 1.0, 0.05, 0.2, option_type="put", method="analytic")
    assert got.price[2] == european.price and got.rho[2] == european.rho


CASES = [  # (spot, strike, years, rate, vol, kind, q): ordinary, deep in the money, short, long, high vol
    (100.0, 100.0, 1.0, 0.05, 0.2, "put", 0.0),
    (85.0, 100.0, 0.5, 0.08, 0.3, "put", 0.01),
    (101.0, 100.0, 7 / 365, 0.03, 0.15, "call", 0.05),
    (100.0, 90.0, 5.0, 0.02, 0.4, "call", 0.04),
    (80.0, 100.0, 2.0, 0.06, 0.8, "put", 0.02),
]


@pytest.mark.parametrize("case", CASES)
def test_the_engine_agrees_with_a_fine_grid(case):
    spot, strike = case[:2]
    engine = american("spectral")(*case)
    fine = american("fdm", nodes=8001, time_steps=1000)(*case)
    scale = max(spot, strike)
    assert abs(engine.price - fine.price) < 3e-6 * scale  # the fine grid's own error
    assert abs(engine.delta - fine.delta) < 3e-6
    assert abs(engine.gamma - fine.gamma) < 3e-5 * max(fine.gamma, 1e-2 / spot)


def test_the_high_level_refines_the_standard_one_and_others_are_refused():
    spots = np.linspace(60.0, 140.0, 41)
    standard = sb.value(spots, 100.0, 1.5, 0.06, 0.3, option_type="put", exercise="american", dividend_yield=0.01)
    high = sb.value(spots, 100.0, 1.5, 0.06, 0.3, option_type="put", exercise="american", dividend_yield=0.01,
                    precision="high")
    difference = np.abs(standard.price - high.price)
    assert difference.max() < 1e-7 * 140 and difference.max() > 0
    with pytest.raises(ValueError, match="precision must be 'standard' or 'high', got 'low'"):
        sb.value(100.0, 100.0, 1.0, 0.05, 0.2, option_type="put", exercise="american", precision="low")


@pytest.mark.parametrize("precision", ["standard", "high"])
def test_implied_vols_on_the_engine_reprice_their_quotes(precision):
    rng = np.random.default_rng(3)
    n = 200
    book = dict(spot=rng.uniform(70, 130, n), strike=100.0, years=rng.uniform(0.05, 3, n), rate=rng.uniform(0, 0.08, n))
    settings = dict(option_type=rng.choice(["call", "put"], n), exercise="american",
                    dividend_yield=rng.uniform(0, 0.06, n), precision=precision)
    vol = rng.uniform(0.1, 0.6, n)
    quotes = sb.value(**book, vol=vol, **settings).price
    found = sb.implied_vol(quotes, **book, **settings, errors="nan")
    solved = ~np.isnan(found)
    assert solved.mean() > 0.9  # the rest: too little time value to tell sigma
    again = sb.value(**book, vol=np.where(solved, found, 0.2), **settings).price
    assert np.max(np.abs(again - quotes)[solved] / np.maximum(book["spot"], 100.0)[solved]) <= 1e-10
