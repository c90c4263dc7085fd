// Child sorting: reorders the children of every node under a list of
// criteria, without renumbering any node.
//
// Nodes are sorted in index order, each node's chain relinked as soon as its
// children are sorted, and the comparator walks the chains as they stand at
// that moment: chains of nodes with a lower index already sorted, all others
// still as they were. For a parsed tree (children numbered above their
// parents) comparisons therefore see the subtrees below as written, not as
// sorted.
//
// Only chains of nodes reachable from the root are ever walked. The preorder
// walk at the start has checked that those stay inside the arena and meet no
// node twice, and relinking a chain only permutes it, so every later walk of
// them ends and stays in range. A node that is not reachable has no children
// as far as sorting is concerned. A plain tree (is_plain_tree: one linear
// check) needs no such walk: all its nodes are reached, its chains hold
// childcount nodes, and counting down the indices sums children first.
#include <algorithm>
#include <bit>
#include <cstring>

#include "failure.hpp"
#include "large_pages.hpp"
#include "plain_tree.hpp"
#include "tree.hpp"

namespace qb {

std::vector<SortCriterion> collect_sort_criteria(std::span<const SortPair> pairs) {
  std::vector<SortCriterion> out;
  out.reserve(pairs.size());
  for (const auto& [kind, ascending] : pairs)
    out.push_back(make_criterion(kind, ascending.has_value() && !*ascending ? SortOrder::Descending
                                                                               : SortOrder::Ascending));
  return out;
}

namespace {

template <class T>
void copy_populated(std::vector<T>& to, const std::vector<T>& from) {
  to.reserve(from.size());
  populate_for_write(to.data(), from.size() * sizeof(T));
  to.assign(from.begin(), from.end());
}

// Leaves below each node (a leaf counts itself), children before parents.
void count_descendants(const Tree& tree, const std::vector<uint64_t>& order, SortWork& work) {
  work.descendants.assign(tree.node_count(), 0);
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const uint64_t v = *it;
    uint32_t count = 1;
    if (at(tree.childcount, v) != 0) {
      count = 0;
      for (int32_t c = at(tree.firstchild, v); c != -1; c = at(tree.nextsib, c)) count += work.descendants[c];
    }
    work.descendants[v] = count;
  }
}

// The same counts for a plain tree (is_plain_tree), whose parents come
// before their children: one pass down the indices, no walk.
void count_descendants_plain(const Tree& tree, SortWork& work) {
  const uint64_t n = tree.node_count();
  work.descendants.assign(n, 0);
  uint32_t* count = work.descendants.data();
  const int32_t* parents = tree.parents.data();
  const uint32_t* childcount = tree.childcount.data();
  for (uint64_t v = n - 1; v > 0; --v) {
    if (childcount[v] == 0) count[v] = 1;
    count[parents[v]] += count[v];
  }
  if (childcount[0] == 0) count[0] = 1;
}

// The first eight bytes of every name, big-endian and padded with zero bytes,
// so that two names whose keys differ compare as their keys do; equal keys
// (a shared prefix of eight bytes, or padding against zero bytes) say
// nothing and the names are compared.
void name_keys(const NameList& names, SortWork& work) {
  work.keys.resize(names.size());
  if (names.empty()) return;
  const char* const bytes = names[0].data();
  const uint64_t total = names.byte_size();
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string_view name = names[i];
    const size_t len = std::min<size_t>(8, name.size());
    uint64_t key = 0;
    if (static_cast<uint64_t>(name.data() - bytes) + 8 <= total) {
      // Eight bytes are there to load; those past the name are cleared.
      std::memcpy(&key, name.data(), 8);
      if constexpr (std::endian::native == std::endian::little) key = __builtin_bswap64(key);
      key = len == 0 ? 0 : key & (~uint64_t{0} << (64 - 8 * len));
    } else {
      for (size_t j = 0; j < 8; ++j) key = key << 8 | (j < len ? static_cast<unsigned char>(name[j]) : 0);
    }
    work.keys[i] = key;
  }
}

// Stable: equal elements keep their relative order. Two children (the usual
// case) take one comparison; short lists an insertion sort that allocates
// nothing; long ones a merge sort.
template <class Less>
void stable_sort_children(std::vector<uint32_t>& kids, Less&& less) {
  const size_t k = kids.size();
  if (k == 2) {
    if (less(kids[1], kids[0])) std::swap(kids[0], kids[1]);
  } else if (k <= 16) {
    for (size_t i = 1; i < k; ++i) {
      const uint32_t x = kids[i];
      size_t j = i;
      for (; j > 0 && less(x, kids[j - 1]); --j) kids[j] = kids[j - 1];
      kids[j] = x;
    }
  } else {
    std::stable_sort(kids.begin(), kids.end(), less);
  }
}

}  // namespace

