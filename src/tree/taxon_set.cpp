#include "taxon_set.hpp"

#include <algorithm>

namespace qb {

uint64_t TaxonSet::get_or_insert(std::string_view name) {
  auto it = to_id.find(name);
  if (it != to_id.end()) return it->second;
  const uint64_t id = last;
  names.emplace_back(name);
  to_id.emplace(std::string(name), id);
  ++last;
  return id;
}

std::vector<std::pair<const std::string*, uint64_t>> TaxonSet::sorted_entries() const {
  std::vector<std::pair<const std::string*, uint64_t>> out;
  out.reserve(to_id.size());
  for (const auto& [key, id] : to_id) out.emplace_back(&key, id);
  // std::string's operator< compares bytes as unsigned char, shorter first on a tie.
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return *a.first < *b.first; });
  return out;
}

}  // namespace qb
