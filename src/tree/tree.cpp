#include "tree.hpp"

#include "failure.hpp"

namespace qb {

namespace {

constexpr const char* kNotATree = "malformed tree: node links do not form a tree";

// A link read from firstchild/nextsib as a node index, -1 meaning none.
// Anything else outside the arena stops with the bounds text.
inline bool next_link(int32_t link, uint64_t n, uint64_t& out) {
  if (link == -1) return false;
  const uint64_t i = static_cast<uint64_t>(static_cast<int64_t>(link));
  check_index(n, i);
  out = i;
  return true;
}

}  // namespace

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
    uint64_t c;
    bool more = next_link(at(firstchild, v), n, c);
    while (more) {
      if (seen[c]) panic(kNotATree);
      seen[c] = 1;
      stack.push_back(c);
      more = next_link(at(nextsib, c), n, c);
    }
  }
  return order;
}

std::vector<uint64_t> Tree::children(uint64_t node) const {
  const uint64_t n = node_count();
  std::vector<uint64_t> out;
  uint64_t c;
  bool more = next_link(at(firstchild, node), n, c);
  while (more) {
    // A chain longer than the arena must loop.
    if (out.size() == n) panic(kNotATree);
    out.push_back(c);
    more = next_link(at(nextsib, c), n, c);
  }
  return out;
}

}  // namespace qb
