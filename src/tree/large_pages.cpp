#include "large_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace qb {

void advise_large_pages(void* data, size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kLarge = uintptr_t{2} << 20;
  // Below this a buffer faults in few enough times to leave alone.
  constexpr size_t kSmall = size_t{64} << 10;
  if (size < kSmall) return;
  const auto at = reinterpret_cast<uintptr_t>(data);
  if (size >= 2 * kLarge) {
    const uintptr_t begin = (at + kLarge - 1) & ~(kLarge - 1);
    const uintptr_t end = (at + size) & ~(kLarge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
#if defined(MADV_POPULATE_WRITE)
  // Every whole page made present in one call instead of one fault each
  // (the faults, not the clearing, were most of the cost of a fresh arena).
  // Kernels before 5.14 refuse it, and the pages fault in as before.
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t first = (at + page - 1) & ~(page - 1);
  const uintptr_t last = (at + size) & ~(page - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#endif
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace qb
