#pragma once
// TaxonSet: taxon names <-> dense integer ids.
//
// Memory is a few bytes per name beyond the name bytes: `names` keeps every
// name in one byte buffer with end offsets, and `to_id` is, for every set the
// system builds, an open-addressing table of 32-bit slots that hold ids (the
// key of id i is names[i]). Only a stored set whose `to_id` is not exactly
// {names[i] -> i} keeps an ordered map of its own entries. The byte-wise key
// order of `to_id` (for the stored form and the list-form merge) is sorted
// once and cached. A set read from a stored form may have the three fields
// disagree; nothing here assumes they agree.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace qb {

// Growable sequence of names: the bytes of all names back to back, and the
// end offset of each. An end offset is kept as its low `Low` bits; the rare
// lists whose bytes pass 2^bits keep, in `carries_`, the index of every name
// at whose end the offset crossed a further multiple of 2^bits, so the high
// part of an end is the number of carries at or before its index. The system
// uses 32-bit words (4 bytes per name); narrower ones only test the carries.
template <class Low>
class BasicNameList {
  static_assert(std::is_unsigned_v<Low> && sizeof(Low) <= 4);
  static constexpr unsigned kLowBits = 8 * sizeof(Low);

 public:
  BasicNameList() = default;
  BasicNameList(std::initializer_list<std::string_view> names) {
    for (std::string_view n : names) push_back(n);
  }

  size_t size() const noexcept { return ends_.size(); }
  bool empty() const noexcept { return ends_.empty(); }
  // A const view, so that assigning to an element does not compile.
  const std::string_view operator[](size_t i) const noexcept {
    const uint64_t begin = i == 0 ? 0 : end_of(i - 1);
    return {bytes_.data() + begin, static_cast<size_t>(end_of(i) - begin)};
  }
  // Bytes of all names together.
  uint64_t byte_size() const noexcept { return bytes_.size(); }

  // For walks in an order of their own: start fetching the offsets of name
  // i, and some time later (once they are in) its bytes.
  void prefetch_offsets(size_t i) const noexcept {
    __builtin_prefetch(ends_.data() + i);
    if (i > 0) __builtin_prefetch(ends_.data() + i - 1);
  }
  void prefetch_bytes(size_t i) const noexcept { __builtin_prefetch(bytes_.data() + (i == 0 ? 0 : end_of(i - 1))); }

  void push_back(std::string_view name) {
    bytes_.append(name);
    const uint64_t end = bytes_.size();
    while (carries_.size() < (end >> kLowBits)) carries_.push_back(ends_.size());
    ends_.push_back(static_cast<Low>(end));
  }
  void reserve(size_t count, size_t bytes) {
    ends_.reserve(count);
    bytes_.reserve(bytes);
  }

  class const_iterator {
   public:
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    const_iterator() = default;
    const_iterator(const BasicNameList* list, size_t i) : list_(list), i_(i) {}
    std::string_view operator*() const { return (*list_)[i_]; }
    const_iterator& operator++() {
      ++i_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++i_;
      return old;
    }
    bool operator==(const const_iterator& o) const { return i_ == o.i_; }
    bool operator!=(const const_iterator& o) const { return i_ != o.i_; }

   private:
    const BasicNameList* list_ = nullptr;
    size_t i_ = 0;
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }

  friend bool operator==(const BasicNameList& a, const BasicNameList& b) {
    return a.ends_ == b.ends_ && a.carries_ == b.carries_ && a.bytes_ == b.bytes_;
  }
  friend bool operator==(const BasicNameList& a, const std::vector<std::string>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < b.size(); ++i)
      if (a[i] != b[i]) return false;
    return true;
  }

 private:
  uint64_t end_of(size_t i) const noexcept {
    uint64_t end = ends_[i];
    if (!carries_.empty()) [[unlikely]]
      end += static_cast<uint64_t>(std::upper_bound(carries_.begin(), carries_.end(), i) - carries_.begin())
             << kLowBits;
    return end;
  }

  std::string bytes_;
  std::vector<Low> ends_;
  std::vector<size_t> carries_;
};

using NameList = BasicNameList<uint32_t>;

