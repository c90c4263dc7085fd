// Restriction: keep the leaves whose taxa are kept ids, drop the inner nodes
// that no longer branch, renumber the taxa.
//
// Three stages: the skeleton (every surviving node under its nearest surviving
// ancestor, children in source index order), the contraction of the non-root
// nodes left with one child, and, when the root then has one child, the
// rebuild of that child's subtree as the whole tree. Each later stage runs
// only when the one before leaves such nodes, and the result's ntaxa differs
// by stage (see Tree::restrict). The skeleton is worked out on per-node
// vectors first, so only the tree returned by the first two stages is built.
//
// Working data is one vector per node; the ancestor walks share what they
// learn, so the whole call is linear in the node count even for stored trees
// whose parent links zigzag, and a parent walk that loops stops with a Panic.
//
// Few kept ids in a large tree take a shorter road to the same result: one
// checking pass that also finds the kept leaves, then walks up from those
// leaves alone (restrict_sparse). Trees the check does not pass, and larger
// kept sets, take the passes above.
#include "restrict.hpp"

#include <algorithm>

#include "plain_tree.hpp"

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

// Step 1 on trees whose every link points forward: firstchild and nextsib of
// each node name -1 or a later node, and every node but the root is named by
// exactly one link (as the reader and the builder lay trees out). Each node's
// chain parent then comes before it, so the counts can be summed in one pass
// down the indices instead of a walk. False, with nothing decided, for any
// other tree, which takes the walk.
bool kept_below_forward(const Tree& tree, const KeptIds& kept, std::vector<uint8_t>& below,
                        std::vector<int32_t>& chain_parent) {
  const uint64_t n = tree.node_count();
  if (n == 0 || n > static_cast<uint64_t>(INT32_MAX) || tree.childcount.size() < n || tree.firstchild.size() < n ||
      tree.nextsib.size() < n)
    return false;
  chain_parent.assign(n, -1);
  below.assign(n, 0);
  for (uint64_t v = 0; v < n; ++v) {
    const int32_t fc = tree.firstchild[v];
    const int32_t ns = v == 0 ? -1 : tree.nextsib[v];
    if (v != 0 && chain_parent[v] < 0) return false;  // named by no link
    for (const auto& [link, parent] : {std::pair{fc, static_cast<int32_t>(v)}, std::pair{ns, chain_parent[v]}}) {
      if (link == -1) continue;
      if (link <= static_cast<int64_t>(v) || static_cast<uint64_t>(link) >= n || chain_parent[link] >= 0) return false;
      chain_parent[link] = parent;
    }
    if (tree.childcount[v] == 0) below[v] = kept.contains(tree.taxa[v]) ? 1 : 0;
  }
  for (uint64_t v = n - 1; v >= 1; --v) {
    const int32_t p = chain_parent[v];
    if (tree.childcount[p] != 0) below[p] = static_cast<uint8_t>(std::min(2, below[p] + below[v]));
  }
  return true;
}

// Step 1: kept leaves below each node, saturated at 2 (survival asks for "2
// or more"), kUnseen for nodes the root does not reach. One walk over the
// child chains from the root: a leaf (childcount 0) counts its own taxon, an
// inner node the sum over its chain, added as each child's subtree is done.
// A node reached twice means the links do not form a tree.
void kept_below(const Tree& tree, const KeptIds& kept, std::vector<uint8_t>& below, std::vector<int32_t>& spare) {
  if (kept_below_forward(tree, kept, below, spare)) return;
  const uint64_t n = tree.node_count();
  if (n == 0) panic("malformed tree: the tree has no nodes");
  below.assign(n, kUnseen);
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
}

// Steps 2 and 3 without building: which nodes the skeleton holds and under
// which node. Survival is read off as needed: node 0 always, a leaf by its own
// kept taxon, an inner node by two or more kept leaves below. A surviving v is
// placed under its nearest surviving ancestor a (up[v] = a) when a was placed
// before it (always, in trees whose parents come first); up[v] = kLeftOut
// otherwise, and its surviving descendants are then left out in turn. For a
// dropped v, up[v] caches its nearest surviving ancestor once a walk found it.
struct Skeleton {
  std::vector<uint8_t> below;  // step 1
  std::vector<int32_t> up;
  std::vector<uint8_t> kids;   // skeleton children of each node, saturated at 2
  std::vector<uint8_t> placed;
  std::vector<int32_t> spare;  // scratch of steps 1 and 5
  uint64_t count = 1;          // placed nodes, the root included
  bool inner_single = false;   // a placed node other than the root has one child
};

constexpr int32_t kLeftOut = -3;

