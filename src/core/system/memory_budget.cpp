// system/memory_budget.cpp: reads the process's memory limits and refuses runs that exceed them.
#include "system/memory_budget.hpp"

#include <sys/resource.h>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <algorithm>
#include <limits>
#include <mutex>
#include <optional>

namespace sorvik {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kUncheckedBytes = uint64_t{32} << 20;

// What the MemoryReservations alive in the process hold.
std::mutex g_reserved_mutex;
uint64_t g_reserved = 0;
// cgroup v1 writes "no limit" as the largest page-aligned counter (about 2^63).
constexpr uint64_t kUnlimitedFrom = uint64_t{1} << 62;

std::optional<std::string> read_file(const fs::path& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\n");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\n") - first + 1);
}

std::optional<uint64_t> parse_u64(std::string_view text) {
    text = trim(text);
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

/// The number after "<key>" at the start of a line ("MemAvailable:", "VmSize:",
/// "inactive_file"), in bytes when the line ends in "kB".
std::optional<uint64_t> keyed_value(std::string_view text, std::string_view key) {
    for (std::string_view line : split(text, '\n')) {
        if (line.substr(0, key.size()) != key || line.size() == key.size() ||
            (line[key.size()] != ' ' && line[key.size()] != '\t'))
            continue;
        std::string_view rest = trim(line.substr(key.size()));
        uint64_t scale = 1;
        if (rest.size() > 2 && rest.substr(rest.size() - 2) == "kB") {
            rest = trim(rest.substr(0, rest.size() - 2));
            scale = 1024;
        }
        const auto value = parse_u64(rest);
        if (!value || *value > std::numeric_limits<uint64_t>::max() / scale) return std::nullopt;
        return *value * scale;
    }
    return std::nullopt;
}

std::optional<uint64_t> keyed_file_value(const fs::path& path, std::string_view key) {
    const auto text = read_file(path);
    return text ? keyed_value(*text, key) : std::nullopt;
}

/// `base` with `more` appended below it, without a trailing separator when `more` is empty.
fs::path below(const fs::path& base, const fs::path& more) {
    return more.relative_path().empty() ? base : base / more.relative_path();
}

/// The files of one cgroup version's memory controller.
struct CgroupFiles {
    const char* limit;
    const char* usage;
    const char* inactive_key;  // in memory.stat
};
constexpr CgroupFiles kCgroupV2{"memory.max", "memory.current", "inactive_file"};
constexpr CgroupFiles kCgroupV1{"memory.limit_in_bytes", "memory.usage_in_bytes", "total_inactive_file"};

/// The limit of the group in `dir` and of each group above it up to the
/// mount point `top`, leaf first.
void add_cgroup_limits(const fs::path& dir, const fs::path& top, const CgroupFiles& files,
                       std::vector<MemoryLimit>& out) {
    for (fs::path level = dir;; level = level.parent_path()) {
        const auto limit_text = read_file(level / files.limit);
        const auto limit = limit_text ? parse_u64(*limit_text) : std::nullopt;  // "max": none
        if (limit && *limit < kUnlimitedFrom) {
            uint64_t used = parse_u64(read_file(level / files.usage).value_or("")).value_or(0);
            const uint64_t inactive = keyed_file_value(level / "memory.stat", files.inactive_key).value_or(0);
            used -= inactive < used ? inactive : used;
            out.push_back({"the cgroup memory limit (" + (level / files.limit).string() + ")", *limit, used});
        }
        if (level == top || !level.has_relative_path() || level == level.parent_path()) return;
    }
}

/// The process's memory cgroups (a v2 group and a v1 memory group may both
/// exist), each as its directory and its mount point's directory.
void add_cgroups(const MemorySources& sources, std::vector<MemoryLimit>& out) {
    const auto groups = read_file(sources.proc / "self/cgroup");
    const auto mounts = read_file(sources.proc / "self/mountinfo");
    if (!groups || !mounts) return;
    for (std::string_view line : split(*groups, '\n')) {
        // "<id>:<controllers>:<path>"; v2 is "0::<path>"
        const auto fields = split(line, ':');
        if (fields.size() < 3) continue;
        const bool v2 = fields[0] == "0" && fields[1].empty();
        bool v1_memory = false;
        for (std::string_view controller : split(fields[1], ',')) v1_memory |= controller == "memory";
        if (!v2 && !v1_memory) continue;
        const std::string_view path = line.substr(fields[0].size() + fields[1].size() + 2);

        for (std::string_view mount : split(*mounts, '\n')) {
            // "<id> <parent> <dev> <root> <mount point> <options> [tags] - <type> <source> <super options>"
            const auto m = split(mount, ' ');
            std::size_t dash = 6;
            while (dash < m.size() && m[dash] != "-") ++dash;
            if (dash + 3 >= m.size()) continue;
            const std::string_view type = m[dash + 1];
            bool memory_option = false;
            for (std::string_view option : split(m[dash + 3], ',')) memory_option |= option == "memory";
            if (v2 ? type != "cgroup2" : (type != "cgroup" || !memory_option)) continue;

            // The group's path is relative to the mount's root, unless the
            // mount shows the group itself (a container's own namespace).
            const std::string_view root = m[3];
            std::string_view inside;
            if (root == "/") inside = path;
            else if (path.substr(0, root.size()) == root && (path.size() == root.size() || path[root.size()] == '/'))
                inside = path.substr(root.size());
            const fs::path top = below(sources.root, fs::path(m[4])).lexically_normal();
            add_cgroup_limits(below(top, fs::path(inside)).lexically_normal(), top, v2 ? kCgroupV2 : kCgroupV1, out);
            break;
        }
    }
}

std::string binary_size(uint64_t bytes) {
    constexpr const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 6) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

}  // namespace

