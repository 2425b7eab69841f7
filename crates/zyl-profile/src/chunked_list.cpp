// Chunked storage of the values groups collect; see chunked_list.h.
#include "chunked_list.h"

#include <algorithm>
#include <cstring>

namespace zyl_profile::detail {
namespace {

// Room for the first chunks of a few hundred groups beyond the expected
// values, so that small reports also fit in one block.
constexpr std::size_t kBlockSlack = 1 << 15;

}  // namespace

ChunkArena::ChunkArena(std::size_t expected_values)
    // A list holding n values has taken at most 2n + 16 of room.
    : block_size_(2 * expected_values + kBlockSlack) {
  blocks_.reserve(8);
}

std::uint32_t* ChunkArena::take(std::size_t count) {
  if (count > left_) {
    const std::size_t size = std::max(count, block_size_);
    blocks_.push_back(std::make_unique_for_overwrite<std::uint32_t[]>(size));
    next_ = blocks_.back().get();
    left_ = size;
  }
  std::uint32_t* room = next_;
  next_ += count;
  left_ -= count;
  return room;
}

void ChunkArena::adopt(ChunkArena&& other) {
  for (auto& block : other.blocks_) blocks_.push_back(std::move(block));
  other.blocks_.clear();
  other.next_ = nullptr;
  other.left_ = 0;
}

void ChunkedList::grow(ChunkArena& arena) {
  const std::size_t size = chunk_size(chunk_count_);
  std::uint32_t* values = arena.take(size + kLinkValues) + kLinkValues;
  std::uint32_t* const none = nullptr;
  std::memcpy(values - kLinkValues, &none, sizeof none);
  if (first_ == nullptr) {
    first_ = values;
  } else {
    // Link the full chunk to the new one: its end is where the next_ stopped.
    std::uint32_t* const previous_begin = end_ - chunk_size(chunk_count_ - 1);
    std::memcpy(previous_begin - kLinkValues, &values, sizeof values);
  }
  ++chunk_count_;
  next_ = values;
  end_ = values + size;
}

std::size_t ChunkedList::size() const {
  std::size_t count = 0;
  for_each_chunk(
      [&](std::span<const std::uint32_t> chunk) { count += chunk.size(); });
  return count;
}

void ChunkedList::copy_to(std::uint32_t* out) const {
  for_each_chunk([&](std::span<const std::uint32_t> chunk) {
    out = std::copy(chunk.begin(), chunk.end(), out);
  });
}

}  // namespace zyl_profile::detail
