// Leaf-to-leaf edge counts.
//
// The defining computation (distance_matrix_by_lists) meets every pair of
// leaves at its lowest common ancestor and stores the sum of their distances
// up to it. Its stores land all over the triangle, which for 10^4 leaves
// (400 MB of cells) is a cache miss per pair. For the usual tree, whose leaves
// carry distinct ids below the matrix size, every cell is stored exactly once
// and nothing can fail, so the same values are produced row by row instead:
// for leaf i, the distances to all leaves are laid out in depth-first order
// (subtrees are contiguous ranges there), then gathered into row i in id
// order. The cells are then written once, front to back. Every other tree
// (repeated ids, ids outside the matrix, unlabelled leaves, links where
// childcount and firstchild disagree) takes the defining computation, whose
// order decides which store wins and which failure is reported.
#include "distance_matrix.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "failure.hpp"
#include "large_pages.hpp"

namespace qb {

namespace {

uint64_t cell_count(uint64_t n) {
  if (n < 2) return 0;
  uint64_t product;
  if (__builtin_mul_overflow(n, n - 1, &product)) throw std::bad_alloc();
  const uint64_t count = product / 2;
  if (count > std::vector<double>().max_size()) throw std::bad_alloc();
  return count;
}

// Zero-filled cells, allocated once with exactly `count` entries. A large
// matrix is asked for large pages before it is touched: its 4 KiB page faults
// otherwise cost more than computing the cells.
void allocate_cells(std::vector<double>& cells, uint64_t count) { assign_large(cells, count, 0.0); }

inline uint64_t widen(uint32_t id) {
  return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(id)));
}

// Stores one pair met at its lowest common ancestor.
inline void store_pair(const Tree& tree, std::vector<double>& cells, uint64_t n, uint32_t x,
                       uint32_t y, double d) {
  const auto p = static_cast<uint32_t>(at(tree.taxa, x));
  const auto q = static_cast<uint32_t>(at(tree.taxa, y));
  const uint32_t lo = std::min(p, q);
  const uint32_t hi = std::max(p, q);
  if (lo == hi) return;
  const uint64_t index = DistanceMatrix::cell_index(n, widen(lo), widen(hi));
  if (index >= cells.size()) panic_index(cells.size(), index);
  // An id at or past the matrix size has no cell even when the index formula
  // lands inside the storage (on another pair's cell). An unlabelled leaf
  // (negative taxon) compares as the largest 32-bit id and stops here too.
  if (hi >= n) panic_index(n, hi);
  cells[index] = d;
}

constexpr uint32_t kNone = ~uint32_t{0};

// The leaves below a node in visiting order, as a chain of runs of equal ids.
// Neighbouring runs always differ, so a list is uniform (one id) exactly when
// it is one run. A pair of leaves with one id stores nothing; skipping such
// pairs a run at a time keeps the work to the nodes plus the stores made.
class LeafLists {
 public:
  LeafLists(const Tree& tree, std::vector<double>& cells, uint64_t n, const std::vector<uint32_t>& depth)
      : tree_(tree), cells_(cells), n_(n), depth_(depth), next_leaf_(tree.node_count(), kNone),
        lists_(tree.node_count()) {}

  void leaf(uint64_t v) {
    runs_.push_back({static_cast<uint32_t>(tree_.taxa[v]), static_cast<uint32_t>(v), static_cast<uint32_t>(v), kNone});
    const auto r = static_cast<uint32_t>(runs_.size() - 1);
    lists_[v] = {r, r};
  }

  // Every pair of leaves in two different children, in the order
  // (child a, child b > a, leaf of a, leaf of b), stored at `v`.
  void pairs(uint64_t v, const std::vector<uint64_t>& kids) {
    std::vector<uint32_t> ks;
    for (uint64_t c : kids)
      if (lists_[c].head != kNone) ks.push_back(static_cast<uint32_t>(c));
    const size_t k = ks.size();
    // run_end[i]: one past the uniform children with the id of child i that
    // follow it directly (i + 1 for a mixed child).
    std::vector<uint32_t> run_end(k);
    for (size_t i = k; i-- > 0;) {
      const bool joined = i + 1 < k && uniform(ks[i]) && uniform(ks[i + 1]) && id_of(ks[i]) == id_of(ks[i + 1]);
      run_end[i] = joined ? run_end[i + 1] : static_cast<uint32_t>(i + 1);
    }
    for (size_t a = 0; a < k; ++a) {
      const bool ua = uniform(ks[a]);
      size_t b = ua ? run_end[a] : a + 1;
      while (b < k) {
        if (ua && uniform(ks[b]) && id_of(ks[b]) == id_of(ks[a])) {
          b = run_end[b];
          continue;
        }
        pair_lists(v, lists_[ks[a]], lists_[ks[b]]);
        ++b;
      }
    }
  }

