#pragma once
// Class tables: the entries a class file lists, and the Class that registers them.
#include <initializer_list>

#include "pyapi/entries.hpp"
#include "pyapi/instances.hpp"

namespace qb::py {

// Table entries. Each knows how to add itself to a class record.

template <class F>
void* slot_fn(F f) noexcept {
  return reinterpret_cast<void*>(f);
}
inline PyCFunction method_fn(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// "name($self, a, b)\n--\n\n" + doc, owned by the record.
const char* method_docstring(ClassRecord& r, const char* name, const char* self_word,
                             std::initializer_list<const char*> raw, const char* doc);

// A method of instances, or (OfClass) of the class.
template <bool OfClass, Name M, auto Body, Name... P>
struct MethodEntry {
  const char* doc = "";
  template <class C>
  void add(ClassRecord& r) const {
    r.on_build.push_back(&Signature<C, M, P...>::prepare);
    if constexpr (OfClass)
      r.methods.push_back({M.text, method_fn(&class_method_entry<C, M, Body, P...>),
                           METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
                           method_docstring(r, M.text, "$cls", {P.text...}, doc)});
    else
      r.methods.push_back({M.text, method_fn(&method_entry<C, M, Body, P...>), METH_FASTCALL | METH_KEYWORDS,
                           method_docstring(r, M.text, "$self", {P.text...}, doc)});
  }
};
template <Name M, auto Body, Name... P>
using Method = MethodEntry<false, M, Body, P...>;
template <Name M, auto Body, Name... P>
using ClassMethod = MethodEntry<true, M, Body, P...>;

template <auto Body, Name... P>
struct Constructor {
  template <class C>
  void add(ClassRecord& r) const {
    r.on_build.push_back(&Signature<C, "__new__", P...>::prepare);
    r.slots.push_back({Py_tp_new, slot_fn(&new_entry<C, Body, P...>)});
  }
};

template <Name M, auto Body>
struct Getter {
  template <class C>
  void add(ClassRecord& r) const {
    r.getsets.push_back({M.text, &getter_entry<C, Body>, nullptr, nullptr, nullptr});
  }
};

// A class attribute holding an instance of the class made once, when the type is built.
template <class C, auto V>
PyObject* constant_factory() noexcept {
  return trap<PyObject*>(nullptr, [] { return make<C>(typename C::Value(V)).release(); });
}
template <Name M, auto V>
struct Constant {
  template <class C>
  void add(ClassRecord& r) const {
    r.class_attributes.push_back({M.text, &constant_factory<C, V>});
  }
};

// A slot with the receiver only.
template <int Slot, auto Body>
struct UnarySlot {
  template <class C>
  void add(ClassRecord& r) const {
    r.on_build.push_back(&Signature<C, "">::prepare);
    r.slots.push_back({Slot, slot_fn(&unary_entry<C, Body>)});
  }
};
template <auto Body>
using Repr = UnarySlot<Py_tp_repr, Body>;
template <auto Body>
using Str = UnarySlot<Py_tp_str, Body>;
template <auto Body>
using Int = UnarySlot<Py_nb_int, Body>;
template <auto Body>
struct Len {
  template <class C>
  void add(ClassRecord& r) const {
    r.slots.push_back({Py_mp_length, slot_fn(&len_entry<C, Body>)});
  }
};
// __getitem__ with one parameter named P; also the integer item protocol
// (no length is registered for it, so iteration ends at the first IndexError).
template <auto Body, Name P>
struct GetItem {
  template <class C>
  void add(ClassRecord& r) const {
    r.on_build.push_back(&Signature<C, "__getitem__", P>::prepare);
    r.slots.push_back({Py_mp_subscript, slot_fn(&subscript_entry<C, Body, P>)});
    r.slots.push_back({Py_sq_item, slot_fn(&item_entry<C, Body, P>)});
  }
};
template <auto Body, Name P>
struct Contains {
  template <class C>
  void add(ClassRecord& r) const {
    r.on_build.push_back(&Signature<C, "__contains__", P>::prepare);
    r.slots.push_back({Py_sq_contains, slot_fn(&contains_entry<C, Body, P>)});
  }
};
template <auto Body>
struct Compare {
  template <class C>
  void add(ClassRecord& r) const {
    r.slots.push_back({Py_tp_richcompare, slot_fn(&compare_entry<C, Body>)});
  }
};

// The class table. Instances hold no Python references, so no type takes
// part in garbage collection; tp_dealloc destroys the value in place, frees
// the memory and drops the instance's reference to its heap type.
void register_record(ClassRecord* r);

template <class C>
class Class {
 public:
  template <class... E>
  explicit Class(const E&... entries) {
    auto* r = new ClassRecord;
    r->name = C::name;
    r->doc = C::doc;
    r->signature = C::signature;
    r->order = C::order;
    r->basicsize = static_cast<int>(sizeof(Instance<typename C::Value>));
    r->slots.push_back({Py_tp_dealloc, slot_fn(&dealloc_entry<C>)});
    (entries.template add<C>(*r), ...);
    bool has_new = false;
    for (const PyType_Slot& s : r->slots) has_new = has_new || s.slot == Py_tp_new;
    if (!has_new) r->slots.push_back({Py_tp_new, slot_fn(&no_constructor_entry<C>)});
    record_of<C> = r;
    register_record(r);
  }
};

}  // namespace qb::py
