// parallel.cpp: one call's work on the worker pool while the calling thread watches signals and progress.
#include "parallel.hpp"

#include <string>
#include <system_error>

#include "runtime/errors.hpp"
#include "runtime/ref.hpp"

namespace sorvik::batch {

using python::PyError;
using python::Ref;

namespace {

constexpr unsigned kWakeMs = 50;

/// Reports progress; false when the callable raised (its error is pending).
bool report(const Progress& progress, std::size_t done) {
    if (!progress.callable) return true;
    Ref result = Ref::steal(PyObject_CallFunction(progress.callable, "nn", static_cast<Py_ssize_t>(progress.base + done),
                                                  static_cast<Py_ssize_t>(progress.total)));
    return static_cast<bool>(result);
}

/// Python code run by the caller (a signal handler, the progress callable)
/// may fork: the child has none of the job's workers and must not wait for them.
void require_same_process(unsigned long generation) {
    if (WorkerPool::fork_generation() != generation)
        throw PyError{PyExc_RuntimeError,
                      "the process forked during a sorvik_batch call: the call cannot go on in the child, "
                      "whose worker threads are gone"};
}

}  // namespace

void run_in_parallel(std::size_t n, std::size_t chunk, unsigned threads, const Job::Work& work,
                     const Progress& progress, std::size_t inline_below) {
    if (n < inline_below || n == 0) {
        const StopFlag stop{false};
        if (n != 0) work(0, n, stop);
        if (!report(progress, n)) python::throw_python_error();
        return;
    }
    Job job(n, chunk, threads, work);
    WorkerPool& pool = WorkerPool::instance();
    const unsigned long generation = WorkerPool::fork_generation();
    bool interrupted = false;
    std::size_t reported = 0;
    PyThreadState* saved = PyEval_SaveThread();
    try {
        pool.submit(job);
    } catch (const std::system_error& error) {
        PyEval_RestoreThread(saved);
        throw PyError{PyExc_RuntimeError, std::string("could not start a worker thread: ") + error.code().message()};
    }
    while (!pool.wait_for(job, kWakeMs)) {
        PyEval_RestoreThread(saved);
        if (!interrupted) {
            const std::size_t done = job.done.load(std::memory_order_relaxed);
            const bool raised = PyErr_CheckSignals() < 0 || (done != reported && !report(progress, done));
            require_same_process(generation);
            if (raised) {
                interrupted = true;
                job.stop = true;
            }
            reported = done;
        }
        saved = PyEval_SaveThread();
    }
    PyEval_RestoreThread(saved);
    if (interrupted) python::throw_python_error();
    if (job.failure) std::rethrow_exception(job.failure);
    if (!report(progress, n)) python::throw_python_error();
    require_same_process(generation);
}

}  // namespace sorvik::batch
