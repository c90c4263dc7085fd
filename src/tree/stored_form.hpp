#pragma once
// The stored form: positional little-endian encoding with 64-bit length
// prefixes, no header. Writers size their buffer exactly once. Readers never
// reserve more than 1 MiB on the strength of a count, stop as soon as their
// value is complete (trailing bytes are never looked at) and may read bytes
// that arrive while they read (from a decompressor), charging what they build
// against a memory allowance.
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

// Where a reader's bytes come from when they arrive while it reads (a
// decompressor), and the allowance for the memory it builds from them.
class StoredSource {
 public:
  // Every byte that has arrived, at least the first `want` of them unless the
  // input ends first. Bytes keep their offsets but may move.
  virtual std::string_view more(uint64_t want) = 0;
  // `bytes` of memory about to be built: std::bad_alloc when they do not fit
  // beside what is held and charged already.
  virtual void charge(uint64_t bytes) = 0;
  // The same test without charging, for what is still to be read.
  virtual void check_room(uint64_t bytes) = 0;
  // Whether every byte has arrived (more() has nothing to add).
  virtual bool all_arrived() const = 0;

 protected:
  ~StoredSource() = default;
};

// Read cursor. The first failure is kept and every later read returns a zero
// value without consuming, so a record reader may run to its end and check
// ok() once; loops over counts stop as soon as ok() is false.
//
// Over a source, a view returned by text_view() stays valid only until the
// next read (the bytes may move); offset() and at() name places that stay.
class StoredReader {
 public:
  explicit StoredReader(std::string_view bytes) noexcept { show(bytes, 0); }
  explicit StoredReader(StoredSource& source) : source_(&source) { show(source.more(0), 0); }

  bool ok() const noexcept { return error_.empty(); }
  const std::string& error() const noexcept { return error_; }
  std::string take_error() noexcept { return std::move(error_); }
  // Bytes at hand after the cursor (over a source, more may arrive).
  uint64_t remaining() const noexcept { return static_cast<uint64_t>(end_ - p_); }
  uint64_t offset() const noexcept { return static_cast<uint64_t>(p_ - base_); }
  // A reader at `offset`, which this one has already read past.
  StoredReader at(uint64_t offset) const noexcept {
    StoredReader r = *this;
    r.p_ = base_ + offset;
    return r;
  }
  // Bytes already read, by place.
  std::string_view bytes_at(uint64_t offset, uint64_t size) const noexcept {
    return {reinterpret_cast<const char*>(base_ + offset), static_cast<size_t>(size)};
  }

  uint64_t u64() { return get<uint64_t>(); }
  uint32_t u32() { return get<uint32_t>(); }
  int32_t i32() { return get<int32_t>(); }
  double f64() { return get<double>(); }
  bool flag();
  std::string text();
  // A text as a view into the input (see above for how long it is valid).
  std::string_view text_view();
  // A text that text_view() has already accepted in an earlier pass over the
  // same bytes (from a reader made by at()): read again without the checks.
  std::string_view text_view_again() noexcept;
  // Count, then that many fixed-width elements into `out` (replaced).
  template <class T>
  void numbers(std::vector<T>& out);
  // The same reads into fields, for field visitors.
  void u64(uint64_t& out) { out = u64(); }
  void u32(uint32_t& out) { out = u32(); }
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
    end_ = p_;
  }
  void fail_eof() { fail("io error: unexpected end of file"); }

  // How many elements of `element_bytes` bytes in memory to reserve for a
  // sequence whose count says `count`: at most 1 MiB worth, and no more than
  // the bytes at hand could encode at `min_encoded` bytes per element.
  uint64_t reserve_for(uint64_t count, uint64_t element_bytes, uint64_t min_encoded) const noexcept {
    uint64_t cap = (uint64_t{1} << 20) / (element_bytes ? element_bytes : 1);
    if (min_encoded && remaining() / min_encoded < cap) cap = remaining() / min_encoded;
    return count < cap ? count : cap;
  }

  // Whether what is built is charged (reading from a source).
  bool charging() const noexcept { return source_ != nullptr; }
  // Memory about to be built, charged to the source (nothing without one).
  void charge(uint64_t bytes) {
    if (source_) source_->charge(bytes);
  }
  // A sequence of `count` elements, each at least `encoded` (> 0) bytes of
  // input and `built` bytes of memory, is refused at once (std::bad_alloc)
  // when what it needs cannot fit, before any of it is decoded or built. Once
  // every byte has arrived, only the elements the bytes left could hold count.
  void expect(uint64_t count, uint64_t encoded, uint64_t built);

 private:
  template <class T>
  T get();
  void show(std::string_view bytes, uint64_t offset) noexcept {
    base_ = reinterpret_cast<const unsigned char*>(bytes.data());
    p_ = base_ + offset;
    end_ = base_ + bytes.size();
  }
  // Whether `n` bytes are at hand after the cursor, after asking the source
  // for more when they are not.
  bool have(uint64_t n) {
    if (remaining() >= n) [[likely]]
      return true;
    return more(n);
  }
  bool more(uint64_t n);
  const unsigned char* base_ = nullptr;
  const unsigned char* p_ = nullptr;
  const unsigned char* end_ = nullptr;
  StoredSource* source_ = nullptr;
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

