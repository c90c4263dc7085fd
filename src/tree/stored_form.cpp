#include "stored_form.hpp"

#include <algorithm>

#include "saturating.hpp"

namespace qb {

namespace {

constexpr uint64_t kCount = 8;  // every count and length prefix

// Smallest encodings, used to bound what a count may reserve.
constexpr uint64_t kMinText = 8;

// Memory of a taxon set read, beyond the name bytes: the end offset of each
// name; the plain index's smallest table (16 slots of 4 bytes) and, per
// name, its slots (at most 3.2 of 4 bytes) and its place in the sorted
// order; per entry of a general index, a node of the ordered map with its
// key (the key's bytes too when they are long).
constexpr uint64_t kNameOffset = 4;
constexpr uint64_t kPlainIndex = 64 + kBlockOverhead;
constexpr uint64_t kPlainSlots = 16;
constexpr uint64_t kMapEntry = 96;
// Names are charged in steps of this many bytes rather than one by one.
constexpr uint64_t kChargeStep = uint64_t{64} << 10;

bool ascii_word(const unsigned char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return (w & 0x8080808080808080ULL) == 0;
}

// Whether all n bytes are ASCII (most names): then they are valid UTF-8.
bool all_ascii(const unsigned char* p, uint64_t n) {
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8)
    if (!ascii_word(p + i)) return false;
  for (; i < n; ++i)
    if (p[i] >= 0x80) return false;
  return true;
}

}  // namespace

std::string utf8_error(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  auto invalid = [&](size_t k) {
    return "invalid utf-8 sequence of " + std::to_string(k) + " bytes from index " + std::to_string(i);
  };
  auto incomplete = [&] { return "incomplete utf-8 byte sequence from index " + std::to_string(i); };
  while (i < n) {
    if (i + 8 <= n && ascii_word(s + i)) {
      i += 8;
      continue;
    }
    const unsigned char b = s[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t width;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      width = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      width = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      width = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return invalid(1);
    }
    if (i + 1 >= n) return incomplete();
    if (s[i + 1] < lo || s[i + 1] > hi) return invalid(1);
    for (size_t k = 2; k < width; ++k) {
      if (i + k >= n) return incomplete();
      if (s[i + k] < 0x80 || s[i + k] > 0xBF) return invalid(k);
    }
    i += width;
  }
  return {};
}

namespace {

// Bytes that are all there from the start; sums what a reader charges.
class CountingSource final : public StoredSource {
 public:
  explicit CountingSource(std::string_view bytes) : bytes_(bytes) {}
  std::string_view more(uint64_t) override { return bytes_; }
  void charge(uint64_t bytes) override { charged_ = saturating_add(charged_, bytes); }
  void check_room(uint64_t) override {}
  bool all_arrived() const override { return true; }
  uint64_t charged() const noexcept { return charged_; }

 private:
  std::string_view bytes_;
  uint64_t charged_ = 0;
};

}  // namespace

uint64_t charged_by_reading(std::string_view bytes, void (*read)(StoredReader&)) {
  CountingSource source(bytes);
  StoredReader r(source);
  read(r);
  if (!r.ok()) panic("stored form: an empty value does not read back: " + r.error());
  return source.charged();
}

bool StoredReader::more(uint64_t n) {
  if (!source_ || !ok()) return false;
  const uint64_t at = offset();
  show(source_->more(saturating_add(at, n)), at);
  return remaining() >= n;
}

void StoredReader::expect(uint64_t count, uint64_t encoded, uint64_t built) {
  if (!source_) return;
  if (source_->all_arrived()) count = std::min(count, remaining() / encoded);
  const uint64_t input = saturating_mul(count, encoded);
  // The bytes at hand are held already; the rest must still arrive.
  source_->check_room(saturating_add(saturating_mul(count, built), saturating_sub(input, remaining())));
}

bool StoredReader::flag() {
  if (!have(1)) {
    fail_eof();
    return false;
  }
  const unsigned char b = *p_;
  if (b > 1) {
    fail("invalid u8 while decoding bool, expected 0 or 1, found " + std::to_string(b));
    return false;
  }
  ++p_;
  return b == 1;
}

std::string_view StoredReader::text_view() {
  const uint64_t len = u64();
  if (!ok()) return {};
  // Tested before anything is allocated: a corrupt length costs nothing
  // beyond the input it reaches for.
  if (!have(len)) {
    fail("io error: ");
    return {};
  }
  std::string_view bytes(reinterpret_cast<const char*>(p_), len);
  if (!all_ascii(p_, len)) {
    std::string bad = utf8_error(bytes);
    if (!bad.empty()) {
      fail("string is not valid utf8: " + bad);
      return {};
    }
  }
  p_ += len;
  return bytes;
}

std::string_view StoredReader::text_view_again() noexcept {
  uint64_t len;
  std::memcpy(&len, p_, 8);
  if constexpr (std::endian::native == std::endian::big) len = __builtin_bswap64(len);
  std::string_view bytes(reinterpret_cast<const char*>(p_ + 8), len);
  p_ += 8 + len;
  return bytes;
}

std::string StoredReader::text() { return std::string(text_view()); }

// --- TaxonSet ---------------------------------------------------------------

uint64_t serialized_size(const TaxonSet& taxon_set) {
  uint64_t size = 3 * kCount + kCount * taxon_set.names.size() + taxon_set.names.byte_size();
  if (const NameIndex::Entries* entries = taxon_set.to_id.general()) {
    for (const auto& [name, id] : *entries) size += kCount + name.size() + 8;
  } else {
    // Plain: the keys are the names.
    size += (kCount + 8) * taxon_set.names.size() + taxon_set.names.byte_size();
  }
  return size;
}

