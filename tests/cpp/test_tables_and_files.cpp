#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>

#include "porcelain/files.hpp"
#include "porcelain/matrix_text.hpp"
#include "support.hpp"

namespace qb {
namespace {

// Eight characters, right-aligned: within 2^-52 of a whole number without
// decimals, anything else with three (ties to even), never cut.
TEST(MatrixText, Cells) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::pair<double, const char*> cases[] = {
      {0.0, "       0"}, {-3.0, "      -3"}, {-0.0, "      -0"}, {123456789.0, "123456789"},
      {std::nextafter(1.0, 0.0), "       1"}, {std::nextafter(1.0, 2.0), "   1.000"}, {-1e-17, "      -0"},
      {1e-15, "   0.000"}, {2.5, "   2.500"}, {0.0625, "   0.062"}, {0.1875, "   0.188"}, {1.0005, "   1.000"},
      {-2.25, "  -2.250"}, {12345.678, "12345.678"}, {nan, "     NaN"}, {-nan, "     NaN"},
      {HUGE_VAL, "     inf"}, {-HUGE_VAL, "    -inf"}};
  for (const auto& [v, text] : cases) {
    std::string out;
    append_matrix_cell(v, out);
    EXPECT_EQ(out, text) << v;
  }
}

// Widths count characters ("é" is two bytes, "中国" six); a long name pushes
// the cells; ids without a name get no text; short storage stops.
TEST(MatrixText, Tables) {
  EXPECT_EQ(matrix_table(DistanceMatrix{{2.5}, 2}, {"\u00e9", "LongerName"}),
            "             \u00e9LongerName\n"
            "\u00e9            0   2.500\n"
            "LongerName   2.500       0\n");
  EXPECT_EQ(matrix_table(DistanceMatrix{{1.0, 2.0, 3.0}, 3}, {"\u4e2d\u56fd"}),
            "            \u4e2d\u56fd\n"
            "\u4e2d\u56fd           0       1       2\n"
            "       1       0       3\n"
            "       2       3       0\n");
  EXPECT_EQ(matrix_table(DistanceMatrix{{}, 0}, {"A"}), "      \n");
  EXPECT_EQ(panic_text([] { matrix_table(DistanceMatrix{{1.0}, 3}, {"A", "B", "C"}); }),
            "index out of bounds: the len is 1 but the index is 1");
}

TEST(Files, ReadsTheWholeFileOrSaysWhyNot) {
  const std::string path = ::testing::TempDir() + "qb_files.tre";
  const auto holding = [&](const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
    return path;
  };
  const std::string content = std::string(200000, 'x') + "(\u00e9,B);";
  EXPECT_EQ(*read_text_file(holding(content)), content);
  for (const char* bad : {"(A,\xff);", "(A,\xed\xa0\x80);", "(A,\xc3"})
    EXPECT_EQ(read_text_file(holding(bad)).error(), "stream did not contain valid UTF-8") << bad;
  std::remove(path.c_str());
  EXPECT_NE(read_text_file("/proc/self/status")->find("Name:"), std::string::npos);  // no size known up front
  EXPECT_EQ(read_text_file("/nonexistent/dir/x.tre").error(), "No such file or directory (os error 2)");
  EXPECT_EQ(read_text_file("/tmp").error(), "Is a directory (os error 21)");
  EXPECT_EQ(read_text_file(std::string("a\0b", 3)).error(), "file name contained an unexpected NUL byte");
}

}  // namespace
}  // namespace qb
