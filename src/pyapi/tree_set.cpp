// TreeSet and TopologySet: a set of trees over one shared taxon set. Both
// classes hold the same value (a TreeViewBase) and share every member of
// set_members.hpp; they differ in their constructors, in TreeSet's
// as_topology and in the class whose objects their derived sets are.
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "porcelain/files.hpp"
#include "porcelain/merge.hpp"
#include "pyapi/set_members.hpp"

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

// --- TopologySet only

New<TopologySetClass> restriction(const TreeViewBase& self, const std::vector<std::string_view>& taxa) {
  return {value_or_raise(qb::topology_restriction(self, taxa))};
}

// --- TreeSet only

New<TopologySetClass> as_topology(const TreeViewBase& self) { return {self}; }

const Class<TreeSetClass> tree_set_class = sets::set_class<TreeSetClass>(
    Constructor<construct_tree_set, "arg">{},
    ClassMethod<"from_file", from_file<TreeSetClass>, "path">{},
    GetItem<sets::get_item<TreeViewBase>, "index">{},
    Method<"as_topology", as_topology>{});

const Class<TopologySetClass> topology_set_class = sets::set_class<TopologySetClass>(
    Constructor<construct_topology_set, "newick_str">{},
    ClassMethod<"from_file", from_file<TopologySetClass>, "path">{},
    GetItem<sets::get_item<TreeViewBase>, "index">{},
    Method<"restriction", restriction, "taxa">{});

}  // namespace
}  // namespace qb::py
