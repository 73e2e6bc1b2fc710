// parallel.hpp: work split over worker threads while the calling thread watches signals and progress.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <functional>

namespace sorvik::batch {

/// Stops the workers' loops; polled between chunks and between grid time steps.
using StopFlag = std::atomic<bool>;

/// Runs `work(begin, end, stop)` over [0, n) in chunks of `chunk` items on
/// `threads` worker threads, without the interpreter lock. Meanwhile the
/// calling thread wakes every 50 ms, with the lock, to check signals and
/// call `progress(done, total)` (a callable, or null) with the items done so
/// far, ending with (n, n). A signal handler that raises (Ctrl-C), or a
/// progress callable that raises, sets `stop`, the workers stop at their
/// next poll and are joined, and the exception propagates; an exception from
/// `work` is rethrown once all workers have stopped. Chunks are taken in
/// increasing order.
void run_in_parallel(std::size_t n, std::size_t chunk, unsigned threads,
                     const std::function<void(std::size_t, std::size_t, const StopFlag&)>& work,
                     PyObject* progress);

/// The number of CPUs this process may run on: its affinity mask, capped by a
/// cgroup CPU quota where one is set.
unsigned usable_cpus();

}  // namespace sorvik::batch
