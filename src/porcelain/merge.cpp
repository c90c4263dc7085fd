#include "merge.hpp"

#include <memory>
#include <unordered_map>

namespace qb {

TreeViewBase merge_single_trees(const std::vector<SingleTree>& items) {
  auto merged = std::make_shared<TaxonSet>();
  for (const SingleTree& item : items)
    for (const auto& [name, id] : item.taxon_set->sorted_entries()) merged->get_or_insert(*name);

  auto trees = std::make_shared<std::vector<Tree>>();
  trees->reserve(items.size());
  std::unordered_map<uint64_t, uint64_t> new_id;
  for (const SingleTree& item : items) {
    new_id.clear();
    // A stored taxon set may map two names to one id; the name later in byte
    // order then decides, the same on every run.
    for (const auto& [name, id] : item.taxon_set->sorted_entries())
      new_id.insert_or_assign(id, *merged->find(*name));
    Tree& copy = trees->emplace_back(*item.tree);
    for (int32_t& taxon : copy.taxa) {
      // Widened with its sign, as everywhere ids meet taxa entries.
      auto it = new_id.find(static_cast<uint64_t>(static_cast<int64_t>(taxon)));
      if (it != new_id.end()) taxon = static_cast<int32_t>(it->second);
    }
  }
  return TreeViewBase{std::move(merged), std::move(trees), false};
}

}  // namespace qb
