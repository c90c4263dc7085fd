// Stored gene-tree/species-tree set in: read, run every operation, store again.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.hpp"

using namespace qb;
using namespace qb::fuzz;

// --- members of the two gene-tree/species-tree classes -------------------------
// What each Python member of MSCTreeSet and MSCTopologySet asks of the core,
// run on the view as read: the species tree's text, matrix and copy, item
// copies over a shared and over a copied taxon set, as_topology, restriction
// to names of the set (and to one it lacks) and renaming.
namespace {

void exercise_msc_members(const MSCTreeView& m) {
  const TaxonSet& taxa = *m.base.view.taxon_set;
  const Tree& species = m.species_tree;
  guarded([&] { (void)tree_to_newick(species, taxa); });
  if (species.ntaxa < kMatrixTaxa && species.node_count() <= kMatrixNodes)
    guarded([&] {
      const DistanceMatrix d = distance_matrix(species);
      check(d.size == species.ntaxa, "species matrix size is not the species tree's ntaxa");
    });
  const MSCTreeView topology = m;  // as_topology: shared taxon set and gene trees
  check(topology.base.view.trees == m.base.view.trees && topology.base.view.taxon_set == m.base.view.taxon_set,
        "as_topology copied what it shares");
  if (m.base.view.size() > 0) {
    const TaxonSet copied = taxa;  // MSCTopologySet's items copy the taxon set
    check(copied.last == taxa.last && copied.names.size() == taxa.names.size(), "copied taxon set");
  }

  std::vector<std::string_view> names;
  // Names that a stored set lists but cannot look up are refused like any
  // other unknown name; only names found are asked for here.
  for (size_t i = 0; i < taxa.names.size() && names.size() < 8; i += 2)
    if (taxa.find(taxa.names[i])) names.push_back(taxa.names[i]);
  guarded([&] {
    Result<MSCTreeView> r = m.restriction(names);
    if (!r.ok()) finding("restriction to names of the set failed:", r.error());
    check(r->base.variant == m.base.variant, "restriction changed the variant");
    check(r->base.view.topology_only == (m.base.variant == 1 || m.base.view.topology_only), "restriction flag");
    check(r->base.view.size() == m.base.view.size(), "restriction dropped gene trees");
    guarded([&] { (void)r->base.view.to_newick_string(); });
    guarded([&] { (void)tree_to_newick(r->species_tree, *r->base.view.taxon_set); });
  });
  names.push_back("\x01 not a taxon");
  guarded([&] {
    if (m.restriction(names).ok() && !taxa.find("\x01 not a taxon")) finding("restriction to a missing name");
  });

  NameMapping mapping;
  for (size_t i = 0; i < taxa.names.size() && i < 4096; ++i)
    mapping.emplace(std::string(taxa.names[i]), std::string(taxa.names[i]) + "'");
  guarded([&] {
    Result<MSCTreeView> r = m.remap(mapping);
    if (!r.ok()) return;  // repeated names, or more names than entries
    check(r->base.view.trees == m.base.view.trees, "remap copied the gene trees");
    check(r->base.variant == m.base.variant && r->base.view.topology_only == m.base.view.topology_only,
          "remap changed the variant or the flag");
  });
}

}  // namespace
// --- end of the members of the gene-tree/species-tree classes ------------------

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto view = deserialize_msc_tree_view(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!view.ok()) {
    check_reader_error(view.error());
    return 0;
  }
  exercise_msc(*view);
  exercise_msc_members(*view);
  check_rewrite(*view, [](const MSCTreeView& v) { return serialize_msc_tree_view(v); },
                [](std::string_view b) { return deserialize_msc_tree_view(b); });
  return 0;
}
