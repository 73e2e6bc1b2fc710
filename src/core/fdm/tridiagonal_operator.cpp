// fdm/tridiagonal_operator.cpp: tridiagonal A with y = A·x and (I − a·A)·y = b (Thomas algorithm).
#include "fdm/tridiagonal_operator.hpp"

#include <cmath>
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

TridiagonalOperator::TridiagonalOperator(std::vector<double> lower, std::vector<double> diag,
                                         std::vector<double> upper)
    : lower_(std::move(lower)), diag_(std::move(diag)), upper_(std::move(upper)) {
    if (lower_.size() != diag_.size() || upper_.size() != diag_.size()) {
        throw Fault("TridiagonalOperator bands differ in length");
    }
    if (diag_.size() < 3) {
        throw Fault("TridiagonalOperator requires at least 3 elements, found " +
                    std::to_string(diag_.size()));
    }
}

void TridiagonalOperator::apply(std::span<const double> x, std::span<double> y) const {
    const std::size_t n = size();
    require_length(x.size(), n);
    require_length(y.size(), n);
    y[0] = diag_[0] * x[0] + upper_[0] * x[1];
    for (std::size_t i = 1; i + 1 < n; ++i) {
        y[i] = lower_[i] * x[i - 1] + diag_[i] * x[i] + upper_[i] * x[i + 1];
    }
    y[n - 1] = lower_[n - 1] * x[n - 2] + diag_[n - 1] * x[n - 1];
}

const TridiagonalFactorization& TridiagonalOperator::factorization(double a) const {
    // A NaN coefficient never passes the test, so such a cache is rebuilt each time.
    if (cache_ && std::fabs(cache_->coefficient - a) < 1e-12) {
        return *cache_;
    }
    const std::size_t n = size();
    if (!cache_) {
        cache_.emplace();
        cache_->scaled_lower.resize(n);
        cache_->modified_upper.resize(n);
        cache_->inverse_pivots.resize(n);
    }
    // Rebuilt in full over the old storage: the same values as a fresh one.
    double* l = cache_->scaled_lower.data();
    double* c = cache_->modified_upper.data();
    double* p = cache_->inverse_pivots.data();
    l[0] = 0.0;
    p[0] = 1.0 / (1.0 - diag_[0] * a);
    c[0] = (upper_[0] * (-a)) * p[0];
    for (std::size_t i = 1; i < n; ++i) {
        l[i] = lower_[i] * (-a);
        const double upper_scaled = i + 1 < n ? upper_[i] * (-a) : 0.0;
        p[i] = 1.0 / ((1.0 - diag_[i] * a) - l[i] * c[i - 1]);
        c[i] = p[i] * upper_scaled;
    }
    cache_->coefficient = a;
    return *cache_;
}

std::optional<double> TridiagonalOperator::cached_coefficient() const {
    if (!cache_) {
        return std::nullopt;
    }
    return cache_->coefficient;
}

void TridiagonalOperator::solve(std::span<const double> b, double a, std::span<double> y,
                                std::span<double> scratch) const {
    const std::size_t n = size();
    require_length(b.size(), n);
    require_length(y.size(), n);
    require_length(scratch.size(), n);
    const TridiagonalFactorization& f = factorization(a);
    const double* l = f.scaled_lower.data();
    const double* c = f.modified_upper.data();
    const double* p = f.inverse_pivots.data();
    double* z = scratch.data();
    z[0] = b[0] * p[0];
    for (std::size_t i = 1; i < n; ++i) {
        z[i] = (b[i] - z[i - 1] * l[i]) * p[i];
    }
    y[n - 1] = z[n - 1];
    // Descending with an unsigned index: stop after i = 0, never test i >= 0.
    for (std::size_t i = n - 1; i-- > 0;) {
        y[i] = z[i] - c[i] * y[i + 1];
    }
}

}  // namespace sorvik
