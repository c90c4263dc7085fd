#include <gtest/gtest.h>

#include "support.hpp"

#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "tree/newick.hpp"

namespace qb {
namespace {

constexpr const char* kBadLength =
    "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }";

// The arena fields of a tree, for whole-value comparison.
struct Arena {
  std::vector<int32_t> taxa, parents, firstchild, nextsib;
  std::vector<uint32_t> childcount;
  std::vector<double> lengths;
  uint64_t ntaxa;
};

Arena arena_of(const Tree& t) {
  return {t.taxa, t.parents, t.firstchild, t.nextsib, t.childcount, t.lengths, t.ntaxa};
}

void expect_arena(const Tree& t, const Arena& want) {
  EXPECT_EQ(t.taxa, want.taxa);
  EXPECT_EQ(t.parents, want.parents);
  EXPECT_EQ(t.firstchild, want.firstchild);
  EXPECT_EQ(t.nextsib, want.nextsib);
  EXPECT_EQ(t.childcount, want.childcount);
  ASSERT_EQ(t.lengths.size(), want.lengths.size());
  for (size_t i = 0; i < want.lengths.size(); ++i) {
    if (std::isnan(want.lengths[i]))
      EXPECT_TRUE(std::isnan(t.lengths[i])) << "node " << i;
    else
      EXPECT_EQ(t.lengths[i], want.lengths[i]) << "node " << i;
  }
  EXPECT_EQ(t.ntaxa, want.ntaxa);
  // Invariants of every parsed tree.
  const size_t n = t.taxa.size();
  EXPECT_EQ(t.support.size(), n);
  for (size_t i = 0; i < n; ++i) EXPECT_EQ(t.support[i], i == 0 ? -1.0 : 0.0);
  EXPECT_FALSE(t.fake_root);
}

struct ArenaCase {
  const char* name;
  std::string text;
  Arena want;
  std::vector<std::string> names;  // of the taxon set afterwards
};

const double kInf = std::numeric_limits<double>::infinity();

class ParseArena : public ::testing::TestWithParam<ArenaCase> {};

TEST_P(ParseArena, GivesTheArena) {
  const ArenaCase& c = GetParam();
  TaxonSet ts;
  const Tree t = parse_newick_tree(ts, c.text);
  expect_arena(t, c.want);
  EXPECT_EQ(ts.names, c.names);
  EXPECT_EQ(ts.last, c.names.size());
  for (size_t i = 0; i < c.names.size(); ++i) EXPECT_EQ(ts.find(c.names[i]), i);
  EXPECT_EQ(ts.to_id.size(), c.names.size());
  // Reserved from the prescan: no slack.
  EXPECT_EQ(t.taxa.capacity(), t.taxa.size());
  EXPECT_EQ(t.lengths.capacity(), t.lengths.size());
}

INSTANTIATE_TEST_SUITE_P(
    Newick, ParseArena,
    ::testing::Values(
        ArenaCase{"two_leaves", "(A,B);",
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 0, 0}, 2},
                  {"A", "B"}},
        ArenaCase{"lengths_and_root_label", "(A:1.5,B:2)C:0.5;",
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {0.5, 1.5, 2.0}, 2},
                  {"A", "B"}},
        ArenaCase{"internal_label_dropped", "((A,B)95:0.3,C);",
                  {{-42, -1, 0, 1, 2},
                   {0, 0, 1, 1, 0},
                   {1, 2, -1, -1, -1},
                   {-1, 4, 3, -1, -1},
                   {2, 2, 0, 0, 0},
                   {-1, 0.3, 0, 0, 0},
                   3},
                  {"A", "B", "C"}},
        ArenaCase{"single_leaf", "A;", {{0}, {0}, {-1}, {-1}, {0}, {-1}, 1}, {"A"}},
        ArenaCase{"space_after_label_belongs_to_it", "( A , B );",
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 0, 0}, 2},
                  {"A ", "B "}},
        ArenaCase{"space_before_label_skipped", "(A, B);",
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 0, 0}, 2},
                  {"A", "B"}},
        ArenaCase{"tab_starts_label", "(A,\tB);",
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 0, 0}, 2},
                  {"A", "\tB"}},
        ArenaCase{"empty_length_kept", "(A:,B);",
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 0, 0}, 2},
                  {"A", "B"}},
        ArenaCase{"exponent_and_inf", "(A:1e-3,B:inf)",
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 0.001, kInf}, 2},
                  {"A", "B"}},
        ArenaCase{"negative_length", "(A:-2,B)",
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, -2.0, 0}, 2},
                  {"A", "B"}},
        ArenaCase{"empty_leaf_first", "(,A);",
                  {{-42, -1, 0}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 0, 0}, 1},
                  {"A"}},
        ArenaCase{"empty_parens", "();", {{-42, -1}, {0, 0}, {1, -1}, {-1, -1}, {1, 0}, {-1, 0}, 0}, {}},
        ArenaCase{"repeated_name", "(A,A);",
                  {{-42, 0, 0}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 0, 0}, 2},
                  {"A"}},
        ArenaCase{"nested_comment", "(A[x[y]z]:1,B);",
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 1, 0}, 2},
                  {"A", "B"}},
        ArenaCase{"second_label_after_comment", "(A[x]B,C);",
                  {{-42, 1, 2}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 0, 0}, 3},
                  {"A", "B", "C"}},
        ArenaCase{"missing_close", "((A,B);",
                  {{-42, -1, 0, 1}, {0, 0, 1, 1}, {1, 2, -1, -1}, {-1, -1, 3, -1}, {1, 2, 0, 0},
                   {-1, 0, 0, 0}, 2},
                  {"A", "B"}},
        ArenaCase{"second_open_replaces_first_child", "(A)(B);",
                  {{-42, 0, 1}, {0, 0, 0}, {2, -1, -1}, {-1, -1, -1}, {2, 0, 0}, {-1, 0, 0}, 2},
                  {"A", "B"}},
        ArenaCase{"sibling_of_root", "A,B;",
                  {{0, 1}, {0, 0}, {-1, -1}, {1, -1}, {1, 0}, {-1, 0}, 2},
                  {"A", "B"}},
        ArenaCase{"only_a_comment", "[only a comment]", {{-42}, {0}, {-1}, {-1}, {0}, {-1}, 0}, {}},
        ArenaCase{"root_length_only", ":1", {{-42}, {0}, {-1}, {-1}, {0}, {1}, 0}, {}},
        ArenaCase{"reads_only_first_tree", "(A,B);(C,D);",
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 0, 0}, 2},
                  {"A", "B"}},
        ArenaCase{"semicolon_inside_comment_does_not_stop", "(A[;],B);",
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 0, 0}, 2},
                  {"A", "B"}},
        ArenaCase{"newline_starts_label_and_paren_belongs_to_it", "(A,\n(B,C));",
                  {{-42, 0, 1, 2}, {0, 0, 0, 0}, {1, -1, -1, -1}, {-1, 2, 3, -1}, {3, 0, 0, 0},
                   {-1, 0, 0, 0}, 3},
                  {"A", "\n(B", "C"}},
        ArenaCase{"label_keeps_close_bracket_and_quotes", "(']x\",B);",
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 0, 0}, 2},
                  {"']x\"", "B"}},
        ArenaCase{"utf8_labels", "(\xe4\xb8\xad,(\xe5\x9b\xbd,B));",
                  {{-42, 0, -1, 1, 2}, {0, 0, 0, 2, 2}, {1, -1, 3, -1, -1}, {-1, 2, -1, 4, -1},
                   {2, 0, 2, 0, 0}, {-1, 0, 0, 0, 0}, 3},
                  {"\xe4\xb8\xad", "\xe5\x9b\xbd", "B"}},
        ArenaCase{"open_comment_ends_tree", "(A,B[x", 
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 0, 0}, 2},
                  {"A", "B"}},
        ArenaCase{"surplus_close_stays_at_root", "(A))):2;",
                  {{-42, 0}, {0, 0}, {1, -1}, {-1, -1}, {1, 0}, {2, 0}, 1},
                  {"A"}},
        ArenaCase{"comment_ends_length", "(A:2[c],B);",
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 2, 0}, 2},
                  {"A", "B"}},
        ArenaCase{"paren_inside_label_not_a_node", "(A(x,B);",
                  {{-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, {-1, 0, 0}, 2},
                  {"A(x", "B"}}),
    [](const ::testing::TestParamInfo<ArenaCase>& i) { return std::string(i.param.name); });

