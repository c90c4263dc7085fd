#include <gtest/gtest.h>

#include "support.hpp"

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "porcelain/views.hpp"
#include "tree/distance_matrix.hpp"
#include "tree/newick.hpp"

namespace qb {
namespace {

DistanceMatrix of(const std::string& text) {
  TaxonSet ts;
  return distance_matrix(parse_newick_tree(ts, text));
}

struct MatrixCase {
  const char* text;
  uint64_t size;
  std::vector<double> cells;
};
class Matrix : public ::testing::TestWithParam<MatrixCase> {};
TEST_P(Matrix, Cells) {
  TaxonSet ts;
  const Tree t = parse_newick_tree(ts, GetParam().text);
  for (const DistanceMatrix& m : {distance_matrix(t), distance_matrix_by_lists(t)}) {
    EXPECT_EQ(m.size, GetParam().size);
    EXPECT_EQ(m.distances, GetParam().cells);
    EXPECT_EQ(m.distances.capacity(), m.distances.size());
  }
}
INSTANTIATE_TEST_SUITE_P(
    Distances, Matrix,
    ::testing::Values(MatrixCase{"(A,B);", 2, {2}}, MatrixCase{"((A,B),C);", 3, {2, 3, 3}},
                      MatrixCase{"(A:5,B:7);", 2, {2}}, MatrixCase{"A;", 1, {}},
                      MatrixCase{"[only a comment]", 0, {}}, MatrixCase{"(A,B,(C,D));", 4, {2, 3, 3, 3, 3, 2}},
                      // Unary nodes count as edges.
                      MatrixCase{"(((A)),B);", 2, {4}},
                      // A repeated taxon: its own pair is skipped, the pair met last wins.
                      // (ntaxa counts labelled leaves, so these matrices have spare ids.)
                      MatrixCase{"((A,B),(A,C));", 4, {4, 4, 0, 4, 0, 0}},
                      MatrixCase{"(A,(B,A));", 3, {3, 0, 0}}, MatrixCase{"(A,A);", 2, {0}},
                      // Two unlabelled leaves carry the same (absent) id: skipped.
                      MatrixCase{"(,);", 0, {}}));

TEST(Distances, InnerNodeWithoutChildrenContributesNothing) {
  TaxonSet ts;
  Tree t = parse_newick_tree(ts, "(A,B,(C));");
  t.firstchild[3] = -1;  // childcount stays 1
  EXPECT_EQ(distance_matrix(t).distances, (std::vector<double>{2, 0, 0}));
}

TEST(Distances, ReadsThroughTheDiagonalAndBothOrders) {
  const DistanceMatrix m = of("((A,B),C);");
  EXPECT_EQ(m.get(2, 0), 3.0);
  EXPECT_EQ(m.get(0, 2), 3.0);
  EXPECT_EQ(m.get(7, 7), 0.0);
  EXPECT_EQ(panic_text([&] { m.get(3, 4); }), "index out of bounds: the len is 3 but the index is 3");
  const DistanceMatrix one = of("A;");
  EXPECT_EQ(one.get(0, 0), 0.0);
  // On size 3 the pair (0, 3) has the cell index of (1, 2): an id without a
  // row must not read another pair's cell.
  EXPECT_EQ(panic_text([&] { of("(A,(B,C));").get(0, 3); }),
            "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(panic_text([&] { of("(A,(B,C));").get(3, 0); }),
            "index out of bounds: the len is 3 but the index is 3");
}

TEST(Distances, ViewReads) {
  auto parsed = parse_newick_trees("((A,B),C);", false);
  ASSERT_TRUE(parsed.ok());
  DistanceMatrixView view{std::make_shared<const DistanceMatrix>(distance_matrix(parsed->trees[0])),
                          std::make_shared<const TaxonSet>(parsed->taxon_set)};
  EXPECT_EQ(view.get(1, 2), 3.0);
  EXPECT_EQ(view.get(1, 0), 2.0);
  EXPECT_EQ(view.get(9, 9), 0.0);
  EXPECT_EQ(panic_text([&] { view.get(3, 4); }), "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(panic_text([&] { view.get(0, 3); }), "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(*view.get_by_name("C", "A"), 3.0);
  EXPECT_EQ(*view.get_by_name("B", "B"), 0.0);
  auto absent = view.get_by_name("X", "Y");
  ASSERT_FALSE(absent.ok());
  EXPECT_EQ(absent.error(), "Taxon 'X' not found");
  EXPECT_EQ(view.get_by_name("A", "Y").error(), "Taxon 'Y' not found");
  EXPECT_EQ(view.get_by_name("a", "A").error(), "Taxon 'a' not found");
}

// Taxa outside the matrix: both the index check and the check of the larger
// id stop the computation, whichever pair is met first.
struct FailCase {
  const char* name;
  std::function<Tree()> make;
  std::string text;
};
class Fails : public ::testing::TestWithParam<FailCase> {};
TEST_P(Fails, WithBoundsText) {
  const Tree t = GetParam().make();
  EXPECT_EQ(panic_text([&] { distance_matrix(t); }), GetParam().text);
  EXPECT_EQ(panic_text([&] { distance_matrix_by_lists(t); }), GetParam().text);
}

Tree second_of(const std::string& text) {
  auto r = parse_newick_trees(text, false);
  return r->trees.at(1);
}

Tree with_taxon(const std::string& text, size_t node, int32_t taxon) {
  TaxonSet ts;
  Tree t = parse_newick_tree(ts, text);
  t.taxa.at(node) = taxon;
  return t;
}

INSTANTIATE_TEST_SUITE_P(
    Distances, Fails,
    ::testing::Values(
        // Second tree of a set: ids 2 and 3, ntaxa 2: one cell, index 1.
        FailCase{"ids_past_the_matrix", [] { return second_of("(A,B);(C,D);"); },
                 "index out of bounds: the len is 1 but the index is 1"},
        // ids 0, 3, 1 with ntaxa 3: the pair (0, 3) lands on the cell of (1, 2).
        FailCase{"larger_id_lands_inside", [] { return second_of("(A,B,C,D);(A,D,B);"); },
                 "index out of bounds: the len is 3 but the index is 3"},
        // An unlabelled leaf paired with id 0 falls outside the storage.
        FailCase{"unlabelled_with_id_0", [] { return with_taxon("(A,B);", 2, -1); },
                 "index out of bounds: the len is 1 but the index is 18446744073709551614"},
        FailCase{"unlabelled_with_id_1", [] { return with_taxon("(A,B,C);", 1, -1); },
                 "index out of bounds: the len is 3 but the index is 18446744073709551615"},
        // Paired with id 1 on size 5 its index lands inside (on cell 1): the
        // larger id is the 32-bit value compared.
        FailCase{"unlabelled_lands_inside", [] { return with_taxon("((A,B),C,D,E);", 2, -1); },
                 "index out of bounds: the len is 5 but the index is 4294967295"},
        FailCase{"root_marker_taxon", [] { return with_taxon("(A,B,C);", 1, -42); },
                 "index out of bounds: the len is 3 but the index is 18446744073709551574"}),
    [](const ::testing::TestParamInfo<FailCase>& i) { return std::string(i.param.name); });

// An id equal to the size whose only pair lands inside the storage: the
// check of the larger id alone stops it.
TEST(Distances, IdEqualToTheSizeStops) {
  Tree t = with_taxon("(A,B);", 2, 3);
  t.ntaxa = 3;
  EXPECT_EQ(panic_text([&] { distance_matrix(t); }), "index out of bounds: the len is 3 but the index is 3");
}

TEST(Distances, KeptTaxonWithoutLeafHasZeroRowAndColumn) {
  TaxonSet ts;
  for (const char* s : {"A", "B", "C", "D"}) ts.get_or_insert(s);
  Tree t = parse_newick_tree(ts, "((A,D),C);");
  t.ntaxa = 4;  // B counted but carried by no leaf
  const DistanceMatrix m = distance_matrix(t);
  EXPECT_EQ(m.distances, (std::vector<double>{0, 3, 2, 0, 0, 3}));
  EXPECT_EQ(distance_matrix_by_lists(t).distances, m.distances);
}

TEST(Distances, BrokenLinksStop) {
  TaxonSet ts;
  Tree t = parse_newick_tree(ts, "((A,B),C);");
  t.nextsib[2] = 1;  // A's sibling chain leads back to its parent
  EXPECT_EQ(panic_text([&] { distance_matrix(t); }), "malformed tree: node links do not form a tree");
  t.nextsib[2] = 99;
  EXPECT_EQ(panic_text([&] { distance_matrix(t); }), "index out of bounds: the len is 5 but the index is 99");
}

TEST(Distances, OversizedMatrixIsAnAllocationFailure) {
  TaxonSet ts;
  Tree t = parse_newick_tree(ts, "(A,B);");
  t.ntaxa = uint64_t{1} << 40;
  EXPECT_THROW(distance_matrix(t), std::bad_alloc);
  t.ntaxa = ~uint64_t{0};
  EXPECT_THROW(distance_matrix(t), std::bad_alloc);
}

// Random trees: the row-wise computation equals the defining one, which
// equals a plain walk over parents.
std::string random_newick(std::mt19937& rng, int leaves, int max_children, std::vector<std::string>& names) {
  std::vector<std::string> nodes;
  for (int i = 0; i < leaves; ++i) nodes.push_back(names[static_cast<size_t>(i)]);
  std::shuffle(nodes.begin(), nodes.end(), rng);
  while (nodes.size() > 1) {
    const int k = std::min<int>(static_cast<int>(nodes.size()),
                                2 + static_cast<int>(rng() % static_cast<unsigned>(max_children - 1)));
    std::string joined = "(";
    for (int j = 0; j < k; ++j) {
      const size_t pick = rng() % nodes.size();
      if (j) joined += ",";
      joined += nodes[pick];
      nodes[pick] = nodes.back();
      nodes.pop_back();
    }
    joined += ")";
    if (rng() % 8 == 0) joined = "(" + joined + ")";  // a unary node now and then
    nodes.push_back(joined);
  }
  return nodes[0] + ";";
}

double path_edges(const Tree& t, uint64_t x, uint64_t y) {
  std::vector<uint64_t> up;
  for (uint64_t v = x;; v = static_cast<uint64_t>(t.parents[v])) {
    up.push_back(v);
    if (v == 0) break;
  }
  uint64_t steps = 0;
  for (uint64_t v = y;; v = static_cast<uint64_t>(t.parents[v]), ++steps) {
    auto it = std::find(up.begin(), up.end(), v);
    if (it != up.end()) return static_cast<double>(steps + static_cast<uint64_t>(it - up.begin()));
  }
}

TEST(Distances, RandomTreesAgreeWithEveryOtherComputation) {
  std::mt19937 rng(7);
  for (int round = 0; round < 60; ++round) {
    const int leaves = 2 + static_cast<int>(rng() % 60);
    std::vector<std::string> names;
    for (int i = 0; i < leaves + 5; ++i) names.push_back("t" + std::to_string(i));
    TaxonSet ts;
    // Pre-registered names in shuffled order: ids are a permutation, and
    // some ids (the extra names) have no leaf when ntaxa counts them.
    std::vector<std::string> order = names;
    std::shuffle(order.begin(), order.end(), rng);
    for (const std::string& s : order) ts.get_or_insert(s);
    Tree t = parse_newick_tree(ts, random_newick(rng, leaves, 2 + round % 4, names));
    t.ntaxa = ts.last;
    const DistanceMatrix fast = distance_matrix(t);
    const DistanceMatrix slow = distance_matrix_by_lists(t);
    ASSERT_EQ(fast.distances, slow.distances) << "round " << round;
    ASSERT_EQ(fast.size, ts.last);
    std::vector<int64_t> leaf_of(ts.last, -1);
    for (uint64_t v = 0; v < t.node_count(); ++v)
      if (t.childcount[v] == 0) leaf_of[static_cast<uint64_t>(t.taxa[v])] = static_cast<int64_t>(v);
    for (uint64_t i = 0; i < ts.last; ++i)
      for (uint64_t j = i + 1; j < ts.last; ++j) {
        const double want = (leaf_of[i] < 0 || leaf_of[j] < 0)
                                ? 0.0
                                : path_edges(t, static_cast<uint64_t>(leaf_of[i]), static_cast<uint64_t>(leaf_of[j]));
        ASSERT_EQ(fast.get(i, j), want) << i << "," << j;
      }
  }
}

TEST(Distances, CaterpillarOfTenThousandLeaves) {
  const int n = 10000;
  std::string text(n - 1, '(');
  text += "t0";
  for (int k = 1; k < n; ++k) text += ",t" + std::to_string(k) + ")";
  text += ";";
  TaxonSet ts;
  const Tree t = parse_newick_tree(ts, text);
  const DistanceMatrix m = distance_matrix(t);
  ASSERT_EQ(m.size, static_cast<uint64_t>(n));
  ASSERT_EQ(m.distances.size(), static_cast<size_t>(n) * (n - 1) / 2);
  // t0 and t1 hang at depth n-1, tk (k >= 1) at depth n-k; tj joins the
  // path of every earlier ti at depth n-j-1.
  auto depth = [&](uint64_t k) { return static_cast<double>(k == 0 ? n - 1 : n - static_cast<int64_t>(k)); };
  size_t cell = 0;
  for (uint64_t i = 0; i + 1 < static_cast<uint64_t>(n); ++i)
    for (uint64_t j = i + 1; j < static_cast<uint64_t>(n); ++j, ++cell) {
      const double want = depth(i) + depth(j) - 2.0 * static_cast<double>(n - static_cast<int64_t>(j) - 1);
      if (m.distances[cell] != want) FAIL() << i << "," << j << ": " << m.distances[cell] << " != " << want;
    }
}

// The defining computation written plainly: every pair of leaves of two
// children, same ids included, in visiting order. The computation used skips
// pairs that store nothing; results and the first failure must not change.
DistanceMatrix every_pair(const Tree& tree) {
  struct Entry {
    uint32_t leaf;
    double dist;
  };
  const uint64_t n = tree.ntaxa;
  DistanceMatrix m;
  m.size = n;
  m.distances.assign(n < 2 ? 0 : n * (n - 1) / 2, 0.0);
  const std::vector<uint64_t> order = tree.preorder();
  std::vector<std::vector<Entry>> lists(tree.node_count());
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const uint64_t v = *it;
    if (at(tree.childcount, v) == 0) {
      lists[v].push_back({static_cast<uint32_t>(v), 0.0});
      continue;
    }
    const std::vector<uint64_t> kids = tree.children(v);
    for (uint64_t c : kids)
      for (Entry& e : lists[c]) e.dist += 1.0;
    for (size_t a = 0; a < kids.size(); ++a)
      for (size_t b = a + 1; b < kids.size(); ++b)
        for (const Entry& x : lists[kids[a]])
          for (const Entry& y : lists[kids[b]]) {
            const auto p = static_cast<uint32_t>(at(tree.taxa, x.leaf));
            const auto q = static_cast<uint32_t>(at(tree.taxa, y.leaf));
            const uint32_t lo = std::min(p, q), hi = std::max(p, q);
            if (lo == hi) continue;
            const auto wide = [](uint32_t id) {
              return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(id)));
            };
            const uint64_t index = DistanceMatrix::cell_index(n, wide(lo), wide(hi));
            if (index >= m.distances.size()) panic_index(m.distances.size(), index);
            if (hi >= n) panic_index(n, hi);
            m.distances[index] = x.dist + y.dist;
          }
    for (uint64_t c : kids) {
      lists[v].insert(lists[v].end(), lists[c].begin(), lists[c].end());
      lists[c].clear();
    }
  }
  return m;
}

