#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "tree/taxon_set.hpp"

namespace qb {
namespace {

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

// Regression: a move hands over the cached order itself (same buffer, no copy under a lock).
TEST(TaxonSet, MoveTakesTheCachedOrder) {
  TaxonSet ts, assigned;
  for (const char* s : {"B", "C", "A"}) ts.get_or_insert(s);
  const uint32_t* order = ts.sorted_ids().data();
  TaxonSet moved = std::move(ts);
  EXPECT_EQ(moved.sorted_ids().data(), order);
  EXPECT_EQ(moved.sorted_ids(), (std::vector<uint32_t>{2, 0, 1}));
  assigned = std::move(moved);
  EXPECT_EQ(assigned.sorted_ids().data(), order);
}

// End offsets in narrow words carry past each multiple of the word's range (a name may cross
// several): 8-bit words cross at 256 bytes as 32-bit ones do at 4 GiB.
TEST(NameList, EndOffsetsCarryPastTheWordRange) {
  BasicNameList<uint8_t> list;
  std::vector<std::string> expected;
  for (size_t n : {0, 3, 250, 2, 1, 0, 600, 7, 255, 256, 1, 513, 0, 9}) {
    list.push_back(expected.emplace_back(n, static_cast<char>('a' + expected.size())));
    ASSERT_TRUE(list == expected) << expected.size();
  }
  EXPECT_EQ(list.byte_size(), 1897u);
  EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()), expected);
}

}  // namespace
}  // namespace qb