Tree copy_for_sorting(const Tree& tree) {
  Tree out;
  copy_populated(out.taxa, tree.taxa);
  copy_populated(out.parents, tree.parents);
  copy_populated(out.support, tree.support);
  copy_populated(out.lengths, tree.lengths);
  copy_populated(out.firstchild, tree.firstchild);
  copy_populated(out.nextsib, tree.nextsib);
  copy_populated(out.childcount, tree.childcount);
  out.fake_root = tree.fake_root;
  out.ntaxa = tree.ntaxa;
  return out;
}

void Tree::sort_by_criteria(const NameList& names, std::span<const SortCriterion> criteria) {
  const uint64_t n = node_count();
  // A plain tree (the usual case) needs no checking walk: every node is
  // reached once, its chain holds childcount nodes, and its parents come first.
  const bool plain = is_plain_tree(*this);
  std::vector<uint64_t> order;
  // Marks only for a tree with nodes the root does not reach.
  std::vector<uint8_t> reachable;
  if (!plain) {
    order = preorder();
    if (order.size() != n) {
      reachable.assign(n, 0);
      for (const uint64_t v : order) reachable[v] = 1;
    }
  }
  SortWork work;
  const auto uses = [&](SortCriterionKind kind) {
    return std::any_of(criteria.begin(), criteria.end(),
                       [&](const SortCriterion& c) { return c.kind == static_cast<uint8_t>(kind); });
  };
  if (uses(SortCriterionKind::DescendantCount)) {
    if (plain)
      count_descendants_plain(*this, work);
    else
      count_descendants(*this, order, work);
  }
  // Keys for every name cost a pass over the names: worth it when the tree
  // has about as many leaves as the taxon set has names.
  if (uses(SortCriterionKind::LexicographicalOrder) && names.size() <= n) name_keys(names, work);

  // A single criterion (the usual call) is decided here whenever no walk
  // below the two nodes is needed, by the rules of compare_nodes; every other
  // comparison is left to it.
  const auto less = [&](uint32_t x, uint32_t y) {
    if (criteria.size() == 1) {
      const SortCriterion c = criteria[0];
      std::weak_ordering raw = std::weak_ordering::equivalent;
      bool decided = true;
      switch (static_cast<SortCriterionKind>(c.kind)) {
        case SortCriterionKind::ChildCount:
          raw = at(childcount, x) <=> at(childcount, y);
          break;
        case SortCriterionKind::DescendantCount:
          raw = at(work.descendants, x) <=> at(work.descendants, y);
          break;
        case SortCriterionKind::LexicographicalOrder: {
          // Two internal nodes are told apart by the first pair of children
          // that differs, and the walk meets the pair of first children first:
          // in a plain tree go straight down to the first pair that is not
          // two internal nodes, and decide here if that pair differs.
          uint64_t a = x, b = y;
          if (plain)
            while (childcount[a] != 0 && childcount[b] != 0) {
              a = static_cast<uint64_t>(firstchild[a]);
              b = static_cast<uint64_t>(firstchild[b]);
            }
          decided = false;
          const bool leaf_a = at(childcount, a) == 0, leaf_b = at(childcount, b) == 0;
          if (!leaf_a && !leaf_b) break;
          const std::vector<uint64_t>& keys = work.keys;
          const uint64_t ka = leaf_a ? static_cast<uint64_t>(static_cast<int64_t>(at(taxa, a))) : 0;
          const uint64_t kb = leaf_b ? static_cast<uint64_t>(static_cast<int64_t>(at(taxa, b))) : 0;
          if (ka >= keys.size() || kb >= keys.size()) break;
          if (leaf_a && leaf_b) {
            decided = keys[ka] != keys[kb];
            raw = keys[ka] <=> keys[kb];
          } else {
            // An internal node reads as the empty name; a key other than 0
            // is a name that is not empty.
            decided = keys[leaf_a ? ka : kb] != 0;
            raw = leaf_a ? std::weak_ordering::greater : std::weak_ordering::less;
          }
          break;
        }
        default:
          decided = false;
      }
      if (decided) return (c.order != 0 ? 0 <=> raw : raw) < 0;
    }
    return compare_nodes(x, y, names, criteria, work) < 0;
  };
  std::vector<uint32_t> kids;
  for (uint64_t v = 0; v < n; ++v) {
    if (at(childcount, v) < 2) continue;
    if (plain && childcount[v] == 2) {
      // The chain is exactly first -> second -> -1.
      const int32_t first = firstchild[v];
      const int32_t second = nextsib[first];
      if (less(static_cast<uint32_t>(second), static_cast<uint32_t>(first))) {
        firstchild[v] = second;
        nextsib[second] = first;
        nextsib[first] = -1;
      }
      continue;
    }
    kids.clear();
    if (reachable.empty() || reachable[v])
      for (int32_t c = at(firstchild, v); c != -1; c = at(nextsib, c)) kids.push_back(static_cast<uint32_t>(c));
    stable_sort_children(kids, less);
    // A node that claims two or more children but has none to sort stops
    // here with the bounds text.
    at(firstchild, v) = static_cast<int32_t>(at(kids, 0));
    for (size_t i = 0; i + 1 < kids.size(); ++i) nextsib[kids[i]] = static_cast<int32_t>(kids[i + 1]);
    nextsib[kids.back()] = -1;
  }
}

