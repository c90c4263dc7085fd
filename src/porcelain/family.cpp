#include "porcelain/family.hpp"

#include <memory>
#include <utility>

#include "porcelain/msc_builders.hpp"

namespace qb {

void FamilyOfMSC::push_member(MSCTreeView view) {
  members.push_back(std::make_shared<const MSCTreeView>(std::move(view)));
}

Result<FamilyOfMSC> FamilyOfMSC::from_files(std::span<const std::string_view> gene_trees_paths,
                                            std::span<const std::string_view> species_trees_paths) {
  if (gene_trees_paths.size() != species_trees_paths.size())
    return Error{"Number of gene trees files must match number of species trees files"};
  FamilyOfMSC family;
  family.members.reserve(gene_trees_paths.size());
  for (size_t k = 0; k < gene_trees_paths.size(); ++k) {
    Result<MSCTreeView> view = msc_topology_set_from_files(gene_trees_paths[k], species_trees_paths[k]);
    if (!view.ok()) return Error{std::move(view).error()};
    family.push_member(std::move(*view));
  }
  return family;
}

}  // namespace qb
