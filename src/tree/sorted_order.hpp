#pragma once
// SortedOrder: a lazily built, cached order shared by readers on any thread.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace qb {

// Lazily sorted order of a set's ids by name; filled once and read by any
// number of threads (a shared set is immutable). Copies take the order when it
// is there; the lock is never copied. A move takes the order without a copy:
// the source is being moved from, so no other thread reads it.
class SortedOrder {
 public:
  SortedOrder() = default;
  SortedOrder(const SortedOrder& other) { copy_from(other); }
  SortedOrder& operator=(const SortedOrder& other) {
    if (this != &other) copy_from(other);
    return *this;
  }
  SortedOrder(SortedOrder&& other) noexcept
      : order_(std::move(other.order_)), ready_(other.ready_.load(std::memory_order_relaxed)) {
    other.ready_.store(false, std::memory_order_relaxed);
  }
  SortedOrder& operator=(SortedOrder&& other) noexcept {
    if (this != &other) {
      order_ = std::move(other.order_);
      ready_.store(other.ready_.load(std::memory_order_relaxed), std::memory_order_release);
      other.order_ = {};
      other.ready_.store(false, std::memory_order_relaxed);
    }
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

}  // namespace qb
