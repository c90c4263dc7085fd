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

// The text of the Panic that `op` stops with, or "<no panic>".
inline std::string panic_text(const std::function<void()>& op) {
  try {
    op();
  } catch (const Panic& p) {
    return p.message();
  }
  return "<no panic>";
}

// A tree given link by link, as a stored state may hold it (nothing is
// checked); every branch has length 1 and support 0.
inline Tree arena(std::vector<int32_t> taxa, std::vector<int32_t> parents, std::vector<int32_t> firstchild,
                  std::vector<int32_t> nextsib, std::vector<uint32_t> childcount, uint64_t ntaxa,
                  bool fake_root = false) {
  Tree t;
  const size_t n = taxa.size();
  t.taxa = std::move(taxa);
  t.parents = std::move(parents);
  t.support.assign(n, 0.0);
  t.lengths.assign(n, 1.0);
  t.firstchild = std::move(firstchild);
  t.nextsib = std::move(nextsib);
  t.childcount = std::move(childcount);
  t.fake_root = fake_root;
  t.ntaxa = ntaxa;
  return t;
}

}  // namespace qb
