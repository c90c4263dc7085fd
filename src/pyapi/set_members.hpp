#pragma once
// The members that every set of trees has (TreeSet, TopologySet, MSCTreeSet,
// MSCTopologySet), written once over the TreeViewBase that a class's value
// reaches through `trees_of`: the value itself for the plain sets, the gene
// trees for the gene-tree/species-tree sets. A class file lists
// `set_class<C>(its own members...)` and gets these added.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "porcelain/stored_views.hpp"
#include "porcelain/views.hpp"
#include "pyapi/classes.hpp"
#include "pyapi/frame.hpp"
#include "pyapi/state.hpp"

namespace qb::py::sets {

inline const qb::TreeViewBase& trees_of(const qb::TreeViewBase& value) noexcept { return value; }
inline const qb::TreeViewBase& trees_of(const qb::MSCTreeView& value) noexcept { return value.base.view; }

template <class V>
inline constexpr bool has_species_tree = std::is_same_v<V, qb::MSCTreeView>;

// The stored-form reader of each value.
template <class V>
qb::Result<V> read_state(std::string_view bytes) {
  if constexpr (has_species_tree<V>)
    return qb::deserialize_msc_tree_view(bytes);
  else
    return qb::deserialize_tree_view_base(bytes);
}

template <class V>
uint64_t ngenes(const V& self) {
  return trees_of(self).size();
}

// Every taxon of the set (`last`), also those that no tree holds.
template <class V>
uint64_t ntaxa(const V& self) {
  return trees_of(self).taxon_set->last;
}

template <class V>
New<TaxonSetClass> taxon_set(const V& self) {
  return {trees_of(self).taxon_set};
}

// Each value's own slice: a gene-tree set copies its species tree and applies
// its variant's rule for topology_only.
template <class C>
New<C> slice(const typename C::Value& self, uint64_t start, uint64_t end) {
  return {self.slice(start, end)};
}

template <class V>
std::optional<New<DistanceMatrixClass>> get_distance_matrix(const V& self, uint64_t index) {
  std::optional<qb::DistanceMatrixView> matrix = trees_of(self).get_distance_matrix(index);
  if (!matrix) return std::nullopt;
  return New<DistanceMatrixClass>{std::move(*matrix)};
}

template <class V>
std::optional<std::string_view> get_taxon_name(const V& self, uint64_t id) {
  return trees_of(self).taxon_set->name_of(id);
}

template <class V>
std::vector<std::string> to_newick_vec(const V& self) {
  const qb::TreeViewBase& view = trees_of(self);
  return qb::collect_newick_strings(*view.trees, *view.taxon_set);
}

template <class V>
std::string to_newick_string(const V& self) {
  return trees_of(self).to_newick_string();
}

// A copy of tree `index` over the set's shared taxon set.
template <class V>
New<TreeClass> get_item(const V& self, uint64_t index) {
  const qb::TreeViewBase& view = trees_of(self);
  const uint64_t n = view.size();
  if (index >= n)
    raise_index("Tree index " + std::to_string(index) + " out of bounds. Valid range: 0.." + std::to_string(n));
  return {{view.taxon_set, std::make_shared<const qb::Tree>((*view.trees)[index])}};
}

// The species tree alone, written as the gene trees are (lengths, closing ';').
inline std::string species_tree_to_newick(const qb::MSCTreeView& self) {
  return qb::tree_to_newick(self.species_tree, *self.base.view.taxon_set);
}

template <class C>
std::string str(const typename C::Value& self) {
  constexpr const char* counted = has_species_tree<typename C::Value> ? " gene trees, " : " trees, ";
  return std::string(C::name) + " with " + std::to_string(ngenes(self)) + counted + std::to_string(ntaxa(self)) +
         " taxa";
}

// The Newick texts go in as they are: no quoting, their newlines kept.
template <class C>
std::string repr(const typename C::Value& self) {
  std::string out = std::string(C::name) + "('" + to_newick_string(self);
  if constexpr (has_species_tree<typename C::Value>) out += "', '" + species_tree_to_newick(self);
  return out + "')";
}

// Renaming shares the trees (and copies a species tree) and keeps the
// receiver's variant and flag.
template <class C>
New<C> remap(const typename C::Value& self, const qb::NameMapping& mapping) {
  return {value_or_raise(self.remap(mapping))};
}

template <class V>
BytesWrite get_state(const V& self) {
  return stored_state(qb::serialized_size(self), [&self](qb::StoredWriter& w) { qb::serialize(w, self); });
}

// The state does not name its class: either class of a pair takes the
// other's state, flag and variant included, and stays the class it is. The
// value is replaced only once the whole state has been read.
template <class V>
void set_state(V& self, BytesView state) {
  self = value_or_raise(read_state<V>(state.data), "Deserialization error: ");
}

template <class C, class... Own>
Class<C> set_class(const Own&... own) {
  using V = typename C::Value;
  return Class<C>{
      own...,
      Getter<"ngenes", ngenes<V>>{},
      Getter<"ntaxa", ntaxa<V>>{},
      Getter<"taxon_set", taxon_set<V>>{},
      Method<"slice", slice<C>, "start", "end">{},
      Method<"get_distance_matrix", get_distance_matrix<V>, "index">{},
      Method<"get_taxon_name", get_taxon_name<V>, "id">{},
      Method<"to_newick_vec", to_newick_vec<V>>{},
      Method<"to_newick_string", to_newick_string<V>>{},
      Method<"newick", to_newick_string<V>>{},
      Method<"remap", remap<C>, "mapping">{"Relabels taxa according to the provided mapping"},
      Method<"__getstate__", get_state<V>>{},
      Method<"__setstate__", set_state<V>, "state">{},
      Len<ngenes<V>>{},
      Str<str<C>>{},
      Repr<repr<C>>{},
  };
}

}  // namespace qb::py::sets
