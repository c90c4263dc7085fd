// Newick reader. One left-to-right pass over bytes: every structural
// character is ASCII and no byte of a multi-byte UTF-8 character is, so labels
// and length texts are taken as byte ranges of the input without decoding.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "large_pages.hpp"
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
  // The value is 0.d... * 10^(magnitude + exponent), d its first significant
  // digit: at least 1 exactly when magnitude + exponent > 0.
  int64_t magnitude = 0;
  bool found = false;
  while (p != end && is_digit(*p)) {
    if (*p != '0') found = true;
    if (found) ++magnitude;
    ++p;
  }
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

// Value of a text known to match the decimal syntax, without its '+'.
double convert_decimal(const char* p, const char* end) {
  double value = 0.0;
  const auto [stop, ec] = std::from_chars(p, end, value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) return out_of_range_value(p, end);
  if (ec != std::errc() || stop != end) panic(kBadLength);
  return value;
}

double parse_length(const char* p, const char* end) {
  const char* start = check_length_syntax(p, end);
  if (start == nullptr) panic(kBadLength);
  return convert_decimal(start, end);
}
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Reads the length text that starts at p (after the ':') and stores it in
// `length`, unless the text is empty; returns where the text ends. A plain
// decimal, the usual length, is recognised in the same pass that finds its
// end. With at most 15 digits its digits m and its count f of decimals are
// exact doubles, so m / 10^f is the correctly rounded value; longer ones and
// those with an exponent go to from_chars without a second syntax check.
// Anything else (inf, nan, malformed text) goes through parse_length.
const char* read_length(const char* p, const char* end, double& length) {
  const char* q = p;
  const bool negative = q != end && *q == '-';
  if (q != end && (*q == '-' || *q == '+')) ++q;
  const char* const unsigned_text = q;
  uint64_t m = 0;
  while (q != end && is_digit(*q)) m = m * 10 + static_cast<uint64_t>(*q++ - '0');
  ptrdiff_t count = q - unsigned_text;
  ptrdiff_t decimals = 0;
  if (q != end && *q == '.') {
    const char* f = ++q;
    while (q != end && is_digit(*q)) m = m * 10 + static_cast<uint64_t>(*q++ - '0');
    decimals = q - f;
    count += decimals;
  }
  if (count > 0) {
    bool exponent = false;
    if (q != end && (*q == 'e' || *q == 'E')) {
      const char* e = q + 1;
      if (e != end && (*e == '+' || *e == '-')) ++e;
      const char* d = e;
      while (e != end && is_digit(*e)) ++e;
      if (e != d) {
        q = e;
        exponent = true;
      }
    }
    if (q == end || (kClass[static_cast<uint8_t>(*q)] & kEndsLength)) {
      if (!exponent && count <= 15) {
        const double v = static_cast<double>(m) / kPow10[decimals];
        length = negative ? -v : v;
      } else {
        length = convert_decimal(*p == '+' ? p + 1 : p, q);
      }
      return q;
    }
  }
  q = scan_until(q, end, kEndsLength);
  if (q != p) length = parse_length(p, q);
  return q;
}

// Counts over a text up to its first ';'.
struct PieceScan {
  const char* end;  // the first ';', or the end of the text
  size_t opens = 0;
  size_t commas = 0;
};

// One pass that finds where a piece ends and counts what sizes its tree.
// Counted in blocks of 255 bytes with one-byte counts, which vectorises over
// 16 or 32 bytes at a time where wide counts would not; the block that holds
// the ';' is counted again up to it.
PieceScan scan_piece(const char* p, const char* end) {
  PieceScan scan;
  while (p != end) {
    size_t block = std::min<size_t>(static_cast<size_t>(end - p), 255);
    uint8_t opens = 0, commas = 0, semis = 0;
    for (size_t i = 0; i < block; ++i) {
      opens = static_cast<uint8_t>(opens + (p[i] == '('));
      commas = static_cast<uint8_t>(commas + (p[i] == ','));
      semis = static_cast<uint8_t>(semis | (p[i] == ';'));
    }
    if (semis) {
      const char* semi = static_cast<const char*>(std::memchr(p, ';', block));
      block = static_cast<size_t>(semi - p);
      opens = commas = 0;
      for (size_t i = 0; i < block; ++i) {
        opens = static_cast<uint8_t>(opens + (p[i] == '('));
        commas = static_cast<uint8_t>(commas + (p[i] == ','));
      }
      scan.opens += opens;
      scan.commas += commas;
      scan.end = semi;
      return scan;
    }
    scan.opens += opens;
    scan.commas += commas;
    p += block;
  }
  scan.end = end;
  return scan;
}