  // The children's lists become v's, in child order.
  void join(uint64_t v, const std::vector<uint64_t>& kids) {
    List out;
    for (uint64_t c : kids) {
      const List l = lists_[c];
      lists_[c] = {};
      if (l.head == kNone) continue;
      if (out.head == kNone) {
        out = l;
        continue;
      }
      Run& tail = runs_[out.tail];
      const Run& head = runs_[l.head];
      next_leaf_[tail.last] = head.first;
      if (tail.id == head.id) {
        tail.last = head.last;
        tail.next = head.next;
        if (l.head != l.tail) out.tail = l.tail;
      } else {
        tail.next = l.head;
        out.tail = l.tail;
      }
    }
    lists_[v] = out;
  }

 private:
  struct Run {
    uint32_t id, first, last, next;
  };
  struct List {
    uint32_t head = kNone, tail = kNone;
  };

  bool uniform(uint32_t c) const { return lists_[c].head == lists_[c].tail; }
  uint32_t id_of(uint32_t c) const { return runs_[lists_[c].head].id; }

  void pair_lists(uint64_t v, const List& a, const List& b) {
    const bool ub = b.head == b.tail;
    const uint32_t idb = runs_[b.head].id;
    const double base = 2.0 * static_cast<double>(depth_[v]);
    for (uint32_t ra = a.head; ra != kNone; ra = runs_[ra].next) {
      const Run& x_run = runs_[ra];
      if (ub && x_run.id == idb) continue;
      for (uint32_t x = x_run.first;; x = next_leaf_[x]) {
        for (uint32_t rb = b.head; rb != kNone; rb = runs_[rb].next) {
          const Run& y_run = runs_[rb];
          if (y_run.id == x_run.id) continue;
          for (uint32_t y = y_run.first;; y = next_leaf_[y]) {
            store_pair(tree_, cells_, n_, x, y, static_cast<double>(depth_[x]) + static_cast<double>(depth_[y]) - base);
            if (y == y_run.last) break;
          }
        }
        if (x == x_run.last) break;
      }
    }
  }

  const Tree& tree_;
  std::vector<double>& cells_;
  const uint64_t n_;
  const std::vector<uint32_t>& depth_;
  std::vector<uint32_t> next_leaf_;
  std::vector<List> lists_;
  std::vector<Run> runs_;
};

// The fast path's precondition: childcount and firstchild agree on which nodes
// are leaves, and the leaves carry distinct ids below n.
bool plain_tree(const Tree& tree, const std::vector<uint64_t>& order, uint64_t n) {
  std::vector<uint8_t> used(n, 0);
  for (uint64_t v : order) {
    const bool leaf = at(tree.childcount, v) == 0;
    if (leaf != (at(tree.firstchild, v) == -1)) return false;
    if (!leaf) continue;
    const int32_t id = at(tree.taxa, v);
    if (id < 0 || static_cast<uint64_t>(id) >= n || used[static_cast<uint64_t>(id)]) return false;
    used[static_cast<uint64_t>(id)] = 1;
  }
  return true;
}

