"""Array kernels behind sorvik_batch (private): the public functions check and convert what they pass."""

from collections.abc import Callable
from typing import Any, final

_Progress = Callable[[int, int], object] | None
# The first unusable element: (flat index, argument, its value or None for a word that names
# nothing, why or the words expected, the book's shape).
_Problem = tuple[int, str, float | None, str, tuple[int, ...]]

GRID_DEFAULTS: dict[str, Any]
WORDS: dict[str, dict[Any, int]]
EXPECTED: dict[str, str]

@final
class Settings:
    def __new__(
        cls,
        method: object,
        nodes: object,
        time_steps: object,
        grid_std_devs: object,
        precision: object,
        threads: object,
        errors: object,
        bumped_vega_rho: object,
    ) -> Settings: ...

def value_book(
    settings: Settings,
    numbers: tuple[object, ...],
    kinds: tuple[object, object],
    index: object,
    progress: _Progress,
    dividends: tuple[object, object] | None,
    /,
) -> object: ...
def value_scalar(
    spot: object,
    strike: object,
    years: object,
    rate: object,
    vol: object,
    option_type: object,
    exercise: object,
    dividend_yield: object,
    method: object,
    nodes: object,
    time_steps: object,
    grid_std_devs: object,
    precision: object,
    threads: object,
    progress: object,
    errors: object,
    bumped_vega_rho: object,
    /,
) -> object: ...
def implied_vol_book(
    settings: Settings,
    numbers: tuple[object, ...],
    kinds: tuple[object, object],
    progress: _Progress,
    dividends: tuple[object, object] | None,
    /,
) -> object: ...
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
    precision: object,
    threads: object,
    progress: object,
    errors: object,
    /,
) -> float | None: ...
def kind_codes(argument: str, items: list[object], /) -> bytes: ...
def set_result_type(cls: type, /) -> None: ...
def usable_cpu_count() -> int: ...
