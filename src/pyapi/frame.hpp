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
// To fail, a body returns an error Result, throws via raise_value() /
// raise_index() / raise_type() / raise_overflow(), lets a qb::Panic escape
// (PanicException), or throws PyError after a Python API call failed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tree/failure.hpp"
#include "tree/large_pages.hpp"
#include "tree/taxon_set.hpp"

namespace qb::py {

// ---------------------------------------------------------------------------
// Owned references: the one place where reference counts are dropped.

class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = o.p_;
      o.p_ = nullptr;
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Errors. A body (or a conversion) fails in one of three ways:
//  - throws Raise: the frame raises the Python exception of that kind;
//  - throws PyError: a Python exception is already set (a failed API call);
//  - throws anything else: the failure trap turns it into PanicException
//    (std::bad_alloc into MemoryError).

struct PyError {};

enum class ErrorKind { Value, Index, Type, Overflow, Runtime };

struct Raise {
  ErrorKind kind;
  std::string text;
};

// The one mapping from a failure of ours to a Python exception.
void set_error(const Raise& error) noexcept;

[[noreturn]] inline void raise(ErrorKind kind, std::string text) { throw Raise{kind, std::move(text)}; }
[[noreturn]] inline void raise_value(std::string text) { raise(ErrorKind::Value, std::move(text)); }
[[noreturn]] inline void raise_index(std::string text) { raise(ErrorKind::Index, std::move(text)); }
[[noreturn]] inline void raise_type(std::string text) { raise(ErrorKind::Type, std::move(text)); }
[[noreturn]] inline void raise_overflow(std::string text) { raise(ErrorKind::Overflow, std::move(text)); }

// Returns `p`, or throws PyError when it is null (the API call failed).
inline PyObject* check(PyObject* p) {
  if (p == nullptr) throw PyError{};
  return p;
}

// Returns `p`, or throws PyError when it is null.
inline char* check_bytes(char* p) {
  if (p == nullptr) throw PyError{};
  return p;
}

// TypeError "'<type name>' object cannot be converted to '<expected>'".
[[noreturn]] void refuse(PyObject* object, const char* expected);

// Name of an object's type, as the refusal texts show it.
std::string type_name(PyObject* object);

// ValueError with `prefix` + `message`. Out of line: keeps the error path out
// of every caller (and GCC 12's -Wfree-nonheap-object false positive away).
[[noreturn]] void raise_value_prefixed(std::string_view prefix, const std::string& message);

// The value of a Result, or ValueError with `prefix` + its message.
template <class T>
T value_or_raise(qb::Result<T>&& result, std::string_view prefix = {}) {
  if (!result.ok()) raise_value_prefixed(prefix, result.error());
  return std::move(result.value());
}

// The failure trap: classifies the exception in flight and sets the Python
// error. Call only from inside a catch handler.
void translate_current_exception() noexcept;

template <class R, class F>
R trap(R failure, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    translate_current_exception();
    return failure;
  }
}

// The type object of the exception raised for internal failures (created on
// first need; a new reference is not returned). Null with an error set if it
// cannot be made.
PyObject* panic_exception_type() noexcept;

// ---------------------------------------------------------------------------
// Instances: PyObject_HEAD, the borrow counter, one C++ value in place.

struct Header {
  PyObject ob_base;
  // 0 free, n > 0 shared borrows, -1 one exclusive borrow.
  std::atomic<int64_t> borrow;
};

template <class V>
struct Instance {
  Header header;
  alignas(V) unsigned char storage[sizeof(V)];
};

template <class V>
inline V& stored_value(PyObject* o) noexcept {
  return *std::launder(reinterpret_cast<V*>(reinterpret_cast<Instance<V>*>(o)->storage));
}

inline Header* header_of(PyObject* o) noexcept { return reinterpret_cast<Header*>(o); }

