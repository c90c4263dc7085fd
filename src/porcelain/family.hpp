#pragma once
// A family of gene-tree/species-tree sets: the value of FamilyOfMSC. Members
// are never changed once they join; each sits in a counted holder of its own
// and shares its taxon set and gene trees with the view it was copied from.
#include <span>
#include <string_view>
#include <vector>

#include "porcelain/views.hpp"
#include "tree/failure.hpp"

namespace qb {

struct FamilyOfMSC {
  std::vector<MSCTreeViewPtr> members;

  // Appends `view` in a new holder (strong guarantee: on failure nothing changes).
  void push_member(MSCTreeView view);

  // One member per pair of paths, read in order as MSCTopologySet.from_files
  // reads them. "Number of gene trees files must match number of species
  // trees files" before any file is opened; otherwise the first failing
  // pair's error, the later pairs unread.
  static Result<FamilyOfMSC> from_files(std::span<const std::string_view> gene_trees_paths,
                                        std::span<const std::string_view> species_trees_paths);
};

}  // namespace qb
