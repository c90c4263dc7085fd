// Restriction and renaming in the core: the id lookups, the tree builder,
// stored trees whose links break the tree invariants, and the view forms
// (the Python classes check the outcomes on well-formed trees).
#include <gtest/gtest.h>

#include "support.hpp"

#include <cstdint>
#include <limits>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "porcelain/views.hpp"
#include "tree/newick.hpp"
#include "tree/plain_tree.hpp"
#include "tree/restrict.hpp"

namespace qb {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

// A renaming over string literals, which outlive the mapping's views of them.
NameMapping mapping(std::initializer_list<std::pair<std::string_view, std::string_view>> pairs) {
  NameMapping m;
  for (const auto& [from, to] : pairs) m.emplace(HashedName(from), HashedName(to));
  return m;
}

struct Lookup {
  int32_t taxon;
  bool kept;
  int32_t out;
};

TEST(KeptIds, DenseAndSparseIdsAlike) {
  // 5000 lies past the dense bound of two kept ids; kMax is what -1 widens to.
  const std::vector<uint64_t> kept{3, 5000, 3, 7, kMax};
  const std::vector<std::pair<uint64_t, uint64_t>> id_map{{3, 0}, {5000, 1}, {3, 9}, {kMax, 2}, {8, 4},
                                                          {7, 0x1'0000'0005}};
  const KeptIds ids(kept, id_map);
  EXPECT_EQ(ids.size(), 4u);
  for (const Lookup& c : std::vector<Lookup>{{3, true, 9},     // the later pair wins
                                             {5000, true, 1},  // sparse
                                             {7, true, 5},     // low 32 bits of the new id
                                             {-1, true, 2},    // matches the widened id 2^64-1
                                             {8, false, 0},    // mapped but not kept
                                             {4, false, 0},
                                             {-42, false, 0}}) {
    int32_t out = 0;
    EXPECT_EQ(ids.find(c.taxon, out), c.kept) << c.taxon;
    if (c.kept) EXPECT_EQ(out, c.out) << c.taxon;
  }
  const std::vector<uint64_t> one{2};
  int32_t out = 0;
  ASSERT_TRUE(KeptIds(one, {}).find(2, out));
  EXPECT_EQ(out, -1);  // kept without a new id
  EXPECT_FALSE(KeptIds().find(-1, out));
}

TEST(TreeBuilder, AppendsLastChildren) {
  TreeBuilder b(1);
  EXPECT_EQ(b.add(0, 5), 1);
  EXPECT_EQ(b.add(0, -1), 2);
  EXPECT_EQ(b.add(2, 6), 3);
  EXPECT_EQ(b.add(0, 7), 4);
  const Tree t = std::move(b).finish(3);
  EXPECT_EQ(t.taxa, (std::vector<int32_t>{-1, 5, -1, 6, 7}));
  EXPECT_EQ(t.parents, (std::vector<int32_t>{0, 0, 0, 2, 0}));
  EXPECT_EQ(t.firstchild, (std::vector<int32_t>{1, -1, 3, -1, -1}));
  EXPECT_EQ(t.nextsib, (std::vector<int32_t>{-1, 2, 4, -1, -1}));
  EXPECT_EQ(t.childcount, (std::vector<uint32_t>{3, 0, 1, 0, 0}));
  EXPECT_EQ(t.lengths, std::vector<double>(5, 0.0));
  EXPECT_EQ(t.support, std::vector<double>(5, 0.0));
  EXPECT_EQ(t.ntaxa, 3u);
  EXPECT_EQ(panic_text([] { TreeBuilder(1).add(1, 0); }), "index out of bounds: the len is 1 but the index is 1");
}

const std::vector<uint64_t> kAB{0, 1};
const std::vector<std::pair<uint64_t, uint64_t>> kABMap{{0, 0}, {1, 1}};

struct BrokenCase {
  const char* name;
  Tree tree;
  const char* panic;  // nullptr: no panic
};

class RestrictBroken : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(RestrictBroken, StopsWithATextOrEnds) {
  const BrokenCase& c = GetParam();
  const KeptIds kept(kAB, kABMap);
  EXPECT_EQ(panic_text([&] { (void)c.tree.restrict(kept); }), c.panic ? c.panic : "<no panic>");
}

// Node 1 (taxon 0, kept) hangs off a root that does not link to it; its
// parent chain is the part under test.
Tree hanging(std::vector<int32_t> parents_from_1, std::vector<uint32_t> childcount_from_1) {
  const size_t n = parents_from_1.size() + 1;
  std::vector<int32_t> taxa(n, -1), parents{0}, links(n, -1);
  std::vector<uint32_t> counts{0};
  taxa[1] = 0;
  parents.insert(parents.end(), parents_from_1.begin(), parents_from_1.end());
  counts.insert(counts.end(), childcount_from_1.begin(), childcount_from_1.end());
  return arena(taxa, parents, links, links, counts, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, RestrictBroken,
    ::testing::Values(
        BrokenCase{"parent_loop_among_dropped_nodes", hanging({2, 3, 2}, {0, 1, 1}),
                   "malformed tree: node links do not form a tree"},
        BrokenCase{"parent_past_the_end", hanging({7}, {0}), "index out of bounds: the len is 2 but the index is 7"},
        BrokenCase{"parent_none", hanging({-1}, {0}),
                   "index out of bounds: the len is 2 but the index is 18446744073709551615"},
        BrokenCase{"own_parent_is_left_out", hanging({1}, {0}), nullptr},
        BrokenCase{"no_nodes", Tree{}, "malformed tree: the tree has no nodes"},
        BrokenCase{"shared_child", arena({-1, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 1, -1}, {2, 0, 0}, 2),
                   "malformed tree: node links do not form a tree"},
        BrokenCase{"short_childcount", arena({-1, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0}, 2),
                   "index out of bounds: the len is 2 but the index is 2"}),
    [](const auto& info) { return std::string(info.param.name); });

// A stored childcount may claim 2^32-1 children on a chain that loops: the
// plain-tree check (taken by restriction and sorting) must give up at once
// rather than walk the loop that many times.
TEST(PlainTree, ClaimedChildCountsBeyondTheNodesEndTheCheck) {
  const size_t n = 4;
  const Tree t = arena(std::vector<int32_t>(n, -1), std::vector<int32_t>(n, 0), std::vector<int32_t>(n, 1),
                       std::vector<int32_t>(n, 1), std::vector<uint32_t>(n, UINT32_MAX), 0);
  EXPECT_FALSE(is_plain_tree(t));
  EXPECT_EQ(panic_text([&] { (void)detail::restrict_sparse_first(t, KeptIds(kAB, kABMap)); }),
            "malformed tree: node links do not form a tree");
}

TEST(Restrict, AncestorWithALargerIndexDropsItsSubtreeFromTheSkeleton) {
  // Root 0 -> 2 -> (1: A, 3: B). Node 1 comes before its parent and is left
  // out; 2 keeps one child, so contraction and rebuild leave B's leaf alone,
  // as the root of the result.
  const Tree t = arena({-1, 0, -1, 1}, {0, 2, 0, 2}, {2, -1, 1, -1}, {-1, 3, -1, -1}, {1, 0, 2, 0}, 2);
  const Tree r = t.restrict(KeptIds(kAB, kABMap));
  EXPECT_EQ(r.taxa, std::vector<int32_t>{1});
  EXPECT_EQ(r.childcount, std::vector<uint32_t>{0});
  EXPECT_EQ(r.ntaxa, 1u);
}

TEST(Restrict, SharedAncestorWalksStayLinear) {
  // Regression, a stored tree only: k kept leaves all hang from the bottom of a
  // chain of k dropped nodes. Walking the chain once per leaf took k^2 steps.
  const int32_t k = 100'000;
  const int32_t n = 2 * k + 1;
  std::vector<int32_t> taxa(n, -1), parents(n), links(n, -1);
  std::vector<uint32_t> counts(n, 1);
  std::vector<uint64_t> kept(k);
  std::vector<std::pair<uint64_t, uint64_t>> id_map(k);
  parents[0] = 0;
  counts[0] = 0;
  for (int32_t i = 1; i <= k; ++i) parents[i] = i - 1;  // the chain 1..k
  for (int32_t i = 0; i < k; ++i) {
    taxa[k + 1 + i] = i;
    parents[k + 1 + i] = k;
    counts[k + 1 + i] = 0;
    kept[i] = static_cast<uint64_t>(i);
    id_map[i] = {static_cast<uint64_t>(i), static_cast<uint64_t>(i)};
  }
  const Tree r = arena(taxa, parents, links, links, counts, k).restrict(KeptIds(kept, id_map));
  EXPECT_EQ(r.node_count(), static_cast<uint64_t>(k) + 1);
  EXPECT_EQ(r.childcount[0], static_cast<uint32_t>(k));
  EXPECT_EQ(r.taxa[k], k - 1);
}

// Random trees (nodes of one to three children) as read and with their chains
// reordered, against random kept ids, some without a new id, one in no tree:
// the walk up from the kept leaves gives what the full passes give.
TEST(Restrict, SparseWalkMatchesTheFullPasses) {
  std::mt19937 rng(104);
  const auto below = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  for (int round = 0; round < 400; ++round) {
    const size_t leaves = 1 + below(40);
    std::vector<std::string> parts;
    for (size_t i = 0; i < leaves; ++i) parts.push_back("t" + std::to_string(i));
    while (parts.size() > 1 || below(4) == 0) {
      const size_t g = std::min(parts.size(), 1 + below(3));
      std::string joined = "(";
      for (size_t j = 0; j < g; ++j) {
        const size_t pick = below(parts.size());
        joined += (j ? "," : "") + parts[pick];
        parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(pick));
      }
      parts.push_back(joined + ")");
    }
    auto parsed = parse_newick_trees(parts[0] + ";", false);
    ASSERT_TRUE(parsed.ok()) << parts[0];
    Tree reordered = parsed->trees[0];
    const SortCriterion by_count = make_criterion(SortCriterionKind::DescendantCount, SortOrder::Descending);
    reordered.sort_by_criteria(parsed->taxon_set.names, {&by_count, 1});
    std::vector<uint64_t> kept;
    std::vector<std::pair<uint64_t, uint64_t>> id_map;
    for (uint64_t id = 0; id < leaves; ++id) {
      if (below(3) != 0) continue;
      kept.push_back(id);
      if (below(8) != 0) id_map.emplace_back(id, kept.size());
    }
    if (below(4) == 0) kept.push_back(leaves + 5);
    const KeptIds ids(kept, id_map);
    for (const Tree* t : {&parsed->trees[0], &reordered})
      EXPECT_EQ(detail::restrict_sparse_first(*t, ids), detail::restrict_by_full_passes(*t, ids)) << parts[0];
  }
}

TEST(Restrict, AllInOrderIntoOneAllocation) {
  auto parsed = parse_newick_trees("(A,B,C);((A,B),C);(C,A);", false);
  ASSERT_TRUE(parsed.ok());
  const std::vector<uint64_t> kept{2, 0};
  const std::vector<std::pair<uint64_t, uint64_t>> id_map{{2, 0}, {0, 1}};
  const KeptIds ids(kept, id_map);
  const std::vector<Tree> all = restrict_all(parsed->trees, ids);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all.capacity(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(all[i], parsed->trees[i].restrict(ids)) << i;
  EXPECT_TRUE(restrict_all({}, ids).empty());
}

// --- views

TreeViewBase view_of(std::string_view text, bool topology_only) {
  auto view = topology_only ? topology_from_newick(text) : TreeViewBase::from_newick(text);
  if (!view.ok()) ADD_FAILURE() << view.error();
  return std::move(view).value();
}

constexpr const char* kGenes = "((A,B),C);(B,(C,D));";
const std::vector<std::string_view> kBAB{"B", "A", "B"};

TEST(ViewRestriction, NewTaxonSetInListOrderAndATopology) {
  const TreeViewBase v = view_of(kGenes, false);
  auto r = topology_restriction(v, kBAB);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->topology_only);
  EXPECT_EQ(r->taxon_set->names, (std::vector<std::string>{"B", "A"}));
  EXPECT_EQ(r->taxon_set->last, 2u);
  ASSERT_EQ(r->size(), 2u);
  EXPECT_EQ(r->trees->capacity(), 2u);
  EXPECT_EQ(r->to_newick_string(), "((A:0,B:0):0);\n(B:0);");
  EXPECT_EQ(v.trees.use_count(), 1);  // nothing of the source is kept
  EXPECT_EQ(v.taxon_set.use_count(), 1);
  const std::vector<std::string_view> missing{"A", "X", "Y"};
  auto failed = topology_restriction(v, missing);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), "Taxon 'X' not found in tree");
}

