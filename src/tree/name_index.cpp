#include "name_index.hpp"

#include <algorithm>
#include <cstring>
#include <random>

#include "failure.hpp"
#include "large_pages.hpp"

namespace qb {

namespace {

uint64_t mix(uint64_t a, uint64_t b) {
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}
uint64_t load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
uint64_t load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Equality of two byte ranges of length n; short ones (most taxon names)
// without a library call, by loads that overlap rather than a byte loop.
bool same_bytes(const char* a, const char* b, size_t n) {
  if (n >= 8) {
    if (n > 16) return std::memcmp(a, b, n) == 0;
    return ((load64(a) ^ load64(b)) | (load64(a + n - 8) ^ load64(b + n - 8))) == 0;
  }
  if (n >= 4) return ((load32(a) ^ load32(b)) | (load32(a + n - 4) ^ load32(b + n - 4))) == 0;
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

bool same(std::string_view a, std::string_view b) { return a.size() == b.size() && same_bytes(a.data(), b.data(), a.size()); }

// Slots whose lines are fetched ahead while filling a table.
constexpr size_t kAhead = 16;

constexpr uint32_t kMinLog2 = 4;

// Largest table: 2^32 slots of 32 bits, where the tag has no bits left.
constexpr uint32_t kMaxLog2 = 32;

// Table size (log2) that holds `count` names at a load of at most 5/8.
constexpr size_t log2_for(uint64_t count) {
  size_t log2 = kMinLog2;
  while ((uint64_t{1} << log2) * 5 < count * 8) ++log2;
  return log2;
}
// The plain index must reach its own limit before its table does: past
// kMaxPlainIds the taxon set falls back to the general map.
static_assert(log2_for(NameIndex::kMaxPlainIds) <= kMaxLog2);

}  // namespace

// Multiply-mix hash of the bytes, keyed per process so that a crafted text
// cannot aim at one chain.
uint64_t name_hash(std::string_view name) noexcept {
  static const uint64_t seed = std::random_device{}() * 0x9E3779B97F4A7C15ull ^ 0x2d358dccaa6c78a5ull;
  const char* p = name.data();
  const size_t n = name.size();
  uint64_t a, b;
  uint64_t h = seed ^ (n * 0x9E3779B97F4A7C15ull);
  if (n <= 16) {
    if (n >= 8) {
      a = load64(p);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      a = load32(p);
      b = load32(p + n - 4);
    } else if (n > 0) {
      a = (static_cast<uint64_t>(static_cast<uint8_t>(p[0])) << 16) |
          (static_cast<uint64_t>(static_cast<uint8_t>(p[n >> 1])) << 8) | static_cast<uint8_t>(p[n - 1]);
      b = 0;
    } else {
      a = b = 0;
    }
  } else {
    size_t i = 0;
    for (; i + 16 < n; i += 16) h = mix(load64(p + i) ^ 0xa0761d6478bd642full, load64(p + i + 8) ^ h);
    a = load64(p + n - 16);
    b = load64(p + n - 8);
  }
  return mix(mix(a ^ 0xa0761d6478bd642full, b ^ h), n ^ 0xe7037ed1a0b428dbull);
}

bool names_equal(std::string_view a, std::string_view b) noexcept { return same(a, b); }

uint64_t name_prefix_key(std::string_view s) noexcept {
  unsigned char buf[8] = {};
  std::memcpy(buf, s.data(), std::min<size_t>(8, s.size()));
  uint64_t key = 0;
  for (unsigned char c : buf) key = (key << 8) | c;
  return key;
}

bool name_less(std::string_view a, std::string_view b) noexcept {
  const uint64_t ka = name_prefix_key(a), kb = name_prefix_key(b);
  if (ka != kb) return ka < kb;
  return a < b;
}

std::optional<uint64_t> NameIndex::find(std::string_view name, const NameList& names) const {
  if (general_) {
    auto it = general_->find(name);
    if (it == general_->end()) return std::nullopt;
    return it->second;
  }
  if (slots_.empty()) return std::nullopt;
  const uint64_t h = name_hash(name);
  const size_t mask = slots_.size() - 1;
  const uint32_t tag = tag_of(h);
  const uint32_t id_mask = static_cast<uint32_t>(mask);
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    const uint32_t s = slots_[i];
    if (s == 0) return std::nullopt;
    if ((s & ~id_mask) == tag) {
      const uint32_t id = (s & id_mask) - 1;
      if (same(names[id], name)) return id;
    }
  }
}

void NameIndex::rehash(size_t capacity_log2, const NameList& names) {
  if (capacity_log2 > kMaxLog2) panic("taxon set: too many names for its index");
  log2_ = static_cast<uint32_t>(capacity_log2);
  assign_large(slots_, size_t{1} << capacity_log2, uint32_t{0});
  const size_t mask = slots_.size() - 1;
  uint32_t* const slots = slots_.data();
  // Each name's home slot is fetched kAhead names before it is filled: the
  // names are distinct, so filling needs no comparisons, only the cache lines.
  uint64_t hashes[kAhead];
  for (size_t id = 0; id < count_ + kAhead; ++id) {
    if (id >= kAhead) {
      const size_t placed = id - kAhead;
      const uint64_t h = hashes[placed % kAhead];
      size_t i = h & mask;
      while (slots[i] != 0) i = (i + 1) & mask;
      slots[i] = tag_of(h) | static_cast<uint32_t>(placed + 1);
    }
    if (id < count_) {
      const uint64_t h = name_hash(names[id]);
      hashes[id % kAhead] = h;
      __builtin_prefetch(slots + (h & mask), 1);
    }
  }
}

int64_t NameIndex::find_or_insert_plain(std::string_view name, uint64_t h, const NameList& names) {
  if (slots_.empty() || (count_ + 1) * 8 > slots_.size() * 5) rehash(slots_.empty() ? kMinLog2 : log2_ + 1, names);
  const size_t mask = slots_.size() - 1;
  const uint32_t tag = tag_of(h);
  const uint32_t id_mask = static_cast<uint32_t>(mask);
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    const uint32_t s = slots_[i];
    if (s == 0) {
      slots_[i] = tag | static_cast<uint32_t>(names.size() + 1);
      ++count_;
      return -1;
    }
    if ((s & ~id_mask) == tag) {
      const uint32_t id = (s & id_mask) - 1;
      if (same(names[id], name)) return id;
    }
  }
}

void NameIndex::reserve(size_t count, const NameList& names) {
  if (general_ || count > kMaxPlainIds) return;
  const size_t log2 = log2_for(count);
  if (log2 > log2_ || slots_.empty()) rehash(log2, names);
}

void NameIndex::index_all(const NameList& names) {
  general_.reset();
  if (names.size() > kMaxPlainIds) panic("taxon set: too many names for its index");
  count_ = names.size();
  rehash(log2_for(count_), names);
}

void NameIndex::set_general(Entries entries) {
  slots_ = {};
  log2_ = 0;
  count_ = 0;
  general_ = std::move(entries);
}

void NameIndex::make_general(const NameList& names) {
  if (general_) return;
  Entries entries;
  for (size_t id = 0; id < count_; ++id) entries.emplace(std::string(names[id]), id);
  set_general(std::move(entries));
}

void NameIndex::assign(std::string_view name, uint64_t id) {
  auto it = general_->find(name);
  if (it != general_->end())
    it->second = id;
  else
    general_->emplace(std::string(name), id);
}

}  // namespace qb