void serialize(StoredWriter& w, const TaxonSet& taxon_set) {
  w.u64(taxon_set.to_id.size());
  taxon_set.for_each_sorted([&](std::string_view name, uint64_t id) {
    w.text(name);
    w.u64(id);
  });
  w.u64(taxon_set.names.size());
  for (std::string_view name : taxon_set.names) w.text(name);
  w.u64(taxon_set.last);
}

// The stored `to_id` is taken as plain (an index over `names`) when its keys
// are strictly ascending and are exactly names[id] for a bijection of ids;
// then its entry order is the sorted order, kept for free. Any other `to_id`
// is kept entry by entry. The entries come before the names they are checked
// against, so they are read twice: once to check their encoding, and once,
// after the names, to decide and fill; nothing is kept in between.
TaxonSet deserialize_taxon_set(StoredReader& r) {
  TaxonSet out;
  const uint64_t entries = r.u64();
  const uint64_t at_entries = r.offset();
  bool ascending = true;
  uint64_t key_bytes = 0;
  // The previous key by place: bytes arriving later may move it.
  uint64_t previous_at = 0, previous_size = 0;
  for (uint64_t i = 0; i < entries && r.ok(); ++i) {
    const uint64_t at = r.offset() + kCount;
    const uint64_t size = r.text_view().size();
    r.u64();
    if (!r.ok()) break;
    if (i > 0 && !name_less(r.bytes_at(previous_at, previous_size), r.bytes_at(at, size))) ascending = false;
    previous_at = at;
    previous_size = size;
    key_bytes += size;
  }
  const uint64_t count = r.u64();
  if (!r.ok()) return out;
  // Every name costs its bytes and its offset; each entry of the index
  // (plain or general) is charged once the names are in.
  if (r.charging()) r.expect(count, kMinText, kNameOffset);
  // The names of a plain set have the bytes of the keys already read; more
  // only grows as they come.
  out.names.reserve(r.reserve_for(count, kNameOffset, kMinText), key_bytes < r.remaining() ? key_bytes : r.remaining());
  uint64_t uncharged = 0;
  for (uint64_t i = 0; i < count && r.ok(); ++i) {
    const std::string_view name = r.text_view();
    if (!r.ok()) break;
    if ((uncharged += name.size() + kNameOffset) >= kChargeStep) r.charge(std::exchange(uncharged, 0));
    out.names.push_back(name);
  }
  r.charge(uncharged);
  out.last = r.u64();
  if (!r.ok()) return out;

  const uint64_t n = out.names.size();
  if (ascending && entries == n && n < (uint64_t{1} << 31)) {
    // The ids come in the order of the names, not of their places: two
    // readers run ahead to fetch each name's offsets, then its bytes.
    constexpr uint64_t kAhead = 8;
    StoredReader again = r.at(at_entries), near = again, far = again;
    auto next_id = [](StoredReader& reader) {
      reader.text_view_again();
      return reader.u64();
    };
    for (uint64_t k = 0; k < 2 * kAhead && k < n; ++k) {
      const uint64_t id = next_id(far);
      if (id < n) out.names.prefetch_offsets(id);
    }
    for (uint64_t k = 0; k < kAhead && k < n; ++k) next_id(near);
    r.charge(n * sizeof(uint32_t));
    std::vector<uint32_t> order(n);
    bool plain = true;
    for (uint64_t k = 0; plain && k < n; ++k) {
      if (k + 2 * kAhead < n) {
        const uint64_t id = next_id(far);
        if (id < n) out.names.prefetch_offsets(id);
      }
      if (k + kAhead < n) {
        const uint64_t id = next_id(near);
        if (id < n) out.names.prefetch_bytes(id);
      }
      const std::string_view key = again.text_view_again();
      const uint64_t id = again.u64();
      plain = id < n && names_equal(out.names[id], key);
      order[k] = static_cast<uint32_t>(id);
    }
    if (plain) {
      r.charge(kPlainIndex + n * kPlainSlots);
      out.to_id.index_all(out.names);
      out.install_sorted_ids(std::move(order));
      return out;
    }
  }
  // A repeated key keeps its first place and takes the later id.
  r.charge(entries * kMapEntry + key_bytes);
  StoredReader again = r.at(at_entries);
  NameIndex::Entries map;
  for (uint64_t k = 0; k < entries; ++k) {
    const std::string_view key = again.text_view_again();
    map.insert_or_assign(std::string(key), again.u64());
  }
  out.to_id.set_general(std::move(map));
  return out;
}

// --- State of a single tree -------------------------------------------------

std::string serialize_single_tree(const TaxonSet& taxon_set, const Tree& tree) {
  return write_stored(serialized_size(taxon_set) + serialized_size(tree), [&](StoredWriter& w) {
    serialize(w, taxon_set);
    serialize(w, tree);
  });
}

Result<std::pair<TaxonSet, Tree>> deserialize_single_tree(std::string_view bytes) {
  return read_stored(bytes, [](StoredReader& r) {
    TaxonSet taxon_set = deserialize_taxon_set(r);
    Tree tree = deserialize<Tree>(r);
    return std::pair<TaxonSet, Tree>(std::move(taxon_set), std::move(tree));
  });
}

}  // namespace qb
