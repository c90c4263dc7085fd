// The memory a family state may take when it is read: the budget read from the
// system's files (available memory, the process's limits, its control groups),
// and the reader charging what it builds against that budget.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "compression/family_state.hpp"
#include "compression/memory_budget.hpp"
#include "compression/zstd_stream.hpp"
#include "porcelain/stored_views.hpp"

namespace qb {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t KiB = 1024, MiB = 1024 * KiB, GiB = 1024 * MiB;

// Fake /proc and control-group files in a scratch directory; "@" in a text
// stands for the directory (mountinfo names absolute paths).
class FakeFiles {
 public:
  FakeFiles() {
    static std::atomic<int> made{0};
    root_ = fs::temp_directory_path() / ("qb-budget-" + std::to_string(getpid()) + "-" + std::to_string(made++));
    fs::create_directories(root_);
  }
  ~FakeFiles() { fs::remove_all(root_); }
  std::string path(const std::string& name) const { return (root_ / name).string(); }
  void put(const std::string& name, std::string text) {
    for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, root_.string());
    fs::create_directories(fs::path(path(name)).parent_path());
    std::ofstream(path(name)) << text;
  }
  MemorySources sources(uint64_t address_space = UINT64_MAX, uint64_t data = UINT64_MAX) const {
    return {path("meminfo"), path("status"), path("cgroup"), path("mountinfo"), address_space, data};
  }

 private:
  fs::path root_;
};

struct BudgetCase {
  const char* what;
  std::vector<std::pair<std::string, std::string>> files;
  uint64_t address_space, data, budget;
};

const std::string kMeminfo = "MemTotal:       16000000 kB\nMemFree:   100 kB\nMemAvailable:    4194304 kB\n";  // 4 GiB
const std::string kStatus = "Name:\tpython\nVmPeak:\t 9000 kB\nVmSize:\t    1024 kB\nVmData:\t     512 kB\n";
const std::string kV2Mount = "36 25 0:30 / @/cg rw,nosuid,nodev - cgroup2 cgroup2 rw,nsdelegate\n";
const std::string kV1Mounts = "32 31 0:29 / @/v1cpu rw - cgroup cgroup rw,cpu,cpuacct\n"
                              "35 31 0:32 / @/v1mem rw,relatime - cgroup cgroup rw,memory\n";

const std::vector<BudgetCase> kBudgetCases = {
    {"nothing readable: nothing known", {}, UINT64_MAX, UINT64_MAX, UINT64_MAX},
    {"available memory alone", {{"meminfo", kMeminfo}}, UINT64_MAX, UINT64_MAX, 4 * GiB},
    {"the address-space limit less the address space in use",
     {{"meminfo", kMeminfo}, {"status", kStatus}}, 3 * MiB, UINT64_MAX, 2 * MiB},
    {"the data limit less the data in use", {{"meminfo", kMeminfo}, {"status", kStatus}}, 8 * MiB, 2 * MiB,
     2 * MiB - 512 * KiB},
    {"a limit already passed leaves nothing", {{"status", kStatus}}, 512 * KiB, UINT64_MAX, 0},
    {"cgroup v2: the tightest group on the way up, its inactive file cache counted as room",
     {{"meminfo", kMeminfo}, {"cgroup", "0::/a/b\n"}, {"mountinfo", "24 1 8:1 / / rw - ext4 /dev/sda1 rw\n" + kV2Mount},
      {"cg/a/b/memory.max", "max\n"}, {"cg/a/b/memory.current", "4096\n"},
      {"cg/a/memory.max", "10485760\n"}, {"cg/a/memory.current", "8388608\n"},
      {"cg/a/memory.stat", "anon 4096\nactive_file 77\ninactive_file 1048576\n"},
      {"cg/memory.current", "999999999\n"}},
     UINT64_MAX, UINT64_MAX, 3 * MiB},
    {"cgroup v2 below the others: the smallest of all",
     {{"meminfo", kMeminfo}, {"status", kStatus}, {"cgroup", "0::/a\n"}, {"mountinfo", kV2Mount},
      {"cg/a/memory.max", "104857600\n"}, {"cg/a/memory.current", "0\n"}},
     200 * MiB, UINT64_MAX, 100 * MiB},
    {"cgroup v1 memory hierarchy beside other controllers and an empty v2 one",
     {{"meminfo", kMeminfo}, {"cgroup", "5:cpu,cpuacct:/x\n4:memory:/x/y\n0::/\n"},
      {"mountinfo", kV1Mounts + "41 31 0:38 / @/unified rw - cgroup2 cgroup2 rw\n"},
      {"v1cpu/x/memory.limit_in_bytes", "1\n"}, {"v1cpu/x/memory.usage_in_bytes", "0\n"},
      {"v1mem/x/y/memory.limit_in_bytes", "9223372036854771712\n"}, {"v1mem/x/y/memory.usage_in_bytes", "5\n"},
      {"v1mem/x/memory.limit_in_bytes", "67108864\n"}, {"v1mem/x/memory.usage_in_bytes", "62914560\n"},
      {"v1mem/x/memory.stat", "inactive_file 4\ntotal_inactive_file 1048576\n"}},
     UINT64_MAX, UINT64_MAX, 5 * MiB},
    {"a group below the root of its mount (a cgroup namespace)",
     {{"meminfo", kMeminfo}, {"cgroup", "0::/ns/y\n"}, {"mountinfo", "36 25 0:30 /ns @/cg rw - cgroup2 cgroup2 rw\n"},
      {"cg/y/memory.max", "1048576\n"}, {"cg/y/memory.current", "0\n"}},
     UINT64_MAX, UINT64_MAX, 1 * MiB},
    {"a group outside what is mounted is not read",
     {{"meminfo", kMeminfo}, {"cgroup", "0::/elsewhere\n"}, {"mountinfo", "36 25 0:30 /ns @/cg rw - cgroup2 cgroup2 rw\n"},
      {"cg/memory.max", "1\n"}, {"cg/memory.current", "0\n"}},
     UINT64_MAX, UINT64_MAX, 4 * GiB},
    {"a mount point with a space in it",
     {{"meminfo", kMeminfo}, {"cgroup", "0::/\n"}, {"mountinfo", "36 25 0:30 / @/c\\040g rw - cgroup2 cgroup2 rw\n"},
      {"c g/memory.max", "2097152\n"}, {"c g/memory.current", "1048576\n"}},
     UINT64_MAX, UINT64_MAX, 1 * MiB},
};

