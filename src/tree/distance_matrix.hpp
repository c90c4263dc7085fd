#pragma once
// Leaf-to-leaf distances in edges: the strict upper triangle of an n by n
// matrix in row order; (i, j) with i < j lives at n*i + j - i - (i + i*i)/2 - 1.
#include <cstdint>
#include <vector>

#include "tree.hpp"

namespace qb {

struct DistanceMatrix {
  std::vector<double> distances;
  uint64_t size = 0;

  // Cell index of the pair (lo, hi), lo < hi, in wrapping unsigned arithmetic.
  static uint64_t cell_index(uint64_t n, uint64_t lo, uint64_t hi) noexcept {
    return n * lo + hi - lo - (lo + lo * lo) / 2 - 1;
  }

  // 0.0 on the diagonal; otherwise the checked cell of (min, max).
  double get(uint64_t i, uint64_t j) const;
};

DistanceMatrix distance_matrix(const Tree& tree);

// The defining computation: per-node lists of (leaf, distance) handed up the
// tree, every pair stored at its lowest common ancestor in visiting order.
// distance_matrix gives the same result; it takes this path for trees whose
// leaves repeat ids or carry ids outside the matrix.
DistanceMatrix distance_matrix_by_lists(const Tree& tree);

}  // namespace qb
