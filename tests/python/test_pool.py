"""The worker pool under sorvik_batch: shared by concurrent calls, safe across fork, bounded in memory."""
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import sorvik_batch as sb
from conftest import UNDER_SANITIZER

needs_address_space_limit = pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer runtime needs unlimited address space")

# Runs BODY in a fresh interpreter whose address space is capped ROOM MiB above what it uses
# once numpy and sorvik_batch are loaded; prints the outcome as "ok ..." or "<error class> <message>".
LIMITED = """
import resource, sys
import numpy as np, sorvik_batch as sb
used = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (used + {room} * 2**20, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    {body}
    print("ok")
except BaseException as error:
    print(type(error).__name__, error)
"""


def run_python(code, timeout=120):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


@needs_address_space_limit
def test_a_worker_that_cannot_start_is_a_runtime_error():
    out = run_python(LIMITED.format(room=1, body='sb.value(np.linspace(50, 150, 5000), 100.0, 1.0, 0.05, 0.2, '
                                                  'option_type="put", threads=64)'))
    assert out == "RuntimeError could not start a worker thread: Resource temporarily unavailable\n"


@needs_address_space_limit
@pytest.mark.skipif(sb._kernel.usable_cpu_count() < 2, reason="needs two CPUs")
@pytest.mark.parametrize("threads, outcome", [
    (2, "MemoryError valuing on the grid, 4 options at a time on each of 2 worker threads, needs 2.9 GiB "
        "(3072001536 bytes); the address-space limit (RLIMIT_AS) leaves room for 1.7 GiB\n"),
    (1, "ok\n"),
])
def test_the_memory_check_counts_every_worker(threads, outcome):
    # One worker's four grids of two million nodes fit in 2 GiB; two workers' do not.
    body = (f'sb.value(np.full(8, 100.0), 100.0, 1.0, 0.05, 0.2, option_type="put", method="fdm", '
            f'nodes=2_000_001, time_steps=1, threads={threads})')
    assert run_python(LIMITED.format(room=2000, body=body)) == outcome


def test_a_fork_inside_a_callback_leaves_the_child_an_error_not_a_hang():
    out = run_python("""
        import os, numpy as np, sorvik_batch as sb
        children = []
        def progress(done, total):
            if not children:
                children.append(os.fork())
        try:
            sb.value(np.linspace(80, 120, 64), 100.0, 1.0, 0.05, 0.2, option_type="put", exercise="american",
                     time_steps=400, threads=2, progress=progress)
            outcome = "ok"
        except RuntimeError as error:
            outcome = f"RuntimeError {error}"
        if children[0] == 0:
            print("child:", outcome, flush=True)
            os._exit(0)
        os.waitpid(children[0], 0)
        print("parent:", outcome)
    """, timeout=60)
    assert out == ("child: RuntimeError the process forked during a sorvik_batch call: the call cannot go on in "
                   "the child, whose worker threads are gone\nparent: ok\n")


def test_concurrent_calls_share_the_pool_with_every_bit_intact():
    spots = np.linspace(70.0, 130.0, 40)
    books = [dict(option_type="put", exercise="american", time_steps=30),
             dict(option_type="call", exercise="european", method="fdm", time_steps=20),
             dict(option_type="call")]
    alone = [sb.value(spots, 100.0, 0.75, 0.03, 0.25, **book) for book in books]
    together = [None] * len(books)

    def run(k):
        together[k] = sb.value(spots, 100.0, 0.75, 0.03, 0.25, threads=2, **books[k])

    workers = [threading.Thread(target=run, args=(k,)) for k in range(len(books))]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    for a, b in zip(alone, together):
        for field in ("price", "delta", "gamma", "theta"):
            np.testing.assert_array_equal(getattr(a, field), getattr(b, field))


def test_one_quote_on_the_grid_leaves_the_interpreter_to_other_threads():
    counter = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1

    before = sys.getswitchinterval()
    other = threading.Thread(target=count)
    sys.setswitchinterval(0.5)  # the other thread runs only while the call has let go of the lock
    other.start()
    try:
        start = counter[0]
        vol = sb.implied_vol(9.0, 100.0, 100.0, 1.0, 0.05, option_type="put", exercise="american",
                             method="fdm", nodes=20001, time_steps=200)
        during = counter[0] - start
    finally:
        sys.setswitchinterval(before)
        stop.set()
        other.join()
    assert 0.2 < vol < 0.4
    assert during > 0