TEST(ViewRemap, SharesTheTreesAndKeepsTheFlag) {
  for (bool flag : {false, true}) {
    const TreeViewBase v = view_of(kGenes, flag);
    const NameMapping swap = mapping({{"A", "B"}, {"B", "A"}, {"C", "c"}, {"D", "D"}});
    auto r = v.remap(swap);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->trees, v.trees);
    EXPECT_EQ(r->topology_only, flag);
    EXPECT_EQ(r->taxon_set->names, (std::vector<std::string>{"B", "A", "c", "D"}));
    EXPECT_EQ(r->taxon_set->find("c"), 2u);
    EXPECT_EQ(r->to_newick_string(), "((B:0,A:0):0,c:0);\n(A:0,(c:0,D:0):0);");
  }
}

ParseState msc_state() {
  ParseState state = new_parse_state(false);
  auto genes = parse_newick_trees(kGenes, false);
  state.taxon_set = std::move(genes->taxon_set);
  state.gene_trees = std::move(genes->trees);
  state.species_tree = parse_newick_tree(state.taxon_set, "(((A,B),C),D);");
  return state;
}

TEST(MSCViews, RestrictionVariantRulesAndTheSpeciesTree) {
  for (uint32_t variant : {0u, 1u})
    for (bool flag : {false, true}) {
      MSCTreeView m = MSCTreeView::make(msc_state());
      m.base.variant = variant;
      m.base.view.topology_only = flag;
      auto r = m.restriction(kBAB);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r->base.variant, variant);
      EXPECT_EQ(r->base.view.topology_only, variant == 1 ? true : flag);
      EXPECT_EQ(r->base.view.taxon_set->names, (std::vector<std::string>{"B", "A"}));
      EXPECT_EQ(r->base.view.to_newick_string(), "((A:0,B:0):0);\n(B:0);");
      const std::vector<uint64_t> kept{1, 0};
      const std::vector<std::pair<uint64_t, uint64_t>> id_map{{1, 0}, {0, 1}};
      EXPECT_EQ(r->species_tree, m.species_tree.restrict(KeptIds(kept, id_map)));
      const std::vector<std::string_view> missing{"Q"};
      EXPECT_EQ(m.restriction(missing).error(), "Taxon 'Q' not found in tree");
    }
}

TEST(MSCViews, RemapCopiesTheSpeciesTreeAndSharesTheGeneTrees) {
  for (uint32_t variant : {0u, 1u})
    for (bool flag : {false, true}) {
      MSCTreeView m = MSCTreeView::make(msc_state());
      m.base.variant = variant;
      m.base.view.topology_only = flag;
      auto r = m.remap(mapping({{"A", "w"}, {"B", "x"}, {"C", "y"}, {"D", "z"}}));
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r->base.variant, variant);
      EXPECT_EQ(r->base.view.topology_only, flag);
      EXPECT_EQ(r->base.view.trees, m.base.view.trees);
      EXPECT_EQ(r->species_tree, m.species_tree);
      EXPECT_EQ(r->base.view.taxon_set->names, (std::vector<std::string>{"w", "x", "y", "z"}));
      EXPECT_EQ(m.remap(mapping({{"A", "w"}})).error(), "Mapping must contain exactly one entry for each taxon");
    }
}

}  // namespace
}  // namespace qb
