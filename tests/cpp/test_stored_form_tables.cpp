// Stored form: exact bytes, round trips, reader failure texts, cut states,
// taxon sets read as stored; zstd streams.
#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "compression/zstd_stream.hpp"
#include "porcelain/stored_views.hpp"
#include "porcelain/views.hpp"
#include "support.hpp"
#include "tree/newick.hpp"
#include "tree/stored_form.hpp"

namespace qb {
namespace {

// Little-endian bytes of hand-made states.
struct Bytes {
  std::string s;
  template <class T>
  Bytes& put(T v) { return add({reinterpret_cast<const char*>(&v), sizeof v}); }
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
MSCTreeView msc_of(uint32_t variant, bool topology_only) {
  TreeViewBase genes{share(taxa_of({"A", "B", "C"})), share(std::vector<Tree>{cherry(), one_node()}), topology_only};
  return {{variant, std::move(genes)}, cherry()};
}

// Every reader: the bytes read and written again, or "error:" and its text.
using Family = std::vector<MSCTreeViewPtr>;
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
std::string (*const kAgain[])(std::string_view) = {again<TaxonSet>, again_single, again<DistanceMatrixView>,
                                                    again<TreeViewBase>, again<MSCTreeView>, again<Family>};
constexpr const char* kEof = "io error: unexpected end of file";

// Each value's bytes (exact where given) read and written again to the same
// bytes, also with trailing bytes; every cut fails as short input.
TEST(StoredForm, BytesRoundTripsAndCuts) {
  const std::string none = serialize_taxon_set(TaxonSet{}), abc = serialize_taxon_set(taxa_of({"A", "B", "C"}));
  Tree empty = arena({}, {}, {}, {}, {}, 7, true), odd = cherry();
  odd.fake_root = true;
  odd.parents.pop_back();  // sequences of unequal length are kept as they are
  odd.support.clear();
  const MSCTreeView m = msc_of(1, false), m0 = msc_of(0, true);
  const std::string base = Bytes{}.add(abc).u64(2).add(tree_bytes(cherry())).add(tree_bytes(one_node())).put<char>(0).s;
  const std::string msc = Bytes{}.put<uint32_t>(1).add(base).add(tree_bytes(m.species_tree)).s;
  const std::tuple<Kind, std::string, std::string> rows[] = {
      // to_id in key byte order, names in id order, then `last`.
      {kTaxa, serialize_taxon_set(taxa_of({"B", "AB", "A", "a", "Z", "\xC3\xA9"})),
       Bytes{}.u64(6).text("A").u64(2).text("AB").u64(1).text("B").u64(0).text("Z").u64(4).text("a").u64(3)
           .text("\xC3\xA9").u64(5).u64(6).text("B").text("AB").text("A").text("a").text("Z").text("\xC3\xA9")
           .u64(6).s},
      {kTaxa, none, std::string(24, '\0')},
      // Seven sequences (count, then values), fake_root, ntaxa.
      {kSingle, serialize_single_tree(TaxonSet{}, one_node()),
       Bytes{}.add(none).u64(1).put<int32_t>(0).u64(1).put<int32_t>(0).u64(1).put(-1.0).u64(1).put(-1.0).u64(1)
           .put<int32_t>(-1).u64(1).put<int32_t>(-1).u64(1).put<uint32_t>(0).put<char>(0).u64(1).s},
      {kSingle, serialize_single_tree(TaxonSet{}, empty),
       none + std::string(56, '\0') + "\x01\x07" + std::string(7, '\0')},
      {kSingle, serialize_single_tree(taxa_of({"A", "B"}), odd), ""},
      {kMatrix,
       write_record(DistanceMatrixView{share(DistanceMatrix{{2.0, -0.0}, 3}), share(taxa_of({"A", "B", "C"}))}),
       Bytes{}.u64(2).put(2.0).put(-0.0).u64(3).add(abc).s},
      {kView, serialize_tree_view_base(m.base.view), base},
      {kMsc, serialize_msc_tree_view(m), msc},
      {kFamily, serialize_family_of_msc(Family{share(m), share(m0)}), Bytes{}.u64(2).add(msc).add(write_record(m0)).s},
      {kFamily, serialize_family_of_msc({}), std::string(8, '\0')},
  };
  for (const auto& [kind, bytes, want] : rows) {
    SCOPED_TRACE(bytes);
    if (!want.empty()) EXPECT_EQ(bytes, want);
    for (const std::string& tail : {std::string(), std::string("\xFF\xFF\xFF"), bytes})
      EXPECT_EQ(kAgain[kind](bytes + tail), bytes);
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
      const std::string err = kAgain[kind](std::string_view(bytes).substr(0, cut));
      EXPECT_TRUE(err == "error:" + std::string(kEof) || err == "error:io error: ") << cut << ": " << err;
    }
  }
}

std::string bad_utf8(int k, int i) {
  return "invalid utf-8 sequence of " + std::to_string(k) + " bytes from index " + std::to_string(i);
}
std::string cut_utf8(int i) { return "incomplete utf-8 byte sequence from index " + std::to_string(i); }

// What each reader makes of hand-made states: the failure text, the same bytes
// back (""), or other bytes ("=" and the bytes). Each is read from a view with
// zeros behind it, so that a reader that runs past its input gives a wrong
// result rather than undefined behaviour.
TEST(StoredForm, HandMadeStates) {
  const uint64_t huge = uint64_t{1} << 62;
  const std::string none = serialize_taxon_set(TaxonSet{}), view = none + std::string(8, '\0');
  const std::string msc = serialize_msc_tree_view(msc_of(0, false)).substr(4);
  const std::string bool_text = "invalid u8 while decoding bool, expected 0 or 1, found ";
  std::vector<std::tuple<Kind, std::string, std::string>> rows = {
      {kTaxa, Bytes{}.u64(1).u64(10).text("A").s, "io error: "},  // one byte past the end
      {kTaxa, Bytes{}.u64(1).u64(~uint64_t{0}).text("A").s, "io error: "},
      {kTaxa, Bytes{}.u64(1).u64(1).add("A").s, kEof},
      {kView, view + '\x02', bool_text + "2"}, {kView, view + '\xFF', bool_text + "255"},
      {kMsc, Bytes{}.put<uint32_t>(2).add(msc).s, "invalid value: integer `2`, expected variant index 0 <= i < 2"},
      {kMsc, Bytes{}.put<uint32_t>(~0u).add(msc).s,
       "invalid value: integer `4294967295`, expected variant index 0 <= i < 2"},
      {kMatrix, Bytes{}.u64(3).put(1.0).put(2.0).put<char>(0).s, kEof},
      {kSingle, Bytes{}.add(none).u64(huge).put<int32_t>(1).put<int32_t>(2).s, kEof},
      {kSingle, Bytes{}.add(none).u64(~uint64_t{0}).s, kEof},
      {kTaxa, Bytes{}.u64(huge).text("A").u64(0).s, kEof},
      {kTaxa, Bytes{}.u64(0).u64(huge).text("A").text("B").s, kEof},
      {kView, Bytes{}.add(none).u64(huge).s + std::string(200, '\0'), kEof},
      {kFamily, Bytes{}.u64(huge).s + std::string(300, '\0'), kEof},
  };
  // Names are UTF-8 ("" for a valid one).
  const std::pair<const char*, std::string> names[] = {
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF\xED\x9F\xBF", ""}, {"\x80", bad_utf8(1, 0)},
      {"\xC3", cut_utf8(0)}, {"\xE0\x80", bad_utf8(1, 0)}, {"\xF0\x90\x80\x41", bad_utf8(3, 0)},
      {"\xC1\xBF", bad_utf8(1, 0)},
      {"\xF5\x80\x80\x80", bad_utf8(1, 0)}, {"\xED\xA0\x80", bad_utf8(1, 0)}, {"\xF4\x90\x80\x80", bad_utf8(1, 0)},
      {"\xF0\x8F\xBF\xBF", bad_utf8(1, 0)}, {"ab\xE2\x82\x41", bad_utf8(2, 2)},
      {"abcdefghij\xF0\x9F\x98", cut_utf8(10)},
      {"abcdefgh\xF0\x9F\x98\x80z\xC3\xA9\xC3", cut_utf8(15)}, {"0123456789\xC3\xA9\xFE", bad_utf8(1, 12)}};
  for (const auto& [name, text] : names)
    rows.emplace_back(kTaxa, Bytes{}.u64(0).u64(1).text(name).u64(1).s,
                      text.empty() ? "" : "string is not valid utf8: " + text);
  // A stored `to_id` that is not exactly names -> ids (names A, B, C here) is kept
  // entry by entry and written back in key order; a repeated key takes the later id.
  using E = std::vector<std::pair<std::string_view, uint64_t>>;
  auto taxa = [](const E& to_id) {
    Bytes b;
    for (const auto& [key, id] : to_id) b.text(key).u64(id);
    return Bytes{}.u64(to_id.size()).add(b.s).u64(3).text("A").text("B").text("C").u64(3).s;
  };
  const uint64_t big = (uint64_t{1} << 32) + 1;
  for (const E& to_id : {E{{"A", 0}, {"C", 2}}, E{{"A", 0}, {"B", 2}, {"C", 1}}, E{{"A", 0}, {"B", 1}, {"C", 3}},
                         E{{"A", big}, {"B", big + 1}, {"C", 2}}, E{{"A", 0}, {"B", 1}, {"C", 2}, {"D", 0}}})
    rows.emplace_back(kTaxa, taxa(to_id), "");
  rows.emplace_back(kTaxa, taxa({{"A", 0}, {"B", 1}, {"B", 4}, {"C", 2}}), "=" + taxa({{"A", 0}, {"B", 4}, {"C", 2}}));
  rows.emplace_back(kTaxa, taxa({{"C", 2}, {"B", 1}, {"A", 0}}), "=" + taxa({{"A", 0}, {"B", 1}, {"C", 2}}));
  for (const auto& [kind, bytes, text] : rows) {
    const std::string padded = bytes + std::string(64, '\0');
    const std::string want = text.empty() ? bytes : text[0] == '=' ? text.substr(1) : "error:" + text;
    EXPECT_EQ(kAgain[kind](std::string_view(padded).substr(0, bytes.size())), want);
  }
}

// A zstd frame of n copies of `byte` in RLE blocks of 128 KiB: a few bytes stand for any size.
std::string rle_frame(uint64_t n, char byte) {
  std::string f("\x28\xb5\x2f\xfd\x00\x38", 6);  // magic, no size, 128 KiB window
  for (uint64_t size; n > 0; n -= size) {
    size = std::min<uint64_t>(n, uint64_t{1} << 17);
    const uint32_t header = (n == size ? 1u : 0u) | (1u << 1) | static_cast<uint32_t>(size << 3);  // last, RLE, size
    f += {static_cast<char>(header), static_cast<char>(header >> 8), static_cast<char>(header >> 16), byte};
  }
  return f;
}

// One level-3 frame out; output past the limit throws without being stored.
TEST(Zstd, LevelThreeOutBoundedOutputIn) {
  std::string text, one;
  for (int i = 0; i < 20000; ++i) text += "((A:1,B:2),(C,D));" + std::to_string(i % 7);
  one.resize(ZSTD_compressBound(text.size()));
  one.resize(ZSTD_compress(one.data(), one.size(), text.data(), text.size(), zstd::kLevel));
  EXPECT_EQ(zstd::compress(text)->view(), one);
  EXPECT_EQ(zstd::decompress(rle_frame(1000, 'x'), 1000)->view(), std::string(1000, 'x'));
  EXPECT_THROW(zstd::decompress(rle_frame(1001, 'x'), 1000), std::bad_alloc);
  // 8 GiB from 256 KiB of input, then a second frame: counted, it stops at the limit.
  EXPECT_THROW(zstd::decompress(rle_frame(uint64_t{1} << 33, 'x') + rle_frame(1, 'y'), uint64_t{1} << 26),
               std::bad_alloc);
  // Past the free growth (64 MiB), across a frame boundary: counted, then decoded once more.
  const uint64_t n = uint64_t{100} << 20;
  auto r = zstd::decompress(rle_frame(n, 'x') + one, uint64_t{300} << 20);
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(r->view().find_first_not_of('x'), n);
  EXPECT_EQ(r->view().substr(n), text);
}

}  // namespace
}  // namespace qb
