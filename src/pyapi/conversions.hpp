#pragma once
// Conversions between Python objects and the C++ types of bodies: arguments
// by the body's parameter types, results by its return type.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pyapi/errors.hpp"
#include "pyapi/instances.hpp"
#include "pyapi/references.hpp"
#include "tree/failure.hpp"
#include "tree/large_pages.hpp"
#include "tree/taxon_set.hpp"

namespace qb::py {

// Argument conversion, deduced from the body's parameter types.
//
// Arg<T>::convert(PyObject*) returns a Storage (which may keep Python objects
// alive for the call); Arg<T>::take(Storage&) hands the body its T. A failure
// sets a Python error and throws PyError.

struct BytesView {
  std::string_view data;
};

struct Bytes {
  std::string data;
};

// A bytes result written in place: the frame makes a bytes object of exactly
// `size` bytes and `write` fills all of them before the object is returned to
// anyone, so a large result is written once instead of built and copied.
struct BytesWrite {
  uint64_t size = 0;
  std::function<void(char*)> write;
};

template <class T>
inline constexpr bool always_false = false;

template <class T, class = void>
struct Arg {
  static_assert(always_false<T>, "no Python conversion for this parameter type");
};

template <class T>
struct Plain {
  using Storage = T;
  static T take(Storage& s) { return std::move(s); }
};

std::string_view text_of(PyObject* o);
uint64_t count_of(PyObject* o);
std::optional<bool> flag_of(PyObject* o);

template <>
struct Arg<std::string_view> : Plain<std::string_view> {
  static std::string_view convert(PyObject* o) { return text_of(o); }
};
template <>
struct Arg<std::string> : Plain<std::string> {
  static std::string convert(PyObject* o) { return std::string(text_of(o)); }
};
template <>
struct Arg<qb::HashedName> : Plain<qb::HashedName> {
  static qb::HashedName convert(PyObject* o) { return qb::HashedName(text_of(o)); }
};
template <>
struct Arg<uint64_t> : Plain<uint64_t> {
  static uint64_t convert(PyObject* o) { return count_of(o); }
};
template <>
struct Arg<std::optional<bool>> : Plain<std::optional<bool>> {
  static std::optional<bool> convert(PyObject* o) { return flag_of(o); }
  static std::optional<bool> missing() { return std::nullopt; }
};
template <>
struct Arg<bool> : Plain<bool> {
  static bool convert(PyObject* o) {
    std::optional<bool> f = o == Py_None ? std::nullopt : flag_of(o);
    if (!f) refuse(o, "PyBool");
    return *f;
  }
};
template <class T>
struct Arg<std::optional<T>> : Plain<std::optional<T>> {
  static std::optional<T> convert(PyObject* o) {
    if (o == Py_None) return std::nullopt;
    auto s = Arg<T>::convert(o);
    return Arg<T>::take(s);
  }
  static std::optional<T> missing() { return std::nullopt; }
};
template <>
struct Arg<BytesView> : Plain<BytesView> {
  static BytesView convert(PyObject* o);
};
template <>
struct Arg<PyObject*> : Plain<PyObject*> {
  static PyObject* convert(PyObject* o) { return o; }
};
template <class C>
struct Arg<Shared<C>> : Plain<Shared<C>> {
  static Shared<C> convert(PyObject* o) { return share<C>(o); }
};

// Any sequence but str; items converted in order. Items are kept alive for the
// call, so views into them (std::string_view) stay valid.
template <class T>
struct Kept {
  std::vector<Ref> items;
  T value;
};

// Length of a sequence argument, or the refusals of the list kinds.
Py_ssize_t sequence_length(PyObject* o);

// Items to make room for before the first is read: all `n` of a list or
// tuple, which holds its items already, but a bounded number for any other
// sequence, whose length is only claimed (range(2**62) costs nothing to
// make). Room for more is then taken as items arrive, so a bad item is
// refused before its sequence's length costs any memory.
size_t initial_room(PyObject* o, Py_ssize_t n);

template <class T>
struct Arg<std::vector<T>> {
  using Storage = Kept<std::vector<T>>;
  static_assert(std::is_same_v<typename Arg<T>::Storage, T>, "nested kept storage is not supported");
  static Storage convert(PyObject* o) {
    const Py_ssize_t n = sequence_length(o);
    const size_t room = initial_room(o, n);
    Storage s;
    s.items.reserve(room);
    s.value.reserve(room);
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref item = Ref::steal(check(PySequence_GetItem(o, i)));
      auto converted = Arg<T>::convert(item.get());
      s.value.push_back(Arg<T>::take(converted));
      s.items.push_back(std::move(item));
    }
    return s;
  }
  static std::vector<T> take(Storage& s) { return std::move(s.value); }
};

// Checks a pair argument; returns its two items (borrowed from the tuple).
std::pair<PyObject*, PyObject*> pair_items(PyObject* o);

template <class A, class B>
struct Arg<std::pair<A, B>> : Plain<std::pair<A, B>> {
  static_assert(std::is_same_v<typename Arg<A>::Storage, A> && std::is_same_v<typename Arg<B>::Storage, B>);
  static std::pair<A, B> convert(PyObject* o) {
    auto [x, y] = pair_items(o);
    auto a = Arg<A>::convert(x);
    auto b = Arg<B>::convert(y);
    return {Arg<A>::take(a), Arg<B>::take(b)};
  }
};

// Checks a dict argument (else the refusal "PyDict").
void check_dict(PyObject* o);