// Node bound of a piece: every node but the root is made by one '(' or ','
// of the text, so 1 + their count is never too small. It is exact unless
// the text has '(' inside labels, ',' inside comments, or a second tree.
size_t node_bound(const PieceScan& scan) {
  const size_t n = 1 + scan.opens + scan.commas;
  if (n > static_cast<size_t>(INT32_MAX)) panic("Newick text holds more nodes than a tree can index");
  return n;
}

// The seven sequences are sized to the bound up front, every entry holding
// the fields of a new node, so making a node is setting its parent. At the
// end they are cut to the nodes made.
struct Arena {
  Tree& t;
  int32_t* parents;
  int32_t size = 0;

  Arena(Tree& tree, size_t bound) : t(tree) {
    assign_large(t.taxa, bound, -1);
    assign_large(t.parents, bound, 0);
    assign_large(t.support, bound, 0.0);
    assign_large(t.lengths, bound, 0.0);
    assign_large(t.firstchild, bound, -1);
    assign_large(t.nextsib, bound, -1);
    assign_large(t.childcount, bound, 0u);
    parents = t.parents.data();
    // The start arena: the root.
    size = 1;
    t.taxa[0] = -42;
    t.support[0] = -1.0;
    t.lengths[0] = -1.0;
  }

  int32_t add(int32_t parent) {
    parents[size] = parent;
    return size++;
  }

  void finish() {
    const auto n = static_cast<size_t>(size);
    if (n == t.taxa.size()) return;
    cut(t.taxa, n);
    cut(t.parents, n);
    cut(t.support, n);
    cut(t.lengths, n);
    cut(t.firstchild, n);
    cut(t.nextsib, n);
    cut(t.childcount, n);
  }

  template <class V>
  static void cut(V& v, size_t n) {
    v.resize(n);
    v.shrink_to_fit();
  }
};

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

// Counts over the one tree that a text starts with, up to where the parser
// stops: its first ';' outside a comment, or the end of the text. Outside a
// comment every '[' opens one (no label or length runs past a '['), and
// skip_comment finds its end as the parser does. Whatever follows the tree is
// never looked at, however long it is.
PieceScan scan_tree(const char* p, const char* end) {
  PieceScan scan;
  while (p != end && *p != ';') {
    if (*p == '[') {
      p = skip_comment(p + 1, end);
      continue;
    }
    scan.opens += *p == '(';
    scan.commas += *p == ',';
    ++p;
  }
  scan.end = p;
  return scan;
}

// Leaf labels wait here while the index slots where their lookups start are
// fetched; a new name costs a cache miss otherwise. They are resolved in text
// order (so ids stay first-seen, and a second label on a leaf still replaces
// the first) when the buffer is full, and at the end of the tree.
class PendingLabels {
 public:
  PendingLabels(TaxonSet& taxon_set, int32_t* taxa) : taxon_set_(taxon_set), taxa_(taxa) {}

  void add(int32_t node, const char* text, size_t size) {
    const uint64_t hash = name_hash(std::string_view(text, size));
    taxon_set_.prefetch(hash);
    labels_[count_++] = {text, size, hash, node};
    if (count_ == kSize) resolve();
  }

  void resolve() {
    const size_t n = count_;
    count_ = 0;
    for (size_t i = 0; i < n; ++i) {
      const Label& l = labels_[i];
      const uint64_t id = taxon_set_.get_or_insert(std::string_view(l.text, l.size), l.hash);
      if (id > static_cast<uint64_t>(INT32_MAX)) [[unlikely]]
        panic("taxon set holds more names than a tree can refer to");
      taxa_[l.node] = static_cast<int32_t>(id);
    }
  }

