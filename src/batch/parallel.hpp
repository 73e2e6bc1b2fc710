// parallel.hpp: one call's work on the worker pool while the calling thread watches signals and progress.
#pragma once

#include <Python.h>

#include <cstddef>

#include "worker_pool.hpp"

namespace sorvik::batch {

/// Where a call's progress goes: callable(base + items done, total), or
/// nowhere when the callable is null. A call made of several jobs counts the
/// items of the earlier ones in `base`.
struct Progress {
    PyObject* callable = nullptr;
    std::size_t base = 0, total = 0;
};

/// Runs `work(begin, end, stop)` over [0, n) in chunks of `chunk` items on at
/// most `threads` pool threads, without the interpreter lock. Meanwhile the
/// calling thread wakes every 50 ms, with the lock, to check signals and
/// report the items done so far to `progress`, ending with all n done. A signal handler that raises (Ctrl-C), or a progress
/// callable that raises, sets `stop`, the job's chunks stop at their next poll,
/// and the exception propagates once none runs; an exception from `work` is
/// rethrown likewise. Fewer than `inline_below` items are worked on the
/// calling thread, with the lock held: handing them over would cost more.
///
/// Throws PyError RuntimeError when no worker thread can be started, or when
/// the process forked during the call and this is the child (its workers are
/// gone).
void run_in_parallel(std::size_t n, std::size_t chunk, unsigned threads, const Job::Work& work,
                     const Progress& progress = {}, std::size_t inline_below = 0);

}  // namespace sorvik::batch