// Length texts: accepted with their value, or refused with the float-parse text.
struct LengthCase {
  const char* text;
  bool ok;
  double value;
};

class LengthText : public ::testing::TestWithParam<LengthCase> {};

TEST_P(LengthText, ReadsOrStops) {
  const LengthCase& c = GetParam();
  const std::string newick = std::string("(A:") + c.text + ",B);";
  TaxonSet ts;
  if (c.ok) {
    const Tree t = parse_newick_tree(ts, newick);
    if (std::isnan(c.value)) {
      EXPECT_TRUE(std::isnan(t.lengths[1]));
    } else {
      EXPECT_EQ(t.lengths[1], c.value);
      EXPECT_EQ(std::signbit(t.lengths[1]), std::signbit(c.value));
    }
  } else {
    EXPECT_EQ(panic_text([&] { parse_newick_tree(ts, newick); }), kBadLength) << c.text;
  }
}

const double kNan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Newick, LengthText,
    ::testing::Values(
        LengthCase{"+1", true, 1.0}, LengthCase{"1.", true, 1.0}, LengthCase{".5", true, 0.5},
        LengthCase{"1e-3", true, 0.001}, LengthCase{"1E+2", true, 100.0}, LengthCase{"inf", true, kInf},
        LengthCase{"Infinity", true, kInf}, LengthCase{"-INF", true, -kInf}, LengthCase{"+inf", true, kInf},
        LengthCase{"nan", true, kNan}, LengthCase{"NaN", true, kNan}, LengthCase{"-0", true, -0.0},
        LengthCase{"0.1", true, 0.1}, LengthCase{"007", true, 7.0},
        LengthCase{"2.51049141848e-06", true, 2.51049141848e-06},
        LengthCase{"0.30000000000000004", true, 0.30000000000000004},
        LengthCase{"1e400", true, kInf}, LengthCase{"-1e400", true, -kInf}, LengthCase{"1e-400", true, 0.0},
        LengthCase{"-1e-400", true, -0.0}, LengthCase{"0.0001e-320", true, 0.0},
        LengthCase{"4.9e-324", true, 4.9e-324}, LengthCase{"1e99999999999999999999", true, kInf},
        LengthCase{"0e99999999999999999999", true, 0.0}, LengthCase{"123456789e-330", true, 123456789e-330},
        LengthCase{"1.8e308", true, kInf}, LengthCase{"1.7976931348623158e308", true, 1.7976931348623157e308},
        LengthCase{" 1", false, 0}, LengthCase{"1 ", false, 0}, LengthCase{"1x", false, 0},
        LengthCase{"1e", false, 0}, LengthCase{"1e+", false, 0}, LengthCase{"nan(1)", false, 0},
        LengthCase{"0x10", false, 0}, LengthCase{".", false, 0}, LengthCase{"e5", false, 0},
        LengthCase{"+", false, 0}, LengthCase{"-", false, 0}, LengthCase{"+-1", false, 0},
        LengthCase{"--1", false, 0}, LengthCase{"1:2", false, 0}, LengthCase{"1\n", false, 0},
        LengthCase{"infin", false, 0}, LengthCase{"infinityy", false, 0}, LengthCase{"1.2.3", false, 0},
        LengthCase{"1_000", false, 0}, LengthCase{"1e5.0", false, 0}, LengthCase{"inf inity", false, 0}));

