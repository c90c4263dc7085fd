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

#include "failure.hpp"
#include "sort.hpp"
#include "taxon_set.hpp"

namespace qb {

class KeptIds;

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

  // The node a link value names, or -1 for "no node". Any other value outside
  // the arena stops with the bounds text. Every read of a link goes through
  // here, so a broken link fails the same way in every walk.
  int64_t link(int32_t value) const {
    if (value == -1) return -1;
    check_index(node_count(), static_cast<uint64_t>(static_cast<int64_t>(value)));
    return value;
  }
  int64_t first_child(uint64_t node) const { return link(at(firstchild, node)); }
  int64_t next_sibling(uint64_t node) const { return link(at(nextsib, node)); }

  // Nodes reachable from 0 through firstchild/nextsib, each before its
  // descendants, the children of a node in reverse chain order (last child's
  // subtree first). Walked backwards it is a bottom-up order.
  std::vector<uint64_t> preorder() const;

  // The children of `node` in chain order.
  std::vector<uint64_t> children(uint64_t node) const;

  // This tree restricted to the kept ids and renumbered by their id map
  // (restrict.cpp): a topology, every length and support 0.0.
  Tree restrict(const KeptIds& kept) const;
  // Reorders the children of every node under `criteria` (sort.cpp); only
  // firstchild and nextsib change. `names` are the taxon names by id.
  void sort_by_criteria(const NameList& names, std::span<const SortCriterion> criteria);
  // Nodes a and b under `criteria`, reading the sibling chains as they stand
  // and the leaf counts of `work`; `work.stack` is scratch.
  std::weak_ordering compare_nodes(uint64_t a, uint64_t b, const NameList& names,
                                   std::span<const SortCriterion> criteria, SortWork& work) const;

  bool operator==(const Tree&) const = default;
};

// An equal copy of `tree`, made to be sorted (sort.cpp): its buffers are
// taken in whole before they are written, which is quicker for large trees.
Tree copy_for_sorting(const Tree& tree);

// Stops with "malformed tree: node links do not form a tree": links that no
// tree has (a node reached twice, a chain or a parent walk that loops).
[[noreturn]] void panic_not_a_tree(const char* file = __builtin_FILE(), int line = __builtin_LINE());

// Builds a well-formed tree top-down: a root, then nodes appended one by one,
// each as the last child of a node already built, so the children of every
// node are in the order they were added. Lengths and supports are 0.0,
// fake_root false.
class TreeBuilder {
 public:
  // `capacity`: the expected node count, the root included (a hint).
  explicit TreeBuilder(uint64_t capacity, int32_t root_taxon = -1);

  // Appends a node carrying `taxon` as the last child of `parent`; returns its index.
  int32_t add(int32_t parent, int32_t taxon);

  const Tree& tree() const noexcept { return tree_; }
  Tree finish(uint64_t ntaxa) &&;

 private:
  Tree tree_;
  std::vector<int32_t> last_child_;  // per node, -1 while it has none
};

}  // namespace qb
