#pragma once
// NameIndex: the `to_id` of a taxon set, and the hash and order of names.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "name_list.hpp"

namespace qb {

// Hash of a name's bytes (keyed per process).
uint64_t name_hash(std::string_view name) noexcept;
// Byte-wise equality and order of names (a proper prefix sorts first), as
// std::string_view's, faster on short names.
bool names_equal(std::string_view a, std::string_view b) noexcept;
bool name_less(std::string_view a, std::string_view b) noexcept;
// The first eight bytes as a big-endian number, zero-padded: names whose
// prefixes differ order as these numbers do.
uint64_t name_prefix_key(std::string_view name) noexcept;

// A name viewed with its name_hash: a hash table keyed by such names hashes
// each name once, when it is made, and compares hashes before bytes, so that
// walking a bucket does not read the bytes of the names it passes.
struct HashedName {
  std::string_view name;
  uint64_t hash;

  explicit HashedName(std::string_view n) noexcept : name(n), hash(name_hash(n)) {}
  friend bool operator==(const HashedName& a, const HashedName& b) noexcept {
    return a.hash == b.hash && names_equal(a.name, b.name);
  }
  struct Hash {
    size_t operator()(const HashedName& n) const noexcept { return static_cast<size_t>(n.hash); }
  };
};

// `to_id`. Plain mode: exactly {names[i] -> i}, a table of ids whose keys are
// read from the owner's `names`. General mode: its own ordered map of entries.
class NameIndex {
 public:
  using Entries = std::map<std::string, uint64_t, std::less<>>;
  // Most ids a plain index holds: an id and the empty mark share 32 bits.
  static constexpr uint64_t kMaxPlainIds = (uint64_t{1} << 31) - 1;

  size_t size() const noexcept { return general_ ? general_->size() : count_; }
  bool empty() const noexcept { return size() == 0; }
  bool plain() const noexcept { return !general_; }
  // The entries of general mode, or null in plain mode.
  const Entries* general() const noexcept { return general_ ? &*general_ : nullptr; }

  std::optional<uint64_t> find(std::string_view name, const NameList& names) const;
  // Plain mode: the id of `name`, or -1 after entering it with id
  // names.size() (the caller then appends it to `names`).
  int64_t find_or_insert_plain(std::string_view name, const NameList& names) {
    return find_or_insert_plain(name, name_hash(name), names);
  }
  // The same with `hash` = name_hash(name).
  int64_t find_or_insert_plain(std::string_view name, uint64_t hash, const NameList& names);
  // Starts fetching the slot where a lookup of a name with this hash starts.
  void prefetch(uint64_t hash) const noexcept {
    if (!slots_.empty()) __builtin_prefetch(slots_.data() + (hash & (slots_.size() - 1)));
  }
  // Plain mode: room for `count` names without growing.
  void reserve(size_t count, const NameList& names);
  // Plain mode over all of `names`, which must be distinct.
  void index_all(const NameList& names);
  // Switches to general mode holding `entries`.
  void set_general(Entries entries);
  // Switches to general mode holding the entries of plain mode.
  void make_general(const NameList& names);
  // General mode: inserts or replaces one entry.
  void assign(std::string_view name, uint64_t id);

 private:
  void rehash(size_t capacity_log2, const NameList& names);
  uint32_t tag_of(uint64_t h) const noexcept {
    return log2_ >= 32 ? 0 : static_cast<uint32_t>((h >> 32) << log2_);
  }

  // Slot: 0 empty, else (tag << log2_) | (id + 1); the tag is the hash bits
  // that the slot index does not use, so most probes of other names are
  // refused without reading their bytes.
  std::vector<uint32_t> slots_;
  uint32_t log2_ = 0;
  size_t count_ = 0;
  std::optional<Entries> general_;
};

}  // namespace qb