void fill_rows(const Tree& tree, const std::vector<uint64_t>& order, uint64_t n,
               std::vector<double>& cells) {
  const uint64_t nodes = tree.node_count();
  // Walk data. Every node in `order` is reached once (preorder checks it), so
  // the chain parent and the depth are well defined.
  std::vector<uint32_t> parent(nodes, 0);
  std::vector<uint32_t> depth(nodes, 0);
  std::vector<uint32_t> first(nodes, 0);   // leaves before the node in `order`
  std::vector<uint32_t> leaves(nodes, 0);  // leaves in the node's subtree
  uint32_t nleaves = 0;
  for (uint64_t v : order) {
    first[v] = nleaves;
    if (tree.firstchild[v] == -1) {
      ++nleaves;
      continue;
    }
    for (int32_t c = tree.firstchild[v]; c != -1; c = tree.nextsib[static_cast<uint64_t>(c)]) {
      parent[static_cast<uint64_t>(c)] = static_cast<uint32_t>(v);
      depth[static_cast<uint64_t>(c)] = depth[v] + 1;
    }
  }
  // Depth of each leaf by position, and the position of each id (nleaves,
  // whose slot holds 0.0, for an id no leaf carries).
  std::vector<double> leaf_depth(nleaves);
  std::vector<uint32_t> leaf_node(nleaves);
  std::vector<uint32_t> position(n, nleaves);
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const uint64_t v = *it;
    if (tree.firstchild[v] == -1) {
      leaves[v] = 1;
      leaf_depth[first[v]] = depth[v];
      leaf_node[first[v]] = static_cast<uint32_t>(v);
      position[static_cast<uint64_t>(tree.taxa[v])] = first[v];
    }
    if (v != 0) leaves[parent[v]] += leaves[v];
  }

  std::vector<double> row(nleaves + 1, 0.0);
  double* out = cells.data();
  for (uint64_t i = 0; i + 1 < n; ++i) {
    double* const row_out = out;
    out += n - i - 1;
    if (position[i] == nleaves) continue;  // no leaf carries id i: the row stays 0.0
    const uint32_t x = leaf_node[position[i]];
    // Each ancestor a adds the leaves of its subtree outside the previous
    // one's, at distance depth(leaf) + depth(x) - 2 depth(a).
    uint32_t below = x;
    while (below != 0) {
      const uint32_t a = parent[below];
      const double offset = static_cast<double>(depth[x]) - 2.0 * static_cast<double>(depth[a]);
      const uint32_t a0 = first[a], a1 = first[a] + leaves[a];
      const uint32_t b0 = first[below], b1 = first[below] + leaves[below];
      for (uint32_t p = a0; p < b0; ++p) row[p] = leaf_depth[p] + offset;
      for (uint32_t p = b1; p < a1; ++p) row[p] = leaf_depth[p] + offset;
      below = a;
    }
    const uint32_t* pos = position.data() + i + 1;
    const uint64_t len = n - i - 1;
    for (uint64_t k = 0; k < len; ++k) row_out[k] = row[pos[k]];
  }
}

}  // namespace

namespace {

void fill_by_lists(const Tree& tree, const std::vector<uint64_t>& order, DistanceMatrix& m) {
  const uint64_t n = m.size;
  // preorder() has checked every link it followed: the walks below read them
  // unchecked. A pair met at v is depth(x) + depth(y) - 2 depth(v) apart.
  std::vector<uint32_t> depth(tree.node_count(), 0);
  for (uint64_t v : order)
    for (int32_t c = tree.firstchild[v]; c != -1; c = tree.nextsib[static_cast<uint64_t>(c)])
      depth[static_cast<uint64_t>(c)] = depth[v] + 1;
  LeafLists lists(tree, m.distances, n, depth);
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const uint64_t v = *it;
    if (at(tree.childcount, v) == 0) {
      lists.leaf(v);
      continue;
    }
    const std::vector<uint64_t> kids = tree.children(v);
    lists.pairs(v, kids);
    lists.join(v, kids);
  }
}

// The cells come first: a size that cannot be allocated is one clean
// allocation failure, before any per-id or per-node work.
DistanceMatrix with_cells(uint64_t n) {
  DistanceMatrix m;
  m.size = n;
  allocate_cells(m.distances, cell_count(n));
  return m;
}

}  // namespace

DistanceMatrix distance_matrix_by_lists(const Tree& tree) {
  DistanceMatrix m = with_cells(tree.ntaxa);
  fill_by_lists(tree, tree.preorder(), m);
  return m;
}

DistanceMatrix distance_matrix(const Tree& tree) {
  DistanceMatrix m = with_cells(tree.ntaxa);
  const std::vector<uint64_t> order = tree.preorder();
  if (m.size < 2 || !plain_tree(tree, order, m.size))
    fill_by_lists(tree, order, m);
  else
    fill_rows(tree, order, m.size, m.distances);
  return m;
}

double DistanceMatrix::get(uint64_t i, uint64_t j) const {
  if (i == j) return 0.0;
  const uint64_t hi = std::max(i, j);
  const double& cell = at(distances, cell_index(size, std::min(i, j), hi));
  // An id without a row would otherwise read the cell of another pair.
  check_index(size, hi);
  return cell;
}

}  // namespace qb
