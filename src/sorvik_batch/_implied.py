"""implied_vol(): from quoted prices back to volatilities."""
from __future__ import annotations

from typing import Literal, Union, cast

from . import _arguments, _dividends, _kernel, _progress
from ._arguments import ExerciseStyles, FloatArray, Numbers, OptionTypes

_NUMBERS = ("price", "spot", "strike", "years", "rate", "dividend_yield")


def implied_vol(price: Numbers, spot: Numbers, strike: Numbers, years: Numbers, rate: Numbers, *,
                option_type: OptionTypes, exercise: ExerciseStyles = "european", dividend_yield: Numbers = 0.0,
                method: Literal["analytic", "fdm", "spectral"] | None = None, nodes: int = _arguments.NODES,
                time_steps: int = _arguments.TIME_STEPS, grid_std_devs: float = _arguments.GRID_STD_DEVS,
                precision: Literal["standard", "high"] = "standard",
                threads: int | None = None, progress: bool | _progress.Report = False,
                errors: Literal["raise", "nan"] = "raise", dividend_times: Numbers | None = None,
                dividend_amounts: Numbers | None = None) -> FloatArray | float:
    """Implied volatilities of quoted option prices: the σ at which ``value`` gives each price.

    Arguments mean what they mean in ``value`` and broadcast together the same way; the result
    is a float64 array of the broadcast shape, or a float when every input is a scalar. One
    quote of plain floats and strings, without progress, skips the array machinery.

    Europeans in closed form are inverted to machine precision (rational initial guesses and
    Householder steps on the normalised price, dividends through the forward). Americans (and
    options on the grid) are solved by a bracketed, safeguarded root search on the very method
    ``value`` uses for them (``method`` as in ``value``), so that ``value`` at the result
    reproduces the quote to about 1e-10·max(spot, strike): about three and a half valuations of
    the exercise-boundary engine per quote, or four to six on the grid.

    Args:
        price: the quoted option prices, in the currency of the spot.
        spot: price of the underlying, positive.
        strike: strike, positive.
        years: time to expiry in years, Actual/365 Fixed, zero or more.
        rate: risk-free rate, continuously compounded, a fraction per year.
        option_type: ``sorvik.OptionType`` members, ``"call"``/``"put"``, or an array of those.
        exercise: ``sorvik.ExerciseStyle`` members, ``"european"``/``"american"``, or an array.
        dividend_yield: continuous dividend yield, a fraction per year.
        method: None, ``"spectral"``, ``"analytic"`` or ``"fdm"``, as in ``value``.
        nodes: grid nodes, at least 3, made odd.
        time_steps: grid time steps, at least 1.
        grid_std_devs: half-width of the grid in standard deviations, positive and finite.
        precision: the exercise-boundary engine's level, ``"standard"`` or ``"high"``.
        threads: at most this many workers of the process's pool; None uses every core the
            process may run on.
        progress: False, True (a bar on stderr) or a callable receiving ``(done, total)`` in
            quotes, as in ``value``.
        errors: ``"raise"`` or ``"nan"``, as in ``value``; under ``"nan"`` a quote with no
            solution is NaN too.
        dividend_times, dividend_amounts: cash dividends, as in ``value``: a quote with one
            inside its life is solved on the grid, European or American.

    Returns:
        The implied volatilities, fractions per year (0.2 for 20 %). A price exactly at the
        lower bound gives 0; for an American so does one within a relative 1e-12 of it.

    Raises:
        ValueError: under ``errors="raise"``, a quote that no σ in [0, 10] reaches, naming the
            index, the price and the bound: below the discounted intrinsic value ("price at
            index 3 is 0.5: below the lower bound 0.6 (the value at zero volatility)"), at or
            above S·e^(−qT) for a call or K·e^(−rT) for a put ("... at or above the upper bound
            100.0"), or above the price at σ = 10; for an American, a quote whose time value is too
            small to determine σ (the volatilities that reprice it to 1e-10·max(spot, strike)
            span more than max(1e-4, 1e-3·σ)); and every input error of ``value``. On the grid,
            also a quote whose search would need a grid beyond the largest float at its highest
            volatility ("years at index 1 is 200.0: the grid for the highest volatility searched
            would reach spots beyond the largest float").
        TypeError: an argument of the wrong kind, as in ``value``.
        KeyboardInterrupt: Ctrl-C; the workers stop within a fraction of a second.
        MemoryError: as in ``value``. Inputs must not be resized during the call, as there.
        RuntimeError: as in ``value``.
    """
    # One plain quote skips the array machinery; the kernel declines (None) whatever is not plain.
    if dividend_times is None and dividend_amounts is None:
        one = _kernel.implied_vol_scalar(price, spot, strike, years, rate, option_type, exercise, dividend_yield,
                                         method, nodes, time_steps, grid_std_devs, precision, threads, progress, errors)
        if one is not None:
            return one
    return _implied_vol_arrays(price, spot, strike, years, rate, option_type, exercise, dividend_yield, method, nodes,
                               time_steps, grid_std_devs, precision, threads, progress, errors, dividend_times,
                               dividend_amounts)


def _implied_vol_arrays(price: Numbers, spot: Numbers, strike: Numbers, years: Numbers, rate: Numbers,
                        option_type: OptionTypes, exercise: ExerciseStyles, dividend_yield: Numbers,
                        method: str | None, nodes: int, time_steps: int, grid_std_devs: float, precision: str,
                        threads: int | None, progress: bool | _progress.Report, errors: str,
                        dividend_times: Numbers | None = None,
                        dividend_amounts: Numbers | None = None) -> FloatArray | float:
    """implied_vol() on inputs of any kind: every rule and refusal, worded."""
    settings = _kernel.Settings(method, nodes, time_steps, grid_std_devs, precision, threads, errors, False)
    values, _ = _arguments.align(
        {"price": price, "spot": spot, "strike": strike, "years": years, "rate": rate,
         "dividend_yield": dividend_yield, "option_type": option_type, "exercise": exercise})
    numbers = tuple(_arguments.numbers(name, values[name]) for name in _NUMBERS)
    kinds = (_arguments.kinds("option_type", values["option_type"]), _arguments.kinds("exercise", values["exercise"]))
    numbers, dividends = _dividends.for_book(numbers, kinds, _NUMBERS.index("years"), method, errors,
                                             dividend_times, dividend_amounts)
    report, close = _progress.reporter(progress, "implied volatilities")
    try:
        result = _kernel.implied_vol_book(settings, numbers, kinds, report, dividends.pair if dividends else None)
    finally:
        close()
    if isinstance(result, tuple):
        raise _arguments.element_error(result, values)
    return cast(Union[FloatArray, float], _dividends.left_out(result, dividends.unusable if dividends else None))
