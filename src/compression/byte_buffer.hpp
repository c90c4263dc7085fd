#pragma once
// A growable block of bytes that is never zero-filled nor touched ahead of
// writing: a buffer grown ahead of its contents takes memory only for the
// pages written, and grows in place (large blocks are remapped, not copied).
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <string_view>

#include "tree/large_pages.hpp"

namespace qb {

class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;
  explicit ByteBuffer(size_t size) { resize(size); }

  // Keeps the first min(old, new) bytes; bytes beyond them are unspecified.
  // std::bad_alloc on failure, the buffer unchanged.
  void resize(size_t size) {
    void* grown = std::realloc(bytes_.get(), size ? size : 1);
    if (grown == nullptr) throw std::bad_alloc();
    (void)bytes_.release();
    bytes_.reset(static_cast<char*>(grown));
    if (size > size_) prefer_large_pages(bytes_.get() + size_, size - size_);
    size_ = size;
  }

  char* data() noexcept { return bytes_.get(); }
  const char* data() const noexcept { return bytes_.get(); }
  size_t size() const noexcept { return size_; }
  std::string_view view() const noexcept { return {bytes_.get(), size_}; }

 private:
  struct Free {
    void operator()(char* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<char, Free> bytes_;
  size_t size_ = 0;
};

}  // namespace qb
