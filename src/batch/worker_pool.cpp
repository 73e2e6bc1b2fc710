// worker_pool.cpp: the persistent worker threads every sorvik_batch call shares.
#include "worker_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "fdm/grid_memory.hpp"

namespace sorvik::batch {

namespace {

std::atomic<WorkerPool*> g_pool{nullptr};
std::atomic<unsigned long> g_fork_generation{0};
std::atomic<unsigned> g_usable_cpus{0};

/// In a forked child only the forking thread exists: the parent's pool (its
/// threads gone, its mutex perhaps held by one of them) is left untouched and
/// a new one is made on first use; the CPU count is read again.
void after_fork_in_child() {
    g_pool.store(nullptr);
    g_usable_cpus.store(0);
    g_fork_generation.fetch_add(1);
}

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

unsigned read_usable_cpus() {
    unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) cpus = static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
    // A container may have every core in its affinity yet a quota of a few: more
    // threads than the quota only wait for their turn.
    if (const unsigned quota = cgroup_cpu_quota(); quota > 0) cpus = std::min(cpus, quota);
    return cpus;
}

}  // namespace

unsigned usable_cpus() {
    unsigned cpus = g_usable_cpus.load(std::memory_order_relaxed);
    if (cpus == 0) {
        cpus = read_usable_cpus();
        g_usable_cpus.store(cpus, std::memory_order_relaxed);
    }
    return cpus;
}

unsigned long WorkerPool::fork_generation() { return g_fork_generation.load(std::memory_order_acquire); }

WorkerPool& WorkerPool::instance() {
    static const int registered = pthread_atfork(nullptr, nullptr, &after_fork_in_child);
    (void)registered;
    WorkerPool* pool = g_pool.load(std::memory_order_acquire);
    if (pool) return *pool;
    // Never deleted: detached threads may still wait on it while the process exits.
    auto* made = new WorkerPool();
    if (g_pool.compare_exchange_strong(pool, made, std::memory_order_acq_rel)) return *made;
    delete made;  // another thread made it first; no thread runs on ours
    return *pool;
}

unsigned WorkerPool::submit(Job& job) {
    std::lock_guard lock(mutex_);
    const unsigned wanted = std::min(job.workers, usable_cpus());
    while (threads_ < wanted) {
        try {
            std::thread(&WorkerPool::run_thread, this).detach();
        } catch (const std::system_error&) {
            // The system refuses more threads (a thread limit, or no address
            // space for a stack): work on those there are.
            if (threads_ == 0) throw;
            break;
        }
        ++threads_;
    }
    jobs_.push_back(&job);
    work_ready_.notify_all();
    return std::min(job.workers, threads_);
}

bool WorkerPool::wait_for(Job& job, unsigned timeout_ms) {
    std::unique_lock lock(mutex_);
    const bool finished = job_done_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                             [&] { return job.drained() && job.active == 0; });
    if (finished) jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
    return finished;
}

Job* WorkerPool::pick() {
    Job* best = nullptr;
    for (Job* job : jobs_) {
        if (job->drained() || job->active >= job->workers) continue;
        if (!best || job->active < best->active) best = job;
    }
    return best;
}

void WorkerPool::run_thread() {
    // Grid arrays keep their memory from one chunk of a job to the next on this thread.
    grid_memory::keep_on_this_thread();
    const Job* previous = nullptr;
    std::unique_lock lock(mutex_);
    for (;;) {
        Job* job = pick();
        if (!job) {
            work_ready_.wait(lock);
            continue;
        }
        // Memory kept for another job's grids is not held into this one's
        // (a few dozen blocks freed: brief enough under the lock).
        if (job != previous) {
            grid_memory::release_on_this_thread();
            previous = job;
        }
        // One chunk, then the choice again, so that concurrent jobs take turns.
        ++job->active;
        lock.unlock();
        const std::size_t k = job->next.fetch_add(1, std::memory_order_relaxed);
        std::exception_ptr failure;
        if (k < job->chunks) {
            const std::size_t begin = job->chunk_begin(k);
            const std::size_t end = std::min(job->n, begin + job->chunk);
            try {
                job->work(begin, end, job->stop);
                job->done.fetch_add(end - begin, std::memory_order_relaxed);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        // This thread's last chunk of the job: what it kept for the job's grids goes back.
        if (job->drained()) grid_memory::release_on_this_thread();
        lock.lock();
        if (failure) {
            if (!job->failure) job->failure = failure;
            job->stop = true;
        }
        if (--job->active == 0 && job->drained()) job_done_.notify_all();
    }
}

}  // namespace sorvik::batch