// Memory that a heap block takes beyond what it holds: the allocator's own
// bookkeeping, and the counts of a shared block. Charged with every block a
// reader builds for a record.
constexpr uint64_t kBlockOverhead = 32;

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
  r.charge(sizeof(R) + kBlockOverhead);
  R value;
  load(r, value);
  out = share(std::move(value));
}

// What a record is stored as: itself, or the value a shared one points at.
template <class R>
struct stored_value {
  using type = R;
};
template <class R>
struct stored_value<std::shared_ptr<const R>> {
  using type = R;
};

// The smallest encoding of a record: that of its empty value.
template <class R>
uint64_t min_encoded() {
  static const uint64_t size = serialized_size(R{});
  return size;
}
template <class R>
uint64_t min_encoded_element() {
  return min_encoded<typename stored_value<R>::type>();
}

// What reading the empty value of an element R charges: the least memory
// that any element read takes beyond its own slot in the sequence.
uint64_t charged_by_reading(std::string_view bytes, void (*read)(StoredReader&));
template <class R>
uint64_t min_footprint() {
  static const uint64_t bytes = charged_by_reading(write_record(typename stored_value<R>::type{}), [](StoredReader& r) {
    R out;
    load(r, out);
  });
  return bytes;
}

// A sequence of records: the count, then each record. A reader that charges
// refuses a count that cannot fit before reading any element.
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
  if (!r.ok()) return;
  if (r.charging()) r.expect(count, min_encoded_element<R>(), sizeof(R) + min_footprint<R>());
  out.reserve(r.reserve_for(count, sizeof(R), min_encoded_element<R>()));
  for (uint64_t i = 0; i < count && r.ok(); ++i) {
    r.charge(sizeof(R));
    load(r, out.emplace_back());
  }
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

// Runs `read(StoredReader&)` from the start of the input (bytes, or a source
// whose bytes arrive while they are read); its first failure is the result.
template <class Input, class ReadFn>
auto read_stored(Input&& input, ReadFn&& read) -> Result<decltype(read(std::declval<StoredReader&>()))> {
  StoredReader r(input);
  auto value = read(r);
  if (!r.ok()) return Error{r.take_error()};
  return value;
}

// The entry points of every record: its stored form as bytes, and back.
template <class R>
std::string write_record(const R& record) {
  return write_stored(serialized_size(record), [&](StoredWriter& w) { serialize(w, record); });
}
template <class R, class Input>
Result<R> read_record(Input&& input) {
  return read_stored(input, [](StoredReader& r) { return deserialize<R>(r); });
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
T StoredReader::get() {
  static_assert(std::is_trivially_copyable_v<T>);
  if (!have(sizeof(T))) {
    fail_eof();
    return T{};
  }
  unsigned char b[sizeof(T)];
  std::memcpy(b, p_, sizeof(T));
  if constexpr (std::endian::native == std::endian::big)
    for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(b[i], b[sizeof(T) - 1 - i]);
  p_ += sizeof(T);
  T v;
  std::memcpy(&v, b, sizeof(T));
  return v;
}

template <class T>
void StoredReader::numbers(std::vector<T>& out) {
  out.clear();
  const uint64_t count = u64();
  if (!ok()) return;
  // A count the input cannot hold fails like a read of its first missing
  // element; nothing is reserved for it.
  if (count > remaining() / sizeof(T) && (count > UINT64_MAX / sizeof(T) || !have(count * sizeof(T)))) {
    fail_eof();
    return;
  }
  charge(count * sizeof(T));
  assign_large(out, static_cast<size_t>(count), T{});
  if constexpr (std::endian::native == std::endian::little) {
    if (count) std::memcpy(out.data(), p_, count * sizeof(T));
    p_ += count * sizeof(T);
  } else {
    for (auto& x : out) x = get<T>();
  }
}

// Entry points by name, for the records that have one; all are write_record
// and read_record.
inline std::string serialize_taxon_set(const TaxonSet& taxon_set) { return write_record(taxon_set); }
inline Result<TaxonSet> deserialize_taxon_set(std::string_view bytes) { return read_record<TaxonSet>(bytes); }

}  // namespace qb
