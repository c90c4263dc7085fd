#pragma once
// How much memory this process can still take before the system stops it:
// the bound that decompression, and what is read from decompressed bytes,
// must stay within so that a small hostile input ends in std::bad_alloc
// (MemoryError) rather than in the process being killed.
#include <cstdint>
#include <string>

namespace qb {

// Where the budget is read from: the files of the running process by
// default; tests point them at files of their own. A file that cannot be
// read, or lacks its line, tells nothing.
struct MemorySources {
  std::string meminfo = "/proc/meminfo";           // MemAvailable
  std::string status = "/proc/self/status";        // VmSize, VmData
  std::string cgroup = "/proc/self/cgroup";        // the control groups holding the process
  std::string mountinfo = "/proc/self/mountinfo";  // where their hierarchies are mounted
  // The soft limits on the address space and the data segment (RLIMIT_AS,
  // RLIMIT_DATA); UINT64_MAX for none.
  uint64_t address_space_limit = UINT64_MAX;
  uint64_t data_limit = UINT64_MAX;

  // The running process's files and limits.
  static MemorySources of_this_process();
};

// The smallest of: the memory the system reports available; each limit of
// the process less what it already uses of it (the address space against
// VmSize, the data segment against VmData); and for every memory control
// group holding the process, itself and each group above it, its limit
// less its usage, plus the inactive file cache that the kernel drops before
// it stops the group (cgroup v2 memory.max, memory.current and memory.stat;
// v1 memory.limit_in_bytes, memory.usage_in_bytes and memory.stat).
// UINT64_MAX where nothing is known.
uint64_t memory_budget(const MemorySources& sources);

// The budget of the running process.
uint64_t memory_budget();

}  // namespace qb
