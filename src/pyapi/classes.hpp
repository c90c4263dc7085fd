#pragma once
// The module's classes: name, the C++ value an instance holds, doc text, text
// signature (nullptr: none) and place among the module's attributes (0: not
// an attribute; the type is built on first use). Each class's table lives in
// its own file; tags live here so that any file can name any class (results
// of class C are New<C>{value}, arguments of class C are Shared<C>).
#include <memory>
#include <utility>
#include <vector>

#include "porcelain/family.hpp"
#include "porcelain/views.hpp"
#include "pyapi/frame.hpp"
#include "tree/sort.hpp"

namespace qb::py {

struct TreeSetClass {
  using Value = qb::TreeViewBase;
  static constexpr const char* name = "TreeSet";
  static constexpr const char* doc = "";
  static constexpr const char* signature = "(arg)";
  static constexpr int order = 1;
};

struct TopologySetClass {
  using Value = qb::TreeViewBase;
  static constexpr const char* name = "TopologySet";
  static constexpr const char* doc = "A Python wrapper for TopologyTreeView";
  static constexpr const char* signature = "(newick_str)";
  static constexpr int order = 2;
};

struct MSCTreeSetClass {
  using Value = qb::MSCTreeView;
  static constexpr const char* name = "MSCTreeSet";
  static constexpr const char* doc = "A Python wrapper for MSCTreeView";
  static constexpr const char* signature = "(gene_trees, species_tree)";
  static constexpr int order = 3;
};

struct DistanceMatrixClass {
  using Value = qb::DistanceMatrixView;
  static constexpr const char* name = "DistanceMatrix";
  static constexpr const char* doc = "A Python wrapper for DistanceMatrixView";
  static constexpr const char* signature = nullptr;
  static constexpr int order = 4;
};

struct TreeClass {
  using Value = qb::SingleTree;
  static constexpr const char* name = "Tree";
  static constexpr const char* doc = "A Python wrapper for a single tree with its taxon set";
  static constexpr const char* signature = "(newick_str)";
  static constexpr int order = 5;
};

struct TaxonSetClass {
  using Value = qb::TaxonSetPtr;
  static constexpr const char* name = "TaxonSet";
  static constexpr const char* doc = "A Python wrapper for TaxonSet providing read-only access";
  static constexpr const char* signature = nullptr;
  static constexpr int order = 6;
};

struct SortCriterionKindClass {
  using Value = qb::SortCriterionKind;
  static constexpr const char* name = "SortCriterionKind";
  static constexpr const char* doc = "Add these enum definitions for Python";
  static constexpr const char* signature = nullptr;
  static constexpr int order = 7;
};

struct SortOrderClass {
  using Value = qb::SortOrder;
  static constexpr const char* name = "SortOrder";
  static constexpr const char* doc = "";
  static constexpr const char* signature = nullptr;
  static constexpr int order = 8;
};

struct SortCriterionClass {
  using Value = qb::SortCriterion;
  static constexpr const char* name = "SortCriterion";
  static constexpr const char* doc = "Add this struct for Python";
  static constexpr const char* signature = "(kind, order)";
  static constexpr int order = 9;
};

// SortBy numbers its members as SortCriterionKind does.
struct SortByClass {
  using Value = qb::SortCriterionKind;
  static constexpr const char* name = "SortBy";
  static constexpr const char* doc = "Add these as proper Python enums";
  static constexpr const char* signature = nullptr;
  static constexpr int order = 10;
};

struct FamilyOfMSCClass {
  using Value = qb::FamilyOfMSC;
  static constexpr const char* name = "FamilyOfMSC";
  static constexpr const char* doc = "A Python wrapper for a collection of MSC topology tree views";
  static constexpr const char* signature = "()";
  static constexpr int order = 11;
};

struct MSCTopologySetClass {
  using Value = qb::MSCTreeView;
  static constexpr const char* name = "MSCTopologySet";
  static constexpr const char* doc = "A Python wrapper for MSCTreeView in topology-only mode";
  static constexpr const char* signature = "(gene_trees, species_tree)";
  static constexpr int order = 0;  // built lazily, never a module attribute
};

// MSCTopologySet objects for other class files (FamilyOfMSC hands its members
// out as such objects and takes them in `add`). A body may as well return
// New<MSCTopologySetClass>{view} or take a Shared<MSCTopologySetClass>
// parameter; these two are for code that meets the Python objects itself.
// The type is built on the first use of either.

// A new MSCTopologySet object holding `view` (variant and flag as they are).
inline Ref new_msc_topology_set(qb::MSCTreeView view) { return make<MSCTopologySetClass>(std::move(view)); }

// The value of `object` under a shared borrow held as long as the result
// lives; TypeError "'<type>' object cannot be converted to 'MSCTopologySet'"
// when it is not an MSCTopologySet.
inline Shared<MSCTopologySetClass> borrow_msc_topology_set(PyObject* object) {
  return share<MSCTopologySetClass>(object);
}

}  // namespace qb::py
