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
#include <tuple>
#include <type_traits>
#include <utility>
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

// What the values of a sample column mean: how they are checked, and how a
// sample's value is found (the number itself, or the id of its text or of
// its metadata list in the profile's dictionaries).
enum class SampleValues : std::uint8_t {
  Number = 0,    // stored as the sample gives it
  Kind = 1,      // a ProfileStepKind, 0..3
  StringId = 2,  // id of a string
  ListId = 3,    // id of a metadata list
};

namespace detail {

// Stands for the field a SampleView lacks: the metadata list, which a
// sample hands over as its entries.
struct NoViewField {};

template <typename T, SampleValues V>
struct ViewFieldOf {
  using type = T;
};
template <typename T>
struct ViewFieldOf<T, SampleValues::Kind> {
  using type = ProfileStepKind;
};
template <typename T>
struct ViewFieldOf<T, SampleValues::StringId> {
  using type = std::string_view;
};
template <typename T>
struct ViewFieldOf<T, SampleValues::ListId> {
  using type = NoViewField;
};

}  // namespace detail

// The package section id of the first sample column: the strings (two
// sections) and the tiles come before the sample columns.
inline constexpr std::uint32_t kFirstSampleSection = 4;

// One sample field as every columnar form holds it: the array of
// ProfileColumns and of ColumnBuffers, where a SampleView holds the field
// (its text for a string id; null for the metadata list), and the package
// section that stores the column. The meaning and the section are part of
// the type, so code over all columns can branch on them at compile time.
template <typename T, SampleValues V, std::uint32_t Section>
struct SampleColumn {
  using Element = T;
  using ViewField = typename detail::ViewFieldOf<T, V>::type;
  static constexpr SampleValues kValues = V;
  static constexpr std::uint32_t kSection = Section;  // directory id, from 1
  // Position among the sample columns; arrays kept per sample column use it.
  static constexpr std::size_t kIndex = Section - kFirstSampleSection;

  // The field's JSON key, which also names its package section, its Python
  // array and the column in check messages.
  std::string_view name;
  std::span<const T> ProfileColumns::*column;
  std::vector<T> ColumnBuffers::*buffer;
  ViewField SampleView::*field;
};

// The sample fields, in the order a package stores their sections; this
// table is the one list of them that columns, readers, writers, checks and
// bindings walk. Adding a field here (with its ProfileColumns and
// ColumnBuffers arrays and its SampleView member) is what the columnar side
// needs; the JSON form names its keys and their types itself.
inline constexpr std::tuple kSampleColumns{
    SampleColumn<std::uint32_t, SampleValues::Number, 4>{
        "start_cycle", &ProfileColumns::start_cycle,
        &ColumnBuffers::start_cycle, &SampleView::start_cycle},
    SampleColumn<std::uint32_t, SampleValues::Number, 5>{
        "end_cycle", &ProfileColumns::end_cycle, &ColumnBuffers::end_cycle,
        &SampleView::end_cycle},
    SampleColumn<std::uint32_t, SampleValues::Number, 6>{
        "local_index", &ProfileColumns::local_index,
        &ColumnBuffers::local_index, &SampleView::local_index},
    SampleColumn<std::uint32_t, SampleValues::Number, 7>{
        "phase", &ProfileColumns::phase, &ColumnBuffers::phase,
        &SampleView::phase},
    SampleColumn<std::uint32_t, SampleValues::Number, 8>{
        "epoch", &ProfileColumns::epoch, &ColumnBuffers::epoch,
        &SampleView::epoch},
    SampleColumn<std::uint8_t, SampleValues::Kind, 9>{
        "kind", &ProfileColumns::kind, &ColumnBuffers::kind, &SampleView::kind},
    SampleColumn<std::uint32_t, SampleValues::StringId, 10>{
        "kernel", &ProfileColumns::kernel, &ColumnBuffers::kernel,
        &SampleView::kernel},
    SampleColumn<std::uint32_t, SampleValues::StringId, 11>{
        "operation", &ProfileColumns::operation, &ColumnBuffers::operation,
        &SampleView::operation},
    SampleColumn<std::uint32_t, SampleValues::ListId, 12>{
        "metadata", &ProfileColumns::metadata, &ColumnBuffers::metadata,
        nullptr},
};

inline constexpr std::size_t kSampleColumnCount =
    std::tuple_size_v<decltype(kSampleColumns)>;

// Bytes one sample takes over all the sample columns.
inline constexpr std::size_t kSampleBytes = std::apply(
    [](const auto&... column) {
      return (sizeof(typename std::remove_cvref_t<decltype(column)>::Element) +
              ...);
    },
    kSampleColumns);

namespace detail {
template <std::size_t... I>
constexpr bool sample_columns_in_order(std::index_sequence<I...>) {
  return ((std::tuple_element_t<I, decltype(kSampleColumns)>::kIndex == I) &&
          ...);
}
}  // namespace detail
// A column's section follows from its place in the table: the table's order
// is the file's.
static_assert(detail::sample_columns_in_order(
    std::make_index_sequence<kSampleColumnCount>{}));

// Calls `visit(column)` for each entry of kSampleColumns, in order.
template <typename Visit>
constexpr void for_each_sample_column(Visit&& visit) {
  std::apply([&visit](const auto&... column) { (visit(column), ...); },
             kSampleColumns);
}

// Returns true when `visit(column)` does for every entry of kSampleColumns,
// stopping at the first false.
template <typename Visit>
constexpr bool all_sample_columns(Visit&& visit) {
  return std::apply(
      [&visit](const auto&... column) { return (visit(column) && ...); },
      kSampleColumns);
}

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

// Returns success when `columns` are valid (see ProfileColumns), or the
// first fault found, naming the sample as "tiles[t].samples[s].step.kernel"
// where one is at fault. Strings must be valid UTF-8 no longer than
// `limits.max_string_bytes`. Works in bulk over each array, a small fraction
// of the cost of a query.
[[nodiscard]] Loaded<void> check_columns(const ProfileColumns& columns,
                                         const ReadLimits& limits = {});

}  // namespace zyl_package
