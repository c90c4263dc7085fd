#pragma once
// TaxonSet: taxon names <-> dense integer ids.
//
// Memory is a few bytes per name beyond the name bytes: `names` keeps every
// name in one byte buffer with end offsets, and `to_id` is, for every set the
// system builds, an open-addressing table of 32-bit slots that hold ids (the
// key of id i is names[i]). Only a stored set whose `to_id` is not exactly
// {names[i] -> i} keeps an ordered map of its own entries. The byte-wise key
// order of `to_id` (for the stored form and the list-form merge) is sorted
// once and cached. A set read from a stored form may have the three fields
// disagree; nothing here assumes they agree.
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "name_index.hpp"
#include "name_list.hpp"
#include "sorted_order.hpp"

namespace qb {

struct TaxonSet {
  NameIndex to_id;
  NameList names;
  uint64_t last = 0;

  // Id of `name`, registering it with id `last` when new.
  uint64_t get_or_insert(std::string_view name) { return get_or_insert(name, name_hash(name)); }
  // The same with `hash` = name_hash(name). For names that arrive in bulk:
  // hash each and prefetch(hash) as it comes, then resolve them in order a
  // few dozen names later, when their slots are in the cache.
  uint64_t get_or_insert(std::string_view name, uint64_t hash);
  void prefetch(uint64_t hash) const noexcept { to_id.prefetch(hash); }
  // Room for `count` names in all without growing (a hint).
  void reserve(size_t count, size_t bytes);

  std::optional<uint64_t> find(std::string_view name) const { return to_id.find(name, names); }

  // Name of id `id`, or nothing when `names` has no such entry.
  std::optional<std::string_view> name_of(uint64_t id) const {
    if (id < names.size()) return names[id];
    return std::nullopt;
  }

  // Calls f(key, id) for every entry of `to_id` in ascending byte-wise key
  // order (a proper prefix sorts first).
  template <class F>
  void for_each_sorted(F&& f) const {
    if (const NameIndex::Entries* entries = to_id.general()) {
      for (const auto& [key, id] : *entries) f(std::string_view(key), id);
      return;
    }
    for (uint32_t id : sorted_ids()) f(names[id], static_cast<uint64_t>(id));
  }
  // The same entries as a list.
  std::vector<std::pair<std::string_view, uint64_t>> sorted_entries() const;

  // Plain mode: ids in ascending order of their names (cached).
  const std::vector<uint32_t>& sorted_ids() const;
  // Plain mode: installs `order` as the sorted order; the caller vouches for it.
  void install_sorted_ids(std::vector<uint32_t> order) { order_.install(std::move(order)); }

 private:
  SortedOrder order_;
};

}  // namespace qb