// The sparse path is taken when the tree has this many times more nodes than
// there are kept ids; with more kept ids most nodes are walked anyway.
constexpr uint64_t kSparseRatio = 32;

Skeleton skeleton(const Tree& tree, const KeptIds& kept) {
  const uint64_t n = tree.node_count();
  Skeleton sk;
  kept_below(tree, kept, sk.below, sk.spare);
  const std::vector<uint8_t>& below = sk.below;
  auto alive = [&](uint64_t v) {
    if (at(tree.childcount, v) == 0) return v == 0 || kept.contains(at(tree.taxa, v));
    return v == 0 || below[v] == 2;
  };
  auto parent = [&](uint64_t v) {
    const uint64_t p = static_cast<uint64_t>(static_cast<int64_t>(at(tree.parents, v)));
    check_index(n, p);
    return p;
  };
  sk.up.assign(n, kUnknown);
  sk.kids.assign(n, 0);
  sk.up[0] = 0;
  sk.placed.assign(n, 0);
  sk.placed[0] = 1;
  std::vector<uint64_t> path;
  for (uint64_t v = 1; v < n; ++v) {
    if (at(tree.childcount, v) == 0 ? !kept.contains(at(tree.taxa, v)) : below[v] != 2) continue;
    uint64_t a = parent(v);
    while (!alive(a)) {
      const int32_t known = sk.up[a];
      if (known >= 0) {
        a = static_cast<uint64_t>(known);
        break;
      }
      if (known == kOnPath) panic_not_a_tree();
      sk.up[a] = kOnPath;
      path.push_back(a);
      a = parent(a);
    }
    for (uint64_t d : path) sk.up[d] = static_cast<int32_t>(a);
    path.clear();
    if (!sk.placed[a]) {
      sk.up[v] = kLeftOut;
      continue;
    }
    sk.placed[v] = 1;
    sk.up[v] = static_cast<int32_t>(a);
    if (sk.kids[a] < 2) ++sk.kids[a];
    ++sk.count;
  }
  for (uint64_t v = 1; v < n && !sk.inner_single; ++v) sk.inner_single = sk.placed[v] && sk.kids[v] == 1;
  return sk;
}

