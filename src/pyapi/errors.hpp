#pragma once
// Failing from the frame: the kinds of failure, the one mapping to Python
// exceptions, and the failure trap every entry runs its body under.
#include <string>
#include <string_view>
#include <utility>

#include "pyapi/references.hpp"
#include "tree/failure.hpp"

namespace qb::py {

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

}  // namespace qb::py
