#include "tree.hpp"

namespace qb {

void panic_not_a_tree(const char* file, int line) {
  panic("malformed tree: node links do not form a tree", file, line);
}

std::vector<uint64_t> Tree::preorder() const {
  const uint64_t n = node_count();
  std::vector<uint64_t> order;
  if (n == 0) panic("malformed tree: the tree has no nodes");
  order.reserve(n);
  // One mark per node, set when the node is pushed: a node reached twice
  // (shared child, cycle, sibling loop) cannot come from a tree.
  std::vector<uint8_t> seen(n, 0);
  std::vector<uint64_t> stack;
  stack.push_back(0);
  seen[0] = 1;
  while (!stack.empty()) {
    const uint64_t v = stack.back();
    stack.pop_back();
    order.push_back(v);
    for (int64_t c = first_child(v); c != -1; c = next_sibling(c)) {
      if (seen[c]) panic_not_a_tree();
      seen[c] = 1;
      stack.push_back(c);
    }
  }
  return order;
}

std::vector<uint64_t> Tree::children(uint64_t node) const {
  const uint64_t n = node_count();
  std::vector<uint64_t> out;
  for (int64_t c = first_child(node); c != -1; c = next_sibling(c)) {
    // A chain longer than the arena must loop.
    if (out.size() == n) panic_not_a_tree();
    out.push_back(c);
  }
  return out;
}

TreeBuilder::TreeBuilder(uint64_t capacity, int32_t root_taxon) {
  tree_.taxa.reserve(capacity);
  tree_.parents.reserve(capacity);
  tree_.firstchild.reserve(capacity);
  tree_.nextsib.reserve(capacity);
  tree_.childcount.reserve(capacity);
  last_child_.reserve(capacity);
  tree_.taxa.push_back(root_taxon);
  tree_.parents.push_back(0);
  tree_.firstchild.push_back(-1);
  tree_.nextsib.push_back(-1);
  tree_.childcount.push_back(0);
  last_child_.push_back(-1);
}

int32_t TreeBuilder::add(int32_t parent, int32_t taxon) {
  const int32_t k = static_cast<int32_t>(tree_.taxa.size());
  check_index(tree_.taxa.size(), static_cast<uint64_t>(static_cast<int64_t>(parent)));
  tree_.taxa.push_back(taxon);
  tree_.parents.push_back(parent);
  tree_.firstchild.push_back(-1);
  tree_.nextsib.push_back(-1);
  tree_.childcount.push_back(0);
  last_child_.push_back(-1);
  tree_.childcount[parent] += 1;
  int32_t& last = last_child_[parent];
  (last == -1 ? tree_.firstchild[parent] : tree_.nextsib[last]) = k;
  last = k;
  return k;
}

Tree TreeBuilder::finish(uint64_t ntaxa) && {
  const uint64_t n = tree_.node_count();
  tree_.support.assign(n, 0.0);
  tree_.lengths.assign(n, 0.0);
  tree_.fake_root = false;
  tree_.ntaxa = ntaxa;
  return std::move(tree_);
}

}  // namespace qb
