// Tree: one tree with the taxon set whose ids its leaves use. The core tree
// of every object is its own (a copy, or built for it); the taxon set is
// shared with the objects derived from it and, for items of a collection,
// with that collection, so every name lookup sees the whole set.
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pyapi/classes.hpp"
#include "pyapi/frame.hpp"
#include "pyapi/state.hpp"
#include "tree/newick.hpp"
#include "tree/stored_form.hpp"

namespace qb::py {
namespace {

using qb::SingleTree;

// The first tree of the text over the taxon set of the whole text; further
// trees are dropped but their names stay in the set.
SingleTree construct(std::string_view newick_str) {
  qb::ParsedTrees parsed = value_or_raise(qb::parse_newick_trees(newick_str, false));
  return {qb::share(std::move(parsed.taxon_set)), qb::share(std::move(parsed.trees.front()))};
}

uint64_t ntaxa(const SingleTree& self) { return self.taxon_set->last; }

New<TaxonSetClass> taxon_set(const SingleTree& self) { return {self.taxon_set}; }

std::optional<std::string_view> get_taxon_name(const SingleTree& self, uint64_t id) {
  return self.taxon_set->name_of(id);
}

const qb::NameList& get_taxa(const SingleTree& self) { return self.taxon_set->names; }

New<DistanceMatrixClass> get_distance_matrix(const SingleTree& self) {
  return {{qb::share(qb::distance_matrix(*self.tree)), self.taxon_set}};
}

// The topology alone: never lengths or support values.
std::string to_newick(const SingleTree& self) {
  std::string out;
  qb::write_newick_topology(*self.tree, 0, self.taxon_set->names, out);
  out += ';';
  return out;
}

std::string repr(const SingleTree& self) { return "SingleTree('" + to_newick(self) + "')"; }

// Wraps for a stored tree with no nodes and fake_root set; the frame reports
// that length as OverflowError.
uint64_t node_count(const SingleTree& self) {
  return self.tree->node_count() - (self.tree->fake_root ? 1 : 0);
}

// The named taxa, in list order, over a taxon set of their own; the lookups
// see the whole taxon set, not only this tree's leaves.
New<TreeClass> restriction(const SingleTree& self, const std::vector<std::string_view>& taxa) {
  qb::RestrictionPlan plan = value_or_raise(qb::restriction_plan(*self.taxon_set, taxa));
  auto tree = std::make_shared<const qb::Tree>(self.tree->restrict(plan.kept));
  return {{std::make_shared<const qb::TaxonSet>(std::move(plan.taxon_set)), std::move(tree)}};
}

// Only the taxon set is new: every taxon keeps its id, so the immutable core
// tree is shared. The mapping must cover the whole taxon set.
New<TreeClass> remap(const SingleTree& self, const qb::NameMapping& mapping) {
  return {{std::make_shared<const qb::TaxonSet>(value_or_raise(qb::remap_taxon_set(*self.taxon_set, mapping))),
           self.tree}};
}

BytesWrite get_state(const SingleTree& self) {
  const uint64_t size = qb::serialized_size(*self.taxon_set) + qb::serialized_size(*self.tree);
  return stored_state(size, [&self](qb::StoredWriter& w) {
    qb::serialize(w, *self.taxon_set);
    qb::serialize(w, *self.tree);
  });
}

void set_state(SingleTree& self, BytesView state) {
  auto [taxon_set, tree] = value_or_raise(qb::deserialize_single_tree(state.data), "Deserialization error: ");
  self = {qb::share(std::move(taxon_set)), qb::share(std::move(tree))};
}

// --- Child sorting: each method sorts one copy of the core tree and shares
// the receiver's taxon set, whose names the lexicographic order reads.

New<TreeClass> sorted_copy(const SingleTree& self, std::span<const qb::SortCriterion> criteria) {
  auto copy = std::make_shared<qb::Tree>(qb::copy_for_sorting(*self.tree));
  copy->sort_by_criteria(self.taxon_set->names, criteria);
  return {{self.taxon_set, std::move(copy)}};
}

New<TreeClass> sort_by(const SingleTree& self, Shared<SortByClass> criterion, std::optional<bool> ascending) {
  const qb::SortPair pair{*criterion, ascending};
  return sorted_copy(self, qb::collect_sort_criteria({&pair, 1}));
}

New<TreeClass> sort_by_multiple(const SingleTree& self,
                                std::vector<std::pair<Shared<SortByClass>, std::optional<bool>>> criteria) {
  std::vector<qb::SortPair> pairs;
  pairs.reserve(criteria.size());
  for (const auto& [kind, ascending] : criteria) pairs.emplace_back(*kind, ascending);
  return sorted_copy(self, qb::collect_sort_criteria(pairs));
}

New<TreeClass> sort_by_records(const SingleTree& self, std::vector<Shared<SortCriterionClass>> criteria) {
  std::vector<qb::SortCriterion> list;
  list.reserve(criteria.size());
  for (const auto& c : criteria) list.push_back(*c);
  return sorted_copy(self, list);
}

const Class<TreeClass> tree_class{
    Constructor<construct, "newick_str">{},
    Getter<"ntaxa", ntaxa>{},
    Getter<"taxon_set", taxon_set>{},
    Method<"get_taxon_name", get_taxon_name, "id">{},
    Method<"get_taxa", get_taxa>{},
    Method<"get_distance_matrix", get_distance_matrix>{},
    Method<"to_newick", to_newick>{},
    Method<"newick", to_newick>{},
    Method<"restriction", restriction, "taxa">{},
    Method<"remap", remap, "mapping">{"Relabels taxa according to the provided mapping"},
    Method<"__getstate__", get_state>{},
    Method<"__setstate__", set_state, "state">{},
    Str<to_newick>{},
    Repr<repr>{},
    Len<node_count>{},
    Method<"sort_by", sort_by, "criterion", "ascending=None">{"Sort the tree by a single criterion"},
    Method<"sort_by_multiple", sort_by_multiple, "criteria">{"Sort the tree by multiple criteria"},
    Method<"sort", sort_by_records, "criteria">{"Sort the tree according to the given criteria"},
};

}  // namespace
}  // namespace qb::py
