// Conversions between the record and the columnar form of a profile.
#include "zyl_package/profile_columns.h"

#include <string_view>
#include <utility>
#include <vector>

#include "dictionary.h"
#include "sample_values.h"

namespace zyl_package {
namespace {

template <typename T>
std::span<const T> view(const std::vector<T>& values) {
  return {values.data(), values.size()};
}

}  // namespace

ProfileColumns columns_from(std::uint64_t clock_hz, ColumnBuffers buffers) {
  auto owned = std::make_shared<const ColumnBuffers>(std::move(buffers));
  const ColumnBuffers& b = *owned;
  ProfileColumns columns;
  columns.clock_hz = clock_hz;
  columns.tiles = view(b.tiles);
  for_each_sample_column([&](const auto& column) {
    columns.*column.column = view(b.*column.buffer);
  });
  columns.string_offsets = view(b.string_offsets);
  columns.string_bytes = {b.string_bytes.data(), b.string_bytes.size()};
  columns.list_offsets = view(b.list_offsets);
  columns.list_entries = view(b.list_entries);
  columns.storage = std::move(owned);
  return columns;
}

ProfileColumns to_columns(const ProfileReport& report) {
  std::size_t samples = 0;
  for (const TileProfile& tile : report.tiles) samples += tile.samples.size();
  ColumnBuffers b;
  b.tiles.reserve(report.tiles.size());
  for_each_sample_column(
      [&](const auto& column) { (b.*column.buffer).reserve(samples); });
  detail::Dictionary dictionary;
  std::vector<MetadataPair> pairs;
  std::uint64_t first = 0;
  for (const TileProfile& tile : report.tiles) {
    b.tiles.push_back({.physical_tile = tile.physical_tile,
                       .first_sample = first,
                       .sample_count = tile.samples.size()});
    first += tile.samples.size();
    for (const CycleSample& sample : tile.samples) {
      detail::for_each_sample_value(
          detail::view_of(sample),
          [&](std::string_view text) { return dictionary.string_id(text); },
          [&] {
            pairs.clear();
            for (const ProfileMetadata& entry : sample.step.metadata) {
              pairs.push_back({dictionary.string_id(entry.name),
                               dictionary.string_id(entry.value)});
            }
            return dictionary.list_id(pairs);
          },
          [&](const auto& column, auto value) {
            (b.*column.buffer).push_back(value);
          });
    }
  }
  dictionary.move_into(b);
  return columns_from(report.clock_hz, std::move(b));
}

ProfileReport to_report(const ProfileColumns& columns) {
  ProfileReport report;
  report.clock_hz = columns.clock_hz;
  report.tiles.reserve(columns.tiles.size());
  for (const ColumnTile& tile : columns.tiles) {
    TileProfile& out = report.tiles.emplace_back();
    out.physical_tile = tile.physical_tile;
    out.samples.reserve(tile.sample_count);
    const std::size_t end = tile.first_sample + tile.sample_count;
    for (std::size_t i = tile.first_sample; i < end; ++i) {
      CycleSample& sample = out.samples.emplace_back();
      detail::assign_fields(sample, detail::sample_view(columns, i));
      const std::span<const MetadataPair> list =
          columns.list(columns.metadata[i]);
      std::vector<ProfileMetadata>& metadata = sample.step.metadata;
      metadata.reserve(list.size());
      for (const MetadataPair& pair : list) {
        metadata.push_back(
            ProfileMetadata{std::string(columns.string(pair.name)),
                            std::string(columns.string(pair.value))});
      }
    }
  }
  return report;
}

}  // namespace zyl_package
