// Conversions between the record and the columnar form of a profile.
#include "zyl_package/profile_columns.h"

#include <xxhash.h>

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace zyl_package {
namespace {

// Gives each distinct string an id in order of first use, appending its
// bytes to the dictionary. Borrows the report's strings while it runs.
class StringDictionary {
 public:
  explicit StringDictionary(ColumnBuffers& out) : out_(out) {}

  std::uint32_t id(std::string_view text) {
    const auto [it, inserted] = ids_.try_emplace(
        text, static_cast<std::uint32_t>(out_.string_offsets.size() - 1));
    if (inserted) {
      out_.string_bytes += text;
      out_.string_offsets.push_back(out_.string_bytes.size());
    }
    return it->second;
  }

 private:
  ColumnBuffers& out_;
  std::unordered_map<std::string_view, std::uint32_t> ids_;
};

// Stores each distinct metadata list once. Lists are found by a hash of
// their (name id, value id) pairs and compared in full, since two lists may
// share a hash.
class ListDictionary {
 public:
  explicit ListDictionary(ColumnBuffers& out) : out_(out) {}

  std::uint32_t id(const std::vector<ProfileMetadata>& metadata,
                   StringDictionary& strings) {
    scratch_.clear();
    for (const ProfileMetadata& entry : metadata) {
      scratch_.push_back({strings.id(entry.name), strings.id(entry.value)});
    }
    const std::uint64_t hash =
        XXH3_64bits(scratch_.data(), scratch_.size() * sizeof(MetadataPair));
    const auto head = heads_.find(hash);
    std::uint32_t candidate = head == heads_.end() ? kNone : head->second;
    for (; candidate != kNone; candidate = next_[candidate]) {
      const std::uint64_t begin = out_.list_offsets[candidate];
      const std::uint64_t end = out_.list_offsets[candidate + 1];
      if (end - begin == scratch_.size() &&
          std::equal(
              scratch_.begin(), scratch_.end(),
              out_.list_entries.begin() + static_cast<std::ptrdiff_t>(begin))) {
        return candidate;
      }
    }
    const auto list = static_cast<std::uint32_t>(next_.size());
    next_.push_back(head == heads_.end() ? kNone : head->second);
    heads_[hash] = list;
    out_.list_entries.insert(out_.list_entries.end(), scratch_.begin(),
                             scratch_.end());
    out_.list_offsets.push_back(out_.list_entries.size());
    return list;
  }

 private:
  static constexpr std::uint32_t kNone = 0xffffffffU;
  ColumnBuffers& out_;
  std::vector<MetadataPair> scratch_;
  std::unordered_map<std::uint64_t, std::uint32_t> heads_;
  std::vector<std::uint32_t> next_;  // the next list with the same hash
};

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
  StringDictionary strings(b);
  ListDictionary lists(b);
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
      b.kernel.push_back(strings.id(step.kernel));
      b.operation.push_back(strings.id(step.operation));
      b.metadata.push_back(lists.id(step.metadata, strings));
    }
  }
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
