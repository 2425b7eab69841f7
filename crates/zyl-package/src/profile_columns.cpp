// Conversions between the record and the columnar form of a profile.
#include "zyl_package/profile_columns.h"

#include <utility>
#include <vector>

#include "dictionary.h"

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
  columns.start_cycle = view(b.start_cycle);
  columns.end_cycle = view(b.end_cycle);
  columns.local_index = view(b.local_index);
  columns.phase = view(b.phase);
  columns.epoch = view(b.epoch);
  columns.kind = view(b.kind);
  columns.kernel = view(b.kernel);
  columns.operation = view(b.operation);
  columns.metadata = view(b.metadata);
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
  for (auto* column : {&b.start_cycle, &b.end_cycle, &b.local_index, &b.phase,
                       &b.epoch, &b.kernel, &b.operation, &b.metadata}) {
    column->reserve(samples);
  }
  b.kind.reserve(samples);
  detail::Dictionary dictionary;
  std::vector<MetadataPair> pairs;
  std::uint64_t first = 0;
  for (const TileProfile& tile : report.tiles) {
    b.tiles.push_back({.physical_tile = tile.physical_tile,
                       .first_sample = first,
                       .sample_count = tile.samples.size()});
    first += tile.samples.size();
    for (const CycleSample& sample : tile.samples) {
      const ProfileStep& step = sample.step;
      b.start_cycle.push_back(sample.start_cycle);
      b.end_cycle.push_back(sample.end_cycle);
      b.local_index.push_back(step.local_index);
      b.phase.push_back(step.phase);
      b.epoch.push_back(step.epoch);
      // A kind outside the enumeration (only a cast makes one) reads as
      // exchange everywhere, as step_kind_name says; storing it as such keeps
      // the columns valid.
      const auto kind = static_cast<std::uint8_t>(step.kind);
      b.kind.push_back(kind <= 3 ? kind : 0);
      b.kernel.push_back(dictionary.string_id(step.kernel));
      b.operation.push_back(dictionary.string_id(step.operation));
      pairs.clear();
      for (const ProfileMetadata& entry : step.metadata) {
        pairs.push_back({dictionary.string_id(entry.name),
                         dictionary.string_id(entry.value)});
      }
      b.metadata.push_back(dictionary.list_id(pairs));
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
      sample.start_cycle = columns.start_cycle[i];
      sample.end_cycle = columns.end_cycle[i];
      ProfileStep& step = sample.step;
      step.local_index = columns.local_index[i];
      step.phase = columns.phase[i];
      step.epoch = columns.epoch[i];
      step.kind = static_cast<ProfileStepKind>(columns.kind[i]);
      step.kernel = columns.string(columns.kernel[i]);
      step.operation = columns.string(columns.operation[i]);
      const std::span<const MetadataPair> list =
          columns.list(columns.metadata[i]);
      step.metadata.reserve(list.size());
      for (const MetadataPair& pair : list) {
        step.metadata.push_back(
            ProfileMetadata{std::string(columns.string(pair.name)),
                            std::string(columns.string(pair.value))});
      }
    }
  }
  return report;
}

}  // namespace zyl_package
