// An open-addressing hash index from a group name (a view into the report)
// to the group's position. Looking up a kernel name is the one per-sample
// cost of grouping by a string, and a flat table with a word-wise hash does
// it in a fraction of a node-based map's time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace zyl_profile::detail {

class NameIndex {
 public:
  // Returns the position stored for `name`, storing `next` first when the
  // name is new; the flag tells whether it was. `name` must outlive the
  // index.
  std::pair<std::size_t, bool> find_or_insert(std::string_view name,
                                              std::size_t next) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    const std::uint64_t hash = hash_of(name);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.data == nullptr) {
        slot = Slot{hash, name.data() == nullptr ? "" : name.data(),
                    name.size(), next};
        ++used_;
        return {next, true};
      }
      if (slot.hash == hash && std::string_view(slot.data, slot.size) == name) {
        return {slot.position, false};
      }
    }
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    const char* data = nullptr;  // null marks an empty slot
    std::size_t size = 0;
    std::size_t position = 0;
  };

  static std::uint64_t hash_of(std::string_view name) {
    // Eight bytes at a time, each folded in with a multiply and a shift:
    // names are short, so this beats a byte-wise hash.
    std::uint64_t hash = 0x9E3779B97F4A7C15ULL ^ name.size();
    const char* p = name.data();
    std::size_t left = name.size();
    while (left >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, p, 8);
      hash = (hash ^ word) * 0xBF58476D1CE4E5B9ULL;
      hash ^= hash >> 31;
      p += 8;
      left -= 8;
    }
    std::uint64_t tail = 0;
    if (left != 0) std::memcpy(&tail, p, left);
    hash = (hash ^ tail) * 0x94D049BB133111EBULL;
    return hash ^ (hash >> 29);
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : 2 * old.size(), Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.data == nullptr) continue;
      std::size_t i = slot.hash & mask_;
      while (slots_[i].data != nullptr) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  std::size_t mask_ = 0;
};

}  // namespace zyl_profile::detail