// Decimal texts of every shape the reader has a path for (short, 16 to 25
// digits, exponents, signs) read as the correctly rounded value.
TEST(Newick, RandomDecimalsRoundCorrectly) {
  std::mt19937_64 rng(11);
  const auto digits = [&](int n) {
    std::string d;
    for (int i = 0; i < n; ++i) d += static_cast<char>('0' + rng() % 10);
    return d;
  };
  for (int k = 0; k < 20000; ++k) {
    std::string text;
    if (rng() % 4 == 0) text += (rng() % 2) ? "-" : "+";
    text += digits(static_cast<int>(rng() % 6));
    if (rng() % 3 != 0 || text.empty() || text == "-" || text == "+")
      text += "." + digits(1 + static_cast<int>(rng() % 24));
    if (rng() % 5 == 0)
      text += std::string(rng() % 2 ? "e" : "E") + (rng() % 2 ? "-" : "") + digits(1 + static_cast<int>(rng() % 3));
    const double want = std::strtod(text.c_str(), nullptr);
    TaxonSet ts;
    const Tree t = parse_newick_tree(ts, "(A:" + text + ",B);");
    ASSERT_EQ(t.lengths[1], want) << text;
    ASSERT_EQ(std::signbit(t.lengths[1]), std::signbit(want)) << text;
  }
}

