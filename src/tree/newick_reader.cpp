// Newick reader. One left-to-right pass over bytes: every structural
// character is ASCII and no byte of a multi-byte UTF-8 character is, so labels
// and length texts are taken as byte ranges of the input without decoding.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "newick.hpp"

namespace qb {

namespace {

constexpr const char* kBadLength =
    "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }";

// Byte classes: which bytes end a label, and which end a length text.
enum : uint8_t { kEndsLabel = 1, kEndsLength = 2 };

constexpr std::array<uint8_t, 256> make_classes() {
  std::array<uint8_t, 256> t{};
  for (char c : {')', ',', ';', '['}) t[static_cast<uint8_t>(c)] = kEndsLabel | kEndsLength;
  t[static_cast<uint8_t>(':')] = kEndsLabel;
  return t;
}
constexpr std::array<uint8_t, 256> kClass = make_classes();

inline const char* scan_until(const char* p, const char* end, uint8_t cls) {
  while (p != end && !(kClass[static_cast<uint8_t>(*p)] & cls)) ++p;
  return p;
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline bool equals_ignore_case(const char* p, size_t n, const char* lower) {
  if (std::strlen(lower) != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = p[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// The float syntax of a length: [+-] then digits[.digits] / .digits with an
// optional exponent, or inf / infinity / nan in any case. Returns the text
// without its '+' (from_chars takes no '+'), or nullptr when it does not match.
const char* check_length_syntax(const char* p, const char* end) {
  const char* body = p;
  if (p != end && (*p == '+' || *p == '-')) ++p;
  const size_t rest = static_cast<size_t>(end - p);
  if (equals_ignore_case(p, rest, "inf") || equals_ignore_case(p, rest, "infinity") ||
      equals_ignore_case(p, rest, "nan"))
    return *body == '+' ? body + 1 : body;
  size_t digits = 0;
  while (p != end && is_digit(*p)) ++p, ++digits;
  if (p != end && *p == '.') {
    ++p;
    while (p != end && is_digit(*p)) ++p, ++digits;
  }
  if (digits == 0) return nullptr;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !is_digit(*p)) return nullptr;
    while (p != end && is_digit(*p)) ++p;
  }
  if (p != end) return nullptr;
  return *body == '+' ? body + 1 : body;
}

// Value of a decimal text that from_chars reported out of range: infinity
// when its magnitude is at least 1, zero otherwise (both with the sign).
double out_of_range_value(const char* p, const char* end) {
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  // Decimal exponent of the first significant digit, relative to the point.
  int64_t magnitude = 0;
  bool found = false;
  int64_t int_digits = 0;
  while (p != end && is_digit(*p)) {
    if (*p != '0') found = true;
    if (found) ++int_digits;
    ++p;
  }
  magnitude = int_digits;
  if (p != end && *p == '.') {
    ++p;
    while (p != end && is_digit(*p)) {
      if (!found) {
        if (*p != '0') found = true;
        else --magnitude;
      }
      ++p;
    }
  }
  int64_t exponent = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool eneg = false;
    if (*p == '+' || *p == '-') eneg = *p++ == '-';
    for (; p != end; ++p) exponent = std::min<int64_t>(exponent * 10 + (*p - '0'), int64_t{1} << 40);
    if (eneg) exponent = -exponent;
  }
  const double mag = (found && magnitude + exponent > 0) ? HUGE_VAL : 0.0;
  return negative ? -mag : mag;
}

double parse_length(const char* p, const char* end) {
  const char* start = check_length_syntax(p, end);
  if (start == nullptr) panic(kBadLength);
  double value = 0.0;
  const auto [stop, ec] = std::from_chars(start, end, value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) return out_of_range_value(p, end);
  if (ec != std::errc() || stop != end) panic(kBadLength);
  return value;
}

// Appends nodes to the seven sequences; the caller has reserved them.
struct Arena {
  Tree& t;
  int32_t add(int32_t parent) {
    if (t.taxa.size() >= static_cast<size_t>(INT32_MAX)) panic("Newick text holds more nodes than a tree can index");
    const auto index = static_cast<int32_t>(t.taxa.size());
    t.taxa.push_back(-1);
    t.parents.push_back(parent);
    t.support.push_back(0.0);
    t.lengths.push_back(0.0);
    t.firstchild.push_back(-1);
    t.nextsib.push_back(-1);
    t.childcount.push_back(0);
    return index;
  }
};

void reserve_nodes(Tree& t, size_t n) {
  t.taxa.reserve(n);
  t.parents.reserve(n);
  t.support.reserve(n);
  t.lengths.reserve(n);
  t.firstchild.reserve(n);
  t.nextsib.reserve(n);
  t.childcount.reserve(n);
}

// Capacity equal to size, for the rare text whose node bound was not exact
// ('(' inside labels, ',' inside comments, a ';' inside a comment).
void fit_nodes(Tree& t) {
  if (t.taxa.capacity() == t.taxa.size()) return;
  t.taxa.shrink_to_fit();
  t.parents.shrink_to_fit();
  t.support.shrink_to_fit();
  t.lengths.shrink_to_fit();
  t.firstchild.shrink_to_fit();
  t.nextsib.shrink_to_fit();
  t.childcount.shrink_to_fit();
}

size_t count_node_makers(const char* p, const char* end) {
  size_t n = 0;
  for (; p != end; ++p) n += (*p == '(') | (*p == ',');
  return n;
}

// Skips a comment whose '[' is at p[-1]; returns the position after its
// closing ']' or end when it stays open.
const char* skip_comment(const char* p, const char* end) {
  uint64_t depth = 0;
  for (; p != end; ++p) {
    if (*p == '[') {
      ++depth;
    } else if (*p == ']') {
      if (depth == 0) return p + 1;
      --depth;
    }
  }
  return end;
}

Tree parse_tree_bytes(TaxonSet& taxon_set, const char* begin, const char* end) {
  Tree tree;
  {
    const void* semi = std::memchr(begin, ';', static_cast<size_t>(end - begin));
    const char* bound_end = semi ? static_cast<const char*>(semi) : end;
    reserve_nodes(tree, 1 + count_node_makers(begin, bound_end));
  }
  Arena arena{tree};
  arena.add(0);
  tree.taxa[0] = -42;
  tree.support[0] = -1.0;
  tree.lengths[0] = -1.0;

  int32_t cur = 0;
  const char* p = begin;
  while (p != end) {
    switch (*p) {
      case '(': {
        const int32_t child = arena.add(cur);
        tree.childcount[cur] += 1;
        tree.firstchild[cur] = child;
        cur = child;
        ++p;
        break;
      }
      case ',': {
        const auto next = static_cast<int32_t>(tree.taxa.size());
        tree.nextsib[cur] = next;
        const int32_t parent = tree.parents[cur];
        arena.add(parent);
        tree.childcount[parent] += 1;
        cur = next;
        ++p;
        break;
      }
      case ')':
        cur = tree.parents[cur];
        ++p;
        break;
      case ':': {
        ++p;
        const char* q = scan_until(p, end, kEndsLength);
        if (q != p) tree.lengths[cur] = parse_length(p, q);
        p = q;
        break;
      }
      case '[':
        p = skip_comment(p + 1, end);
        break;
      case ';':
        fit_nodes(tree);
        return tree;
      case ' ':
        ++p;
        break;
      default: {
        const char* q = scan_until(p + 1, end, kEndsLabel);
        if (tree.childcount[cur] == 0) {
          const uint64_t id = taxon_set.get_or_insert(std::string_view(p, static_cast<size_t>(q - p)));
          tree.taxa[cur] = static_cast<int32_t>(id);
          tree.ntaxa += 1;
        }
        p = q;
        break;
      }
    }
  }
  fit_nodes(tree);
  return tree;
}

// Length in bytes of the Unicode white-space character starting at p, or 0.
size_t leading_space(const unsigned char* p, const unsigned char* end) {
  const size_t n = static_cast<size_t>(end - p);
  const unsigned char c = p[0];
  if ((c >= 0x09 && c <= 0x0D) || c == 0x20) return 1;
  if (c == 0xC2 && n >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) return 2;
  if (n >= 3) {
    if (c == 0xE1 && p[1] == 0x9A && p[2] == 0x80) return 3;                  // U+1680
    if (c == 0xE2 && p[1] == 0x80 && (p[2] <= 0x8A || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF))
      return p[2] >= 0x80 ? 3 : 0;                                             // U+2000..200A, 2028, 2029, 202F
    if (c == 0xE2 && p[1] == 0x81 && p[2] == 0x9F) return 3;                  // U+205F
    if (c == 0xE3 && p[1] == 0x80 && p[2] == 0x80) return 3;                  // U+3000
  }
  return 0;
}

// Length in bytes of the Unicode white-space character ending at end, or 0.
size_t trailing_space(const unsigned char* begin, const unsigned char* end) {
  const size_t n = static_cast<size_t>(end - begin);
  const unsigned char c = end[-1];
  if ((c >= 0x09 && c <= 0x0D) || c == 0x20) return 1;
  if (n >= 2 && end[-2] == 0xC2 && (c == 0x85 || c == 0xA0)) return 2;
  if (n >= 3 && leading_space(end - 3, end) == 3) return 3;
  return 0;
}

}  // namespace

Tree parse_newick_tree(TaxonSet& taxon_set, std::string_view text) {
  return parse_tree_bytes(taxon_set, text.data(), text.data() + text.size());
}

Result<ParsedTrees> parse_newick_trees(std::string_view text, bool topology_only) {
  ParsedTrees parsed;
  parsed.topology_only = topology_only;
  const char* p = text.data();
  const char* const end = p + text.size();
  parsed.trees.reserve(static_cast<size_t>(std::count(p, end, ';')) + 1);
  for (;;) {
    const void* semi = std::memchr(p, ';', static_cast<size_t>(end - p));
    const char* piece_end = semi ? static_cast<const char*>(semi) : end;
    auto* b = reinterpret_cast<const unsigned char*>(p);
    auto* e = reinterpret_cast<const unsigned char*>(piece_end);
    while (b != e) {
      const size_t k = leading_space(b, e);
      if (k == 0) break;
      b += k;
    }
    while (b != e) {
      const size_t k = trailing_space(b, e);
      if (k == 0) break;
      e -= k;
    }
    // The piece ends where its ';' would be: parsing up to the end of the
    // trimmed bytes is the same as parsing them with ';' appended.
    if (b != e)
      parsed.trees.push_back(parse_tree_bytes(parsed.taxon_set, reinterpret_cast<const char*>(b),
                                              reinterpret_cast<const char*>(e)));
    if (!semi) break;
    p = piece_end + 1;
  }
  if (parsed.trees.empty()) return Error{"No valid trees found in input string"};
  return parsed;
}

ParseState new_parse_state(bool topology_only) {
  ParseState state;
  TaxonSet none;
  state.species_tree = parse_newick_tree(none, std::string_view());
  state.topology_only = topology_only;
  return state;
}

}  // namespace qb
