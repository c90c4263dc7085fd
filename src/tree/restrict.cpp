// Restriction: keep the leaves whose taxa are kept ids, drop the inner nodes
// that no longer branch, renumber the taxa.
//
// Three stages, each a TreeBuilder pass: the skeleton (every surviving node
// under its nearest surviving ancestor, children in source index order), the
// contraction of the non-root nodes left with one child, and, when the root
// then has one child, the rebuild of that child's subtree as the whole tree.
// Each later stage runs only when the one before leaves such nodes, and the
// result's ntaxa differs by stage (see Tree::restrict).
//
// Working data is one vector per node; the ancestor walks share what they
// learn, so the whole call is linear in the node count even for stored trees
// whose parent links zigzag, and a parent walk that loops stops with a Panic.
#include "restrict.hpp"

#include <algorithm>

namespace qb {

KeptIds::KeptIds(std::span<const uint64_t> kept, std::span<const std::pair<uint64_t, uint64_t>> id_map) {
  // The bitmap spans the ids up to the largest kept one, unless they lie far
  // apart (a stored set may name any id).
  const uint64_t cap = 64 * static_cast<uint64_t>(kept.size()) + (uint64_t{1} << 22);
  uint64_t top = 0;
  for (uint64_t k : kept)
    if (k < cap) top = std::max(top, k + 1);
  bound_ = top;
  bits_.assign((bound_ + 63) / 64, 0);
  for (uint64_t k : kept) {
    if (k < bound_) {
      uint64_t& word = bits_[k >> 6];
      const uint64_t bit = uint64_t{1} << (k & 63);
      if (word & bit) continue;
      word |= bit;
    } else if (!sparse_.emplace(k, -1).second) {
      continue;
    }
    ++count_;
  }
  rank_.resize(bits_.size());
  uint32_t before = 0;
  for (size_t w = 0; w < bits_.size(); ++w) {
    rank_[w] = before;
    before += static_cast<uint32_t>(__builtin_popcountll(bits_[w]));
  }
  values_.assign(before, -1);
  for (const auto& [from, to] : id_map) {
    const int32_t value = static_cast<int32_t>(static_cast<uint32_t>(to));
    if (from < bound_) {
      const uint64_t word = bits_[from >> 6], bit = uint64_t{1} << (from & 63);
      if (word & bit) values_[rank_[from >> 6] + static_cast<uint32_t>(__builtin_popcountll(word & (bit - 1)))] = value;
    } else if (auto it = sparse_.find(from); it != sparse_.end()) {
      it->second = value;
    }
  }
}

namespace {

constexpr int32_t kUnknown = -1;  // not placed yet / nearest survivor not known
constexpr int32_t kOnPath = -2;   // on the ancestor walk in progress
constexpr uint8_t kUnseen = 3;    // not reached from the root

// Step 1: kept leaves below each node, saturated at 2 (survival asks for "2
// or more"), kUnseen for nodes the root does not reach. One walk over the
// child chains from the root: a leaf (childcount 0) counts its own taxon, an
// inner node the sum over its chain, added as each child's subtree is done.
// A node reached twice means the links do not form a tree.
std::vector<uint8_t> kept_below(const Tree& tree, const KeptIds& kept) {
  const uint64_t n = tree.node_count();
  if (n == 0) panic("malformed tree: the tree has no nodes");
  std::vector<uint8_t> below(n, kUnseen);
  // Frames: (node, parent whose count it adds to, or -1); node ~v closes v.
  struct Frame {
    int32_t node;
    int32_t parent;
  };
  std::vector<Frame> stack;
  stack.push_back({0, -1});
  below[0] = 0;
  while (!stack.empty()) {
    const Frame f = stack.back();
    stack.pop_back();
    uint64_t v;
    if (f.node < 0) {
      v = static_cast<uint64_t>(~f.node);
    } else {
      v = static_cast<uint64_t>(f.node);
      const bool inner = at(tree.childcount, v) != 0;
      if (inner) {
        stack.push_back({~f.node, f.parent});
      } else {
        below[v] = kept.contains(at(tree.taxa, v)) ? 1 : 0;
      }
      // Children go on in reverse chain order, so the first is walked first:
      // in a parsed tree the walk then runs through the arena in index order.
      const int32_t sum_into = inner ? f.node : -1;
      const size_t first = stack.size();
      for (int64_t c = tree.first_child(v); c != -1; c = tree.next_sibling(c)) {
        if (below[c] != kUnseen) panic_not_a_tree();
        below[c] = 0;
        stack.push_back({static_cast<int32_t>(c), sum_into});
      }
      std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
      if (inner) continue;
    }
    if (f.parent >= 0) {
      uint8_t& p = below[f.parent];
      p = static_cast<uint8_t>(std::min(2, p + below[v]));
    }
  }
  return below;
}

// Step 3: every surviving node, in source index order, appended under its
// nearest surviving ancestor. Survival (step 2) is read off as needed: node 0
// always, a leaf by its own kept taxon, an inner node by two or more kept
// leaves below. `place[v]` is the new index of a surviving v and, for a
// dropped v, its nearest surviving ancestor once a walk found it.
TreeBuilder skeleton(const Tree& tree, const KeptIds& kept) {
  const uint64_t n = tree.node_count();
  const std::vector<uint8_t> below = kept_below(tree, kept);
  auto alive = [&](uint64_t v) {
    if (at(tree.childcount, v) == 0) return v == 0 || kept.contains(at(tree.taxa, v));
    return v == 0 || below[v] == 2;
  };
  auto parent = [&](uint64_t v) {
    const uint64_t p = static_cast<uint64_t>(static_cast<int64_t>(at(tree.parents, v)));
    check_index(n, p);
    return p;
  };
  TreeBuilder out(std::min<uint64_t>(n, 2 * kept.size() + 2));
  std::vector<int32_t> place(n, kUnknown);
  place[0] = 0;
  std::vector<uint64_t> path;
  for (uint64_t v = 1; v < n; ++v) {
    int32_t taxon = -1;
    if (at(tree.childcount, v) == 0 ? !kept.find(at(tree.taxa, v), taxon) : below[v] != 2) continue;
    uint64_t a = parent(v);
    while (!alive(a)) {
      const int32_t known = place[a];
      if (known >= 0) {
        a = static_cast<uint64_t>(known);
        break;
      }
      if (known == kOnPath) panic_not_a_tree();
      place[a] = kOnPath;
      path.push_back(a);
      a = parent(a);
    }
    for (uint64_t d : path) place[d] = static_cast<int32_t>(a);
    path.clear();
    // An ancestor with a larger index is not placed yet: v is left out, and
    // so, in turn, are its surviving descendants.
    if (place[a] < 0) continue;
    place[v] = out.add(place[a], taxon);
  }
  return out;
}

bool has_inner_single_child(const Tree& t) {
  for (uint64_t v = 1; v < t.node_count(); ++v)
    if (t.childcount[v] == 1) return true;
  return false;
}

// Step 5: the skeleton without its non-root nodes of one child; each node
// goes under its nearest ancestor that is the root or has another count.
Tree contract(const Tree& s) {
  const uint64_t m = s.node_count();
  uint64_t count = 1;
  for (uint64_t v = 1; v < m; ++v) count += s.childcount[v] != 1;
  TreeBuilder out(count);
  std::vector<int32_t> place(m, kUnknown);
  place[0] = 0;
  for (uint64_t v = 1; v < m; ++v) {
    if (s.childcount[v] == 1) continue;
    int32_t a = s.parents[v];
    while (a != 0 && s.childcount[a] == 1) a = s.parents[a];
    place[v] = out.add(place[a], s.taxa[v]);
  }
  return std::move(out).finish(s.ntaxa);
}

// Step 6: the subtree of the root's only child c as a tree of its own,
// numbered in preorder (first child first); its children come out in chain
// order, which is increasing new index.
Tree rebuild(const Tree& t, uint64_t c) {
  const uint64_t m = t.node_count();
  TreeBuilder out(m - 1, t.taxa[c]);
  std::vector<int32_t> place(m, kUnknown);
  place[c] = 0;
  std::vector<uint64_t> stack;
  std::vector<uint64_t> kids;
  uint64_t v = c;
  for (;;) {
    if (v != c) place[v] = out.add(place[t.parents[v]], t.taxa[v]);
    kids.clear();
    for (int32_t ch = t.firstchild[v]; ch != -1; ch = t.nextsib[ch]) kids.push_back(ch);
    stack.insert(stack.end(), kids.rbegin(), kids.rend());
    if (stack.empty()) break;
    v = stack.back();
    stack.pop_back();
  }
  uint64_t labelled = 0;
  for (int32_t x : out.tree().taxa) labelled += x != -1;
  return std::move(out).finish(labelled);
}

}  // namespace

Tree Tree::restrict(const KeptIds& kept) const {
  TreeBuilder built = skeleton(*this, kept);
  // Steps 4 to 6. ntaxa counts the kept ids unless the rebuild runs, which
  // counts the labelled nodes.
  if (!has_inner_single_child(built.tree())) return std::move(built).finish(kept.size());
  Tree contracted = contract(std::move(built).finish(kept.size()));
  if (contracted.childcount[0] != 1) return contracted;
  return rebuild(contracted, static_cast<uint64_t>(contracted.firstchild[0]));
}

std::vector<Tree> restrict_all(std::span<const Tree> trees, const KeptIds& kept) {
  std::vector<Tree> out;
  out.reserve(trees.size());
  for (const Tree& t : trees) out.push_back(t.restrict(kept));
  return out;
}

}  // namespace qb
