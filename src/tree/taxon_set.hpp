#pragma once
// TaxonSet: taxon names <-> dense integer ids.
//
// `to_id` is kept as a hash map for lookups while parsing; its byte-wise key
// order (the order the stored form and the list-form merge need) is produced
// on demand by sorted_entries(). `names` and `last` are the plain sequence and
// counter. A set read from a stored form may have the three fields disagree;
// nothing here assumes they agree.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qb {

struct NameHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

}  // namespace qb

#if defined(__GLIBCXX__)
// libstdc++ keeps a node's hash code only for hashes it deems slow; without it,
// walking a bucket and rehashing hash every key again, which makes building a
// map of 10^6 names many times slower.
template <>
struct std::__is_fast_hash<qb::NameHash> : std::false_type {};
#endif

namespace qb {

using NameMap = std::unordered_map<std::string, uint64_t, NameHash, std::equal_to<>>;

struct TaxonSet {
  NameMap to_id;
  std::vector<std::string> names;
  uint64_t last = 0;

  // Id of `name`, registering it with id `last` when new.
  uint64_t get_or_insert(std::string_view name);

  std::optional<uint64_t> find(std::string_view name) const {
    auto it = to_id.find(name);
    if (it == to_id.end()) return std::nullopt;
    return it->second;
  }

  // Name of id `id`, or nullptr when `names` has no such entry.
  const std::string* name_of(uint64_t id) const {
    return id < names.size() ? &names[id] : nullptr;
  }

  // Entries of `to_id` in ascending byte-wise key order (a proper prefix sorts first).
  std::vector<std::pair<const std::string*, uint64_t>> sorted_entries() const;
};

}  // namespace qb
