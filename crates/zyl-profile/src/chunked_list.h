// Lists of u32 values that groups collect during a scan (member durations,
// tile runs), kept in chunks carved from a few large blocks, so that
// collecting them costs a number of allocations that grows with the groups,
// never with the samples.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace zyl_profile::detail {

// Hands out uninitialised room for values from large blocks. The first
// block is sized for the expected number of values, so a query usually
// allocates once; the pages of a block are touched only as they fill.
class ChunkArena {
 public:
  explicit ChunkArena(std::size_t expected_values);

  // Returns room for `count` values, valid as long as the arena.
  [[nodiscard]] std::uint32_t* take(std::size_t count);

  // Takes over the blocks of `other`, so lists built in it stay valid as
  // long as this arena.
  void adopt(ChunkArena&& other);

 private:
  std::vector<std::unique_ptr<std::uint32_t[]>> blocks_;
  std::uint32_t* next_ = nullptr;
  std::size_t left_ = 0;
  std::size_t block_size_ = 0;
};

// One list of values: a chain of chunks of doubling size, so at most half of
// the room taken is unused. Each chunk starts with the address of the next,
// so the list itself is small: a group keeps the cursor of its durations in
// the same cache line as the rest of what the scan updates.
class ChunkedList {
 public:
  void push(std::uint32_t value, ChunkArena& arena) {
    if (next_ == end_) grow(arena);
    *next_++ = value;
  }

  [[nodiscard]] bool empty() const { return first_ == nullptr; }

  // Forgets every value; their room stays taken in the arena.
  void clear() { *this = ChunkedList(); }

  // Returns the number of values (walks the chunks).
  [[nodiscard]] std::size_t size() const;

  // Copies every value into `out`, which has room for size() values.
  void copy_to(std::uint32_t* out) const;

  // Calls `visit(std::span<const std::uint32_t>)` for each chunk, in order.
  template <typename Visit>
  void for_each_chunk(Visit&& visit) const {
    const std::uint32_t* chunk = first_;
    for (std::size_t index = 0; chunk != nullptr; ++index) {
      const std::uint32_t* following = next_chunk(chunk);
      visit(std::span<const std::uint32_t>(
          chunk, following == nullptr ? static_cast<std::size_t>(next_ - chunk)
                                      : chunk_size(index)));
      chunk = following;
    }
  }

 private:
  // A chunk's values are preceded by room for the address of the next one.
  static constexpr std::size_t kLinkValues = 2;
  static_assert(sizeof(std::uint32_t*) <= kLinkValues * sizeof(std::uint32_t));
  static constexpr std::size_t kFirstChunk = 16;
  // Chunks stop doubling at 2^30 values, so no chunk size overflows.
  static constexpr std::size_t kMaxShift = 26;

  static std::size_t chunk_size(std::size_t index) {
    return kFirstChunk << std::min(index, kMaxShift);
  }
  static std::uint32_t* next_chunk(const std::uint32_t* values) {
    std::uint32_t* next = nullptr;
    std::memcpy(&next, values - kLinkValues, sizeof next);
    return next;
  }

  void grow(ChunkArena& arena);

  std::uint32_t* next_ = nullptr;   // where the next value goes
  std::uint32_t* end_ = nullptr;    // end of the current chunk
  std::uint32_t* first_ = nullptr;  // the first chunk's values
  std::uint32_t chunk_count_ = 0;
};

}  // namespace zyl_profile::detail
