"""python -m sorvik_batch price: CSV and Parquet books, rows by method, bad rows by row, Dask clusters."""
import csv
import errno
import logging
import os
import re
import signal
import stat
import subprocess
import sys
import time

import numpy as np
import pytest

import sorvik_batch as sb
from sorvik_batch import _files
from sorvik_batch.__main__ import main
from sorvik_batch._columns import value_columns
from conftest import fault_class

INPUTS = ("spot", "strike", "years", "rate", "vol", "option_type", "exercise", "dividend_yield", "method")
OUTPUTS = ("price", "delta", "gamma", "theta", "vega", "rho")


def book_columns(count, seed, american_share=0.3):
    """Columns of a book as CSV text, with every method and two carried columns."""
    rng = np.random.default_rng(seed)
    numbers = dict(spot=rng.uniform(50, 150, count), strike=rng.uniform(60, 140, count),
                   years=rng.uniform(0.01, 3, count), rate=rng.uniform(-0.02, 0.1, count),
                   vol=rng.uniform(0.05, 0.8, count), dividend_yield=rng.uniform(0, 0.05, count))
    columns = {"id": [f"T{i}" for i in range(count)]}
    columns.update({name: [repr(x) for x in values.tolist()] for name, values in numbers.items()})
    columns["strike"][:3] = ["100", "1e2", " 95.5 "]  # any text float() reads
    columns["option_type"] = rng.choice(["call", "put", "Put", "c", "P"], count).tolist()
    columns["exercise"] = np.where(rng.uniform(size=count) < american_share, "american", "european").tolist()
    columns["method"] = rng.choice(["", "analytic", "fdm", " FDM", "Spectral"], count,
                                   p=[0.6, 0.1, 0.1, 0.1, 0.1]).tolist()
    columns["note"] = rng.choice(['has "quotes", and a comma', "", "plain"], count).tolist()
    return columns


def write_csv(path, columns):
    with open(path, "w", newline="") as stream:
        writer = csv.writer(stream)
        writer.writerow(columns)
        writer.writerows(zip(*columns.values()))
    return path


def read_csv(path):
    limit = csv.field_size_limit(10**7)
    with open(path, newline="") as stream:
        rows = list(csv.reader(stream))
    csv.field_size_limit(limit)
    return {name: list(column) for name, column in zip(rows[0], zip(*rows[1:]))}


def expected_row(columns, i, **settings):
    """One row valued on its own with its method: the result the book's row must carry, bit for bit."""
    numbers = {name: float(columns[name][i]) for name in INPUTS[:5] + ("dividend_yield",)}
    method = columns["method"][i].strip().lower() or None
    return sb.value(**numbers, option_type=columns["option_type"][i], exercise=columns["exercise"][i], method=method,
                    **settings)


def assert_same_bits(actual, expected):
    bits = [np.asarray(values, dtype=np.float64).view(np.uint64) for values in (actual, expected)]
    np.testing.assert_array_equal(*bits)


def price(*args):
    return main(["price", *map(str, args), "--no-progress"])


# ---------------------------------------------------------------- files


@pytest.mark.parametrize("switch, settings", [([], {}), (["--bumped-vega-rho"], {"bumped_vega_rho": True}),
                                             (["--precision", "high"], {"precision": "high"})])
def test_csv_round_trip_carries_every_cell_and_gives_each_row_its_methods_exact_results(tmp_path, capsys, switch,
                                                                                        settings):
    columns = book_columns(400, seed=1)  # every method, in any order
    columns["note"][7] = "long " * 40_000  # longer than the csv module's default field limit
    assert main(["price", str(write_csv(tmp_path / "book.csv", columns)), "--out", str(tmp_path / "out.csv"),
                 *switch]) == 0
    assert "400/400" in capsys.readouterr().err  # the progress bar, counting options
    result = read_csv(tmp_path / "out.csv")
    assert list(result) == list(columns) + list(OUTPUTS)
    assert all(result[name] == columns[name] for name in columns)
    for i in range(400):
        expected = expected_row(columns, i, **settings)
        assert_same_bits([float(result[name][i]) for name in OUTPUTS], [getattr(expected, n) for n in OUTPUTS])
    bumped = settings.get("bumped_vega_rho", False)
    assert np.isnan([float(x) for x in result["vega"]]).any() != bumped  # grid rows have vega only when asked


