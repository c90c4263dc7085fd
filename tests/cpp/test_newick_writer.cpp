#include <gtest/gtest.h>

#include "support.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "tree/newick.hpp"

namespace qb {
namespace {

std::string with_lengths(const std::string& text) {
  TaxonSet ts;
  const Tree t = parse_newick_tree(ts, text);
  return tree_to_newick(t, ts);
}

std::string topology(const std::string& text) {
  TaxonSet ts;
  const Tree t = parse_newick_tree(ts, text);
  std::string out;
  write_newick_topology(t, 0, ts.names, out);
  return out + ";";
}

struct WriteCase {
  const char* input;
  const char* lengths;   // tree_to_newick
  const char* topology;  // write_newick_topology + ";"
};

class Write : public ::testing::TestWithParam<WriteCase> {};

TEST_P(Write, GivesTheText) {
  const WriteCase& c = GetParam();
  EXPECT_EQ(with_lengths(c.input), c.lengths);
  EXPECT_EQ(topology(c.input), c.topology);
}

INSTANTIATE_TEST_SUITE_P(
    Newick, Write,
    ::testing::Values(
        WriteCase{"(A:1.5,B:2)C:0.5;", "(A:1.5,B:2);", "(A,B);"},
        WriteCase{"(A,B);", "(A:0,B:0);", "(A,B);"},
        WriteCase{"((A:1,B:2)95:0.3,C:4);", "((A:1,B:2):0.3,C:4);", "((A,B),C);"},
        WriteCase{"A;", "A;", "A;"}, WriteCase{"A:3;", "A;", "A;"},
        WriteCase{"( A ,B);", "(A :0,B:0);", "(A ,B);"},
        WriteCase{"(A:0.1,B:100,C:1e-7);", "(A:0.1,B:100,C:0.0000001);", "(A,B,C);"},
        WriteCase{"(A:-1,B:nan,C:-inf,D:inf,E:-0);", "(A,B,C,D:inf,E:-0);", "(A,B,C,D,E);"},
        WriteCase{"(A:1e21,B:2.25);", "(A:1000000000000000000000,B:2.25);", "(A,B);"},
        WriteCase{"(A:0.30000000000000004,B:1e-5);", "(A:0.30000000000000004,B:0.00001);", "(A,B);"},
        WriteCase{"(A,(B,(C,(D,E)F)G)H)I;", "(A:0,(B:0,(C:0,(D:0,E:0):0):0):0);", "(A,(B,(C,(D,E))));"},
        WriteCase{"(A,(B),C);", "(A:0,(B:0):0,C:0);", "(A,(B),C);"},
        WriteCase{"(\xe4\xb8\xad,(\xe5\x9b\xbd,\xe8\xaf\x9d));",
                  "(\xe4\xb8\xad:0,(\xe5\x9b\xbd:0,\xe8\xaf\x9d:0):0);",
                  "(\xe4\xb8\xad,(\xe5\x9b\xbd,\xe8\xaf\x9d));"},
        // A parsed tree whose root is a leaf that has a sibling: only the root is written.
        WriteCase{"A,B;", "();", "();"}));

TEST(NewickWriter, RootWithChildcountButNoFirstChildIsEmptyParens) {
  Tree t;
  t.taxa = {-42};
  t.parents = {0};
  t.support = {-1};
  t.lengths = {-1};
  t.firstchild = {-1};
  t.nextsib = {-1};
  t.childcount = {2};
  EXPECT_EQ(tree_to_newick(t, TaxonSet{}), "();");
}

struct LengthText {
  double value;
  const char* text;
};
class AppendLength : public ::testing::TestWithParam<LengthText> {};
TEST_P(AppendLength, ShortestPlainDecimal) {
  std::string out = "x";
  append_length(GetParam().value, out);
  EXPECT_EQ(out, std::string("x") + GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(
    Newick, AppendLength,
    ::testing::Values(LengthText{1.0, "1"}, LengthText{0.5, "0.5"}, LengthText{0.1, "0.1"},
                      LengthText{2.25, "2.25"}, LengthText{1e-7, "0.0000001"},
                      LengthText{1e21, "1000000000000000000000"},
                      LengthText{std::numeric_limits<double>::infinity(), "inf"}, LengthText{-0.0, "-0"},
                      LengthText{0.0, "0"}, LengthText{123456.789, "123456.789"}));

TEST(NewickWriter, SmallestSubnormalLengthIsPlainDecimal) {
  std::string out;
  append_length(5e-324, out);
  EXPECT_EQ(out, "0." + std::string(323, '0') + "5");
  out.clear();
  append_length(5e-324 * 3, out);
  EXPECT_EQ(out, "0." + std::string(322, '0') + "15");
}

// Whole numbers past 2^53 have more exact binary digits than the shortest
// round trip needs: the text is the shortest digits followed by zeros.
INSTANTIATE_TEST_SUITE_P(
    LargeWholeNumbers, AppendLength,
    ::testing::Values(LengthText{1e23, "100000000000000000000000"},
                      LengthText{1e16, "10000000000000000"}, LengthText{1e22, "10000000000000000000000"},
                      LengthText{9007199254740991.0, "9007199254740991"},
                      LengthText{9007199254740992.0, "9007199254740992"},
                      LengthText{9007199254740994.0, "9007199254740994"},
                      LengthText{18014398509481984.0, "18014398509481984"},
                      LengthText{123456789012345680.0, "123456789012345680"}));

TEST(NewickWriter, LargestLengthIsItsShortestDigitsAndZeros) {
  std::string out;
  append_length(std::numeric_limits<double>::max(), out);
  EXPECT_EQ(out, "17976931348623157" + std::string(292, '0'));
}

double read_back(const std::string& text) {
  double v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  EXPECT_EQ(r.ptr, text.data() + text.size()) << text;
  return v;
}

// Every power of ten a double comes nearest to, subnormals included, is a 1
// and zeros, and reads back as the same double.
TEST(NewickWriter, PowersOfTenAreOneAndZeros) {
  for (int k = -320; k <= 308; ++k) {
    const double v = std::strtod(("1e" + std::to_string(k)).c_str(), nullptr);
    const std::string expected = k >= 0 ? "1" + std::string(static_cast<size_t>(k), '0')
                                        : "0." + std::string(static_cast<size_t>(-k - 1), '0') + "1";
    std::string out;
    append_length(v, out);
    ASSERT_EQ(out, expected) << "1e" << k;
    ASSERT_EQ(std::bit_cast<uint64_t>(read_back(out)), std::bit_cast<uint64_t>(v)) << out;
  }
}

// A leaf without a taxon (a negative id) is written as an empty label; an id past
// the taxon set still stops the write.
TEST(NewickWriter, LeafWithoutTaxonIsWrittenAsAnEmptyLabel) {
  TaxonSet ts;
  const Tree empty_leaf = parse_newick_tree(ts, "(,A);");
  EXPECT_EQ(tree_to_newick(empty_leaf, ts), "(:0,A:0);");
  TaxonSet none;
  const Tree only_comment = parse_newick_tree(none, "[c]");
  std::string out;
  write_newick_topology(only_comment, 0, none.names, out);
  EXPECT_EQ(out, "");
  EXPECT_EQ(tree_to_newick(only_comment, none), ";");
  Tree past = empty_leaf;
  past.taxa[1] = 1;
  EXPECT_EQ(panic_text([&] { tree_to_newick(past, ts); }), "index out of bounds: the len is 1 but the index is 1");
}

Tree chain_tree(std::vector<int32_t> firstchild, std::vector<int32_t> nextsib) {
  Tree t;
  const size_t n = firstchild.size();
  t.taxa.assign(n, 0);
  t.parents.assign(n, 0);
  t.support.assign(n, 0.0);
  t.lengths.assign(n, 1.0);
  t.childcount.assign(n, 0);
  for (size_t v = 0; v < n; ++v)
    if (firstchild[v] != -1) t.childcount[v] = 1;
  t.firstchild = std::move(firstchild);
  t.nextsib = std::move(nextsib);
  return t;
}

// Links as a stored state may hold them: the walk stays inside and ends.
TEST(NewickWriter, BrokenLinksStop) {
  TaxonSet ts;
  ts.get_or_insert("A");
  const char* cycle = "malformed tree: node links do not form a tree";
  EXPECT_EQ(panic_text([&] { tree_to_newick(chain_tree({1, 0}, {-1, -1}), ts); }), cycle);
  EXPECT_EQ(panic_text([&] { tree_to_newick(chain_tree({1, -1, -1}, {-1, 2, 1}), ts); }), cycle);
  EXPECT_EQ(panic_text([&] { tree_to_newick(chain_tree({5, -1}, {-1, -1}), ts); }),
            "index out of bounds: the len is 2 but the index is 5");
  EXPECT_EQ(panic_text([&] { tree_to_newick(chain_tree({1, -1}, {-1, -7}), ts); }),
            "index out of bounds: the len is 2 but the index is 18446744073709551609");
  Tree short_lengths = chain_tree({1, -1}, {-1, -1});
  short_lengths.lengths.resize(1);
  EXPECT_EQ(panic_text([&] { tree_to_newick(short_lengths, ts); }),
            "index out of bounds: the len is 1 but the index is 1");
  std::string out;
  EXPECT_EQ(panic_text([&] { write_newick_node(chain_tree({-1}, {-1}), 3, ts.names, true, out); }),
            "index out of bounds: the len is 1 but the index is 3");
  // A shared child: the walk would visit more nodes than the tree has.
  EXPECT_EQ(panic_text([&] { tree_to_newick(chain_tree({1, 2, -1}, {-1, 2, -1}), ts); }), cycle);
}

TEST(NewickWriter, SetsJoinWithNewlinesAndNoneAfterTheLast) {
  auto r = parse_newick_trees("(A,B);\n(B,C);\n", false);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(to_newick_string(r->trees, r->taxon_set), "(A:0,B:0);\n(B:0,C:0);");
  EXPECT_EQ(collect_newick_strings(r->trees, r->taxon_set),
            (std::vector<std::string>{"(A:0,B:0);", "(B:0,C:0);"}));
  EXPECT_EQ(to_newick_string({}, r->taxon_set), "");
  // One tree of a set, written without copying it into a sequence of its own.
  EXPECT_EQ(to_newick_string(std::span(&r->trees[1], 1), r->taxon_set), "(B:0,C:0);");
  EXPECT_TRUE(collect_newick_strings({}, r->taxon_set).empty());
}

TEST(NewickWriter, NamesWrittenAsStored) {
  auto r = parse_newick_trees("(A,B);", false);
  ASSERT_TRUE(r.ok());
  TaxonSet renamed;
  renamed.get_or_insert("x,y):z");
  renamed.get_or_insert("B");
  EXPECT_EQ(tree_to_newick(r->trees[0], renamed), "(x,y):z:0,B:0);");
}

std::string caterpillar(int n, bool lengths) {
  const std::string ln = lengths ? ":1" : "";
  std::string text(static_cast<size_t>(n - 1), '(');
  text += "t0" + ln;
  for (int k = 1; k < n; ++k) {
    text += ",t" + std::to_string(k) + ln + ")";
    if (k < n - 1) text += ln;
  }
  return text + ";";
}

TEST(NewickWriter, DeepCaterpillarRoundTrips) {
  const std::string text = caterpillar(1000000, true);
  auto r = parse_newick_trees(text, false);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(to_newick_string(r->trees, r->taxon_set), text);
  std::string topo;
  write_newick_topology(r->trees[0], 0, r->taxon_set.names, topo);
  EXPECT_EQ(topo + ";", caterpillar(1000000, false));
}

// Every real tree file: write, read back, write again gives the same text and
// the same arenas.
class RealFiles : public ::testing::TestWithParam<const char*> {};
TEST_P(RealFiles, RoundTrip) {
  const std::string path = std::string(QB_SOURCE_DIR "/../shared/data/") + GetParam();
  std::ifstream in(path, std::ios::binary);
  if (!in) GTEST_SKIP() << "no " << path;
  std::stringstream buf;
  buf << in.rdbuf();
  auto first = parse_newick_trees(buf.str(), false);
  ASSERT_TRUE(first.ok());
  const std::string text = to_newick_string(first->trees, first->taxon_set);
  auto second = parse_newick_trees(text, false);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second->taxon_set.names, first->taxon_set.names);
  ASSERT_EQ(second->trees.size(), first->trees.size());
  for (size_t i = 0; i < first->trees.size(); ++i) {
    Tree a = first->trees[i];
    Tree b = second->trees[i];
    // Only what the writer drops may differ: root length, and lengths it does
    // not write (negative, NaN) which read back as 0.
    a.lengths[0] = b.lengths[0] = 0;
    for (double& x : a.lengths)
      if (!(x >= 0.0)) x = 0.0;
    EXPECT_EQ(a, b) << "tree " << i;
  }
  EXPECT_EQ(to_newick_string(second->trees, second->taxon_set), text);
}
INSTANTIATE_TEST_SUITE_P(Newick, RealFiles,
                         ::testing::Values("bees32_genetrees.tre", "mammals37_genetrees.tre",
                                           "mammals37_astral_testdata_genetrees.tre",
                                           "palaeognathae15_intron_genetrees.tre",
                                           "plants103_1kp_genetrees.tre", "sim100_bootstrap_genetrees.tre",
                                           "wol10575_species_astral.nwk"));

}  // namespace
}  // namespace qb
