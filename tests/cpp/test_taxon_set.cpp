#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tree/taxon_set.hpp"

namespace qb {
namespace {

TEST(TaxonSet, EmptySet) {
  const TaxonSet ts;
  EXPECT_TRUE(ts.to_id.empty());
  EXPECT_TRUE(ts.names.empty());
  EXPECT_EQ(ts.last, 0u);
  EXPECT_FALSE(ts.find("A").has_value());
  EXPECT_FALSE(ts.name_of(0).has_value());
}

TEST(TaxonSet, KnownNameKeepsItsIdAndChangesNothing) {
  TaxonSet ts;
  EXPECT_EQ(ts.get_or_insert("B"), 0u);
  EXPECT_EQ(ts.get_or_insert("A"), 1u);
  const TaxonSet before = ts;
  EXPECT_EQ(ts.get_or_insert("B"), 0u);
  EXPECT_EQ(ts.names, before.names);
  EXPECT_EQ(ts.sorted_entries(), before.sorted_entries());
  EXPECT_EQ(ts.last, before.last);
  EXPECT_EQ(ts.get_or_insert("C"), 2u);  // the number of names before the call
}

TEST(TaxonSet, NamesDifferingInAnyByteAreDifferentTaxa) {
  TaxonSet ts;
  EXPECT_EQ(ts.get_or_insert("A"), 0u);
  EXPECT_EQ(ts.get_or_insert("A "), 1u);
  EXPECT_EQ(ts.get_or_insert("a"), 2u);
  EXPECT_EQ(ts.get_or_insert(std::string_view("A\0", 2)), 3u);
  EXPECT_EQ(ts.find("A "), 1u);
  EXPECT_EQ(*ts.name_of(1), "A ");
}

TEST(TaxonSet, SortedEntriesInByteOrder) {
  TaxonSet ts;
  for (const char* s : {"B", "A", "C", "AB", "a", "Z", "\xc3\xa9", "A"}) ts.get_or_insert(s);
  EXPECT_EQ(ts.names, (std::vector<std::string>{"B", "A", "C", "AB", "a", "Z", "\xc3\xa9"}));
  std::vector<std::pair<std::string, uint64_t>> got;
  for (const auto& [name, id] : ts.sorted_entries()) got.emplace_back(name, id);
  // Bytes compare unsigned: 0xC3 sorts after every ASCII byte.
  EXPECT_EQ(got, (std::vector<std::pair<std::string, uint64_t>>{
                     {"A", 1}, {"AB", 3}, {"B", 0}, {"C", 2}, {"Z", 5}, {"a", 4}, {"\xc3\xa9", 6}}));
}


TEST(TaxonSet, SortedOrderIsCachedAndDroppedOnGrowth) {
  TaxonSet ts;
  for (const char* s : {"B", "AB", "\x80", "A", "\xff\x01", "Ab"}) ts.get_or_insert(s);
  using E = std::vector<std::pair<std::string_view, uint64_t>>;
  const E want{{"A", 3}, {"AB", 1}, {"Ab", 5}, {"B", 0}, {"\x80", 2}, {"\xff\x01", 4}};
  EXPECT_EQ(ts.sorted_entries(), want);
  EXPECT_EQ(ts.sorted_entries(), want);  // from the cache
  const TaxonSet copy = ts;
  EXPECT_EQ(copy.sorted_entries(), want);
  ts.get_or_insert("AA");
  EXPECT_EQ(ts.sorted_entries(),
            (E{{"A", 3}, {"AA", 6}, {"AB", 1}, {"Ab", 5}, {"B", 0}, {"\x80", 2}, {"\xff\x01", 4}}));
  EXPECT_EQ(copy.sorted_entries(), want);
}

using Entries = std::vector<std::pair<std::string_view, uint64_t>>;

Entries entries_of(const std::map<std::string, uint64_t>& m) { return Entries(m.begin(), m.end()); }

// Names with shared 8-byte prefixes, zero bytes, bytes above 0x7f and repeats, through many
// doublings of the index, against a plain map (std::string compares bytes unsigned): first-seen
// ids, lookups both ways, byte order; the cached order is dropped on growth, kept by copies.
TEST(TaxonSet, IndexAndSortedOrderMatchAPlainMap) {
  const std::vector<std::string> parts{"", "A", "a", "B", "abcdefgh", std::string(1, '\0'),
                                       "\x80", "\xff", "\xc3\xa9", " "};
  std::mt19937 rng(7);
  TaxonSet ts, copy;
  std::map<std::string, uint64_t> want;
  Entries copied;
  EXPECT_FALSE(ts.find("").has_value() || ts.name_of(0).has_value());
  for (int i = 0; i < 40000; ++i) {
    std::string name = parts[rng() % parts.size()] + parts[rng() % parts.size()];
    if (i > 100) name += std::string(rng() % 3 * 20, 'x') + std::to_string(rng() % 30000);
    ASSERT_EQ(ts.get_or_insert(name), want.emplace(name, want.size()).first->second) << i;
    if (i == 30 || i == 300 || i == 39999) {
      ASSERT_EQ(ts.sorted_entries(), entries_of(want));
      ASSERT_EQ(ts.sorted_entries(), entries_of(want));  // from the cache
    }
    if (i == 300) copy = ts, copied = entries_of(want);
  }
  EXPECT_EQ(copy.sorted_entries(), copied);
  EXPECT_TRUE(ts.to_id.plain() && ts.last == want.size() && ts.to_id.size() == want.size());
  for (const auto& [name, id] : want) ASSERT_TRUE(ts.find(name) == id && ts.name_of(id) == name) << id;
  EXPECT_FALSE(ts.find("abcdefgh\x80x").has_value() || ts.name_of(ts.last).has_value());
}

// Regression: a move hands over the cached order itself (same buffer, no copy
// under a lock) and leaves the source without one.
TEST(TaxonSet, MoveTakesTheCachedOrder) {
  TaxonSet ts;
  for (const char* s : {"B", "C", "A"}) ts.get_or_insert(s);
  const uint32_t* order = ts.sorted_ids().data();
  TaxonSet moved = std::move(ts);
  EXPECT_EQ(moved.sorted_ids().data(), order);
  EXPECT_EQ(moved.sorted_ids(), (std::vector<uint32_t>{2, 0, 1}));
  TaxonSet assigned;
  assigned = std::move(moved);
  EXPECT_EQ(assigned.sorted_ids().data(), order);
}

TEST(TaxonSet, SortedOrderBreaksTiesOfTheFirstEightBytes) {
  // Equal first eight bytes, and names that differ only by trailing zero bytes.
  TaxonSet ts;
  const std::vector<std::string> names{"abcdefghZ", "abcdefgh", std::string("abcdefgh\0", 9), "abcdefghA",
                                       std::string("A\0", 2), "A", "abcdefgh\xc3"};
  for (const auto& n : names) ts.get_or_insert(n);
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::string> got;
  for (const auto& [name, id] : ts.sorted_entries()) got.emplace_back(name);
  EXPECT_EQ(got, sorted);
}

TEST(TaxonSet, ManyNamesGrowTheIndexAndKeepFirstSeenIds) {
  // Names of equal length that differ in one byte, and long ones sharing a
  // prefix, through many doublings of the table.
  TaxonSet ts;
  std::vector<std::string> names;
  for (int i = 0; i < 40000; ++i) {
    std::string n = (i % 2) ? std::string(40, 'x') + std::to_string(i) : "t" + std::to_string(i);
    names.push_back(n);
    EXPECT_EQ(ts.get_or_insert(n), static_cast<uint64_t>(i));
  }
  EXPECT_TRUE(ts.to_id.plain());
  EXPECT_EQ(ts.to_id.size(), names.size());
  EXPECT_EQ(ts.last, names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_EQ(ts.find(names[i]), i);
    ASSERT_EQ(ts.names[i], names[i]);
    ASSERT_EQ(ts.get_or_insert(names[i]), i);
  }
  EXPECT_FALSE(ts.find("t40000").has_value());
  EXPECT_FALSE(ts.find(std::string(40, 'x')).has_value());
  const auto entries = ts.sorted_entries();
  ASSERT_EQ(entries.size(), names.size());
  for (size_t k = 1; k < entries.size(); ++k) ASSERT_LT(entries[k - 1].first, entries[k].first);
}

// End offsets kept in narrow words: names whose bytes pass one or several
// multiples of the word's range (a single name may cross more than one) read
// back whole. 8-bit words cross at 256 bytes as 32-bit ones do at 4 GiB.
TEST(NameList, EndOffsetsCarryPastTheWordRange) {
  const std::vector<size_t> lengths{0, 3, 250, 2, 1, 0, 600, 7, 255, 256, 1, 513, 0, 9};
  BasicNameList<uint8_t> list;
  std::vector<std::string> expected;
  for (size_t k = 0; k < lengths.size(); ++k) {
    std::string name(lengths[k], static_cast<char>('a' + k));
    list.push_back(name);
    expected.push_back(name);
    ASSERT_TRUE(list == expected) << "after name " << k;
  }
  size_t total = 0;
  for (size_t n : lengths) total += n;
  EXPECT_EQ(list.byte_size(), total);
  std::vector<std::string> walked(list.begin(), list.end());
  EXPECT_EQ(walked, expected);
  BasicNameList<uint8_t> copy = list;
  EXPECT_TRUE(copy == list);
  copy.push_back("x");
  EXPECT_FALSE(copy == list);
}

}  // namespace
}  // namespace qb
