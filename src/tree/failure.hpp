#pragma once
// The two ways an operation of the core can fail.
//
// 1. An expected failure (input the caller can fix) is returned as a Result
//    holding a message; the binding layer raises it as ValueError.
// 2. A broken invariant (an index outside a sequence, a malformed number in a
//    length, links of a tree read from a stored state that do not form a tree)
//    throws Panic carrying the exact failure text. Every bounds check goes
//    through at() / check_index() so the texts are uniform.
#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <variant>

namespace qb {

class Panic : public std::exception {
 public:
  Panic(std::string message, const char* file, int line)
      : message_(std::move(message)), file_(file), line_(line) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const char* file() const noexcept { return file_; }
  int line() const noexcept { return line_; }

 private:
  std::string message_;
  const char* file_;
  int line_;
};

[[noreturn]] void panic(std::string message, const char* file = __builtin_FILE(),
                        int line = __builtin_LINE());

// "index out of bounds: the len is <len> but the index is <index>"
[[noreturn]] void panic_index(uint64_t len, uint64_t index, const char* file = __builtin_FILE(),
                              int line = __builtin_LINE());

inline void check_index(uint64_t len, uint64_t index, const char* file = __builtin_FILE(),
                        int line = __builtin_LINE()) {
  if (index >= len) [[unlikely]]
    panic_index(len, index, file, line);
}

// Checked element access. Signed indices are widened with their sign, so -1
// becomes 2^64 - 1 and fails the check like any other index past the end.
template <class Seq, class Index>
inline decltype(auto) at(Seq& seq, Index index, const char* file = __builtin_FILE(),
                         int line = __builtin_LINE()) {
  const uint64_t i = static_cast<uint64_t>(static_cast<int64_t>(index));
  if (i >= seq.size()) [[unlikely]]
    panic_index(seq.size(), i, file, line);
  return seq[i];
}

struct Error {
  std::string message;
};

// Value or message. Small stand-in for std::expected, which not every
// compiler used here (clang for the fuzzers) provides.
template <class T>
class Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const std::string& error() const& { return std::get<1>(v_).message; }
  std::string&& error() && { return std::move(std::get<1>(v_).message); }

 private:
  std::variant<T, Error> v_;
};

}  // namespace qb
