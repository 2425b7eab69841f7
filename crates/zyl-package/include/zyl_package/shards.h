// Cutting a profile into shards by ranges of tiles: each shard is a profile
// of its own, and the shards' tiles, concatenated in order, are exactly the
// original's, so a set of shards can be queried as the whole.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "zyl_package/load_result.h"
#include "zyl_package/profile_columns.h"
#include "zyl_package/report_package.h"

namespace zyl_package {

// Returns tiles [first_tile, end_tile) of `columns` as a profile of their
// own: the sample columns are subspans and the dictionaries are the whole of
// `columns`' (so ids keep their meaning), the tile array is new with
// first_sample counted from the range's first sample. The result keeps the
// new tile array and `columns.storage` alive, so it may outlive `columns`.
// It has no shard identity, even when `columns` has one: a range of a shard
// is not that shard. Valid columns give valid columns. Requires first_tile <=
// end_tile <= columns.tiles.size().
[[nodiscard]] ProfileColumns tile_range(const ProfileColumns& columns,
                                        std::size_t first_tile,
                                        std::size_t end_tile);

// Returns the tile boundaries that cut `columns` into `shards` contiguous
// ranges of about equal sample counts: shards + 1 values, the first 0 and the
// last the tile count, range k being [bounds[k], bounds[k + 1]). No range is
// empty, so with fewer tiles than shards there are only as many ranges as
// tiles (one tile each), and a profile without tiles gives the single empty
// range {0, 0}; the vector's size says how many ranges there are. A tile is
// never cut, so a range may exceed the mean by up to its largest tile.
// `shards` 0 is taken as 1.
[[nodiscard]] std::vector<std::size_t> shard_bounds(
    const ProfileColumns& columns, std::size_t shards);

// Called as each shard file starts being written, with the counter of its
// progress (decoded bytes, as write_columns counts them); what it returns is
// kept alive until that file is written (a progress line, say). May be empty.
using WriteWatch = std::function<std::shared_ptr<void>(
    const std::filesystem::path& path, const ReadProgress& progress)>;

// Writes `columns` cut into about `shards` ranges (shard_bounds) as packages,
// shard k to path_of(k, count), each carrying the identity of the set: the
// whole profile's fingerprint, its index and the count. Every file is
// written under a temporary name first and the set is renamed into place
// only once all are written, so a failure (a full disk) leaves any older
// files at those paths as they were, and no shard of the new set behind.
// Returns the count written (shard_bounds may give fewer than asked), or
// the error naming the file. `options.shard` is set here.
[[nodiscard]] Outcome<std::size_t, WriteError> write_shard_set(
    const ProfileColumns& columns, std::size_t shards,
    const std::function<std::filesystem::path(std::size_t index,
                                              std::size_t count)>& path_of,
    PackageWriteOptions options = {}, const WriteWatch& watch = {});

}  // namespace zyl_package
