#pragma once
// From names to the inputs of a restriction, and renaming of a taxon set:
// the name-level halves of restriction and remap. The view operations built
// on them are declared with the views (views.hpp).
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tree/failure.hpp"
#include "tree/restrict.hpp"
#include "tree/taxon_set.hpp"

namespace qb {

// Old name -> new name. The names are views: the caller keeps their texts
// alive while the mapping is in use (the binding layer views the Python strs
// of the dict, held for the call), so a mapping copies no name.
using NameMapping = std::unordered_map<HashedName, HashedName, HashedName::Hash>;

struct RestrictionPlan {
  TaxonSet taxon_set;  // the named taxa once each, ids in order of first occurrence
  KeptIds kept;        // their old ids, mapped to the ids of taxon_set
};

// Looks every name up in `from` first: the first that is missing fails with
// "Taxon '<name>' not found in tree", before anything is built.
Result<RestrictionPlan> restriction_plan(const TaxonSet& from, std::span<const std::string_view> taxa);

// `from` with every name replaced by its image under `mapping`, every taxon
// keeping its id. Fails, checked in this order, when the mapping's size is not
// the number of taxa, when a taxon has no entry (the first such in id order is
// named) or when two taxa get one name.
Result<TaxonSet> remap_taxon_set(const TaxonSet& from, const NameMapping& mapping);

}  // namespace qb