// A lexicographic comparison of two internal nodes compares their children
// pair by pair under the whole criteria list, and the first pair that differs
// decides the whole comparison as it stands (the orders below it already
// applied, none applied again above). So the answer is the first difference
// met in a depth-first walk of the pairs: a pair that compares equal hands
// control back to its parent's next pair, and any difference ends the walk.
std::weak_ordering Tree::compare_nodes(uint64_t a, uint64_t b, const NameList& names,
                                       std::span<const SortCriterion> criteria, SortWork& work) const {
  using std::weak_ordering;
  const auto leaf = [&](uint64_t v) { return at(childcount, v) == 0; };
  const auto name = [&](uint64_t v) { return at(names, at(taxa, v)); };
  // Names by their keys when those differ; the names themselves otherwise,
  // and for a taxon outside the names, which stops with the bounds text.
  const auto leaf_names = [&](uint64_t x, uint64_t y) -> weak_ordering {
    const uint64_t kx = static_cast<uint64_t>(static_cast<int64_t>(at(taxa, x)));
    const uint64_t ky = static_cast<uint64_t>(static_cast<int64_t>(at(taxa, y)));
    const std::vector<uint64_t>& keys = work.keys;
    if (kx < keys.size() && ky < keys.size() && keys[kx] != keys[ky]) return keys[kx] <=> keys[ky];
    return name(x).compare(name(y)) <=> 0;
  };
  work.stack.clear();
  uint64_t criterion = 0;
  bool resumed = false;  // next_a/next_b hold the walk of criterion `criterion` on a and b
  int32_t next_a = -1;
  int32_t next_b = -1;
  for (;;) {
    bool descended = false;
    for (; criterion < criteria.size(); ++criterion, resumed = false) {
      const SortCriterion c = criteria[criterion];
      weak_ordering raw = weak_ordering::equivalent;
      switch (static_cast<SortCriterionKind>(c.kind)) {
        case SortCriterionKind::ChildCount:
          raw = at(childcount, a) <=> at(childcount, b);
          break;
        case SortCriterionKind::DescendantCount:
          if (!work.descendants.empty()) raw = at(work.descendants, a) <=> at(work.descendants, b);
          break;
        case SortCriterionKind::LexicographicalOrder: {
          const bool leaf_a = leaf(a);
          const bool leaf_b = leaf(b);
          if (leaf_a && leaf_b) {
            raw = leaf_names(a, b);
          } else if (leaf_a) {
            // An internal node reads as the empty name.
            raw = name(a).empty() ? weak_ordering::equivalent : weak_ordering::greater;
          } else if (leaf_b) {
            raw = name(b).empty() ? weak_ordering::equivalent : weak_ordering::less;
          } else {
            if (!resumed) {
              next_a = at(firstchild, a);
              next_b = at(firstchild, b);
            }
            if (next_a != -1 && next_b != -1) {
              work.stack.push_back({static_cast<uint32_t>(a), static_cast<uint32_t>(b),
                                    static_cast<uint32_t>(criterion), at(nextsib, next_a), at(nextsib, next_b)});
              a = static_cast<uint32_t>(next_a);
              b = static_cast<uint32_t>(next_b);
              descended = true;
            } else {
              // Every pair equal: the shorter list is less.
              raw = (next_a != -1) <=> (next_b != -1);
            }
          }
          break;
        }
      }
      if (descended) break;
      if (raw != 0) return c.order != 0 ? 0 <=> raw : raw;
    }
    if (descended) {
      criterion = 0;
      resumed = false;
      continue;
    }
    // a and b are equal under every criterion.
    if (work.stack.empty()) return weak_ordering::equivalent;
    const SortWork::Frame f = work.stack.back();
    work.stack.pop_back();
    a = f.a;
    b = f.b;
    criterion = f.criterion;
    next_a = f.next_a;
    next_b = f.next_b;
    resumed = true;
  }
}

}  // namespace qb
