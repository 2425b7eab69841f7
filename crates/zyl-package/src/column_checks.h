// The column checks with the faulty array and element named, so a package
// reader can turn a fault into the byte offset of the file that holds it.
#pragma once

#include <cstdint>
#include <optional>

#include "zyl_package/load_result.h"
#include "zyl_package/profile_columns.h"

namespace zyl_package::detail {

// The arrays of a ProfileColumns, in the order a package stores them as
// sections.
enum class ColumnArray : std::uint8_t {
  StringOffsets = 0,
  StringBytes = 1,
  Tiles = 2,
  StartCycle = 3,
  EndCycle = 4,
  LocalIndex = 5,
  Phase = 6,
  Epoch = 7,
  Kind = 8,
  Kernel = 9,
  Operation = 10,
  Metadata = 11,
  ListOffsets = 12,
  ListEntries = 13,
};

// A fault in a ProfileColumns: the error (with json_path and message, but no
// file or byte offset) and the byte within `array` where it lies.
struct ColumnFault {
  LoadError error;
  ColumnArray array = ColumnArray::StringOffsets;
  std::uint64_t byte = 0;  // from the start of the array
};

// The largest value of each id column, when a reader has already computed
// them (while checksumming, with the bytes in the cache) and the checks need
// not read the columns again.
struct IdMaxima {
  std::uint8_t kind = 0;
  std::uint32_t kernel = 0;
  std::uint32_t operation = 0;
  std::uint32_t metadata = 0;
};

// Returns the first fault of `columns`, or nothing when they are valid. The
// checks and their order are those check_columns documents. `known`, when
// given, must hold the true maxima of the id columns.
[[nodiscard]] std::optional<ColumnFault> find_column_fault(
    const ProfileColumns& columns, const ReadLimits& limits,
    const IdMaxima* known = nullptr);

}  // namespace zyl_package::detail