@pytest.mark.parametrize("output", ["out.parquet", "out.csv"])
def test_parquet_books_keep_their_column_types(tmp_path, output):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    columns = book_columns(50, seed=2)
    table = pa.table({"id": pa.array(range(50), pa.int64()),
                      **{name: pa.array([float(x) for x in columns[name]]) for name in INPUTS[:5]},
                      "option_type": columns["option_type"], "exercise": columns["exercise"],
                      "method": [m or None for m in columns["method"]]})  # nulls are the default method
    pq.write_table(table, tmp_path / "book.parquet")
    assert price(tmp_path / "book.parquet", "--out", tmp_path / output) == 0
    if output.endswith(".parquet"):
        result = pq.read_table(tmp_path / output)
        assert result.schema.field("id").type == pa.int64() and result.column("id").to_pylist() == list(range(50))
        values = {name: result.column(name).to_numpy() for name in OUTPUTS}
    else:
        result = read_csv(tmp_path / output)
        assert result["id"] == [str(i) for i in range(50)] and result["method"][:50].count("") > 0
        values = {name: np.array([float(x) for x in result[name]]) for name in OUTPUTS}
    columns["dividend_yield"] = ["0.0"] * 50
    for i in range(50):
        expected = expected_row(columns, i)
        assert_same_bits([values[name][i] for name in OUTPUTS], [getattr(expected, n) for n in OUTPUTS])