 private:
  static constexpr size_t kSize = 32;
  struct Label {
    const char* text;
    size_t size;
    uint64_t hash;
    int32_t node;
  };
  TaxonSet& taxon_set_;
  int32_t* const taxa_;
  Label labels_[kSize];
  size_t count_ = 0;
};

// One tree; leaf labels are registered in `taxon_set`. A tree that fails
// part way has still registered every label before the failure.
// `bound` is node_bound of a scan that covers [begin, end).
Tree parse_tree_bytes(TaxonSet& taxon_set, const char* begin, const char* end, size_t bound) {
  Tree tree;
  Arena arena(tree, bound);
  int32_t* const firstchild = tree.firstchild.data();
  int32_t* const nextsib = tree.nextsib.data();
  uint32_t* const childcount = tree.childcount.data();
  int32_t* const parents = tree.parents.data();
  PendingLabels labels(taxon_set, tree.taxa.data());

  int32_t cur = 0;
  const char* p = begin;
  try {
    while (p != end) {
      switch (*p) {
        case '(': {
          const int32_t child = arena.add(cur);
          childcount[cur] += 1;
          firstchild[cur] = child;
          cur = child;
          ++p;
          break;
        }
        case ',': {
          const int32_t parent = parents[cur];
          const int32_t next = arena.add(parent);
          nextsib[cur] = next;
          childcount[parent] += 1;
          cur = next;
          ++p;
          break;
        }
        case ')':
          cur = parents[cur];
          ++p;
          break;
        case ':': {
          p = read_length(p + 1, end, tree.lengths[static_cast<size_t>(cur)]);
          break;
        }
        case '[':
          p = skip_comment(p + 1, end);
          break;
        case ';':
          p = end;
          break;
        case ' ':
          ++p;
          break;
        default: {
          const char* q = scan_until(p + 1, end, kEndsLabel);
          if (childcount[cur] == 0) {
            labels.add(cur, p, static_cast<size_t>(q - p));
            tree.ntaxa += 1;
          }
          p = q;
          break;
        }
      }
    }
  } catch (...) {
    labels.resolve();
    throw;
  }
  labels.resolve();
  arena.finish();
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
  const char* const begin = text.data();
  const PieceScan scan = scan_tree(begin, begin + text.size());
  return parse_tree_bytes(taxon_set, begin, scan.end, node_bound(scan));
}

Result<ParsedTrees> parse_newick_trees(std::string_view text, bool topology_only) {
  ParsedTrees parsed;
  parsed.topology_only = topology_only;
  const char* p = text.data();
  const char* const end = p + text.size();
  for (bool first = true;; first = false) {
    // An empty view may hold the null pointer: nothing is scanned then.
    const PieceScan scan = p == end ? PieceScan{end} : scan_piece(p, end);
    const char* piece_end = scan.end;
    if (first) {
      // Room for as many names as the first tree has leaves at most, and
      // for all its bytes as name bytes: the trees of one text mostly share
      // their taxa. Growing by doubling instead would leave the smaller
      // buffers behind as heap; room reserved and never written costs no
      // memory.
      parsed.taxon_set.reserve(scan.commas + 1, static_cast<size_t>(piece_end - p));
    }
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
    // trimmed bytes is the same as parsing them with ';' appended. Trimming
    // removes no '(' or ',', so the scan's bound holds for the trimmed bytes.
    if (b != e)
      parsed.trees.push_back(parse_tree_bytes(parsed.taxon_set, reinterpret_cast<const char*>(b),
                                              reinterpret_cast<const char*>(e), node_bound(scan)));
    if (piece_end == end) break;
    p = piece_end + 1;
  }
  if (parsed.trees.empty()) return Error{"No valid trees found in input string"};
  // Exactly one slot per tree, as a count of ';' up front would give.
  parsed.trees.shrink_to_fit();
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
