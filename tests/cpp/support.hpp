#pragma once
// Shared by the C++ test files.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tree/failure.hpp"
#include "tree/tree.hpp"

namespace qb {

// The text `op` gives, or the text of the Panic it stops with.
inline std::string outcome(const std::function<std::string()>& op) {
  try {
    return op();
  } catch (const Panic& p) {
    return p.message();
  }
}

// The text of the Panic that `op` stops with, or "<no panic>".
inline std::string panic_text(const std::function<void()>& op) {
  return outcome([&] { return op(), std::string("<no panic>"); });
}

// A tree given link by link, as a stored state may hold it (nothing is
// checked); every branch has length 1 and support 0.
inline Tree arena(std::vector<int32_t> taxa, std::vector<int32_t> parents, std::vector<int32_t> firstchild,
                  std::vector<int32_t> nextsib, std::vector<uint32_t> childcount, uint64_t ntaxa,
                  bool fake_root = false) {
  const size_t n = taxa.size();
  return Tree{std::move(taxa),       std::move(parents), std::vector<double>(n, 0.0), std::vector<double>(n, 1.0),
              std::move(firstchild), std::move(nextsib), std::move(childcount),       fake_root, ntaxa};
}

}  // namespace qb
