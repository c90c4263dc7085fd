// Views: what each operation shares and copies, slicing failures, matrices.
#include <gtest/gtest.h>

#include "support.hpp"

#include <string>
#include <vector>

#include "porcelain/views.hpp"
#include "tree/newick.hpp"

namespace qb {
namespace {

TreeViewBase parsed(std::string_view text) {
  auto view = TreeViewBase::from_newick(text);
  if (!view.ok()) ADD_FAILURE() << view.error();
  return std::move(view).value();
}

constexpr const char* kThree = "(A:1,B:2);\n(B,C);\n((A,D),C:0.5);";

TEST(Views, FromNewickSetsTheFlagAndOwnsNewBlocks) {
  auto plain = TreeViewBase::from_newick(kThree);
  auto topo = topology_from_newick(kThree);
  ASSERT_TRUE(plain.ok() && topo.ok());
  EXPECT_FALSE(plain->topology_only);
  EXPECT_TRUE(topo->topology_only);
  for (const TreeViewBase* v : {&*plain, &*topo}) {
    EXPECT_EQ(v->size(), 3u);
    EXPECT_EQ(v->taxon_set->last, 4u);
    EXPECT_EQ(v->trees->capacity(), 3u);  // the block holds exactly its trees
    EXPECT_EQ(v->taxon_set.use_count(), 1);
    EXPECT_EQ(v->trees.use_count(), 1);
  }
  EXPECT_NE(plain->taxon_set, topo->taxon_set);
}

TEST(Views, SliceSharesTheTaxonSetAndCopiesOnlyItsRange) {
  const TreeViewBase v = parsed(kThree);
  const auto* source_block = v.trees.get();
  const TreeViewBase s = v.slice(1, 3);
  EXPECT_EQ(s.taxon_set, v.taxon_set);
  EXPECT_EQ(v.taxon_set.use_count(), 2);
  EXPECT_NE(s.trees.get(), source_block);
  EXPECT_EQ(v.trees.use_count(), 1);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s.trees->capacity(), 2u);
  EXPECT_EQ((*s.trees)[0], (*v.trees)[1]);
  EXPECT_EQ((*s.trees)[1], (*v.trees)[2]);
  EXPECT_EQ(s.topology_only, v.topology_only);

  // A slice of a slice still holds every taxon of the text.
  const TreeViewBase t = s.slice(0, 1);
  EXPECT_EQ(t.taxon_set, v.taxon_set);
  EXPECT_EQ(t.taxon_set->last, 4u);
  EXPECT_EQ(t.to_newick_string(), "(B:0,C:0);");

  auto topo = topology_from_newick(kThree);
  EXPECT_TRUE(topo->slice(0, 2).topology_only);
}

TEST(Views, EmptySlices) {
  const TreeViewBase v = parsed(kThree);
  for (uint64_t at : {0u, 1u, 3u}) {
    const TreeViewBase s = v.slice(at, at);
    EXPECT_EQ(s.size(), 0u);
    ASSERT_NE(s.trees, nullptr);
    EXPECT_EQ(s.taxon_set, v.taxon_set);
    EXPECT_EQ(s.to_newick_string(), "");
    EXPECT_FALSE(s.get_distance_matrix(0).has_value());
  }
}

struct BadRange {
  uint64_t start, end;
  std::string text;
};

class ViewsBadSlice : public ::testing::TestWithParam<BadRange> {};

TEST_P(ViewsBadSlice, FailsWithTheRangeTextAndKeepsNoReference) {
  const BadRange& c = GetParam();
  const TreeViewBase v = parsed("(A,B);");  // one tree
  EXPECT_EQ(panic_text([&] { (void)v.slice(c.start, c.end); }), c.text);
  EXPECT_EQ(v.taxon_set.use_count(), 1);

  MSCTreeView m;
  m.base.view = v;
  m.base.variant = 1;
  EXPECT_EQ(panic_text([&] { (void)m.slice(c.start, c.end); }), c.text);
  EXPECT_EQ(v.taxon_set.use_count(), 2);  // v and m only
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ViewsBadSlice,
    ::testing::Values(BadRange{2, 1, "slice index starts at 2 but ends at 1"},
                      BadRange{5, 0, "slice index starts at 5 but ends at 0"},
                      BadRange{0, 2, "range end index 2 out of range for slice of length 1"},
                      BadRange{1, 2, "range end index 2 out of range for slice of length 1"},
                      BadRange{~uint64_t{0}, ~uint64_t{0},
                               "range end index 18446744073709551615 out of range for slice of length 1"},
                      // Both wrong at once: the order is checked first.
                      BadRange{3, 2, "slice index starts at 3 but ends at 2"},
                      BadRange{~uint64_t{0}, 5, "slice index starts at 18446744073709551615 but ends at 5"}));

TEST(Views, DistanceMatrixBoundsAndSharing) {
  const TreeViewBase v = parsed(kThree);
  EXPECT_FALSE(v.get_distance_matrix(3).has_value());
  EXPECT_FALSE(v.get_distance_matrix(~uint64_t{0}).has_value());
  auto first = v.get_distance_matrix(0);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->taxon_set, v.taxon_set);
  EXPECT_EQ(first->matrix->size, 2u);
  EXPECT_EQ(first->matrix->distances, std::vector<double>{2.0});
  EXPECT_EQ(first->matrix.use_count(), 1);

