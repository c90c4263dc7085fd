#include <gtest/gtest.h>

#include <memory>

#include "porcelain/merge.hpp"

namespace {

qb::TaxonSet taxa_of(std::initializer_list<const char*> names) {
  qb::TaxonSet set;
  for (const char* name : names) set.get_or_insert(name);
  return set;
}

// Root with the given leaf taxa, in chain order.
qb::Tree star(std::initializer_list<int32_t> leaves) {
  qb::Tree t;
  const auto n = static_cast<int32_t>(leaves.size());
  t.taxa = {-42};
  t.parents = {0};
  t.support = {-1.0};
  t.lengths = {-1.0};
  t.firstchild = {n ? 1 : -1};
  t.nextsib = {-1};
  t.childcount = {static_cast<uint32_t>(n)};
  int32_t k = 1;
  for (int32_t taxon : leaves) {
    t.taxa.push_back(taxon);
    t.parents.push_back(0);
    t.support.push_back(0.0);
    t.lengths.push_back(0.5 * k);
    t.firstchild.push_back(-1);
    t.nextsib.push_back(k < n ? k + 1 : -1);
    t.childcount.push_back(0);
    if (taxon >= 0) ++t.ntaxa;
    ++k;
  }
  return t;
}

qb::SingleTree single(qb::TaxonSet set, qb::Tree tree) {
  return {std::make_shared<const qb::TaxonSet>(std::move(set)),
          std::make_shared<const qb::Tree>(std::move(tree))};
}

TEST(Merge, EmptyListGivesEmptySet) {
  auto view = qb::merge_single_trees({});
  EXPECT_EQ(view.taxon_set->last, 0u);
  EXPECT_TRUE(view.taxon_set->names.empty());
  EXPECT_EQ(view.size(), 0u);
  EXPECT_FALSE(view.topology_only);
}

TEST(Merge, NamesTakeIdsInNameOrderAndLeavesAreRenumbered) {
  // Parsed order B=0, A=1; merged order A=0, B=1.
  auto view = qb::merge_single_trees({single(taxa_of({"B", "A"}), star({0, 1}))});
  EXPECT_EQ(view.taxon_set->names, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(view.taxon_set->last, 2u);
  const qb::Tree& t = (*view.trees)[0];
  EXPECT_EQ(t.taxa, (std::vector<int32_t>{-42, 1, 0}));
  EXPECT_EQ(t.lengths, (std::vector<double>{-1.0, 0.5, 1.0}));
  EXPECT_EQ(t.ntaxa, 2u);
}

TEST(Merge, LaterItemsAddOnlyNewNamesInNameOrder) {
  auto view = qb::merge_single_trees({single(taxa_of({"C", "A"}), star({0, 1})),
                                      single(taxa_of({"D", "C", "B"}), star({0, 1, 2}))});
  EXPECT_EQ(view.taxon_set->names, (std::vector<std::string>{"A", "C", "B", "D"}));
  EXPECT_EQ((*view.trees)[0].taxa, (std::vector<int32_t>{-42, 1, 0}));
  EXPECT_EQ((*view.trees)[1].taxa, (std::vector<int32_t>{-42, 3, 1, 2}));
}

TEST(Merge, NamesTheTreeLacksAreEnteredAndMarkersKept) {
  // The tree holds only Z and an unlabelled leaf; the set also knows Y.
  auto view = qb::merge_single_trees({single(taxa_of({"Z", "Y"}), star({0, -1}))});
  EXPECT_EQ(view.taxon_set->names, (std::vector<std::string>{"Y", "Z"}));
  EXPECT_EQ((*view.trees)[0].taxa, (std::vector<int32_t>{-42, 1, -1}));
  EXPECT_EQ((*view.trees)[0].ntaxa, 1u);
}

TEST(Merge, IdsWithoutANameAreLeftAlone) {
  // Taxon 7 is not an id of the item's set (possible only from a stored state).
  auto view = qb::merge_single_trees({single(taxa_of({"B", "A"}), star({7, 0}))});
  EXPECT_EQ((*view.trees)[0].taxa, (std::vector<int32_t>{-42, 7, 1}));
}

TEST(Merge, ByteOrderNotLocaleOrder) {
  auto view = qb::merge_single_trees({single(taxa_of({"a", "B", "AB", "A"}), star({0, 1, 2, 3}))});
  EXPECT_EQ(view.taxon_set->names, (std::vector<std::string>{"A", "AB", "B", "a"}));
}

TEST(Merge, ItemsAreNotShared) {
  auto item = single(taxa_of({"A"}), star({0}));
  auto view = qb::merge_single_trees({item, item});
  EXPECT_NE(view.taxon_set.get(), item.taxon_set.get());
  EXPECT_NE(&(*view.trees)[0], item.tree.get());
  EXPECT_EQ(view.size(), 2u);
  EXPECT_EQ(view.taxon_set->last, 1u);
}

TEST(Merge, SharedTaxonSetIsMappedOnce) {
  auto shared = std::make_shared<const qb::TaxonSet>(taxa_of({"C", "B", "A"}));
  qb::SingleTree a{shared, std::make_shared<const qb::Tree>(star({0, 1}))};
  qb::SingleTree b{shared, std::make_shared<const qb::Tree>(star({2}))};
  auto view = qb::merge_single_trees({a, single(taxa_of({"D", "A"}), star({0, 1})), b});
  EXPECT_EQ(view.taxon_set->names, (std::vector<std::string>{"A", "B", "C", "D"}));
  EXPECT_EQ((*view.trees)[0].taxa, (std::vector<int32_t>{-42, 2, 1}));
  EXPECT_EQ((*view.trees)[1].taxa, (std::vector<int32_t>{-42, 3, 0}));
  EXPECT_EQ((*view.trees)[2].taxa, (std::vector<int32_t>{-42, 0}));
}

TEST(Merge, SparseStoredIdsAndSharedIds) {
  // A stored set: ids far apart, and two names on one id (the later name wins).
  qb::TaxonSet stored;
  stored.to_id.set_general({{"X", 1u << 30}, {"A", 5}, {"B", 5}});
  stored.names = {"A"};
  stored.last = 1;
  auto view = qb::merge_single_trees({single(stored, star({1 << 30, 5, 4, -1}))});
  EXPECT_EQ(view.taxon_set->names, (std::vector<std::string>{"A", "B", "X"}));
  EXPECT_EQ((*view.trees)[0].taxa, (std::vector<int32_t>{-42, 2, 1, 4, -1}));
}

TEST(Merge, AnIdOfMinusOneInAStoredSetRewritesTheMarker) {
  // Entries are widened with their sign: the id 2^64 - 1 is the marker -1.
  qb::TaxonSet stored;
  stored.to_id.set_general({{"A", ~uint64_t{0}}});
  stored.names = {"A"};
  stored.last = 1;
  auto view = qb::merge_single_trees({single(stored, star({-1, 0}))});
  EXPECT_EQ((*view.trees)[0].taxa, (std::vector<int32_t>{-42, 0, 0}));
}

}  // namespace
