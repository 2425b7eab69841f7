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

inline std::uint64_t load64(const char* p) {
  std::uint64_t word = 0;
  std::memcpy(&word, p, sizeof word);
  return word;
}

inline std::uint64_t load32(const char* p) {
  std::uint32_t word = 0;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Reads any 0..8 bytes as one word with fixed-size, possibly overlapping
// loads: a byte-wise tail loop mispredicts on names of varying length.
inline std::uint64_t short_word(const char* p, std::size_t size) {
  if (size >= 4) return load32(p) | (load32(p + size - 4) << 32);
  if (size == 0) return 0;
  return (static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) << 16) |
         (static_cast<std::uint64_t>(static_cast<unsigned char>(p[size >> 1]))
          << 8) |
         static_cast<unsigned char>(p[size - 1]);
}

inline std::uint64_t mix(std::uint64_t hash, std::uint64_t word,
                         std::uint64_t multiplier) {
  hash = (hash ^ word) * multiplier;
  return hash ^ (hash >> 31);
}

inline std::uint64_t hash_of(std::string_view name) {
  // Eight bytes at a time, each folded in with a multiply and a shift;
  // the last word overlaps the one before it instead of being padded.
  constexpr std::uint64_t kBody = 0xBF58476D1CE4E5B9ULL;
  constexpr std::uint64_t kTail = 0x94D049BB133111EBULL;
  const std::uint64_t seed = 0x9E3779B97F4A7C15ULL ^ name.size();
  const char* p = name.data();
  if (name.size() <= 8) return mix(seed, short_word(p, name.size()), kTail);
  const char* last = p + name.size() - 8;
  std::uint64_t hash = seed;
  for (; p < last; p += 8) hash = mix(hash, load64(p), kBody);
  return mix(hash, load64(last), kTail);
}

// Byte equality of two names of equal `size`, inline for short names.
inline bool same_bytes(const char* a, const char* b, std::size_t size) {
  if (size <= 8) return short_word(a, size) == short_word(b, size);
  if (size <= 16) {
    return load64(a) == load64(b) &&
           load64(a + size - 8) == load64(b + size - 8);
  }
  return std::memcmp(a, b, size) == 0;
}

// Byte equality of two names, without a library call for short ones.
inline bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && same_bytes(a.data(), b.data(), a.size());
}

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
      if (slot.hash == hash &&
          same_name(std::string_view(slot.data, slot.size), name)) {
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
