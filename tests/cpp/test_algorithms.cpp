// Distances and restriction in the core: each computation against a plain or
// an independent one over random trees, the checked reads, the view forms,
// and stored trees whose links break the tree invariants.
#include <gtest/gtest.h>

#include "support.hpp"

#include <algorithm>
#include <numeric>
#include <random>

#include "porcelain/views.hpp"
#include "tree/distance_matrix.hpp"
#include "tree/newick.hpp"
#include "tree/restrict.hpp"

namespace qb {
namespace {

// A random tree over t0..t{leaves-1} whose nodes have 1 to `most` children.
std::string random_newick(std::mt19937& rng, size_t leaves, size_t most) {
  std::vector<std::string> parts;
  for (size_t i = 0; i < leaves; ++i) parts.push_back("t" + std::to_string(i));
  while (parts.size() > 1 || rng() % 4 == 0) {
    std::shuffle(parts.begin(), parts.end(), rng);
    std::string joined = "(" + parts.back();
    parts.pop_back();
    for (size_t more = rng() % most; more > 0 && !parts.empty(); --more, parts.pop_back()) joined += "," + parts.back();
    parts.push_back(joined + ")");
  }
  return parts[0] + ";";
}

// The defining computation written plainly: every pair of leaves of two
// children, same ids included, in visiting order; the last store wins and
// the first pair without a cell stops.
DistanceMatrix every_pair(const Tree& t) {
  const uint64_t n = t.ntaxa;
  DistanceMatrix m{std::vector<double>(n < 2 ? 0 : n * (n - 1) / 2, 0.0), n};
  const std::vector<uint64_t> order = t.preorder();
  std::vector<double> depth(t.node_count(), 0.0);  // parsed trees number parents first
  for (uint64_t v = 1; v < t.node_count(); ++v) depth[v] = depth[static_cast<uint64_t>(t.parents[v])] + 1;
  std::vector<std::vector<uint64_t>> under(t.node_count());
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const std::vector<uint64_t> kids = t.children(*it);
    if (t.childcount[*it] == 0) under[*it] = {*it};
    for (size_t a = 0; a < kids.size(); ++a)
      for (size_t b = a + 1; b < kids.size(); ++b)
        for (uint64_t x : under[kids[a]])
          for (uint64_t y : under[kids[b]]) {
            const auto p = static_cast<uint32_t>(t.taxa[x]), q = static_cast<uint32_t>(t.taxa[y]);
            const uint32_t lo = std::min(p, q), hi = std::max(p, q);  // a negative id compares as the largest
            if (lo == hi) continue;
            const uint64_t index = DistanceMatrix::cell_index(n, static_cast<uint64_t>(static_cast<int32_t>(lo)),
                                                             static_cast<uint64_t>(static_cast<int32_t>(hi)));
            if (index >= m.distances.size()) panic_index(m.distances.size(), index);
            if (hi >= n) panic_index(n, hi);
            m.distances[index] = depth[x] + depth[y] - 2 * depth[*it];
          }
    for (uint64_t c : kids) under[*it].insert(under[*it].end(), under[c].begin(), under[c].end());
  }
  return m;
}

// Random trees. Distances: in even rounds distinct ids in shuffled order, some
// without a leaf (the row-wise path); in odd rounds few ids, so that runs of
// equal ids form, now and then an unlabelled leaf or an id at or past the size
// (the defining path). Restriction to random kept ids, some without a new id:
// the walk up from the kept leaves gives what the full passes give, and
// reordered chains change nothing (children come back in source index order).
TEST(Algorithms, RandomTreesAgreeWithTheReferences) {
  std::mt19937 rng(11);
  const SortCriterion by_count = make_criterion(SortCriterionKind::DescendantCount, SortOrder::Descending);
  int failures = 0;
  for (int round = 0; round < 400; ++round) {
    const size_t leaves = 1 + rng() % 40;
    TaxonSet ts;
    Tree t = parse_newick_tree(ts, random_newick(rng, leaves, 2 + round % 5));
    const bool plain = round % 2 == 0;
    const auto n = static_cast<int32_t>(plain ? leaves + rng() % 3 : 1 + rng() % 4);
    std::vector<int32_t> ids(static_cast<size_t>(n));
    std::iota(ids.begin(), ids.end(), 0);
    std::shuffle(ids.begin(), ids.end(), rng);
    size_t next = 0;
    for (int32_t& x : t.taxa) {  // the leaves carry t0..: ids 0 and up
      const auto roll = static_cast<int32_t>(rng() % 64);
      if (x >= 0) x = plain ? ids[next++] : roll == 0 ? -1 : roll < 3 ? n + roll - 1 : ids[rng() % ids.size()];
    }
    t.ntaxa = static_cast<uint64_t>(n);
    DistanceMatrix want;
    const std::string want_text = panic_text([&] { want = every_pair(t); });
    failures += want_text != "<no panic>";
    for (auto compute : {&distance_matrix, &distance_matrix_by_lists}) {
      DistanceMatrix got;
      ASSERT_EQ(panic_text([&] { got = compute(t); }), want_text) << round;
      ASSERT_EQ(got.distances, want.distances) << round;
      ASSERT_EQ(got.distances.capacity(), got.distances.size());
    }
    Tree reordered = t;
    reordered.sort_by_criteria(ts.names, {&by_count, 1});
    std::vector<uint64_t> kept(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(rng() % (ids.size() + 1)));
    kept.push_back(static_cast<uint64_t>(n) + rng() % 2);  // an id at or past the size
    std::vector<std::pair<uint64_t, uint64_t>> id_map;
    for (uint64_t id : kept)
      if (rng() % 8 != 0) id_map.emplace_back(id, id_map.size());
    const KeptIds kept_ids(kept, id_map);
    const Tree restricted = detail::restrict_by_full_passes(t, kept_ids);
    for (const Tree* s : {&t, &reordered}) {
      ASSERT_EQ(detail::restrict_sparse_first(*s, kept_ids), restricted) << round;
      ASSERT_EQ(detail::restrict_by_full_passes(*s, kept_ids), restricted) << round;
    }
  }
  EXPECT_GT(failures, 20);
}

TEST(Distances, ChecksAndBrokenTrees) {
  TaxonSet ts;
  const DistanceMatrix m = distance_matrix(parse_newick_tree(ts, "(A,(B,C));"));
  EXPECT_EQ(std::tuple(m.get(2, 0), m.get(0, 2), m.get(7, 7)), std::tuple(3.0, 3.0, 0.0));
  // On size 3 the pair (0, 3) has the cell index of (1, 2).
  for (auto [i, j] : {std::pair{0, 3}, {3, 0}, {3, 4}})
    EXPECT_EQ(panic_text([&] { m.get(i, j); }), "index out of bounds: the len is 3 but the index is 3");
  Tree t = parse_newick_tree(ts, "((A,B),C);");
  t.nextsib[2] = 1;  // A's sibling chain leads back to its parent
  EXPECT_EQ(panic_text([&] { distance_matrix(t); }), "malformed tree: node links do not form a tree");
  t.nextsib[2] = 99;
  EXPECT_EQ(panic_text([&] { distance_matrix(t); }), "index out of bounds: the len is 5 but the index is 99");
  t.ntaxa = ~uint64_t{0};  // the cells come before any walk
  EXPECT_THROW(distance_matrix(t), std::bad_alloc);
}

const KeptIds kAB(std::vector<uint64_t>{0, 1}, std::vector<std::pair<uint64_t, uint64_t>>{{0, 0}, {1, 1}});

// Stored trees whose links break the tree invariants, restricted to taxa 0 and 1.
TEST(Restrict, BrokenTreesStopWithATextOrEnd) {
  const std::vector<int32_t> none(4, -1), A{-1, 0, -1, -1};  // node 1 (A) hangs off a root that does not link to it
  const std::pair<Tree, const char*> cases[] = {
      {arena(A, {0, 2, 3, 2}, none, none, {0, 0, 1, 1}, 1), "malformed tree: node links do not form a tree"},
      {arena(A, {0, 7, 0, 0}, none, none, {0, 0, 0, 0}, 1), "index out of bounds: the len is 4 but the index is 7"},
      {arena(A, {0, 1, 0, 0}, none, none, {0, 0, 0, 0}, 1), "<no panic>"},  // its own parent: left out
      {Tree{}, "malformed tree: the tree has no nodes"},
      {arena({-1, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 1, -1}, {2, 0, 0}, 2),
       "malformed tree: node links do not form a tree"},
      // Root 0 -> 2 -> (1: A, 3: B): node 1 comes before its parent and is left out.
      {arena({-1, 0, -1, 1}, {0, 2, 0, 2}, {2, -1, 1, -1}, {-1, 3, -1, -1}, {1, 0, 2, 0}, 2), "<no panic>"},
      // A stored childcount may claim 2^32-1 children on a chain that loops: the
      // plain-tree check must give up at once rather than walk the loop that long.
      {arena(none, {0, 0, 0, 0}, {1, 1, 1, 1}, {1, 1, 1, 1}, {UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX}, 0),
       "malformed tree: node links do not form a tree"},
  };
  for (const auto& [tree, text] : cases)
    for (auto restrict : {&detail::restrict_by_full_passes, &detail::restrict_sparse_first})
      EXPECT_EQ(panic_text([&] { (void)restrict(tree, kAB); }), text);
}

// The view form: a topology over a new taxon set (the classes check the rest).
TEST(Views, RestrictionMakesATopology) {
  auto r = topology_restriction(TreeViewBase::from_newick("((A,B),C);(B,(C,D));").value(),
                                std::vector<std::string_view>{"B", "A", "B"});
  EXPECT_TRUE(r->topology_only);
  EXPECT_EQ(r->to_newick_string(), "((A:0,B:0):0);\n(B:0);");
}

}  // namespace
}  // namespace qb
