#pragma once
// The stored form: positional little-endian encoding with 64-bit length
// prefixes, no header. Writers size their buffer exactly once; readers never
// reserve more than 1 MiB on the strength of a count and ignore trailing bytes.
#include <string>
#include <string_view>
#include <utility>

#include "distance_matrix.hpp"
#include "failure.hpp"
#include "taxon_set.hpp"
#include "tree.hpp"

namespace qb {

std::string serialize_taxon_set(const TaxonSet& taxon_set);
Result<TaxonSet> deserialize_taxon_set(std::string_view bytes);

std::string serialize_single_tree(const TaxonSet& taxon_set, const Tree& tree);
Result<std::pair<TaxonSet, Tree>> deserialize_single_tree(std::string_view bytes);

}  // namespace qb