// Hash of a name's bytes (keyed per process).
uint64_t name_hash(std::string_view name) noexcept;
// Byte-wise equality and order of names (a proper prefix sorts first), as
// std::string_view's, faster on short names.
bool names_equal(std::string_view a, std::string_view b) noexcept;
bool name_less(std::string_view a, std::string_view b) noexcept;

// `to_id`. Plain mode: exactly {names[i] -> i}, a table of ids whose keys are
// read from the owner's `names`. General mode: its own ordered map of entries.
class NameIndex {
 public:
  using Entries = std::map<std::string, uint64_t, std::less<>>;

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

// Lazily sorted order of a set's ids by name; filled once and read by any
// number of threads (a shared set is immutable). Copies take the order when it
// is there; the lock is never copied.
class SortedOrder {
 public:
  SortedOrder() = default;
  SortedOrder(const SortedOrder& other) { copy_from(other); }
  SortedOrder& operator=(const SortedOrder& other) {
    if (this != &other) copy_from(other);
    return *this;
  }

  template <class Build>
  const std::vector<uint32_t>& get(Build&& build) const {
    if (!ready_.load(std::memory_order_acquire)) {
      std::lock_guard<std::mutex> guard(mutex_);
      if (!ready_.load(std::memory_order_relaxed)) {
        order_ = build();
        ready_.store(true, std::memory_order_release);
      }
    }
    return order_;
  }
  void install(std::vector<uint32_t> order) {
    std::lock_guard<std::mutex> guard(mutex_);
    order_ = std::move(order);
    ready_.store(true, std::memory_order_release);
  }
  void reset() {
    if (!ready_.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> guard(mutex_);
    ready_.store(false, std::memory_order_relaxed);
    order_ = {};
  }
  bool ready() const noexcept { return ready_.load(std::memory_order_acquire); }

 private:
  void copy_from(const SortedOrder& other) {
    std::vector<uint32_t> order;
    bool ready = false;
    {
      std::lock_guard<std::mutex> guard(other.mutex_);
      ready = other.ready_.load(std::memory_order_relaxed);
      if (ready) order = other.order_;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    order_ = std::move(order);
    ready_.store(ready, std::memory_order_release);
  }

  mutable std::mutex mutex_;
  mutable std::vector<uint32_t> order_;
  mutable std::atomic<bool> ready_{false};
};

struct TaxonSet {
  NameIndex to_id;
  NameList names;
  uint64_t last = 0;

  // Id of `name`, registering it with id `last` when new.
  uint64_t get_or_insert(std::string_view name) { return get_or_insert(name, name_hash(name)); }
  // The same with `hash` = name_hash(name). For names that arrive in bulk:
  // hash each and prefetch(hash) as it comes, then resolve them in order a
  // few dozen names later, when their slots are in the cache.
  uint64_t get_or_insert(std::string_view name, uint64_t hash);
  void prefetch(uint64_t hash) const noexcept { to_id.prefetch(hash); }
  // Room for `count` names in all without growing (a hint).
  void reserve(size_t count, size_t bytes);

  std::optional<uint64_t> find(std::string_view name) const { return to_id.find(name, names); }

  // Name of id `id`, or nothing when `names` has no such entry.
  std::optional<std::string_view> name_of(uint64_t id) const {
    if (id < names.size()) return names[id];
    return std::nullopt;
  }

  // Calls f(key, id) for every entry of `to_id` in ascending byte-wise key
  // order (a proper prefix sorts first).
  template <class F>
  void for_each_sorted(F&& f) const {
    if (const NameIndex::Entries* entries = to_id.general()) {
      for (const auto& [key, id] : *entries) f(std::string_view(key), id);
      return;
    }
    for (uint32_t id : sorted_ids()) f(names[id], static_cast<uint64_t>(id));
  }
  // The same entries as a list.
  std::vector<std::pair<std::string_view, uint64_t>> sorted_entries() const;

  // Plain mode: ids in ascending order of their names (cached).
  const std::vector<uint32_t>& sorted_ids() const;
  // Plain mode: installs `order` as the sorted order; the caller vouches for it.
  void install_sorted_ids(std::vector<uint32_t> order) { order_.install(std::move(order)); }

 private:
  SortedOrder order_;
};

}  // namespace qb
