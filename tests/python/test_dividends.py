"""Cash dividends: the spot model on the grid, the arguments' rules and refusals."""
import math

import numpy as np
import pytest

import sorvik_batch as sb

S, K, T, R, VOL = 100.0, 100.0, 1.0, 0.05, 0.25
TIMES, AMOUNTS = [0.3, 0.8], [2.0, 2.0]


def grid(spot=S, option_type="call", exercise="european", **kw):
    kw.setdefault("method", "fdm")
    return sb.value(spot, K, T, R, VOL, option_type=option_type, exercise=exercise, **kw)


def same_bits(a, b):
    for name in ("price", "delta", "gamma", "theta", "vega", "rho"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name))


@pytest.mark.parametrize("method", [None, "fdm"])
@pytest.mark.parametrize("option_type, exercise", [("call", "european"), ("put", "american"), ("call", "american")])
@pytest.mark.parametrize("times, amounts", [
    ([0.3, 0.8], [0.0, 0.0]),          # amounts of 0 are no dividends
    ([1.5, -0.2, 0.0], [2.0, 2.0, 2.0]),  # after expiry, before and at valuation
    ([np.nan, np.nan], [2.0, -1.0]),   # padding, whatever its amount
])
def test_dividends_that_do_not_move_the_option_change_nothing(method, option_type, exercise, times, amounts):
    spots = np.array([80.0, 100.0, 125.0])
    kw = dict(option_type=option_type, exercise=exercise, method=method)
    same_bits(sb.value(spots, K, T, R, VOL, dividend_times=times, dividend_amounts=amounts, **kw),
              sb.value(spots, K, T, R, VOL, **kw))


@pytest.mark.parametrize("q", [0.0, 0.03])
@pytest.mark.parametrize("spot", [70.0, 100.0, 140.0])
def test_european_put_call_parity_with_cash_dividends(spot, q):
    kw = dict(dividend_times=TIMES, dividend_amounts=AMOUNTS, dividend_yield=q)
    call, put = grid(spot, "call", **kw), grid(spot, "put", **kw)
    # The stock drops by D at t and grows at r − q between drops.
    lost = sum(d * math.exp((R - q) * (T - t) - R * T) for t, d in zip(TIMES, AMOUNTS))
    forward_value = spot * math.exp(-q * T) - lost - K * math.exp(-R * T)
    # Each is stepped on its own grid; the stock never comes near 0 here, so the parity holds to their errors.
    assert call.price - put.price == pytest.approx(forward_value, abs=1e-5 * K)


def test_a_call_on_a_stock_the_dividends_may_take_to_zero():
    # Large dividends late in a long, volatile life take the stock to 0 on about 1 % of paths, where it
    # stays: the parity above then fails by 0.036, and a call read off its put by it came out that much
    # low. The reference integrates the spot model: the closed form after the last dividend, then back
    # through each drop and interval by Gauss-Hermite quadrature on a fine log-spot grid.
    times, amounts = [2.44, 2.48, 2.52, 2.83], [5.0, 6.8, 5.2, 0.9]
    call = sb.value(137.0, K, 3.0, 0.036, 0.5, option_type="call", method="fdm", dividend_times=times,
                    dividend_amounts=amounts)
    assert call.price == pytest.approx(56.9174386, abs=2e-5 * 137.0)


@pytest.mark.parametrize("option_type", ["call", "put"])
@pytest.mark.parametrize("spot", [70.0, 100.0, 140.0])
def test_american_above_european_above_its_bounds(option_type, spot):
    kw = dict(dividend_times=TIMES, dividend_amounts=[3.0, 3.0])
    american, european = grid(spot, option_type, "american", **kw), grid(spot, option_type, **kw)
    lost = sum(d * math.exp(-R * t) for t, d in zip(TIMES, [3.0, 3.0]))
    sign = 1.0 if option_type == "call" else -1.0
    assert european.price >= max(0.0, sign * (spot - lost - K * math.exp(-R * T))) - 1e-12
    assert american.price >= european.price - 1e-12
    assert american.price >= max(0.0, sign * (spot - K)) - 1e-12
    # The dividends lower calls and raise puts.
    assert sign * (european.price - grid(spot, option_type).price) < 0


