// tile_range and shard_bounds: views over ranges of tiles, sharing the sample
// columns and dictionaries with the whole profile.
#include "zyl_package/shards.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <memory>
#include <utility>

#include "zyl_package/atomic_file.h"
#include "zyl_package/profile_columns.h"
#include "zyl_package/report_io.h"

namespace zyl_package {
namespace {

// What a shard's storage owns: its rebased tile array, and the whole
// profile's storage, which its columns and dictionaries point into.
struct ShardStorage {
  std::vector<ColumnTile> tiles;
  std::shared_ptr<const void> whole;
};

// Returns the index of the first sample of tile `tile`, or the sample count
// for the end of the tiles.
std::uint64_t sample_at(const ProfileColumns& columns, std::size_t tile) {
  return tile < columns.tiles.size() ? columns.tiles[tile].first_sample
                                     : columns.sample_count();
}

}  // namespace

ProfileColumns tile_range(const ProfileColumns& columns, std::size_t first_tile,
                          std::size_t end_tile) {
  assert(first_tile <= end_tile && end_tile <= columns.tiles.size());
  const std::uint64_t begin = sample_at(columns, first_tile);
  const std::uint64_t count = sample_at(columns, end_tile) - begin;

  auto storage = std::make_shared<ShardStorage>();
  storage->tiles.assign(columns.tiles.begin() + first_tile,
                        columns.tiles.begin() + end_tile);
  for (ColumnTile& tile : storage->tiles) tile.first_sample -= begin;
  storage->whole = columns.storage;

  ProfileColumns shard = columns;  // clock and dictionaries, shared as they are
  // A range of a shard is not that shard: whoever writes the range as a
  // shard gives it its own identity.
  shard.shard.reset();
  shard.tiles = storage->tiles;
  for_each_sample_column([&](const auto& column) {
    shard.*column.column = (columns.*column.column).subspan(begin, count);
  });
  shard.storage = std::move(storage);
  return shard;
}

std::vector<std::size_t> shard_bounds(const ProfileColumns& columns,
                                      std::size_t shards) {
  const std::size_t tiles = columns.tiles.size();
  const std::size_t ranges = std::max<std::size_t>(1, std::min(shards, tiles));
  const std::uint64_t total = columns.sample_count();
  std::vector<std::size_t> bounds{0};
  bounds.reserve(ranges + 1);
  for (std::size_t k = 1; k < ranges; ++k) {
    // Cut at the tile boundary nearest the k-th share of the samples; the
    // first_sample of tile t is the number of samples before it.
    // Split as quotient and remainder so total * k cannot overflow.
    const std::uint64_t target =
        total / ranges * k + total % ranges * k / ranges;
    const auto after = std::partition_point(
        columns.tiles.begin(), columns.tiles.end(),
        [&](const ColumnTile& tile) { return tile.first_sample < target; });
    auto cut = static_cast<std::size_t>(after - columns.tiles.begin());
    if (cut > 0 && target - sample_at(columns, cut - 1) <
                       sample_at(columns, cut) - target) {
      --cut;
    }
    // Leave at least one tile to this range and to each range still to come.
    cut = std::clamp(cut, bounds.back() + 1, tiles - (ranges - k));
    bounds.push_back(cut);
  }
  bounds.push_back(tiles);
  return bounds;
}

Outcome<std::size_t, WriteError> write_shard_set(
    const ProfileColumns& columns, std::size_t shards,
    const std::function<std::filesystem::path(std::size_t, std::size_t)>&
        path_of,
    PackageWriteOptions options, const WriteWatch& watch) {
  const std::vector<std::size_t> bounds = shard_bounds(columns, shards);
  const std::size_t count = bounds.size() - 1;
  ShardIdentity identity;
  identity.profile = profile_fingerprint(columns);
  identity.count = static_cast<std::uint32_t>(count);
  // Removes whatever it holds if a write fails before the commit.
  StagedFiles staged;
  for (std::size_t k = 0; k < count; ++k) {
    const std::filesystem::path path = path_of(k, count);
    identity.index = static_cast<std::uint32_t>(k);
    options.shard = identity;
    ReadProgress progress;
    std::shared_ptr<void> watching;
    if (watch) watching = watch(path, progress);
    Written written =
        write_columns(tile_range(columns, bounds[k], bounds[k + 1]), path,
                      ReportFormat::Package, options, &progress, &staged);
    watching.reset();
    if (!written.ok()) return written.error();
  }
  if (Written committed = staged.commit(); !committed.ok()) {
    return committed.error();
  }
  return count;
}

}  // namespace zyl_package
