// Stored gene-tree/species-tree set in: read, run every operation, store again.
#include <string_view>

#include "fuzz_common.hpp"

using namespace qb;
using namespace qb::fuzz;

// --- members of the two gene-tree/species-tree classes -------------------------
// exercise_msc runs what the members share with the tree sets (gene trees,
// species tree text and matrix, slices, restriction, renaming). Item access of
// MSCTopologySet alone copies the taxon set as read, which may break every
// invariant of a parsed one, and hands the copy to a Tree object.
namespace {

void exercise_msc_members(const MSCTreeView& m) {
  const TaxonSet& taxa = *m.base.view.taxon_set;
  if (m.base.view.size() == 0) return;
  const TaxonSet copied = taxa;
  check(same(copied, taxa), "copied taxon set differs");
  exercise_tree((*m.base.view.trees)[0], copied, false);
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