class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject* o) : h_(header_of(o)) {
    int64_t c = h_->borrow.load(std::memory_order_relaxed);
    do {
      if (c < 0) raise(ErrorKind::Runtime, "Already mutably borrowed");
    } while (!h_->borrow.compare_exchange_weak(c, c + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
  }
  SharedBorrow(SharedBorrow&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    if (h_) h_->borrow.fetch_sub(1, std::memory_order_release);
  }

 private:
  Header* h_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(PyObject* o) : h_(header_of(o)) {
    int64_t expected = 0;
    if (!h_->borrow.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                            std::memory_order_relaxed))
      raise(ErrorKind::Runtime, "Already borrowed");
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() { h_->borrow.store(0, std::memory_order_release); }

 private:
  Header* h_;
};

// ---------------------------------------------------------------------------
// Class records: what a class table registers, and the type built from it.

struct ClassRecord {
  const char* name = nullptr;       // Python name, e.g. "TreeSet"
  const char* doc = "";             // doc text
  const char* signature = nullptr;  // text signature, e.g. "(arg)", or none
  int order = 0;                    // place among the module's attributes; 0: lazily built
  int basicsize = 0;
  std::string qualified_name;       // "quorbelin.<name>"; the type keeps pointing at it
  std::string docstring;
  std::vector<PyMethodDef> methods;
  std::vector<PyGetSetDef> getsets;
  std::vector<PyType_Slot> slots;
  std::vector<std::pair<const char*, PyObject* (*)()>> class_attributes;
  std::vector<void (*)()> on_build;      // one-time preparation (interned parameter names)
  std::vector<std::string*> doc_texts;   // method docstrings, alive as long as the type
  PyTypeObject* type = nullptr;
};

// Every registered class, in registration order.
std::vector<ClassRecord*>& class_registry();

// Builds the type of `record` if not built yet. Null with an error set on failure.
PyTypeObject* ensure_type(ClassRecord& record) noexcept;

template <class C>
inline ClassRecord* record_of = nullptr;

// The type object of class C, built on first use. A failure to build it stops
// the call ("failed to create type object for <name>").
[[noreturn]] void type_build_failed(const char* name);

template <class C>
PyTypeObject* type_of() {
  ClassRecord* r = record_of<C>;
  if (r != nullptr && r->type != nullptr) [[likely]]
    return r->type;
  if (r == nullptr) qb::panic(std::string("class ") + C::name + " is not part of this build");
  if (ensure_type(*r) == nullptr) type_build_failed(C::name);
  return r->type;
}

template <class C>
bool is_instance(PyObject* o) {
  return Py_TYPE(o) == type_of<C>();
}

// A new instance of class C holding `value`.
template <class C, class V>
Ref make(V&& value) {
  using Value = typename C::Value;
  static_assert(alignof(Value) <= 16, "instance storage is aligned to 16 bytes at most");
  PyTypeObject* type = type_of<C>();
  void* memory = PyObject_Malloc(sizeof(Instance<Value>));
  if (memory == nullptr) {
    PyErr_NoMemory();
    throw PyError{};
  }
  auto* inst = static_cast<Instance<Value>*>(memory);
  try {
    ::new (static_cast<void*>(inst->storage)) Value(std::forward<V>(value));
  } catch (...) {
    PyObject_Free(memory);
    throw;
  }
  ::new (static_cast<void*>(&inst->header.borrow)) std::atomic<int64_t>(0);
  return Ref::steal(PyObject_Init(reinterpret_cast<PyObject*>(memory), type));
}

// Result wrapper: a value of class C's value type, to become a new instance of C.
template <class C>
struct New {
  using class_type = C;
  typename C::Value value;
};

// An argument of class C, read under a shared borrow held for the whole call.
template <class C>
class Shared {
 public:
  using Value = typename C::Value;
  explicit Shared(PyObject* o) : object_(Ref::borrow(o)), borrow_(o) {}
  const Value& value() const noexcept { return stored_value<Value>(object_.get()); }
  const Value& operator*() const noexcept { return value(); }
  const Value* operator->() const noexcept { return &value(); }
  PyObject* object() const noexcept { return object_.get(); }