TEST(Newick, MalformedLengthKeepsNamesRegisteredBeforeTheStop) {
  TaxonSet ts;
  EXPECT_EQ(panic_text([&] { parse_newick_tree(ts, "(A,B: 1);"); }), kBadLength);
  EXPECT_EQ(ts.names, (std::vector<std::string>{"A", "B"}));
}

TEST(Newick, EmptyLengthRefusedOnlyWhenSomethingWasCollected) {
  TaxonSet ts;
  EXPECT_EQ(panic_text([&] { parse_newick_tree(ts, "(A: 1,B:2);"); }), kBadLength);
  EXPECT_EQ(panic_text([&] { parse_newick_tree(ts, "(A:1:2,B);"); }), kBadLength);
  EXPECT_EQ(panic_text([&] { parse_newick_tree(ts, "(A:1x,B);"); }), kBadLength);
}

TEST(Newick, SpeciesTreeOverExistingTaxonSetGetsLaterIds) {
  TaxonSet ts;
  ts.get_or_insert("B");
  const Tree t = parse_newick_tree(ts, "(A,(B,C));");
  EXPECT_EQ(ts.names, (std::vector<std::string>{"B", "A", "C"}));
  EXPECT_EQ(t.taxa, (std::vector<int32_t>{-42, 1, -1, 0, 2}));
}

// Ids past the 32-bit taxa of a tree stop the parse instead of wrapping
// into negative taxa. A set whose next id is already that high stands in
// for one with two billion names.
TEST(Newick, TaxonIdPastThirtyTwoBitsStops) {
  TaxonSet ts;
  ts.last = uint64_t{INT32_MAX};
  const Tree t = parse_newick_tree(ts, "(A,A);");
  EXPECT_EQ(t.taxa[1], INT32_MAX);
  EXPECT_EQ(panic_text([&] { parse_newick_tree(ts, "(A,B);"); }),
            "taxon set holds more names than a tree can refer to");
}

// parse_newick_trees: cutting, trimming, errors.
TEST(NewickTrees, TwoTreesOverOneTaxonSet) {
  auto r = parse_newick_trees(" (A,B);\n(B,C);\n", true);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->trees.size(), 2u);
  EXPECT_TRUE(r->topology_only);
  EXPECT_EQ(r->taxon_set.names, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(r->taxon_set.last, 3u);
  EXPECT_EQ(r->trees[0].taxa, (std::vector<int32_t>{-42, 0, 1}));
  EXPECT_EQ(r->trees[1].taxa, (std::vector<int32_t>{-42, 1, 2}));
  auto f = parse_newick_trees("(A,B);", false);
  ASSERT_TRUE(f.ok());
  EXPECT_FALSE(f->topology_only);
}

