#include <gtest/gtest.h>

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

}  // namespace
}  // namespace qb
