#include "length_text.hpp"

#include <algorithm>
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

// Removes the trailing zeros of m (0 < m, at most 15 of them), adding their count to e.
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

// 5^0 to 5^27, the largest power of five below 2^64.
constexpr uint64_t kPow5[] = {
    1, 5, 25, 125, 625, 3125,
    15625, 78125, 390625, 1953125, 9765625, 48828125,
    244140625, 1220703125, 6103515625, 30517578125, 152587890625, 762939453125,
    3814697265625, 19073486328125, 95367431640625, 476837158203125, 2384185791015625, 11920928955078125,
    59604644775390625, 298023223876953125, 1490116119384765625, 7450580596923828125};

// The exact path, for lengths up to 10^16 written in full precision (16 or
// 17 significant digits), and for short ones the fast path cannot reach.
// With value = M * 2^E and p >= 0 chosen so that s = value * 10^p lies in
// [10^16, 10^17), everything is an integer in units of u = 2^(p+E-1):
// s = 2M * 5^p u, and the decimals that round to value are the integers k
// with (2M - 1) 5^p u <= k <= (2M + 1) 5^p u, the ends included when M is
// even (the reader rounds half to even). For p <= 27 these fit 128 bits.
// Of those integers, the multiples of the largest power of ten that has one
// there are the shortest; of these, the nearest to s. Left to the general
// algorithm: powers of two (their interval is uneven), exact ties, and
// values outside [2^-37, 10^16].
bool exact_decimal(double value, ShortestDecimal& out) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  const uint64_t fraction_bits = bits & ((uint64_t{1} << 52) - 1);
  const int biased = static_cast<int>(bits >> 52);
  if (fraction_bits == 0 || biased == 0) return false;
  const int binary_exponent = biased - 1023;
  if (binary_exponent < -37 || binary_exponent > 53) return false;
  const uint64_t m = fraction_bits | (uint64_t{1} << 52);
  const int e = binary_exponent - 52;  // value = m * 2^e
  int p = 16 - ((binary_exponent * 78913) >> 18);
  if (p > 27) return false;
  using u128 = unsigned __int128;
  // s = value * 10^p; one step down when it reached 10^17.
  auto shift_of = [&](int q) { return 1 - q - e; };  // u = 2^-shift
  if (p < 0 || shift_of(p) < 0) return false;
  if ((static_cast<u128>(2 * m) * kPow5[p]) >> shift_of(p) >= 100000000000000000ull) {
    if (--p < 0 || shift_of(p) < 0) return false;
  }
  const int shift = shift_of(p);
  const u128 five = kPow5[p];
  const u128 mask = (static_cast<u128>(1) << shift) - 1;
  const u128 scaled = static_cast<u128>(2 * m) * five;
  const u128 lo = scaled - five, hi = scaled + five;
  const bool ends_in = (m & 1) == 0;
  // The integers in reach: [a, b].
  const uint64_t a = static_cast<uint64_t>(lo >> shift) + ((lo & mask) != 0 || !ends_in);
  const uint64_t b = static_cast<uint64_t>(hi >> shift) - ((hi & mask) == 0 && !ends_in);
  // The largest power of ten t with a multiple in [a, b]. The interval is
  // less than 23 wide, so t is 1 or 10 but for decimals of 15 digits or
  // fewer that the fast path could not reach; those take the loop.
  uint64_t t = b / 10 * 10 >= a ? 10 : 1;
  int zeros = t == 10;
  if (b / 100 * 100 >= a)
    while (t <= b / 10 && b / (t * 10) * (t * 10) >= a) t *= 10, ++zeros;
  // The multiple of t nearest to s: floor(s) = q t + r, and s - q t in
  // units of u compared with t / 2.
  const uint64_t whole = static_cast<uint64_t>(scaled >> shift);
  const uint64_t q = t == 1 ? whole : t == 10 ? whole / 10 : whole / t;
  const uint64_t r = whole - q * t;
  const u128 below = ((static_cast<u128>(r) << shift) + (scaled & mask)) << 1;
  const u128 half = static_cast<u128>(t) << shift;
  if (below == half) return false;
  uint64_t c = q + (below > half);
  c = std::clamp(c, (a + t - 1) / t, b / t);
  int exponent = zeros - p;
  strip_zeros(c, exponent);
  out = {c, exponent};
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
  if (short_decimal(value, d) || exact_decimal(value, d)) return d;
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
