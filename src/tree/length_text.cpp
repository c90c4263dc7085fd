#include "length_text.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace qb {

namespace {

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr char kTwoDigits[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the decimal digits of m right-aligned so that they end at `end`;
// returns where they begin.
char* digits_before(uint64_t m, char* end) {
  while (m >= 100) {
    end -= 2;
    std::memcpy(end, kTwoDigits + 2 * (m % 100), 2);
    m /= 100;
  }
  if (m >= 10) {
    end -= 2;
    std::memcpy(end, kTwoDigits + 2 * m, 2);
  } else {
    *--end = static_cast<char>('0' + m);
  }
  return end;
}

// Removes the trailing zeros of m (0 < m <= 10^15), adding their count to e.
void strip_zeros(uint64_t& m, int& e) {
  if (m % 100000000 == 0) m /= 100000000, e += 8;
  if (m % 10000 == 0) m /= 10000, e += 4;
  if (m % 100 == 0) m /= 100, e += 2;
  if (m % 10 == 0) m /= 10, e += 1;
}

// value * 10^p, or its inverse, rounded once (|p| <= 22, so 10^|p| is exact).
inline double scale(double value, int p) { return p >= 0 ? value * kPow10[p] : value / kPow10[-p]; }
inline double unscale(double m, int p) { return p >= 0 ? m / kPow10[p] : m * kPow10[-p]; }

// The fast path, for values whose shortest form has at most 15 significant
// digits and an exponent within reach of exact powers of ten; false leaves
// the value to the general algorithm.
//
// Why it is exact: with s = value * 10^p in [10^14, 10^15], the decimals of
// at most 15 digits near value are spaced further apart than the width of
// value's rounding interval, so at most one of them rounds to value, and it
// is then the shortest once its trailing zeros are gone. Such a decimal m
// lies within 2^-53 * 10^15 < 0.12 of the exact s, and the rounded product
// within as much again, so m is the nearest integer to the computed s. The
// check m / 10^p == value is exact: m < 2^53 and 10^p are exact doubles and
// the quotient is rounded once, as the reader rounds the text.
bool short_decimal(double value, ShortestDecimal& out) {
  const int binary_exponent = static_cast<int>(std::bit_cast<uint64_t>(value) >> 52) - 1023;
  // floor(binary_exponent * log10(2)): the decimal exponent of value or one less.
  int p = 14 - ((binary_exponent * 78913) >> 18);
  if (p < -21 || p > 22) return false;
  double s = scale(value, p);
  if (s >= 1e15) s = scale(value, --p);
  uint64_t m = static_cast<uint64_t>(s + 0.5);
  if (unscale(static_cast<double>(m), p) != value) return false;
  int e = -p;
  strip_zeros(m, e);
  out = {m, e};
  return true;
}

}  // namespace

ShortestDecimal shortest_decimal_reference(double value) {
  // Scientific notation without a precision is the shortest round trip
  // ("1e+23", "1.2345e-05"); fixed notation is the fewest characters, which
  // above 2^53 spells out every binary digit instead.
  char buf[40];
  const char* end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific).ptr;
  uint64_t digits = 0;
  int fraction = 0;
  const char* p = buf;
  bool after_point = false;
  for (; *p != 'e'; ++p) {
    if (*p == '.') {
      after_point = true;
      continue;
    }
    digits = digits * 10 + static_cast<uint64_t>(*p - '0');
    fraction += after_point;
  }
  int exponent = 0;
  std::from_chars(p[1] == '+' ? p + 2 : p + 1, end, exponent);
  ShortestDecimal d{digits, exponent - fraction};
  // The general algorithm already gives no trailing zero but for "0e+00".
  while (d.digits != 0 && d.digits % 10 == 0) d.digits /= 10, ++d.exponent;
  return d;
}

ShortestDecimal shortest_decimal(double value) {
  ShortestDecimal d;
  if (short_decimal(value, d)) return d;
  return shortest_decimal_reference(value);
}

char* write_length_text(double value, char* out) {
  if (!std::isfinite(value)) return std::to_chars(out, out + kMaxLengthText, value).ptr;
  if (std::signbit(value)) {
    *out++ = '-';
    value = -value;
  }
  if (value == 0) {
    *out++ = '0';
    return out;
  }
  const ShortestDecimal d = shortest_decimal(value);
  char buf[24];
  char* const digits_end = buf + sizeof buf;
  const char* digits = digits_before(d.digits, digits_end);
  const int n = static_cast<int>(digits_end - digits);
  if (d.exponent >= 0) {
    // Integral: the digits, then the zeros the exponent stands for.
    std::memcpy(out, digits, static_cast<size_t>(n));
    out += n;
    std::memset(out, '0', static_cast<size_t>(d.exponent));
    return out + d.exponent;
  }
  const int whole = n + d.exponent;  // digits before the point
  if (whole > 0) {
    std::memcpy(out, digits, static_cast<size_t>(whole));
    out += whole;
    *out++ = '.';
    std::memcpy(out, digits + whole, static_cast<size_t>(n - whole));
    return out + (n - whole);
  }
  *out++ = '0';
  *out++ = '.';
  std::memset(out, '0', static_cast<size_t>(-whole));
  out += -whole;
  std::memcpy(out, digits, static_cast<size_t>(n));
  return out + n;
}

}  // namespace qb
