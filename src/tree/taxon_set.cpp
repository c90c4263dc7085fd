#include "taxon_set.hpp"

#include <algorithm>

namespace qb {

uint64_t TaxonSet::get_or_insert(std::string_view name, uint64_t hash) {
  const uint64_t id = last;
  // Plain mode lasts while ids are exactly the positions in `names`.
  if (to_id.plain() && id == names.size() && id < NameIndex::kMaxPlainIds) {
    const int64_t found = to_id.find_or_insert_plain(name, hash, names);
    if (found >= 0) return static_cast<uint64_t>(found);
    names.push_back(name);
  } else {
    if (auto known = find(name)) return *known;
    to_id.make_general(names);
    names.push_back(name);
    to_id.assign(name, id);
  }
  order_.reset();
  ++last;
  return id;
}

const std::vector<uint32_t>& TaxonSet::sorted_ids() const {
  return order_.get([this] {
    // Sorted by the first eight bytes as a big-endian number (zero-padded),
    // then by the whole names where those agree.
    const size_t n = to_id.size();
    std::vector<std::pair<uint64_t, uint32_t>> keyed(n);
    for (size_t id = 0; id < n; ++id) {
      keyed[id] = {name_prefix_key(names[id]), static_cast<uint32_t>(id)};
    }
    std::sort(keyed.begin(), keyed.end(), [this](const auto& a, const auto& b) {
      if (a.first != b.first) return a.first < b.first;
      return names[a.second] < names[b.second];
    });
    std::vector<uint32_t> order(n);
    for (size_t k = 0; k < n; ++k) order[k] = keyed[k].second;
    return order;
  });
}

void TaxonSet::reserve(size_t count, size_t bytes) {
  if (!to_id.plain() || last != names.size()) return;
  names.reserve(count, bytes);
  to_id.reserve(count, names);
}

std::vector<std::pair<std::string_view, uint64_t>> TaxonSet::sorted_entries() const {
  std::vector<std::pair<std::string_view, uint64_t>> out;
  out.reserve(to_id.size());
  for_each_sorted([&](std::string_view key, uint64_t id) { out.emplace_back(key, id); });
  return out;
}

}  // namespace qb