// The placed nodes in source index order, each under the new index of its
// skeleton parent: the skeleton itself (step 3), or, with `contract`, without
// its non-root nodes of one child, each node under its nearest skeleton
// ancestor that is the root or has another count (step 5).
Tree build(Skeleton& sk, const Tree& tree, const KeptIds& kept, bool contract, uint64_t ntaxa) {
  const uint64_t n = sk.up.size();
  uint64_t count = sk.count;
  if (contract)
    for (uint64_t v = 1; v < n; ++v) count -= sk.placed[v] && sk.kids[v] == 1;
  TreeBuilder out(count);
  std::vector<int32_t>& index = sk.spare;
  index.assign(n, kUnknown);
  index[0] = 0;
  for (uint64_t v = 1; v < n; ++v) {
    if (!sk.placed[v] || (contract && sk.kids[v] == 1)) continue;
    int32_t a = sk.up[v];
    if (contract)
      while (a != 0 && sk.kids[a] == 1) a = sk.up[a];
    int32_t taxon = -1;  // an inner node's, or a kept leaf's new one
    if (tree.childcount[v] == 0) kept.find(tree.taxa[v], taxon);
    index[v] = out.add(index[a], taxon);
  }
  return std::move(out).finish(ntaxa);
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

// Step 5 on a built skeleton (whose parents come before their children): its
// nodes but the non-root ones of one child, each under its nearest skeleton
// ancestor that is the root or has another count, in index order.
Tree contract(const Tree& s) {
  const uint64_t m = s.node_count();
  uint64_t count = 1;
  for (uint64_t v = 1; v < m; ++v) count += s.childcount[v] != 1;
  TreeBuilder out(count);
  std::vector<int32_t> index(m, kUnknown);
  index[0] = 0;
  for (uint64_t v = 1; v < m; ++v) {
    if (s.childcount[v] == 1) continue;
    int32_t a = s.parents[v];
    while (a != 0 && s.childcount[a] == 1) a = s.parents[a];
    index[v] = out.add(index[a], s.taxa[v]);
  }
  return std::move(out).finish(s.ntaxa);
}

// Per-node marks of the sparse path, kept between calls (per thread) so that
// a restriction to a few taxa touches memory in proportion to what it keeps,
// not to the tree: 0 on every node between calls. During a call: 1 = one kept
// leaf below, 2 = two or more, 3 + k = placed as skeleton node k.
struct SparseMarks {
  std::vector<int32_t> mark;
  std::vector<int32_t> touched;  // nodes whose mark is not 0
};

class MarksInUse {
 public:
  MarksInUse(SparseMarks& m, uint64_t n) : m_(m) {
    if (m_.mark.size() < n) m_.mark.resize(n, 0);
  }
  ~MarksInUse() {
    for (int32_t v : m_.touched) m_.mark[v] = 0;
    m_.touched.clear();
  }
  MarksInUse(const MarksInUse&) = delete;
  MarksInUse& operator=(const MarksInUse&) = delete;

 private:
  SparseMarks& m_;
};

// The same result as the full passes, for plain trees (is_plain_tree) and few
// kept ids: the kept leaves are found in the checking pass, and only the paths
// from them up to the root are walked. Each walk climbs until it meets a node
// an earlier walk marked; from there it raises the marks to "two kept leaves
// below" until it meets one already raised, so each node is marked at most
// twice. The survivors (kept leaves and nodes with two kept leaves below) are
// placed in index order under their nearest surviving ancestor, which a plain
// tree has placed before them. False (nothing built) when the tree is not plain.
bool restrict_sparse(const Tree& t, const KeptIds& kept, Tree& result) {
  std::vector<int32_t> survivors;
  const int32_t* taxa = t.taxa.data();
  const auto gather = [&](int32_t v) {
    if (kept.contains(taxa[v])) survivors.push_back(v);
  };
  if (!is_plain_tree(t, gather)) return false;
  const uint64_t n = t.node_count();
  static thread_local SparseMarks marks;
  MarksInUse in_use(marks, n);
  int32_t* mark = marks.mark.data();
  const int32_t* parents = t.parents.data();
  const size_t leaves = survivors.size();
  for (size_t i = 0; i < leaves; ++i) {
    int32_t u = parents[survivors[i]];
    for (;;) {
      if (mark[u] != 0) break;
      mark[u] = 1;
      marks.touched.push_back(u);
      if (u == 0) break;
      u = parents[u];
    }
    while (mark[u] == 1) {
      mark[u] = 2;
      if (u == 0) break;
      survivors.push_back(u);
      u = parents[u];
    }
  }
  std::sort(survivors.begin(), survivors.end());
  TreeBuilder out(survivors.size() + 1);
  for (const int32_t v : survivors) {
    int32_t a = parents[v];
    while (a != 0 && mark[a] == 1) a = parents[a];
    int32_t taxon = -1;
    if (t.childcount[v] == 0) kept.find(t.taxa[v], taxon);
    const int32_t k = out.add(a == 0 ? 0 : mark[a] - 3, taxon);
    if (mark[v] == 2) mark[v] = 3 + k;
  }
  Tree skeleton = std::move(out).finish(kept.size());
  const uint64_t m = skeleton.node_count();
  bool inner_single = false;
  for (uint64_t v = 1; v < m && !inner_single; ++v) inner_single = skeleton.childcount[v] == 1;
  if (!inner_single) {
    result = std::move(skeleton);
    return true;
  }
  Tree contracted = contract(skeleton);
  if (contracted.childcount[0] != 1)
    result = std::move(contracted);
  else
    result = rebuild(contracted, static_cast<uint64_t>(contracted.firstchild[0]));
  return true;
}

}  // namespace

namespace detail {

Tree restrict_by_full_passes(const Tree& tree, const KeptIds& kept) {
  Skeleton sk = skeleton(tree, kept);
  // Step 4: the skeleton is the result unless a node other than the root has
  // one child. ntaxa counts the kept ids, unless the rebuild runs, which
  // counts the labelled nodes.
  if (!sk.inner_single) return build(sk, tree, kept, false, kept.size());
  Tree contracted = build(sk, tree, kept, true, kept.size());
  if (contracted.childcount[0] != 1) return contracted;
  return rebuild(contracted, static_cast<uint64_t>(contracted.firstchild[0]));
}

Tree restrict_sparse_first(const Tree& tree, const KeptIds& kept) {
  Tree result;
  if (restrict_sparse(tree, kept, result)) return result;
  return restrict_by_full_passes(tree, kept);
}

}  // namespace detail

Tree Tree::restrict(const KeptIds& kept) const {
  // Few kept ids in a large tree: the sparse path, when the tree is plain.
  if (kept.size() * kSparseRatio < node_count()) return detail::restrict_sparse_first(*this, kept);
  return detail::restrict_by_full_passes(*this, kept);
}

std::vector<Tree> restrict_all(std::span<const Tree> trees, const KeptIds& kept) {
  std::vector<Tree> out;
  out.reserve(trees.size());
  for (const Tree& t : trees) out.push_back(t.restrict(kept));
  return out;
}

}  // namespace qb
