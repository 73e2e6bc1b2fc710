"""Greeks a hedger can trust: grid greeks against true ones, small volatilities, quotes at the payoff, closed-form
wings and the sure value."""
import math

import mpmath
import numpy as np
import pytest

import sorvik_batch as sb
from conftest import raises_exactly


def european_set(count, seed):
    """T 1 hour - 10 years, sigma 5 - 100 %, S/K 0.5 - 2, r 0 - 10 %, q 0 - 5 %."""
    rng = np.random.default_rng(seed)
    return dict(spot=100.0 * np.exp(rng.uniform(np.log(0.5), np.log(2.0), count)), strike=100.0,
                years=np.exp(rng.uniform(np.log(1 / 8760), np.log(10.0), count)), rate=rng.uniform(0.0, 0.1, count),
                vol=rng.uniform(0.05, 1.0, count), dividend_yield=rng.uniform(0.0, 0.05, count),
                option_type=rng.choice(["call", "put"], count))


def test_european_grid_greeks_are_the_true_greeks():
    book = european_set(400, seed=17)
    args = [book[k] for k in ("spot", "strike", "years", "rate", "vol")]
    kw = dict(option_type=book["option_type"], dividend_yield=book["dividend_yield"])
    grid = sb.value(*args, **kw, method="fdm", bumped_vega_rho=True)
    exact = sb.value(*args, **kw, method="analytic")
    scale = np.maximum(book["spot"], book["strike"])
    forward = np.log(book["spot"] / book["strike"]) + (book["rate"] - book["dividend_yield"]) * book["years"]
    near = np.abs(forward) <= 3 * book["vol"] * np.sqrt(book["years"])
    assert np.abs(grid.delta - exact.delta).max() <= 5e-4
    assert (grid.gamma >= 0).all()
    curved = book["spot"] * exact.gamma >= 1e-3
    gamma_error = np.abs(grid.gamma - exact.gamma)[curved] / exact.gamma[curved]
    assert gamma_error[near[curved]].max() <= 1e-2 and gamma_error[~near[curved]].max() <= 2e-2
    moving = near & (np.abs(exact.theta) >= 1e-4 * scale)
    assert np.quantile(np.abs(grid.theta[moving] / exact.theta[moving] - 1), 0.99) <= 2e-3
    for field in ("vega", "rho"):
        big = near & (np.abs(getattr(exact, field)) >= 1e-3 * scale)
        assert np.abs(getattr(grid, field)[big] / getattr(exact, field)[big] - 1).max() <= 1e-2, field


# Central differences (Richardson over 1 % and 0.5 % of S) of a high-precision American solver.
AMERICAN = [((100.0, 100.0, 1.0, 0.05, 0.2, "put", 0.0), -0.411059061923, 0.0229886632813),
            ((90.0, 100.0, 2.0, 0.06, 0.35, "put", 0.0), -0.468411021026, 0.0118417924975),
            ((110.0, 100.0, 1.0, 0.03, 0.25, "call", 0.06), 0.663617027838, 0.0151650261526)]


@pytest.mark.parametrize("case, delta, gamma", AMERICAN)
def test_american_grid_greeks_are_the_true_greeks(case, delta, gamma):
    *args, kind, q = case
    grid = sb.value(*args, option_type=kind, exercise="american", dividend_yield=q)
    assert grid.delta == pytest.approx(delta, abs=2e-4)
    assert grid.gamma == pytest.approx(gamma, rel=1e-2)


def test_in_the_exercise_region_an_american_has_its_payoffs_greeks():
    deep = sb.value(np.array([40.0, 55.0]), 100.0, 2.0, 0.08, 0.2, option_type="put", exercise="american",
                    dividend_yield=0.02)
    assert deep.price.tolist() == [60.0, 45.0]
    assert deep.delta.tolist() == [-1.0, -1.0] and deep.gamma.tolist() == [0.0, 0.0]
    assert deep.theta.tolist() == [0.0, 0.0]


@pytest.mark.parametrize("exercise", ["european", "american"])
def test_deltas_keep_their_bounds_and_prices_are_convex_in_the_strike(exercise):
    rng = np.random.default_rng(23)
    for _ in range(20):
        spot, years, rate, vol = 100.0, float(np.exp(rng.uniform(np.log(0.01), np.log(10)))), \
            float(rng.uniform(0, 0.1)), float(rng.uniform(0.05, 1.5))
        strikes = float(rng.uniform(50, 200)) * 1.005 ** np.arange(21)
        for kind in ("call", "put"):
            book = sb.value(spot, strikes, years, rate, vol, option_type=kind, exercise=exercise, method="fdm")
            low, high = (0.0, 1.0) if kind == "call" else (-1.0, 0.0)
            assert (book.delta >= low - 1e-9).all() and (book.delta <= high + 1e-9).all()
            # Second differences over strikes 0.5 % apart (non-uniform: divided differences).
            slopes = np.diff(book.price) / np.diff(strikes)
            assert (np.diff(slopes) * np.diff(strikes)[1:] >= -1e-9 * strikes.max()).all()


# A high-precision American solver's values of the ATM put, r = 5 %.
AMERICAN_PUT_SMALL_VOL = {1e-3: 3.67880149708e-4, 1e-2: 0.0367695481567}


