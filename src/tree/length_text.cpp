#include "length_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace qb {

namespace {

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
