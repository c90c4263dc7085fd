#pragma once
// The text table of a distance matrix: a header of names, then one line per
// row. Field widths count Unicode scalar values; a longer text is never cut.
#include <string>
#include <vector>

#include "tree/distance_matrix.hpp"
#include "tree/taxon_set.hpp"

namespace qb {

// Rows and columns 0..size-1; ids without a name get no text at all (neither
// header nor row label). Cells are read through DistanceMatrix::get, so a
// matrix whose storage is too short for its size stops with its Panic.
std::string matrix_table(const DistanceMatrix& matrix, const NameList& names);

// One cell right-aligned in 8 characters: a value within 2^-52 of a whole
// number without decimals, anything else (NaN and infinities included, as
// "NaN", "inf", "-inf") with three decimals.
void append_matrix_cell(double value, std::string& out);

}  // namespace qb
