"""Books on a Dask cluster: each partition valued by ``sorvik_batch.value`` on a worker.

Needs the ``cluster`` extra (``pip install '.[cluster]'`` in sorvik's source tree); Dask is
imported only when a function here runs. On a worker, a partition is valued on that worker's
own thread count (its ``nthreads``), not on every core of the host.

    import dask.dataframe as dd
    from sorvik_batch.cluster import value_frame

    value_frame(dd.read_parquet("book/")).to_parquet("valued/")
"""
from __future__ import annotations

import contextlib
import math
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _kernel
from ._arguments import FloatArray
from ._columns import OUTPUTS, TEXT, value_columns

__all__ = ["value_frame", "value_partition"]

if TYPE_CHECKING:
    import dask.dataframe as dd
    import pandas as pd

# A partition stays small enough to move between processes cheaply and to show progress.
_PARTITION_ROWS = 100_000
_PARTITIONS_PER_THREAD = 4


def value_partition(frame: pd.DataFrame, **settings: Any) -> pd.DataFrame:
    """``frame`` with ``price``, ``delta``, ``gamma``, ``theta``, ``vega`` and ``rho`` appended.

    The frame has the columns spot, strike, years, rate, vol, option_type and exercise, and
    optionally dividend_yield and method (blank or missing: the default method). Keywords go to
    ``sorvik_batch.value`` (``errors``, ``nodes``, ``time_steps``, ...); ``threads`` defaults to
    the Dask worker's thread count. With ``errors="raise"`` a bad row raises ValueError naming
    the row by its label in the frame's index.
    """
    columns: dict[str, Any] = {str(name): column for name, column in frame.items()}
    for name in TEXT:  # pandas marks missing text as NA or NaN: a blank here
        if name in columns:
            columns[name] = columns[name].to_numpy(dtype=object, na_value="")
    return frame.assign(**_value_on_worker(columns, list(frame.index), **settings))


def value_frame(book: dd.DataFrame, **settings: Any) -> dd.DataFrame:
    """``book.map_partitions(value_partition, ...)`` with the output columns declared to Dask."""
    meta = {**book.dtypes.to_dict(), **dict.fromkeys(OUTPUTS, "f8")}
    return book.map_partitions(value_partition, meta=meta, **settings)


def _value_on_worker(columns: dict[str, Any], rows: Sequence[object], *, threads: int | None = None,
                     **settings: Any) -> dict[str, FloatArray]:
    return value_columns(columns, rows, threads=_worker_threads() if threads is None else threads, **settings)


def _worker_threads() -> int | None:
    """The Dask worker's thread count, or None (every core) outside a worker."""
    try:
        from distributed import get_worker
    except ImportError:
        return None
    try:
        return int(get_worker().state.nthreads)
    except ValueError:  # not running on a worker
        return None


def run_on_cluster(inputs: dict[str, Any], count: int, *, scheduler: str | None, workers: int | None,
                   threads: int | None, errors: str, progress: Callable[[int, int], object] | None
                   ) -> dict[str, FloatArray]:
    """Values a book's input columns in partitions on the cluster at ``scheduler``, or on a local
    one of ``workers`` processes started for the purpose; errors name rows from 1."""
    outputs = {name: np.empty(count) for name in OUTPUTS}
    with _client(scheduler, workers) as client:
        from distributed import as_completed

        total_threads = sum(client.nthreads().values())
        parts = max(1, min(count, max(_PARTITIONS_PER_THREAD * total_threads, math.ceil(count / _PARTITION_ROWS))))
        bounds = np.linspace(0, count, parts + 1).astype(int).tolist()
        spans = list(zip(bounds[:-1], bounds[1:]))
        data = client.scatter([{name: column[a:b] for name, column in inputs.items()} for a, b in spans])
        futures = client.map(_value_on_worker, data, [range(a + 1, b + 1) for a, b in spans], threads=threads,
                             errors=errors)
        span_of = {future.key: span for future, span in zip(futures, spans)}
        done = 0
        for future in as_completed(futures):
            a, b = span_of[future.key]
            for name, column in future.result().items():
                outputs[name][a:b] = column
            done += b - a
            if progress is not None:
                progress(done, count)
    return outputs


@contextlib.contextmanager
def _client(scheduler: str | None, workers: int | None) -> Iterator[Any]:
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise ImportError("a Dask cluster needs dask and distributed: install sorvik with its cluster extra "
                          "(pip install '.[cluster]' in its source tree)") from None
    if scheduler is not None:
        with Client(scheduler) as client:
            yield client
        return
    # Each worker process gets its share of the cores, so partitions do not compete for them.
    threads_per_worker = max(1, _kernel.usable_cpu_count() // (workers or 1))
    with LocalCluster(n_workers=workers, threads_per_worker=threads_per_worker, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        yield client
