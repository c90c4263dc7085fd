#pragma once
// Shared immutable values: the one way to make them.
#include <memory>
#include <utility>
#include <vector>

#include "tree.hpp"

namespace qb {

// `value` moved into a block of its own, shared and immutable from then on.
template <class T>
std::shared_ptr<const T> share(T value) {
  return std::make_shared<const T>(std::move(value));
}

// A block of trees is allocated with exactly its trees.
inline std::shared_ptr<const std::vector<Tree>> share(std::vector<Tree> trees) {
  trees.shrink_to_fit();
  return std::make_shared<const std::vector<Tree>>(std::move(trees));
}

}  // namespace qb
