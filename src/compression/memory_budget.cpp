#include "compression/memory_budget.hpp"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>
#include <vector>

#include "porcelain/files.hpp"
#include "tree/saturating.hpp"

#if defined(__unix__)
#include <sys/resource.h>
#endif

namespace qb {
namespace {

// A file that cannot be read tells nothing.
std::optional<std::string> read_file(const std::string& path) {
  Result<std::string> text = read_text_file(path);
  if (!text.ok()) return std::nullopt;
  return std::move(*text);
}

std::vector<std::string_view> split(std::string_view text, char at) {
  std::vector<std::string_view> parts;
  for (size_t begin = 0;;) {
    const size_t end = text.find(at, begin);
    parts.push_back(text.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin));
    if (end == std::string_view::npos) return parts;
    begin = end + 1;
  }
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

std::optional<uint64_t> number(std::string_view s) {
  s = trim(s);
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || s.empty()) return std::nullopt;
  return v;
}

// The number after `key` on the line that starts with it ("MemAvailable:
// 123 kB", "inactive_file 456"), times `unit`.
std::optional<uint64_t> keyed(std::string_view text, std::string_view key, uint64_t unit) {
  for (std::string_view line : split(text, '\n')) {
    if (line.substr(0, key.size()) != key) continue;
    std::string_view rest = trim(line.substr(key.size()));
    if (unit == 1024 && rest.size() > 3 && rest.substr(rest.size() - 3) == " kB") rest.remove_suffix(3);
    if (auto v = number(rest)) return saturating_mul(*v, unit);
  }
  return std::nullopt;
}

std::optional<uint64_t> keyed_in(const std::string& path, std::string_view key, uint64_t unit) {
  const std::optional<std::string> text = read_file(path);
  return text ? keyed(*text, key, unit) : std::nullopt;
}

// A limit file: a number of bytes, or "max" for none.
std::optional<uint64_t> limit_in(const std::string& path) {
  const std::optional<std::string> text = read_file(path);
  if (!text || trim(*text) == "max") return std::nullopt;
  return number(*text);
}

// mountinfo writes a space, tab, newline or backslash in a path as \ and three octal digits.
std::string unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    auto octal = [&](size_t k) { return s[k] >= '0' && s[k] <= '7'; };
    if (s[i] == '\\' && i + 3 < s.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

enum class Version { v1, v2 };

// The directory of the group at `path` of a hierarchy, and the directory of
// that hierarchy's mount (the top of the walk), from mountinfo.
std::optional<std::pair<std::string, std::string>> group_directory(std::string_view mountinfo, Version version,
                                                                   std::string_view path) {
  for (std::string_view line : split(mountinfo, '\n')) {
    const size_t dash = line.find(" - ");
    if (dash == std::string_view::npos) continue;
    const std::vector<std::string_view> fields = split(line.substr(0, dash), ' ');
    const std::vector<std::string_view> fs = split(line.substr(dash + 3), ' ');
    if (fields.size() < 5 || fs.size() < 3) continue;
    if (version == Version::v2 && fs[0] != "cgroup2") continue;
    if (version == Version::v1) {
      const std::vector<std::string_view> options = split(trim(fs[2]), ',');
      if (fs[0] != "cgroup" || std::find(options.begin(), options.end(), "memory") == options.end()) continue;
    }
    const std::string root = unescape(fields[3]), mount = unescape(fields[4]);
    // The group must lie inside what is mounted here.
    std::string_view rest = path;
    if (root != "/") {
      if (rest.substr(0, root.size()) != root || (rest.size() > root.size() && rest[root.size()] != '/')) continue;
      rest.remove_prefix(root.size());
    }
    while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    return std::pair(mount + std::string(rest), mount);
  }
  return std::nullopt;
}

// The room left under the memory limits of `dir` and of every group above
// it up to `top`.
uint64_t group_room(std::string dir, const std::string& top, Version version) {
  uint64_t room = UINT64_MAX;
  const char* limit_file = version == Version::v2 ? "/memory.max" : "/memory.limit_in_bytes";
  const char* usage_file = version == Version::v2 ? "/memory.current" : "/memory.usage_in_bytes";
  for (;;) {
    const std::optional<uint64_t> limit = limit_in(dir + limit_file);
    const std::optional<uint64_t> usage = limit ? limit_in(dir + usage_file) : std::nullopt;
    if (limit && usage) {
      const std::optional<std::string> stat = read_file(dir + "/memory.stat");
      std::optional<uint64_t> cache;
      if (stat && version == Version::v1) cache = keyed(*stat, "total_inactive_file ", 1);
      if (stat && !cache) cache = keyed(*stat, "inactive_file ", 1);
      room = std::min(room, saturating_add(saturating_sub(*limit, *usage), cache.value_or(0)));
    }
    const size_t parent = dir.rfind('/');
    if (dir.size() <= top.size() || parent == std::string::npos || parent < top.size()) return room;
    dir.resize(parent);
  }
}

uint64_t cgroup_room(const MemorySources& sources) {
  const std::optional<std::string> groups = read_file(sources.cgroup);
  const std::optional<std::string> mountinfo = read_file(sources.mountinfo);
  if (!groups || !mountinfo) return UINT64_MAX;
  uint64_t room = UINT64_MAX;
  for (std::string_view line : split(*groups, '\n')) {
    // "hierarchy-id:controllers:path"; v2 is "0::path".
    const size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, first), controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    Version version;
    if (id == "0" && controllers.empty()) {
      version = Version::v2;
    } else {
      const std::vector<std::string_view> names = split(controllers, ',');
      if (std::find(names.begin(), names.end(), "memory") == names.end()) continue;
      version = Version::v1;
    }
    if (auto dirs = group_directory(*mountinfo, version, path))
      room = std::min(room, group_room(dirs->first, dirs->second, version));
  }
  return room;
}

}  // namespace

MemorySources MemorySources::of_this_process() {
  MemorySources sources;
#if defined(__unix__)
  auto soft = [](int resource) {
    rlimit rl{};
    return getrlimit(resource, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY ? static_cast<uint64_t>(rl.rlim_cur)
                                                                         : UINT64_MAX;
  };
  sources.address_space_limit = soft(RLIMIT_AS);
  sources.data_limit = soft(RLIMIT_DATA);
#endif
  return sources;
}

uint64_t memory_budget(const MemorySources& sources) {
  // What the system can hand out without swapping, reclaimable cache included.
  uint64_t budget = keyed_in(sources.meminfo, "MemAvailable:", 1024).value_or(UINT64_MAX);
  const std::optional<std::string> status = read_file(sources.status);
  auto room_under = [&](uint64_t limit, std::string_view used_key) {
    if (limit == UINT64_MAX) return UINT64_MAX;
    const std::optional<uint64_t> used = status ? keyed(*status, used_key, 1024) : std::nullopt;
    return saturating_sub(limit, used.value_or(0));
  };
  budget = std::min(budget, room_under(sources.address_space_limit, "VmSize:"));
  budget = std::min(budget, room_under(sources.data_limit, "VmData:"));
  return std::min(budget, cgroup_room(sources));
}

uint64_t memory_budget() { return memory_budget(MemorySources::of_this_process()); }

}  // namespace qb
