#pragma once
// Instances of the module's classes, their borrows, and the type objects
// built from class records.
#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "pyapi/errors.hpp"
#include "pyapi/references.hpp"
#include "tree/failure.hpp"

namespace qb::py {

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

}  // namespace qb::py
