// The longest member duration of a group per (phase, epoch) pair, in a flat
// open-addressing table. Members of a kernel rarely repeat a pair on one tile,
// so the scan looks a pair up for nearly every sample, and a node-based map
// made that a chain of cache misses.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zyl_profile::detail {

class PhaseMaxima {
 public:
  // Records `value` for the pair, keeping the larger of it and the stored one.
  void add(std::uint32_t phase, std::uint32_t epoch, std::uint32_t value) {
    const std::uint64_t key = (static_cast<std::uint64_t>(phase) << 32) | epoch;
    if (last_ != nullptr && last_->key == key) {
      last_->value = std::max(last_->value, value);
      return;
    }
    if (2 * (size_ + 1) > slots_.size()) grow();
    Slot& slot = find(key);
    if (!slot.used) {
      slot = Slot{key, value, true};
      ++size_;
    } else {
      slot.value = std::max(slot.value, value);
    }
    last_ = &slot;
  }

  // Folds in the maxima of `other`.
  void merge(const PhaseMaxima& other) {
    for (const Slot& slot : other.slots_) {
      if (slot.used) {
        add(static_cast<std::uint32_t>(slot.key >> 32),
            static_cast<std::uint32_t>(slot.key), slot.value);
      }
    }
  }

  // Calls `visit(phase, epoch, longest)` for every pair, in no order.
  template <typename Visit>
  void for_each(Visit&& visit) const {
    for (const Slot& slot : slots_) {
      if (slot.used) {
        visit(static_cast<std::uint32_t>(slot.key >> 32),
              static_cast<std::uint32_t>(slot.key), slot.value);
      }
    }
  }

  // Number of distinct pairs.
  [[nodiscard]] std::size_t size() const { return size_; }

  // Sum of the maxima, in 64 bits: it cannot overflow for any group that
  // fits in memory.
  [[nodiscard]] std::uint64_t sum() const {
    std::uint64_t total = 0;
    for (const Slot& slot : slots_) {
      if (slot.used) total += slot.value;
    }
    return total;
  }

 private:
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t value = 0;
    bool used = false;
  };

  Slot& find(std::uint64_t key) {
    // Fibonacci hashing: the high bits of the product spread nearby phase
    // numbers over the table.
    std::size_t i =
        static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_) &
        mask_;
    while (slots_[i].used && slots_[i].key != key) i = (i + 1) & mask_;
    return slots_[i];
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    const std::size_t capacity = old.empty() ? 16 : 2 * old.size();
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
    for (const Slot& slot : old) {
      if (slot.used) find(slot.key) = slot;
    }
    last_ = nullptr;
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  Slot* last_ = nullptr;  // the pair looked up last: runs of one phase
};

}  // namespace zyl_profile::detail
