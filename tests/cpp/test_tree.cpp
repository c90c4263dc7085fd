#include <gtest/gtest.h>

#include "support.hpp"

#include <functional>
#include <string>
#include <vector>

#include "tree/newick.hpp"
#include "tree/tree.hpp"

namespace qb {
namespace {

using Nodes = std::vector<uint64_t>;

Tree parse(const std::string& text) {
  TaxonSet ts;
  return parse_newick_tree(ts, text);
}

// Links only, as a stored state may hold them.
Tree links(std::vector<int32_t> firstchild, std::vector<int32_t> nextsib) {
  Tree t;
  const size_t n = firstchild.size();
  t.taxa.assign(n, -1);
  t.parents.assign(n, 0);
  t.support.assign(n, 0.0);
  t.lengths.assign(n, 0.0);
  t.childcount.assign(n, 0);
  t.firstchild = std::move(firstchild);
  t.nextsib = std::move(nextsib);
  return t;
}

TEST(Tree, PreorderVisitsLastChildFirst) {
  EXPECT_EQ(parse("A;").preorder(), (Nodes{0}));
  EXPECT_EQ(parse("(A,B);").preorder(), (Nodes{0, 2, 1}));
  // Root with children 1 and 2, node 1 with children 3 and 4.
  EXPECT_EQ(parse("((A,B),C);").preorder(), (Nodes{0, 4, 1, 3, 2}));
  EXPECT_EQ(parse("((A,B),(C,D),E);").preorder(), (Nodes{0, 7, 4, 6, 5, 1, 3, 2}));
}

TEST(Tree, PreorderListsReachableNodesOnly) {
  // '(A)(B);': the second '(' replaces the root's first child; node 1 is unreachable.
  EXPECT_EQ(parse("(A)(B);").preorder(), (Nodes{0, 2}));
  // 'A,B;': B is the root's sibling, not its child.
  EXPECT_EQ(parse("A,B;").preorder(), (Nodes{0}));
}

TEST(Tree, ChildrenInChainOrder) {
  const Tree t = parse("((A,B),C,(D));");
  EXPECT_EQ(t.children(0), (Nodes{1, 4, 5}));
  EXPECT_EQ(t.children(1), (Nodes{2, 3}));
  EXPECT_EQ(t.children(2), (Nodes{}));
  EXPECT_EQ(t.children(5), (Nodes{6}));
  EXPECT_EQ(panic_text([&] { t.children(7); }), "index out of bounds: the len is 7 but the index is 7");
}

struct BrokenCase {
  const char* name;
  Tree tree;
  std::string preorder;  // panic text of preorder()
  std::string children;  // panic text of children(0), or "<no panic>"
};

class Broken : public ::testing::TestWithParam<BrokenCase> {};
TEST_P(Broken, WalksStopInsideTheArena) {
  const BrokenCase& c = GetParam();
  EXPECT_EQ(panic_text([&] { c.tree.preorder(); }), c.preorder);
  EXPECT_EQ(panic_text([&] { c.tree.children(0); }), c.children);
}

const char* const kNotATree = "malformed tree: node links do not form a tree";

INSTANTIATE_TEST_SUITE_P(
    Tree, Broken,
    ::testing::Values(
        BrokenCase{"root_is_own_child", links({0}, {-1}), kNotATree, "<no panic>"},
        BrokenCase{"cycle_through_first_child", links({1, 0}, {-1, -1}), kNotATree, "<no panic>"},
        BrokenCase{"sibling_loop", links({1, -1, -1}, {-1, 2, 1}), kNotATree, kNotATree},
        BrokenCase{"self_sibling", links({1, -1}, {-1, 1}), kNotATree, kNotATree},
        BrokenCase{"shared_child", links({1, 2, -1, -1}, {-1, 2, -1, -1}), kNotATree, "<no panic>"},
        BrokenCase{"child_past_the_end", links({9}, {-1}),
                   "index out of bounds: the len is 1 but the index is 9",
                   "index out of bounds: the len is 1 but the index is 9"},
        BrokenCase{"negative_link", links({-2}, {-1}),
                   "index out of bounds: the len is 1 but the index is 18446744073709551614",
                   "index out of bounds: the len is 1 but the index is 18446744073709551614"},
        BrokenCase{"short_nextsib", links({1, -1}, {-1}),
                   "index out of bounds: the len is 1 but the index is 1",
                   "index out of bounds: the len is 1 but the index is 1"},
        BrokenCase{"no_nodes", links({}, {}), "malformed tree: the tree has no nodes",
                   "index out of bounds: the len is 0 but the index is 0"}),
    [](const ::testing::TestParamInfo<BrokenCase>& i) { return std::string(i.param.name); });

TEST(Tree, DeepChainNeedsNoStack) {
  const int n = 1000000;
  std::vector<int32_t> fc(n), ns(n, -1);
  for (int i = 0; i < n; ++i) fc[static_cast<size_t>(i)] = i + 1 < n ? i + 1 : -1;
  const Tree t = links(fc, ns);
  const Nodes order = t.preorder();
  ASSERT_EQ(order.size(), static_cast<size_t>(n));
  EXPECT_EQ(order.back(), static_cast<uint64_t>(n - 1));
}

}  // namespace
}  // namespace qb