def test_american_call_exercised_before_a_large_dividend():
    kw = dict(dividend_times=[0.95], dividend_amounts=[10.0])
    american, european = grid(110.0, "call", "american", **kw), grid(110.0, "call", **kw)
    # Exercising just before the drop beats the European, which must bear it.
    assert american.price > european.price + 3.0
    assert american.price >= 110.0 * 1.0 - K * math.exp(-R * 0.95) - 1e-9


def test_a_dividend_at_expiry_is_paid_before_the_payoff():
    # max(S_T − D − K, 0): the call struck at K + D without the dividend.
    with_dividend = sb.value(S, K, T, R, VOL, option_type="call", method="fdm", nodes=4001, time_steps=400,
                             dividend_times=[T], dividend_amounts=[5.0])
    struck_higher = sb.value(S, K + 5.0, T, R, VOL, option_type="call", method="analytic")
    assert with_dividend.price == pytest.approx(struck_higher.price, abs=2e-4 * K)


@pytest.mark.parametrize("option_type, exercise", [("call", "european"), ("put", "european"),
                                                   ("call", "american"), ("put", "american")])
def test_default_grid_agrees_with_a_very_fine_one(option_type, exercise):
    spots = np.array([75.0, 100.0, 130.0])
    kw = dict(option_type=option_type, exercise=exercise, method="fdm", dividend_times=[0.1, 0.35, 0.6, 0.85],
              dividend_amounts=[1.5, 1.5, 1.5, 1.5])
    default = sb.value(spots, K, T, R, VOL, **kw)
    fine = sb.value(spots, K, T, R, VOL, nodes=8001, time_steps=1000, **kw)
    assert np.max(np.abs(default.price - fine.price)) < 2e-5 * K


def test_each_option_its_own_schedule_and_one_schedule_for_all():
    spots = np.array([90.0, 100.0])
    own = sb.value(spots, K, T, R, VOL, option_type="put", exercise="american",
                   dividend_times=[[0.5], [0.25]], dividend_amounts=[[1.0], [2.0]])
    for i, (t, d) in enumerate([(0.5, 1.0), (0.25, 2.0)]):
        alone = sb.value(spots[i], K, T, R, VOL, option_type="put", exercise="american", dividend_times=[t],
                         dividend_amounts=[d])
        assert own.price[i] == alone.price
    # A 1-D pair as long as the book is still one schedule for every option.
    shared = sb.value(spots, K, T, R, VOL, option_type="put", exercise="american", dividend_times=[0.5, 0.25],
                      dividend_amounts=[1.0, 2.0])
    both = sb.value(90.0, K, T, R, VOL, option_type="put", exercise="american", dividend_times=[[0.5, 0.25]],
                    dividend_amounts=[[1.0, 2.0]])
    assert shared.price[0] == both.price
    # Times need not be sorted, and equal times add up.
    assert sb.value(90.0, K, T, R, VOL, option_type="put", exercise="american", dividend_times=[0.25, 0.5, 0.5],
                    dividend_amounts=[2.0, 0.5, 0.5]).price == shared.price[0]


@pytest.mark.parametrize("exercise", ["european", "american"])
def test_implied_vols_with_dividends_round_trip(exercise):
    spots = np.array([80.0, 100.0, 120.0])
    vols = np.array([0.15, 0.3, 0.5])
    kw = dict(option_type="put", exercise=exercise, dividend_times=TIMES, dividend_amounts=AMOUNTS)
    prices = sb.value(spots, K, T, R, vols, **kw).price
    found = sb.implied_vol(prices, spots, K, T, R, **kw)
    np.testing.assert_allclose(found, vols, atol=1e-7)
    repriced = sb.value(spots, K, T, R, found, **kw).price
    assert np.max(np.abs(repriced - prices)) < 1e-10 * K


@pytest.mark.parametrize("times, amounts, message", [
    ([[0.5, 0.7], [0.5, 0.7]], [[1.0, 1.0], [1.0, -0.5]],
     "dividend_amounts at index (1, 1) is -0.5: must be a finite number >= 0"),
    ([[0.5, np.inf], [0.5, 0.7]], [[1.0, 1.0], [1.0, 1.0]],
     "dividend_times at index (0, 1) is inf: must be a finite number of years"),
])
def test_bad_dividends_are_named_by_argument_and_full_index(times, amounts, message):
    spots = np.array([90.0, 100.0])
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        sb.value(spots, K, T, R, VOL, option_type="put", dividend_times=times, dividend_amounts=amounts)
    lenient = sb.value(spots, K, T, R, VOL, option_type="put", dividend_times=times, dividend_amounts=amounts,
                       errors="nan")
    bad_row = 1 if "(1," in message else 0
    assert math.isnan(lenient.price[bad_row]) and not math.isnan(lenient.price[1 - bad_row])