  // The last tree's matrix; ids 0, 3, 2 over ntaxa 3 leave the range of the
  // matrix, which stops with the bounds text.
  const TreeViewBase w = parsed("(A,B,C);((A,C),B);");
  auto last = w.get_distance_matrix(1);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->matrix->distances, (std::vector<double>{3.0, 2.0, 3.0}));
  // Matrices are computed anew on every call.
  EXPECT_NE(w.get_distance_matrix(1)->matrix, last->matrix);

  const TreeViewBase gap = parsed("(A,B);(C,D);");
  EXPECT_EQ(panic_text([&] { (void)gap.get_distance_matrix(1); }),
            "index out of bounds: the len is 1 but the index is 1");
}

ParseState gene_state(bool topology_only) {
  ParseState state = new_parse_state(topology_only);
  auto genes = parse_newick_trees("(A,B);(B,(C,));", topology_only);
  state.taxon_set = std::move(genes->taxon_set);
  state.gene_trees = std::move(genes->trees);
  state.species_tree = parse_newick_tree(state.taxon_set, "((A,S),[only]C);");
  return state;
}

TEST(Views, MSCMakeKeepsEveryId) {
  for (bool topology_only : {false, true}) {
    const ParseState state = gene_state(topology_only);
    const MSCTreeView m = MSCTreeView::make(gene_state(topology_only));
    EXPECT_EQ(m.base.variant, 0u);
    EXPECT_EQ(m.base.view.topology_only, topology_only);
    EXPECT_EQ(m.base.view.taxon_set->sorted_entries(), state.taxon_set.sorted_entries());
    EXPECT_EQ(m.base.view.taxon_set->names, state.taxon_set.names);
    EXPECT_EQ(m.base.view.taxon_set->last, 4u);  // A, B, C, then S from the species tree
    EXPECT_EQ(*m.base.view.trees, state.gene_trees);
    EXPECT_EQ(m.base.view.trees->capacity(), 2u);
    EXPECT_EQ(m.species_tree, state.species_tree);
    EXPECT_EQ(m.species_tree.taxa[0], -42);
    EXPECT_EQ((*m.base.view.trees)[1].taxa.back(), -1);
  }
}

TEST(Views, MSCSliceVariantRules) {
  for (uint32_t variant : {0u, 1u})
    for (bool flag : {false, true}) {
      MSCTreeView m = MSCTreeView::make(gene_state(flag));
      m.base.variant = variant;
      const MSCTreeView s = m.slice(1, 2);
      EXPECT_EQ(s.base.variant, variant);
      EXPECT_EQ(s.base.view.topology_only, variant == 1 ? true : flag);
      EXPECT_EQ(s.base.view.taxon_set, m.base.view.taxon_set);
      EXPECT_NE(s.base.view.trees, m.base.view.trees);
      ASSERT_EQ(s.base.view.size(), 1u);
      EXPECT_EQ((*s.base.view.trees)[0], (*m.base.view.trees)[1]);
      EXPECT_EQ(s.species_tree, m.species_tree);
      EXPECT_NE(s.species_tree.taxa.data(), m.species_tree.taxa.data());
      EXPECT_EQ(m.slice(2, 2).base.view.size(), 0u);
    }
}

TEST(Views, MSCDistanceMatrixReadsTheGeneTrees) {
  for (uint32_t variant : {0u, 1u}) {
    MSCTreeView m = MSCTreeView::make(gene_state(false));
    m.base.variant = variant;
    auto dm = m.get_distance_matrix(0);
    ASSERT_TRUE(dm.has_value());
    EXPECT_EQ(dm->taxon_set, m.base.view.taxon_set);
    EXPECT_EQ(dm->matrix->distances, std::vector<double>{2.0});
    EXPECT_FALSE(m.get_distance_matrix(2).has_value());
  }
}

}  // namespace
}  // namespace qb
