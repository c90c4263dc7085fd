#include "porcelain/stored_views.hpp"

#include <memory>

namespace qb {

namespace {

constexpr uint64_t kMinTree = 65;           // smallest encoded Tree
constexpr uint64_t kMinMscTreeView = 4 + 24 + 8 + 1 + 65;

}  // namespace

// --- TreeViewBase -------------------------------------------------------------

uint64_t serialized_size(const TreeViewBase& view) {
  uint64_t size = serialized_size(*view.taxon_set) + 8 + 1;
  for (const Tree& t : *view.trees) size += serialized_size(t);
  return size;
}

void serialize(StoredWriter& w, const TreeViewBase& view) {
  serialize(w, *view.taxon_set);
  const auto& trees = *view.trees;
  w.u64(trees.size());
  for (const Tree& t : trees) serialize(w, t);
  w.flag(view.topology_only);
}

TreeViewBase deserialize_tree_view_base(StoredReader& r) {
  TreeViewBase view;
  TaxonSet taxon_set = deserialize_taxon_set(r);
  std::vector<Tree> trees;
  const uint64_t count = r.u64();
  if (r.ok()) trees.reserve(r.reserve_for(count, sizeof(Tree), kMinTree));
  for (uint64_t i = 0; i < count && r.ok(); ++i) trees.push_back(deserialize_tree(r));
  view.topology_only = r.flag();
  if (!r.ok()) return view;
  view.taxon_set = share(std::move(taxon_set));
  view.trees = share(std::move(trees));
  return view;
}

std::string serialize_tree_view_base(const TreeViewBase& view) {
  return write_stored(serialized_size(view), [&](StoredWriter& w) { serialize(w, view); });
}

Result<TreeViewBase> deserialize_tree_view_base(std::string_view bytes) {
  return read_stored(bytes, [](StoredReader& r) { return deserialize_tree_view_base(r); });
}

// --- MSCTreeView --------------------------------------------------------------

uint64_t serialized_size(const MSCTreeView& view) {
  return 4 + serialized_size(view.base.view) + serialized_size(view.species_tree);
}

void serialize(StoredWriter& w, const MSCTreeView& view) {
  w.u32(view.base.variant == 0 ? 0 : 1);
  serialize(w, view.base.view);
  serialize(w, view.species_tree);
}

MSCBase deserialize_msc_base(StoredReader& r) {
  MSCBase base;
  const uint32_t variant = r.u32();
  if (!r.ok()) return base;
  if (variant > 1) {
    r.fail("invalid value: integer `" + std::to_string(variant) + "`, expected variant index 0 <= i < 2");
    return base;
  }
  base.variant = variant;
  base.view = deserialize_tree_view_base(r);
  return base;
}

MSCTreeView deserialize_msc_tree_view(StoredReader& r) {
  MSCTreeView view;
  view.base = deserialize_msc_base(r);
  view.species_tree = deserialize_tree(r);
  return view;
}

std::string serialize_msc_tree_view(const MSCTreeView& view) {
  return write_stored(serialized_size(view), [&](StoredWriter& w) { serialize(w, view); });
}

Result<MSCTreeView> deserialize_msc_tree_view(std::string_view bytes) {
  return read_stored(bytes, [](StoredReader& r) { return deserialize_msc_tree_view(r); });
}

// --- DistanceMatrixView ---------------------------------------------------------

uint64_t serialized_size(const DistanceMatrixView& view) {
  return serialized_size(*view.matrix) + serialized_size(*view.taxon_set);
}

void serialize(StoredWriter& w, const DistanceMatrixView& view) {
  serialize(w, *view.matrix);
  serialize(w, *view.taxon_set);
}

std::string serialize_distance_matrix_view(const DistanceMatrixView& view) {
  return write_stored(serialized_size(view), [&](StoredWriter& w) { serialize(w, view); });
}

Result<DistanceMatrixView> deserialize_distance_matrix_view(std::string_view bytes) {
  return read_stored(bytes, [](StoredReader& r) {
    DistanceMatrixView view;
    DistanceMatrix matrix = deserialize_distance_matrix(r);
    TaxonSet taxon_set = deserialize_taxon_set(r);
    if (r.ok()) {
      view.matrix = share(std::move(matrix));
      view.taxon_set = share(std::move(taxon_set));
    }
    return view;
  });
}

// --- List of a FamilyOfMSC ------------------------------------------------------

std::string serialize_family_of_msc(std::span<const MSCTreeViewPtr> members) {
  uint64_t size = 8;
  for (const auto& m : members) {
    if (!m) panic("family of gene-tree sets holds an empty member");
    size += serialized_size(*m);
  }
  return write_stored(size, [&](StoredWriter& w) {
    w.u64(members.size());
    for (const auto& m : members) serialize(w, *m);
  });
}

Result<std::vector<MSCTreeViewPtr>> deserialize_family_of_msc(std::string_view bytes) {
  return read_stored(bytes, [](StoredReader& r) {
    std::vector<MSCTreeViewPtr> members;
    const uint64_t count = r.u64();
    if (r.ok()) members.reserve(r.reserve_for(count, sizeof(MSCTreeViewPtr), kMinMscTreeView));
    for (uint64_t i = 0; i < count && r.ok(); ++i) {
      MSCTreeView view = deserialize_msc_tree_view(r);
      if (r.ok()) members.push_back(share(std::move(view)));
    }
    if (!r.ok()) members.clear();
    return members;
  });
}

}  // namespace qb
