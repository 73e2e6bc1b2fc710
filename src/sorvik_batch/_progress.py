"""Progress reporting for long book valuations: tqdm when installed, else a plain bar."""
from __future__ import annotations

import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, NoReturn, TextIO

import numpy as np

if TYPE_CHECKING:
    from tqdm import tqdm

Report = Callable[[int, int], object]


class _PlainBar:
    """A one-line bar on a stream, rewritten in place; used when tqdm is missing."""

    def __init__(self, total: int, description: str, stream: TextIO) -> None:
        self._total, self._description, self._stream = total, description, stream
        self._shown = -1

    def __call__(self, done: int, total: int) -> None:
        percent = 100 * done // total if total else 100
        if percent == self._shown and done != total:
            return
        self._shown = percent
        filled = percent * 30 // 100
        self._stream.write(f"\r{self._description}: [{'#' * filled}{'.' * (30 - filled)}] {done}/{total}")
        if done == total:
            self._stream.write("\n")
        self._stream.flush()

    def close(self) -> None:
        pass


class _TqdmBar:
    def __init__(self, bar: tqdm[NoReturn]) -> None:
        self._bar = bar

    def __call__(self, done: int, total: int) -> None:
        self._bar.update(done - self._bar.n)

    def close(self) -> None:
        self._bar.close()


class _Bar:
    """A bar on stderr, drawn from the first report on, when the total is known."""

    def __init__(self, description: str) -> None:
        self._description = description
        self._bar: _PlainBar | _TqdmBar | None = None

    def __call__(self, done: int, total: int) -> None:
        if self._bar is None:
            try:
                from tqdm import tqdm
            except ImportError:
                self._bar = _PlainBar(total, self._description, sys.stderr)
            else:
                self._bar = _TqdmBar(tqdm(total=total, desc=self._description, unit="option", file=sys.stderr,
                                          dynamic_ncols=True))
        self._bar(done, total)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def reporter(progress: bool | Report, description: str) -> tuple[Report | None, Callable[[], None]]:
    """The callable the kernel reports (done, total) to, and what closes it afterwards.

    ``progress`` is False (no reporting), True (a bar on stderr, also when it is not a
    terminal) or a callable that receives the counts itself; numpy's booleans count as bools.
    """
    if isinstance(progress, (bool, np.bool_)):
        if not progress:
            return None, _nothing
        bar = _Bar(description)
        return bar, bar.close
    if callable(progress):
        return progress, _nothing
    raise TypeError(f"progress must be True, False or a callable taking (done, total), not {type(progress).__name__}")


def _nothing() -> None:
    pass
