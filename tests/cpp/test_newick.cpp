// Newick texts in and out: the reader, the writer, length texts and the
// walks over a tree's links.
#include <gtest/gtest.h>

#include "support.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tree/length_text.hpp"
#include "tree/newick.hpp"

namespace qb {
namespace {

const char* const kBadLength = "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }";
const char* const kNoTrees = "No valid trees found in input string";
const char* const kNotATree = "malformed tree: node links do not form a tree";

std::string oob(size_t len, uint64_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index);
}

// The trees read, as written (with lengths, one a line), then the taxon set's
// names; or the failure text.
std::string read(std::string_view text) {
  return outcome([&] {
    auto r = parse_newick_trees(text, false);
    if (!r.ok()) return r.error();
    for (const Tree& t : r->trees) EXPECT_EQ(t.taxa.capacity(), t.taxa.size());  // reserved from the prescan
    std::string out = to_newick_string(r->trees, r->taxon_set);
    for (size_t i = 0; i < r->taxon_set.names.size(); ++i) out += "|" + std::string(r->taxon_set.names[i]);
    return out;
  });
}

TEST(Newick, ReadsAndWritesTheTree) {
  const std::pair<const char*, std::string> cases[] = {
      // Inner labels and the root's length are dropped.
      {"(A:1.5,B:2)C:0.5;((A,B)95:0.3,C:4);A:3", "(A:1.5,B:2);\n((A:0,B:0):0.3,C:4);\nA;|A|B|C"},
      {"(A,A);(A)(B);A,B;(A))):2;((A,B)", "(A:0,A:0);\n(B:0);\n();\n(A:0);\n((A:0,B:0):0);|A|B"},
      {"( A , B );(A,\tB);(A:,B)", "(A :0,B :0);\n(A:0,\tB:0);\n(A:0,B:0);|A |B |A|\tB|B"},  // ' ' skipped before
      {"(a:-2,a:-0,a:+1,a:.5,a:1.,a:1E+2,a:007,a:inf,a:-INF,a:NaN,a:1e400,a:0e99999999999999999999,a:1.8e308)",
       "(a,a:-0,a:1,a:0.5,a:1,a:100,a:7,a:inf,a,a,a:inf,a:0,a:inf);|a"},
      {"(A[x[y]z]:1,B);(A:2[c],B[x", "(A:1,B:0);\n(A:2,B:0);|A|B"},  // comments nest
      {"(A[x]B,C);", "(B:0,C:0);|A|B|C"},  // every label registered, the last one counts
      {"(A,\n(B,C));(A(x,']x\")", "(A:0,\n(B:0,C:0);\n(A(x:0,']x\":0);|A|\n(B|C|A(x|']x\""},
      {"(A[x;y],B);(A,B\t)\t\n;(C\t,D);", "(A:0);\n();\n(A:0,B\t:0);\n(C\t:0,D:0);|A|y]|B|B\t|C\t|D"},
      // U+00A0 and U+3000 trimmed; U+FEFF and U+200B are not white space.
      {"\xe3\x80\x80\xc2\xa0(A,B)\xc2\xa0;\xef\xbb\xbf(C,D);\xe2\x80\x8b",
       "(A:0,B:0);\n();\n\xe2\x80\x8b;|A|B|\xef\xbb\xbf(C|D|\xe2\x80\x8b"},
      {"", kNoTrees},
      // U+0009-000D U+0020 U+0085 U+00A0 U+1680 U+2000 U+200A U+2028 U+2029 U+202F U+205F U+3000
      {" ; ;\t\n\v\f\r \xc2\x85\xc2\xa0\xe1\x9a\x80\xe2\x80\x80\xe2\x80\x8a\xe2\x80\xa8\xe2\x80\xa9\xe2\x80\xaf"
       "\xe2\x81\x9f\xe3\x80\x80;",
       kNoTrees},
      {"(A,B);(C:x,D);", kBadLength},
      // Leaves without a taxon are written as empty labels.
      {"(,A);", "(:0,A:0);|A"},
      {"[only a comment]", ";"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(read(text), want) << text;
  EXPECT_EQ(read(std::string_view()), kNoTrees);  // no data pointer at all
  EXPECT_TRUE(parse_newick_trees("(A,B);", true)->topology_only);
  TaxonSet ts;  // the first tree only, over names held already: new ids after them
  ts.get_or_insert("B");
  EXPECT_EQ(tree_to_newick(parse_newick_tree(ts, "(A[;],(B,C));(D,E);"), ts), "(A:0,(B:0,C:0):0);");
  EXPECT_EQ(ts.find("C"), 2u);
  std::string text;
  for (double x : parse_newick_tree(ts, "(A:-2,B:-INF,C:NaN,D:+nan,E:-1e-400,F:1e-400)G:0.5").lengths)
    append_length(x, text += ' ');
  EXPECT_EQ(text, " 0.5 -2 -inf nan nan -0 0");
  EXPECT_EQ(new_parse_state(false).species_tree.lengths, std::vector<double>{-1});
}

// Each piece of a text loses Unicode white space at both ends (any mix, one to
// three bytes a character), so a label or length that ends a piece loses it
// too; inside a piece only U+0020 is skipped, and labels keep the rest. Near
// spaces that are not white space stay. The single-tree reader (species texts)
// trims nothing.
TEST(Newick, TrimsWhiteSpaceAtTheEndsOfEachPiece) {
  // U+0009 to U+000D, U+0020, U+0085, U+00A0, U+1680, U+2028, U+2029, U+202F, U+205F, U+3000; U+2000 to U+200A
  std::vector<std::string> spaces = {"\t", "\n", "\v", "\f", "\r", " ", "\xc2\x85", "\xc2\xa0", "\xe1\x9a\x80",
                                     "\xe2\x80\xa8", "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80"};
  for (unsigned b = 0x80; b <= 0x8A; ++b) spaces.push_back("\xe2\x80" + std::string(1, static_cast<char>(b)));
  for (const std::string& s : spaces)
    EXPECT_EQ(read(s + "(A,B)" + s + s + ";" + s + "C" + s + "\t\xe2\x80\x83"), "(A:0,B:0);\nC;|A|B|C") << s;
  // U+0008, U+000E, U+001C to U+001F, U+0084, U+00A1, U+1681, U+180E, U+200B, U+202A, U+205E, U+2060, U+3001, U+FEFF
  for (const char* kept : {"\x08", "\x0e", "\x1c", "\x1f", "\xc2\x84", "\xc2\xa1", "\xe1\x9a\x81", "\xe1\xa0\x8e",
                           "\xe2\x80\x8b", "\xe2\x80\xaa", "\xe2\x81\x9e", "\xe2\x81\xa0", "\xe3\x80\x81",
                           "\xef\xbb\xbf"}) {
    const std::string label = kept + std::string("C") + kept;
    EXPECT_EQ(read(label), label + ";|" + label) << kept;
  }
  const std::pair<const char*, std::string> cases[] = {
      {"\t(\tA,B\t)\t;\t(A\xe2\x80\x83,\xc2\xa0" "B)",
       "(\tA:0,B\t:0);\n(A\xe2\x80\x83:0,\xc2\xa0" "B:0);|\tA|B\t|A\xe2\x80\x83|\xc2\xa0" "B"},
      // Unclosed: a label, then a length, ends the piece.
      {"(A,B\t\xe2\x80\x83;(A,B:2\xe3\x80\x80\t", "(A:0,B:0);\n(A:0,B:2);|A|B"},
      {"(A:1\t,B)", kBadLength},
      {"(A:1\xe2\x80\x83,B)", kBadLength},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(read(text), want) << text;
  TaxonSet ts;
  parse_newick_tree(ts, "\t(A,B\xe2\x80\x83);\t");
  EXPECT_EQ(ts.names, (std::vector<std::string>{"\t(A", "B\xe2\x80\x83"}));
}

TEST(Newick, MalformedLengthsStop) {
  for (const char* bad : {" 1", "1 ", "1x", "1e", "1e+", "nan(1)", "0x10", ".", "e5", "+", "-", "+-1", "--1",
                          "1:2", "1\n", "infin", "infinityy", "1.2.3", "1_000", "1e5.0", "inf inity"})
    EXPECT_EQ(read(std::string("(A,B:") + bad + ")"), kBadLength) << bad;
  // Labels read before the stop stay registered.
  TaxonSet ts;
  EXPECT_EQ(panic_text([&] { parse_newick_tree(ts, "(A,B: 1);"); }), kBadLength);
  EXPECT_EQ(ts.names.size(), 2u);
}

// Decimals of every shape the reader has a path for (short, 16 to 25 digits,
// exponents, signs, none before the point) read as the correctly rounded value,
// bit for bit.
TEST(Newick, RandomDecimalsReadToTheirExactBits) {
  std::mt19937_64 rng(11);
  const auto digits = [&](uint64_t n) {
    std::string d;
    while (n--) d += static_cast<char>('0' + rng() % 10);
    return d;
  };
  for (int k = 0; k < 20000; ++k) {
    std::string text = std::string(rng() % 4 ? "" : rng() % 2 ? "-" : "+") + digits(rng() % 6);
    if (rng() % 3 != 0 || text.find_first_of("0123456789") == std::string::npos) text += "." + digits(1 + rng() % 24);
    if (rng() % 5 == 0) text += std::string(rng() % 2 ? "e" : "E") + (rng() % 2 ? "-" : "") + digits(1 + rng() % 3);
    TaxonSet ts;
    const double got = parse_newick_tree(ts, "(A:" + text + ",B);").lengths[1];
    ASSERT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(std::strtod(text.c_str(), nullptr))) << text;
  }
}

// Names of all lengths, repeated, in numbers past the name table's first
// sizes and across the batches in which labels are resolved, some leaves with
// two or three labels: ids are first-seen, the last label counts, all count.
TEST(Newick, ManyLabelsGetFirstSeenIds) {
  std::mt19937 rng(3);
  std::map<std::string, uint64_t> ids;
  std::vector<int32_t> taxa, got;
  uint64_t labels = 0;
  std::string text = "(";
  for (int leaf = 0; leaf < 12000; ++leaf) {
    text += leaf % 40 ? "," : leaf ? ")Root;(" : "";
    for (int k = 0, n = 1 + (rng() % 7 == 0) + (rng() % 13 == 0); k < n; ++k, ++labels) {
      std::string name(rng() % 41, 'a');
      for (char& c : name) c = static_cast<char>('a' + rng() % 3);
      name += std::to_string(rng() % 5000);
      text += (k ? "[c]" : "") + name;
      const uint64_t id = ids.emplace(name, ids.size()).first->second;
      if (k == n - 1) taxa.push_back(static_cast<int32_t>(id));
    }
  }
  auto r = parse_newick_trees(text + ")", false);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->taxon_set.names.size(), ids.size());
  for (const auto& [name, id] : ids) ASSERT_TRUE(r->taxon_set.names[id] == name && r->taxon_set.find(name) == id);
  for (const Tree& t : r->trees) got.insert(got.end(), t.taxa.begin() + 1, t.taxa.end()), labels -= t.ntaxa;
  EXPECT_EQ(got, taxa);
  EXPECT_EQ(labels, 0u);
  EXPECT_GT(ids.size(), 4096u);
}

TEST(Newick, WritesASetOrOneTree) {
  auto r = parse_newick_trees("(A,B);\n(B,C);\n", false);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(collect_newick_strings(r->trees, r->taxon_set), (std::vector<std::string>{"(A:0,B:0);", "(B:0,C:0);"}));
  EXPECT_EQ(to_newick_string(std::span(&r->trees[1], 1), r->taxon_set), "(B:0,C:0);");
  EXPECT_EQ(to_newick_string({}, r->taxon_set), "");
}

std::string length_text(double v) {
  std::string out;
  append_length(v, out);
  return out;
}

// Plain decimals however large or small: whole numbers past 2^53 are their
// shortest digits and zeros (1e23 once came out with every binary digit).
TEST(LengthText, PlainShortestDecimals) {
  const std::pair<double, std::string> cases[] = {
      {0.0, "0"}, {-0.0, "-0"}, {123456.789, "123456.789"}, {9007199254740993.0, "9007199254740992"},
      {9007199254740994.0, "9007199254740994"}, {123456789012345680.0, "123456789012345680"},
      {std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
      {5e-324, "0." + std::string(323, '0') + "5"}, {15e-324, "0." + std::string(322, '0') + "15"},
      {HUGE_VAL, "inf"}, {-HUGE_VAL, "-inf"}, {std::nan(""), "nan"}};
  for (const auto& [v, text] : cases) EXPECT_EQ(length_text(v), text) << v;
  // Every power of ten a double comes nearest to is a 1 and zeros.
  for (int k = -320; k <= 308; ++k) {
    const std::string text = k >= 0 ? "1" + std::string(static_cast<size_t>(k), '0')
                                    : "0." + std::string(static_cast<size_t>(-k - 1), '0') + "1";
    ASSERT_EQ(length_text(std::strtod(("1e" + std::to_string(k)).c_str(), nullptr)), text) << k;
  }
}

// The fast paths against the general algorithm over random bit patterns and
// short decimals of every magnitude and their neighbours; every text reads
// back (as a plain decimal) to the same bits.
TEST(LengthText, FastPathsMatchTheGeneralAlgorithmAndReadBack) {
  std::mt19937_64 rng(1);
  char text[kMaxLengthText];
  for (int i = 0; i < 2'000'000; ++i) {
    uint64_t m = rng() % 100000000000000000ull;
    for (uint64_t k = 1 + rng() % 17; k < 17; ++k) m /= 10;
    const std::string decimal = std::to_string(m) + "e" + std::to_string(static_cast<int>(rng() % 660) - 340);
    const double shorter = std::strtod(decimal.c_str(), nullptr);
    for (const double v : {std::bit_cast<double>(rng() >> 1), shorter, std::nextafter(shorter, 0.0)}) {
      if (v == 0 || !std::isfinite(v)) continue;
      const ShortestDecimal fast = shortest_decimal(v), ref = shortest_decimal_reference(v);
      ASSERT_TRUE(fast.digits == ref.digits && fast.exponent == ref.exponent) << std::bit_cast<uint64_t>(v);
      const char* end = write_length_text(v, text);
      double back = -1;
      ASSERT_EQ(std::from_chars(text, end, back, std::chars_format::fixed).ptr, end);
      ASSERT_EQ(back, v) << std::string(static_cast<const char*>(text), end);
    }
  }
}

std::string list(const std::vector<uint64_t>& nodes) {
  std::string s;
  for (uint64_t v : nodes) s += std::to_string(v) + ",";
  return s;
}

// Links as a stored state may hold them: every walk stays inside and ends.
TEST(Tree, WalksOverLinks) {
  const auto links = [](std::vector<int32_t> firstchild, std::vector<int32_t> nextsib) {
    std::vector<uint32_t> counts(firstchild.size());
    for (size_t v = 0; v < counts.size(); ++v) counts[v] = firstchild[v] != -1;
    const size_t n = counts.size();
    return arena(std::vector<int32_t>(n, 0), std::vector<int32_t>(n, 0), firstchild, nextsib, counts, 1);
  };
  const struct {
    Tree tree;
    std::string preorder, children, written;  // children: of the root
  } cases[] = {
      // Preorder visits the last child first, and only nodes linked from the root.
      {links({1, 3, -1, -1, -1}, {-1, 2, -1, 4, -1}), "0,2,1,4,3,", "1,2,", "((A:1,A:1):1,A:1);"},
      {links({2, -1, -1}, {-1, -1, -1}), "0,2,", "2,", "(A:1);"},
      {links({0}, {-1}), kNotATree, "0,", kNotATree},
      {links({1, 0}, {-1, -1}), kNotATree, "1,", kNotATree},
      {links({1, -1, -1}, {-1, 2, 1}), kNotATree, kNotATree, kNotATree},
      {links({1, -1}, {-1, 1}), kNotATree, kNotATree, kNotATree},
      {links({1, 2, -1}, {-1, 2, -1}), kNotATree, "1,2,", kNotATree},  // a shared child
      {links({9}, {-1}), oob(1, 9), oob(1, 9), oob(1, 9)},
      {links({-2}, {-1}), oob(1, -2ull), oob(1, -2ull), oob(1, -2ull)},
      {links({1, -1}, {-1}), oob(1, 1), oob(1, 1), oob(1, 1)},
      {links({}, {}), "malformed tree: the tree has no nodes", oob(0, 0), oob(0, 0)},
  };
  TaxonSet ts;
  ts.get_or_insert("A");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written);
    EXPECT_EQ(outcome([&] { return list(c.tree.preorder()); }), c.preorder);
    EXPECT_EQ(outcome([&] { return list(c.tree.children(0)); }), c.children);
    EXPECT_EQ(outcome([&] { return tree_to_newick(c.tree, ts); }), c.written);
  }
  Tree short_lengths = links({1, -1}, {-1, -1});
  short_lengths.lengths.resize(1);
  EXPECT_EQ(outcome([&] { return tree_to_newick(short_lengths, ts); }), oob(1, 1));
}

// A million nested levels: read, walked and written back without a stack.
TEST(Newick, DeepCaterpillarRoundTrips) {
  const int n = 1000000;
  std::string text = std::string(n - 1, '(') + "t0:1";
  for (int k = 1; k < n; ++k) text += ",t" + std::to_string(k) + ":1)" + (k < n - 1 ? ":1" : ";");
  auto r = parse_newick_trees(text, false);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->trees[0].preorder().size(), 2u * n - 1);
  EXPECT_EQ(r->taxon_set.find("t999999"), 999999u);
  EXPECT_EQ(to_newick_string(r->trees, r->taxon_set), text);
}

}  // namespace
}  // namespace qb
