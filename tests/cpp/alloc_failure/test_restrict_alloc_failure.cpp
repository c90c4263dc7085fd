// Restriction under failing allocations: the Nth allocation of a call throws
// std::bad_alloc, for N = 1, 2, ... until the call completes, and the next call
// on the same thread must give the tree it gives when nothing fails. This
// executable replaces the global operator new to do so, and is therefore kept
// apart from the other tests.
#include <gtest/gtest.h>

#include "../support.hpp"

#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "tree/newick.hpp"
#include "tree/restrict.hpp"

namespace {

// Allocations on this thread before the one that fails; 0 when none is to fail.
thread_local uint64_t allocations_before_failure = 0;

}  // namespace

void* operator new(std::size_t size) {
  if (allocations_before_failure != 0 && --allocations_before_failure == 0) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }

namespace qb {
namespace {

using Road = Tree (*)(const Tree&, const KeptIds&);

struct Case {
  const char* newick;
  std::vector<std::string_view> kept;
  bool reordered;  // children reordered by descendant count: links no longer point forward
};

// A caterpillar of `leaves` leaves t0..: walks from its deepest leaves climb the whole tree.
std::string caterpillar(int leaves) {
  std::string text = std::string(static_cast<size_t>(leaves - 1), '(') + "t0";
  for (int k = 1; k < leaves; ++k) text += ",t" + std::to_string(k) + ")";
  return text + ";";
}

const std::string kCaterpillar = caterpillar(64);

const Case kCases[] = {
    {"((((A)),(B,X)),((C)),D);", {"A", "B", "C"}, false},           // unary chains
    {"(((A,X),(Y,B)),(C,(Z,W)),E);", {"A", "B", "W"}, false},       // kept leaves under dropped ancestors
    {"((((A,B),D),C),E);", {"A", "B"}, false},                      // the root left with one child: rebuilt
    {"((A,B),C);", {"A", "B"}, false},                              // the root keeps its one child
    {"(((A,X),(Y,B)),(C,(Z,W)),E);", {"A", "B", "W", "E"}, true},
    {kCaterpillar.c_str(), {"t0", "t1", "t40", "t63"}, false},
};

// Each attempt runs on a thread of its own, so that what a thread may keep
// from one call to the next starts out the same for every N.
TEST(RestrictUnderFailingAllocations, TheNextCallGivesTheSameTree) {
  const SortCriterion by_count = make_criterion(SortCriterionKind::DescendantCount, SortOrder::Descending);
  for (const Case& c : kCases) {
    TaxonSet ts;
    Tree tree = parse_newick_tree(ts, c.newick);
    if (c.reordered) tree.sort_by_criteria(ts.names, {&by_count, 1});
    std::vector<uint64_t> ids;
    std::vector<std::pair<uint64_t, uint64_t>> id_map;
    for (std::string_view name : c.kept) {
      ids.push_back(ts.find(name).value());
      id_map.emplace_back(ids.back(), id_map.size());
    }
    const KeptIds kept(ids, id_map);
    for (Road road : {&detail::restrict_sparse_first, &detail::restrict_by_full_passes}) {
      const Tree want = road(tree, kept);
      bool completed = false;
      for (uint64_t n = 1; !completed && n < 10'000; ++n) {
        std::string after;  // what the next call gives, when it differs
        std::thread([&] {
          Tree got;
          allocations_before_failure = n;
          try {
            got = road(tree, kept);
            completed = true;
          } catch (const std::bad_alloc&) {
          }
          allocations_before_failure = 0;
          if (completed) {
            if (!(got == want)) after = "a call that completed gave another tree";
            return;
          }
          after = outcome([&] { return road(tree, kept) == want ? std::string() : "another tree"; });
        }).join();
        ASSERT_EQ(after, "") << c.newick << (road == &detail::restrict_sparse_first ? " sparse" : " full")
                             << ", allocation " << n << " failed";
      }
      EXPECT_TRUE(completed) << c.newick;
    }
  }
}

}  // namespace
}  // namespace qb
