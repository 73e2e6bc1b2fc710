"""Array kernels behind sorvik_batch (private): arguments are checked by the Python callers."""

from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

_Arrays = tuple[np.ndarray[Any, Any], ...]
_Outputs = tuple[npt.NDArray[np.float64], ...]
_Progress = Callable[[int, int], object] | None
# The first unusable row: (flat index, input name, status, bound, reason); status 0 is a bad
# input and `reason` why ("must be a positive finite number"), 1 to 3 a quote with no
# volatility (below the lower bound, at or above the upper bound, above the price at
# volatility 10) and `bound` the bound it failed.
_Problem = tuple[int, str, int, float, str]

def value_book(
    shape: tuple[int, ...],
    inputs: _Arrays,
    outputs: _Outputs,
    method: int,
    nodes: int,
    time_steps: int,
    grid_std_devs: float,
    bumped_vega_rho: bool,
    threads: int,
    nan_mode: bool,
    progress: _Progress,
    /,
) -> _Problem | None: ...
def implied_vol_book(
    shape: tuple[int, ...],
    inputs: _Arrays,
    outputs: _Outputs,
    method: int,
    nodes: int,
    time_steps: int,
    grid_std_devs: float,
    bumped_vega_rho: bool,
    threads: int,
    nan_mode: bool,
    progress: _Progress,
    /,
) -> tuple[_Problem | None, int]: ...
def implied_vol_scalar(
    price: object,
    spot: object,
    strike: object,
    years: object,
    rate: object,
    option_type: object,
    exercise: object,
    dividend_yield: object,
    method: object,
    nodes: object,
    time_steps: object,
    grid_std_devs: object,
    progress: object,
    errors: object,
    /,
) -> float | tuple[int, float] | None: ...
def usable_cpu_count() -> int: ...
def require_memory(bytes: int, purpose: str, /) -> None: ...
