// fdm/grid_readoff.hpp: a node array's value and first two derivatives at a point, from a local cubic.
#pragma once

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

}  // namespace sorvik
