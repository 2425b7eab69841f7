// The column checks with the faulty array and element named, so a package
// reader can turn a fault into the byte offset of the file that holds it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "zyl_package/load_result.h"
#include "zyl_package/profile_columns.h"

namespace zyl_package::detail {

// The arrays of a ProfileColumns, in the order a package stores them as
// sections. The sample columns stand between the tiles and the metadata
// lists, each at array_of(column).
enum class ColumnArray : std::uint8_t {
  StringOffsets = 0,
  StringBytes = 1,
  Tiles = 2,
  ListOffsets = kFirstSampleSection - 1 + kSampleColumnCount,
  ListEntries = ListOffsets + 1,
};
static_assert(static_cast<std::uint32_t>(ColumnArray::Tiles) + 2 ==
                  kFirstSampleSection,
              "the sample columns follow the tiles");

inline constexpr std::size_t kColumnArrays =
    static_cast<std::size_t>(ColumnArray::ListEntries) + 1;

// Returns the array that holds sample column `column`.
template <typename Column>
[[nodiscard]] constexpr ColumnArray array_of(const Column& /*column*/) {
  return static_cast<ColumnArray>(Column::kSection - 1);
}

// A fault in a ProfileColumns: the error (with json_path and message, but no
// file or byte offset) and the byte within `array` where it lies.
struct ColumnFault {
  LoadError error;
  ColumnArray array = ColumnArray::StringOffsets;
  std::uint64_t byte = 0;  // from the start of the array
};

// The largest value of each id column (those whose values are not plain
// numbers), by the column's kIndex, when a reader has already computed them
// (while checksumming, with the bytes in the cache) and the checks need not
// read the columns again.
struct IdMaxima {
  std::array<std::uint32_t, kSampleColumnCount> largest{};
};

// Returns the first fault of `columns`, or nothing when they are valid. The
// checks and their order are those check_columns documents. `known`, when
// given, must hold the true maxima of the id columns.
[[nodiscard]] std::optional<ColumnFault> find_column_fault(
    const ProfileColumns& columns, const ReadLimits& limits,
    const IdMaxima* known = nullptr);

}  // namespace zyl_package::detail
