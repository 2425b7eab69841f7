// Lists of u32 values that groups collect during a scan (member durations,
// tile runs), kept in chunks carved from a few large blocks, so that
// collecting them costs a number of allocations that grows with the groups,
// never with the samples.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
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

// One list of values: a chain of chunks of doubling size, so at most
// half of the room taken is unused and the chain never needs more than a
// fixed table of chunk pointers.
class ChunkedList {
 public:
  void push(std::uint32_t value, ChunkArena& arena) {
    if (used_ == capacity_) grow(arena);
    current_[used_++] = value;
  }

  [[nodiscard]] std::size_t size() const { return before_current_ + used_; }

  // Copies every value into `out`, which has room for size() values.
  void copy_to(std::uint32_t* out) const;

 private:
  void grow(ChunkArena& arena);

  static constexpr std::size_t kFirstChunk = 16;
  // 16 * (2^32 - 1) values: more than any report can hold.
  static constexpr std::size_t kMaxChunks = 32;

  std::array<std::uint32_t*, kMaxChunks> chunks_{};
  std::size_t chunk_count_ = 0;
  std::uint32_t* current_ = nullptr;
  std::size_t used_ = 0;      // values in the current chunk
  std::size_t capacity_ = 0;  // room in the current chunk
  std::size_t before_current_ = 0;
};

}  // namespace zyl_profile::detail
