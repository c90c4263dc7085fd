#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "porcelain/matrix_text.hpp"
#include "support.hpp"

namespace {

std::string cell(double v) {
  std::string out;
  qb::append_matrix_cell(v, out);
  return out;
}

TEST(MatrixCell, WholeNumbersHaveNoDecimals) {
  EXPECT_EQ(cell(0.0), "       0");
  EXPECT_EQ(cell(2.0), "       2");
  EXPECT_EQ(cell(-3.0), "      -3");
  EXPECT_EQ(cell(-0.0), "      -0");
  EXPECT_EQ(cell(123456789.0), "123456789");  // wider than the field: not cut
}

TEST(MatrixCell, WithinTwoToTheMinus52OfWholeCountsAsWhole) {
  EXPECT_EQ(cell(std::nextafter(1.0, 0.0)), "       1");  // 1 - 2^-53
  EXPECT_EQ(cell(std::nextafter(1.0, 2.0)), "   1.000");  // 1 + 2^-52: not below the bound
  EXPECT_EQ(cell(1e-17), "       0");
  EXPECT_EQ(cell(-1e-17), "      -0");
  EXPECT_EQ(cell(1e-15), "   0.000");
}

TEST(MatrixCell, OtherValuesHaveThreeDecimalsTiesToEven) {
  EXPECT_EQ(cell(2.5), "   2.500");
  EXPECT_EQ(cell(0.0625), "   0.062");   // exact tie: to even
  EXPECT_EQ(cell(0.1875), "   0.188");   // exact tie: to even
  EXPECT_EQ(cell(1.0005), "   1.000");   // 1.0005 is stored slightly below the tie
  EXPECT_EQ(cell(-2.25), "  -2.250");
  EXPECT_EQ(cell(12345.678), "12345.678");
}

TEST(MatrixCell, NonFiniteValues) {
  EXPECT_EQ(cell(std::numeric_limits<double>::quiet_NaN()), "     NaN");
  EXPECT_EQ(cell(-std::numeric_limits<double>::quiet_NaN()), "     NaN");
  EXPECT_EQ(cell(std::numeric_limits<double>::infinity()), "     inf");
  EXPECT_EQ(cell(-std::numeric_limits<double>::infinity()), "    -inf");
}

TEST(MatrixTable, TwoTaxa) {
  qb::DistanceMatrix m{{2.0}, 2};
  EXPECT_EQ(qb::matrix_table(m, {"A", "B"}),
            "             A       B\n"
            "A            0       2\n"
            "B            2       0\n");
}

TEST(MatrixTable, EmptyMatrixIsOneBlankLine) {
  EXPECT_EQ(qb::matrix_table(qb::DistanceMatrix{{}, 0}, {"A"}), "      \n");
}

TEST(MatrixTable, WidthsCountCharactersAndLongNamesPush) {
  qb::DistanceMatrix m{{2.5}, 2};
  // "é" is two bytes, one character; "中国" is six bytes, two characters.
  EXPECT_EQ(qb::matrix_table(m, {"\u00e9", "LongerName"}),
            "             \u00e9LongerName\n"
            "\u00e9            0   2.500\n"
            "LongerName   2.500       0\n");
  EXPECT_EQ(qb::matrix_table(qb::DistanceMatrix{{}, 1}, {"\u4e2d\u56fd"}),
            "            \u4e2d\u56fd\n"
            "\u4e2d\u56fd           0\n");
}

TEST(MatrixTable, RowsWithoutNamesGetNoText) {
  qb::DistanceMatrix m{{1.0, 2.0, 3.0}, 3};
  EXPECT_EQ(qb::matrix_table(m, {"A"}),
            "             A\n"
            "A            0       1       2\n"
            "       1       0       3\n"
            "       2       3       0\n");
}

TEST(MatrixTable, ShortStorageStops) {
  qb::DistanceMatrix m{{1.0}, 3};
  EXPECT_EQ(qb::panic_text([&] { qb::matrix_table(m, {"A", "B", "C"}); }),
            "index out of bounds: the len is 1 but the index is 1");
}

}  // namespace
