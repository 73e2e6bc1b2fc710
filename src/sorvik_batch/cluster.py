"""Books on a Dask cluster: each partition valued by ``sorvik_batch.value`` on a worker.

Needs the ``cluster`` extra (``pip install '.[cluster]'`` in sorvik's source tree); Dask is
imported only when a function here runs. On a worker, a partition is valued on that worker's
own thread count (its ``nthreads``), not on every core of the host.

    import dask.dataframe as dd
    from sorvik_batch.cluster import value_frame

    value_frame(dd.read_parquet("book/")).to_parquet("valued/")
"""
from __future__ import annotations

import concurrent.futures
import contextlib
import logging
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


class ClusterError(RuntimeError):
    """A cluster could not value a book: a partition lost with its workers, or a failure on a
    worker other than a bad row (which raises ValueError naming the row)."""


def _value_on_worker(columns: dict[str, Any], rows: Sequence[object], *, threads: int | None = None,
                     **settings: Any) -> dict[str, FloatArray]:
    try:
        return value_columns(columns, rows, threads=_worker_threads() if threads is None else threads, **settings)
    except Exception:
        raise
    except BaseException as fault:
        # An internal fault is a BaseException, which a worker does not report: the client would
        # wait for the partition for ever. Sent back as an ordinary failure, it ends the run.
        raise RuntimeError(f"{type(fault).__name__}: {fault}") from None


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
                   threads: int | None, errors: str, progress: Callable[[int, int], object] | None,
                   **settings: Any) -> dict[str, FloatArray]:
    """Values a book's input columns in partitions on the cluster at ``scheduler``, or on a local
    one of ``workers`` processes started for the purpose; errors name rows from 1.

    A partition lost with a worker (its data or its result, which live only there) is sent
    once more. A bad row raises ValueError; a partition lost twice, or a failure on a worker
    other than a bad row, raises ClusterError, in one line. Other keywords go to ``value``.
    """
    outputs = {name: np.empty(count) for name in OUTPUTS}
    with _client(scheduler, workers) as client:
        from distributed import as_completed

        total_threads = sum(client.nthreads().values())
        parts = max(1, min(count, max(_PARTITIONS_PER_THREAD * total_threads, math.ceil(count / _PARTITION_ROWS))))
        bounds = np.linspace(0, count, parts + 1).astype(int).tolist()
        spans = list(zip(bounds[:-1], bounds[1:]))

        def send(chosen: list[tuple[int, int]], failure: str) -> list[Any]:
            try:
                data = client.scatter([{name: column[a:b] for name, column in inputs.items()} for a, b in chosen],
                                      hash=False)
            except OSError:  # a worker lost on the way
                raise ClusterError(failure) from None
            return list(client.map(_value_on_worker, data, [range(a + 1, b + 1) for a, b in chosen], threads=threads,
                                   errors=errors, pure=False, **settings))

        futures = send(spans, "the book could not be sent to the workers")
        span_of = {future.key: span for future, span in zip(futures, spans)}
        running = as_completed(futures)
        del futures  # each result is let go once it is read
        sent_again: set[tuple[int, int]] = set()
        done = 0
        # Leaving early closes the client, and with it every partition still running.
        for future in running:
            span = span_of.pop(future.key)
            result = _partition_result(future, span, span in sent_again)
            if result is None:  # lost with a worker: once more, unless the scheduler went too
                if client.status != "running":
                    raise ClusterError(f"lost the connection to the scheduler at {client.scheduler.address}")
                sent_again.add(span)
                (again,) = send([span], f"{_rows(span)}: lost with the workers valuing them, twice")
                span_of[again.key] = span
                running.add(again)
                continue
            for name, column in result.items():
                outputs[name][span[0]:span[1]] = column
            done += span[1] - span[0]
            if progress is not None:
                progress(done, count)
    return outputs


def _partition_result(future: Any, span: tuple[int, int], sent_again: bool) -> dict[str, FloatArray] | None:
    """A partition's outputs, or None when a worker was lost with it for the first time. Its
    bad row's ValueError as it is; a second loss, or any other failure, as one ClusterError
    naming the partition's rows."""
    from distributed import KilledWorker

    where = _rows(span)
    try:
        result: dict[str, FloatArray] = future.result()
    except ValueError:
        raise
    except (KilledWorker, concurrent.futures.CancelledError):
        if not sent_again:
            return None
        raise ClusterError(f"{where}: lost with the workers valuing them, twice") from None
    except Exception as error:
        raise ClusterError(f"{where}: {_first_line(error)}") from None
    return result


def _rows(span: tuple[int, int]) -> str:
    return f"rows {span[0] + 1} to {span[1]}"


def _first_line(error: Exception) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


@contextlib.contextmanager
def _client(scheduler: str | None, workers: int | None) -> Iterator[Any]:
    """A client of the cluster at `scheduler`, or of a local one of `workers` processes. The
    cluster's own reports (a bad row's "Compute Failed" with a traceback, a lost worker or
    scheduler) stay quiet: the command says what matters in one line."""
    try:
        from distributed import Client, LocalCluster
        from distributed.utils import silence_logging_cmgr
    except ImportError:
        raise ImportError("a Dask cluster needs dask and distributed: install sorvik with its cluster extra "
                          "(pip install '.[cluster]' in its source tree)") from None
    with silence_logging_cmgr(logging.CRITICAL):
        if scheduler is not None:
            with Client(scheduler) as client:
                yield client
            return
        # Each worker process gets its share of the cores, so partitions do not compete for them.
        threads_per_worker = max(1, _kernel.usable_cpu_count() // (workers or 1))
        with (LocalCluster(n_workers=workers, threads_per_worker=threads_per_worker, processes=True,
                           dashboard_address=":0", silence_logs=logging.CRITICAL) as cluster,
              Client(cluster) as client):
            yield client
