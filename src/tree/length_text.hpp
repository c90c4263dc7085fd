#pragma once
// Branch lengths as text: the fewest significant digits that read back as
// the same double, written out in plain decimal (no exponent, no '+', no
// trailing zeros after the point, no point for an integral value).
#include <cstddef>
#include <cstdint>

namespace qb {

// value = digits * 10^exponent, with `digits` holding no trailing zero.
struct ShortestDecimal {
  uint64_t digits;
  int exponent;
};

// The shortest decimal that rounds to `value` (finite, > 0); of several such,
// the one nearest to `value`.
ShortestDecimal shortest_decimal(double value);

// The same through the general algorithm only (the reference that the fast
// path of shortest_decimal is checked against).
ShortestDecimal shortest_decimal_reference(double value);

// Longest text write_length_text writes: "-0." and 323 zeros before the 5
// of the smallest subnormal, padded.
constexpr size_t kMaxLengthText = 336;

// Writes the text of any double ("1", "0.0000001", "inf", "-0", "nan") at
// `out`, which has room for kMaxLengthText bytes; returns the end.
char* write_length_text(double value, char* out);

}  // namespace qb
