#include "porcelain/msc_builders.hpp"

#include <string>
#include <utility>

#include "porcelain/files.hpp"
#include "tree/newick.hpp"

namespace qb {

namespace {

Result<MSCTreeView> from_strings(std::string_view gene_trees, std::string_view species_tree, bool topology_only) {
  ParseState state = new_parse_state(topology_only);
  Result<ParsedTrees> parsed = parse_newick_trees(gene_trees, topology_only);
  if (!parsed) return Error{std::move(parsed).error()};
  state.taxon_set = std::move(parsed->taxon_set);
  state.gene_trees = std::move(parsed->trees);
  Tree species = parse_newick_tree(state.taxon_set, species_tree);
  if (species.ntaxa == 0) return Error{"No species tree found in input string"};
  state.species_tree = std::move(species);
  MSCTreeView view = MSCTreeView::make(std::move(state));
  if (topology_only) view.base.variant = 1;
  return view;
}

template <class Build>
Result<MSCTreeView> from_files(std::string_view gene_trees_path, std::string_view species_tree_path, Build build) {
  Result<std::string> genes = read_text_file(gene_trees_path);
  if (!genes) return Error{"Failed to read gene trees file: " + std::move(genes).error()};
  Result<std::string> species = read_text_file(species_tree_path);
  if (!species) return Error{"Failed to read species tree file: " + std::move(species).error()};
  return build(*genes, *species);
}

}  // namespace

Result<MSCTreeView> msc_tree_set_from_strings(std::string_view gene_trees, std::string_view species_tree) {
  return from_strings(gene_trees, species_tree, false);
}

Result<MSCTreeView> msc_topology_set_from_strings(std::string_view gene_trees, std::string_view species_tree) {
  return from_strings(gene_trees, species_tree, true);
}

Result<MSCTreeView> msc_tree_set_from_files(std::string_view gene_trees_path, std::string_view species_tree_path) {
  return from_files(gene_trees_path, species_tree_path, msc_tree_set_from_strings);
}

Result<MSCTreeView> msc_topology_set_from_files(std::string_view gene_trees_path,
                                                std::string_view species_tree_path) {
  return from_files(gene_trees_path, species_tree_path, msc_topology_set_from_strings);
}

}  // namespace qb
