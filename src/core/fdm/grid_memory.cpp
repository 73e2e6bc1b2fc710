// fdm/grid_memory.cpp: the blocks a thread keeps for the grid's node arrays.
#include "fdm/grid_memory.hpp"

#include <new>
#include <utility>

namespace sorvik::grid_memory {

namespace {

/// More blocks than one group of options on the ordinary grids frees (a few
/// dozen, a few MiB in all); a block beyond them goes back as usual. The
/// bound on bytes keeps what a worker holds beyond the grids it is building
/// small next to the memory the call's check counted for them: grids so
/// large take long enough that faulting their memory in again costs little.
constexpr std::size_t kMostBlocks = 256;
constexpr std::size_t kMostBytes = std::size_t{32} << 20;

struct Kept {
    bool keeping = false;
    std::size_t bytes = 0;
    std::vector<std::pair<std::size_t, void*>> blocks;  // (bytes, block); capacity reserved once

    ~Kept() { release(); }
    void release() noexcept {
        for (const auto& [size, block] : blocks) ::operator delete(block);
        blocks.clear();
        bytes = 0;
    }
};

thread_local Kept kept;

}  // namespace

void keep_on_this_thread() {
    kept.blocks.reserve(kMostBlocks);
    kept.keeping = true;
}

void release_on_this_thread() noexcept { kept.release(); }

void* take(std::size_t bytes) {
    if (kept.keeping) {
        for (std::size_t i = kept.blocks.size(); i-- > 0;) {
            if (kept.blocks[i].first != bytes) continue;
            void* block = kept.blocks[i].second;
            kept.bytes -= bytes;
            kept.blocks[i] = kept.blocks.back();
            kept.blocks.pop_back();
            return block;
        }
    }
    return ::operator new(bytes);
}

void give_back(void* block, std::size_t bytes) noexcept {
    // Within the reserved capacity: keeping a block allocates nothing.
    if (kept.keeping && kept.blocks.size() < kMostBlocks && bytes <= kMostBytes - kept.bytes) {
        kept.blocks.emplace_back(bytes, block);
        kept.bytes += bytes;
        return;
    }
    ::operator delete(block);
}

}  // namespace sorvik::grid_memory
