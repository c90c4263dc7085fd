#pragma once
// Large buffers about to be written whole (arenas of big trees, stored forms)
// fault in far fewer times when backed by large pages, and faster still when
// their pages are made present in one call.
#include <cstddef>
#include <vector>

namespace qb {

// A hint that [data, data + size) will soon be written whole: where the
// system allows it, the whole large pages inside it get large-page backing
// and its pages are made present at once.
// Small buffers are left alone. Never fails.
void advise_large_pages(void* data, size_t size) noexcept;

// Large-page backing alone, for a buffer that may be written only in part:
// its pages are still taken only when first written. Never fails.
void prefer_large_pages(void* data, size_t size) noexcept;

// Fresh memory about to be written whole: where the system offers it, its
// pages are all taken in one call rather than one fault each. Small buffers
// are left alone. Never fails.
void populate_for_write(void* data, size_t size) noexcept;

// v becomes n copies of x; a large new buffer gets the hint before it is
// first written.
template <class T>
void assign_large(std::vector<T>& v, size_t n, const T& x) {
  if (n > v.capacity()) {
    std::vector<T>().swap(v);
    v.reserve(n);
    advise_large_pages(v.data(), n * sizeof(T));
  }
  v.assign(n, x);
}

}  // namespace qb
