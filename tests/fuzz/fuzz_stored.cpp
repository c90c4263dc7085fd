// Stored states in: the first byte picks the reader (taxon set, single tree,
// tree set, gene-tree set, distance matrix, family list), the rest is the
// state. Each value read runs every operation of its kind and is stored again.
#include "fuzz_common.hpp"

using namespace qb;
using namespace qb::fuzz;

namespace {

// The fields of a stored set may disagree; lookups and growth must still behave.
void exercise_taxon_set(const TaxonSet& taxa) {
  TaxonSet grown = taxa;
  for (const auto& name : taxa.names)
    check(grown.find(name).has_value() || grown.get_or_insert(name) + 1 == grown.last, "get_or_insert");
  (void)grown.get_or_insert("\x01 new");
  (void)grown.name_of(grown.last);
  check_rewrite(grown);
}

// A single tree runs as a tree set of one.
using Single = std::pair<TaxonSet, Tree>;
void exercise_single(const Single& s) {
  exercise_view({std::make_shared<const TaxonSet>(s.first), std::make_shared<const std::vector<Tree>>(1, s.second)});
}
std::string write_single(const Single& s) { return serialize_single_tree(s.first, s.second); }

// Item access of the topology set copies the taxon set as read, which may break
// every invariant of a parsed one, and hands the copy to a Tree object.
void exercise_msc_items(const MSCTreeView& m) {
  exercise_msc(m);
  const TaxonSet copied = *m.base.view.taxon_set;
  check(same(copied, *m.base.view.taxon_set), "copied taxon set differs");
  if (m.base.view.size() > 0) exercise_tree((*m.base.view.trees)[0], copied);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 6) {
    case 0: stored<TaxonSet>(bytes, exercise_taxon_set, check_reader_error); break;
    case 1: stored<Single>(bytes, exercise_single, check_reader_error, write_single, deserialize_single_tree); break;
    case 2: stored<TreeViewBase>(bytes, exercise_view, check_reader_error); break;
    case 3: stored<MSCTreeView>(bytes, exercise_msc_items, check_reader_error); break;
    case 4: stored<DistanceMatrixView>(bytes, exercise_matrix_view, check_reader_error); break;
    case 5: stored<std::vector<MSCTreeViewPtr>>(bytes, exercise_family, check_reader_error); break;
  }
  return 0;
}
