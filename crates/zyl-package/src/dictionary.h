// The dictionaries of a columnar profile: each distinct string and each
// distinct metadata list once, ids given in order of first use. Shared by
// every builder of columns, so records and JSON text give the same ids.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zyl_package/profile_columns.h"

namespace zyl_package::detail {

class Dictionary {
 public:
  Dictionary();

  // Returns the id of `text`, adding it when new.
  std::uint32_t string_id(std::string_view text);
  // Returns the id of the list of `pairs` (string ids of this dictionary),
  // adding it when new.
  std::uint32_t list_id(std::span<const MetadataPair> pairs);

  [[nodiscard]] std::size_t string_count() const {
    return string_offsets_.size() - 1;
  }
  [[nodiscard]] std::size_t list_count() const {
    return list_offsets_.size() - 1;
  }
  [[nodiscard]] std::string_view string(std::uint32_t id) const {
    return std::string_view(string_bytes_)
        .substr(string_offsets_[id],
                string_offsets_[id + 1] - string_offsets_[id]);
  }
  [[nodiscard]] std::span<const MetadataPair> list(std::uint32_t id) const {
    return std::span<const MetadataPair>(list_entries_)
        .subspan(list_offsets_[id], list_offsets_[id + 1] - list_offsets_[id]);
  }
  // Bytes held, for memory accounting.
  [[nodiscard]] std::size_t memory_bytes() const;

  // Moves the dictionary arrays into `buffers`; the dictionary is empty
  // afterwards.
  void move_into(ColumnBuffers& buffers);

 private:
  // Open addressing over ids: a slot holds id + 1, 0 when free. Kept at most
  // half full, so probes stay short.
  struct IdTable {
    std::vector<std::uint32_t> slots = std::vector<std::uint32_t>(64, 0);
    std::vector<std::uint64_t> hashes;  // per id, for growing without
                                        // rehashing the contents
    std::size_t mask() const { return slots.size() - 1; }
  };
  template <typename Equal>
  static std::uint32_t find_or_add(IdTable& table, std::uint64_t hash,
                                   std::uint32_t next_id, Equal&& equal,
                                   bool& added);

  std::vector<std::uint64_t> string_offsets_{0};
  std::string string_bytes_;
  std::vector<std::uint64_t> list_offsets_{0};
  std::vector<MetadataPair> list_entries_;
  IdTable strings_;
  IdTable lists_;
};

}  // namespace zyl_package::detail
