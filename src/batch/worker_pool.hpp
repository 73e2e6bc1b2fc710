// worker_pool.hpp: the persistent worker threads every sorvik_batch call shares.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

namespace sorvik::batch {

/// Stops a job's chunks; polled between chunks and inside long grid runs.
using StopFlag = std::atomic<bool>;

/// Work over [0, n) in chunks of `chunk` items, on at most `workers` pool
/// threads at once. `work(begin, end, stop)` must be safe to run on any
/// thread; an exception it throws stops the job and is kept for the caller.
struct Job {
    using Work = std::function<void(std::size_t begin, std::size_t end, const StopFlag& stop)>;

    Job(std::size_t items, std::size_t chunk_size, unsigned max_workers, Work chunk_work)
        : n(items), chunk(chunk_size == 0 ? 1 : chunk_size), chunks((n + chunk - 1) / chunk),
          workers(max_workers == 0 ? 1 : max_workers), work(std::move(chunk_work)) {}

    const std::size_t n, chunk, chunks;
    const unsigned workers;
    const Work work;
    std::atomic<std::size_t> next{0};  ///< chunks handed out
    std::atomic<std::size_t> done{0};  ///< items finished
    StopFlag stop{false};

    // Guarded by the pool's mutex.
    unsigned active = 0;          ///< pool threads running one of its chunks
    std::exception_ptr failure;   ///< the first exception a chunk threw

    /// No chunk left to hand out.
    bool drained() const {
        return stop.load(std::memory_order_relaxed) || next.load(std::memory_order_relaxed) >= chunks;
    }

    /// The first item of the chunk handed out k-th. The chunks form one
    /// contiguous region per worker, and are handed out from each region in
    /// turn, so that the workers go through regions far apart side by side:
    /// writing the first time into output pages close together, they would
    /// wait on each other in the kernel, which takes one lock for the page
    /// tables of each 2 MiB.
    std::size_t chunk_begin(std::size_t k) const {
        const std::size_t per_region = chunks / workers, longer = chunks % workers;  // the first `longer` have one more
        const bool full_round = k < per_region * workers;
        const std::size_t region = full_round ? k % workers : k - per_region * workers;
        const std::size_t within = full_round ? k / workers : per_region;
        return (region * per_region + std::min(region, longer) + within) * chunk;
    }
};

/// The process's pool: threads started on first use and kept, grown to the
/// largest worker count asked for (at most the usable CPUs). Concurrent jobs
/// share the threads: each free thread takes its next chunk from the job with
/// the fewest threads on it, so no caller starves another. The threads are
/// detached and hold nothing at exit; a forked child starts with an empty pool.
class WorkerPool {
public:
    /// The pool of this process (a new one in a forked child).
    static WorkerPool& instance();

    /// Makes `job` available to the threads, starting threads where fewer
    /// than job.workers exist. Returns the number of threads that may work on
    /// it: fewer than asked when the system refuses to start more, and at
    /// least one, else throws std::system_error (no thread could be started).
    unsigned submit(Job& job);

    /// Waits up to `timeout_ms` for the job to finish (drained, no chunk
    /// running); true when it has, and then it is no longer in the pool.
    bool wait_for(Job& job, unsigned timeout_ms);

    /// How many times this process has forked a child that started its own
    /// pool: a caller that sees it change is running in a child of the
    /// process that started its job.
    static unsigned long fork_generation();

private:
    WorkerPool() = default;
    void run_thread();
    Job* pick();  // under mutex_

    std::mutex mutex_;
    std::condition_variable work_ready_;  // a job has chunks to hand out
    std::condition_variable job_done_;    // a job's last chunk finished
    std::vector<Job*> jobs_;              // submitted and not yet finished, oldest first
    unsigned threads_ = 0;
};

/// The number of CPUs this process may run on: its affinity mask, capped by a
/// cgroup CPU quota where one is set. Read once per process (again in a forked
/// child).
unsigned usable_cpus();

}  // namespace sorvik::batch
