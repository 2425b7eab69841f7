// Dictionary ids in order of first use, found through small open-addressing
// tables keyed by a hash of the content.
#include "dictionary.h"

#include <xxhash.h>

#include <algorithm>
#include <utility>

namespace zyl_package::detail {

Dictionary::Dictionary() = default;

template <typename Equal>
std::uint32_t Dictionary::find_or_add(IdTable& table, std::uint64_t hash,
                                      std::uint32_t next_id, Equal&& equal,
                                      bool& added) {
  std::size_t slot = hash & table.mask();
  while (table.slots[slot] != 0) {
    const std::uint32_t id = table.slots[slot] - 1;
    if (table.hashes[id] == hash && equal(id)) {
      added = false;
      return id;
    }
    slot = (slot + 1) & table.mask();
  }
  added = true;
  table.slots[slot] = next_id + 1;
  table.hashes.push_back(hash);
  if (table.hashes.size() * 2 > table.slots.size()) {
    // Grow from the kept hashes; the contents are not read again.
    std::vector<std::uint32_t> grown(table.slots.size() * 2, 0);
    const std::size_t mask = grown.size() - 1;
    for (std::size_t id = 0; id < table.hashes.size(); ++id) {
      std::size_t at = table.hashes[id] & mask;
      while (grown[at] != 0) at = (at + 1) & mask;
      grown[at] = static_cast<std::uint32_t>(id + 1);
    }
    table.slots = std::move(grown);
  }
  return next_id;
}

std::uint32_t Dictionary::string_id(std::string_view text) {
  const std::uint64_t hash = XXH3_64bits(text.data(), text.size());
  bool added = false;
  const auto next = static_cast<std::uint32_t>(string_count());
  const std::uint32_t id = find_or_add(
      strings_, hash, next,
      [&](std::uint32_t id) { return string(id) == text; }, added);
  if (added) {
    string_bytes_ += text;
    string_offsets_.push_back(string_bytes_.size());
  }
  return id;
}

std::uint32_t Dictionary::list_id(std::span<const MetadataPair> pairs) {
  const std::uint64_t hash =
      XXH3_64bits(pairs.data(), pairs.size() * sizeof(MetadataPair));
  bool added = false;
  const auto next = static_cast<std::uint32_t>(list_count());
  const std::uint32_t id = find_or_add(
      lists_, hash, next,
      [&](std::uint32_t id) {
        const std::span<const MetadataPair> known = list(id);
        return std::equal(known.begin(), known.end(), pairs.begin(),
                          pairs.end());
      },
      added);
  if (added) {
    list_entries_.insert(list_entries_.end(), pairs.begin(), pairs.end());
    list_offsets_.push_back(list_entries_.size());
  }
  return id;
}

std::size_t Dictionary::memory_bytes() const {
  return string_offsets_.capacity() * sizeof(std::uint64_t) +
         string_bytes_.capacity() +
         list_offsets_.capacity() * sizeof(std::uint64_t) +
         list_entries_.capacity() * sizeof(MetadataPair) +
         (strings_.slots.capacity() + lists_.slots.capacity()) *
             sizeof(std::uint32_t) +
         (strings_.hashes.capacity() + lists_.hashes.capacity()) *
             sizeof(std::uint64_t);
}

void Dictionary::move_into(ColumnBuffers& buffers) {
  buffers.string_offsets = std::move(string_offsets_);
  buffers.string_bytes = std::move(string_bytes_);
  buffers.list_offsets = std::move(list_offsets_);
  buffers.list_entries = std::move(list_entries_);
  *this = Dictionary();
}

}  // namespace zyl_package::detail
