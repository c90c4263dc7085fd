#include "merge.hpp"

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <vector>

namespace qb {

namespace {

// Old id -> merged id for one item's taxon set. Ids of a built set are dense,
// so a table indexed by id serves; a stored set may hold any ids, and then a
// hash map does.
class IdMap {
 public:
  IdMap(const TaxonSet& source, const TaxonSet& merged) {
    uint64_t max_id = 0;
    source.for_each_sorted([&](std::string_view, uint64_t id) { max_id = std::max(max_id, id); });
    const uint64_t entries = source.to_id.size();
    dense_ = max_id < 2 * entries + 16;
    if (dense_) table_.assign(entries == 0 ? 0 : max_id + 1, -1);
    // A stored set may map two names to one id; the name later in byte
    // order then decides, the same on every run.
    source.for_each_sorted([&](std::string_view name, uint64_t id) {
      const auto merged_id = static_cast<int64_t>(*merged.find(name));
      if (dense_)
        table_[id] = merged_id;
      else
        sparse_.insert_or_assign(id, merged_id);
    });
  }

  // Rewrites every entry that is an id of the source set; markers and ids
  // outside it stay. Entries are widened with their sign, as everywhere ids
  // meet taxa entries.
  void rewrite(std::vector<int32_t>& taxa) const {
    for (int32_t& taxon : taxa) {
      const auto id = static_cast<uint64_t>(static_cast<int64_t>(taxon));
      if (dense_) {
        if (id < table_.size() && table_[id] >= 0) taxon = static_cast<int32_t>(table_[id]);
      } else if (auto it = sparse_.find(id); it != sparse_.end()) {
        taxon = static_cast<int32_t>(it->second);
      }
    }
  }

 private:
  bool dense_ = true;
  std::vector<int64_t> table_;
  std::unordered_map<uint64_t, int64_t> sparse_;
};

}  // namespace

TreeViewBase merge_single_trees(const std::vector<SingleTree>& items) {
  // Items taken from one collection share its taxon set: each distinct set is
  // entered and mapped once (entering a set's names again changes nothing).
  TaxonSet merged;
  std::unordered_map<const TaxonSet*, std::unique_ptr<IdMap>> maps;
  for (const SingleTree& item : items)
    if (maps.emplace(item.taxon_set.get(), nullptr).second)
      item.taxon_set->for_each_sorted([&](std::string_view name, uint64_t) { merged.get_or_insert(name); });

  std::vector<Tree> trees;
  trees.reserve(items.size());
  for (const SingleTree& item : items) {
    std::unique_ptr<IdMap>& map = maps[item.taxon_set.get()];
    if (!map) map = std::make_unique<IdMap>(*item.taxon_set, merged);
    map->rewrite(trees.emplace_back(*item.tree).taxa);
  }
  return TreeViewBase{share(std::move(merged)), share(std::move(trees)), false};
}

}  // namespace qb
