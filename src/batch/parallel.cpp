// parallel.cpp: work split over worker threads while the calling thread watches signals and progress.
#include "parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/errors.hpp"
#include "runtime/ref.hpp"

namespace sorvik::batch {

using python::Ref;

namespace {

/// What the workers share: the next chunk, progress, and the first failure.
struct Shared {
    std::size_t n, chunk;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    StopFlag stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    unsigned running = 0;
    std::exception_ptr failure;
};

void worker(Shared& s, const std::function<void(std::size_t, std::size_t, const StopFlag&)>& work) {
    try {
        while (!s.stop.load(std::memory_order_relaxed)) {
            const std::size_t begin = s.next.fetch_add(s.chunk, std::memory_order_relaxed);
            if (begin >= s.n) break;
            const std::size_t end = std::min(s.n, begin + s.chunk);
            work(begin, end, s.stop);
            s.done.fetch_add(end - begin, std::memory_order_relaxed);
        }
    } catch (...) {
        std::lock_guard lock(s.mutex);
        if (!s.failure) s.failure = std::current_exception();
        s.stop = true;
    }
    std::lock_guard lock(s.mutex);
    if (--s.running == 0) s.finished.notify_all();
}

/// Reports progress; false when the callable raised (its error is pending).
bool report(PyObject* progress, std::size_t done, std::size_t total) {
    if (!progress) return true;
    Ref result = Ref::steal(PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(done),
                                                  static_cast<Py_ssize_t>(total)));
    return static_cast<bool>(result);
}

}  // namespace

/// CPUs' worth of time a cgroup quota grants (cgroup v2 cpu.max, else v1's
/// cfs quota and period), rounded up; 0 when no quota is set.
unsigned cgroup_cpu_quota() {
    long long quota = -1, period = 0;
    if (std::FILE* f = std::fopen("/sys/fs/cgroup/cpu.max", "r")) {
        char text[32] = {};
        if (std::fscanf(f, "%31s %lld", text, &period) == 2 && std::strcmp(text, "max") != 0) quota = std::atoll(text);
        std::fclose(f);
    } else if (std::FILE* q = std::fopen("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "r")) {
        if (std::fscanf(q, "%lld", &quota) != 1) quota = -1;
        std::fclose(q);
        if (std::FILE* p = std::fopen("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "r")) {
            if (std::fscanf(p, "%lld", &period) != 1) period = 0;
            std::fclose(p);
        }
    }
    if (quota <= 0 || period <= 0) return 0;
    return static_cast<unsigned>((quota + period - 1) / period);
}

unsigned usable_cpus() {
    unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) cpus = static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
    // A container may have every core in its affinity yet a quota of a few: more
    // threads than the quota only wait for their turn.
    if (const unsigned quota = cgroup_cpu_quota(); quota > 0) cpus = std::min(cpus, quota);
    return cpus;
}

void run_in_parallel(std::size_t n, std::size_t chunk, unsigned threads,
                     const std::function<void(std::size_t, std::size_t, const StopFlag&)>& work,
                     PyObject* progress) {
    Shared s;
    s.n = n;
    s.chunk = std::max<std::size_t>(chunk, 1);
    const std::size_t chunks = (n + s.chunk - 1) / s.chunk;
    const unsigned count = static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(threads, chunks)));
    s.running = count;
    std::vector<std::thread> pool;
    pool.reserve(count);
    bool interrupted = false;
    std::size_t reported = 0;
    {
        // Threads start and finish without the interpreter lock; the lock is
        // taken back only between waits.
        PyThreadState* saved = PyEval_SaveThread();
        try {
            for (unsigned t = 0; t < count; ++t) pool.emplace_back(worker, std::ref(s), std::cref(work));
        } catch (...) {
            // No thread could be started: stop those that were.
            s.stop = true;
            std::unique_lock lock(s.mutex);
            s.running -= count - static_cast<unsigned>(pool.size());
            s.finished.wait(lock, [&] { return s.running == 0; });
            lock.unlock();
            for (std::thread& t : pool) t.join();
            PyEval_RestoreThread(saved);
            throw;
        }
        for (;;) {
            bool all_done;
            {
                std::unique_lock lock(s.mutex);
                all_done = s.finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return s.running == 0; });
            }
            if (all_done) break;
            PyEval_RestoreThread(saved);
            const std::size_t done = s.done.load(std::memory_order_relaxed);
            if (!interrupted && (PyErr_CheckSignals() < 0 || (done != reported && !report(progress, done, n)))) {
                interrupted = true;
                s.stop = true;
            }
            reported = done;
            saved = PyEval_SaveThread();
        }
        for (std::thread& t : pool) t.join();
        PyEval_RestoreThread(saved);
    }
    if (interrupted) python::throw_python_error();
    if (s.failure) std::rethrow_exception(s.failure);
    if (!report(progress, n, n)) python::throw_python_error();
}

}  // namespace sorvik::batch
