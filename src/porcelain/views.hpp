#pragma once
// Views: the values behind the Python objects. Taxon sets, tree blocks and
// matrices are immutable once built and shared through shared_ptr (atomic
// counts); a view is a small struct of such pointers plus flags.
//
// A view's pointers are never null: a view built without values holds the
// shared empty ones, so nothing that reads a view checks for null.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "porcelain/restriction.hpp"
#include "tree/distance_matrix.hpp"
#include "tree/failure.hpp"
#include "tree/newick.hpp"
#include "tree/shared.hpp"
#include "tree/taxon_set.hpp"
#include "tree/tree.hpp"

namespace qb {

using TaxonSetPtr = std::shared_ptr<const TaxonSet>;
using TreeBlock = std::shared_ptr<const std::vector<Tree>>;
using TreePtr = std::shared_ptr<const Tree>;
using MatrixPtr = std::shared_ptr<const DistanceMatrix>;

// The shared empty values that views start with.
const TaxonSetPtr& empty_taxon_set();
const TreeBlock& empty_tree_block();
const MatrixPtr& empty_matrix();
const TreePtr& empty_tree();

struct DistanceMatrixView {
  MatrixPtr matrix = empty_matrix();
  TaxonSetPtr taxon_set = empty_taxon_set();

  double get(uint64_t i, uint64_t j) const;
  // "Taxon '<name>' not found" for the first absent name.
  Result<double> get_by_name(std::string_view name1, std::string_view name2) const;
};

struct TreeViewBase {
  TaxonSetPtr taxon_set = empty_taxon_set();
  TreeBlock trees = empty_tree_block();
  bool topology_only = false;

  uint64_t size() const noexcept { return trees->size(); }

  static Result<TreeViewBase> from_newick(std::string_view text);  // TreeSet::from_newick
  // Trees start..end-1 copied into a new block; Panic on a bad range.
  TreeViewBase slice(uint64_t start, uint64_t end) const;
  std::optional<DistanceMatrixView> get_distance_matrix(uint64_t index) const;
  std::string to_newick_string() const;
  // The same trees, shared, over the renamed taxon set (remap_taxon_set).
  Result<TreeViewBase> remap(const NameMapping& mapping) const;
};

// TopologyTreeView::from_newick: the same view with topology_only set.
Result<TreeViewBase> topology_from_newick(std::string_view text);
// TopologyTreeView::restriction: every tree restricted to `taxa` over the
// taxon set of `taxa` (restriction_plan); topology_only set.
Result<TreeViewBase> topology_restriction(const TreeViewBase& view, std::span<const std::string_view> taxa);

struct MSCBase {
  uint32_t variant = 0;  // 0 or 1; slicing variant 1 forces topology_only
  TreeViewBase view;
};

struct MSCTreeView {
  MSCBase base;
  Tree species_tree;

  static MSCTreeView make(ParseState state);  // MSCTreeView::new
  MSCTreeView slice(uint64_t start, uint64_t end) const;
  std::optional<DistanceMatrixView> get_distance_matrix(uint64_t index) const;
  // Gene trees and species tree restricted alike; variant kept, variant 1
  // topology-only.
  Result<MSCTreeView> restriction(std::span<const std::string_view> taxa) const;
  // The gene trees' view renamed (TreeViewBase::remap); the species tree
  // copied, its ids unchanged.
  Result<MSCTreeView> remap(const NameMapping& mapping) const;
};

// A member of a FamilyOfMSC: each view in a counted holder of its own.
using MSCTreeViewPtr = std::shared_ptr<const MSCTreeView>;

// The value of a Python Tree object.
struct SingleTree {
  TaxonSetPtr taxon_set = empty_taxon_set();
  TreePtr tree = empty_tree();
};

}  // namespace qb
