#include <gtest/gtest.h>

#include <memory>

#include "porcelain/merge.hpp"
#include "support.hpp"

namespace qb {
namespace {

TaxonSetPtr taxa_of(std::vector<std::string> names, NameIndex::Entries stored = {}) {
  TaxonSet set;  // parsed from the names, or a stored set: entries as given, names, last 1
  for (const auto& name : names) set.get_or_insert(name);
  if (!stored.empty()) set.to_id.set_general(std::move(stored)), set.last = 1;
  return std::make_shared<const TaxonSet>(std::move(set));
}

// A root (taxon -42) over leaves with these taxa; `ntaxa` counts the named ones.
TreePtr star(std::vector<int32_t> leaves) {
  const auto n = static_cast<int32_t>(leaves.size());
  std::vector<int32_t> taxa{-42}, parents{0}, first{n ? 1 : -1}, next{-1};
  uint64_t named = 0;
  for (int32_t k = 1; k <= n; ++k) {
    taxa.push_back(leaves[k - 1]), parents.push_back(0), first.push_back(-1), next.push_back(k < n ? k + 1 : -1);
    named += leaves[k - 1] >= 0;
  }
  std::vector<uint32_t> count(n + 1, 0);
  count[0] = static_cast<uint32_t>(n);
  return std::make_shared<const Tree>(arena(taxa, parents, first, next, count, named));
}

// Names enter item by item, each item's in byte order (also names its tree lacks); known
// names keep their id; leaves are renumbered, markers and ids without a name left alone.
struct Case {
  std::vector<TaxonSetPtr> sets;
  std::vector<std::pair<size_t, std::vector<int32_t>>> items;  // (set, leaf taxa)
  std::vector<std::string> names;
  std::vector<std::vector<int32_t>> taxa;
};

TEST(Merge, Table) {
  const TaxonSetPtr shared = taxa_of({"C", "B", "A"});
  const Case cases[] = {
      {{}, {}, {}, {}},
      {{taxa_of({"B", "A"})}, {{0, {0, 1}}}, {"A", "B"}, {{-42, 1, 0}}},
      {{taxa_of({"C", "A"}), taxa_of({"D", "C", "B"})}, {{0, {0, 1}}, {1, {0, 1, 2}}}, {"A", "C", "B", "D"},
       {{-42, 1, 0}, {-42, 3, 1, 2}}},
      {{taxa_of({"Z", "Y"})}, {{0, {0, -1}}}, {"Y", "Z"}, {{-42, 1, -1}}},
      {{taxa_of({"B", "A"})}, {{0, {7, 0}}}, {"A", "B"}, {{-42, 7, 1}}},
      {{taxa_of({"a", "B", "AB", "A"})}, {{0, {0, 1, 2, 3}}}, {"A", "AB", "B", "a"}, {{-42, 3, 2, 1, 0}}},
      {{shared, taxa_of({"D", "A"})}, {{0, {0, 1}}, {1, {0, 1}}, {0, {2}}}, {"A", "B", "C", "D"},
       {{-42, 2, 1}, {-42, 3, 0}, {-42, 0}}},
      {{taxa_of({"A"})}, {{0, {0}}, {0, {0}}}, {"A"}, {{-42, 0}, {-42, 0}}},
      // stored: ids far apart, two names on one id (the later name wins)
      {{taxa_of({"A"}, {{"X", 1u << 30}, {"A", 5}, {"B", 5}})}, {{0, {1 << 30, 5, 4, -1}}}, {"A", "B", "X"},
       {{-42, 2, 1, 4, -1}}},
      // entries are widened with their sign: the id 2^64 - 1 is the marker -1
      {{taxa_of({"A"}, {{"A", ~uint64_t{0}}})}, {{0, {-1, 0}}}, {"A"}, {{-42, 0, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.names.size());
    std::vector<SingleTree> items;
    for (const auto& [set, leaves] : c.items) items.push_back({c.sets[set], star(leaves)});
    const TreeViewBase view = merge_single_trees(items);
    EXPECT_TRUE(view.taxon_set->names == c.names);
    EXPECT_EQ(view.taxon_set->last, c.names.size());
    EXPECT_FALSE(view.topology_only);
    ASSERT_EQ(view.size(), c.taxa.size());
    for (size_t k = 0; k < items.size(); ++k) {
      EXPECT_EQ((*view.trees)[k].taxa, c.taxa[k]);
      EXPECT_EQ((*view.trees)[k].ntaxa, items[k].tree->ntaxa);
      EXPECT_NE(&(*view.trees)[k], items[k].tree.get());  // shares nothing with the items
      EXPECT_NE(view.taxon_set.get(), items[k].taxon_set.get());
    }
  }
}

}  // namespace
}  // namespace qb
