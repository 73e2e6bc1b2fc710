// strided.hpp: numpy arrays broadcast to a book's shape, read through the buffer protocol.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace sorvik::batch {

inline constexpr int kMaxDims = 64;

/// The shape every input is broadcast to.
struct BookShape {
    int ndim = 0;
    std::array<Py_ssize_t, kMaxDims> extent{};
    Py_ssize_t size = 1;
};

/// One input: its data and byte strides over the book's shape (0 along a
/// broadcast axis), element type `T`. Never written.
template <class T>
struct StridedInput {
    const char* data = nullptr;
    std::array<Py_ssize_t, kMaxDims> strides{};
};

/// Walks the book's flat indices in C order, keeping a pointer to the
/// element of every one of `N` inputs; starts at any flat index. Each step
/// along the last axis adds strides held in the cursor itself: no lookup
/// through the inputs' stride arrays on every row.
template <std::size_t N>
class Cursor {
public:
    Cursor(const BookShape& shape, const std::array<const char*, N>& data,
           const std::array<const Py_ssize_t*, N>& strides, Py_ssize_t flat)
        : shape_(shape), strides_(strides), at_(data), flat_(flat) {
        if (shape.size == 0) return;  // an empty book has no index to position at (and an extent of 0)
        if (shape.ndim > 0)
            for (std::size_t k = 0; k < N; ++k) step_[k] = strides_[k][shape.ndim - 1];
        Py_ssize_t rest = flat;
        for (int d = shape.ndim - 1; d >= 0; --d) {
            index_[d] = rest % shape.extent[d];
            rest /= shape.extent[d];
            for (std::size_t k = 0; k < N; ++k) at_[k] += index_[d] * strides_[k][d];
        }
    }

    /// Input k's element at the cursor.
    const char* at(std::size_t k) const { return at_[k]; }
    /// The flat index (C order) the cursor points at.
    Py_ssize_t flat() const { return flat_; }

    void advance() {
        ++flat_;
        // Along the last axis (every step but one per row of it) from the steps held here.
        const int last = shape_.ndim - 1;
        if (last >= 0 && ++index_[last] < shape_.extent[last]) {
            for (std::size_t k = 0; k < N; ++k) at_[k] += step_[k];
            return;
        }
        if (last >= 0) {
            for (std::size_t k = 0; k < N; ++k) at_[k] -= (index_[last] - 1) * step_[k];
            index_[last] = 0;
        }
        for (int d = last - 1; d >= 0; --d) {
            if (++index_[d] < shape_.extent[d]) {
                for (std::size_t k = 0; k < N; ++k) at_[k] += strides_[k][d];
                return;
            }
            for (std::size_t k = 0; k < N; ++k) at_[k] -= (index_[d] - 1) * strides_[k][d];
            index_[d] = 0;
        }
    }

private:
    const BookShape& shape_;
    std::array<const Py_ssize_t*, N> strides_;
    std::array<Py_ssize_t, kMaxDims> index_{};
    std::array<const char*, N> at_;
    std::array<Py_ssize_t, N> step_{};  ///< each input's stride along the last axis
    Py_ssize_t flat_;
};

}  // namespace sorvik::batch
