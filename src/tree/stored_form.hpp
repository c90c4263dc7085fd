#pragma once
// The stored form: positional little-endian encoding with 64-bit length
// prefixes, no header. Writers size their buffer exactly once; readers never
// reserve more than 1 MiB on the strength of a count and ignore trailing bytes.
//
// Readers check the encoding only: a well-encoded Tree whose links do not form
// a tree, or a TaxonSet whose fields disagree, is returned as read. The
// operations that walk such values guard themselves.
//
// Each record lists its fields once, in stored order, in a field visitor
// `fields(v, record)`. The size pass (StoredSizer), the write pass
// (StoredWriter) and the read pass (StoredReader) all run that one list, so
// they cannot disagree. A nested record is visited as `v.record(x)`; shared
// values and sequences of records are stored as what they hold. The taxon
// set alone is written by hand: its size is computed without sorting its
// names, and its reader recognises the plain index.
#include <bit>
#include <concepts>
#include <cstdint>
#include <memory>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "distance_matrix.hpp"
#include "failure.hpp"
#include "large_pages.hpp"
#include "shared.hpp"
#include "taxon_set.hpp"
#include "tree.hpp"

namespace qb {

std::string serialize_single_tree(const TaxonSet& taxon_set, const Tree& tree);
Result<std::pair<TaxonSet, Tree>> deserialize_single_tree(std::string_view bytes);

// ---------------------------------------------------------------------------
// Building blocks shared by the writers and readers of every record, the
// views' included.

// Write cursor over a buffer that the size pass has sized exactly; it never
// checks room, so every write must be matched by the size it was given.
class StoredWriter {
 public:
  explicit StoredWriter(char* out) noexcept : p_(out) {}

  void u64(uint64_t v) noexcept { put(v); }
  void u32(uint32_t v) noexcept { put(v); }
  void i32(int32_t v) noexcept { put(v); }
  void f64(double v) noexcept { put(v); }
  void flag(bool v) noexcept { *p_++ = v ? 1 : 0; }
  void text(std::string_view s) noexcept {
    u64(s.size());
    if (!s.empty()) std::memcpy(p_, s.data(), s.size());
    p_ += s.size();
  }
  // Count, then the elements as fixed-width little-endian words.
  template <class T>
  void numbers(const std::vector<T>& v) noexcept;

  // A choice among `count` variants (stored as u32; any nonzero value of a
  // two-way choice is stored as 1).
  void variant(uint32_t v, uint32_t count) noexcept { u32(v < count ? v : count - 1); }
  template <class R>
  void record(const R& r);

  char* position() const noexcept { return p_; }

 private:
  template <class T>
  void put(T v) noexcept;
  char* p_;
};

// Size pass: counts the bytes the write pass of the same visit writes.
class StoredSizer {
 public:
  void u64(uint64_t) noexcept { size_ += 8; }
  void u32(uint32_t) noexcept { size_ += 4; }
  void flag(bool) noexcept { size_ += 1; }
  void text(std::string_view s) noexcept { size_ += 8 + s.size(); }
  template <class T>
  void numbers(const std::vector<T>& v) noexcept {
    size_ += 8 + sizeof(T) * v.size();
  }
  void variant(uint32_t, uint32_t) noexcept { size_ += 4; }
  template <class R>
  void record(const R& r);

  uint64_t size() const noexcept { return size_; }

 private:
  uint64_t size_ = 0;
};

// Read cursor. The first failure is kept and every later read returns a zero
// value without consuming, so a record reader may run to its end and check
// ok() once; loops over counts stop as soon as ok() is false.
class StoredReader {
 public:
  explicit StoredReader(std::string_view bytes) noexcept
      : p_(reinterpret_cast<const unsigned char*>(bytes.data())), left_(bytes.size()) {}

  bool ok() const noexcept { return error_.empty(); }
  const std::string& error() const noexcept { return error_; }
  std::string take_error() noexcept { return std::move(error_); }
  uint64_t remaining() const noexcept { return left_; }

  uint64_t u64() noexcept { return get<uint64_t>(); }
  uint32_t u32() noexcept { return get<uint32_t>(); }
  int32_t i32() noexcept { return get<int32_t>(); }
  double f64() noexcept { return get<double>(); }
  bool flag();
  std::string text();
  // A text as a view into the input (valid while the input is).
  std::string_view text_view();
  // A text that text_view() has already accepted in an earlier pass over the
  // same bytes (from a copy of this reader): read again without the checks.
  std::string_view text_view_again() noexcept;
  // Count, then that many fixed-width elements into `out` (replaced).
  template <class T>
  void numbers(std::vector<T>& out);
  // The same reads into fields, for field visitors.
  void u64(uint64_t& out) noexcept { out = u64(); }
  void u32(uint32_t& out) noexcept { out = u32(); }
  void flag(bool& out) { out = flag(); }
  void variant(uint32_t& out, uint32_t count) {
    out = u32();
    if (ok() && out >= count)
      fail("invalid value: integer `" + std::to_string(out) + "`, expected variant index 0 <= i < " +
           std::to_string(count));
  }
  template <class R>
  void record(R& r);