@pytest.mark.parametrize("kind", ["call", "put"])
@pytest.mark.parametrize("exercise", ["european", "american"])
def test_small_volatilities_are_accurate_and_continuous_down_to_the_sure_value(kind, exercise):
    vols = np.array([0.0, 1e-8, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2])
    grid = sb.value(100.0, 100.0, 1.0, 0.05, vols, option_type=kind, exercise=exercise, method="fdm").price
    exact = sb.value(100.0, 100.0, 1.0, 0.05, vols, option_type=kind, method="analytic").price
    if kind == "put" and exercise == "american":
        # Exercised now at S = K it is worth 0; the time value grows with sigma from there.
        exact = np.array([AMERICAN_PUT_SMALL_VOL.get(v, 0.0) for v in vols])
        exact[4] = grid[4]  # below 1e-4 of max(S, K) whatever it is
    assert (grid >= 0).all()
    assert np.abs(grid - exact).max() <= 1e-4 * 100
    assert abs(grid[1] - grid[0]) <= 1e-6 * 100


def test_a_quote_one_ulp_below_the_sure_value_has_zero_volatility():
    spot, years, rate, q = 59.23654131055017, 16 / 365, 0.015658, 0.050229
    sure = sb.value(spot, 100.0, years, rate, 0.0, option_type="put", exercise="american", dividend_yield=q).price
    quote = math.nextafter(sure, 0.0)
    assert sb.implied_vol(quote, spot, 100.0, years, rate, option_type="put", exercise="american",
                          dividend_yield=q) == 0.0


def test_a_time_value_too_small_to_tell_the_volatility_is_a_reported_failure():
    args = (55.0, 100.0, 2.0, 0.08)
    kw = dict(option_type="put", exercise="american", dividend_yield=0.02)
    quotes = np.array([45.0 + 5e-9, 45.0 + 0.5])
    message = ("price at index 0 is 45.000000005: its time value above 45.0 (the value at zero volatility) is too "
               "small to determine the volatility")
    with raises_exactly(ValueError, message):
        sb.implied_vol(quotes, *args, **kw)
    vols = sb.implied_vol(quotes, *args, **kw, errors="nan")
    assert math.isnan(vols[0])
    assert sb.value(*args, vols[1], **kw).price == pytest.approx(quotes[1], abs=1e-10 * 100)


def test_an_american_quote_just_above_the_sure_value_finds_the_closed_forms_volatility():
    quote = 100.0 - 100.0 * math.exp(-0.05) + 1e-7
    closed = sb.implied_vol(quote, 100.0, 100.0, 1.0, 0.05, option_type="call")
    american = sb.implied_vol(quote, 100.0, 100.0, 1.0, 0.05, option_type="call", exercise="american")
    assert american == pytest.approx(closed, rel=0.02)
    again = sb.value(100.0, 100.0, 1.0, 0.05, american, option_type="call", exercise="american").price
    assert abs(again - quote) <= 1e-10 * 100


def exact_black(spot, strike, years, rate, q, vol, kind):
    with mpmath.workdps(50):
        S, K, T, r, q, sigma = map(mpmath.mpf, (spot, strike, years, rate, q, vol))
        s = sigma * mpmath.sqrt(T)
        d1 = (mpmath.log(S / K) + (r - q) * T) / s + s / 2
        call = S * mpmath.exp(-q * T) * mpmath.ncdf(d1) - K * mpmath.exp(-r * T) * mpmath.ncdf(d1 - s)
        return call if kind == "call" else call - S * mpmath.exp(-q * T) + K * mpmath.exp(-r * T)


def test_closed_form_prices_far_out_of_the_money_keep_full_relative_precision():
    rng = np.random.default_rng(29)
    for _ in range(60):
        kind = str(rng.choice(["call", "put"]))
        years, rate, q, vol = float(np.exp(rng.uniform(np.log(0.02), np.log(5)))), float(rng.uniform(0, 0.1)), \
            float(rng.uniform(0, 0.05)), float(rng.uniform(0.05, 1.0))
        sds = float(rng.uniform(6, 10)) * (1 if kind == "put" else -1)
        strike = 100.0 * math.exp((rate - q) * years - sds * vol * math.sqrt(years))
        price = sb.value(100.0, strike, years, rate, vol, option_type=kind, dividend_yield=q).price
        assert abs(price / exact_black(100.0, strike, years, rate, q, vol, kind) - 1) <= 1e-12
        implied = sb.implied_vol(price, 100.0, strike, years, rate, option_type=kind, dividend_yield=q)
        assert implied == pytest.approx(vol, rel=1e-12)


def test_closed_form_without_randomness_is_the_sure_value():
    at_expiry = sb.value(np.array([90.0, 100.0, 110.0]), 100.0, 0.0, 0.04, 0.2, option_type="call")
    assert at_expiry.price.tolist() == [0.0, 0.0, 10.0]
    assert at_expiry.delta.tolist() == [0.0, 0.5, 1.0] and at_expiry.gamma.tolist() == [0.0, 0.0, 0.0]
    sure = sb.value(90.0, 100.0, 1.0, 0.05, 0.0, option_type="put")
    assert sure.price == pytest.approx(100.0 * math.exp(-0.05) - 90.0, rel=1e-15)
    assert sure.delta == -1.0 and sure.gamma == 0.0 and sure.vega == 0.0
    assert sure.rho == pytest.approx(-100.0 * math.exp(-0.05), rel=1e-15)
