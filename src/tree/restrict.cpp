// Restriction: keep the leaves whose taxa are kept ids, drop the inner nodes
// that no longer branch, renumber the taxa.
//
// Two roads lead to the skeleton (every surviving node under its nearest
// surviving ancestor, in source index order), and one tail (finish) makes the
// result of it: the contraction of the non-root nodes left with one child and,
// when the root then has one child, the rebuild of that child's subtree as the
// whole tree. Each later stage runs only when the one before leaves such
// nodes, and the result's ntaxa differs by stage (see finish).
//
// The full passes (skeleton_by_full_passes) work on per-node vectors; their
// ancestor walks share what they learn, so the call is linear in the node
// count even for stored trees whose parent links zigzag, and a parent walk
// that loops stops with a Panic. Few kept ids in a large tree take a shorter
// road (skeleton_by_sparse_walk): one checking pass that also finds the kept
// leaves, then walks up from those leaves alone. Trees the check does not
// pass, and larger kept sets, take the full passes.
//
// All working data belongs to the call: nothing is kept between calls, so a
// call that stops (a Panic, std::bad_alloc) leaves nothing behind.
#include "restrict.hpp"

#include <algorithm>
#include <memory>
#include <optional>

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

// The skeleton: node 0 is the root; every other node k is a surviving source
// node, in increasing source index, under its skeleton parent (parent[k] < k),
// with the taxon its leaf gets in the result (-1 for an inner node, or for a
// kept id without a new one).
struct Skeleton {
  std::vector<int32_t> parent;
  std::vector<int32_t> taxon;

  // `capacity`: the expected node count, the root included (a hint).
  explicit Skeleton(uint64_t capacity) {
    parent.reserve(capacity);
    taxon.reserve(capacity);
    add(0, -1);
  }
  int32_t add(int32_t above, int32_t new_taxon) {
    parent.push_back(above);
    taxon.push_back(new_taxon);
    return static_cast<int32_t>(parent.size() - 1);
  }
};

