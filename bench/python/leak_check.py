"""Memory and reference-count check over many valuations, successful and failing.

Runs 100,000 `compute()` calls in five equal phases, each on fresh builders:

  * closed form (European call), reading the price and all greeks;
  * finite differences on a small grid (American put), reading the price and greeks;
  * no market frame: ValueError;
  * an expired option on finite differences: an internal fault (a BaseException);
  * rates and volatility on different day counts: ValueError.

Resident memory is read from /proc/self/statm after a warm-up and after the
last phase; the check fails if it grew by more than --bound-mib. Bytes in use
on the C heap (glibc mallinfo2, when available) are shown per phase to locate
a leak. Afterwards the option, market and configuration objects must be back
to their starting reference counts.

Each fault prints a diagnostic line on stderr; stderr goes to /dev/null while
the phases run.

    python bench/python/leak_check.py          # exit status 0 when clean
"""
import argparse
import contextlib
import ctypes
import datetime as dt
import gc
import os
import sys

import sorvik as s

UTC = dt.timezone.utc
A365, A360 = s.DayCountConvention.Act365Fixed, s.DayCountConvention.Act360
NOW = dt.datetime(2024, 1, 2, tzinfo=UTC)
LATE = dt.datetime(2026, 1, 1, tzinfo=UTC)  # after expiry
EXPIRY = dt.datetime(2025, 1, 1, tzinfo=UTC)
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_reader():
    """Bytes allocated on the C heap, or None off glibc >= 2.33."""
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return lambda: None
    fn.restype = _MallInfo2

    def read():
        info = fn()
        return info.uordblks + info.hblkhd
    return read


heap_bytes = _heap_reader()


@contextlib.contextmanager
def stderr_silenced():
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)
        yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=100_000, help="compute() calls after the warm-up")
    parser.add_argument("--bound-mib", type=float, default=2.0, help="largest resident growth accepted")
    args = parser.parse_args()

    call = s.StockOption(100.0, EXPIRY, s.OptionType.Call, s.ExerciseStyle.European)
    put = s.StockOption(100.0, EXPIRY, s.OptionType.Put, s.ExerciseStyle.American)
    market = s.OptionMarketFrame(100.0, s.RateCurve.continuous(0.05, A365), s.VolSurface.flat(0.2, A365))
    mismatched = s.OptionMarketFrame(100.0, s.RateCurve.continuous(0.05, A365), s.VolSurface.flat(0.2, A360))
    analytic = s.Config().add_policy(s.InstrumentPolicy().analytic())
    grid = s.Config().add_policy(s.InstrumentPolicy().fdm(s.FdmConfig(nodes=101, time_steps=10)))
    tracked = {"call option": call, "put option": put, "market": market, "mismatched market": mismatched,
               "analytic config": analytic, "grid config": grid}
    refs_before = {name: sys.getrefcount(obj) for name, obj in tracked.items()}

    def read_all(result):
        g = result.greeks
        return result.price, g.delta, g.gamma, g.theta, g.vega, g.rho, repr(result)

    def closed_form():
        read_all(call.valuation().market(market).config(analytic).at(NOW).compute())

    def finite_differences():
        read_all(put.valuation().market(market).config(grid).at(NOW).compute())

    def no_market():
        try:
            s.ValuationBuilder(call).config(analytic).at(NOW).compute()
        except ValueError:
            return
        raise AssertionError("valuation without a market frame did not fail")

    def expired_on_grid():
        try:
            put.valuation().market(market).config(grid).at(LATE).compute()
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException:  # the internal fault is not an Exception
            return
        raise AssertionError("expired option on the grid did not fail")

    def day_count_mismatch():
        try:
            call.valuation().market(mismatched).config(analytic).at(NOW).compute()
        except ValueError:
            return
        raise AssertionError("mismatched day counts did not fail")

    phases = [("closed form", closed_form), ("finite differences 101 x 10", finite_differences),
              ("no market frame -> ValueError", no_market), ("expired on the grid -> fault", expired_on_grid),
              ("day-count mismatch -> ValueError", day_count_mismatch)]
    per_phase = args.calls // len(phases)

    report = []
    with stderr_silenced():
        for _, fn in phases:  # warm-up: caches, free lists, allocator arenas
            for _ in range(max(per_phase // 10, 100)):
                fn()
        gc.collect()
        rss_start = rss_bytes()
        for label, fn in phases:
            heap0, rss0 = heap_bytes(), rss_bytes()
            for _ in range(per_phase):
                fn()
            gc.collect()
            heap1, rss1 = heap_bytes(), rss_bytes()
            report.append((label, heap0, heap1, rss1 - rss0))
        rss_end = rss_bytes()

    print(f"{per_phase * len(phases):,} compute() calls, {per_phase:,} per phase")
    print(f"  {'phase':34s}{'C heap growth':>16s}{'per call':>12s}{'RSS growth':>14s}")
    for label, heap0, heap1, rss_delta in report:
        if heap0 is None:
            heap_text, per_call = "n/a", ""
        else:
            heap_text, per_call = f"{heap1 - heap0:+,d} B", f"{(heap1 - heap0) / per_phase:+.2f} B"
        print(f"  {label:34s}{heap_text:>16s}{per_call:>12s}{rss_delta / 1024:>+11,.0f} KiB")

    growth = rss_end - rss_start
    bound = int(args.bound_mib * 1024 * 1024)
    ok = True
    print(f"resident memory: {rss_start / 2**20:.1f} MiB after warm-up, {rss_end / 2**20:.1f} MiB at the end, "
          f"growth {growth / 1024:+,.0f} KiB (bound {bound / 1024:,.0f} KiB)")
    if growth > bound:
        print("FAIL: resident memory grew beyond the bound")
        ok = False

    gc.collect()
    refs_after = {name: sys.getrefcount(obj) for name, obj in tracked.items()}
    changed = {name: (refs_before[name], refs_after[name]) for name in tracked if refs_before[name] != refs_after[name]}
    if changed:
        for name, (before, after) in changed.items():
            print(f"FAIL: reference count of the {name} went from {before} to {after}")
        ok = False
    else:
        print(f"reference counts of {len(tracked)} option, market and config objects: unchanged")

    print("OK" if ok else "LEAK CHECK FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
