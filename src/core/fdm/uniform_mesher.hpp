// fdm/uniform_mesher.hpp: equally spaced log-spot grid, symmetric about a centre.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "fault.hpp"
#include "fdm/cancellation.hpp"
#include "fdm/grid_memory.hpp"

namespace sorvik {

/// Nodes x_i = x_min + i·dx spanning centre ± half_width (the solver centres
/// the grid on ln K; with an odd node count the strike sits on the middle
/// node). Degenerate input is not rejected: a NaN half-width gives NaN
/// locations, a zero half-width N equal locations, and N = 1 a NaN location.
class UniformMesher {
public:
    /// `cancel` is polled along the way (a huge mesh takes seconds).
    UniformMesher(double centre, double half_width, std::size_t nodes, const CancellationHook& cancel = {}) {
        for (GridArray* array : {&locations_, &dplus_, &dminus_}) {
            resize_polled(*array, nodes, cancel);
        }
        const double x_min = centre - half_width;
        const double x_max = half_width + centre;
        // The numerator is the difference of the rounded bounds, not 2·half_width.
        const double dx = (x_max - x_min) / static_cast<double>(nodes - 1);
        for (std::size_t i = 0; i < nodes; ++i) {
            poll_at_row(cancel, i);
            locations_[i] = x_min + static_cast<double>(i) * dx;
        }
        // Steps are differences of the stored locations, so they carry their
        // rounding; the ends without a neighbour stay 0.
        for (std::size_t i = 1; i < nodes; ++i) {
            poll_at_row(cancel, i);
            dplus_[i - 1] = locations_[i] - locations_[i - 1];
            dminus_[i] = locations_[i] - locations_[i - 1];
        }
    }

    std::size_t size() const { return locations_.size(); }
    /// The accessors below throw Fault for an index outside 0 … N−1.
    double location(std::size_t i) const { return locations_[checked(i)]; }
    std::span<const double> locations() const { return locations_; }
    double dplus(std::size_t i) const { return dplus_[checked(i)]; }
    double dminus(std::size_t i) const { return dminus_[checked(i)]; }
    /// e^(x_i), recomputed from the stored location on every call.
    double spot(std::size_t i) const { return std::exp(locations_[checked(i)]); }

private:
    std::size_t checked(std::size_t i) const {
        if (i >= locations_.size()) {
            throw Fault("mesh index " + std::to_string(i) + " out of range for " +
                        std::to_string(locations_.size()) + " nodes");
        }
        return i;
    }

    GridArray locations_;
    GridArray dplus_;
    GridArray dminus_;
};

}  // namespace sorvik