  void fail(std::string message) {
    if (ok()) error_ = std::move(message);
    left_ = 0;
  }
  void fail_eof() { fail("io error: unexpected end of file"); }

  // How many elements of `element_bytes` bytes in memory to reserve for a
  // sequence whose count says `count`: at most 1 MiB worth, and no more than
  // the remaining input could encode at `min_encoded` bytes per element.
  uint64_t reserve_for(uint64_t count, uint64_t element_bytes, uint64_t min_encoded) const noexcept {
    uint64_t cap = (uint64_t{1} << 20) / (element_bytes ? element_bytes : 1);
    if (min_encoded && left_ / min_encoded < cap) cap = left_ / min_encoded;
    return count < cap ? count : cap;
  }

 private:
  template <class T>
  T get() noexcept;
  const unsigned char* p_;
  uint64_t left_;
  std::string error_;
};

// Validation of UTF-8 (RFC 3629). Empty on success; otherwise the detail of
// the first bad sequence: "invalid utf-8 sequence of K bytes from index I" or
// "incomplete utf-8 byte sequence from index I".
std::string utf8_error(std::string_view bytes);

// --- Records --------------------------------------------------------------

// A record's field visitor takes it const (size, write) or not (read).
template <class T, class R>
concept RecordOf = std::same_as<std::remove_const_t<T>, R>;

template <class V, RecordOf<Tree> T>
void fields(V& v, T& tree) {
  v.numbers(tree.taxa);
  v.numbers(tree.parents);
  v.numbers(tree.support);
  v.numbers(tree.lengths);
  v.numbers(tree.firstchild);
  v.numbers(tree.nextsib);
  v.numbers(tree.childcount);
  v.flag(tree.fake_root);
  v.u64(tree.ntaxa);
}

template <class V, RecordOf<DistanceMatrix> M>
void fields(V& v, M& matrix) {
  v.numbers(matrix.distances);
  v.u64(matrix.size);
}

// A record with a field visitor.
template <class R>
concept Visited = requires(StoredSizer& s, const R& r) { fields(s, r); };

template <Visited R>
uint64_t serialized_size(const R& r) {
  StoredSizer s;
  fields(s, r);
  return s.size();
}
template <Visited R>
void serialize(StoredWriter& w, const R& r) {
  fields(w, r);
}
template <Visited R>
void load(StoredReader& r, R& out) {
  fields(r, out);
}

// The taxon set, by hand.
uint64_t serialized_size(const TaxonSet& taxon_set);
void serialize(StoredWriter& w, const TaxonSet& taxon_set);
TaxonSet deserialize_taxon_set(StoredReader& r);
inline void load(StoredReader& r, TaxonSet& out) { out = deserialize_taxon_set(r); }

// A shared value is stored as the value it points at (never null).
template <class R>
uint64_t serialized_size(const std::shared_ptr<const R>& p) {
  return serialized_size(*p);
}
template <class R>
void serialize(StoredWriter& w, const std::shared_ptr<const R>& p) {
  serialize(w, *p);
}
template <class R>
void load(StoredReader& r, std::shared_ptr<const R>& out) {
  R value;
  load(r, value);
  out = share(std::move(value));
}

// The smallest encoding of a record: that of its empty value.
template <class R>
uint64_t min_encoded() {
  static const uint64_t size = serialized_size(R{});
  return size;
}
template <class R>
uint64_t min_encoded_element() {
  if constexpr (requires { typename R::element_type; })
    return min_encoded<std::remove_const_t<typename R::element_type>>();
  else
    return min_encoded<R>();
}

// A sequence of records: the count, then each record.
template <class R>
uint64_t serialized_size(const std::vector<R>& records) {
  uint64_t size = 8;
  for (const R& r : records) size += serialized_size(r);
  return size;
}
template <class R>
void serialize(StoredWriter& w, const std::vector<R>& records) {
  w.u64(records.size());
  for (const R& r : records) serialize(w, r);
}
template <class R>
void load(StoredReader& r, std::vector<R>& out) {
  out.clear();
  const uint64_t count = r.u64();
  if (r.ok()) out.reserve(r.reserve_for(count, sizeof(R), min_encoded_element<R>()));
  for (uint64_t i = 0; i < count && r.ok(); ++i) load(r, out.emplace_back());
}

template <class R>
void StoredWriter::record(const R& r) {
  serialize(*this, r);
}
template <class R>
void StoredSizer::record(const R& r) {
  size_ += serialized_size(r);
}
template <class R>
void StoredReader::record(R& r) {
  load(*this, r);
}

template <class R>
R deserialize(StoredReader& r) {
  R out;
  load(r, out);
  return out;
}
inline Tree deserialize_tree(StoredReader& r) { return deserialize<Tree>(r); }
inline DistanceMatrix deserialize_distance_matrix(StoredReader& r) { return deserialize<DistanceMatrix>(r); }

// Fills `out`, which holds exactly `size` bytes, by `write(StoredWriter&)`.
// A write pass that disagrees with its size pass is a bug: Panic.
template <class WriteFn>
void write_stored_to(char* out, uint64_t size, WriteFn&& write) {
  StoredWriter w(out);
  write(w);
  if (w.position() != out + size) panic("stored form: the write pass did not fill the size it computed");
}

// One exact allocation of `size` bytes, then `write(StoredWriter&)` fills it.
template <class WriteFn>
std::string write_stored(uint64_t size, WriteFn&& write) {
  std::string out;
  out.resize(size);
  write_stored_to(out.data(), size, write);
  return out;
}

// Runs `read(StoredReader&)` from the start of `bytes`; its first failure is
// the result.
template <class ReadFn>
auto read_stored(std::string_view bytes, ReadFn&& read) -> Result<decltype(read(std::declval<StoredReader&>()))> {
  StoredReader r(bytes);
  auto value = read(r);
  if (!r.ok()) return Error{r.take_error()};
  return value;
}

// The entry points of every record: its stored form as bytes, and back.
template <class R>
std::string write_record(const R& record) {
  return write_stored(serialized_size(record), [&](StoredWriter& w) { serialize(w, record); });
}
template <class R>
Result<R> read_record(std::string_view bytes) {
  return read_stored(bytes, [](StoredReader& r) { return deserialize<R>(r); });
}

// ---------------------------------------------------------------------------

template <class T>
void StoredWriter::put(T v) noexcept {
  static_assert(std::is_trivially_copyable_v<T>);
  unsigned char b[sizeof(T)];
  std::memcpy(b, &v, sizeof(T));
  if constexpr (std::endian::native == std::endian::big)
    for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(b[i], b[sizeof(T) - 1 - i]);
  std::memcpy(p_, b, sizeof(T));
  p_ += sizeof(T);
}

template <class T>
void StoredWriter::numbers(const std::vector<T>& v) noexcept {
  u64(v.size());
  if constexpr (std::endian::native == std::endian::little) {
    if (!v.empty()) std::memcpy(p_, v.data(), v.size() * sizeof(T));
    p_ += v.size() * sizeof(T);
  } else {
    for (const T& x : v) put(x);
  }
}

template <class T>
T StoredReader::get() noexcept {
  static_assert(std::is_trivially_copyable_v<T>);
  if (left_ < sizeof(T)) {
    fail_eof();
    return T{};
  }
  unsigned char b[sizeof(T)];
  std::memcpy(b, p_, sizeof(T));
  if constexpr (std::endian::native == std::endian::big)
    for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(b[i], b[sizeof(T) - 1 - i]);
  p_ += sizeof(T);
  left_ -= sizeof(T);
  T v;
  std::memcpy(&v, b, sizeof(T));
  return v;
}

template <class T>
void StoredReader::numbers(std::vector<T>& out) {
  out.clear();
  const uint64_t count = u64();
  if (!ok()) return;
  // A count the remaining input cannot hold fails like a read of its first
  // missing element; nothing is reserved for it.
  if (count > left_ / sizeof(T)) {
    fail_eof();
    return;
  }
  assign_large(out, static_cast<size_t>(count), T{});
  if constexpr (std::endian::native == std::endian::little) {
    if (count) std::memcpy(out.data(), p_, count * sizeof(T));
    p_ += count * sizeof(T);
    left_ -= count * sizeof(T);
  } else {
    for (auto& x : out) x = get<T>();
  }
}

// Entry points by name, for the records that have one; all are write_record
// and read_record.
inline std::string serialize_taxon_set(const TaxonSet& taxon_set) { return write_record(taxon_set); }
inline Result<TaxonSet> deserialize_taxon_set(std::string_view bytes) { return read_record<TaxonSet>(bytes); }

}  // namespace qb
