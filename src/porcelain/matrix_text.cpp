#include "matrix_text.hpp"

#include <cmath>
#include <cstdio>
#include <string_view>

namespace qb {

namespace {

constexpr size_t kNameWidth = 8;   // header fields
constexpr size_t kLabelWidth = 6;  // row labels, and the header's leading blanks
constexpr size_t kCellWidth = 8;

size_t scalar_count(std::string_view text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

void pad(size_t width, size_t used, std::string& out) {
  if (used < width) out.append(width - used, ' ');
}

}  // namespace

void append_matrix_cell(double value, std::string& out) {
  char text[400];  // "%.0f" of the largest double has 309 digits
  int len;
  if (std::isnan(value)) {
    len = std::snprintf(text, sizeof text, "NaN");
  } else if (std::fabs(value - std::round(value)) < 0x1p-52) {
    // Exact decimal expansion of the (near-)whole value; "-0" keeps its sign.
    len = std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    // glibc rounds the exact binary value, ties to even; infinities give "inf"/"-inf".
    len = std::snprintf(text, sizeof text, "%.3f", value);
  }
  pad(kCellWidth, static_cast<size_t>(len), out);
  out.append(text, static_cast<size_t>(len));
}

std::string matrix_table(const DistanceMatrix& matrix, const NameList& names) {
  const uint64_t n = matrix.size;
  const uint64_t m = names.size();
  std::string out(kLabelWidth, ' ');
  for (uint64_t j = 0; j < n && j < m; ++j) {
    pad(kNameWidth, scalar_count(names[j]), out);
    out += names[j];
  }
  out += '\n';
  for (uint64_t i = 0; i < n; ++i) {
    if (i < m) {
      out += names[i];
      pad(kLabelWidth, scalar_count(names[i]), out);
    }
    for (uint64_t j = 0; j < n; ++j) append_matrix_cell(matrix.get(i, j), out);
    out += '\n';
  }
  return out;
}

}  // namespace qb
