#pragma once
// Tree: one rooted tree as a node arena of seven parallel per-node sequences.
// Node 0 is the root (its parent is itself); -1 in a link means no node; a node
// with childcount 0 is a leaf. Taxa are referred to by id only.
//
// Trees read from a stored state may break every invariant (unequal sequence
// lengths, links out of range, cycles, shared children). Every walk therefore
// reads through checked access and visits at most node_count() nodes; a tree
// whose links would make it visit more stops with a Panic.
#include <compare>
#include <cstdint>
#include <span>
#include <vector>

#include "sort.hpp"
#include "taxon_set.hpp"

namespace qb {

struct Tree {
  std::vector<int32_t> taxa;
  std::vector<int32_t> parents;
  std::vector<double> support;
  std::vector<double> lengths;
  std::vector<int32_t> firstchild;
  std::vector<int32_t> nextsib;
  std::vector<uint32_t> childcount;
  bool fake_root = false;
  uint64_t ntaxa = 0;

  // Node count: the length of the per-node sequences (of `taxa`).
  uint64_t node_count() const noexcept { return taxa.size(); }

  // Nodes reachable from 0 through firstchild/nextsib, each before its
  // descendants, the children of a node in reverse chain order (last child's
  // subtree first). Walked backwards it is a bottom-up order.
  std::vector<uint64_t> preorder() const;

  // The children of `node` in chain order.
  std::vector<uint64_t> children(uint64_t node) const;

  // Reorders the children of every node under `criteria` (sort.cpp); only
  // firstchild and nextsib change. `names` are the taxon names by id.
  void sort_by_criteria(const NameList& names, std::span<const SortCriterion> criteria);
  // Nodes a and b under `criteria`, reading the sibling chains as they stand
  // and the leaf counts of `work`; `work.stack` is scratch.
  std::weak_ordering compare_nodes(uint64_t a, uint64_t b, const NameList& names,
                                   std::span<const SortCriterion> criteria, SortWork& work) const;

  bool operator==(const Tree&) const = default;
};

}  // namespace qb
