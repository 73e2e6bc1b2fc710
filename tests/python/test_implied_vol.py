"""sorvik_batch.implied_vol: round trips, bounds, the scalar path, American quotes on the grid."""
import math

import numpy as np
import pytest

import sorvik_batch as sb
from conftest import raises_exactly


def quotes(count, seed):
    rng = np.random.default_rng(seed)
    return dict(spot=rng.uniform(50, 150, count), strike=rng.uniform(40, 160, count),
                years=np.exp(rng.uniform(np.log(1 / 365), np.log(30), count)), rate=rng.uniform(-0.02, 0.1, count),
                dividend_yield=rng.uniform(0.0, 0.05, count), vol=rng.uniform(0.01, 3.0, count),
                option_type=rng.choice(["call", "put"], count))


def test_european_round_trip_within_the_rounding_a_price_carries():
    q = quotes(3000, seed=11)
    book = sb.value(q["spot"], q["strike"], q["years"], q["rate"], q["vol"], option_type=q["option_type"],
                    dividend_yield=q["dividend_yield"])
    vol = sb.implied_vol(book.price, q["spot"], q["strike"], q["years"], q["rate"], option_type=q["option_type"],
                         dividend_yield=q["dividend_yield"], errors="nan")
    carried = q["spot"] * np.exp(-q["dividend_yield"] * q["years"])
    discounted = q["strike"] * np.exp(-q["rate"] * q["years"])
    call = q["option_type"] == "call"
    lower = np.maximum(0, np.where(call, carried - discounted, discounted - carried))
    upper = np.where(call, carried, discounted)
    rounding = 8 * 2.0**-52 * np.maximum(carried, discounted)
    # Quotes within the rounding of their bounds have no well-defined volatility.
    inside = (book.price > lower + rounding) & (book.price < upper - rounding)
    with np.errstate(divide="ignore"):
        allowed = np.maximum(1e-12 * q["vol"], rounding / book.vega)
    assert inside.sum() > 2500
    assert (np.abs(vol - q["vol"])[inside] <= allowed[inside]).all()


def test_scalar_path_gives_the_array_paths_bits():
    q = quotes(200, seed=12)
    book = sb.value(q["spot"], q["strike"], q["years"], q["rate"], q["vol"], option_type=q["option_type"])
    arrays = sb.implied_vol(book.price, q["spot"], q["strike"], q["years"], q["rate"], option_type=q["option_type"],
                            errors="nan")
    for i in range(200):
        one = sb.implied_vol(float(book.price[i]), float(q["spot"][i]), float(q["strike"][i]), float(q["years"][i]),
                             float(q["rate"][i]), option_type=str(q["option_type"][i]), errors="nan")
        assert isinstance(one, float) and (one == arrays[i] or (math.isnan(one) and math.isnan(arrays[i])))


@pytest.mark.parametrize("kind, exercise, method", [("put", "american", None), ("call", "american", None),
                                                    ("put", "european", "fdm")])
def test_grid_quotes_are_reproduced_by_value(kind, exercise, method):
    vol = np.array([0.08, 0.2, 0.45, 0.9, 1.6])
    args = (np.array([80.0, 95.0, 100.0, 105.0, 120.0]), 100.0, 0.75, 0.04)
    price = sb.value(*args, vol, option_type=kind, exercise=exercise, dividend_yield=0.03, method=method).price
    implied = sb.implied_vol(price, *args, option_type=kind, exercise=exercise, dividend_yield=0.03, method=method)
    again = sb.value(*args, implied, option_type=kind, exercise=exercise, dividend_yield=0.03, method=method).price
    assert np.abs(again - price).max() <= 1e-10 * 120


AT_TEN = sb.value(100.0, 100.0, 1.0, 0.05, 10.0, option_type="call").price


@pytest.mark.parametrize(
    "price, spot, strike, rate, kind, exercise, why",
    [
        (5.0, 90.0, 100.0, 0.0, "put", "european", "below the lower bound 10.0"),
        (100.0, 100.0, 100.0, 0.05, "call", "european", "at or above the upper bound 100.0"),
        (99.99999, 100.0, 100.0, 0.05, "call", "european",
         f"above {AT_TEN!r}, the price at volatility 10: no volatility in [0, 10] reaches it"),
        (9.99, 100.0, 110.0, 0.05, "put", "american", "below the lower bound 10.0"),
        (110.0, 100.0, 110.0, 0.05, "put", "american", "at or above the upper bound 110.0"),
    ],
)
def test_quotes_without_a_solution(price, spot, strike, rate, kind, exercise, why):
    quote = dict(option_type=kind, exercise=exercise)
    with raises_exactly(ValueError, f"price is {price!r}: {why} (the value at zero volatility)"
                        if "lower" in why else f"price is {price!r}: {why}"):
        sb.implied_vol(price, spot, strike, 1.0, rate, **quote)
    assert np.isnan(sb.implied_vol([price], spot, strike, 1.0, rate, errors="nan", **quote)).all()


def test_a_price_at_the_lower_bound_gives_zero():
    assert sb.implied_vol(0.0, 100.0, 120.0, 1.0, 0.05, option_type="call") == 0.0
    assert sb.implied_vol(10.0, 90.0, 100.0, 1.0, 0.05, option_type="put", exercise="american") == 0.0


@pytest.mark.parametrize("threads, error, message", [
    (0, ValueError, "threads must be at least 1, got 0"),
    (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
])
def test_one_quote_checks_the_thread_count_as_a_book_does(threads, error, message):
    for price in (5.0, [5.0]):
        with raises_exactly(error, message):
            sb.implied_vol(price, 100.0, 100.0, 1.0, 0.05, option_type="call", threads=threads)


def test_errors_name_the_first_offending_element():
    with raises_exactly(ValueError, "price at index (1, 0) is 150.0: at or above the upper bound 100.0"):
        sb.implied_vol([[5.0], [150.0]], 100.0, 100.0, 1.0, 0.05, option_type="call")
    with raises_exactly(ValueError, "price at index 1 is nan: must be a finite number"):
        sb.implied_vol([5.0, math.nan], 100.0, 100.0, 1.0, 0.05, option_type="call")
    with raises_exactly(ValueError, "spot is -1.0: must be a positive finite number"):
        sb.implied_vol(5.0, -1.0, 100.0, 1.0, 0.05, option_type="call")
