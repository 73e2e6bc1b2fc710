// fdm/time_grid.cpp: the times a grid run steps through, from expiry back to today.
#include "fdm/time_grid.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "fault.hpp"

namespace sorvik {

TimeGrid::TimeGrid(double years, uint64_t steps, std::span<const double> stops) {
    std::vector<double> ends{0.0};
    for (const double stop : stops) {
        if (!(stop > ends.back() && stop < years))
            throw Fault("stopping time " + std::to_string(stop) + " out of order or outside (0, " +
                        std::to_string(years) + ")");
        ends.push_back(stop);
    }
    ends.push_back(years);
    const std::size_t pieces = ends.size() - 1;
    // Each piece's share of the steps, rounded down but at least one; then a
    // step more where the most is missing, or less where the most is over,
    // until they add up (unless there are more pieces than steps).
    std::vector<uint64_t> count(pieces);
    std::vector<double> share(pieces);
    uint64_t given = 0;
    for (std::size_t j = 0; j < pieces; ++j) {
        share[j] = pieces == 1 ? static_cast<double>(steps)
                               : static_cast<double>(steps) * ((ends[j + 1] - ends[j]) / years);
        count[j] = pieces == 1 ? steps : std::max<uint64_t>(1, static_cast<uint64_t>(std::floor(share[j])));
        given += count[j];
    }
    auto missing = [&](std::size_t j) { return share[j] - static_cast<double>(count[j]); };
    while (given < steps) {
        std::size_t most = 0;
        for (std::size_t j = 1; j < pieces; ++j)
            if (missing(j) > missing(most)) most = j;
        ++count[most];
        ++given;
    }
    while (given > steps) {
        std::size_t least = pieces;
        for (std::size_t j = 0; j < pieces; ++j)
            if (count[j] > 1 && (least == pieces || missing(j) < missing(least))) least = j;
        if (least == pieces) break;
        --count[least];
        --given;
    }
    for (std::size_t j = 0; j < pieces; ++j) {
        if (count[j] == 0) continue;  // no steps at all
        // The difference of the ends, not the length: T − 0 is T exactly.
        pieces_.push_back(Piece{ends[j], (ends[j + 1] - ends[j]) / static_cast<double>(count[j]), steps_});
        steps_ += count[j];
    }
}

const TimeGrid::Piece& TimeGrid::piece_of(uint64_t m) const {
    if (m >= steps_) throw Fault("step " + std::to_string(m) + " of a time grid of " + std::to_string(steps_));
    const auto after = std::upper_bound(pieces_.begin(), pieces_.end(), m,
                                        [](uint64_t step, const Piece& piece) { return step < piece.first; });
    return *(after - 1);
}

double TimeGrid::time(uint64_t m, double c) const {
    const Piece& piece = piece_of(m);
    return piece.start + (static_cast<double>(m - piece.first) + c) * piece.dt;
}

std::vector<double> TimeGrid::distinct_steps() const {
    std::vector<double> steps;
    for (const Piece& piece : pieces_)
        if (std::find(steps.begin(), steps.end(), piece.dt) == steps.end()) steps.push_back(piece.dt);
    return steps;
}

}  // namespace sorvik