def test_parquet_without_pyarrow_names_the_extra(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # import pyarrow now fails
    write_csv(tmp_path / "book.csv", book_columns(3, seed=3))
    assert price(tmp_path / "book.csv", "--out", tmp_path / "out.parquet") == 1
    assert "Parquet files need pyarrow: install sorvik with its cluster extra" in capsys.readouterr().err
    assert not (tmp_path / "out.parquet").exists()


# ---------------------------------------------------------------- bad books


def bad_book(row, column, text):
    columns = book_columns(12, seed=4, american_share=1.0)
    columns["method"] = ["", "analytic", "fdm"] * 4  # row 12 (index 11) is the fourth fdm row
    columns[column][row - 1] = text
    return columns


@pytest.mark.parametrize(
    "row, column, text, message",
    [
        (3, "vol", "-0.1", "vol at row 3 is -0.1: must be a finite number >= 0"),
        (12, "spot", "0", "spot at row 12 is 0.0: must be a positive finite number"),
        (11, "dividend_yield", "inf", "dividend_yield at row 11 is inf: must be a finite number"),
        (5, "option_type", "cal", "option_type at row 5: unknown value 'cal' (expected 'call', 'put', 'c' or 'p')"),
        (7, "exercise", "bermudan", "exercise at row 7: unknown value 'bermudan' (expected 'american' or 'european')"),
        (8, "method", "tree", "method at row 8: unknown value 'tree' (expected 'analytic', 'fdm', 'spectral' or blank)"),
        (9, "strike", "abc", "strike at row 9 is 'abc': not a number"),
        (2, "years", "", "years at row 2 is '': not a number"),
        (6, "strike", "1_00", "strike at row 6 is '1_00': not a number"),  # float() would read 100
        (10, "spot", "１００", "spot at row 10 is '１００': not a number"),
        (1, "rate", "9" * 49 + "%", f"rate at row 1 is {'9' * 40!r}... (50 characters): not a number"),
    ],
)
def test_bad_rows_are_named_by_data_row_column_and_why(tmp_path, capsys, row, column, text, message):
    book = write_csv(tmp_path / "book.csv", bad_book(row, column, text))
    assert price(book, "--out", tmp_path / "out.csv") == 1
    assert capsys.readouterr().err == f"python -m sorvik_batch: error: {message}\n"
    assert not (tmp_path / "out.csv").exists()
    assert price(book, "--out", tmp_path / "out.csv", "--errors", "nan") == 0
    values = {name: np.array([float(x) for x in read_csv(tmp_path / "out.csv")[name]]) for name in OUTPUTS}
    assert all(np.isnan(values[name][row - 1]) for name in OUTPUTS)
    assert not np.isnan(np.delete(values["price"], row - 1)).any()


@pytest.mark.parametrize(
    "content, message",
    [
        ("", "'{path}' is empty: a book starts with a header row"),
        ("spot,strike,years,rate,option_type,exercise\n", "missing column: vol"),
        ("spot,strike,years,rate,vol,option_type,exercise,price\n", "the book already has a column named price: "
                                                                    "the results would overwrite it"),
        ("spot,spot,strike,years,rate,vol,option_type,exercise\n", "the header repeats spot"),
        ("spot;strike;years;rate;vol;option_type;exercise\n1;1;1;0;0.2;put;european\n",
         "missing columns: spot, strike, years, rate, vol, option_type, exercise (found "
         "'spot;strike;years;rate;vol;option_type;exercise'; columns are separated by commas)"),
        ("spot,strike,years,rate,vol,option_type,exercise\n1,1,1,0,0.2,put,european\n1,1\n",
         "row 2 has 2 fields, the header 7"),
    ],
)
def test_malformed_books_are_refused(tmp_path, capsys, content, message):
    path = tmp_path / "book.csv"
    path.write_text(content)
    assert price(path, "--out", tmp_path / "out.csv") == 1
    assert capsys.readouterr().err == f"python -m sorvik_batch: error: {message.format(path=path)}\n"


def test_blank_optional_numbers_are_their_defaults(tmp_path):
    pa = pytest.importorskip("pyarrow")
    columns = book_columns(6, seed=5)
    zeros, columns["dividend_yield"] = dict(columns, dividend_yield=["0"] * 6), ["", " "] * 3
    pa.parquet.write_table(pa.table({**{n: [float(x) for x in zeros[n]] for n in INPUTS[:5]}, "dividend_yield":
                                     pa.nulls(6, pa.float64()), **{n: zeros[n] for n in INPUTS[5:7] + ("method",)}}),
                           tmp_path / "nulls.parquet")
    for book in (write_csv(tmp_path / "zeros.csv", zeros), write_csv(tmp_path / "blanks.csv", columns),
                 tmp_path / "nulls.parquet"):
        assert price(book, "--out", tmp_path / f"{book.stem}_out.csv") == 0
    valued = [read_csv(tmp_path / f"{name}_out.csv") for name in ("zeros", "blanks", "nulls")]
    assert all(v[name] == valued[0][name] for v in valued for name in OUTPUTS)


def test_parquet_with_repeated_columns_is_refused_by_name(tmp_path, capsys):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    pq.write_table(pa.Table.from_arrays([pa.array([1.0])] * 8, names=["spot", *INPUTS[:7]]), tmp_path / "b.parquet")
    assert price(tmp_path / "b.parquet", "--out", tmp_path / "out.csv") == 1
    assert capsys.readouterr().err == "python -m sorvik_batch: error: the header repeats spot\n"


def test_command_fails_with_one_line_and_no_traceback(tmp_path):
    book = write_csv(tmp_path / "book.csv", bad_book(4, "vol", "nan"))
    run = subprocess.run([sys.executable, "-m", "sorvik_batch", "price", str(book), "--out", str(tmp_path / "o.csv")],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 1 and run.stdout == ""
    assert run.stderr.endswith("python -m sorvik_batch: error: vol at row 4 is nan: must be a finite number >= 0\n")


# ---------------------------------------------------------------- results: whole or nothing


def leftovers(folder):
    return sorted(path.name for path in folder.iterdir() if path.name.endswith(".tmp"))


@pytest.mark.parametrize("route", ["same", "relative", "symlink", "hardlink"])
def test_result_naming_the_book_is_refused_before_any_work(tmp_path, monkeypatch, capsys, route):
    book = write_csv(tmp_path / "book.csv", book_columns(20, seed=9))
    before = book.read_bytes()
    out = {"same": book, "relative": tmp_path / "no_such_folder" / ".." / "book.csv", "symlink": tmp_path / "link.csv",
           "hardlink": tmp_path / "hard.csv"}[route]
    if route in ("symlink", "hardlink"):
        (out.symlink_to if route == "symlink" else out.hardlink_to)(book)
    monkeypatch.setattr(_files, "read_book", lambda *_: pytest.fail("the book was read"))
    assert price(book, "--out", out) == 1
    assert capsys.readouterr().err == (f"python -m sorvik_batch: error: RESULT {str(out)!r} is the book itself: "
                                       "write the results to another file\n")
    assert book.read_bytes() == before and not leftovers(tmp_path)


@pytest.mark.parametrize("existing", [False, True])
@pytest.mark.parametrize("form, writer, error, status", [
    (".csv", "_write_csv", OSError(errno.ENOSPC, "No space left on device"), 1),
    (".csv", "_write_csv", KeyboardInterrupt(), 130),
    (".parquet", "_write_parquet", OSError(errno.EFBIG, "File too large"), 1),
], ids=["disk_full", "ctrl_c_while_writing", "parquet_too_large"])
def test_a_write_that_fails_leaves_result_as_it_was(tmp_path, monkeypatch, form, writer, error, status, existing):
    if form == ".parquet":
        pytest.importorskip("pyarrow")
    book, out = write_csv(tmp_path / "book.csv", book_columns(30, seed=10)), tmp_path / f"result{form}"
    if existing:
        out.write_text("what was there")

    def fail_half_way(path, *_):
        path.write_text("spot,strike\n1,")
        raise error
    monkeypatch.setattr(_files, writer, fail_half_way)
    assert price(book, "--out", out) == status
    assert (out.read_text() == "what was there") if existing else not out.exists()
    assert not leftovers(tmp_path)


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_signals_during_a_run_leave_result_as_it_was(tmp_path, signum, status):
    columns = book_columns(20_000, seed=11, american_share=1.0)  # seconds on the grid
    book, out = write_csv(tmp_path / "book.csv", columns), tmp_path / "result.csv"
    out.write_text("what was there")
    run = subprocess.Popen([sys.executable, "-m", "sorvik_batch", "price", str(book), "--out", str(out),
                            "--no-progress"], stderr=subprocess.PIPE, text=True)
    try:
        while not leftovers(tmp_path):  # the temporary file: the run has begun
            assert run.poll() is None, run.stderr.read()
            time.sleep(0.01)
        time.sleep(0.2)
        run.send_signal(signum)
        _, err = run.communicate(timeout=60)
    finally:
        run.kill()
    assert run.returncode == status
    assert err == f"python -m sorvik_batch: {'interrupted' if status == 130 else 'terminated'}\n"
    assert out.read_text() == "what was there" and not leftovers(tmp_path)


def test_result_gets_the_permissions_open_would_give(tmp_path):
    book = write_csv(tmp_path / "book.csv", book_columns(10, seed=12))
    new, old = tmp_path / "new.csv", tmp_path / "old.csv"
    old.write_text("old")
    old.chmod(0o604)
    umask = os.umask(0o027)
    try:
        assert price(book, "--out", new) == 0 and price(book, "--out", old) == 0
    finally:
        os.umask(umask)
    assert [stat.S_IMODE(path.stat().st_mode) for path in (new, old)] == [0o640, 0o604]
    assert read_csv(old) == read_csv(new) and not leftovers(tmp_path)


def test_a_result_that_cannot_be_written_fails_before_the_book_is_read(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(_files, "read_book", lambda *_: pytest.fail("the book was read"))
    out = tmp_path / "missing" / "x.csv"
    assert price(write_csv(tmp_path / "book.csv", book_columns(5, seed=13)), "--out", out) == 1
    assert capsys.readouterr().err == (f"python -m sorvik_batch: error: cannot write RESULT {str(out)!r}: "
                                       "No such file or directory\n")


# ---------------------------------------------------------------- Dask


@pytest.fixture(scope="module")
def distributed():
    pytest.importorskip("dask.dataframe")
    return pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client(distributed):
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.fixture(scope="module")
def large_book(tmp_path_factory):
    """10^5 rows, 1% American (on the grid) so the book takes seconds, and its in-process result."""
    folder = tmp_path_factory.mktemp("large")
    columns = book_columns(100_000, seed=6, american_share=0.01)
    columns["method"] = ["" if m == "fdm" or m == " FDM" else m for m in columns["method"]]
    book = write_csv(folder / "book.csv", columns)
    assert price(book, "--out", folder / "here.csv") == 0
    return columns, book, folder


@pytest.mark.cluster
def test_cluster_values_a_book_bit_for_bit_as_this_process(client, large_book):
    _, book, folder = large_book
    assert price(book, "--out", folder / "there.csv", "--scheduler", client.scheduler.address) == 0
    assert (folder / "there.csv").read_bytes() == (folder / "here.csv").read_bytes()


@pytest.mark.cluster
def test_workers_start_a_local_cluster(distributed, tmp_path, capfd):
    columns = book_columns(2000, seed=8)
    book = write_csv(tmp_path / "book.csv", columns)
    assert price(book, "--out", tmp_path / "here.parquet") == 0
    assert price(book, "--out", tmp_path / "there.parquet", "--workers", "2") == 0
    assert (tmp_path / "there.parquet").read_bytes() == (tmp_path / "here.parquet").read_bytes()
    columns["vol"][1234] = "-1"  # the workers' own reports of it (their processes share stderr) stay quiet
    capfd.readouterr()
    assert price(write_csv(book, columns), "--out", tmp_path / "bad.csv", "--workers", "2") == 1
    assert capfd.readouterr().err == ("python -m sorvik_batch: error: vol at row 1235 is -1.0: must be a finite "
                                      "number >= 0\n")


@pytest.mark.cluster
def test_cluster_names_bad_rows_of_any_partition(client, tmp_path, capsys):
    columns = book_columns(20_000, seed=7, american_share=0)
    columns["rate"][15_432] = "nan"
    book = write_csv(tmp_path / "book.csv", columns)
    assert price(book, "--out", tmp_path / "out.csv", "--scheduler", client.scheduler.address) == 1
    assert capsys.readouterr().err.endswith("error: rate at row 15433 is nan: must be a finite number\n")


@pytest.mark.cluster
def test_a_lost_worker_costs_only_time(client, tmp_path):
    from sorvik_batch.cluster import run_on_cluster

    book = _files.read_book(write_csv(tmp_path / "book.csv", book_columns(4000, seed=15, american_share=1.0)), "raise")
    killed = []

    def kill_a_worker_once(done, total):  # with it go the data and results of its partitions
        if not killed:
            killed.append(os.kill(next(iter(client.run(os.getpid).values())), signal.SIGKILL))

    there = run_on_cluster(book.inputs, 4000, scheduler=client.scheduler.address, workers=None, threads=None,
                           errors="raise", progress=kill_a_worker_once)
    here = value_columns(book.inputs, range(1, 4001))
    assert killed and all(np.array_equal(there[name], here[name], equal_nan=True) for name in OUTPUTS)
    client.wait_for_workers(2)


def break_partitions(distributed, how):
    """A worker plugin: every partition on the worker ends its process, or raises an internal fault."""

    class BreakPartitions(distributed.WorkerPlugin):
        def setup(self, worker):
            from sorvik_batch import cluster

            def broken(*_, **__):
                if how == "exit":
                    os._exit(1)
                raise fault_class()("injected")

            cluster.value_columns = broken

    return BreakPartitions()


@pytest.mark.cluster
@pytest.mark.parametrize("how, message", [("exit", "lost with the workers valuing them, twice"),
                                          ("fault", "PanicException: injected")])
def test_partitions_that_break_their_workers_end_the_run_in_one_line(distributed, tmp_path, capsys, how, message):
    book, out = write_csv(tmp_path / "book.csv", book_columns(200, seed=16)), tmp_path / "out.csv"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  silence_logs=logging.CRITICAL) as cluster, distributed.Client(cluster) as client:
        client.register_plugin(break_partitions(distributed, how))
        assert price(book, "--out", out, "--scheduler", cluster.scheduler_address) == 1
    error = capsys.readouterr().err
    assert re.fullmatch(rf"python -m sorvik_batch: error: rows \d+ to \d+: {re.escape(message)}\n", error)
    assert not out.exists() and not leftovers(tmp_path)


@pytest.mark.cluster
def test_partitions_use_the_workers_thread_count(client):
    from sorvik_batch.cluster import _worker_threads

    for address, threads in client.nthreads().items():
        assert client.submit(_worker_threads, workers=[address], pure=False).result() == threads


@pytest.mark.cluster
def test_dask_dataframe_route_gives_the_same_bits(client, large_book):
    import dask.dataframe as dd
    import pandas as pd

    from sorvik_batch.cluster import value_frame

    columns, _, folder = large_book
    rows = 10_000
    frame = pd.DataFrame({name: columns[name][:rows] for name in ("id", "option_type", "exercise", "method")})
    frame = frame.assign(**{name: np.array(columns[name][:rows], dtype=float)
                            for name in INPUTS[:5] + ("dividend_yield",)})
    frame.loc[frame["method"] == "", "method"] = None  # missing values are the default method
    valued = client.compute(value_frame(dd.from_pandas(frame, npartitions=4))).result()
    here = read_csv(folder / "here.csv")
    for name in OUTPUTS:
        assert_same_bits(valued[name].to_numpy(), [float(x) for x in here[name][:rows]])
    frame.loc[5_432, "vol"] = -1.0
    with pytest.raises(ValueError, match="^vol at row 5432 is -1.0: must be a finite number >= 0$"):
        client.compute(value_frame(dd.from_pandas(frame, npartitions=4))).result()
