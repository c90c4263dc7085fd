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
// Tree::compare_nodes.
struct SortWork {
  // The children of node v are flat[begin[v] .. begin[v] + size[v]), in
  // sibling order until v's own turn in the pass sorts them in place. Nodes
  // not reachable from the root have no children here.
  std::vector<uint32_t> flat;
  std::vector<uint32_t> begin;
  std::vector<uint32_t> size;
  // Leaves below each node; empty when no criterion counts descendants.
  std::vector<uint64_t> descendants;

  // Pairs of nodes whose children the comparator is walking in parallel: it
  // descends a level per frame instead of recursing, so the depth of a tree
  // never meets the call stack.
  struct Frame {
    uint32_t a, b;
    uint32_t criterion;  // index of the lexicographic criterion being walked
    uint32_t next;       // index of the next pair of children
  };
  std::vector<Frame> stack;

  std::span<uint32_t> children(uint64_t v) { return {flat.data() + begin[v], size[v]}; }
  std::span<const uint32_t> children(uint64_t v) const { return {flat.data() + begin[v], size[v]}; }
};

}  // namespace qb