void PrintTo(const BudgetCase& c, std::ostream* os) { *os << c.what; }

class MemoryBudget : public testing::TestWithParam<BudgetCase> {};

TEST_P(MemoryBudget, IsTheSmallestRoomOfEverySource) {
  const BudgetCase& c = GetParam();
  FakeFiles files;
  for (const auto& [name, text] : c.files) files.put(name, text);
  EXPECT_EQ(memory_budget(files.sources(c.address_space, c.data)), c.budget) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Sources, MemoryBudget, testing::ValuesIn(kBudgetCases));

// --- What reading a family state may build ---------------------------------

// The stored list of `count` members with `members` empty ones after it.
std::string empty_members(uint64_t count, uint64_t members) {
  std::string out(reinterpret_cast<const char*>(&count), 8);
  const std::string one = serialize_msc_tree_view(MSCTreeView{});
  for (uint64_t i = 0; i < members; ++i) out += one;
  return out;
}
std::string frame(std::string_view stored) { return std::string(zstd::compress(stored)->view()); }

// "members N", the error text, or "MemoryError".
std::string outcome(std::string_view state, uint64_t max_memory) {
  try {
    auto members = read_family_state(state, max_memory);
    return members.ok() ? "members " + std::to_string(members->size()) : members.error();
  } catch (const std::bad_alloc&) {
    return "MemoryError";
  }
}

TEST(FamilyStateBudget, WhatTheMembersTakeIsChargedBeforeTheyAreBuilt) {
  const std::string cut_short = "Deserialization error: io error: unexpected end of file";
  // A small output that repeats: 125 MiB decoded from a few kB.
  std::string repeats;
  const std::string block = frame(std::string(128 * KiB, 'x'));
  for (int i = 0; i < 1000; ++i) repeats += block;
  const std::string three = frame(empty_members(3, 3));
  struct Row {
    std::string state;
    uint64_t max_memory;
    std::string outcome;
  };
  const std::vector<Row> rows = {
      // 10,000 empty members: 1 MB stored, 7 MB once built.
      {frame(empty_members(10000, 10000)), 16 * MiB, "members 10000"},
      {frame(empty_members(10000, 10000)), 4 * MiB, "MemoryError"},
      // A count beyond the bytes that have all arrived: read up to them, as ever.
      {frame(empty_members(uint64_t{1} << 40, 3)), 64 * MiB, cut_short},
      // A count that no budget holds, the bytes still to come: refused at once.
      {frame(empty_members(uint64_t{1} << 40, 100000)), 64 * MiB, "MemoryError"},
      // Output after the complete value is not decoded, only checked to be frames.
      {three + repeats, 64 * MiB, "members 3"},
      {three + "garbage!", 64 * MiB, "Decompression error: Unknown frame descriptor"},
      {(three + repeats).substr(0, three.size() + repeats.size() - 1), 64 * MiB,
       "Decompression error: incomplete frame"},
  };
  for (const Row& row : rows) EXPECT_EQ(outcome(row.state, row.max_memory), row.outcome) << row.state.size();
}

}  // namespace
}  // namespace qb
