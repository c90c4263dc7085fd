#pragma once
// Argument binding and the entry points: the C functions the interpreter
// calls, each running one body under the failure trap.
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "pyapi/conversions.hpp"
#include "pyapi/errors.hpp"
#include "pyapi/instances.hpp"
#include "pyapi/references.hpp"

namespace qb::py {

// Argument binding.

// Compile-time text for names in class tables.
template <size_t N>
struct Name {
  char text[N]{};
  constexpr Name(const char (&s)[N]) {
    for (size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

struct Params {
  std::string full_name;               // "Class.method()"
  std::vector<std::string> names;      // parameter names, in order
  std::vector<PyObject*> interned;     // the same, interned once
  Py_ssize_t required = 0;             // leading parameters without a default
};

// `raw` are the table's parameter texts ("name" or "name=None").
void prepare_params(Params& p, const char* class_name, const char* method, std::initializer_list<const char*> raw);

// Fills out[0..names) with borrowed arguments (null: omitted, has a default).
// False with a TypeError set on a binding error.
bool bind_vector(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
bool bind_tuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out);

// Replaces a TypeError in flight by "argument '<name>': <message>", keeping its cause.
void prefix_type_error(const std::string& name) noexcept;

template <class C, Name M, Name... P>
struct Signature {
  static inline Params params;
  static void prepare() { prepare_params(params, C::name, M.text, {P.text...}); }
};

template <class T>
typename Arg<T>::Storage convert_param(PyObject* o, const Params& p, size_t i) {
  if (o == nullptr) {
    if constexpr (requires { Arg<T>::missing(); })
      return Arg<T>::missing();
    else
      qb::panic("parameter '" + p.names[i] + "' has a default but its type has no absent value");
  }
  try {
    return Arg<T>::convert(o);
  } catch (const PyError&) {
    prefix_type_error(p.names[i]);
    throw;
  }
}

// ---------------------------------------------------------------------------
// Body signatures.

template <class F>
struct fn_traits : fn_traits<decltype(&F::operator())> {};
template <class R, class... A>
struct fn_traits<R (*)(A...)> {
  using result = R;
  using args = std::tuple<A...>;
};
template <class R, class... A>
struct fn_traits<R (*)(A...) noexcept> : fn_traits<R (*)(A...)> {};
template <class R, class L, class... A>
struct fn_traits<R (L::*)(A...) const> : fn_traits<R (*)(A...)> {};
template <class R, class L, class... A>
struct fn_traits<R (L::*)(A...) const noexcept> : fn_traits<R (*)(A...)> {};

template <auto Body>
using traits = fn_traits<std::remove_cv_t<decltype(Body)>>;
template <auto Body, size_t I>
using param_t = std::remove_cvref_t<std::tuple_element_t<I, typename traits<Body>::args>>;
template <auto Body>
inline constexpr size_t arity = std::tuple_size_v<typename traits<Body>::args>;

// Calls Body with the receiver's value (if any) and the converted arguments;
// returns the converted result as a new reference.
template <auto Body, class... Pre, class St, size_t... I>
Ref call_body(St& storages, std::index_sequence<I...>, Pre&&... pre) {
  constexpr size_t skip = sizeof...(Pre);
  using R = typename traits<Body>::result;
  if constexpr (std::is_void_v<R>) {
    Body(std::forward<Pre>(pre)..., Arg<param_t<Body, I + skip>>::take(std::get<I>(storages))...);
    return Ref::borrow(Py_None);
  } else {
    return to_py(Body(std::forward<Pre>(pre)..., Arg<param_t<Body, I + skip>>::take(std::get<I>(storages))...));
  }
}

template <auto Body, size_t Skip, size_t... I>
auto convert_all(PyObject* const* slots, const Params& p, std::index_sequence<I...>) {
  // Braced initialisation: conversions run in parameter order.
  return std::tuple<typename Arg<param_t<Body, I + Skip>>::Storage...>{
      convert_param<param_t<Body, I + Skip>>(slots[I], p, I)...};
}

template <class C>
void check_receiver(PyObject* self) {
  if (Py_TYPE(self) != type_of<C>()) refuse(self, C::name);
}

// A receiver body: `const Value&` (shared borrow) or `Value&` (exclusive).
template <class C, auto Body>
inline constexpr bool exclusive_body = [] {
  using First = std::tuple_element_t<0, typename traits<Body>::args>;
  static_assert(std::is_same_v<std::remove_cvref_t<First>, typename C::Value>,
                "the first parameter of a method body is the receiver's value");
  return std::is_lvalue_reference_v<First> && !std::is_const_v<std::remove_reference_t<First>>;
}();

// Steps 3 to 6 of the frame for a call with a receiver.
template <class C, auto Body>
PyObject* invoke(PyObject* self, PyObject* const* slots, const Params& p) {
  using Value = typename C::Value;
  constexpr size_t n = arity<Body> - 1;
  check_receiver<C>(self);
  Value& v = stored_value<Value>(self);
  if constexpr (exclusive_body<C, Body>) {
    ExclusiveBorrow guard(self);
    auto st = convert_all<Body, 1>(slots, p, std::make_index_sequence<n>{});
    return call_body<Body>(st, std::make_index_sequence<n>{}, v).release();
  } else {
    SharedBorrow guard(self);
    auto st = convert_all<Body, 1>(slots, p, std::make_index_sequence<n>{});
    return call_body<Body>(st, std::make_index_sequence<n>{}, std::as_const(v)).release();
  }
}

// ---------------------------------------------------------------------------
// Entry points: the C functions the interpreter calls.

template <class C, Name M, auto Body, Name... P>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static_assert(sizeof...(P) + 1 == arity<Body>, "parameter names must match the body's parameters");
  return trap<PyObject*>(nullptr, [&]() -> PyObject* {
    using S = Signature<C, M, P...>;
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(sizeof...(P)))
      return invoke<C, Body>(self, args, S::params);
    PyObject* slots[sizeof...(P) + 1];
    if (!bind_vector(S::params, args, nargs, kwnames, slots)) throw PyError{};
    return invoke<C, Body>(self, slots, S::params);
  });
}

template <class C, Name M, auto Body, Name... P>
PyObject* class_method_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  static_assert(sizeof...(P) == arity<Body>, "parameter names must match the body's parameters");
  return trap<PyObject*>(nullptr, [&]() -> PyObject* {
    using S = Signature<C, M, P...>;
    PyObject* slots[sizeof...(P) + 1];
    PyObject* const* use = args;
    if (!(kwnames == nullptr && nargs == static_cast<Py_ssize_t>(sizeof...(P)))) {
      if (!bind_vector(S::params, args, nargs, kwnames, slots)) throw PyError{};
      use = slots;
    }
    auto st = convert_all<Body, 0>(use, S::params, std::make_index_sequence<sizeof...(P)>{});
    return call_body<Body>(st, std::make_index_sequence<sizeof...(P)>{}).release();
  });
}

template <class C, class R>
Ref constructed(R&& r) {
  using D = std::remove_cvref_t<R>;
  if constexpr (is_result<D>::value)
    return constructed<C>(value_or_raise(std::move(r)));
  else if constexpr (is_new<D>::value)
    return to_py(std::move(r));
  else if constexpr (std::is_same_v<D, Ref>)
    return std::move(r);
  else
    return make<C>(std::forward<R>(r));
}

template <class C, auto Body, Name... P>
PyObject* new_entry(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  static_assert(sizeof...(P) == arity<Body>, "parameter names must match the body's parameters");
  return trap<PyObject*>(nullptr, [&]() -> PyObject* {
    using S = Signature<C, "__new__", P...>;
    PyObject* slots[sizeof...(P) + 1];
    if (!bind_tuple(S::params, args, kwargs, slots)) throw PyError{};
    auto st = convert_all<Body, 0>(slots, S::params, std::make_index_sequence<sizeof...(P)>{});
    auto call = [&]<size_t... I>(std::index_sequence<I...>) {
      return constructed<C>(Body(Arg<param_t<Body, I>>::take(std::get<I>(st))...));
    };
    return call(std::make_index_sequence<sizeof...(P)>{}).release();
  });
}

template <class C>
PyObject* no_constructor_entry(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", C::name);
  return nullptr;
}

template <class C>
void dealloc_entry(PyObject* self) noexcept {
  using Value = typename C::Value;
  PyTypeObject* type = Py_TYPE(self);
  stored_value<Value>(self).~Value();
  PyObject_Free(self);
  Py_DECREF(type);
}

// Slots with the receiver only (getters, __repr__, __str__, __int__).
template <class C, auto Body>
PyObject* unary_entry(PyObject* self) noexcept {
  return trap<PyObject*>(nullptr, [&]() -> PyObject* { return invoke<C, Body>(self, nullptr, Signature<C, "">::params); });
}

template <class C, auto Body>
PyObject* getter_entry(PyObject* self, void*) noexcept {
  return unary_entry<C, Body>(self);
}

template <class C, auto Body>
Py_ssize_t len_entry(PyObject* self) noexcept {
  return trap<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    check_receiver<C>(self);
    SharedBorrow guard(self);
    const uint64_t n = Body(std::as_const(stored_value<typename C::Value>(self)));
    if (n > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetNone(PyExc_OverflowError);
      throw PyError{};
    }
    return static_cast<Py_ssize_t>(n);
  });
}

