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

uint64_t serialized_size(const TreeViewBase& view);
uint64_t serialized_size(const MSCTreeView& view);
uint64_t serialized_size(const DistanceMatrixView& view);
void serialize(StoredWriter& w, const TreeViewBase& view);
void serialize(StoredWriter& w, const MSCTreeView& view);
void serialize(StoredWriter& w, const DistanceMatrixView& view);
TreeViewBase deserialize_tree_view_base(StoredReader& r);
MSCBase deserialize_msc_base(StoredReader& r);
MSCTreeView deserialize_msc_tree_view(StoredReader& r);

std::string serialize_distance_matrix_view(const DistanceMatrixView& view);
Result<DistanceMatrixView> deserialize_distance_matrix_view(std::string_view bytes);

std::string serialize_tree_view_base(const TreeViewBase& view);
Result<TreeViewBase> deserialize_tree_view_base(std::string_view bytes);

std::string serialize_msc_tree_view(const MSCTreeView& view);
Result<MSCTreeView> deserialize_msc_tree_view(std::string_view bytes);

// The members' values in member order, uncompressed (the compressed state is
// compression/family_state).
std::string serialize_family_of_msc(std::span<const MSCTreeViewPtr> members);
uint64_t serialized_size(std::span<const MSCTreeViewPtr> members);
void serialize(StoredWriter& w, std::span<const MSCTreeViewPtr> members);
Result<std::vector<MSCTreeViewPtr>> deserialize_family_of_msc(std::string_view bytes);

}  // namespace qb
