#include "large_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace qb {
namespace {

#if defined(__linux__)
// The whole units of `unit` bytes (a power of two) inside [data, data + size)
// get the advice; a range holding none is left alone.
[[maybe_unused]] void advise_whole_units(void* data, size_t size, uintptr_t unit, int advice) noexcept {
  const auto at = reinterpret_cast<uintptr_t>(data);
  const uintptr_t begin = (at + unit - 1) & ~(unit - 1);
  const uintptr_t end = (at + size) & ~(unit - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, advice);
}
#endif

}  // namespace

void populate_for_write(void* data, size_t size) noexcept {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  // Every whole page made present in one call instead of one fault each (the
  // faults, not the clearing, are most of the cost of a fresh arena). Kernels
  // before 5.14 refuse it, and the pages fault in as before.
  if (size >= (size_t{64} << 10))
    advise_whole_units(data, size, static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)), MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)size;
#endif
}

void prefer_large_pages(void* data, size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kLarge = uintptr_t{2} << 20;
  if (size >= 2 * kLarge) advise_whole_units(data, size, kLarge, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

void advise_large_pages(void* data, size_t size) noexcept {
  prefer_large_pages(data, size);
  populate_for_write(data, size);
}

}  // namespace qb