// Step 1 on trees whose every link points forward: firstchild and nextsib of
// each node name -1 or a later node, and every node but the root is named by
// exactly one link (as the reader and the builder lay trees out). Each node's
// chain parent then comes before it, so the counts can be summed in one pass
// down the indices instead of a walk. False, with nothing decided, for any
// other tree, which takes the walk.
bool kept_below_forward(const Tree& tree, const KeptIds& kept, std::vector<uint8_t>& below) {
  const uint64_t n = tree.node_count();
  if (n == 0 || n > static_cast<uint64_t>(INT32_MAX) || tree.childcount.size() < n || tree.firstchild.size() < n ||
      tree.nextsib.size() < n)
    return false;
  std::vector<int32_t> chain_parent(n, -1);
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

constexpr uint8_t kUnseen = 3;  // in the kept-leaf counts: not reached from the root

// Step 1: kept leaves below each node, saturated at 2 (survival asks for "2
// or more"), kUnseen for nodes the root does not reach. One walk over the
// child chains from the root: a leaf (childcount 0) counts its own taxon, an
// inner node the sum over its chain, added as each child's subtree is done.
// A node reached twice means the links do not form a tree.
std::vector<uint8_t> kept_below(const Tree& tree, const KeptIds& kept) {
  std::vector<uint8_t> below;
  if (kept_below_forward(tree, kept, below)) return below;
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
  return below;
}

// What the full passes know of a node in step 3.
enum class Placement : uint8_t {
  kNotYet,   // a surviving node the loop has not come to, or a dropped one no walk crossed
  kOnWalk,   // dropped, on the ancestor walk in progress
  kDropped,  // dropped; up[v] is its nearest surviving ancestor (a source index)
  kPlaced,   // in the skeleton; up[v] is its skeleton index
  kLeftOut,  // surviving, under an ancestor that was not placed before it
};

// Steps 1 to 3 by passes over every node. Survival is read off as needed:
// node 0 always, a leaf by its own kept taxon, an inner node by two or more
// kept leaves below. A surviving v is placed under its nearest surviving
// ancestor a when a was placed before it (always, in trees whose parents
// come first), and left out otherwise; its surviving descendants are then
// left out in turn. A walk from v up to a records a for every dropped node it
// crosses, so no dropped node is crossed twice.
Skeleton skeleton_by_full_passes(const Tree& tree, const KeptIds& kept) {
  const uint64_t n = tree.node_count();
  const std::vector<uint8_t> below = kept_below(tree, kept);
  auto survives = [&](uint64_t v) {
    if (at(tree.childcount, v) == 0) return v == 0 || kept.contains(at(tree.taxa, v));
    return v == 0 || below[v] == 2;
  };
  auto parent = [&](uint64_t v) {
    const uint64_t p = static_cast<uint64_t>(static_cast<int64_t>(at(tree.parents, v)));
    check_index(n, p);
    return p;
  };
  std::vector<Placement> placement(n, Placement::kNotYet);
  std::vector<int32_t> up(n);
  placement[0] = Placement::kPlaced;
  up[0] = 0;
  // Most skeletons hold at most two nodes per kept id; larger ones grow.
  Skeleton sk(std::min(n, 2 * kept.size() + 1));
  std::vector<uint64_t> walk;
  for (uint64_t v = 1; v < n; ++v) {
    if (!survives(v)) continue;
    uint64_t a = parent(v);
    while (!survives(a)) {
      if (placement[a] == Placement::kDropped) {
        a = static_cast<uint64_t>(up[a]);
        break;
      }
      if (placement[a] == Placement::kOnWalk) panic_not_a_tree();
      placement[a] = Placement::kOnWalk;
      walk.push_back(a);
      a = parent(a);
    }
    for (uint64_t d : walk) {
      placement[d] = Placement::kDropped;
      up[d] = static_cast<int32_t>(a);
    }
    walk.clear();
    if (placement[a] != Placement::kPlaced) {
      placement[v] = Placement::kLeftOut;
      continue;
    }
    int32_t taxon = -1;
    if (tree.childcount[v] == 0) kept.find(tree.taxa[v], taxon);
    placement[v] = Placement::kPlaced;
    up[v] = sk.add(up[a], taxon);
  }
  return sk;
}

// The same skeleton as the full passes, for plain trees (is_plain_tree): the
// kept leaves are found in the checking pass, and only the paths from them up
// to the root are walked. Each walk climbs over the nodes no walk reached
// before (one kept leaf below so far); from the first node an earlier walk
// reached, it marks the nodes as shared (two kept leaves or more below: they
// survive) until it meets one already shared, so each node is marked at most
// twice. The root is never marked: it survives whatever lies below. The
// survivors are then placed in index order under their nearest surviving
// ancestor, which a plain tree numbers before them. Nothing when the tree is
// not plain.
std::optional<Skeleton> skeleton_by_sparse_walk(const Tree& t, const KeptIds& kept) {
  std::vector<int32_t> survivors;
  const int32_t* taxa = t.taxa.data();
  const auto gather = [&](int32_t v) {
    if (kept.contains(taxa[v])) survivors.push_back(v);
  };
  if (!is_plain_tree(t, gather)) return std::nullopt;
  // reached: on a walk, one kept leaf or more below; shared: two or more, so
  // the node survives. The ancestors of a reached node are reached. One bit
  // per node each, as both are cleared for every node.
  std::vector<bool> reached(t.node_count()), shared(t.node_count());
  const int32_t* parents = t.parents.data();
  const size_t leaves = survivors.size();
  for (size_t i = 0; i < leaves; ++i) {
    int32_t u = parents[survivors[i]];
    for (; u != 0 && !reached[u]; u = parents[u]) reached[u] = true;
    for (; u != 0 && !shared[u]; u = parents[u]) {
      shared[u] = true;
      survivors.push_back(u);
    }
  }
  std::sort(survivors.begin(), survivors.end());
  Skeleton sk(survivors.size() + 1);
  // The skeleton index of each survivor, written when it is placed: before it
  // is read, as the survivors are placed in index order. The other entries
  // are never written nor read, so only the pages of survivors are touched.
  const auto index = std::make_unique_for_overwrite<int32_t[]>(t.node_count());
  index[0] = 0;
  for (const int32_t v : survivors) {
    int32_t a = parents[v];
    while (a != 0 && !shared[a]) a = parents[a];
    int32_t taxon = -1;
    if (t.childcount[v] == 0) kept.find(t.taxa[v], taxon);
    index[v] = sk.add(index[a], taxon);
  }
  return sk;
}

// Step 6: the subtree of the root's only child c as a tree of its own,
// numbered in preorder (first child first); its children come out in chain
// order, which is increasing new index.
Tree rebuild(const Tree& t, uint64_t c) {
  const uint64_t m = t.node_count();
  TreeBuilder out(m - 1, t.taxa[c]);
  std::vector<int32_t> place(m, -1);
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

// Steps 4 to 6, the same for both roads. The skeleton is the result unless a
// node other than the root has one child. Then those nodes are contracted
// away (step 5): each such node takes the new index of its nearest ancestor
// that is the root or has another count, which its descendants then read as
// their parent's; the others keep their order. If the root is then left with
// one child, that child's subtree is the result (step 6). ntaxa counts the
// kept ids, unless the rebuild runs, which counts the labelled nodes.
Tree finish(const Skeleton& sk, uint64_t ntaxa) {
  const size_t m = sk.parent.size();
  std::vector<uint8_t> kids(m, 0);  // skeleton children, saturated at 2
  for (size_t k = 1; k < m; ++k) {
    uint8_t& count = kids[static_cast<size_t>(sk.parent[k])];
    if (count < 2) ++count;
  }
  size_t single = 0;  // nodes other than the root with one child
  for (size_t k = 1; k < m; ++k) single += kids[k] == 1;
  TreeBuilder out(m - single);
  std::vector<int32_t> index(m);
  index[0] = 0;
  for (size_t k = 1; k < m; ++k) {
    const int32_t above = index[static_cast<size_t>(sk.parent[k])];
    index[k] = kids[k] == 1 ? above : out.add(above, sk.taxon[k]);
  }
  Tree result = std::move(out).finish(ntaxa);
  if (single == 0 || result.childcount[0] != 1) return result;
  return rebuild(result, static_cast<uint64_t>(result.firstchild[0]));
}

// The sparse path is taken when the tree has this many times more nodes than
// there are kept ids; with more kept ids most nodes are walked anyway.
constexpr uint64_t kSparseRatio = 32;

}  // namespace

namespace detail {

Tree restrict_by_full_passes(const Tree& tree, const KeptIds& kept) {
  return finish(skeleton_by_full_passes(tree, kept), kept.size());
}

Tree restrict_sparse_first(const Tree& tree, const KeptIds& kept) {
  if (std::optional<Skeleton> sk = skeleton_by_sparse_walk(tree, kept)) return finish(*sk, kept.size());
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
