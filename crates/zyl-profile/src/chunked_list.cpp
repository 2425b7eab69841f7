// Chunked storage of the values groups collect; see chunked_list.h.
#include "chunked_list.h"

#include <algorithm>

namespace zyl_profile::detail {
namespace {

// Room for the first chunks of a few hundred groups beyond the expected
// values, so that small reports also fit in one block.
constexpr std::size_t kBlockSlack = 1 << 14;

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
  const std::size_t size = kFirstChunk << chunk_count_;
  before_current_ += used_;
  current_ = arena.take(size);
  chunks_[chunk_count_++] = current_;
  used_ = 0;
  capacity_ = size;
}

void ChunkedList::copy_to(std::uint32_t* out) const {
  for (std::size_t chunk = 0; chunk < chunk_count_; ++chunk) {
    const std::size_t count =
        chunk + 1 == chunk_count_ ? used_ : kFirstChunk << chunk;
    out = std::copy_n(chunks_[chunk], count, out);
  }
}

}  // namespace zyl_profile::detail