class NoTrees : public ::testing::TestWithParam<std::string> {};
TEST_P(NoTrees, Fails) {
  auto r = parse_newick_trees(GetParam(), false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "No valid trees found in input string");
}
INSTANTIATE_TEST_SUITE_P(
    NewickTrees, NoTrees,
    ::testing::Values(std::string(""), std::string(" ; ;\n"), std::string(";;;"),
                      std::string("\t\n\v\f\r ;"),
                      // U+0085 U+00A0 U+1680 U+2000 U+200A U+2028 U+2029 U+202F U+205F U+3000
                      std::string("\xc2\x85\xc2\xa0\xe1\x9a\x80\xe2\x80\x80\xe2\x80\x8a\xe2\x80\xa8"
                                  "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\x9f\xe3\x80\x80;")));

// A default view has no data pointer at all; the sanitizer build of the
// fuzz target flags any library call that is handed it.
TEST(NewickTrees, ViewWithoutDataFails) {
  auto r = parse_newick_trees(std::string_view(), true);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "No valid trees found in input string");
}

// Names of all lengths, repeated across trees and in number well past the
// name table's first sizes: ids in first-seen order, as a plain map gives them.
TEST(NewickTrees, ManyNamesGetFirstSeenIds) {
  std::mt19937 rng(3);
  std::map<std::string, uint64_t> want;
  std::vector<std::string> order;
  std::string text;
  for (int tree = 0; tree < 300; ++tree) {
    text += "(";
    for (int leaf = 0; leaf < 40; ++leaf) {
      std::string name(rng() % 41, 'x');
      for (char& c : name) c = static_cast<char>('a' + rng() % 3);
      name += std::to_string(rng() % 5000);
      if (want.emplace(name, want.size()).second) order.push_back(name);
      text += (leaf ? "," : "") + name;
    }
    text += ");\n";
  }
  auto r = parse_newick_trees(text, false);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->taxon_set.names, order);
  EXPECT_EQ(r->taxon_set.last, order.size());
  ASSERT_EQ(r->taxon_set.to_id.size(), order.size());
  for (const auto& [name, id] : want) EXPECT_EQ(r->taxon_set.find(name), id);
  EXPECT_GT(order.size(), 4096u);
}

// Leaves with one, two or three labels (the last one counts, every one is
// registered and counted), names repeated, in numbers that cross the batches
// in which labels are resolved: each leaf's taxon and the ids are as when
// every label is resolved on the spot.
TEST(NewickTrees, LeafTaxaAndIdsWithRepeatedAndReplacedLabels) {
  std::mt19937 rng(5);
  std::map<std::string, uint64_t> ids;
  std::vector<std::string> order;
  std::vector<int32_t> want_taxa{-42};
  uint64_t want_ntaxa = 0;
  std::string text = "(";
  for (int leaf = 0; leaf < 200; ++leaf) {
    text += leaf ? "," : "";
    const int labels = 1 + static_cast<int>(rng() % 7 == 0) + static_cast<int>(rng() % 13 == 0);
    int32_t taxon = -1;
    for (int k = 0; k < labels; ++k) {
      const std::string name = "n" + std::to_string(rng() % 150);
      text += (k ? "[c]" : "") + name;
      auto [it, fresh] = ids.emplace(name, ids.size());
      if (fresh) order.push_back(name);
      taxon = static_cast<int32_t>(it->second);
      ++want_ntaxa;
    }
    want_taxa.push_back(taxon);
  }
  text += ")Root;";
  auto r = parse_newick_trees(text, false);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->trees.size(), 1u);
  EXPECT_EQ(r->taxon_set.names, order);
  EXPECT_EQ(r->trees[0].taxa, want_taxa);
  EXPECT_EQ(r->trees[0].ntaxa, want_ntaxa);
}

TEST(NewickTrees, NoSemicolonGivesOneTree) {
  auto r = parse_newick_trees("(A,B)", false);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->trees.size(), 1u);
  EXPECT_EQ(r->trees[0].ntaxa, 2u);
}

TEST(NewickTrees, CutInsideComment) {
  auto r = parse_newick_trees("(A[x;y],B);", false);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->trees.size(), 2u);
  expect_arena(r->trees[0], {{-42, 0}, {0, 0}, {1, -1}, {-1, -1}, {1, 0}, {-1, 0}, 1});
  expect_arena(r->trees[1], {{1, 2}, {0, 0}, {-1, -1}, {1, -1}, {1, 0}, {-1, 0}, 2});
  EXPECT_EQ(r->taxon_set.names, (std::vector<std::string>{"A", "y]", "B"}));
}

