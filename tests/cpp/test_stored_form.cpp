// Stored form: exact bytes, round trips, reader failure texts, cut states,
// taxon sets read as stored; views over shared blocks; zstd streams.
#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "compression/zstd_stream.hpp"
#include "porcelain/stored_views.hpp"
#include "porcelain/views.hpp"
#include "support.hpp"
#include "tree/newick.hpp"
#include "tree/stored_form.hpp"

// Largest single allocation since the last reset: a corrupt count must not
// make a reader reserve on its strength.
static std::atomic<size_t> g_largest{0};
void* operator new(size_t n) {
  size_t seen = g_largest.load(std::memory_order_relaxed);
  while (n > seen && !g_largest.compare_exchange_weak(seen, n)) {
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace qb {
namespace {

// Little-endian bytes of hand-made states.
struct Bytes {
  std::string s;
  template <class T>
  Bytes& put(T v) {
    s.append(reinterpret_cast<const char*>(&v), sizeof v);
    return *this;
  }
  Bytes& u64(uint64_t v) { return put(v); }
  Bytes& text(std::string_view t) { return u64(t.size()).add(t); }
  Bytes& add(std::string_view more) { return s.append(more), *this; }
};

TaxonSet taxa_of(std::initializer_list<const char*> names) {
  TaxonSet t;
  for (const char* n : names) t.get_or_insert(n);
  return t;
}

// Root 0 with leaves 1 (taxon 0) and 2 (taxon 1); floats that only bits tell apart.
Tree cherry() {
  Tree t = arena({-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, 2);
  t.support = {-1.0, std::numeric_limits<double>::quiet_NaN(), -0.0};
  t.lengths = {-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(), 2.5};
  return t;
}
Tree one_node() {
  Tree t = arena({0}, {0}, {-1}, {-1}, {0}, 1);
  t.support = t.lengths = {-1.0};
  return t;
}
std::string tree_bytes(const Tree& t) { return serialize_single_tree(TaxonSet{}, t).substr(24); }

TreeViewBase view_of(TaxonSet taxa, std::vector<Tree> trees, bool topology_only) {
  return {share(std::move(taxa)), share(std::move(trees)), topology_only};
}
MSCTreeView msc_of(uint32_t variant, bool topology_only, bool fake_root) {
  MSCTreeView m{{variant, view_of(taxa_of({"A", "B", "C"}), {cherry(), one_node()}, topology_only)}, cherry()};
  m.species_tree.fake_root = fake_root;
  return m;
}
using Family = std::vector<MSCTreeViewPtr>;
Family family_of(std::initializer_list<MSCTreeView> members) {
  Family f;
  for (const MSCTreeView& m : members) f.push_back(std::make_shared<const MSCTreeView>(m));
  return f;
}
DistanceMatrixView matrix_of(std::vector<double> cells, uint64_t size) {
  return {share(DistanceMatrix{std::move(cells), size}), share(taxa_of({"x", "y"}))};
}

// Every reader: the bytes read and written again, or "error:" and its text.
template <class V>
std::string again(std::string_view b) {
  auto v = read_record<V>(b);
  return v.ok() ? write_record(*v) : "error:" + v.error();
}
std::string again_single(std::string_view b) {
  auto v = deserialize_single_tree(b);
  return v.ok() ? serialize_single_tree(v->first, v->second) : "error:" + v.error();
}
enum Kind { kTaxa, kSingle, kMatrix, kView, kMsc, kFamily };
std::string (*const kAgain[])(std::string_view) = {again<TaxonSet>,           again_single,        again<DistanceMatrixView>,
                                                    again<TreeViewBase>,        again<MSCTreeView>, again<Family>};
constexpr const char* kEof = "io error: unexpected end of file";

TEST(StoredForm, ExactBytes) {
  const std::string taxa = serialize_taxon_set(taxa_of({"B", "AB", "A", "a", "Z", "\xC3\xA9"}));
  Tree empty;
  empty.fake_root = true;
  empty.ntaxa = 7;
  const MSCTreeView m = msc_of(1, false, true), m0 = msc_of(0, true, false);
  const std::string base = Bytes{}.add(serialize_taxon_set(taxa_of({"A", "B", "C"}))).u64(2)
                               .add(tree_bytes(cherry())).add(tree_bytes(one_node())).put<char>(0).s;
  const std::string msc = Bytes{}.put<uint32_t>(1).add(base).add(tree_bytes(m.species_tree)).s;
  const std::pair<std::string, std::string> rows[] = {
      // to_id in key byte order, names in id order, then `last`.
      {taxa, Bytes{}.u64(6).text("A").u64(2).text("AB").u64(1).text("B").u64(0).text("Z").u64(4).text("a").u64(3)
                 .text("\xC3\xA9").u64(5).u64(6).text("B").text("AB").text("A").text("a").text("Z")
                 .text("\xC3\xA9").u64(6).s},
      {serialize_taxon_set(TaxonSet{}), std::string(24, '\0')},
      // Seven sequences (count, then values), fake_root, ntaxa.
      {tree_bytes(one_node()), Bytes{}.u64(1).put<int32_t>(0).u64(1).put<int32_t>(0).u64(1).put(-1.0).u64(1)
                                   .put(-1.0).u64(1).put<int32_t>(-1).u64(1).put<int32_t>(-1).u64(1)
                                   .put<uint32_t>(0).put<char>(0).u64(1).s},
      {tree_bytes(empty), std::string(56, '\0') + "\x01" + std::string("\x07\0\0\0\0\0\0\0", 8)},
      {serialize_tree_view_base(m.base.view), base},
      {serialize_msc_tree_view(m), msc},
      {serialize_family_of_msc(family_of({m, m0})), Bytes{}.u64(2).add(msc).add(serialize_msc_tree_view(m0)).s},
      {serialize_family_of_msc({}), std::string(8, '\0')},
      {serialize_distance_matrix_view(matrix_of({2.0, -0.0}, 3)),
       Bytes{}.u64(2).put(2.0).put(-0.0).u64(3).add(serialize_taxon_set(taxa_of({"x", "y"}))).s},
  };
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
}

// Read and written again to the same bytes; every cut fails as short input;
// trailing bytes are ignored.
TEST(StoredForm, RoundTripsCutsAndTrailingBytes) {
  Tree odd = cherry();
  odd.fake_root = true;
  odd.lengths[0] = std::bit_cast<double>(uint64_t{0x7FF8000000012345});
  odd.parents.pop_back();  // sequences of unequal length are kept as they are
  odd.support.clear();
  odd.childcount.push_back(9);
  const MSCTreeView m = msc_of(1, true, false);
  const std::pair<Kind, std::string> states[] = {
      {kTaxa, serialize_taxon_set(TaxonSet{})},
      {kTaxa, serialize_taxon_set(taxa_of({"b", "a", "A ", "", "\xF0\x9F\x98\x80", "ab"}))},
      {kSingle, serialize_single_tree(taxa_of({"A", "B"}), odd)},
      {kSingle, serialize_single_tree(TaxonSet{}, Tree{})},
      {kMatrix, serialize_distance_matrix_view(matrix_of({std::numeric_limits<double>::quiet_NaN(), -0.0, 1.0}, 5))},
      {kView, serialize_tree_view_base(view_of(taxa_of({"A", "B"}), {cherry(), one_node(), Tree{}}, true))},
      {kView, serialize_tree_view_base(view_of(TaxonSet{}, {}, false))},
      {kMsc, serialize_msc_tree_view(msc_of(0, false, true))},
      {kMsc, serialize_msc_tree_view(m)},
      {kFamily, serialize_family_of_msc(family_of({m, m.slice(0, 1), msc_of(0, false, true)}))},
  };
  for (const auto& [kind, bytes] : states) {
    SCOPED_TRACE(kind);
    EXPECT_EQ(kAgain[kind](bytes), bytes);
    for (const std::string& tail : {std::string(1, '\0'), std::string("\xFF\xFF\xFF"), bytes})
      EXPECT_EQ(kAgain[kind](bytes + tail), bytes);
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
      const std::string err = kAgain[kind](std::string_view(bytes).substr(0, cut));
      EXPECT_TRUE(err == "error:" + std::string(kEof) || err == "error:io error: ") << cut << ": " << err;
    }
  }
}

std::string bad_utf8(int k, int i) {
  return "string is not valid utf8: invalid utf-8 sequence of " + std::to_string(k) + " bytes from index " +
         std::to_string(i);
}
std::string cut_utf8(int i) {
  return "string is not valid utf8: incomplete utf-8 byte sequence from index " + std::to_string(i);
}
std::string named(std::string_view name) { return Bytes{}.u64(0).u64(1).text(name).u64(1).s; }

// Each state is read from a view with zeros behind it, so that a reader that
// runs past its input gives a wrong result rather than undefined behaviour.
TEST(StoredForm, ReaderFailureTexts) {
  const uint64_t huge = uint64_t{1} << 62;
  const std::string taxa = serialize_taxon_set(TaxonSet{});
  const std::string view = serialize_tree_view_base(view_of(TaxonSet{}, {}, false)).substr(0, 32);
  const std::string msc = serialize_msc_tree_view(msc_of(0, false, false)).substr(4);
  std::string flag7 = serialize_single_tree(TaxonSet{}, one_node());
  flag7[24 + 92] = 7;
  const std::string bool_text = "invalid u8 while decoding bool, expected 0 or 1, found ";
  const std::tuple<Kind, std::string, std::string> rows[] = {
      {kTaxa, Bytes{}.u64(1).u64(10).text("A").s, "io error: "},  // one byte past the end
      {kTaxa, Bytes{}.u64(1).u64(uint64_t{1} << 40).text("A").s, "io error: "},
      {kTaxa, Bytes{}.u64(1).u64(~uint64_t{0}).text("A").s, "io error: "},
      {kTaxa, Bytes{}.u64(1).u64(1).add("A").s, kEof},
      {kView, view + '\x02', bool_text + "2"},
      {kView, view + '\xFF', bool_text + "255"},
      {kSingle, flag7, bool_text + "7"},
      {kMsc, Bytes{}.put<uint32_t>(2).add(msc).s, "invalid value: integer `2`, expected variant index 0 <= i < 2"},
      {kMsc, Bytes{}.put<uint32_t>(~0u).add(msc).s,
       "invalid value: integer `4294967295`, expected variant index 0 <= i < 2"},
      // Counts the input cannot hold fail short, without reserving for them.
      {kMatrix, Bytes{}.u64(3).put(1.0).put(2.0).put<char>(0).s, kEof},
      {kSingle, Bytes{}.add(taxa).u64(huge).put<int32_t>(1).put<int32_t>(2).s, kEof},
      {kSingle, Bytes{}.add(taxa).u64(0).u64(0).u64(huge).put(1.0).s, kEof},
      {kSingle, Bytes{}.add(taxa).u64(0).u64(0).u64(0).u64(0).u64(0).u64(0).u64(huge).put<uint32_t>(3).s, kEof},
      {kSingle, Bytes{}.add(taxa).u64(~uint64_t{0}).s, kEof},
      {kTaxa, Bytes{}.u64(huge).text("A").u64(0).s, kEof},
      {kTaxa, Bytes{}.u64(0).u64(huge).text("A").text("B").s, kEof},
      {kView, Bytes{}.add(taxa).u64(huge).s + std::string(200, '\0'), kEof},
      {kFamily, Bytes{}.u64(huge).s + std::string(300, '\0'), kEof},
      {kMatrix, Bytes{}.u64(huge).put(1.0).s, kEof},
      // Names are UTF-8; "" is expected of a valid one.
      {kTaxa, named("plain ascii text, long enough for words"), ""},
      {kTaxa, named("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF\xED\x9F\xBF"), ""},
      {kTaxa, named("\x80"), bad_utf8(1, 0)}, {kTaxa, named("\xC3"), cut_utf8(0)},
      {kTaxa, named("\xE0\x80"), bad_utf8(1, 0)}, {kTaxa, named("\xF0\x90\x80\x41"), bad_utf8(3, 0)},
      {kTaxa, named("\x41\xC3\x41"), bad_utf8(1, 1)}, {kTaxa, named("\xC1\xBF"), bad_utf8(1, 0)},
      {kTaxa, named("\xF5\x80\x80\x80"), bad_utf8(1, 0)}, {kTaxa, named("\xED\xA0\x80"), bad_utf8(1, 0)},
      {kTaxa, named("\xF4\x90\x80\x80"), bad_utf8(1, 0)}, {kTaxa, named("\xF0\x8F\xBF\xBF"), bad_utf8(1, 0)},
      {kTaxa, named("\xE2\x82"), cut_utf8(0)}, {kTaxa, named("ab\xE2\x82\x41"), bad_utf8(2, 2)},
      {kTaxa, named("abcdefghij\xF0\x9F\x98"), cut_utf8(10)},
      {kTaxa, named("abcdefgh\xF0\x9F\x98\x80z\xC3\xA9\xC3"), cut_utf8(15)},
      {kTaxa, named("0123456789\xC3\xA9\xFE"), bad_utf8(1, 12)},
  };
  for (Kind kind : {kTaxa, kSingle, kMatrix, kView, kMsc, kFamily}) EXPECT_EQ(kAgain[kind](""), "error:" + std::string(kEof));
  for (const auto& [kind, bytes, text] : rows) {
    const std::string padded = bytes + std::string(64, '\0');
    g_largest = 0;
    EXPECT_EQ(kAgain[kind](std::string_view(padded).substr(0, bytes.size())), text.empty() ? bytes : "error:" + text);
    EXPECT_LE(g_largest.load(), size_t{1} << 20) << text;
  }
}

// A stored `to_id` that is not exactly names -> ids (names A, B, C here) is
// kept entry by entry, in key order; a repeated key takes the later id.
TEST(StoredForm, TaxonSetsReadAsStored) {
  using E = std::vector<std::pair<std::string_view, uint64_t>>;
  const uint64_t big = (uint64_t{1} << 32) + 1;
  const std::pair<E, E> rows[] = {
      {{{"A", 0}, {"B", 1}, {"B", 4}, {"C", 2}}, {{"A", 0}, {"B", 4}, {"C", 2}}},
      {{{"C", 2}, {"B", 1}, {"A", 0}}, {{"A", 0}, {"B", 1}, {"C", 2}}},
      {{{"A", 0}, {"C", 2}}, {}}, {{{"A", 0}, {"B", 2}, {"C", 1}}, {}}, {{{"A", 0}, {"B", 1}, {"C", 3}}, {}},
      {{{"A", big}, {"B", big + 1}, {"C", 2}}, {}}, {{{"A", 0}, {"B", 1}, {"C", 2}, {"D", 0}}, {}}};
  for (const auto& [stored, read_as] : rows) {
    const E& want = read_as.empty() ? stored : read_as;
    Bytes b;
    b.u64(stored.size());
    for (const auto& [key, id] : stored) b.text(key).u64(id);
    auto ts = deserialize_taxon_set(b.u64(3).text("A").text("B").text("C").u64(3).s);
    EXPECT_FALSE(ts->to_id.plain());
    EXPECT_EQ(ts->sorted_entries(), want);
    for (const auto& [key, id] : want) EXPECT_EQ(ts->find(key), id) << key;
    EXPECT_EQ(ts->find("B").has_value(), want.size() != 2);
  }
  // Exactly names -> ids reads into a plain index that grows like a built one,
  // also when `last` is past the names.
  auto built = deserialize_taxon_set(serialize_taxon_set(taxa_of({"b", "A", "\xc3\xa9", "", "a b"})));
  auto late = deserialize_taxon_set(Bytes{}.u64(1).text("A").u64(0).u64(1).text("A").u64(5).s);
  EXPECT_TRUE(built->to_id.plain() && late->to_id.plain());
  EXPECT_EQ(built->find("a b"), 4u);
  EXPECT_FALSE(built->find("B").has_value());
  EXPECT_EQ(built->get_or_insert("new"), 5u);
  EXPECT_EQ(built->find("new"), 5u);
  EXPECT_EQ(late->get_or_insert("B"), 5u);
  EXPECT_EQ(late->get_or_insert("A"), 0u);
  EXPECT_EQ(late->sorted_entries(), (E{{"A", 0}, {"B", 5}}));
}

// --- Views ---------------------------------------------------------------------

// A slice shares the taxon set and copies exactly its range; a failed one keeps
// no reference; a read view owns new blocks.
TEST(Views, SlicesAndReadViews) {
  auto v = TreeViewBase::from_newick("(A:1,B:2);\n(B,C);\n((A,D),C:0.5);");
  const TreeViewBase s = v->slice(1, 3);
  EXPECT_EQ(s.taxon_set, v->taxon_set);
  EXPECT_EQ(s.trees->capacity(), 2u);
  EXPECT_EQ(std::vector<Tree>(v->trees->begin() + 1, v->trees->end()), *s.trees);
  EXPECT_EQ(s.slice(0, 1).to_newick_string(), "(B:0,C:0);");  // the taxon set of the whole text
  const MSCTreeView m{{1, *v}, one_node()};
  EXPECT_TRUE(m.slice(0, 1).base.view.topology_only);  // variant 1 slices are topologies
  const std::pair<std::pair<uint64_t, uint64_t>, std::string> rows[] = {
      {{2, 1}, "slice index starts at 2 but ends at 1"},
      {{0, 4}, "range end index 4 out of range for slice of length 3"},
      {{~uint64_t{0}, ~uint64_t{0}}, "range end index 18446744073709551615 out of range for slice of length 3"}};
  for (const auto& [range, text] : rows) {
    EXPECT_EQ(panic_text([&] { (void)v->slice(range.first, range.second); }), text);
    EXPECT_EQ(panic_text([&] { (void)m.slice(range.first, range.second); }), text);
  }
  EXPECT_EQ(v->taxon_set.use_count(), 3);
  EXPECT_EQ(v->trees.use_count(), 2);
  auto read = deserialize_tree_view_base(serialize_tree_view_base(*v));
  EXPECT_EQ(read->trees->capacity(), 3u);
  EXPECT_EQ(read->taxon_set.use_count() + read->trees.use_count(), 2);
}

// --- zstd streams ---------------------------------------------------------------

// A frame of n copies of `byte` in RLE blocks of 128 KiB: a few bytes stand for any size.
std::string rle_frame(uint64_t n, char byte) {
  std::string f("\x28\xb5\x2f\xfd\x00\x38", 6);  // magic, no size, 128 KiB window
  do {
    const uint64_t size = std::min<uint64_t>(n, uint64_t{1} << 17);
    n -= size;
    const uint32_t header = (n == 0 ? 1u : 0u) | (1u << 1) | static_cast<uint32_t>(size << 3);
    f += {static_cast<char>(header), static_cast<char>(header >> 8), static_cast<char>(header >> 16), byte};
  } while (n > 0);
  return f;
}

TEST(Zstd, OneLevelThreeFrameOut) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "((A:1,B:2),(C,D));" + std::to_string(i % 7);
  for (const std::string& input : {std::string(), text}) {
    const std::string f(zstd::compress(input)->view());
    std::string one(ZSTD_compressBound(input.size()), '\0');
    one.resize(ZSTD_compress(one.data(), one.size(), input.data(), input.size(), zstd::kLevel));
    EXPECT_EQ(f, one);
    EXPECT_EQ(zstd::decompress(f)->view(), input);
  }
}

TEST(Zstd, OutputIsBoundedAndLargeOutputsAreCountedFirst) {
  EXPECT_EQ(zstd::decompress(rle_frame(1000, 'x'), 1000)->view(), std::string(1000, 'x'));
  EXPECT_THROW(zstd::decompress(rle_frame(1001, 'x'), 1000), std::bad_alloc);
  // 8 GiB from 256 KiB of input, then a second frame: counted, it stops at the limit.
  EXPECT_THROW(zstd::decompress(rle_frame(uint64_t{1} << 33, 'x') + rle_frame(1, 'y'), uint64_t{1} << 26),
               std::bad_alloc);
  EXPECT_GT(zstd::memory_budget(), uint64_t{1} << 20);
  // Past the free growth (64 MiB), across a frame boundary: counted, then decoded once more.
  const uint64_t n = uint64_t{100} << 20;
  auto r = zstd::decompress(rle_frame(n, 'x') + std::string(zstd::compress("tail")->view()), uint64_t{300} << 20);
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r->view().find_first_not_of('x'), n);
  EXPECT_EQ(r->view().substr(n), "tail");
}

}  // namespace
}  // namespace qb
