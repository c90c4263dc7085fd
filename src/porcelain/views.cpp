#include "porcelain/views.hpp"

#include <string>
#include <utility>

namespace qb {

const TaxonSetPtr& empty_taxon_set() {
  static const TaxonSetPtr empty = share(TaxonSet{});
  return empty;
}
const TreeBlock& empty_tree_block() {
  static const TreeBlock empty = share(std::vector<Tree>{});
  return empty;
}
const MatrixPtr& empty_matrix() {
  static const MatrixPtr empty = share(DistanceMatrix{});
  return empty;
}
const TreePtr& empty_tree() {
  static const TreePtr empty = share(Tree{});
  return empty;
}

namespace {

Result<TreeViewBase> view_from_newick(std::string_view text, bool topology_only) {
  Result<ParsedTrees> parsed = parse_newick_trees(text, topology_only);
  if (!parsed) return Error{std::move(parsed).error()};
  TreeViewBase view;
  view.taxon_set = share(std::move(parsed->taxon_set));
  view.trees = share(std::move(parsed->trees));
  view.topology_only = topology_only;
  return view;
}

// Both slices check the order first, so that a reversed range past the end
// reports the order.
void check_slice(uint64_t start, uint64_t end, uint64_t len) {
  if (start > end)
    panic("slice index starts at " + std::to_string(start) + " but ends at " + std::to_string(end));
  if (end > len)
    panic("range end index " + std::to_string(end) + " out of range for slice of length " + std::to_string(len));
}

// Copies of trees start..end-1 in a new block; never a sub-range of the source.
TreeBlock copy_range(const TreeBlock& trees, uint64_t start, uint64_t end) {
  if (start == end) return share(std::vector<Tree>{});
  return share(std::vector<Tree>(trees->begin() + start, trees->begin() + end));
}

}  // namespace

Result<TreeViewBase> TreeViewBase::from_newick(std::string_view text) { return view_from_newick(text, false); }

Result<TreeViewBase> topology_from_newick(std::string_view text) { return view_from_newick(text, true); }

TreeViewBase TreeViewBase::slice(uint64_t start, uint64_t end) const {
  check_slice(start, end, size());
  TreeViewBase out;
  out.taxon_set = taxon_set;
  out.trees = copy_range(trees, start, end);
  out.topology_only = topology_only;
  return out;
}

std::optional<DistanceMatrixView> TreeViewBase::get_distance_matrix(uint64_t index) const {
  if (index >= size()) return std::nullopt;
  DistanceMatrixView out;
  out.matrix = share(distance_matrix((*trees)[index]));
  out.taxon_set = taxon_set;
  return out;
}

std::string TreeViewBase::to_newick_string() const {
  if (size() == 0) return {};
  return qb::to_newick_string(*trees, *taxon_set);
}

MSCTreeView MSCTreeView::make(ParseState state) {
  MSCTreeView out;
  out.base.variant = 0;
  out.base.view.taxon_set = share(std::move(state.taxon_set));
  out.base.view.trees = share(std::move(state.gene_trees));
  out.base.view.topology_only = state.topology_only;
  out.species_tree = std::move(state.species_tree);
  return out;
}

MSCTreeView MSCTreeView::slice(uint64_t start, uint64_t end) const {
  const TreeViewBase& view = base.view;
  check_slice(start, end, view.size());
  MSCTreeView out;
  out.base.variant = base.variant;
  out.base.view.taxon_set = view.taxon_set;
  out.base.view.trees = copy_range(view.trees, start, end);
  // Variant 1 is the topology-only set: its slices are topology-only whatever
  // the flag of the source says.
  out.base.view.topology_only = base.variant == 1 ? true : view.topology_only;
  out.species_tree = species_tree;
  return out;
}

std::optional<DistanceMatrixView> MSCTreeView::get_distance_matrix(uint64_t index) const {
  return base.view.get_distance_matrix(index);
}

}  // namespace qb
