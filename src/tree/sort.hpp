#pragma once
// Sort criteria for reordering the children of every node of a tree.
//
// The enumerations' numbers are the byte values of the criterion record, so a
// Python-side member converts to the core value by taking its number. A list
// of criteria applies in order: the first that tells two nodes apart decides.
#include <cstdint>

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

}  // namespace qb
