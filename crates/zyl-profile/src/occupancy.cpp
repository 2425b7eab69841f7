// The occupancy scan: the same walk and matcher as the query, each matched
// sample's cycles spread over the time columns it crosses. Threads take
// contiguous runs of rows, so each writes only its own cells.
#include "zyl_profile/occupancy.h"

#include <algorithm>
#include <thread>
#include <unordered_map>
#include <utility>

#include "even_ranges.h"
#include "zyl_profile/profile_set.h"
#include "zyl_profile/scan.h"

namespace zyl_profile {
namespace {

// Rows and columns beyond these add nothing a screen can show and only
// grow the result.
constexpr std::size_t kMaxBins = 4096;

// The first and latest start of each (phase, epoch) pair, over tiles.
using PhaseStarts = std::unordered_map<std::uint64_t, PhaseStart>;

std::uint64_t pair_key(std::uint32_t phase, std::uint32_t epoch) {
  return (std::uint64_t{phase} << 32) | epoch;
}

// Returns the column holding `offset`, which lies in [edges.front(),
// edges.back()). The estimate from the proportion is off by at most one
// either way, because the edges are rounded down.
std::size_t column_of(const std::vector<std::uint64_t>& edges,
                      std::uint64_t offset) {
  const std::size_t columns = edges.size() - 1;
  const std::uint64_t width = edges.back() - edges.front();
  std::size_t column =
      static_cast<std::size_t>((offset - edges.front()) * columns / width);
  column = std::min(column, columns - 1);
  while (column > 0 && edges[column] > offset) --column;
  while (column + 1 < columns && edges[column + 1] <= offset) ++column;
  return column;
}

struct Scanner {
  const ProfileColumns& columns;
  const SampleMatcher& matcher;
  Occupancy& result;  // only the cells of the rows scanned are written
  // Report position of the columns' first tile in the whole profile: rows
  // name whole-profile positions, and a shard holds a run of them.
  std::size_t first_tile = 0;

  // Scans the tiles of rows [first_row, end_row) that these columns hold
  // and returns their phase starts.
  PhaseStarts scan_rows(std::size_t first_row, std::size_t end_row) const {
    PhaseStarts starts;
    std::unordered_map<std::uint64_t, std::uint64_t> tile_starts;
    const std::size_t end_tile = first_tile + columns.tiles.size();
    for (std::size_t row = first_row; row < end_row; ++row) {
      const TileBin& bin = result.rows[row];
      const std::size_t from = std::max(bin.first_tile, first_tile);
      const std::size_t to = std::min(bin.last_tile + 1, end_tile);
      for (std::size_t t = from; t < to; ++t) {
        tile_starts.clear();
        scan_tile_into(row, columns.tiles[t - first_tile], tile_starts);
        for (const auto& [key, start] : tile_starts) {
          auto [it, inserted] = starts.try_emplace(
              key,
              PhaseStart{static_cast<std::uint32_t>(key >> 32),
                         static_cast<std::uint32_t>(key), start, start, 0});
          PhaseStart& phase = it->second;
          phase.earliest = std::min(phase.earliest, start);
          phase.latest = std::max(phase.latest, start);
          ++phase.tile_count;
        }
      }
    }
    return starts;
  }