TEST(Distances, RepeatedAndForeignIdsAgreeWithEveryPair) {
  std::mt19937 rng(11);
  int failures = 0;
  for (int round = 0; round < 400; ++round) {
    const int leaves = 2 + static_cast<int>(rng() % 40);
    std::vector<std::string> names;
    for (int i = 0; i < leaves; ++i) names.push_back("t" + std::to_string(i));
    TaxonSet ts;
    Tree t = parse_newick_tree(ts, random_newick(rng, leaves, 2 + round % 5, names));
    // Few distinct ids, so that runs of equal ids form; now and then an
    // unlabelled leaf or an id past the matrix.
    const int32_t ids = 1 + static_cast<int32_t>(rng() % 4);
    for (uint64_t v = 0; v < t.node_count(); ++v) {
      if (t.childcount[v] != 0) continue;
      const unsigned roll = rng() % 64;
      t.taxa[v] = roll == 0 ? -1 : roll == 1 ? ids + 2 : static_cast<int32_t>(rng() % static_cast<unsigned>(ids));
    }
    t.ntaxa = static_cast<uint64_t>(ids);
    std::string want_text, got_text;
    DistanceMatrix want, got;
    want_text = panic_text([&] { want = every_pair(t); });
    got_text = panic_text([&] { got = distance_matrix_by_lists(t); });
    ASSERT_EQ(got_text, want_text) << "round " << round;
    if (want_text != "<no panic>") {
      ++failures;
      continue;
    }
    ASSERT_EQ(got.distances, want.distances) << "round " << round;
    ASSERT_EQ(distance_matrix(t).distances, want.distances) << "round " << round;
  }
  EXPECT_GT(failures, 20);
  EXPECT_LT(failures, 380);
}

// A star of leaves that all carry one id stores nothing; every pair of them
// used to be visited.
TEST(Distances, StarOfOneIdIsLinear) {
  const uint64_t leaves = 300000;
  Tree t;
  t.taxa.assign(leaves + 1, 0);
  t.taxa[0] = -1;
  t.parents.assign(leaves + 1, 0);
  t.support.assign(leaves + 1, 0.0);
  t.lengths.assign(leaves + 1, 0.0);
  t.firstchild.assign(leaves + 1, -1);
  t.firstchild[0] = 1;
  t.nextsib.resize(leaves + 1);
  for (uint64_t v = 0; v <= leaves; ++v) t.nextsib[v] = v == 0 || v == leaves ? -1 : static_cast<int32_t>(v + 1);
  t.childcount.assign(leaves + 1, 0);
  t.childcount[0] = static_cast<uint32_t>(leaves);
  t.ntaxa = 1;
  EXPECT_TRUE(distance_matrix(t).distances.empty());
  t.ntaxa = 2;
  EXPECT_EQ(distance_matrix(t).distances, std::vector<double>{0.0});
}

}  // namespace
}  // namespace qb
