// fdm/grid_memory.hpp: the grid's node arrays, whose memory a book's worker keeps from one group of options to the next.
#pragma once

#include <cstddef>
#include <vector>

namespace sorvik {

/// Memory for the grid's node arrays. A thread that keeps grid memory (a
/// worker valuing a book) puts the block of a freed array aside and hands it
/// to the next array of the same size. A book is valued a few options at a
/// time, each group with arrays of the sizes the last one had; memory the C
/// library gave back to the system between groups came back zeroed, one page
/// fault at a time, for every group. Elsewhere arrays take and give back
/// memory as usual.
namespace grid_memory {

/// From now on this thread keeps the blocks of the arrays it frees (up to a bound).
void keep_on_this_thread();
/// Frees the blocks this thread keeps (it goes on keeping): when its work
/// is done, so that memory it kept for one book is not held past it.
void release_on_this_thread() noexcept;

void* take(std::size_t bytes);
void give_back(void* block, std::size_t bytes) noexcept;

}  // namespace grid_memory

template <class T>
struct GridAllocator {
    using value_type = T;
    GridAllocator() = default;
    template <class U>
    GridAllocator(const GridAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(grid_memory::take(n * sizeof(T))); }
    void deallocate(T* block, std::size_t n) noexcept { grid_memory::give_back(block, n * sizeof(T)); }
    friend bool operator==(const GridAllocator&, const GridAllocator&) { return true; }
};

/// A node array of the grid.
using GridArray = std::vector<double, GridAllocator<double>>;

}  // namespace sorvik