  void scan_tile_into(
      std::size_t row, const ColumnTile& tile,
      std::unordered_map<std::uint64_t, std::uint64_t>& tile_starts) const {
    if (tile.sample_count == 0 || !matcher.keeps_tile(tile.physical_tile)) {
      return;
    }
    const std::vector<std::uint64_t>& edges = result.time_edges;
    const std::size_t columns_per_row = edges.size() - 1;
    std::uint64_t* const cells =
        result.cycles.data() + row * columns_per_row * kStepKinds;
    std::size_t last_column = 0;
    // Phases come in runs along a tile: the map is touched once per run.
    bool in_run = false;
    std::uint64_t run_key = 0;
    std::uint64_t run_start = 0;
    const auto end_run = [&] {
      if (!in_run) return;
      const auto [it, inserted] = tile_starts.try_emplace(run_key, run_start);
      if (!inserted) it->second = std::min(it->second, run_start);
    };
    const auto add = [&](std::size_t sample, std::uint64_t offset,
                         std::uint32_t sample_duration) {
      const std::uint64_t key =
          pair_key(columns.phase[sample], columns.epoch[sample]);
      if (!in_run || key != run_key) {
        end_run();
        in_run = true;
        run_key = key;
        run_start = offset;
      } else {
        run_start = std::min(run_start, offset);
      }
      std::uint64_t begin = std::max(offset, edges.front());
      const std::uint64_t end =
          std::min(offset + sample_duration, edges.back());
      if (begin >= end) return;
      const std::size_t kind = columns.kind[sample] & (kStepKinds - 1);
      // Samples follow each other along the tile: the column of the last
      // one, or the next, nearly always holds this one's start, and the
      // division is left for the jumps.
      std::size_t column = last_column;
      if (begin < edges[column] || begin >= edges[column + 1]) {
        column = column + 2 < edges.size() && begin >= edges[column + 1] &&
                         begin < edges[column + 2]
                     ? column + 1
                     : column_of(edges, begin);
      }
      last_column = column;
      for (; begin < end; ++column) {
        const std::uint64_t cell_end = std::min(end, edges[column + 1]);
        cells[column * kStepKinds + kind] += cell_end - begin;
        begin = cell_end;
      }
    };
    if (matcher.keeps_everything()) {
      scan_tile<false>(columns, tile, matcher, add);
    } else {
      scan_tile<true>(columns, tile, matcher, add);
    }
    end_run();
  }
};

// A kept tile: its report position in the whole profile and its number.
struct KeptTile {
  std::size_t position = 0;
  std::uint32_t physical_tile = 0;
};

// Appends the tiles of `columns` that `query` keeps, their positions
// counted from `first_tile`.
void keep_tiles(const ProfileColumns& columns, const Query& query,
                std::size_t first_tile, std::vector<KeptTile>& kept) {
  for (std::size_t t = 0; t < columns.tiles.size(); ++t) {
    const std::uint32_t number = columns.tiles[t].physical_tile;
    if (query.tiles.empty() || query.tiles.contains(number)) {
      kept.push_back(KeptTile{first_tile + t, number});
    }
  }
}

// Cuts the kept tiles into about `wanted` rows of consecutive tiles.
std::vector<TileBin> tile_rows(const std::vector<KeptTile>& kept,
                               std::size_t wanted) {
  const std::size_t tiles = kept.size();
  const std::size_t rows = std::min(std::max<std::size_t>(wanted, 1), tiles);
  std::vector<TileBin> result(rows);
  for (std::size_t row = 0; row < rows; ++row) {
    TileBin& bin = result[row];
    const std::size_t first = row * tiles / rows;
    const std::size_t end = (row + 1) * tiles / rows;
    bin.first_tile = kept[first].position;
    bin.last_tile = kept[end - 1].position;
    bin.tile_count = end - first;
    bin.lowest_physical_tile = kept[first].physical_tile;
    bin.highest_physical_tile = bin.lowest_physical_tile;
    for (std::size_t i = first; i < end; ++i) {
      bin.lowest_physical_tile =
          std::min(bin.lowest_physical_tile, kept[i].physical_tile);
      bin.highest_physical_tile =
          std::max(bin.highest_physical_tile, kept[i].physical_tile);
    }
  }
  return result;
}

// The frame of the map: its rows over the kept tiles and its time columns
// over the query's window clipped to the span, every cell still zero.
Occupancy empty_map(std::uint64_t clock_hz, std::uint64_t span,
                    const Query& query, const std::vector<KeptTile>& kept,
                    OccupancyOptions options) {
  Occupancy result;
  result.clock_hz = clock_hz;
  // Samples end by the span, so a window reaching past it draws no more.
  result.to_cycles =
      std::min(query.to_offset ? query.to_offset->cycles() : span, span);
  result.from_cycles = std::min(
      query.from_offset ? query.from_offset->cycles() : 0, result.to_cycles);
  result.rows = tile_rows(kept, std::min(options.tile_bins, kMaxBins));
  const std::uint64_t width = result.to_cycles - result.from_cycles;
  // Never more columns than cycles: every column is at least a cycle wide.
  const std::size_t time_bins =
      static_cast<std::size_t>(std::min<std::uint64_t>(
          std::clamp<std::size_t>(options.time_bins, 1, kMaxBins),
          std::max<std::uint64_t>(width, 1)));
  for (std::size_t column = 0; column <= time_bins; ++column) {
    // Offsets stay below 2^33 and columns below 2^13: no overflow.
    result.time_edges.push_back(result.from_cycles +
                                width * column / time_bins);
  }
  result.cycles.assign(result.rows.size() * time_bins * kStepKinds, 0);
  return result;
}

void merge_starts(PhaseStarts& into, const PhaseStarts& other) {
  for (const auto& [key, phase] : other) {
    const auto [it, inserted] = into.try_emplace(key, phase);
    if (inserted) continue;
    it->second.earliest = std::min(it->second.earliest, phase.earliest);
    it->second.latest = std::max(it->second.latest, phase.latest);
    it->second.tile_count += phase.tile_count;
  }
}

// Adds the cells and phase starts of the rows' tiles that `columns` holds,
// the profile's tiles from position `first_tile` on, on up to the threads
// `parallel` allows: threads take contiguous runs of rows, so each writes
// only its own cells.
void scan_into(const ProfileColumns& columns, std::size_t first_tile,
               const Query& query, ParallelOptions parallel, Occupancy& result,
               PhaseStarts& merged) {
  const std::size_t end_tile = first_tile + columns.tiles.size();
  // The rows that hold some of these tiles.
  const auto first_row = std::partition_point(
      result.rows.begin(), result.rows.end(),
      [&](const TileBin& bin) { return bin.last_tile < first_tile; });
  const auto end_row = std::partition_point(
      first_row, result.rows.end(),
      [&](const TileBin& bin) { return bin.first_tile < end_tile; });
  const std::size_t begin = first_row - result.rows.begin();
  const std::size_t end = end_row - result.rows.begin();
  if (begin == end) return;
  const SampleMatcher matcher(columns, query);
  const Scanner scanner{columns, matcher, result, first_tile};
  // Rows in contiguous runs of about equal sample counts, one per thread.
  const std::vector<std::size_t> bounds = detail::even_ranges(
      begin, end, query_threads(columns, parallel), columns.sample_count(),
      [&](std::size_t row) {
        const TileBin& bin = result.rows[row];
        const std::size_t from = std::max(bin.first_tile, first_tile);
        const std::size_t to = std::min(bin.last_tile + 1, end_tile);
        std::size_t samples = 0;
        for (std::size_t t = from; t < to; ++t) {
          samples += columns.tiles[t - first_tile].sample_count;
        }
        return samples;
      });
  std::vector<PhaseStarts> starts(bounds.size() - 1);
  {
    std::vector<std::jthread> workers;
    for (std::size_t i = 1; i + 1 < bounds.size(); ++i) {
      workers.emplace_back(
          [&, i] { starts[i] = scanner.scan_rows(bounds[i], bounds[i + 1]); });
    }
    starts[0] = scanner.scan_rows(bounds[0], bounds[1]);
  }
  for (const PhaseStarts& part : starts) merge_starts(merged, part);
}

// The phase starts in (phase, epoch) order, and the map's total.
void finish_map(const PhaseStarts& merged, Occupancy& result) {
  for (const auto& [key, phase] : merged) result.phase_starts.push_back(phase);
  std::sort(result.phase_starts.begin(), result.phase_starts.end(),
            [](const PhaseStart& left, const PhaseStart& right) {
              return pair_key(left.phase, left.epoch) <
                     pair_key(right.phase, right.epoch);
            });
  for (const std::uint64_t cell : result.cycles) result.work_cycles += cell;
}

}  // namespace

Occupancy occupancy(const ProfileColumns& columns, const Query& asked,
                    OccupancyOptions options, ParallelOptions parallel) {
  const std::uint64_t span = profile_span(columns);
  const Query query = resolve_bounds(asked, span);
  std::vector<KeptTile> kept;
  keep_tiles(columns, query, 0, kept);
  Occupancy result = empty_map(columns.clock_hz, span, query, kept, options);
  PhaseStarts merged;
  scan_into(columns, 0, query, parallel, result, merged);
  finish_map(merged, result);
  return result;
}

Loaded<Occupancy> occupancy(const ProfileSet& profile, const Query& asked,
                            OccupancyOptions options,
                            ParallelOptions parallel) {
  // A first pass finds the span and the kept tiles of the whole profile,
  // which set the frame; a second scans each shard into it.
  std::uint64_t span = 0;
  std::uint64_t clock_hz = 0;
  std::vector<KeptTile> kept;
  std::vector<std::size_t> first_tiles;
  std::size_t tiles = 0;
  for (std::size_t position = 0; position < profile.size(); ++position) {
    ColumnsResult loaded = profile.load(position);
    if (!loaded.ok()) return loaded.error();
    const ProfileColumns& columns = loaded.value();
    if (position == 0) clock_hz = columns.clock_hz;
    span = std::max(span, profile_span(columns));
    keep_tiles(columns, asked, tiles, kept);
    first_tiles.push_back(tiles);
    tiles += columns.tiles.size();
  }
  const Query query = resolve_bounds(asked, span);
  Occupancy result = empty_map(clock_hz, span, query, kept, options);
  PhaseStarts merged;
  for (std::size_t position = 0; position < profile.size(); ++position) {
    ColumnsResult loaded = profile.load(position);
    if (!loaded.ok()) return loaded.error();
    scan_into(loaded.value(), first_tiles[position], query, parallel, result,
              merged);
  }
  finish_map(merged, result);
  return result;
}

}  // namespace zyl_profile
