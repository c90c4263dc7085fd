// MSCTreeSet and MSCTopologySet: gene trees with one species tree over one
// shared taxon set (an MSCTreeView). Both classes share the members of
// set_members.hpp over the gene trees; they differ in their builders (variant
// 0, flag false; variant 1, flag true), in MSCTreeSet's as_topology, in item
// access (MSCTopologySet copies the taxon set into the item and has its own
// IndexError text) and in the class of the sets they derive.
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "porcelain/msc_builders.hpp"
#include "pyapi/set_members.hpp"

namespace qb::py {
namespace {

using qb::MSCTreeView;

template <class C>
inline constexpr bool topology_class = std::is_same_v<C, MSCTopologySetClass>;

template <class C>
qb::Result<MSCTreeView> construct(std::string_view gene_trees, std::string_view species_tree) {
  if constexpr (topology_class<C>)
    return qb::msc_topology_set_from_strings(gene_trees, species_tree);
  else
    return qb::msc_tree_set_from_strings(gene_trees, species_tree);
}

// Both paths are converted by the frame before the body runs, so a bad
// species path fails before any file is opened.
template <class C>
New<C> from_files(std::string_view gene_trees_path, std::string_view species_tree_path) {
  if constexpr (topology_class<C>)
    return {value_or_raise(qb::msc_topology_set_from_files(gene_trees_path, species_tree_path))};
  else
    return {value_or_raise(qb::msc_tree_set_from_files(gene_trees_path, species_tree_path))};
}

New<DistanceMatrixClass> get_species_distance_matrix(const MSCTreeView& self) {
  return {{std::make_shared<const qb::DistanceMatrix>(qb::distance_matrix(self.species_tree)),
           self.base.view.taxon_set}};
}

// A copy of the species tree over the shared taxon set (in both classes).
New<TreeClass> get_species_tree(const MSCTreeView& self) {
  return {{self.base.view.taxon_set, std::make_shared<const qb::Tree>(self.species_tree)}};
}

// Gene trees and species tree restricted alike over a new taxon set; variant
// kept, a variant-1 result topology-only.
template <class C>
New<C> restriction(const MSCTreeView& self, const std::vector<std::string_view>& taxa) {
  return {value_or_raise(self.restriction(taxa))};
}

// The same taxon set and gene-tree block; the species tree copied; variant
// and flag as they are.
New<MSCTopologySetClass> as_topology(const MSCTreeView& self) { return {self}; }

// A copy of gene tree `index` over a copy of the taxon set, not the shared one.
New<TreeClass> topology_get_item(const MSCTreeView& self, uint64_t index) {
  const qb::TreeViewBase& genes = self.base.view;
  if (index >= genes.size()) raise_index("Index out of bounds");
  return {{std::make_shared<const qb::TaxonSet>(*genes.taxon_set),
           std::make_shared<const qb::Tree>((*genes.trees)[index])}};
}

template <class C, class... Own>
Class<C> msc_class(const Own&... own) {
  return sets::set_class<C>(
      own...,
      Constructor<construct<C>, "gene_trees", "species_tree">{},
      ClassMethod<"from_files", from_files<C>, "gene_trees_path", "species_tree_path">{},
      Method<"get_species_distance_matrix", get_species_distance_matrix>{},
      Method<"species_tree_to_newick", sets::species_tree_to_newick>{},
      Method<"get_species_tree", get_species_tree>{},
      Method<"restriction", restriction<C>, "taxa">{});
}

const Class<MSCTreeSetClass> msc_tree_set_class = msc_class<MSCTreeSetClass>(
    GetItem<sets::get_item<MSCTreeView>, "index">{},
    Method<"as_topology", as_topology>{});

const Class<MSCTopologySetClass> msc_topology_set_class = msc_class<MSCTopologySetClass>(
    GetItem<topology_get_item, "index">{});

}  // namespace
}  // namespace qb::py
