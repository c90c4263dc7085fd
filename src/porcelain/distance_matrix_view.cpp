#include <algorithm>
#include <string>

#include "porcelain/views.hpp"

namespace qb {

double DistanceMatrixView::get(uint64_t i, uint64_t j) const {
  return matrix->get(i, j);
}

Result<double> DistanceMatrixView::get_by_name(std::string_view name1, std::string_view name2) const {
  const auto id1 = taxon_set->find(name1);
  if (!id1) return Error{"Taxon '" + std::string(name1) + "' not found"};
  const auto id2 = taxon_set->find(name2);
  if (!id2) return Error{"Taxon '" + std::string(name2) + "' not found"};
  return get(*id1, *id2);
}

}  // namespace qb
