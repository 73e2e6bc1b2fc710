// fdm/grid_readoff.hpp: a node array's value and first two derivatives at a point, from a local cubic.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

namespace sorvik {

/// V, ∂V/∂y and ∂²V/∂y² at a point of the grid's coordinate y.
struct LocalFit {
    double value, slope, curvature;
};

/// The node values at y from the cubic through the four nodes nearest y
/// among first … last (the nodes an American may read: those it holds
/// without exercising), that is nodes i − 1 … i + 2 for y in [y_i, y_(i+1)),
/// shifted inside first … last; with fewer allowed nodes a quadratic or a
/// line. y may lie up to a cell outside the allowed nodes (the cubic is then
/// extrapolated). On a node the value is that node's exactly; beyond the
/// grid's ends the end value, flat (slope and curvature 0). The cell is
/// found by binary search; throws Fault "NaN in Grid" when a comparison of a
/// location with y is unordered, and Fault when the arrays are empty, differ
/// in length, or first … last is not a range of nodes.
LocalFit read_off(std::span<const double> locations, std::span<const double> values, double y, std::size_t first,
                  std::size_t last);

/// read_off over every node.
inline LocalFit read_off(std::span<const double> locations, std::span<const double> values, double y) {
    return read_off(locations, values, y, 0, locations.empty() ? 0 : locations.size() - 1);
}

/// read_off(locations, values, y).value on a uniform grid of at least 4
/// nodes, for points y taken in rising order, none of them NaN, as a drop's
/// transfer reads them: the cell found carries from one point to the next
/// instead of a search each time, and the cubic through the four nodes is
/// taken in t = (y − x_start)/h, with weights that need no division.
class RisingReadOff {
public:
    RisingReadOff(std::span<const double> locations, std::span<const double> values)
        : x_(locations), v_(values), inverse_step_(1.0 / (locations[1] - locations[0])) {}

    double operator()(double y) {
        const std::size_t n = x_.size();
        while (base_ + 1 < n && !(y < x_[base_ + 1])) ++base_;
        if (y == x_[base_]) return v_[base_];
        if (base_ == n - 1 || y < x_[0]) return v_[base_];  // flat beyond the ends
        const std::size_t start = std::min(base_ == 0 ? 0 : base_ - 1, n - 4);
        const double t = (y - x_[start]) * inverse_step_;
        const double a = t, b = t - 1.0, c = t - 2.0, d = t - 3.0;
        const double* v = &v_[start];
        return (-(b * c * d) * v[0] + 3.0 * (a * c * d) * v[1] - 3.0 * (a * b * d) * v[2] + (a * b * c) * v[3]) *
               (1.0 / 6.0);
    }

private:
    std::span<const double> x_, v_;
    double inverse_step_;
    std::size_t base_ = 0;
};

}  // namespace sorvik
