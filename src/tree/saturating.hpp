#pragma once
// Arithmetic on byte and element counts that stops at the ends of uint64_t
// instead of wrapping: a count read from untrusted input can be anything, and
// a sum or product that saturates still fails every bound it is checked
// against.
#include <cstdint>

namespace qb {

inline uint64_t saturating_add(uint64_t a, uint64_t b) noexcept { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
inline uint64_t saturating_sub(uint64_t a, uint64_t b) noexcept { return a > b ? a - b : 0; }
inline uint64_t saturating_mul(uint64_t a, uint64_t b) noexcept {
  return b && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

}  // namespace qb
