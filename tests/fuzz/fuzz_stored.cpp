// Stored states in: the first byte picks the reader (taxon set, single tree,
// tree set, gene-tree set, distance matrix, family list), the rest is the
// state. Each value read runs every operation of its kind and is stored again.
#include "fuzz_common.hpp"

using namespace qb;
using namespace qb::fuzz;

namespace {

// Reads `bytes`; on success exercises the value and checks its round trip.
template <class Value, class Write, class Read, class Exercise>
void run(std::string_view bytes, Write&& write, Read&& read, Exercise&& exercise) {
  auto value = read(bytes);
  if (!value.ok()) {
    check_reader_error(value.error());
    return;
  }
  exercise(*value);
  check_rewrite(*value, write, read);
}

void taxon_set(std::string_view bytes) {
  auto write = [](const TaxonSet& t) { return serialize_taxon_set(t); };
  auto read = [](std::string_view b) { return deserialize_taxon_set(b); };
  run<TaxonSet>(bytes, write, read, [&](const TaxonSet& taxa) {
    // The fields may disagree; lookups and growth must still behave.
    TaxonSet grown = taxa;
    for (const auto& name : taxa.names)
      check(grown.find(name).has_value() || grown.get_or_insert(name) + 1 == grown.last, "get_or_insert");
    (void)grown.get_or_insert("\x01 new");
    (void)grown.name_of(grown.last);
    check_rewrite(grown, write, read);
  });
}

void single_tree(std::string_view bytes) {
  run<std::pair<TaxonSet, Tree>>(
      bytes, [](const std::pair<TaxonSet, Tree>& s) { return serialize_single_tree(s.first, s.second); },
      [](std::string_view b) { return deserialize_single_tree(b); },
      [](const std::pair<TaxonSet, Tree>& s) { exercise_tree(s.second, s.first); });
}

// Item access of MSCTopologySet alone copies the taxon set as read, which may
// break every invariant of a parsed one, and hands the copy to a Tree object.
void exercise_msc_members(const MSCTreeView& m) {
  exercise_msc(m);
  if (m.base.view.size() == 0) return;
  const TaxonSet& taxa = *m.base.view.taxon_set;
  const TaxonSet copied = taxa;
  check(same(copied, taxa), "copied taxon set differs");
  exercise_tree((*m.base.view.trees)[0], copied, false);
}

template <class Value, class Exercise>
void record(std::string_view bytes, Exercise&& exercise) {
  run<Value>(bytes, [](const Value& v) { return write_record(v); },
             [](std::string_view b) { return read_record<Value>(b); }, exercise);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 6) {
    case 0:
      taxon_set(bytes);
      break;
    case 1:
      single_tree(bytes);
      break;
    case 2:
      record<TreeViewBase>(bytes, [](const TreeViewBase& v) { exercise_view(v); });
      break;
    case 3:
      record<MSCTreeView>(bytes, [](const MSCTreeView& v) { exercise_msc_members(v); });
      break;
    case 4:
      record<DistanceMatrixView>(bytes, [](const DistanceMatrixView& v) { exercise_matrix_view(v); });
      break;
    case 5:
      record<std::vector<MSCTreeViewPtr>>(bytes, [](const std::vector<MSCTreeViewPtr>& family) {
        for (const auto& member : family) {
          check(member != nullptr, "empty member");
          exercise_msc(*member);
        }
      });
      break;
  }
  return 0;
}
