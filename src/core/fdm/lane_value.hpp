// fdm/lane_value.hpp: several options' doubles handled as one value, for stepping them together.
#pragma once

#include <cstddef>
#include <cstring>

namespace sorvik {

/// Two lanes in one SIMD register of the baseline instruction set (GCC
/// vector extension: element-wise IEEE operations, so each lane keeps its
/// own bits).
typedef double LanePair __attribute__((vector_size(2 * sizeof(double))));

/// W lanes as W/2 register pairs, so that a sweep carries W/2 independent
/// recurrences at once: one alone would wait on its own latency.
#define SORVIK_LANES_INLINE inline __attribute__((always_inline))

template <std::size_t W>
struct LaneBlock {
    static_assert(W % 2 == 0, "lanes come in pairs");
    static constexpr std::size_t pairs = W / 2;
    LanePair pair[pairs];

    friend SORVIK_LANES_INLINE LaneBlock operator+(const LaneBlock& a, const LaneBlock& b) {
        LaneBlock r;
        for (std::size_t j = 0; j < pairs; ++j) r.pair[j] = a.pair[j] + b.pair[j];
        return r;
    }
    friend SORVIK_LANES_INLINE LaneBlock operator-(const LaneBlock& a, const LaneBlock& b) {
        LaneBlock r;
        for (std::size_t j = 0; j < pairs; ++j) r.pair[j] = a.pair[j] - b.pair[j];
        return r;
    }
    friend SORVIK_LANES_INLINE LaneBlock operator*(const LaneBlock& a, const LaneBlock& b) {
        LaneBlock r;
        for (std::size_t j = 0; j < pairs; ++j) r.pair[j] = a.pair[j] * b.pair[j];
        return r;
    }
    friend SORVIK_LANES_INLINE LaneBlock operator*(double c, const LaneBlock& b) {
        LaneBlock r;
        for (std::size_t j = 0; j < pairs; ++j) r.pair[j] = c * b.pair[j];
        return r;
    }
    friend SORVIK_LANES_INLINE LaneBlock operator*(const LaneBlock& a, double c) {
        LaneBlock r;
        for (std::size_t j = 0; j < pairs; ++j) r.pair[j] = a.pair[j] * c;
        return r;
    }
    /// Element-wise `a > b ? a : b` (b where a is NaN).
    friend SORVIK_LANES_INLINE LaneBlock larger(const LaneBlock& a, const LaneBlock& b) {
        LaneBlock r;
        for (std::size_t j = 0; j < pairs; ++j) r.pair[j] = a.pair[j] > b.pair[j] ? a.pair[j] : b.pair[j];
        return r;
    }
};

/// W doubles handled as one value: a plain double for a single lane.
template <std::size_t W>
struct LaneValue {
    using type = LaneBlock<W>;
};
template <>
struct LaneValue<1> {
    using type = double;
};

SORVIK_LANES_INLINE double larger(double a, double b) { return a > b ? a : b; }

SORVIK_LANES_INLINE LanePair load_pair(const double* p) {
    LanePair x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

/// W consecutive doubles as one value (unaligned load), and back.
template <std::size_t W>
SORVIK_LANES_INLINE typename LaneValue<W>::type load_lanes(const double* p) {
    if constexpr (W == 1) {
        return *p;
    } else {
        LaneBlock<W> x;
        for (std::size_t j = 0; j < W / 2; ++j) x.pair[j] = load_pair(p + 2 * j);
        return x;
    }
}

template <std::size_t W>
SORVIK_LANES_INLINE void store_lanes(double* p, const typename LaneValue<W>::type& x) {
    if constexpr (W == 1) {
        *p = x;
    } else {
        for (std::size_t j = 0; j < W / 2; ++j) std::memcpy(p + 2 * j, &x.pair[j], sizeof(LanePair));
    }
}

}  // namespace sorvik
