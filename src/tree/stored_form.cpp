#include "stored_form.hpp"

namespace qb {

namespace {

constexpr uint64_t kCount = 8;  // every count and length prefix

// Smallest encodings, used to bound what a count may reserve.
constexpr uint64_t kMinText = 8;

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

bool StoredReader::flag() {
  if (left_ < 1) {
    fail_eof();
    return false;
  }
  const unsigned char b = *p_;
  if (b > 1) {
    fail("invalid u8 while decoding bool, expected 0 or 1, found " + std::to_string(b));
    return false;
  }
  ++p_;
  --left_;
  return b == 1;
}

std::string_view StoredReader::text_view() {
  const uint64_t len = u64();
  if (!ok()) return {};
  // Tested before anything is allocated: a corrupt length costs nothing.
  if (len > left_) {
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
  left_ -= len;
  return bytes;
}

std::string_view StoredReader::text_view_again() noexcept {
  const uint64_t len = u64();
  std::string_view bytes(reinterpret_cast<const char*>(p_), len);
  p_ += len;
  left_ -= len;
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
  const StoredReader at_entries = r;
  bool ascending = true;
  uint64_t key_bytes = 0;
  std::string_view previous;
  for (uint64_t i = 0; i < entries && r.ok(); ++i) {
    const std::string_view key = r.text_view();
    r.u64();
    if (!r.ok()) break;
    if (i > 0 && !name_less(previous, key)) ascending = false;
    previous = key;
    key_bytes += key.size();
  }
  const uint64_t count = r.u64();
  if (r.ok()) {
    // The names of a plain set have the bytes of the keys already read; more
    // only grows as they come.
    out.names.reserve(r.reserve_for(count, 4, kMinText), key_bytes < r.remaining() ? key_bytes : r.remaining());
  }
  for (uint64_t i = 0; i < count && r.ok(); ++i) {
    const std::string_view name = r.text_view();
    if (r.ok()) out.names.push_back(name);
  }
  out.last = r.u64();
  if (!r.ok()) return out;

  const uint64_t n = out.names.size();
  if (ascending && entries == n && n < (uint64_t{1} << 31)) {
    // The ids come in the order of the names, not of their places: two
    // readers run ahead to fetch each name's offsets, then its bytes.
    constexpr uint64_t kAhead = 8;
    StoredReader again = at_entries, near = at_entries, far = at_entries;
    auto next_id = [](StoredReader& reader) {
      reader.text_view_again();
      return reader.u64();
    };
    for (uint64_t k = 0; k < 2 * kAhead && k < n; ++k) {
      const uint64_t id = next_id(far);
      if (id < n) out.names.prefetch_offsets(id);
    }
    for (uint64_t k = 0; k < kAhead && k < n; ++k) next_id(near);
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
      out.to_id.index_all(out.names);
      out.install_sorted_ids(std::move(order));
      return out;
    }
  }
  // A repeated key keeps its first place and takes the later id.
  StoredReader again = at_entries;
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
