// fdm/cancellation.hpp: how a long grid run learns that it should stop.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "fault.hpp"

namespace sorvik {

/// Polled between time steps and every kRowsPerPoll rows of a pass over the
/// nodes; when poll(context) returns true the run throws sorvik::Cancelled.
struct CancellationHook {
    bool (*poll)(void* context) = nullptr;
    void* context = nullptr;

    void check() const {
        if (poll != nullptr && poll(context)) throw Cancelled{};
    }
};

/// Rows of one pass between two polls: a pass over a huge grid (tens of
/// millions of nodes, a second or more) stops within milliseconds, while a
/// pass over an ordinary grid never reaches a poll.
inline constexpr std::size_t kRowsPerPoll = std::size_t{1} << 16;

/// Polls at the k-th row of a pass when k is a positive multiple of kRowsPerPoll.
inline void poll_at_row(const CancellationHook& cancel, std::size_t k) {
    if ((k & (kRowsPerPoll - 1)) == 0 && k != 0) cancel.check();
}

/// Resizes `values` to `count` zeros, polling every kRowsPerPoll of them:
/// the first touch of fresh memory (page faults, zero fill) is itself a long
/// pass for a huge grid.
template <class Allocator>
void resize_polled(std::vector<double, Allocator>& values, std::size_t count, const CancellationHook& cancel) {
    values.reserve(count);
    while (values.size() < count) {
        poll_at_row(cancel, values.size());
        values.resize(values.size() + std::min(kRowsPerPoll, count - values.size()));
    }
}

}  // namespace sorvik
