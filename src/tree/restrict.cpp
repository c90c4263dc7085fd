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
  uint64_t max_key = 0;
  for (uint64_t k : kept) max_key = std::max(max_key, k);
  // Index by id unless the ids are sparse (a stored set may name any id).
  const uint64_t bound = kept.empty() ? 0 : std::min<uint64_t>(max_key, 4 * kept.size() + 4096) + 1;
  dense_.assign(bound, kAbsent);
  auto slot = [&](uint64_t key) -> int64_t* {
    if (key < bound) return &dense_[key];
    auto it = sparse_.find(key);
    return it == sparse_.end() ? nullptr : &it->second;
  };
  for (uint64_t k : kept) {
    if (k < bound) {
      if (dense_[k] != kAbsent) continue;
      dense_[k] = -1;
    } else if (!sparse_.emplace(k, -1).second) {
      continue;
    }
    ++count_;
  }
  for (const auto& [from, to] : id_map)
    if (int64_t* s = slot(from); s && *s != kAbsent) *s = static_cast<int32_t>(static_cast<uint32_t>(to));
}

namespace {

constexpr int32_t kUnknown = -1;  // not placed yet / nearest survivor not known
constexpr int32_t kOnPath = -2;   // on the ancestor walk in progress

// Steps 1 and 2: whether each node survives. A leaf survives by its own kept
// taxon, an inner node by two or more kept leaves below it; node 0 always.
std::vector<uint8_t> survivors(const Tree& tree, const KeptIds& kept, uint64_t& count) {
  const uint64_t n = tree.node_count();
  // Kept leaves below each node, saturated at 2: survival asks for "2 or more".
  std::vector<uint8_t> below(n, 0);
  const std::vector<uint64_t> order = tree.preorder();  // bounds every chain walked below
  int32_t unused;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const uint64_t v = *it;
    uint8_t c = 0;
    if (at(tree.childcount, v) == 0) {
      c = kept.find(at(tree.taxa, v), unused) ? 1 : 0;
    } else {
      for (int64_t ch = tree.first_child(v); ch != -1 && c < 2; ch = tree.next_sibling(ch))
        c = static_cast<uint8_t>(std::min(2, c + below[ch]));
    }
    below[v] = c;
  }
  count = 1;
  below[0] = 1;
  for (uint64_t v = 1; v < n; ++v) {
    const bool leaf = at(tree.childcount, v) == 0;
    below[v] = (leaf ? kept.find(at(tree.taxa, v), unused) : below[v] >= 2) ? 1 : 0;
    count += below[v];
  }
  return below;
}

// Step 3: every surviving node, in source index order, appended under its
// nearest surviving ancestor. `place[v]` is the new index of a surviving v
// and, for a dropped v, its nearest surviving ancestor once a walk found it.
TreeBuilder skeleton(const Tree& tree, const KeptIds& kept) {
  const uint64_t n = tree.node_count();
  uint64_t count = 0;
  const std::vector<uint8_t> alive = survivors(tree, kept, count);
  TreeBuilder out(count);
  std::vector<int32_t> place(n, kUnknown);
  place[0] = 0;
  auto parent = [&](uint64_t v) {
    const uint64_t p = static_cast<uint64_t>(static_cast<int64_t>(at(tree.parents, v)));
    check_index(n, p);
    return p;
  };
  std::vector<uint64_t> path;
  for (uint64_t v = 1; v < n; ++v) {
    if (!alive[v]) continue;
    uint64_t a = parent(v);
    while (!alive[a]) {
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
    int32_t taxon = -1;
    if (tree.childcount[v] == 0 && !kept.find(tree.taxa[v], taxon)) taxon = -1;
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
