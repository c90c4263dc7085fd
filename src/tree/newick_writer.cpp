// Newick writer: depth-first over the child chains with an explicit stack, so
// tree depth is bounded by memory rather than by the call stack.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "large_pages.hpp"
#include "length_text.hpp"
#include "newick.hpp"

namespace qb {

namespace {

// Bytes a tree will take, roughly: names at the taxon set's mean length plus
// the punctuation and the length texts. Only sizes the reservation.
size_t estimate(const Tree& tree, size_t mean_name, bool with_lengths) {
  const uint64_t n = tree.node_count();
  return n * (with_lengths ? 12 : 2) + std::min<uint64_t>(tree.ntaxa, n) * mean_name + 2;
}

size_t mean_name_length(const NameList& names) {
  if (names.empty()) return 0;
  return names.byte_size() / names.size() + 1;
}

// Appends to a string through a raw cursor. The string's size runs ahead of
// the text written, so that each node asks once for all the room it can
// need; the size is cut back to the text when the cursor goes, also when a
// walk stops part way.
class Cursor {
 public:
  Cursor(std::string& out, size_t expect) : out_(out), used_(out.size()) { grow(expect); }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;
  ~Cursor() { out_.resize(used_); }

  // Room for n bytes at the returned position; write, then advance(end).
  char* room(size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) [[unlikely]]
      grow(n);
    return p_;
  }
  void advance(char* end) {
    p_ = end;
    used_ = static_cast<size_t>(p_ - out_.data());
  }
  void put(char c) {
    char* p = room(1);
    *p = c;
    advance(p + 1);
  }

 private:
  // Past the capacity the string grows geometrically; within it the room is
  // taken whole, so that every byte is cleared once at most.
  void grow(size_t n) {
    if (used_ + n > out_.capacity()) {
      out_.reserve(std::max(2 * out_.capacity(), used_ + n));
      advise_large_pages(out_.data() + used_, out_.capacity() - used_);
    }
    out_.resize(out_.capacity());
    p_ = out_.data() + used_;
    end_ = out_.data() + out_.size();
  }

  std::string& out_;
  size_t used_;
  char* p_ = nullptr;
  char* end_ = nullptr;
};

// Copies a name; short ones, the usual taxon name, by two loads that may
// overlap instead of a library call.
inline char* put_name(char* p, std::string_view name) {
  const char* s = name.data();
  const size_t n = name.size();
  if (n >= 8 && n <= 16) {
    uint64_t a, b;
    std::memcpy(&a, s, 8);
    std::memcpy(&b, s + n - 8, 8);
    std::memcpy(p, &a, 8);
    std::memcpy(p + n - 8, &b, 8);
  } else if (n >= 4 && n < 8) {
    uint32_t a, b;
    std::memcpy(&a, s, 4);
    std::memcpy(&b, s + n - 4, 4);
    std::memcpy(p, &a, 4);
    std::memcpy(p + n - 4, &b, 4);
  } else if (n < 4) {
    for (size_t i = 0; i < n; ++i) p[i] = s[i];
  } else {
    std::memcpy(p, s, n);
  }
  return p + n;
}

// Room one node may take beyond its name: "(" or ",", ")" or ",", and ":"
// with a length text.
constexpr size_t kNodeRoom = kMaxLengthText + 4;

void write_subtree(const Tree& tree, uint64_t start, const NameList& names, bool with_lengths,
                   Cursor& cursor) {
  const uint64_t n = tree.node_count();
  check_index(n, start);
  uint64_t budget = n;  // nodes this walk may still visit
  // Open inner nodes, innermost last: the parents of the nodes being written.
  std::vector<int32_t> open;
  int64_t v = static_cast<int64_t>(start);
  for (;;) {
    if (budget-- == 0) panic_not_a_tree();
    // Enter v.
    if (at(tree.childcount, v) == 0) {
      // A leaf without a taxon (a negative entry: an empty leaf of the text,
      // the root of a text without nodes, the one node of a restriction that
      // kept no leaf) has an empty label. Any other entry names a taxon.
      const int32_t taxon = at(tree.taxa, v);
      const std::string_view name = taxon < 0 ? std::string_view() : at(names, taxon);
      cursor.advance(put_name(cursor.room(name.size() + kNodeRoom), name));
    } else {
      char* p = cursor.room(kNodeRoom);
      *p++ = '(';
      const int64_t c = tree.first_child(v);
      if (c != -1) {
        cursor.advance(p);
        open.push_back(static_cast<int32_t>(v));
        v = c;
        continue;
      }
      *p++ = ')';
      cursor.advance(p);
    }
    // v is written whole: close it in its parent, then move to its next
    // sibling or, after the last one, close the parent in turn.
    for (;;) {
      if (open.empty()) return;
      char* p = cursor.room(kNodeRoom);
      if (with_lengths) {
        const double len = at(tree.lengths, v);
        if (len >= 0.0) {
          *p++ = ':';
          p = write_length_text(len, p);
        }
      }
      const int64_t s = tree.next_sibling(v);
      if (s != -1) {
        *p++ = ',';
        cursor.advance(p);
        v = s;
        break;
      }
      *p++ = ')';
      cursor.advance(p);
      v = open.back();
      open.pop_back();
    }
  }
}

}  // namespace

void append_length(double value, std::string& out) {
  char buf[kMaxLengthText];
  out.append(buf, write_length_text(value, buf));
}

void write_newick_node(const Tree& tree, uint64_t node, const NameList& names,
                       bool with_lengths, std::string& out) {
  Cursor cursor(out, estimate(tree, mean_name_length(names), with_lengths));
  write_subtree(tree, node, names, with_lengths, cursor);
}

void write_newick_topology(const Tree& tree, uint64_t node, const NameList& names,
                           std::string& out) {
  write_newick_node(tree, node, names, false, out);
}

std::string tree_to_newick(const Tree& tree, const TaxonSet& taxon_set) {
  std::string out;
  {
    Cursor cursor(out, estimate(tree, mean_name_length(taxon_set.names), true) + 1);
    write_subtree(tree, 0, taxon_set.names, true, cursor);
    cursor.put(';');
  }
  return out;
}

std::vector<std::string> collect_newick_strings(std::span<const Tree> trees,
                                                const TaxonSet& taxon_set) {
  std::vector<std::string> out;
  out.reserve(trees.size());
  const size_t mean = mean_name_length(taxon_set.names);
  for (const Tree& tree : trees) {
    std::string& text = out.emplace_back();
    Cursor cursor(text, estimate(tree, mean, true) + 1);
    write_subtree(tree, 0, taxon_set.names, true, cursor);
    cursor.put(';');
  }
  return out;
}

std::string to_newick_string(std::span<const Tree> trees, const TaxonSet& taxon_set) {
  // Written straight into one text: the same bytes as joining the texts of
  // collect_newick_strings with "\n", without the intermediate copies.
  const size_t mean = mean_name_length(taxon_set.names);
  size_t total = 0;
  for (const Tree& tree : trees) total += estimate(tree, mean, true) + 2;
  std::string out;
  {
    Cursor cursor(out, total);
    for (size_t i = 0; i < trees.size(); ++i) {
      if (i != 0) cursor.put('\n');
      write_subtree(trees[i], 0, taxon_set.names, true, cursor);
      cursor.put(';');
    }
  }
  return out;
}

}  // namespace qb
