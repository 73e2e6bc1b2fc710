// system/memory_budget.hpp: refuses a run that would not fit under the process's memory limits.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sorvik {

/// A run needs more memory than a limit leaves for it; the binding layer
/// raises it as MemoryError with this message.
class MemoryBudgetExceeded : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// One limit on new allocations: `limit` bytes in all, `used` of them taken.
struct MemoryLimit {
    std::string name;  // for messages: "the address-space limit (RLIMIT_AS)"
    uint64_t limit = 0;
    uint64_t used = 0;
};

/// Where the limits are read; the defaults describe the running process.
struct MemorySources {
    std::filesystem::path proc = "/proc";  // meminfo, self/status, self/cgroup, self/mountinfo
    std::filesystem::path root = "/";      // prefixed to the cgroup mount points
    bool address_space = true;             // consult getrlimit(RLIMIT_AS)
};

/// Every limit that is set, in this order: RLIMIT_AS (against the process's
/// VmSize), each cgroup level's memory limit from the process's own group up
/// (v2 memory.max against memory.current, v1 memory.limit_in_bytes against
/// memory.usage_in_bytes, both less the reclaimable inactive file cache), and
/// MemAvailable (MemTotal on kernels without it). Unreadable files count as
/// no limit.
std::vector<MemoryLimit> memory_limits(const MemorySources& sources = {});

/// Throws MemoryBudgetExceeded, naming the first limit that refuses, when
/// `bytes` exceed seven eighths of the room a limit leaves (the rest stays
/// for the process and the system), e.g. "the finite-difference grid needs
/// 1.5 GiB (1610612736 bytes); the address-space limit (RLIMIT_AS) leaves
/// room for 402.3 MiB". `bytes` = UINT64_MAX stands for any larger count.
void require_memory(uint64_t bytes, std::string_view purpose, const std::vector<MemoryLimit>& limits);

/// Memory promised to runs under way in this process (grids that other threads
/// or calls are about to build), held from construction to destruction. A new
/// reservation must fit on top of every one held: the limits' usage shows only
/// what has been allocated already. Throws MemoryBudgetExceeded as
/// require_memory does, the room it names being what the others leave.
/// Requests that stay below 32 MiB with the others pass without reading the limits.
class MemoryReservation {
public:
    MemoryReservation(uint64_t bytes, std::string_view purpose);
    MemoryReservation(const MemoryReservation&) = delete;
    MemoryReservation& operator=(const MemoryReservation&) = delete;
    ~MemoryReservation();

private:
    uint64_t bytes_;
};

/// The same against the process's limits. Requests below 32 MiB pass without
/// reading them: that costs a good part of a small grid run, and an
/// allocation that then fails still raises MemoryError (std::bad_alloc).
void require_memory(uint64_t bytes, std::string_view purpose);

}  // namespace sorvik
