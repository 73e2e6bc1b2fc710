// fdm/tridiagonal_operator.cpp: tridiagonal A with y = A·x and the Thomas factorisation of I − a·A.
#include "fdm/tridiagonal_operator.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "fault.hpp"

namespace sorvik {

namespace {

void require_length(std::size_t length, std::size_t n) {
    if (length != n) {
        throw Fault("vector of " + std::to_string(length) + " entries for an operator of size " +
                    std::to_string(n));
    }
}

}  // namespace

void require_operator_size(std::size_t n) {
    if (n < 3) throw Fault("TridiagonalOperator requires at least 3 elements, found " + std::to_string(n));
}

TridiagonalOperator::TridiagonalOperator(std::vector<double> lower, std::vector<double> diag,
                                         std::vector<double> upper)
    : lower_(std::move(lower)), diag_(std::move(diag)), upper_(std::move(upper)) {
    if (lower_.size() != diag_.size() || upper_.size() != diag_.size()) {
        throw Fault("TridiagonalOperator bands differ in length");
    }
    require_operator_size(diag_.size());
}

void TridiagonalOperator::apply(std::span<const double> x, std::span<double> y, const CancellationHook& cancel) const {
    const std::size_t n = size();
    require_length(x.size(), n);
    require_length(y.size(), n);
    y[0] = diag_[0] * x[0] + upper_[0] * x[1];
    for (std::size_t i = 1; i + 1 < n; ++i) {
        poll_at_row(cancel, i);
        y[i] = lower_[i] * x[i - 1] + diag_[i] * x[i] + upper_[i] * x[i + 1];
    }
    y[n - 1] = lower_[n - 1] * x[n - 2] + diag_[n - 1] * x[n - 1];
}

template <SweepOrder Order>
void TridiagonalOperator::factorize(double a, TridiagonalFactorization& f, const CancellationHook& cancel) const {
    const std::size_t n = size();
    f.coefficient = std::numeric_limits<double>::quiet_NaN();  // until complete
    // The bands towards the previous and the next row in elimination order.
    const double* previous = Order == SweepOrder::Ascending ? lower_.data() : upper_.data();
    const double* next = Order == SweepOrder::Ascending ? upper_.data() : lower_.data();
    double* l = f.scaled_previous.data();
    double* c = f.modified_next.data();
    double* p = f.inverse_pivots.data();
    const std::size_t first = row_at<Order>(0, n);
    l[0] = 0.0;
    p[0] = 1.0 / (1.0 - diag_[first] * a);
    c[0] = (next[first] * (-a)) * p[0];
    for (std::size_t k = 1; k < n; ++k) {
        poll_at_row(cancel, k);
        const std::size_t i = row_at<Order>(k, n);
        l[k] = previous[i] * (-a);
        const double next_scaled = k + 1 < n ? next[i] * (-a) : 0.0;
        p[k] = 1.0 / ((1.0 - diag_[i] * a) - l[k] * c[k - 1]);
        c[k] = p[k] * next_scaled;
    }
    f.coefficient = a;
    f.order = Order;
}

const TridiagonalFactorization& TridiagonalOperator::factorization(double a, SweepOrder order,
                                                                   const CancellationHook& cancel) const {
    // A NaN coefficient never passes the test, so such a cache is rebuilt each time.
    if (cache_ && cache_->order == order && std::fabs(cache_->coefficient - a) < 1e-12) {
        return *cache_;
    }
    if (!cache_) {
        const std::size_t n = size();
        cache_.emplace();
        cache_->coefficient = std::numeric_limits<double>::quiet_NaN();  // until built
        for (std::vector<double>* array :
             {&cache_->scaled_previous, &cache_->modified_next, &cache_->inverse_pivots}) {
            resize_polled(*array, n, cancel);
        }
    }
    // Rebuilt in full over the old storage: the same values as a fresh one.
    if (order == SweepOrder::Ascending) {
        factorize<SweepOrder::Ascending>(a, *cache_, cancel);
    } else {
        factorize<SweepOrder::Descending>(a, *cache_, cancel);
    }
    return *cache_;
}

std::optional<double> TridiagonalOperator::cached_coefficient() const {
    if (!cache_) {
        return std::nullopt;
    }
    return cache_->coefficient;
}

}  // namespace sorvik
