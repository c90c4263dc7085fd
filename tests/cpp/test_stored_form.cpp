// Stored form: exact bytes, round trips, every error text, cut and corrupt
// states, and operations on trees whose links were read as stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "support.hpp"
#include "porcelain/stored_views.hpp"
#include "porcelain/views.hpp"
#include "tree/newick.hpp"
#include "tree/stored_form.hpp"

// Largest single allocation request since the last reset, to check that a
// corrupt count does not make a reader reserve on its strength.
static std::atomic<size_t> g_largest_request{0};

void* operator new(size_t n) {
  size_t seen = g_largest_request.load(std::memory_order_relaxed);
  while (n > seen && !g_largest_request.compare_exchange_weak(seen, n)) {
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace qb {
namespace {

// Little-endian byte builder for hand-made states.
struct Bytes {
  std::string s;
  Bytes& u64(uint64_t v) { return raw(&v, 8); }
  Bytes& u32(uint32_t v) { return raw(&v, 4); }
  Bytes& i32(int32_t v) { return raw(&v, 4); }
  Bytes& f64(double v) { return raw(&v, 8); }
  Bytes& byte(uint8_t v) { return raw(&v, 1); }
  Bytes& text(std::string_view t) {
    u64(t.size());
    s.append(t);
    return *this;
  }
  Bytes& append(const std::string& more) {
    s += more;
    return *this;
  }
  Bytes& raw(const void* p, size_t n) {
    s.append(static_cast<const char*>(p), n);
    return *this;
  }
};

std::string hex(std::string_view s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out += ' ';
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

uint64_t bits(double v) {
  uint64_t b;
  std::memcpy(&b, &v, 8);
  return b;
}

TaxonSet taxa_of(std::initializer_list<const char*> names) {
  TaxonSet t;
  for (const char* n : names) t.get_or_insert(n);
  return t;
}

Tree one_node_tree() {
  Tree t;
  t.taxa = {0};
  t.parents = {0};
  t.support = {-1.0};
  t.lengths = {-1.0};
  t.firstchild = {-1};
  t.nextsib = {-1};
  t.childcount = {0};
  t.ntaxa = 1;
  return t;
}

// Root 0 with leaves 1 (taxon 0) and 2 (taxon 1); floats that only bits tell apart.
Tree cherry() {
  Tree t;
  t.taxa = {-42, 0, 1};
  t.parents = {0, 0, 0};
  t.support = {-1.0, std::numeric_limits<double>::quiet_NaN(), -0.0};
  t.lengths = {-1.0, std::numeric_limits<double>::infinity(), 2.5};
  t.firstchild = {1, -1, -1};
  t.nextsib = {-1, 2, -1};
  t.childcount = {2, 0, 0};
  t.ntaxa = 2;
  return t;
}

TreeViewBase view_of(TaxonSet taxa, std::vector<Tree> trees, bool topology_only) {
  TreeViewBase v;
  v.taxon_set = std::make_shared<const TaxonSet>(std::move(taxa));
  v.trees = std::make_shared<const std::vector<Tree>>(std::move(trees));
  v.topology_only = topology_only;
  return v;
}

MSCTreeView msc_of(uint32_t variant, bool topology_only, bool fake_root) {
  MSCTreeView m;
  m.base.variant = variant;
  m.base.view = view_of(taxa_of({"A", "B", "C"}), {cherry(), one_node_tree()}, topology_only);
  m.species_tree = cherry();
  m.species_tree.fake_root = fake_root;
  return m;
}

// --- Exact bytes -------------------------------------------------------------

TEST(StoredFormBytes, ToIdInByteOrderNamesInIdOrder) {
  // Inserted B, AB, A, a, Z: keys go out A, AB, B, Z, a; names as given.
  const std::string got = serialize_taxon_set(taxa_of({"B", "AB", "A", "a", "Z", "\xC3\xA9"}));
  Bytes want;
  want.u64(6).text("A").u64(2).text("AB").u64(1).text("B").u64(0).text("Z").u64(4).text("a").u64(3);
  want.text("\xC3\xA9").u64(5);
  want.u64(6).text("B").text("AB").text("A").text("a").text("Z").text("\xC3\xA9").u64(6);
  EXPECT_EQ(hex(got), hex(want.s));
}

TEST(StoredFormBytes, EmptyTaxonSetIs24ZeroBytes) {
  const std::string got = serialize_taxon_set(TaxonSet{});
  EXPECT_EQ(got, std::string(24, '\0'));
  auto back = deserialize_taxon_set(got);
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_TRUE(back->to_id.empty());
  EXPECT_TRUE(back->names.empty());
  EXPECT_EQ(back->last, 0u);
}

TEST(StoredFormBytes, OneNodeTree) {
  // Seven sequences (count, then values), fake_root, ntaxa.
  const std::string got = serialize_single_tree(TaxonSet{}, one_node_tree()).substr(24);
  const std::string want = Bytes{}.u64(1).i32(0).u64(1).i32(0).u64(1).f64(-1.0).u64(1).f64(-1.0)
                               .u64(1).i32(-1).u64(1).i32(-1).u64(1).u32(0).byte(0).u64(1).s;
  ASSERT_EQ(got.size(), 101u);
  EXPECT_EQ(hex(got), hex(want));
}

TEST(StoredFormBytes, TreeWithNoNodesIs65Bytes) {
  Tree empty;
  empty.fake_root = true;
  empty.ntaxa = 7;
  const std::string got = serialize_single_tree(TaxonSet{}, empty).substr(24);
  EXPECT_EQ(got, std::string(56, '\0') + "\x01" + std::string("\x07\0\0\0\0\0\0\0", 8));
}

TEST(StoredFormBytes, ViewsAndFamilyLayout) {
  const MSCTreeView m = msc_of(1, false, true);
  const std::string taxa = serialize_taxon_set(*m.base.view.taxon_set);
  const std::string species = serialize_single_tree(TaxonSet{}, m.species_tree).substr(24);
  const std::string one = serialize_single_tree(TaxonSet{}, one_node_tree()).substr(24);

  const std::string base = serialize_tree_view_base(m.base.view);
  const std::string first = serialize_single_tree(TaxonSet{}, cherry()).substr(24);
  EXPECT_EQ(hex(base), hex(Bytes{}.append(taxa).u64(2).append(first).append(one).byte(0).s));

  const std::string msc = serialize_msc_tree_view(m);
  EXPECT_EQ(hex(msc), hex(Bytes{}.u32(1).append(base).append(species).s));

  const std::vector<MSCTreeViewPtr> family{std::make_shared<const MSCTreeView>(m),
                                           std::make_shared<const MSCTreeView>(msc_of(0, true, false))};
  EXPECT_EQ(hex(serialize_family_of_msc(family)),
            hex(Bytes{}.u64(2).append(msc).append(serialize_msc_tree_view(*family[1])).s));
  EXPECT_EQ(hex(serialize_family_of_msc({})), hex(Bytes{}.u64(0).s));

  DistanceMatrixView dm;
  dm.matrix = std::make_shared<const DistanceMatrix>(DistanceMatrix{{2.0, 3.0, -0.0}, 3});
  dm.taxon_set = m.base.view.taxon_set;
  EXPECT_EQ(hex(serialize_distance_matrix_view(dm)),
            hex(Bytes{}.u64(3).f64(2.0).f64(3.0).f64(-0.0).u64(3).append(taxa).s));
}

// --- Round trips ---------------------------------------------------------------

void expect_same_tree(const Tree& a, const Tree& b) {
  EXPECT_EQ(a.taxa, b.taxa);
  EXPECT_EQ(a.parents, b.parents);
  EXPECT_EQ(a.firstchild, b.firstchild);
  EXPECT_EQ(a.nextsib, b.nextsib);
  EXPECT_EQ(a.childcount, b.childcount);
  EXPECT_EQ(a.fake_root, b.fake_root);
  EXPECT_EQ(a.ntaxa, b.ntaxa);
  ASSERT_EQ(a.support.size(), b.support.size());
  ASSERT_EQ(a.lengths.size(), b.lengths.size());
  for (size_t i = 0; i < a.support.size(); ++i) EXPECT_EQ(bits(a.support[i]), bits(b.support[i]));
  for (size_t i = 0; i < a.lengths.size(); ++i) EXPECT_EQ(bits(a.lengths[i]), bits(b.lengths[i]));
}

void expect_same_taxa(const TaxonSet& a, const TaxonSet& b) {
  EXPECT_EQ(a.sorted_entries(), b.sorted_entries());
  EXPECT_EQ(a.names, b.names);
  EXPECT_EQ(a.last, b.last);
}

TEST(StoredFormRoundTrip, TaxonSet) {
  for (const TaxonSet& t : {TaxonSet{}, taxa_of({"A"}), taxa_of({"b", "a", "A ", "", "\xF0\x9F\x98\x80", "ab"})}) {
    auto back = deserialize_taxon_set(serialize_taxon_set(t));
    ASSERT_TRUE(back.ok()) << back.error();
    expect_same_taxa(*back, t);
  }
}

TEST(StoredFormRoundTrip, SingleTreeKeepsFloatBitsAndFakeRoot) {
  Tree t = cherry();
  t.fake_root = true;
  const double payload_nan = [] {
    uint64_t b = 0x7FF8000000012345ULL;
    double d;
    std::memcpy(&d, &b, 8);
    return d;
  }();
  t.lengths[0] = payload_nan;
  t.support[2] = -std::numeric_limits<double>::infinity();
  const TaxonSet taxa = taxa_of({"A", "B"});
  const std::string bytes = serialize_single_tree(taxa, t);
  auto back = deserialize_single_tree(bytes);
  ASSERT_TRUE(back.ok()) << back.error();
  expect_same_taxa(back->first, taxa);
  expect_same_tree(back->second, t);
  EXPECT_EQ(serialize_single_tree(back->first, back->second), bytes);
}

TEST(StoredFormRoundTrip, Views) {
  for (bool topology_only : {false, true}) {
    const TreeViewBase v = view_of(taxa_of({"A", "B"}), {cherry(), one_node_tree(), Tree{}}, topology_only);
    auto back = deserialize_tree_view_base(serialize_tree_view_base(v));
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(back->topology_only, topology_only);
    expect_same_taxa(*back->taxon_set, *v.taxon_set);
    ASSERT_EQ(back->size(), 3u);
    for (size_t i = 0; i < 3; ++i) expect_same_tree((*back->trees)[i], (*v.trees)[i]);
    EXPECT_EQ(back->trees->capacity(), 3u);
    EXPECT_EQ(back->taxon_set.use_count(), 1);
    EXPECT_EQ(back->trees.use_count(), 1);
  }
  for (uint32_t variant : {0u, 1u})
    for (bool topology_only : {false, true}) {
      const MSCTreeView m = msc_of(variant, topology_only, variant == 1);
      const std::string bytes = serialize_msc_tree_view(m);
      auto back = deserialize_msc_tree_view(bytes);
      ASSERT_TRUE(back.ok()) << back.error();
      EXPECT_EQ(back->base.variant, variant);
      EXPECT_EQ(back->base.view.topology_only, topology_only);
      expect_same_tree(back->species_tree, m.species_tree);
      EXPECT_EQ(serialize_msc_tree_view(*back), bytes);
    }
  DistanceMatrixView dm;
  dm.matrix = std::make_shared<const DistanceMatrix>(DistanceMatrix{{std::nan(""), -0.0, 1.0}, 5});
  dm.taxon_set = std::make_shared<const TaxonSet>(taxa_of({"x", "y"}));
  const std::string bytes = serialize_distance_matrix_view(dm);
  auto back = deserialize_distance_matrix_view(bytes);
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(back->matrix->size, 5u);
  EXPECT_EQ(bits(back->matrix->distances[1]), bits(-0.0));
  EXPECT_TRUE(std::isnan(back->matrix->distances[0]));
  EXPECT_EQ(serialize_distance_matrix_view(*back), bytes);
}

TEST(StoredFormRoundTrip, FamilyMembersEachGetTheirOwnBlocks) {
  const MSCTreeView shared = msc_of(1, true, false);
  const std::vector<MSCTreeViewPtr> family{std::make_shared<const MSCTreeView>(shared),
                                           std::make_shared<const MSCTreeView>(shared.slice(0, 1)),
                                           std::make_shared<const MSCTreeView>(msc_of(0, false, true))};
  const std::string bytes = serialize_family_of_msc(family);
  auto back = deserialize_family_of_msc(bytes);
  ASSERT_TRUE(back.ok()) << back.error();
  ASSERT_EQ(back->size(), 3u);
  EXPECT_NE((*back)[0]->base.view.taxon_set, (*back)[1]->base.view.taxon_set);
  EXPECT_EQ((*back)[1]->base.view.size(), 1u);
  EXPECT_EQ((*back)[2]->base.variant, 0u);
  EXPECT_EQ(serialize_family_of_msc(*back), bytes);
  auto empty = deserialize_family_of_msc(std::string(8, '\0'));
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->empty());
}

// --- Error texts -----------------------------------------------------------------

constexpr const char* kEof = "io error: unexpected end of file";

// Every reader, by name, so that one state can be tried on each.
struct NamedReader {
  const char* name;
  std::string (*read)(std::string_view);  // "" on success, else the error
};

template <class R>
std::string error_of(const R& r) {
  return r.ok() ? std::string() : r.error();
}

const NamedReader kReaders[] = {
    {"taxon_set", [](std::string_view b) { return error_of(deserialize_taxon_set(b)); }},
    {"single_tree", [](std::string_view b) { return error_of(deserialize_single_tree(b)); }},
    {"distance_matrix_view", [](std::string_view b) { return error_of(deserialize_distance_matrix_view(b)); }},
    {"tree_view_base", [](std::string_view b) { return error_of(deserialize_tree_view_base(b)); }},
    {"msc_tree_view", [](std::string_view b) { return error_of(deserialize_msc_tree_view(b)); }},
    {"family_of_msc", [](std::string_view b) { return error_of(deserialize_family_of_msc(b)); }},
};

TEST(StoredFormErrors, EmptyInputToEveryReader) {
  for (const auto& r : kReaders) EXPECT_EQ(r.read(""), kEof) << r.name;
}

TEST(StoredFormErrors, TreeViewBaseMissingItsFlag) {
  const std::string bytes = serialize_tree_view_base(view_of(taxa_of({"A"}), {one_node_tree()}, true));
  EXPECT_EQ(error_of(deserialize_tree_view_base(bytes.substr(0, bytes.size() - 1))), kEof);
}

TEST(StoredFormErrors, TextLongerThanInput) {
  // Lengths past the end, up to 2^64 - 1, fail before anything is allocated.
  for (uint64_t len : {uint64_t{10}, uint64_t{1} << 40, ~uint64_t{0}}) {
    g_largest_request = 0;
    const std::string bytes = Bytes{}.u64(1).u64(len).text("A").s;
    EXPECT_EQ(error_of(deserialize_taxon_set(bytes)), "io error: ") << len;
    EXPECT_LT(g_largest_request.load(), size_t{1} << 20);
  }
  // Exactly the remaining bytes is fine for the text itself; the id is then missing.
  EXPECT_EQ(error_of(deserialize_taxon_set(Bytes{}.u64(1).u64(1).s + "A")), kEof);
}

struct Utf8Case {
  std::string name;
  std::string error;  // "" when valid
};

class StoredFormUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(StoredFormUtf8, NameIsValidatedAsUtf8) {
  const Utf8Case& c = GetParam();
  EXPECT_EQ(utf8_error(c.name), c.error);
  const std::string bytes = Bytes{}.u64(0).u64(1).text(c.name).u64(1).s;
  auto r = deserialize_taxon_set(bytes);
  if (c.error.empty()) {
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(r->names[0], c.name);
  } else {
    EXPECT_EQ(error_of(r), "string is not valid utf8: " + c.error);
  }
}

std::string inv(int k, int i) {
  return "invalid utf-8 sequence of " + std::to_string(k) + " bytes from index " + std::to_string(i);
}
std::string inc(int i) { return "incomplete utf-8 byte sequence from index " + std::to_string(i); }

INSTANTIATE_TEST_SUITE_P(
    Cases, StoredFormUtf8,
    ::testing::Values(
        Utf8Case{"", ""}, Utf8Case{"plain ascii text, long enough for words", ""},
        Utf8Case{"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF", ""},
        Utf8Case{"\xED\x9F\xBF", ""}, Utf8Case{"\xFF", inv(1, 0)}, Utf8Case{"\xC3", inc(0)},
        Utf8Case{"\xE0\x80", inv(1, 0)}, Utf8Case{"\xF0\x90\x80\x41", inv(3, 0)},
        Utf8Case{"\x41\xC3\x41", inv(1, 1)}, Utf8Case{"\x80", inv(1, 0)}, Utf8Case{"\xC0\xAF", inv(1, 0)},
        Utf8Case{"\xC1\xBF", inv(1, 0)}, Utf8Case{"\xF5\x80\x80\x80", inv(1, 0)},
        Utf8Case{"\xED\xA0\x80", inv(1, 0)}, Utf8Case{"\xF4\x90\x80\x80", inv(1, 0)},
        Utf8Case{"\xF0\x8F\xBF\xBF", inv(1, 0)}, Utf8Case{"\xE2\x82", inc(0)},
        Utf8Case{"ab\xE2\x82\x41", inv(2, 2)}, Utf8Case{"abcdefghij\xF0\x9F\x98", inc(10)},
        Utf8Case{"abcdefgh\xF0\x9F\x98\x80z\xC3\xA9\xC3", inc(15)},
        Utf8Case{"0123456789\xC3\xA9\xFE", inv(1, 12)}));

TEST(StoredFormErrors, BooleanOtherThanZeroOrOne) {
  for (uint8_t b : {2, 255}) {
    std::string bytes = serialize_tree_view_base(view_of(TaxonSet{}, {}, false));
    bytes.back() = static_cast<char>(b);
    EXPECT_EQ(error_of(deserialize_tree_view_base(bytes)),
              "invalid u8 while decoding bool, expected 0 or 1, found " + std::to_string(b));
  }
  std::string tree = serialize_single_tree(TaxonSet{}, one_node_tree());
  tree[24 + 92] = 7;
  EXPECT_EQ(error_of(deserialize_single_tree(tree)), "invalid u8 while decoding bool, expected 0 or 1, found 7");
}

TEST(StoredFormErrors, VariantNumber) {
  std::string bytes = serialize_msc_tree_view(msc_of(0, false, false));
  for (uint32_t v : {2u, 4294967295u}) {
    std::memcpy(bytes.data(), &v, 4);
    EXPECT_EQ(error_of(deserialize_msc_tree_view(bytes)),
              "invalid value: integer `" + std::to_string(v) + "`, expected variant index 0 <= i < 2");
  }
  uint32_t one = 1;
  std::memcpy(bytes.data(), &one, 4);
  auto back = deserialize_msc_tree_view(bytes);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->base.variant, 1u);
}

TEST(StoredFormErrors, HugeCountsFailShortWithoutReserving) {
  const uint64_t huge = uint64_t{1} << 62;
  const std::string taxa = serialize_taxon_set(TaxonSet{});
  const std::vector<std::pair<const char*, std::string>> states = {
      {"taxa i32", Bytes{}.append(taxa).u64(huge).i32(1).i32(2).s},
      {"support f64", Bytes{}.append(taxa).u64(0).u64(0).u64(huge).f64(1.0).s},
      {"childcount u32", Bytes{}.append(taxa).u64(0).u64(0).u64(0).u64(0).u64(0).u64(0).u64(huge).u32(3).s},
      {"to_id", Bytes{}.u64(huge).text("A").u64(0).s},
      {"names", Bytes{}.u64(0).u64(huge).text("A").text("B").s},
      {"max count", Bytes{}.append(taxa).u64(~uint64_t{0}).s},
  };
  for (const auto& [what, bytes] : states) {
    g_largest_request = 0;
    EXPECT_EQ(error_of(deserialize_single_tree(bytes)), kEof) << what;
    EXPECT_LE(g_largest_request.load(), size_t{1} << 20) << what;
  }
  const std::vector<std::pair<const char*, std::string>> views = {
      {"trees", Bytes{}.append(taxa).u64(huge).s + std::string(200, '\0')},
  };
  for (const auto& [what, bytes] : views) {
    g_largest_request = 0;
    EXPECT_EQ(error_of(deserialize_tree_view_base(bytes)), kEof) << what;
    EXPECT_LE(g_largest_request.load(), size_t{1} << 20) << what;
  }
  g_largest_request = 0;
  EXPECT_EQ(error_of(deserialize_family_of_msc(Bytes{}.u64(huge).s + std::string(300, '\0'))), kEof);
  EXPECT_LE(g_largest_request.load(), size_t{1} << 20);
  g_largest_request = 0;
  EXPECT_EQ(error_of(deserialize_distance_matrix_view(Bytes{}.u64(huge).f64(1).s)), kEof);
  EXPECT_LE(g_largest_request.load(), size_t{1} << 20);
}

TEST(StoredFormReading, ToIdInAnyOrderAndRepeatedKeys) {
  const std::string ascending = Bytes{}.u64(3).text("A").u64(0).text("B").u64(1).text("C").u64(2).u64(0).u64(3).s;
  const std::string descending = Bytes{}.u64(3).text("C").u64(2).text("B").u64(1).text("A").u64(0).u64(0).u64(3).s;
  auto a = deserialize_taxon_set(ascending);
  auto d = deserialize_taxon_set(descending);
  ASSERT_TRUE(a.ok() && d.ok());
  EXPECT_EQ(a->sorted_entries(), d->sorted_entries());
  EXPECT_EQ(serialize_taxon_set(*d), ascending);

  auto dup = deserialize_taxon_set(Bytes{}.u64(3).text("B").u64(5).text("A").u64(1).text("B").u64(9).u64(0).u64(0).s);
  ASSERT_TRUE(dup.ok());
  EXPECT_EQ(dup->to_id.size(), 2u);
  EXPECT_EQ(dup->find("B"), 9u);
  EXPECT_EQ(dup->find("A"), 1u);
  // Fields that disagree are taken as they are.
  auto odd = deserialize_taxon_set(Bytes{}.u64(1).text("Z").u64(77).u64(2).text("x").text("x").u64(9).s);
  ASSERT_TRUE(odd.ok());
  EXPECT_EQ(odd->last, 9u);
  EXPECT_EQ(odd->names, (std::vector<std::string>{"x", "x"}));
}

// A stored taxon set whose `to_id` is not exactly names -> ids is kept entry
// by entry and answers lookups as its entries say.
struct StoredToIdCase {
  const char* what;
  std::vector<std::pair<std::string, uint64_t>> stored;  // in stored order
  std::vector<std::pair<std::string, uint64_t>> want;    // the map it reads as
};

class StoredToId : public ::testing::TestWithParam<StoredToIdCase> {};

TEST_P(StoredToId, ReadsIntoItsOwnEntries) {
  const auto& c = GetParam();
  Bytes b;
  b.u64(c.stored.size());
  for (const auto& [key, id] : c.stored) b.text(key).u64(id);
  b.u64(3).text("A").text("B").text("C").u64(3);
  auto ts = deserialize_taxon_set(b.s);
  ASSERT_TRUE(ts.ok());
  EXPECT_FALSE(ts->to_id.plain());
  EXPECT_EQ(ts->to_id.size(), c.want.size());
  std::vector<std::pair<std::string_view, uint64_t>> want(c.want.begin(), c.want.end());
  EXPECT_EQ(ts->sorted_entries(), want);
  for (const auto& [key, id] : c.want) EXPECT_EQ(ts->find(key), id) << key;
  for (const char* absent : {"", "D", "AB"})
    if (std::none_of(c.want.begin(), c.want.end(), [&](const auto& e) { return e.first == absent; }))
      EXPECT_FALSE(ts->find(absent).has_value()) << absent;
  // Written back, the entries come out in key order, each once.
  auto again = deserialize_taxon_set(serialize_taxon_set(*ts));
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->sorted_entries(), want);
}

const uint64_t kBig = (uint64_t{1} << 32) + 1;

INSTANTIATE_TEST_SUITE_P(
    Cases, StoredToId,
    ::testing::Values(
        StoredToIdCase{"repeated key", {{"A", 0}, {"B", 1}, {"B", 4}, {"C", 2}}, {{"A", 0}, {"B", 4}, {"C", 2}}},
        StoredToIdCase{"missing key", {{"A", 0}, {"C", 2}}, {{"A", 0}, {"C", 2}}},
        StoredToIdCase{"wrong id", {{"A", 0}, {"B", 2}, {"C", 1}}, {{"A", 0}, {"B", 2}, {"C", 1}}},
        StoredToIdCase{"id past names", {{"A", 0}, {"B", 1}, {"C", 3}}, {{"A", 0}, {"B", 1}, {"C", 3}}},
        StoredToIdCase{"ids above 2^32", {{"A", kBig}, {"B", kBig + 1}, {"C", 2}},
                       {{"A", kBig}, {"B", kBig + 1}, {"C", 2}}},
        StoredToIdCase{"extra key", {{"A", 0}, {"B", 1}, {"C", 2}, {"D", 0}}, {{"A", 0}, {"B", 1}, {"C", 2}, {"D", 0}}},
        StoredToIdCase{"descending", {{"C", 2}, {"B", 1}, {"A", 0}}, {{"A", 0}, {"B", 1}, {"C", 2}}}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST(StoredFormReading, BuiltSetReadsIntoAnIndexAndWritesTheSameBytes) {
  TaxonSet built;
  for (const char* n : {"b", "A", "\xc3\xa9", "AB", "", "Z", "a b"}) built.get_or_insert(n);
  const std::string bytes = serialize_taxon_set(built);
  auto back = deserialize_taxon_set(bytes);
  ASSERT_TRUE(back.ok());
  EXPECT_TRUE(back->to_id.plain());
  EXPECT_EQ(back->names, built.names);
  EXPECT_EQ(back->sorted_entries(), built.sorted_entries());
  for (std::string_view name : built.names) EXPECT_EQ(back->find(name), built.find(name));
  EXPECT_FALSE(back->find("B").has_value());
  EXPECT_EQ(serialize_taxon_set(*back), bytes);
  // The read set grows like a built one.
  TaxonSet grown = *back;
  EXPECT_EQ(grown.get_or_insert("new"), 7u);
  EXPECT_TRUE(grown.to_id.plain());
  EXPECT_EQ(grown.find("new"), 7u);
}

TEST(StoredFormReading, SetWhoseLastDisagreesStaysCorrectWhenGrown) {
  // `last` past the names: a new name takes id `last`, which is not its place.
  auto ts = deserialize_taxon_set(Bytes{}.u64(1).text("A").u64(0).u64(1).text("A").u64(5).s);
  ASSERT_TRUE(ts.ok());
  EXPECT_TRUE(ts->to_id.plain());
  TaxonSet grown = *ts;
  EXPECT_EQ(grown.get_or_insert("B"), 5u);
  EXPECT_EQ(grown.get_or_insert("A"), 0u);
  EXPECT_EQ(grown.find("B"), 5u);
  EXPECT_EQ(grown.names, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(grown.last, 6u);
  using E = std::vector<std::pair<std::string_view, uint64_t>>;
  EXPECT_EQ(grown.sorted_entries(), (E{{"A", 0}, {"B", 5}}));
}

// Rich values of every reader, for the cut and trailing-bytes checks.
std::vector<std::pair<const NamedReader*, std::string>> rich_states() {
  const MSCTreeView m = msc_of(1, false, true);
  DistanceMatrixView dm;
  dm.matrix = std::make_shared<const DistanceMatrix>(DistanceMatrix{{2.0, 3.0, 3.0}, 3});
  dm.taxon_set = m.base.view.taxon_set;
  const std::vector<MSCTreeViewPtr> family{std::make_shared<const MSCTreeView>(m),
                                           std::make_shared<const MSCTreeView>(msc_of(0, true, false))};
  return {
      {&kReaders[0], serialize_taxon_set(*m.base.view.taxon_set)},
      {&kReaders[1], serialize_single_tree(*m.base.view.taxon_set, cherry())},
      {&kReaders[2], serialize_distance_matrix_view(dm)},
      {&kReaders[3], serialize_tree_view_base(m.base.view)},
      {&kReaders[4], serialize_msc_tree_view(m)},
      {&kReaders[5], serialize_family_of_msc(family)},
  };
}

TEST(StoredFormReading, EveryCutFailsWithAShortInputError) {
  for (const auto& [reader, bytes] : rich_states()) {
    ASSERT_EQ(reader->read(bytes), "") << reader->name;
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
      const std::string err = reader->read(std::string_view(bytes).substr(0, cut));
      EXPECT_TRUE(err == kEof || err == "io error: ") << reader->name << " cut at " << cut << ": " << err;
    }
  }
}

TEST(StoredFormReading, TrailingBytesAreIgnored) {
  for (const auto& [reader, bytes] : rich_states()) {
    for (const std::string& tail : {std::string(1, '\0'), std::string("\xFF\xFF\xFF"), bytes})
      EXPECT_EQ(reader->read(bytes + tail), "") << reader->name;
  }
  const MSCTreeView m = msc_of(1, true, true);
  auto back = deserialize_msc_tree_view(serialize_msc_tree_view(m) + "garbage");
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(serialize_msc_tree_view(*back), serialize_msc_tree_view(m));
}

TEST(StoredFormReading, SequencesOfUnequalLengthAreAccepted) {
  Tree t = cherry();
  t.parents.pop_back();
  t.support.clear();
  t.childcount.push_back(9);
  const std::string bytes = serialize_single_tree(TaxonSet{}, t);
  EXPECT_EQ(bytes.size(), 24 + serialized_size(t));
  auto back = deserialize_single_tree(bytes);
  ASSERT_TRUE(back.ok());
  expect_same_tree(back->second, t);
}

// --- Operations on trees read from a stored state ------------------------------------
//
// The readers accept any well-encoded tree; every later operation must end with
// a Panic or a correct result, never a crash, an out-of-bounds read or a hang.

struct BrokenTree {
  const char* what;
  Tree tree;
};

std::vector<BrokenTree> broken_trees() {
  std::vector<BrokenTree> out;
  out.push_back({"no nodes", Tree{}});
  out.push_back({"firstchild past the end", arena({-42, 0}, {0, 0}, {5, -1}, {-1, -1}, {1, 0}, 1)});
  out.push_back({"negative firstchild", arena({-42, 0}, {0, 0}, {-7, -1}, {-1, -1}, {1, 0}, 1)});
  out.push_back({"nextsib past the end", arena({-42, 0}, {0, 0}, {1, -1}, {-1, 99}, {1, 0}, 1)});
  out.push_back({"root is its own child", arena({-42}, {0}, {0}, {-1}, {1}, 0)});
  out.push_back({"sibling cycle", arena({-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, 1}, {2, 0, 0}, 2)});
  out.push_back({"child points back to root", arena({-42, 0, 1}, {0, 0, 1}, {1, 2, 0}, {-1, -1, -1}, {1, 1, 1}, 2)});
  out.push_back(
      {"shared child", arena({-42, -1, -1, 0}, {0, 0, 0, 1}, {1, 3, 3, -1}, {-1, 2, -1, -1}, {2, 1, 1, 0}, 1)});
  out.push_back({"taxon beyond names", arena({-42, 0, 50}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, 2)});
  out.push_back({"huge ntaxa", arena({-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, ~uint64_t{0})});
  out.push_back({"ntaxa overflowing cells",
                 arena({-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, uint64_t{1} << 33)});
  {
    Tree t = arena({-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, 2);
    t.firstchild.pop_back();  // shorter than the node count
    out.push_back({"firstchild shorter", t});
  }
  {
    Tree t = arena({-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, 2);
    t.childcount.resize(1);
    t.nextsib.resize(2);
    t.taxa.resize(1);
    out.push_back({"taxa and childcount shorter", t});
  }
  {
    Tree t = arena({-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, 2);
    t.lengths.clear();
    t.support.clear();
    t.parents.clear();
    out.push_back({"no lengths", t});
  }
  out.push_back(
      {"childcount says leaf, has chain", arena({-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {0, 0, 0}, 2)});
  out.push_back({"childcount without chain", arena({-42}, {0}, {-1}, {-1}, {3}, 0)});
  out.push_back({"unlabelled leaf", arena({-42, -1, 0}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, 1)});
  return out;
}

// Runs `op`; a Panic with a message is an accepted outcome, and so is
// std::bad_alloc for a matrix whose stored ntaxa has no allocatable size.
template <class Op>
void survives(const char* what, const char* op_name, Op&& op, bool may_exhaust_memory = false) {
  try {
    op();
  } catch (const Panic& p) {
    EXPECT_FALSE(p.message().empty()) << what << " / " << op_name;
  } catch (const std::bad_alloc&) {
    EXPECT_TRUE(may_exhaust_memory) << what << " / " << op_name << ": bad_alloc";
  }
}

class StoredFormBrokenTrees : public ::testing::TestWithParam<BrokenTree> {};

TEST_P(StoredFormBrokenTrees, EveryOperationPanicsOrSucceeds) {
  const BrokenTree& c = GetParam();
  const TaxonSet taxa = taxa_of({"A", "B"});
  auto single = deserialize_single_tree(serialize_single_tree(taxa, c.tree));
  ASSERT_TRUE(single.ok()) << single.error();
  const Tree& tree = single->second;

  survives(c.what, "preorder", [&] { (void)tree.preorder(); });
  survives(c.what, "children", [&] {
    for (uint64_t v = 0; v < tree.node_count(); ++v) (void)tree.children(v);
  });
  survives(c.what, "tree_to_newick", [&] { (void)tree_to_newick(tree, single->first); });
  survives(c.what, "write_newick_topology", [&] {
    std::string out;
    write_newick_topology(tree, 0, single->first.names, out);
  });
  survives(c.what, "distance_matrix", [&] { (void)distance_matrix(tree); }, true);
  EXPECT_EQ(serialize_single_tree(single->first, tree), serialize_single_tree(taxa, c.tree));

  // The same tree inside the views.
  MSCTreeView m;
  m.base.variant = 1;
  m.base.view = view_of(taxa, {c.tree, c.tree}, false);
  m.species_tree = c.tree;
  auto msc = deserialize_msc_tree_view(serialize_msc_tree_view(m));
  ASSERT_TRUE(msc.ok()) << msc.error();
  const TreeViewBase& view = msc->base.view;
  survives(c.what, "to_newick_string", [&] { (void)view.to_newick_string(); });
  survives(c.what, "get_distance_matrix", [&] { (void)msc->get_distance_matrix(1); }, true);
  const MSCTreeView part = msc->slice(1, 2);
  EXPECT_TRUE(part.base.view.topology_only);
  EXPECT_EQ(serialize_tree_view_base(view.slice(0, 2)), serialize_tree_view_base(view));
  EXPECT_EQ(serialize_msc_tree_view(*msc), serialize_msc_tree_view(m));
}

INSTANTIATE_TEST_SUITE_P(Cases, StoredFormBrokenTrees, ::testing::ValuesIn(broken_trees()),
                         [](const auto& info) {
                           std::string name;
                           for (const char* p = info.param.what; *p; ++p)
                             name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return name;
                         });

}  // namespace
}  // namespace qb
