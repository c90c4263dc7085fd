#pragma once
// The calling frame: one generic path from a Python call to a plain C++ body.
//
// How to add a class
// ------------------
// 1. Give it a tag in classes.hpp (already there for every class of the
//    module): the Python name, the C++ value it holds, doc text, text
//    signature and its place in the module (0 = built lazily, not an attribute).
// 2. In its own file src/pyapi/<class>.cpp write the bodies as ordinary C++
//    functions and list them in one table:
//
//      namespace {
//      using namespace qb::py;
//      std::optional<uint64_t> get_id(const qb::TaxonSetPtr& self, std::string_view taxon_name) {
//        return self->find(taxon_name);
//      }
//      uint64_t count(const qb::TaxonSetPtr& self) { return self->last; }
//      const Class<TaxonSetClass> taxon_set_class{
//          Method<"get_id", get_id, "taxon_name">{},
//          Method<"remap", remap, "mapping">{"Relabels taxa according to the provided mapping"},
//          Getter<"len", count>{},
//          Len<count>{},
//      };
//      }  // namespace
//
//    Nothing else: the static `Class` object registers the table, the module
//    adds the class in its place, and the type is built once from the table.
//
// Bodies. The first parameter of a method, getter or slot body is the
// receiver's value: `const Value&` takes a shared borrow, `Value&` the
// exclusive one (only __setstate__ and FamilyOfMSC.add). Further parameters
// are converted from Python by their C++ type (see `Arg` below):
//   std::string_view / std::string    text ("PyString")
//   qb::HashedName                    text, viewed with its hash
//   uint64_t                          count (__index__; OverflowError if < 0)
//   std::optional<bool> / bool        optional flag ("PyBool"; numpy bools too)
//   std::vector<T>                    any sequence but str, items as T
//   std::pair<A, B>                   tuple of exactly two ("PyTuple")
//   std::unordered_map<K, V> / map    dict of texts ("PyDict")
//   BytesView                         bytes or subclass ("PyBytes")
//   Shared<C>                         instance of class C, under a shared borrow
//   PyObject*                         any object, borrowed, for bodies about Python objects
// A parameter written "name=None" in the table may be omitted (its type must
// be a std::optional). Results convert by their C++ type: integers, double,
// bool, std::string, Bytes, BytesWrite, std::vector (list), std::pair/tuple (tuple),
// std::optional (None), void (None), qb::Result<T> (ValueError on error),
// New<C>{value} (a new instance of class C), Ref / PyObject* (as they are).
// To fail, a body either returns an error Result or unwraps one with
// value_or_raise(result, prefix) (ValueError); raises a text of its own with
// raise_value() / raise_index() / raise_type() / raise_overflow(); lets a
// qb::Panic escape (PanicException); or throws PyError after a Python API call
// failed. A Result is never unwrapped by hand.
//
// The frame's pieces, each in its own header: references.hpp (owned
// references), errors.hpp (failures and the trap), instances.hpp (instances,
// borrows, type objects), conversions.hpp (arguments and results),
// entries.hpp (binding and entry points), class_table.hpp (table entries).
#include "pyapi/class_table.hpp"
#include "pyapi/conversions.hpp"
#include "pyapi/entries.hpp"
#include "pyapi/errors.hpp"
#include "pyapi/instances.hpp"
#include "pyapi/references.hpp"
