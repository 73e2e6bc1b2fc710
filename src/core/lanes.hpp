// lanes.hpp: two doubles in one SSE2 register (GCC vector extension), and the same operations on a double.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace sorvik::lanes {

/// Two lanes in one SSE2 register of the baseline instruction set (GCC
/// vector extension). Every operation is element-wise IEEE arithmetic, so a
/// lane's bits are those the same code gives on a plain double.
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
typedef int64_t PairBits __attribute__((vector_size(2 * sizeof(int64_t))));

/// The bits of a double as an integer, and back.
inline int64_t to_bits(double x) { return std::bit_cast<int64_t>(x); }
inline PairBits to_bits(Pair x) { return std::bit_cast<PairBits>(x); }
inline double from_bits(int64_t b) { return std::bit_cast<double>(b); }
inline Pair from_bits(PairBits b) { return std::bit_cast<Pair>(b); }

/// A value with every lane equal to x.
template <class V>
inline V splat(double x) {
    if constexpr (std::is_same_v<V, double>) {
        return x;
    } else {
        return V{x, x};
    }
}

/// Two consecutive doubles as a Pair (unaligned), and back.
inline Pair load(const double* p) {
    Pair x;
    std::memcpy(&x, p, sizeof x);
    return x;
}
inline void store(double* p, Pair x) { std::memcpy(p, &x, sizeof x); }

/// The sum of the lanes, first plus second.
inline double sum(Pair x) { return x[0] + x[1]; }

/// `mask ? a : b` lane by lane, for the result of a comparison; for Pairs
/// through the mask's bits (a vector ?: would compare 64-bit integers, which
/// SSE2 lacks, and fall back to branches).
inline double select(bool mask, double a, double b) { return mask ? a : b; }
inline Pair select(PairBits mask, Pair a, Pair b) { return from_bits((to_bits(a) & mask) | (to_bits(b) & ~mask)); }

inline double sqrt(double x) { return std::sqrt(x); }
#if defined(__SSE2__)
inline Pair sqrt(Pair x) { return __builtin_ia32_sqrtpd(x); }  // both lanes in one instruction
#else
inline Pair sqrt(Pair x) { return Pair{std::sqrt(x[0]), std::sqrt(x[1])}; }
#endif

/// x below lo raised to lo, x above hi lowered to hi; NaN stays NaN. For
/// Pairs one SSE2 max or min each (which return their second operand, x, when
/// the comparison fails), rather than a comparison and a three-step select.
inline double raise_to(double x, double lo) { return lo > x ? lo : x; }
inline double lower_to(double x, double hi) { return hi < x ? hi : x; }
#if defined(__SSE2__)
inline Pair raise_to(Pair x, double lo) { return __builtin_ia32_maxpd(Pair{lo, lo}, x); }
inline Pair lower_to(Pair x, double hi) { return __builtin_ia32_minpd(Pair{hi, hi}, x); }
#else
inline Pair raise_to(Pair x, double lo) { return Pair{raise_to(x[0], lo), raise_to(x[1], lo)}; }
inline Pair lower_to(Pair x, double hi) { return Pair{lower_to(x[0], hi), lower_to(x[1], hi)}; }
#endif

inline double abs(double x) { return std::fabs(x); }
inline Pair abs(Pair x) { return from_bits(to_bits(x) & PairBits{INT64_MAX, INT64_MAX}); }

/// The larger of x and 0 (0 where x is NaN).
inline double positive_part(double x) { return x > 0.0 ? x : 0.0; }
inline Pair positive_part(Pair x) { return from_bits(to_bits(x) & (x > 0.0)); }

#define SORVIK_LANE_INLINE inline __attribute__((always_inline))

}  // namespace sorvik::lanes
