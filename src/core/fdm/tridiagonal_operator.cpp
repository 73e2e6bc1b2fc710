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

TridiagonalOperator::TridiagonalOperator(GridArray lower, GridArray diag,
                                         GridArray upper)
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

// Several factorisations are formed in one pass, row by row: their
// recurrences are independent, so they overlap instead of each waiting on its
// own division. Each has the operations it has alone.
template <SweepOrder Order>
void TridiagonalOperator::factorize(std::span<const double> coefficients, std::span<TridiagonalFactorization* const> out,
                                    const CancellationHook& cancel) const {
    const std::size_t n = size();
    for (TridiagonalFactorization* f : out) f->coefficient = std::numeric_limits<double>::quiet_NaN();  // until complete
    // The bands towards the previous and the next row in elimination order.
    const double* previous = Order == SweepOrder::Ascending ? lower_.data() : upper_.data();
    const double* next = Order == SweepOrder::Ascending ? upper_.data() : lower_.data();
    const std::size_t first = row_at<Order>(0, n);
    for (std::size_t j = 0; j < out.size(); ++j) {
        const double a = coefficients[j];
        TridiagonalFactorization& f = *out[j];
        f.scaled_previous[0] = 0.0;
        f.inverse_pivots[0] = 1.0 / (1.0 - diag_[first] * a);
        f.modified_next[0] = (next[first] * (-a)) * f.inverse_pivots[0];
    }
    for (std::size_t k = 1; k < n; ++k) {
        poll_at_row(cancel, k);
        const std::size_t i = row_at<Order>(k, n);
        for (std::size_t j = 0; j < out.size(); ++j) {
            const double a = coefficients[j];
            double* l = out[j]->scaled_previous.data();
            double* c = out[j]->modified_next.data();
            double* p = out[j]->inverse_pivots.data();
            l[k] = previous[i] * (-a);
            const double next_scaled = k + 1 < n ? next[i] * (-a) : 0.0;
            p[k] = 1.0 / ((1.0 - diag_[i] * a) - l[k] * c[k - 1]);
            c[k] = p[k] * next_scaled;
        }
    }
    for (std::size_t j = 0; j < out.size(); ++j) {
        out[j]->coefficient = coefficients[j];
        out[j]->order = Order;
    }
}

std::vector<TridiagonalFactorization> TridiagonalOperator::factorizations(std::span<const double> coefficients,
                                                                          SweepOrder order,
                                                                          const CancellationHook& cancel) const {
    std::vector<TridiagonalFactorization> made(coefficients.size());
    std::vector<TridiagonalFactorization*> out;
    for (TridiagonalFactorization& f : made) {
        for (GridArray* array : {&f.scaled_previous, &f.modified_next, &f.inverse_pivots})
            resize_polled(*array, size(), cancel);
        out.push_back(&f);
    }
    if (order == SweepOrder::Ascending) {
        factorize<SweepOrder::Ascending>(coefficients, out, cancel);
    } else {
        factorize<SweepOrder::Descending>(coefficients, out, cancel);
    }
    return made;
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
        for (GridArray* array :
             {&cache_->scaled_previous, &cache_->modified_next, &cache_->inverse_pivots}) {
            resize_polled(*array, n, cancel);
        }
    }
    // Rebuilt in full over the old storage: the same values as a fresh one.
    TridiagonalFactorization* const cache[] = {&*cache_};
    if (order == SweepOrder::Ascending) {
        factorize<SweepOrder::Ascending>({&a, 1}, cache, cancel);
    } else {
        factorize<SweepOrder::Descending>({&a, 1}, cache, cancel);
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
