// tests/core/test_memory_budget.cpp: memory limits read from /proc and cgroup files, and the refusal message.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "support.hpp"
#include "system/memory_budget.hpp"

namespace sorvik {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t MiB = uint64_t{1} << 20;
constexpr uint64_t GiB = uint64_t{1} << 30;
constexpr const char* kMeminfo = "MemTotal:       24683752 kB\nMemFree:        1000 kB\nMemAvailable:   16777216 kB\n";

/// A scratch tree standing for / (proc/... and sys/fs/cgroup/...).
class FakeSystem {
public:
    FakeSystem() : root_(fs::temp_directory_path() / ("sorvik-memory-" + std::to_string(getpid()) + "-" +
                                                      std::to_string(counter_++))) {
        fs::create_directories(root_);
    }
    ~FakeSystem() { fs::remove_all(root_); }

    void write(const std::string& path, const std::string& text) const {
        const fs::path file = root_ / path;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    MemorySources sources() const { return {root_ / "proc", root_, false}; }
    std::string path(const std::string& relative) const { return (root_ / relative).string(); }

private:
    static inline int counter_ = 0;
    fs::path root_;
};

struct Expected {
    std::string file;  // the limit file below the fake root, "" for MemAvailable
    uint64_t limit, used;
};

struct Layout {
    const char* name;
    std::map<std::string, std::string> files;
    std::vector<Expected> limits;
};

class CgroupLayouts : public ::testing::TestWithParam<Layout> {};

TEST_P(CgroupLayouts, LimitsFromTheGroupUpThenMemAvailable) {
    const Layout& layout = GetParam();
    FakeSystem system;
    for (const auto& [path, text] : layout.files) system.write(path, text);
    const auto limits = memory_limits(system.sources());
    ASSERT_EQ(limits.size(), layout.limits.size());
    for (std::size_t i = 0; i < limits.size(); ++i) {
        const Expected& e = layout.limits[i];
        EXPECT_EQ(limits[i].name, e.file.empty() ? "the available memory (MemAvailable)"
                                                 : "the cgroup memory limit (" + system.path(e.file) + ")");
        EXPECT_EQ(limits[i].limit, e.limit) << i;
        EXPECT_EQ(limits[i].used, e.used) << i;
    }
}

const Expected kAvailable{"", 16 * GiB, 0};

INSTANTIATE_TEST_SUITE_P(
    Layouts, CgroupLayouts,
    ::testing::Values(
        // v2: the leaf has no limit ("max"); its parent's counts, less the inactive file cache.
        Layout{"v2_parent",
               {{"proc/meminfo", kMeminfo},
                {"proc/self/cgroup", "0::/a/b\n"},
                {"proc/self/mountinfo", "30 23 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw\n"},
                {"sys/fs/cgroup/a/b/memory.max", "max\n"},
                {"sys/fs/cgroup/a/b/memory.current", "1000\n"},
                {"sys/fs/cgroup/a/memory.max", "1073741824\n"},
                {"sys/fs/cgroup/a/memory.current", "629145600\n"},
                {"sys/fs/cgroup/a/memory.stat", "anon 5\nactive_file 7\ninactive_file 104857600\n"}},
               {{"sys/fs/cgroup/a/memory.max", GiB, 500 * MiB}, kAvailable}},
        // v1 beside an unrelated v2 mount (hybrid); "no limit" is a huge number.
        Layout{"v1_hybrid",
               {{"proc/meminfo", kMeminfo},
                {"proc/self/cgroup", "4:memory:/x/y\n1:cpu,cpuacct:/x/y\n0::/\n"},
                {"proc/self/mountinfo",
                 "32 31 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
                 "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
                 "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"},
                {"sys/fs/cgroup/memory/x/y/memory.limit_in_bytes", "9223372036854771712\n"},
                {"sys/fs/cgroup/memory/x/memory.limit_in_bytes", "2147483648\n"},
                {"sys/fs/cgroup/memory/x/memory.usage_in_bytes", "104857600\n"},
                {"sys/fs/cgroup/memory/x/memory.stat", "cache 1\ntotal_inactive_file 209715200\n"},
                {"sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"}},
               {{"sys/fs/cgroup/memory/x/memory.limit_in_bytes", 2 * GiB, 0}, kAvailable}},
        // A container sees its own group as the mount's root.
        Layout{"v1_container",
               {{"proc/meminfo", kMeminfo},
                {"proc/self/cgroup", "9:memory:/docker/abc\n"},
                {"proc/self/mountinfo", "35 31 0:32 /docker/abc /sys/fs/cgroup/memory ro - cgroup cgroup rw,memory\n"},
                {"sys/fs/cgroup/memory/memory.limit_in_bytes", "536870912\n"},
                {"sys/fs/cgroup/memory/memory.usage_in_bytes", "268435456\n"}},
               {{"sys/fs/cgroup/memory/memory.limit_in_bytes", 512 * MiB, 256 * MiB}, kAvailable}},
        Layout{"no_cgroup_mounted", {{"proc/meminfo", kMeminfo}, {"proc/self/cgroup", "0::/\n"}}, {kAvailable}},
        Layout{"nothing_readable", {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Kernels before 3.14 have no MemAvailable.
TEST(MemoryLimits, WithoutMemAvailableThePhysicalMemoryCounts) {
    FakeSystem system;
    system.write("proc/meminfo", "MemTotal:  1024 kB\nMemFree:  10 kB\n");
    const auto limits = memory_limits(system.sources());
    ASSERT_EQ(limits.size(), 1u);
    EXPECT_EQ(limits[0].name, "the physical memory (MemTotal)");
    EXPECT_EQ(limits[0].limit, 1024u * 1024u);
}

struct Request {
    uint64_t bytes;
    std::vector<MemoryLimit> limits;
    std::string message;  // "" when the request passes
};

class Refusal : public ::testing::TestWithParam<Request> {};

TEST_P(Refusal, NamesTheNeedAndTheFirstLimitThatRefuses) {
    const Request& r = GetParam();
    EXPECT_EQ(testing::message_of<MemoryBudgetExceeded>([&] { require_memory(r.bytes, "the grid", r.limits); }),
              r.message.empty() ? "<nothing thrown>" : r.message);
}

const MemoryLimit kAs{"the address-space limit (RLIMIT_AS)", 2 * GiB, GiB};  // 1 GiB room, 896 MiB allowed
const MemoryLimit kAvail{"the available memory (MemAvailable)", 512 * MiB, 0};  // 448 MiB allowed

INSTANTIATE_TEST_SUITE_P(
    Requests, Refusal,
    ::testing::Values(
        Request{448 * MiB, {kAs, kAvail}, ""},
        Request{448 * MiB + 1, {kAs, kAvail},
                "the grid needs 448.0 MiB (469762049 bytes); the available memory (MemAvailable) leaves room for "
                "448.0 MiB"},
        Request{GiB, {kAs, kAvail},
                "the grid needs 1.0 GiB (1073741824 bytes); the address-space limit (RLIMIT_AS) leaves room for "
                "896.0 MiB"},
        // Usage above the limit leaves no room at all.
        Request{1, {{"the cgroup memory limit (memory.max)", 100, 200}},
                "the grid needs 1 B (1 bytes); the cgroup memory limit (memory.max) leaves room for 0 B"},
        Request{std::numeric_limits<uint64_t>::max(), {kAvail},
                "the grid needs more than 16.0 EiB; the available memory (MemAvailable) leaves room for 448.0 MiB"},
        Request{std::numeric_limits<uint64_t>::max(), {}, ""}));

}  // namespace
}  // namespace sorvik
