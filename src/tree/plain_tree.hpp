#pragma once
// One linear pass that tells whether a tree's links are those of a plain tree,
// so that restriction and sorting can take paths that read links unchecked
// and skip their own checking walks. Trees that fail it (possible only for
// trees read from a stored state) take the general, fully checked paths,
// which give them the same answer or the same failure as before.
#include <cstdint>

#include "tree.hpp"

namespace qb {

// True when the per-node sequences cover the node count, every node but the
// root has a parent of lower index, and the chain of every node (firstchild
// along nextsib) holds exactly childcount[v] nodes, each naming v as its
// parent, then ends at -1; the childcounts sum to the node count minus one.
// Then every node but the root lies on exactly one chain, its parent's: the
// chains are the children, every node is reached from the root once, and
// the reverse index order is bottom-up. parents[0] and nextsib[0] are not
// read, as no walk from the root reads them.
//
// `leaf(v)` is called for every node v >= 1 with childcount 0, in index
// order, before the answer is known: callers gather what they need from the
// same pass and drop it on false.
template <class Leaf>
bool is_plain_tree(const Tree& t, Leaf&& leaf) {
  const uint64_t n = t.node_count();
  if (n == 0 || n > static_cast<uint64_t>(INT32_MAX) - 8 || t.parents.size() < n || t.firstchild.size() < n ||
      t.nextsib.size() < n || t.childcount.size() < n)
    return false;
  const int32_t* parents = t.parents.data();
  const int32_t* firstchild = t.firstchild.data();
  const int32_t* nextsib = t.nextsib.data();
  const uint32_t* childcount = t.childcount.data();
  const int32_t size = static_cast<int32_t>(n);
  uint64_t total = 0;
  for (int32_t v = 0; v < size; ++v) {
    // A negative parent fails as a large unsigned one.
    if (v != 0 && static_cast<uint32_t>(parents[v]) >= static_cast<uint32_t>(v)) return false;
    const uint32_t count = childcount[v];
    // Checked before the chain is walked: the walks together then take at
    // most n - 1 steps, however large a stored childcount claims to be.
    total += count;
    if (total > n - 1) return false;
    int32_t c = firstchild[v];
    if (count == 0) {
      if (v != 0) leaf(v);
    } else {
      // A chain that repeats a node loops, so it never meets -1 in time.
      for (uint32_t i = 0; i < count; ++i) {
        if (c <= v || c >= size || parents[c] != v) return false;
        c = nextsib[c];
      }
    }
    if (c != -1) return false;
  }
  return total == n - 1;
}

inline bool is_plain_tree(const Tree& t) {
  return is_plain_tree(t, [](int32_t) {});
}

}  // namespace qb
