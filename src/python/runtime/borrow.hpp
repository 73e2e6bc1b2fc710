// runtime/borrow.hpp: the per-instance borrow counter and its RAII guards.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "runtime/errors.hpp"

namespace sorvik::python {

/// 0: free; n > 0: n readers; -1: one writer.
using BorrowCounter = std::atomic<intptr_t>;

/// Read access for the guard's lifetime; RuntimeError "Already mutably borrowed" while written.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowCounter& counter) : counter_(&counter) {
        intptr_t n = counter.load(std::memory_order_acquire);
        do {
            if (n == -1) throw PyError{PyExc_RuntimeError, "Already mutably borrowed"};
        } while (!counter.compare_exchange_weak(n, n + 1, std::memory_order_acquire, std::memory_order_acquire));
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { counter_->fetch_sub(1, std::memory_order_release); }

private:
    BorrowCounter* counter_;
};

/// Write access for the guard's lifetime; RuntimeError "Already borrowed" while borrowed.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowCounter& counter) : counter_(&counter) {
        intptr_t expected = 0;
        if (!counter.compare_exchange_strong(expected, -1, std::memory_order_acquire))
            throw PyError{PyExc_RuntimeError, "Already borrowed"};
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { counter_->store(0, std::memory_order_release); }

private:
    BorrowCounter* counter_;
};

}  // namespace sorvik::python
