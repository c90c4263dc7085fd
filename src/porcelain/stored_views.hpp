#pragma once
// Stored form of the views. A shared value (taxon set, tree block, matrix) is
// written in full by each holder; reading gives every view its own blocks,
// each with a single holder.
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "porcelain/views.hpp"
#include "tree/stored_form.hpp"

namespace qb {

template <class V, RecordOf<TreeViewBase> T>
void fields(V& v, T& view) {
  v.record(view.taxon_set);
  v.record(view.trees);
  v.flag(view.topology_only);
}

// Variant 1 is the topology-only set; any other nonzero variant is stored as 1.
template <class V, RecordOf<MSCBase> T>
void fields(V& v, T& base) {
  v.variant(base.variant, 2);
  v.record(base.view);
}

template <class V, RecordOf<MSCTreeView> T>
void fields(V& v, T& view) {
  v.record(view.base);
  v.record(view.species_tree);
}

template <class V, RecordOf<DistanceMatrixView> T>
void fields(V& v, T& view) {
  v.record(view.matrix);
  v.record(view.taxon_set);
}

// Entry points by name, for the records that have one; all are write_record
// and read_record.
inline std::string serialize_distance_matrix_view(const DistanceMatrixView& view) { return write_record(view); }
inline Result<DistanceMatrixView> deserialize_distance_matrix_view(std::string_view bytes) {
  return read_record<DistanceMatrixView>(bytes);
}
inline std::string serialize_tree_view_base(const TreeViewBase& view) { return write_record(view); }
inline Result<TreeViewBase> deserialize_tree_view_base(std::string_view bytes) {
  return read_record<TreeViewBase>(bytes);
}
inline std::string serialize_msc_tree_view(const MSCTreeView& view) { return write_record(view); }
inline Result<MSCTreeView> deserialize_msc_tree_view(std::string_view bytes) { return read_record<MSCTreeView>(bytes); }
inline TreeViewBase deserialize_tree_view_base(StoredReader& r) { return deserialize<TreeViewBase>(r); }
inline MSCBase deserialize_msc_base(StoredReader& r) { return deserialize<MSCBase>(r); }
inline MSCTreeView deserialize_msc_tree_view(StoredReader& r) { return deserialize<MSCTreeView>(r); }

// The members' values in member order, uncompressed (the compressed state is
// compression/family_state).
std::string serialize_family_of_msc(std::span<const MSCTreeViewPtr> members);
uint64_t serialized_size(std::span<const MSCTreeViewPtr> members);
void serialize(StoredWriter& w, std::span<const MSCTreeViewPtr> members);
Result<std::vector<MSCTreeViewPtr>> deserialize_family_of_msc(std::string_view bytes);

}  // namespace qb
