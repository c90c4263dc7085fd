// The fast path of shortest_decimal against the general algorithm, over
// millions of values: random bit patterns of every exponent, and short
// decimals (the usual branch length) of every magnitude.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <random>
#include <string>

#include "tree/length_text.hpp"

namespace qb {
namespace {

void expect_same_as_reference(double v) {
  const ShortestDecimal fast = shortest_decimal(v);
  const ShortestDecimal ref = shortest_decimal_reference(v);
  ASSERT_TRUE(fast.digits == ref.digits && fast.exponent == ref.exponent)
      << std::bit_cast<uint64_t>(v) << ": " << fast.digits << "e" << fast.exponent << " against "
      << ref.digits << "e" << ref.exponent;
}

TEST(ShortestDecimal, RandomBitPatternsMatchTheGeneralAlgorithm) {
  std::mt19937_64 rng(1);
  for (int i = 0; i < 4'000'000; ++i) {
    const double v = std::bit_cast<double>(rng() >> 1);
    if (v == 0 || !std::isfinite(v)) continue;
    expect_same_as_reference(v);
  }
}

TEST(ShortestDecimal, ShortDecimalsOfEveryMagnitudeMatchTheGeneralAlgorithm) {
  std::mt19937_64 rng(2);
  char text[64];
  for (int i = 0; i < 4'000'000; ++i) {
    // 1 to 17 digits, exponents across the whole range.
    const int digits = 1 + static_cast<int>(rng() % 17);
    uint64_t m = rng() % 100000000000000000ull;
    for (int k = digits; k < 17; ++k) m /= 10;
    const int exponent = static_cast<int>(rng() % 660) - 340;
    const int n = std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(m), exponent);
    double v = 0;
    std::from_chars(text, text + n, v);
    if (v == 0 || !std::isfinite(v)) continue;
    expect_same_as_reference(v);
    // Neighbours: one ulp off a short decimal needs every digit.
    expect_same_as_reference(std::nextafter(v, 0.0));
  }
}

// Every text reads back to the same bits.
TEST(ShortestDecimal, TextsReadBackExactly) {
  std::mt19937_64 rng(3);
  char text[kMaxLengthText];
  for (int i = 0; i < 1'000'000; ++i) {
    const double v = std::bit_cast<double>(rng() >> 1);
    if (!std::isfinite(v)) continue;
    const char* end = write_length_text(v, text);
    double back = -1;
    const auto r = std::from_chars(text, end, back);
    ASSERT_EQ(r.ptr, end);
    ASSERT_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(v))
        << std::string(static_cast<const char*>(text), end);
  }
}

}  // namespace
}  // namespace qb