std::vector<MemoryLimit> memory_limits(const MemorySources& sources) {
    std::vector<MemoryLimit> limits;
    rlimit address_space{};
    if (sources.address_space && getrlimit(RLIMIT_AS, &address_space) == 0 &&
        address_space.rlim_cur != RLIM_INFINITY) {
        const uint64_t used = keyed_file_value(sources.proc / "self/status", "VmSize:").value_or(0);
        limits.push_back({"the address-space limit (RLIMIT_AS)", address_space.rlim_cur, used});
    }
    add_cgroups(sources, limits);
    if (const auto meminfo = read_file(sources.proc / "meminfo")) {
        if (const auto available = keyed_value(*meminfo, "MemAvailable:"))
            limits.push_back({"the available memory (MemAvailable)", *available, 0});
        else if (const auto total = keyed_value(*meminfo, "MemTotal:"))
            limits.push_back({"the physical memory (MemTotal)", *total, 0});
    }
    return limits;
}

void require_memory(uint64_t bytes, std::string_view purpose, const std::vector<MemoryLimit>& limits) {
    for (const MemoryLimit& limit : limits) {
        const uint64_t room = limit.limit > limit.used ? limit.limit - limit.used : 0;
        const uint64_t allowed = room - room / 8;
        if (bytes <= allowed) continue;
        const std::string needed = bytes == std::numeric_limits<uint64_t>::max()
                                       ? "more than " + binary_size(bytes)
                                       : binary_size(bytes) + " (" + std::to_string(bytes) + " bytes)";
        throw MemoryBudgetExceeded(std::string(purpose) + " needs " + needed + "; " + limit.name +
                                   " leaves room for " + binary_size(allowed));
    }
}

void require_memory(uint64_t bytes, std::string_view purpose) {
    if (bytes < kUncheckedBytes) return;
    require_memory(bytes, purpose, memory_limits());
}

MemoryReservation::MemoryReservation(uint64_t bytes, std::string_view purpose) : bytes_(bytes) {
    std::lock_guard lock(g_reserved_mutex);
    const uint64_t others = g_reserved;
    if (bytes > std::numeric_limits<uint64_t>::max() - others || bytes + others >= kUncheckedBytes) {
        std::vector<MemoryLimit> limits = memory_limits();
        for (MemoryLimit& limit : limits) {
            const uint64_t room = limit.limit > limit.used ? limit.limit - limit.used : 0;
            limit.used = others >= room ? limit.limit : limit.used + others;
        }
        require_memory(bytes, purpose, limits);
    }
    g_reserved = others + bytes;
}

MemoryReservation::~MemoryReservation() {
    std::lock_guard lock(g_reserved_mutex);
    g_reserved -= bytes_;
}

}  // namespace sorvik
