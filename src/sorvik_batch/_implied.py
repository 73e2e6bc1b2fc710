"""implied_vol(): from quoted prices back to volatilities."""
from __future__ import annotations

import numpy as np

from . import _arguments, _kernel, _progress
from ._arguments import FloatArray

_NUMBERS = ("price", "spot", "strike", "years", "rate", "dividend_yield")
_CODES = ("option_type", "exercise")

_NO_SOLUTION = {
    1: "below the lower bound {bound!r} (the value at zero volatility)",
    2: "at or above the upper bound {bound!r}",
    3: "above {bound!r}, the price at volatility 10: no volatility in [0, 10] reaches it",
}


def no_solution(index: str, price: float, status: int, bound: float) -> ValueError:
    # + 0.0: a bound of -0.0 reads as 0.0
    return ValueError(f"price{index} is {price!r}: {_NO_SOLUTION[status].format(bound=bound + 0.0)}")


def implied_vol(price: object, spot: object, strike: object, years: object, rate: object, *, option_type: object,
                exercise: object = "european", dividend_yield: object = 0.0, method: str | None = None,
                nodes: int = 1001, time_steps: int = 50, grid_std_devs: float = 6.0, threads: int | None = None,
                progress: bool | _progress.Report = False, errors: str = "raise") -> FloatArray | float:
    """Implied volatilities of quoted prices; see the package documentation."""
    # One plain quote skips the array machinery.
    scalar = _kernel.implied_vol_scalar(price, spot, strike, years, rate, option_type, exercise, dividend_yield,
                                        method, nodes, time_steps, grid_std_devs, progress, errors)
    if isinstance(scalar, float):
        return scalar
    if scalar is not None:
        raise no_solution("", float(price), *scalar)  # type: ignore[arg-type]
    config = _arguments.settings(method, nodes, time_steps, grid_std_devs, threads, errors)
    book = _arguments.broadcast(
        {"price": price, "spot": spot, "strike": strike, "years": years, "rate": rate,
         "dividend_yield": dividend_yield, "option_type": option_type, "exercise": exercise},
        _NUMBERS, _CODES, errors)
    out = np.empty(book.shape)
    report, close = _progress.reporter(progress, int(np.prod(book.shape)), "implied volatilities")
    try:
        problem, _ = _kernel.implied_vol_book(book.shape, book.views(_NUMBERS + _CODES), (out,), config.method,
                                              config.nodes, config.time_steps, config.grid_std_devs, False,
                                              config.threads, config.nan_mode, report)
    finally:
        close()
    if problem is not None:
        flat, name, status, bound = problem
        if status == 0:
            raise _arguments.bad_number(name, flat, book)
        quote = float(book.inputs["price"].flat[flat]) if book.shape else float(book.inputs["price"])
        raise no_solution(_arguments.index_text(flat, book.shape), quote, status, bound)
    return float(out) if not book.shape else out
