"""value(): a book of options priced on every core."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, Union, cast

import numpy as np

from . import _arguments, _dividends, _kernel, _progress
from ._arguments import ExerciseStyles, FloatArray, Numbers, OptionTypes

if TYPE_CHECKING:
    import pandas as pd

Floats = Union[FloatArray, float]

_NUMBERS = ("spot", "strike", "years", "rate", "vol", "dividend_yield")
_FIELDS = ("price", "delta", "gamma", "theta", "vega", "rho")


@dataclass(frozen=True, slots=True)
class Valuation:
    """Prices and greeks of a book, as ``value`` returns them.

    Each field is a float64 array of the inputs' broadcast shape, or a float when every input
    was a scalar. An element that ``errors="nan"`` refused is NaN in every field.

    Attributes:
        price: the option's value, in the currency of the spot.
        delta: ∂price/∂spot, per unit of spot.
        gamma: ∂²price/∂spot², per unit of spot squared.
        theta: ∂price/∂t in calendar time, per year (not per day).
        vega: ∂price/∂σ per 1.0 of volatility (not per percentage point). NaN for grid
            valuations unless ``bumped_vega_rho=True``.
        rho: ∂price/∂r per 1.0 of rate. NaN for grid valuations unless ``bumped_vega_rho=True``.
        index: the pandas index of the inputs' Series when the book is one-dimensional and of
            its length, else None. Not part of the repr or of comparisons.
    """

    price: Floats
    delta: Floats
    gamma: Floats
    theta: Floats
    vega: Floats
    rho: Floats
    index: pd.Index[Any] | None = field(default=None, repr=False, compare=False)

    def to_frame(self) -> pd.DataFrame:
        """The six fields as the columns of a pandas DataFrame, on ``index`` when there is one
        (one row labelled 0 for scalars). Needs pandas; ValueError for books of more than one
        dimension."""
        import pandas as pd

        columns = {name: getattr(self, name) for name in _FIELDS}
        shape = np.shape(self.price)
        if len(shape) > 1:
            raise ValueError(f"to_frame needs results of one dimension, these have shape {shape}")
        return pd.DataFrame(columns, index=self.index if shape else [0])


# The kernel fills Valuations directly.
_kernel.set_result_type(Valuation)


def value(spot: Numbers, strike: Numbers, years: Numbers, rate: Numbers, vol: Numbers, *,
          option_type: OptionTypes, exercise: ExerciseStyles = "european", dividend_yield: Numbers = 0.0,
          method: Literal["analytic", "fdm", "spectral"] | None = None, nodes: int = _arguments.NODES,
          time_steps: int = _arguments.TIME_STEPS, grid_std_devs: float = _arguments.GRID_STD_DEVS,
          precision: Literal["standard", "high"] = "standard",
          threads: int | None = None, progress: bool | _progress.Report = False,
          errors: Literal["raise", "nan"] = "raise", bumped_vega_rho: bool = False,
          dividend_times: Numbers | None = None, dividend_amounts: Numbers | None = None) -> Valuation:
    """Values a book of European and American calls and puts: prices and greeks.

    The per-option arguments (``spot`` to ``vol``, ``option_type``, ``exercise``,
    ``dividend_yield``) are scalars or array-likes that broadcast together with numpy's rules;
    the outputs have the broadcast shape. The caller's arrays are read, never written, and not
    copied when they are float64 already. With ``dividend_yield`` 0, each option's results are
    bit for bit those of ``sorvik``'s ``compute()`` for the same option, market and method, but
    in closed form at ``years`` or ``vol`` 0 (the sure value, where ``compute()`` gives NaN) and
    for out-of-the-money prices below 1/32 of S·e^(−qT) + K·e^(−rT) (price and vega to full
    relative precision, where the textbook formula loses it).

    Args:
        spot: price of the underlying, positive.
        strike: strike, positive, in the currency of the spot.
        years: time to expiry in years, Actual/365 Fixed (``year_fraction`` gives it from
            dates), zero or more; numpy ``timedelta64`` values count as days / 365 (not a time,
            ``NaT``, is NaN).
        rate: risk-free rate, continuously compounded, a fraction per year (0.05 for 5 %).
        vol: volatility, a fraction per year (0.2 for 20 %), zero or more.
        option_type: ``sorvik.OptionType.Call`` or ``Put``, ``"call"`` or ``"put"`` (or ``"c"``
            and ``"p"``; any case, as str or bytes), or an array of those.
        exercise: ``sorvik.ExerciseStyle.European`` or ``American``, ``"european"`` or
            ``"american"``, or an array of those.
        dividend_yield: continuous dividend yield q, a fraction per year: Merton's formula in
            closed form, a drift of r − q on the grid.
        method: None values Europeans in closed form and Americans with the exercise-boundary
            engine, or on the grid where it does not apply (two exercise boundaries: a put with
            q < r < 0, a call with r < q < 0; a drift over the option's life beyond 7 standard
            deviations; nothing random). Unlike ``sorvik.Config()``, which prices American calls
            in closed form: with a dividend yield they may be exercised early. ``"spectral"``
            asks for the engine (Europeans in closed form; an American with two boundaries is an
            unusable element); ``"analytic"`` values every option in closed form (an American
            gets the European value); ``"fdm"`` every option on the grid.
        nodes: grid nodes in ln S, at least 3; an even count is raised by one.
        time_steps: grid time steps, at least 1.
        grid_std_devs: half-width of the grid in standard deviations σ√T, positive and finite.
        precision: the exercise-boundary engine's level: ``"standard"`` (within about
            1e-8·max(spot, strike)) or ``"high"`` (about 1e-10, three to four times the work).
        threads: at most this many workers of the process's pool (started on first use, shared
            by concurrent calls); None uses every core the process may run on, and more than
            that counts as that many. Small closed-form calls run on the calling thread.
            Results do not depend on it, bit for bit.
        progress: False for none; True for a bar on stderr (tqdm's when it is installed, a plain
            one otherwise; also when stderr is not a terminal); numpy's bools alike; or a
            callable that receives ``(done, total)`` counted in options a few times a second,
            ending with ``(total, total)``. An exception it raises stops the workers and
            propagates.
        errors: ``"raise"`` refuses the book at its first unusable element; ``"nan"`` values
            the usable elements and puts NaN in every output of the others.
        dividend_times: ex-dividend times of cash dividends, in years from valuation (Actual/365
            Fixed, like ``years``; ``year_fraction`` gives them from dates), and
        dividend_amounts: their cash amounts, in the currency of the spot: float arrays of one
            shape whose last axis lists an option's dividends, their leading axes broadcasting
            with the book (a 1-D pair gives every option the same dividends; an (n, D) pair each
            of n options its own). A NaN time is padding, whatever its amount; an amount of 0 no
            dividend; a time at or before 0 or after ``years`` is none for that option; one at
            exactly ``years`` is paid before the payoff. Times need not be sorted; equal times
            add up. The stock drops by the amount at its time (the volatility applies to the
            whole stock price); ``dividend_yield`` still applies. An option with a dividend
            inside its life is valued on the grid under ``method=None`` or ``"fdm"``, European or
            American; ``"analytic"`` and ``"spectral"`` refuse it (a bad element). See the
            market page of the documentation.
        bumped_vega_rho: grid vega and rho by central differences (σ ± 1e-4, r ± 1e-4) on the
            option's own grid, held fixed: four more grid valuations per option, five times the
            grid work. Without it, grid vega and rho are NaN. Closed-form vega and rho are
            always exact.

    Returns:
        The prices and greeks; floats when every input is a scalar. When the inputs include
        pandas Series, they are read by their index (the same labels in another order are read
        in the first Series' order) and a one-dimensional result carries that index
        (``Valuation.index``, ``Valuation.to_frame()``).

    Raises:
        ValueError: under ``errors="raise"``, an unusable element, naming the argument, the
            first offending index (a tuple for more than one dimension), the value and why:
            "vol at index 1 is -0.1: must be a finite number >= 0" (non-positive spot or
            strike, negative years or vol, any NaN or infinite input), "option_type at index 1:
            unknown value 'cal' (expected 'call', 'put', 'c' or 'p')"; a spot / strike that
            overflows or underflows ("spot at index 1 is 1e+308: spot / strike must be a
            positive finite number"); on the grid, an element whose grid would reach spots
            beyond the largest float (grid_std_devs·σ√T, or the distance from the strike to the
            spot, of more than about 700 in ln S: "vol at index 2 is 40.0: the grid, ...").
            In both modes: shapes that do not broadcast ("shapes do not broadcast together:
            spot (2,), vol (3,)"), more elements than an array can hold, pandas Series with
            different labels, an unknown ``method`` or ``errors``, ``threads`` or
            ``time_steps`` below 1, ``nodes`` below 3, a ``grid_std_devs`` that is not
            positive and finite, a ``precision`` other than the two levels. With
            ``method="spectral"``, an American with two exercise boundaries ("rate at index 1
            is -0.01: with this rate and dividend yield ... early exercise may pay in two
            separate regions, ...").
        TypeError: an argument of the wrong kind, named: numbers that are not numbers, or that
            would lose something on the way to floats (booleans, complex numbers, datetime64,
            a timedelta64 other than ``years``, a masked array, whose masked elements would be
            valued); an option type that is neither member, string nor array; a ``progress``
            that is not a bool or a callable.
        KeyboardInterrupt: Ctrl-C; the workers stop within a fraction of a second.
        MemoryError: results, or the grids every worker builds at once, that would not fit in
            the memory the process may use, saying how much they need, before anything is
            allocated.
        RuntimeError: no worker thread could be started, or the process forked during the
            call and this is the child.

    One option of plain numbers (Python or numpy) and words or members skips the array
    machinery. Otherwise the work runs without the interpreter lock on the pool's workers, grid
    options four at a time, grouped by kind across the book; the calling thread wakes a few
    times a second to check for signals and report progress. Meanwhile the inputs are read
    where they are: they must not be resized (``ndarray.resize``, which numpy allows only with
    its reference check turned off) until the call returns, from a progress callable or
    another thread.
    """
    # One plain option skips the array machinery; the kernel declines (None) whatever is not plain.
    if dividend_times is None and dividend_amounts is None:
        one = _kernel.value_scalar(spot, strike, years, rate, vol, option_type, exercise, dividend_yield, method,
                                   nodes, time_steps, grid_std_devs, precision, threads, progress, errors,
                                   bumped_vega_rho)
        if one is not None:
            return cast(Valuation, one)
    return _value_arrays(spot, strike, years, rate, vol, option_type, exercise, dividend_yield, method, nodes,
                         time_steps, grid_std_devs, precision, threads, progress, errors, bumped_vega_rho,
                         dividend_times, dividend_amounts)


def _value_arrays(spot: Numbers, strike: Numbers, years: Numbers, rate: Numbers, vol: Numbers,
                  option_type: OptionTypes, exercise: ExerciseStyles, dividend_yield: Numbers,
                  method: str | None, nodes: int, time_steps: int, grid_std_devs: float, precision: str,
                  threads: int | None,
                  progress: bool | _progress.Report, errors: str, bumped_vega_rho: bool,
                  dividend_times: Numbers | None = None, dividend_amounts: Numbers | None = None) -> Valuation:
    """value() on inputs of any kind: every rule and refusal, worded."""
    settings = _kernel.Settings(method, nodes, time_steps, grid_std_devs, precision, threads, errors, bumped_vega_rho)
    values, index = _arguments.align(
        {"spot": spot, "strike": strike, "years": years, "rate": rate, "vol": vol, "dividend_yield": dividend_yield,
         "option_type": option_type, "exercise": exercise})
    numbers = tuple(_arguments.numbers(name, values[name]) for name in _NUMBERS)
    kinds = (_arguments.kinds("option_type", values["option_type"]), _arguments.kinds("exercise", values["exercise"]))
    numbers, dividends = _dividends.for_book(numbers, kinds, _NUMBERS.index("years"), method, errors,
                                             dividend_times, dividend_amounts)
    report, close = _progress.reporter(progress, "valuing")
    try:
        result = _kernel.value_book(settings, numbers, kinds, index, report, dividends.pair if dividends else None)
    finally:
        close()
    if isinstance(result, tuple):
        raise _arguments.element_error(result, values)
    return cast(Valuation, _dividends.left_out(result, dividends.unusable if dividends else None))
