// TreeSet and TopologySet: a set of trees over one shared taxon set. Both
// classes hold the same value (a TreeViewBase) and share every member below;
// they differ in their constructors, in TreeSet's as_topology and in the
// class whose objects their derived sets are.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "porcelain/files.hpp"
#include "porcelain/merge.hpp"
#include "porcelain/stored_views.hpp"
#include "pyapi/classes.hpp"
#include "pyapi/frame.hpp"
#include "pyapi/state.hpp"

namespace qb::py {
namespace {

using qb::TreeViewBase;

// TopologySet's builders set topology_only; TreeSet's leave it false.
template <class C>
qb::Result<TreeViewBase> parse(std::string_view text) {
  if constexpr (std::is_same_v<C, TopologySetClass>)
    return qb::topology_from_newick(text);
  else
    return TreeViewBase::from_newick(text);
}

// --- constructors

// A text is parsed; a list (or list subclass) of Tree objects is merged;
// anything else, a text without a UTF-8 form included, is refused.
TreeViewBase construct_tree_set(PyObject* arg) {
  if (std::optional<std::string_view> text = try_convert<std::string_view>(arg))
    return value_or_raise(TreeViewBase::from_newick(*text));
  if (!PyList_Check(arg)) raise_value("Argument must be either a Newick string or a list of Tree objects");
  // The list's own items, not its __iter__ or __getitem__: nothing here runs
  // Python code, so the list cannot change under the loop.
  const Py_ssize_t n = PyList_Size(arg);
  std::vector<qb::SingleTree> items;
  items.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) items.push_back(*share<TreeClass>(PyList_GetItem(arg, i)));
  return qb::merge_single_trees(items);
}

qb::Result<TreeViewBase> construct_topology_set(std::string_view newick_str) {
  return parse<TopologySetClass>(newick_str);
}

template <class C>
New<C> from_file(std::string_view path) {
  std::string text = value_or_raise(qb::read_text_file(path), "Failed to read file: ");
  return {value_or_raise(parse<C>(text))};
}

// --- members of both classes

uint64_t ngenes(const TreeViewBase& self) { return self.size(); }

uint64_t ntaxa(const TreeViewBase& self) { return self.taxon_set->last; }

New<TaxonSetClass> taxon_set(const TreeViewBase& self) { return {self.taxon_set}; }

template <class C>
New<C> slice(const TreeViewBase& self, uint64_t start, uint64_t end) {
  return {self.slice(start, end)};
}

std::optional<New<DistanceMatrixClass>> get_distance_matrix(const TreeViewBase& self, uint64_t index) {
  std::optional<qb::DistanceMatrixView> matrix = self.get_distance_matrix(index);
  if (!matrix) return std::nullopt;
  return New<DistanceMatrixClass>{std::move(*matrix)};
}

std::optional<std::string_view> get_taxon_name(const TreeViewBase& self, uint64_t id) {
  return self.taxon_set->name_of(id);
}

std::vector<std::string> to_newick_vec(const TreeViewBase& self) {
  return qb::collect_newick_strings(*self.trees, *self.taxon_set);
}

std::string to_newick_string(const TreeViewBase& self) { return self.to_newick_string(); }

New<TreeClass> get_item(const TreeViewBase& self, uint64_t index) {
  const uint64_t n = self.size();
  if (index >= n)
    raise_index("Tree index " + std::to_string(index) + " out of bounds. Valid range: 0.." + std::to_string(n));
  return {{self.taxon_set, std::make_shared<const qb::Tree>((*self.trees)[index])}};
}

template <class C>
std::string str(const TreeViewBase& self) {
  return std::string(C::name) + " with " + std::to_string(self.size()) + " trees, " +
         std::to_string(self.taxon_set->last) + " taxa";
}

// The Newick text goes in as it is: no quoting, its newlines kept.
template <class C>
std::string repr(const TreeViewBase& self) {
  return std::string(C::name) + "('" + self.to_newick_string() + "')";
}

BytesWrite get_state(const TreeViewBase& self) {
  return stored_state(qb::serialized_size(self), [self](qb::StoredWriter& w) { qb::serialize(w, self); });
}

// The state does not name its class: either class takes the other's state,
// topology_only included, and stays the class it is.
void set_state(TreeViewBase& self, BytesView state) {
  self = value_or_raise(qb::deserialize_tree_view_base(state.data), "Deserialization error: ");
}

// Renaming shares the trees and keeps the receiver's flag.
template <class C>
New<C> remap(const TreeViewBase& self, const qb::NameMapping& mapping) {
  return {value_or_raise(self.remap(mapping))};
}

// --- TopologySet only

New<TopologySetClass> restriction(const TreeViewBase& self, const std::vector<std::string_view>& taxa) {
  return {value_or_raise(qb::topology_restriction(self, taxa))};
}

// --- TreeSet only

New<TopologySetClass> as_topology(const TreeViewBase& self) { return {self}; }

// One table for both classes; `extra` holds the members of one class alone.
template <class C, class... Extra>
Class<C> set_class(const Extra&... extra) {
  return Class<C>{
      extra...,
      ClassMethod<"from_file", from_file<C>, "path">{},
      Getter<"ngenes", ngenes>{},
      Getter<"ntaxa", ntaxa>{},
      Getter<"taxon_set", taxon_set>{},
      Method<"slice", slice<C>, "start", "end">{},
      Method<"get_distance_matrix", get_distance_matrix, "index">{},
      Method<"get_taxon_name", get_taxon_name, "id">{},
      Method<"to_newick_vec", to_newick_vec>{},
      Method<"to_newick_string", to_newick_string>{},
      Method<"newick", to_newick_string>{},
      Method<"__getstate__", get_state>{},
      Method<"__setstate__", set_state, "state">{},
      Method<"remap", remap<C>, "mapping">{"Relabels taxa according to the provided mapping"},
      GetItem<get_item, "index">{},
      Len<ngenes>{},
      Str<str<C>>{},
      Repr<repr<C>>{},
  };
}

const Class<TreeSetClass> tree_set_class = set_class<TreeSetClass>(
    Constructor<construct_tree_set, "arg">{},
    Method<"as_topology", as_topology>{});

const Class<TopologySetClass> topology_set_class = set_class<TopologySetClass>(
    Constructor<construct_topology_set, "newick_str">{},
    Method<"restriction", restriction, "taxa">{});

}  // namespace
}  // namespace qb::py