 private:
  Ref object_;  // declared first: released after the borrow
  SharedBorrow borrow_;
};

// Takes a shared borrow of `o`, which must be an instance of C (else the
// refusal by type naming C).
template <class C>
Shared<C> share(PyObject* o) {
  if (!is_instance<C>(o)) refuse(o, C::name);
  return Shared<C>(o);
}

// ---------------------------------------------------------------------------
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
  std::vector<T> value;
};

// Length of a sequence argument, or the refusals of the list kinds.
Py_ssize_t sequence_length(PyObject* o);

template <class T>
struct Arg<std::vector<T>> {
  using Storage = Kept<T>;
  static_assert(std::is_same_v<typename Arg<T>::Storage, T>, "nested kept storage is not supported");
  static Storage convert(PyObject* o) {
    const Py_ssize_t n = sequence_length(o);
    Storage s;
    s.items.reserve(static_cast<size_t>(n));
    s.value.reserve(static_cast<size_t>(n));
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

template <class M>
struct MapArg : Plain<M> {
  using K = typename M::key_type;
  using V = typename M::mapped_type;
  static M convert(PyObject* o) {
    check_dict(o);
    M m;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* val;
    while (PyDict_Next(o, &pos, &key, &val)) {
      auto k = Arg<K>::convert(key);
      auto v = Arg<V>::convert(val);
      m.emplace(Arg<K>::take(k), Arg<V>::take(v));
    }
    return m;
  }
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

// ---------------------------------------------------------------------------
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
// nullopt, or any failure, answers NotImplemented. It is returned through Ref,
// never Py_RETURN_NOTIMPLEMENTED: headers of 3.12 on define that macro without
// the reference that 3.10 and 3.11 (which this module also serves) take back.
template <class C, auto Body>
PyObject* compare_entry(PyObject* self, PyObject* other, int op) noexcept {
  try {
    if (op < Py_LT || op > Py_GE || Py_TYPE(self) != type_of<C>()) return Ref::borrow(Py_NotImplemented).release();
    SharedBorrow guard(self);
    std::optional<bool> r = Body(std::as_const(stored_value<typename C::Value>(self)), other, static_cast<CompareOp>(op));
    if (!r) {
      if (PyErr_Occurred()) PyErr_Clear();
      return Ref::borrow(Py_NotImplemented).release();
    }
    return Ref::borrow(*r ? Py_True : Py_False).release();
  } catch (...) {
    if (PyErr_Occurred()) PyErr_Clear();
    return Ref::borrow(Py_NotImplemented).release();
  }
}

// ---------------------------------------------------------------------------
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

template <Name M, auto Body, Name... P>
struct Method {
  const char* doc = "";
  template <class C>
  void add(ClassRecord& r) const {
    r.on_build.push_back(&Signature<C, M, P...>::prepare);
    r.methods.push_back({M.text, method_fn(&method_entry<C, M, Body, P...>), METH_FASTCALL | METH_KEYWORDS,
                         method_docstring(r, M.text, "$self", {P.text...}, doc)});
  }
};

template <Name M, auto Body, Name... P>
struct ClassMethod {
  const char* doc = "";
  template <class C>
  void add(ClassRecord& r) const {
    r.on_build.push_back(&Signature<C, M, P...>::prepare);
    r.methods.push_back({M.text, method_fn(&class_method_entry<C, M, Body, P...>),
                         METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
                         method_docstring(r, M.text, "$cls", {P.text...}, doc)});
  }
};

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

template <auto Body>
struct Repr {
  template <class C>
  void add(ClassRecord& r) const {
    r.on_build.push_back(&Signature<C, "">::prepare);
    r.slots.push_back({Py_tp_repr, slot_fn(&unary_entry<C, Body>)});
  }
};
template <auto Body>
struct Str {
  template <class C>
  void add(ClassRecord& r) const {
    r.on_build.push_back(&Signature<C, "">::prepare);
    r.slots.push_back({Py_tp_str, slot_fn(&unary_entry<C, Body>)});
  }
};
template <auto Body>
struct Int {
  template <class C>
  void add(ClassRecord& r) const {
    r.on_build.push_back(&Signature<C, "">::prepare);
    r.slots.push_back({Py_nb_int, slot_fn(&unary_entry<C, Body>)});
  }
};
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