TEST(NewickTrees, OnlyACommentGivesOneNodeTree) {
  auto r = parse_newick_trees("[only a comment]", false);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->trees.size(), 1u);
  expect_arena(r->trees[0], {{-42}, {0}, {-1}, {-1}, {0}, {-1}, 0});
}

TEST(NewickTrees, TrimsUnicodeSpaceButNotOtherCharacters) {
  // U+3000 and U+00A0 around the tree are trimmed; a byte-order mark (U+FEFF)
  // and U+200B are not white space and become part of the first label.
  auto r = parse_newick_trees("\xe3\x80\x80\xc2\xa0(A,B)\xc2\xa0;\xef\xbb\xbf(C,D);\xe2\x80\x8b", false);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->trees.size(), 3u);
  // The mark starts a label that runs to the ',' ("(" does not end a label).
  EXPECT_EQ(r->taxon_set.names,
            (std::vector<std::string>{"A", "B", "\xef\xbb\xbf(C", "D", "\xe2\x80\x8b"}));
  EXPECT_EQ(r->trees[1].taxa, (std::vector<int32_t>{2, 3}));
  EXPECT_EQ(r->trees[2].taxa, (std::vector<int32_t>{4}));
}

TEST(NewickTrees, TrailingLabelWhiteSpaceTrimmedOnlyAtPieceEnds) {
  auto r = parse_newick_trees("(A,B\t)\t\n;(C\t,D);", false);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->taxon_set.names, (std::vector<std::string>{"A", "B\t", "C\t", "D"}));
}

TEST(NewickTrees, MalformedLengthInLaterTreeStops) {
  EXPECT_EQ(panic_text([] { (void)parse_newick_trees("(A,B);(C:x,D);", false); }), kBadLength);
}

TEST(NewickTrees, EveryTreeHasExactCapacity) {
  auto r = parse_newick_trees("((A,B),(C,D));\n(A[,,,],(B,C));\n(x(y,z);", false);
  ASSERT_TRUE(r.ok());
  for (const Tree& t : r->trees) {
    EXPECT_EQ(t.taxa.capacity(), t.taxa.size());
    EXPECT_EQ(t.childcount.capacity(), t.childcount.size());
  }
}

TEST(NewickTrees, NewParseStateIsTheStartArena) {
  const ParseState s = new_parse_state(true);
  EXPECT_TRUE(s.topology_only);
  EXPECT_FALSE(new_parse_state(false).topology_only);
  EXPECT_TRUE(s.gene_trees.empty());
  EXPECT_TRUE(s.taxon_set.names.empty());
  EXPECT_EQ(s.taxon_set.last, 0u);
  expect_arena(s.species_tree, {{-42}, {0}, {-1}, {-1}, {0}, {-1}, 0});
}

TEST(Newick, DeepCaterpillarNeedsNoStack) {
  const int n = 1000000;
  std::string text(n - 1, '(');
  text += "t0";
  for (int k = 1; k < n; ++k) {
    text += ",t" + std::to_string(k) + ")";
  }
  text += ";";
  auto r = parse_newick_trees(text, false);
  ASSERT_TRUE(r.ok());
  const Tree& t = r->trees[0];
  EXPECT_EQ(t.node_count(), 2u * n - 1);
  EXPECT_EQ(t.ntaxa, static_cast<uint64_t>(n));
  EXPECT_EQ(r->taxon_set.last, static_cast<uint64_t>(n));
  EXPECT_EQ(r->taxon_set.to_id.size(), static_cast<size_t>(n));
  for (int k = 0; k < n; k += 9973) EXPECT_EQ(r->taxon_set.find("t" + std::to_string(k)), static_cast<uint64_t>(k));
  EXPECT_EQ(t.preorder().size(), t.node_count());
}

}  // namespace
}  // namespace qb
