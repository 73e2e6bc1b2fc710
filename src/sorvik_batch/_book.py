"""value(): a book of options priced on every core."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Union

import numpy as np

from . import _arguments, _kernel, _progress
from ._arguments import FloatArray

Floats = Union[FloatArray, float]

_NUMBERS = ("spot", "strike", "years", "rate", "vol", "dividend_yield")
_CODES = ("option_type", "exercise")


@dataclass(frozen=True)
class Valuation:
    """Prices and greeks of a book: float64 arrays of the inputs' broadcast shape (floats for scalar inputs).

    Theta is per year of calendar time, vega per unit of volatility, rho per unit of rate. Vega and
    rho of grid valuations are NaN unless ``bumped_vega_rho=True``.
    """

    price: Floats
    delta: Floats
    gamma: Floats
    theta: Floats
    vega: Floats
    rho: Floats


def value(spot: object, strike: object, years: object, rate: object, vol: object, *, option_type: object,
          exercise: object = "european", dividend_yield: object = 0.0, method: str | None = None,
          nodes: int = 1001, time_steps: int = 50, grid_std_devs: float = 6.0, threads: int | None = None,
          progress: bool | _progress.Report = False, errors: str = "raise",
          bumped_vega_rho: bool = False) -> Valuation:
    """Values a book of European and American calls and puts; see the package documentation."""
    config = _arguments.settings(method, nodes, time_steps, grid_std_devs, threads, errors)
    book = _arguments.broadcast(
        {"spot": spot, "strike": strike, "years": years, "rate": rate, "vol": vol,
         "dividend_yield": dividend_yield, "option_type": option_type, "exercise": exercise},
        _NUMBERS, _CODES, errors)
    outputs = tuple(np.empty(book.shape) for _ in range(6))
    total = int(np.prod(book.shape))
    report, close = _progress.reporter(progress, total, "valuing")
    try:
        problem = _kernel.value_book(book.shape, book.views(_NUMBERS + _CODES), outputs, config.method,
                                     config.nodes, config.time_steps, config.grid_std_devs, bool(bumped_vega_rho),
                                     config.threads, config.nan_mode, report)
    finally:
        close()
    if problem is not None:
        raise _arguments.bad_number(problem[1], problem[0], book)
    if not book.shape:
        return Valuation(*(float(o) for o in outputs))
    return Valuation(*outputs)