@pytest.mark.parametrize("method", ["analytic", "spectral"])
def test_methods_without_cash_dividends_refuse_one_inside_the_life(method):
    with pytest.raises(ValueError, match=rf"dividend_times at index \(1, 0\) is 0.5: .*method='{method}'"):
        sb.value([90.0, 100.0], K, [0.25, 1.0], R, VOL, option_type="put", exercise="american", method=method,
                 dividend_times=[0.5], dividend_amounts=[1.0])
    # After expiry it is none, and NaN under errors="nan" for the option it would move.
    lenient = sb.value([90.0, 100.0], K, [0.25, 1.0], R, VOL, option_type="put", exercise="american", method=method,
                       dividend_times=[0.5], dividend_amounts=[1.0], errors="nan")
    assert not math.isnan(lenient.price[0]) and math.isnan(lenient.price[1])


def test_book_command_reads_a_dividends_column(tmp_path, capsys):
    from sorvik_batch.__main__ import main

    cells = ["0.25:1.10 0.75:1.10", "", "0.5:2"]
    book = tmp_path / "book.csv"
    book.write_text("spot,strike,years,rate,vol,option_type,exercise,method,dividends\n" +
                    "".join(f"100,100,1,0.05,0.25,put,american,{m},{c}\n" for m, c in zip(["", "", "fdm"], cells)))
    assert main(["price", str(book), "--out", str(tmp_path / "out.csv"), "--no-progress"]) == 0
    lines = (tmp_path / "out.csv").read_text().splitlines()
    prices = [float(line.split(",")[-6]) for line in lines[1:]]
    for got, (times, amounts) in zip(prices, [([0.25, 0.75], [1.1, 1.1]), (None, None), ([0.5], [2.0])]):
        assert got == sb.value(100.0, 100.0, 1.0, 0.05, 0.25, option_type="put", exercise="american",
                               dividend_times=times, dividend_amounts=amounts).price
    book.write_text("spot,strike,years,rate,vol,option_type,exercise,dividends\n"
                    "100,100,1,0.05,0.25,put,american,0.25:1\n100,100,1,0.05,0.25,put,american,0.25;1\n")
    assert main(["price", str(book), "--out", str(tmp_path / "bad.csv"), "--no-progress"]) != 0
    assert "dividends at row 2 is '0.25;1': expected space-separated years:amount pairs" in capsys.readouterr().err


@pytest.mark.parametrize("exercise", ["european", "american"])
def test_without_randomness_the_sure_value_pays_out_the_dividends(exercise):
    # σ = 0: the stock grows at r and drops by each dividend; a call holds on to expiry (an
    # American one would gain nothing by exercising before any drop here).
    got = sb.value(100.0, 100.0, 1.0, R, 0.0, option_type="call", exercise=exercise, dividend_times=[0.2, 0.7],
                   dividend_amounts=[1.0, 1.0])
    forward = 100.0 * math.exp(R) - math.exp(R * 0.8) - math.exp(R * 0.3)
    assert got.price == pytest.approx((forward - 100.0) * math.exp(-R), rel=1e-14)
    assert got.delta == 1.0 and got.gamma == 0.0


def test_deep_in_the_money_put_near_the_grid_end_counts_the_dividends_still_to_come():
    # Low vol and a short life put the grid's low end close to the spot: its far field must count
    # the dividends still to be paid, or the put comes out low.
    spot, years, vol, rate = 82.8562, 115 / 365, 0.1215, 0.0772
    times, amounts = [64 / 365, 85 / 365, 98 / 365], [1.1227, 3.2733, 1.6185]
    kw = dict(method="fdm", dividend_times=times, dividend_amounts=amounts)
    call = sb.value(spot, K, years, rate, vol, option_type="call", **kw).price
    put = sb.value(spot, K, years, rate, vol, option_type="put", **kw).price
    forward_value = spot - sum(d * math.exp(-rate * t) for t, d in zip(times, amounts)) - K * math.exp(-rate * years)
    assert call > 0.0
    # The call, stepped on its own grid, checks the put through the parity.
    assert call - put == pytest.approx(forward_value, abs=1e-5 * K)
