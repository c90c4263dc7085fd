// SortCriterionKind, SortOrder, SortBy and SortCriterion: the names of the
// sort criteria that Tree.sort, Tree.sort_by and Tree.sort_by_multiple take.
// Members are made once, when the class is built; the class methods make a
// new instance on every call. None of these classes defines a hash or a
// pickled state.
#include <string>

#include "pyapi/classes.hpp"
#include "pyapi/frame.hpp"

namespace qb::py {
namespace {

using qb::SortCriterionKind;
using qb::SortOrder;

std::string kind_member(SortCriterionKind k) {
  switch (k) {
    case SortCriterionKind::LexicographicalOrder: return "LexicographicalOrder";
    case SortCriterionKind::ChildCount: return "ChildCount";
    case SortCriterionKind::DescendantCount: return "DescendantCount";
  }
  return std::to_string(static_cast<unsigned>(k));
}

std::string order_member(SortOrder o) {
  switch (o) {
    case SortOrder::Ascending: return "Ascending";
    case SortOrder::Descending: return "Descending";
  }
  return std::to_string(static_cast<unsigned>(o));
}

// Enumerations compare equal to a member of the same class or to an integer
// with the same number; everything else, and ordering, is NotImplemented.
// A failure while reading the other's number is raised.
template <class C>
std::optional<bool> compare_member(const typename C::Value& self, PyObject* other, CompareOp op) {
  int64_t number;
  if (is_instance<C>(other)) {
    number = static_cast<int64_t>(*share<C>(other));
  } else if (PyLong_Check(other)) {
    const long long v = PyLong_AsLongLong(other);
    if (v == -1 && PyErr_Occurred()) return std::nullopt;  // out of range
    number = v;
  } else if (PyIndex_Check(other)) {
    Ref index = Ref::steal(PyNumber_Index(other));
    // Refused as an integer: not comparable. Any other failure of its
    // __index__ is the caller's to see, not an answer.
    if (!index && PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
    check(index.get());
    const long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) return std::nullopt;
    number = v;
  } else {
    return std::nullopt;  // checked first: raising and clearing a TypeError costs more than the comparison
  }
  const bool equal = number == static_cast<int64_t>(self);
  if (op == CompareOp::Eq) return equal;
  if (op == CompareOp::Ne) return !equal;
  return std::nullopt;
}

template <class E>
uint64_t member_number(const E& self) {
  return static_cast<uint64_t>(self);
}

// --- SortCriterionKind

std::string kind_repr(const SortCriterionKind& self) { return "SortCriterionKind." + kind_member(self); }
New<SortCriterionKindClass> kind_lexicographical() { return {SortCriterionKind::LexicographicalOrder}; }
New<SortCriterionKindClass> kind_child_count() { return {SortCriterionKind::ChildCount}; }
New<SortCriterionKindClass> kind_descendant_count() { return {SortCriterionKind::DescendantCount}; }

const Class<SortCriterionKindClass> sort_criterion_kind_class{
    Constant<"LexicographicalOrder", SortCriterionKind::LexicographicalOrder>{},
    Constant<"ChildCount", SortCriterionKind::ChildCount>{},
    Constant<"DescendantCount", SortCriterionKind::DescendantCount>{},
    ClassMethod<"lexicographical", kind_lexicographical>{},
    ClassMethod<"child_count", kind_child_count>{},
    ClassMethod<"descendant_count", kind_descendant_count>{},
    Repr<kind_repr>{},
    Int<member_number<SortCriterionKind>>{},
    Compare<compare_member<SortCriterionKindClass>>{},
};

// --- SortOrder

std::string order_repr(const SortOrder& self) { return "SortOrder." + order_member(self); }
New<SortOrderClass> order_ascending() { return {SortOrder::Ascending}; }
New<SortOrderClass> order_descending() { return {SortOrder::Descending}; }

const Class<SortOrderClass> sort_order_class{
    Constant<"Ascending", SortOrder::Ascending>{},
    Constant<"Descending", SortOrder::Descending>{},
    ClassMethod<"ascending", order_ascending>{},
    ClassMethod<"descending", order_descending>{},
    Repr<order_repr>{},
    Int<member_number<SortOrder>>{},
    Compare<compare_member<SortOrderClass>>{},
};

// --- SortBy

std::string sort_by_repr(const SortCriterionKind& self) { return "SortBy." + kind_member(self); }
std::string sort_by_str(const SortCriterionKind& self) {
  switch (self) {
    case SortCriterionKind::LexicographicalOrder: return "lexicographical";
    case SortCriterionKind::ChildCount: return "child_count";
    case SortCriterionKind::DescendantCount: return "descendant_count";
  }
  return std::to_string(static_cast<unsigned>(self));
}

const Class<SortByClass> sort_by_class{
    Constant<"LexicographicalOrder", SortCriterionKind::LexicographicalOrder>{},
    Constant<"ChildCount", SortCriterionKind::ChildCount>{},
    Constant<"DescendantCount", SortCriterionKind::DescendantCount>{},
    Repr<sort_by_repr>{},
    Str<sort_by_str>{},
    Int<member_number<SortCriterionKind>>{},
    Compare<compare_member<SortByClass>>{},
};

// --- SortCriterion

qb::SortCriterion new_criterion(Shared<SortCriterionKindClass> kind, Shared<SortOrderClass> order) {
  return qb::make_criterion(*kind, *order);
}

std::optional<bool> compare_criterion(const qb::SortCriterion& self, PyObject* other, CompareOp op) {
  if (!is_instance<SortCriterionClass>(other)) return std::nullopt;
  const bool equal = *share<SortCriterionClass>(other) == self;
  if (op == CompareOp::Eq) return equal;
  if (op == CompareOp::Ne) return !equal;
  return std::nullopt;
}

const Class<SortCriterionClass> sort_criterion_class{
    Constructor<new_criterion, "kind", "order">{},
    Compare<compare_criterion>{},
};

}  // namespace
}  // namespace qb::py
