// The columnar form of a profile: one array per sample field, strings and
// metadata lists held once in dictionaries. The query engine scans it; a
// package maps it straight from a file, so opening a profile decodes nothing
// per sample.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zyl_package/load_result.h"
#include "zyl_package/profile_report.h"

namespace zyl_package {

// One tile: its number and its range of the sample columns. 24 bytes, laid
// out as a package stores it, so a mapped file is used as it is.
struct ColumnTile {
  std::uint32_t physical_tile = 0;
  std::uint32_t reserved = 0;      // always 0
  std::uint64_t first_sample = 0;  // index into the sample columns
  std::uint64_t sample_count = 0;

  bool operator==(const ColumnTile&) const = default;
};
static_assert(sizeof(ColumnTile) == 24);

// One metadata entry of a dictionary list, as two string ids.
struct MetadataPair {
  std::uint32_t name = 0;
  std::uint32_t value = 0;

  bool operator==(const MetadataPair&) const = default;
};
static_assert(sizeof(MetadataPair) == 8);

// Which piece of which profile a file holds, when it is one of the shards
// `zyl-profile split` writes: a set of shards is whole when every index
// below `count` is there once, all with the same `profile`.
struct ShardIdentity {
  // A fingerprint of the whole profile's content (profile_fingerprint), the
  // same in every shard cut from it.
  std::array<std::uint8_t, 16> profile{};
  std::uint32_t index = 0;  // position of this shard, below `count`
  std::uint32_t count = 1;  // shards in the set

  bool operator==(const ShardIdentity&) const = default;
};

// A whole profile as columns. Sample `i` of the profile is element `i` of
// every sample column; the tiles' ranges follow each other in report order.
// The arrays are views: `storage` keeps what they point into alive (owned
// vectors or a mapped file), so copies are cheap and share the data.
//
// Columns from a reader or from to_columns are valid: every column holds
// sample_count() elements, kinds are 0..3, every id is inside its
// dictionary, offsets are non-decreasing and end at their array's size, and
// the tiles cover the samples contiguously (check_columns). The query engine
// relies on that and tests no index while it scans.
struct ProfileColumns {
  std::uint64_t clock_hz = 0;  // counter frequency; 0 means unknown
  // Set when the file read is a shard of a larger profile; only a package
  // reader sets it. Writers take the identity from their options
  // (PackageWriteOptions::shard), never from here, and tile_range leaves it
  // empty: a range of a shard is not that shard.
  std::optional<ShardIdentity> shard;
  std::span<const ColumnTile> tiles;

  std::span<const std::uint32_t> start_cycle;
  std::span<const std::uint32_t> end_cycle;
  std::span<const std::uint32_t> local_index;
  std::span<const std::uint32_t> phase;
  std::span<const std::uint32_t> epoch;
  std::span<const std::uint8_t> kind;        // ProfileStepKind values
  std::span<const std::uint32_t> kernel;     // string id
  std::span<const std::uint32_t> operation;  // string id
  std::span<const std::uint32_t> metadata;   // metadata list id

  // String `k` is string_bytes[string_offsets[k], string_offsets[k + 1]).
  std::span<const std::uint64_t> string_offsets;  // string count + 1
  std::span<const char> string_bytes;
  // List `j` is list_entries[list_offsets[j], list_offsets[j + 1]).
  std::span<const std::uint64_t> list_offsets;  // list count + 1
  std::span<const MetadataPair> list_entries;

  std::shared_ptr<const void> storage;

  [[nodiscard]] std::size_t sample_count() const { return start_cycle.size(); }
  [[nodiscard]] std::size_t string_count() const {
    return string_offsets.empty() ? 0 : string_offsets.size() - 1;
  }
  [[nodiscard]] std::size_t list_count() const {
    return list_offsets.empty() ? 0 : list_offsets.size() - 1;
  }
  // Returns string `id`; `id` must be below string_count().
  [[nodiscard]] std::string_view string(std::uint32_t id) const {
    const std::uint64_t begin = string_offsets[id];
    return {string_bytes.data() + begin,
            static_cast<std::size_t>(string_offsets[id + 1] - begin)};
  }
  // Returns the entries of metadata list `id`; `id` must be below
  // list_count().
  [[nodiscard]] std::span<const MetadataPair> list(std::uint32_t id) const {
    const std::uint64_t begin = list_offsets[id];
    return list_entries.subspan(begin, list_offsets[id + 1] - begin);
  }
};

// Loaded columns or the error that stopped the load.
using ColumnsResult = Loaded<ProfileColumns>;

// Owned arrays of a columnar profile, for builders and decoders; columns_from
// turns them into ProfileColumns without copying.
struct ColumnBuffers {
  std::vector<ColumnTile> tiles;
  std::vector<std::uint32_t> start_cycle;
  std::vector<std::uint32_t> end_cycle;
  std::vector<std::uint32_t> local_index;
  std::vector<std::uint32_t> phase;
  std::vector<std::uint32_t> epoch;
  std::vector<std::uint8_t> kind;
  std::vector<std::uint32_t> kernel;
  std::vector<std::uint32_t> operation;
  std::vector<std::uint32_t> metadata;
  std::vector<std::uint64_t> string_offsets{0};
  std::string string_bytes;
  std::vector<std::uint64_t> list_offsets{0};
  std::vector<MetadataPair> list_entries;
};

// Returns columns viewing `buffers`, which they take over and keep alive.
[[nodiscard]] ProfileColumns columns_from(std::uint64_t clock_hz,
                                          ColumnBuffers buffers);

// Returns the columnar form of `report`. Each distinct string and each
// distinct metadata list is stored once, ids given in order of first use
// (per sample: kernel, operation, then each metadata name and value), so the
// same report always gives the same columns.
[[nodiscard]] ProfileColumns to_columns(const ProfileReport& report);

// Returns the record form of `columns`; to_report(to_columns(r)) == r.
[[nodiscard]] ProfileReport to_report(const ProfileColumns& columns);

// Returns nothing when `columns` are valid (see ProfileColumns), or the first
// fault found, naming the sample as "tiles[t].samples[s].step.kernel" where
// one is at fault. Strings must be valid UTF-8 no longer than
// `limits.max_string_bytes`. Works in bulk over each array, a small fraction
// of the cost of a query.
[[nodiscard]] std::optional<LoadError> check_columns(
    const ProfileColumns& columns, const ReadLimits& limits = {});

}  // namespace zyl_package
