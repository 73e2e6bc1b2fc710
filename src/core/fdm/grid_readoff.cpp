// fdm/grid_readoff.cpp: a node array's value and first two derivatives at a point, from a local cubic.
#include "fdm/grid_readoff.hpp"

#include <algorithm>
#include <string>

#include "fault.hpp"

namespace sorvik {

namespace {

enum class Order { Less, Equal, Greater };

/// Three-way comparison of a location with y; unordered is a fault.
Order compare(double x, double y) {
    if (x < y) return Order::Less;
    if (x > y) return Order::Greater;
    if (x == y) return Order::Equal;
    throw Fault("NaN in Grid");
}

/// Lagrange interpolation through nodes (x_j, v_j), j < n ≤ 4, and its first
/// two derivatives at y. The slope and the curvature are formed from the
/// differences v_j − v_0 (the constant part has none), which keeps their
/// rounding that of the differences rather than of the values.
LocalFit lagrange(const double* x, const double* v, std::size_t n, double y) {
    double d[4];
    for (std::size_t k = 0; k < n; ++k) d[k] = y - x[k];
    LocalFit fit{0.0, 0.0, 0.0};
    for (std::size_t j = 0; j < n; ++j) {
        double denominator = 1.0;
        for (std::size_t k = 0; k < n; ++k)
            if (k != j) denominator *= x[j] - x[k];
        // The basis polynomial Π_(k≠j) (y − x_k) and its first two derivatives.
        double basis = 1.0, first = 0.0, second = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            if (k == j) continue;
            second = second * d[k] + 2.0 * first;
            first = first * d[k] + basis;
            basis *= d[k];
        }
        const double weight = 1.0 / denominator;
        fit.value += v[j] * (basis * weight);
        const double rise = v[j] - v[0];
        fit.slope += rise * (first * weight);
        fit.curvature += rise * (second * weight);
    }
    return fit;
}

}  // namespace

LocalFit read_off(std::span<const double> x, std::span<const double> values, double y, std::size_t first,
                  std::size_t last) {
    const std::size_t n = x.size();
    if (n == 0 || values.size() != n || first > last || last >= n) {
        throw Fault("read-off of " + std::to_string(values.size()) + " values over " + std::to_string(n) +
                    " locations, nodes " + std::to_string(first) + " to " + std::to_string(last));
    }
    // Binary search for the last location <= y (or the first one when none is).
    std::size_t size = n;
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (compare(x[mid], y) != Order::Greater) base = mid;
        size -= half;
    }
    const Order at_base = compare(x[base], y);
    // Flat beyond both ends.
    if (at_base == Order::Greater) return {values[0], 0.0, 0.0};
    if (at_base == Order::Less && base == n - 1) return {values[n - 1], 0.0, 0.0};
    // y in [x_base, x_(base+1)): nodes base − 1 … base + 2, moved inside first … last.
    const std::size_t count = std::min<std::size_t>(4, last - first + 1);
    const std::size_t start = std::clamp(base == 0 ? first : std::max(base - 1, first), first, last + 1 - count);
    LocalFit fit = lagrange(&x[start], &values[start], count, y);
    if (at_base == Order::Equal && base >= first && base <= last) fit.value = values[base];
    return fit;
}

}  // namespace sorvik
