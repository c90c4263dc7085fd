#include "large_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qb {

void advise_large_pages(void* data, size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kLarge = uintptr_t{2} << 20;
  if (size < 4 * kLarge) return;
  const auto at = reinterpret_cast<uintptr_t>(data);
  const uintptr_t begin = (at + kLarge - 1) & ~(kLarge - 1);
  const uintptr_t end = (at + size) & ~(kLarge - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace qb
