#pragma once
// Sort criteria for reordering the children of every node of a tree.
//
// The enumerations' numbers are the byte values of the criterion record, so a
// Python-side member converts to the core value by taking its number. A list
// of criteria applies in order: the first that tells two nodes apart decides.
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace qb {

enum class SortCriterionKind : uint8_t {
  LexicographicalOrder = 0,
  ChildCount = 1,
  DescendantCount = 2,
};

enum class SortOrder : uint8_t {
  Ascending = 0,
  Descending = 1,
};

// One criterion as the sorting pass takes it. `order` is a raw byte: any
// non-zero value sorts descending.
struct SortCriterion {
  uint8_t kind = 0;
  uint8_t order = 0;

  bool operator==(const SortCriterion&) const = default;
};

inline SortCriterion make_criterion(SortCriterionKind kind, SortOrder order) noexcept {
  return {static_cast<uint8_t>(kind), static_cast<uint8_t>(order)};
}

// (kind, ascending) pairs to criteria, in order: Descending exactly when the
// flag is present and false.
using SortPair = std::pair<SortCriterionKind, std::optional<bool>>;
std::vector<SortCriterion> collect_sort_criteria(std::span<const SortPair> pairs);

// Working data of one sorting pass (Tree::sort_by_criteria), read by
// Tree::compare_nodes. The child lists are the tree's own sibling chains:
// the pass relinks each node's chain as soon as its list is sorted, so a
// chain reads, at any moment, as that node's list stands.
struct SortWork {
  // Leaves below each node (fewer than 2^32: no tree has more nodes);
  // empty when no criterion counts descendants.
  std::vector<uint32_t> descendants;
  // Per taxon id, the first eight bytes of its name as a number that orders
  // as the names do where the two numbers differ; empty when not built.
  std::vector<uint64_t> keys;
  // Pairs of nodes whose children the comparator is walking in parallel: it
  // descends a level per frame instead of recursing, so the depth of a tree
  // never meets the call stack.
  struct Frame {
    uint32_t a, b;
    uint32_t criterion;      // index of the lexicographic criterion being walked
    int32_t next_a, next_b;  // the next pair of children (-1: a list ended)
  };
  std::vector<Frame> stack;
};

}  // namespace qb