// Dict items are kept alive for the call like a sequence's, so views into
// keys and values (std::string_view) stay valid even if converting a later
// item runs Python code that changes the dict.
template <class M>
struct MapArg {
  using K = typename M::key_type;
  using V = typename M::mapped_type;
  using Storage = Kept<M>;
  static_assert(std::is_same_v<typename Arg<K>::Storage, K> && std::is_same_v<typename Arg<V>::Storage, V>,
                "nested kept storage is not supported");
  static Storage convert(PyObject* o) {
    check_dict(o);
    // A dict holds its items: its size bounds the room they need.
    const auto n = static_cast<size_t>(PyDict_Size(o));
    Storage s;
    s.items.reserve(2 * n);
    if constexpr (requires { s.value.reserve(n); }) s.value.reserve(n);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* val;
    while (PyDict_Next(o, &pos, &key, &val)) {
      s.items.push_back(Ref::borrow(key));
      s.items.push_back(Ref::borrow(val));
      auto k = Arg<K>::convert(key);
      auto v = Arg<V>::convert(val);
      s.value.emplace(Arg<K>::take(k), Arg<V>::take(v));
    }
    return s;
  }
  static M take(Storage& s) { return std::move(s.value); }
};
template <class K, class V, class H, class E, class A>
struct Arg<std::unordered_map<K, V, H, E, A>> : MapArg<std::unordered_map<K, V, H, E, A>> {};
template <class K, class V, class L, class A>
struct Arg<std::map<K, V, L, A>> : MapArg<std::map<K, V, L, A>> {};

// For bodies that meet a Python object themselves: the conversion of kind T
// (unprefixed errors), or nothing with the error cleared.
template <class T>
T convert(PyObject* o) {
  static_assert(std::is_same_v<typename Arg<T>::Storage, T>);
  return Arg<T>::convert(o);
}
template <class T>
std::optional<T> try_convert(PyObject* o) {
  try {
    return convert<T>(o);
  } catch (const PyError&) {
    PyErr_Clear();
    return std::nullopt;
  }
}

// ---------------------------------------------------------------------------
// Result conversion, deduced from the body's return type.

template <class T>
struct is_vector : std::false_type {};
template <class T, class A>
struct is_vector<std::vector<T, A>> : std::true_type {};
template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};
template <class T>
struct is_result : std::false_type {};
template <class T>
struct is_result<qb::Result<T>> : std::true_type {};
template <class T>
struct is_new : std::false_type {};
template <class C>
struct is_new<New<C>> : std::true_type {};
template <class T>
struct is_tuple : std::false_type {};
template <class... T>
struct is_tuple<std::tuple<T...>> : std::true_type {};
template <class A, class B>
struct is_tuple<std::pair<A, B>> : std::true_type {};

template <class T>
Ref to_py(T&& value);

template <class Tup, size_t... I>
Ref tuple_to_py(Tup&& t, std::index_sequence<I...>) {
  Ref out = Ref::steal(check(PyTuple_New(sizeof...(I))));
  (PyTuple_SetItem(out.get(), I, to_py(std::get<I>(std::forward<Tup>(t))).release()), ...);
  return out;
}

template <class T>
Ref to_py(T&& value) {
  using D = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<D, Ref>) {
    return std::move(value);
  } else if constexpr (std::is_same_v<D, PyObject*>) {
    return Ref::steal(check(value));
  } else if constexpr (std::is_same_v<D, bool>) {
    return Ref::borrow(value ? Py_True : Py_False);
  } else if constexpr (std::is_integral_v<D> && std::is_unsigned_v<D>) {
    return Ref::steal(check(PyLong_FromUnsignedLongLong(value)));
  } else if constexpr (std::is_integral_v<D>) {
    return Ref::steal(check(PyLong_FromLongLong(value)));
  } else if constexpr (std::is_floating_point_v<D>) {
    return Ref::steal(check(PyFloat_FromDouble(static_cast<double>(value))));
  } else if constexpr (std::is_same_v<D, std::string> || std::is_same_v<D, std::string_view>) {
    return Ref::steal(check(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()))));
  } else if constexpr (std::is_same_v<D, Bytes>) {
    return Ref::steal(check(PyBytes_FromStringAndSize(value.data.data(), static_cast<Py_ssize_t>(value.data.size()))));
  } else if constexpr (std::is_same_v<D, BytesWrite>) {
    if (value.size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_NoMemory();
      throw PyError{};
    }
    Ref out = Ref::steal(check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(value.size))));
    char* data = check_bytes(PyBytes_AsString(out.get()));
    qb::advise_large_pages(data, static_cast<size_t>(value.size));
    value.write(data);
    return out;
  } else if constexpr (is_vector<D>::value || std::is_same_v<D, qb::NameList>) {
    Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(value.size()))));
    Py_ssize_t i = 0;
    for (auto&& item : value) {
      if constexpr (std::is_lvalue_reference_v<T>)
        PyList_SetItem(list.get(), i++, to_py(item).release());
      else
        PyList_SetItem(list.get(), i++, to_py(std::move(item)).release());
    }
    return list;
  } else if constexpr (is_tuple<D>::value) {
    return tuple_to_py(std::forward<T>(value), std::make_index_sequence<std::tuple_size_v<D>>{});
  } else if constexpr (is_optional<D>::value) {
    if (!value) return Ref::borrow(Py_None);
    return to_py(*std::forward<T>(value));
  } else if constexpr (is_result<D>::value) {
    return to_py(value_or_raise(std::move(value)));
  } else if constexpr (is_new<D>::value) {
    return make<typename D::class_type>(std::move(value.value));
  } else {
    static_assert(always_false<D>, "no Python conversion for this result type");
  }
}

}  // namespace qb::py
