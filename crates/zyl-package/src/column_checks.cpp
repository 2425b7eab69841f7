// Validation of a whole ProfileColumns in bulk: sizes, offsets, text, tile
// ranges and ids, checked once when columns are loaded so that every scan
// after it can index without bounds tests.
#include "column_checks.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "utf8.h"

namespace zyl_package {
namespace detail {
namespace {

ColumnFault fault(ColumnArray array, std::uint64_t byte, std::string message,
                  std::string path = {}) {
  ColumnFault result;
  result.array = array;
  result.byte = byte;
  result.error.json_path = std::move(path);
  result.error.message = std::move(message);
  return result;
}

// A plain reduction the compiler vectorises; it finds whether any id is out
// of range without a branch per element, and the slow search for the first
// culprit runs only when one is.
template <typename T>
T max_of(std::span<const T> values) {
  T result = 0;
  for (const T value : values) result = std::max(result, value);
  return result;
}

bool all_ascii(std::span<const char> bytes) {
  unsigned char any = 0;
  for (const char byte : bytes) any |= static_cast<unsigned char>(byte);
  return any < 0x80;
}

std::optional<ColumnFault> check_sizes(const ProfileColumns& c) {
  // The first column fixes the sample count; the others are held to it.
  constexpr auto& kFirst = std::get<0>(kSampleColumns);
  const std::size_t n = c.sample_count();
  std::optional<ColumnFault> found;
  all_sample_columns([&](const auto& column) {
    const std::size_t size = (c.*column.column).size();
    if (size == n) return true;
    found = fault(array_of(column), 0,
                  "column " + std::string(column.name) + " holds " +
                      std::to_string(size) + " elements, " +
                      std::string(kFirst.name) + " holds " + std::to_string(n));
    return false;
  });
  if (found) return found;
  if (c.string_offsets.empty()) {
    return fault(ColumnArray::StringOffsets, 0,
                 "the string offsets are empty (they need a leading 0)");
  }
  if (c.list_offsets.empty()) {
    return fault(ColumnArray::ListOffsets, 0,
                 "the metadata list offsets are empty (they need a leading 0)");
  }
  return std::nullopt;
}

std::optional<ColumnFault> check_strings(const ProfileColumns& c,
                                         const ReadLimits& limits) {
  const std::span<const std::uint64_t> offsets = c.string_offsets;
  const std::uint64_t size = c.string_bytes.size();
  const std::uint64_t count = offsets.size() - 1;
  if (offsets[0] != 0) {
    return fault(
        ColumnArray::StringOffsets, 0,
        "the first string offset is " + std::to_string(offsets[0]) + ", not 0");
  }
  // Pure ASCII, by far the usual case, is valid UTF-8 whatever the string
  // boundaries; otherwise each string is checked on its own, since a
  // sequence may not straddle two strings.
  const bool ascii = all_ascii(c.string_bytes);
  std::uint64_t previous = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t next = offsets[i + 1];
    if (next < previous || next > size) {
      return fault(ColumnArray::StringOffsets, 8 * (i + 1),
                   "string " + std::to_string(i) + " ends at offset " +
                       std::to_string(next) + ", outside " +
                       std::to_string(previous) + ".." + std::to_string(size));
    }
    const std::uint64_t length = next - previous;
    if (length > limits.max_string_bytes) {
      return fault(ColumnArray::StringBytes, previous,
                   "string " + std::to_string(i) + " is " +
                       std::to_string(length) + " bytes, more than the " +
                       std::to_string(limits.max_string_bytes) + "-byte limit");
    }
    if (!ascii && !valid_utf8(std::string_view(c.string_bytes.data() + previous,
                                               length))) {
      return fault(ColumnArray::StringBytes, previous,
                   "string " + std::to_string(i) + " is not valid UTF-8");
    }
    previous = next;
  }
  if (previous != size) {
    return fault(ColumnArray::StringOffsets, 8 * count,
                 "the string offsets end at " + std::to_string(previous) +
                     " but the string bytes hold " + std::to_string(size));
  }
  return std::nullopt;
}

std::optional<ColumnFault> check_lists(const ProfileColumns& c) {
  const std::span<const std::uint64_t> offsets = c.list_offsets;
  const std::uint64_t entries = c.list_entries.size();
  const std::uint64_t count = offsets.size() - 1;
  if (offsets[0] != 0) {
    return fault(ColumnArray::ListOffsets, 0,
                 "the first metadata list offset is " +
                     std::to_string(offsets[0]) + ", not 0");
  }
  std::uint64_t previous = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t next = offsets[i + 1];
    if (next < previous || next > entries) {
      return fault(ColumnArray::ListOffsets, 8 * (i + 1),
                   "metadata list " + std::to_string(i) + " ends at entry " +
                       std::to_string(next) + ", outside " +
                       std::to_string(previous) + ".." +
                       std::to_string(entries));
    }
    previous = next;
  }
  if (previous != entries) {
    return fault(ColumnArray::ListOffsets, 8 * count,
                 "the metadata lists cover " + std::to_string(previous) +
                     " of " + std::to_string(entries) + " entries");
  }
  const std::uint64_t strings = c.string_count();
  std::uint32_t highest = 0;
  for (const MetadataPair& pair : c.list_entries) {
    highest = std::max({highest, pair.name, pair.value});
  }
  if (entries == 0 || highest < strings) return std::nullopt;
  for (std::uint64_t e = 0; e < entries; ++e) {
    const MetadataPair pair = c.list_entries[e];
    if (pair.name >= strings || pair.value >= strings) {
      return fault(ColumnArray::ListEntries, 8 * e,
                   "metadata entry " + std::to_string(e) + " names string " +
                       std::to_string(std::max(pair.name, pair.value)) +
                       " of " + std::to_string(strings));
    }
  }
  return std::nullopt;
}

std::optional<ColumnFault> check_tiles(const ProfileColumns& c) {
  const std::uint64_t samples = c.sample_count();
  std::uint64_t next_sample = 0;
  for (std::uint64_t i = 0; i < c.tiles.size(); ++i) {
    const ColumnTile& tile = c.tiles[i];
    const std::string path = "tiles[" + std::to_string(i) + "]";
    const std::uint64_t at = 24 * i;
    if (tile.reserved != 0) {
      return fault(ColumnArray::Tiles, at + 4,
                   "reserved tile field is not zero", path);
    }
    if (tile.first_sample < next_sample) {
      return fault(ColumnArray::Tiles, at + 8,
                   "samples " + std::to_string(tile.first_sample) +
                       ".. overlap the previous tile, which ends at sample " +
                       std::to_string(next_sample),
                   path);
    }
    if (tile.first_sample > next_sample) {
      return fault(ColumnArray::Tiles, at + 8,
                   "starts at sample " + std::to_string(tile.first_sample) +
                       ", leaving samples " + std::to_string(next_sample) +
                       ".." + std::to_string(tile.first_sample) + " to no tile",
                   path);
    }
    if (tile.sample_count > samples - tile.first_sample) {
      return fault(ColumnArray::Tiles, at + 16,
                   "samples " + std::to_string(tile.first_sample) + " + " +
                       std::to_string(tile.sample_count) +
                       " run past the end (" + std::to_string(samples) +
                       " samples)",
                   path);
    }
    next_sample = tile.first_sample + tile.sample_count;
  }
  if (next_sample != samples) {
    return fault(ColumnArray::Tiles, 0,
                 "the tiles hold " + std::to_string(next_sample) +
                     " samples, the sample columns hold " +
                     std::to_string(samples));
  }
  return std::nullopt;
}

// Names sample `index` by its tile and position there; the tiles are known
// to be contiguous, so the last tile starting at or before `index` holds it
// (empty tiles before it start at the same sample and are skipped).
std::string sample_path(const ProfileColumns& c, std::uint64_t index) {
  const auto it = std::upper_bound(
      c.tiles.begin(), c.tiles.end(), index,
      [](std::uint64_t i, const ColumnTile& t) { return i < t.first_sample; });
  const auto tile = static_cast<std::size_t>(it - c.tiles.begin()) - 1;
  return "tiles[" + std::to_string(tile) + "].samples[" +
         std::to_string(index - c.tiles[tile].first_sample) + "]";
}

// The bound the values of id column `column` stay below, or nothing for a
// column of plain numbers.
template <typename Column>
std::optional<std::uint64_t> id_bound(const ProfileColumns& c,
                                      const Column& /*column*/) {
  if constexpr (Column::kValues == SampleValues::Kind) {
    return std::uint64_t{static_cast<std::uint8_t>(ProfileStepKind::Idle)} + 1;
  } else if constexpr (Column::kValues == SampleValues::StringId) {
    return c.string_count();
  } else if constexpr (Column::kValues == SampleValues::ListId) {
    return c.list_count();
  } else {
    return std::nullopt;
  }
}

// The fault of sample `i`, whose value in id column `column` is out of
// range. Every id field sits in the step, so the path names it there.
template <typename Column>
ColumnFault id_fault(const ProfileColumns& c, const Column& column,
                     std::uint64_t i) {
  const std::uint64_t value = (c.*column.column)[i];
  const std::string path =
      sample_path(c, i) + ".step." + std::string(column.name);
  const std::uint64_t byte = sizeof(typename Column::Element) * i;
  std::string message;
  if constexpr (Column::kValues == SampleValues::Kind) {
    message = "kind " + std::to_string(value) +
              " is not one of 0 (exchange), 1 (compute), 2 "
              "(synchronization), 3 (idle)";
  } else if constexpr (Column::kValues == SampleValues::StringId) {
    message = "string id " + std::to_string(value) + " out of range of " +
              std::to_string(c.string_count());
  } else {
    message = "metadata list id " + std::to_string(value) +
              " out of range of " + std::to_string(c.list_count());
  }
  return fault(array_of(column), byte, std::move(message), path);
}

std::optional<ColumnFault> check_samples(const ProfileColumns& c,
                                         const IdMaxima* known) {
  const std::uint64_t n = c.sample_count();
  if (n == 0) return std::nullopt;
  IdMaxima maxima;
  if (known != nullptr) {
    maxima = *known;
  } else {
    for_each_sample_column([&](const auto& column) {
      if (id_bound(c, column)) {
        maxima.largest[column.kIndex] = max_of(c.*column.column);
      }
    });
  }
  const bool in_range = all_sample_columns([&](const auto& column) {
    const std::optional<std::uint64_t> bound = id_bound(c, column);
    return !bound || maxima.largest[column.kIndex] < *bound;
  });
  if (in_range) return std::nullopt;
  // Some id is out of range: report the first sample at fault, and in it
  // the first field, as a per-sample reader would.
  std::optional<ColumnFault> found;
  for (std::uint64_t i = 0; i < n && !found; ++i) {
    all_sample_columns([&](const auto& column) {
      const std::optional<std::uint64_t> bound = id_bound(c, column);
      if (!bound || (c.*column.column)[i] < *bound) return true;
      found = id_fault(c, column, i);
      return false;
    });
  }
  return found;
}

}  // namespace

std::optional<ColumnFault> find_column_fault(const ProfileColumns& columns,
                                             const ReadLimits& limits,
                                             const IdMaxima* known) {
  if (auto found = check_sizes(columns)) return found;
  if (auto found = check_strings(columns, limits)) return found;
  if (auto found = check_lists(columns)) return found;
  if (auto found = check_tiles(columns)) return found;
  return check_samples(columns, known);
}

}  // namespace detail

Loaded<void> check_columns(const ProfileColumns& columns,
                           const ReadLimits& limits) {
  if (auto found = detail::find_column_fault(columns, limits)) {
    return std::move(found->error);
  }
  return {};
}

}  // namespace zyl_package
