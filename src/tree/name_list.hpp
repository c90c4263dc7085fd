#pragma once
// NameList: a growable sequence of names in one byte buffer with end offsets.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
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

}  // namespace qb
