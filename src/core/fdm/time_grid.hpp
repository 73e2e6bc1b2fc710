// fdm/time_grid.hpp: the times a grid run steps through, from expiry back to today.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace sorvik {

/// The steps of a grid run in τ, years before expiry, from 0 to T. Stopping
/// times split [0, T] into pieces whose ends the steps land on exactly; each
/// piece is cut into equal steps, their number in proportion to its length
/// (largest remainders, at least one each), `steps` in all unless there are
/// more pieces than that. Without stops step m spans [m·Δt, (m + 1)·Δt],
/// Δt = T/steps, to the last bit.
class TimeGrid {
public:
    /// `stops`: the stopping times in (0, T), ascending and distinct (others
    /// are a Fault). With none and no steps, the run takes no step.
    TimeGrid(double years, uint64_t steps, std::span<const double> stops = {});

    uint64_t size() const { return steps_; }
    /// The size of step m.
    double step(uint64_t m) const { return piece_of(m).dt; }
    /// τ of the point a fraction c into step m: the start of its piece plus
    /// (steps into the piece + c)·Δt.
    double time(uint64_t m, double c) const;
    /// Whether step m starts at a stopping time (the run transfers its values
    /// across the event there and restarts its scheme).
    bool starts_at_stop(uint64_t m) const { return m != 0 && piece_of(m).first == m; }
    /// The step sizes that occur, each once, in the order they first occur.
    std::vector<double> distinct_steps() const;

private:
    struct Piece {
        double start, dt;
        uint64_t first;  // its first step
    };
    const Piece& piece_of(uint64_t m) const;

    std::vector<Piece> pieces_;
    uint64_t steps_ = 0;
};

}  // namespace sorvik