template <class C, auto Body, Name P>
PyObject* subscript_entry(PyObject* self, PyObject* key) noexcept {
  return trap<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[1] = {key};
    return invoke<C, Body>(self, slots, Signature<C, "__getitem__", P>::params);
  });
}

// The integer item protocol: item i is __getitem__ of the int i.
template <class C, auto Body, Name P>
PyObject* item_entry(PyObject* self, Py_ssize_t i) noexcept {
  PyObject* key = PyLong_FromSsize_t(i);
  if (key == nullptr) return nullptr;
  PyObject* r = subscript_entry<C, Body, P>(self, key);
  Py_DECREF(key);
  return r;
}

template <class C, auto Body, Name P>
int contains_entry(PyObject* self, PyObject* item) noexcept {
  return trap<int>(-1, [&]() -> int {
    PyObject* slots[1] = {item};
    Ref r = Ref::steal(invoke<C, Body>(self, slots, Signature<C, "__contains__", P>::params));
    return r.get() == Py_True ? 1 : 0;
  });
}

enum class CompareOp { Lt = Py_LT, Le = Py_LE, Eq = Py_EQ, Ne = Py_NE, Gt = Py_GT, Ge = Py_GE };

// Body: std::optional<bool>(const Value& self, PyObject* other, CompareOp op);
// nullopt answers NotImplemented (a Python error it left set is cleared); a
// failure it throws goes through the failure trap like any other entry's.
template <class C, auto Body>
PyObject* compare_entry(PyObject* self, PyObject* other, int op) noexcept {
  return trap<PyObject*>(nullptr, [&]() -> PyObject* {
    if (op < Py_LT || op > Py_GE || Py_TYPE(self) != type_of<C>()) return Ref::borrow(Py_NotImplemented).release();
    SharedBorrow guard(self);
    std::optional<bool> r = Body(std::as_const(stored_value<typename C::Value>(self)), other, static_cast<CompareOp>(op));
    if (!r) {
      if (PyErr_Occurred()) PyErr_Clear();
      return Ref::borrow(Py_NotImplemented).release();
    }
    return to_py(*r).release();
  });
}

}  // namespace qb::py
