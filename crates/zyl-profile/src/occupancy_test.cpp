// Tests of the occupancy: every cell against a direct computation on random
// profiles and queries, and the edges of the binning.
#include "zyl_profile/occupancy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>

#include "random_cases.h"

namespace zyl_profile {
namespace {

using testing::varied_query;
using testing::varied_report;
using zyl_package::to_columns;

// The occupancy computed the plain way: every matched sample against every
// cell of its row, and the phase starts from every matched sample.
Occupancy direct_occupancy(const ProfileReport& report, const Query& query,
                           const Occupancy& shape) {
  Occupancy expected = shape;
  std::fill(expected.cycles.begin(), expected.cycles.end(), 0);
  expected.work_cycles = 0;
  expected.phase_starts.clear();
  std::map<std::pair<std::uint32_t, std::uint32_t>, PhaseStart> starts;
  const std::size_t columns = shape.columns();
  for (std::size_t row = 0; row < shape.rows.size(); ++row) {
    const TileBin& bin = shape.rows[row];
    for (std::size_t t = bin.first_tile; t <= bin.last_tile; ++t) {
      const TileProfile& tile = report.tiles[t];
      if (tile.samples.empty()) continue;
      const std::uint32_t base = tile.samples.front().start_cycle;
      std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint64_t> first;
      for (const CycleSample& sample : tile.samples) {
        const std::uint64_t offset =
            static_cast<std::uint32_t>(sample.start_cycle - base);
        const std::uint32_t length = duration(sample);
        if (!matches_query(query, tile.physical_tile, sample, offset, length)) {
          continue;
        }
        const auto pair = std::pair(sample.step.phase, sample.step.epoch);
        const auto [it, inserted] = first.try_emplace(pair, offset);
        if (!inserted) it->second = std::min(it->second, offset);
        for (std::size_t column = 0; column < columns; ++column) {
          const std::uint64_t low =
              std::max(offset, expected.time_edges[column]);
          const std::uint64_t high =
              std::min(offset + length, expected.time_edges[column + 1]);
          if (low >= high) continue;
          expected.cycles[(row * columns + column) * kStepKinds +
                          static_cast<std::size_t>(kind_of(sample))] +=
              high - low;
          expected.work_cycles += high - low;
        }
      }
      for (const auto& [pair, start] : first) {
        auto [it, inserted] = starts.try_emplace(
            pair, PhaseStart{pair.first, pair.second, start, start, 0});
        it->second.earliest = std::min(it->second.earliest, start);
        it->second.latest = std::max(it->second.latest, start);
        ++it->second.tile_count;
      }
    }
  }
  for (const auto& [pair, start] : starts) {
    expected.phase_starts.push_back(start);
  }
  return expected;
}

TEST(Occupancy, EqualsTheDirectComputationOnRandomProfiles) {
  std::mt19937 rng(17);
  for (int round = 0; round < 600; ++round) {
    const ProfileReport report = varied_report(rng);
    const ProfileColumns columns = to_columns(report);
    const Query asked = varied_query(rng);
    const std::uint64_t span = query(columns, Query{}).profile_span_cycles;
    // The direct computation takes cycles; the occupancy resolves shares.
    const Query q = resolve_bounds(asked, span);
    const OccupancyOptions options{1 + rng() % 5, 1 + rng() % 40};
    SCOPED_TRACE("round " + std::to_string(round));
    const Occupancy result = occupancy(columns, asked, options);
    const Occupancy expected = direct_occupancy(report, q, result);
    ASSERT_EQ(result.cycles, expected.cycles);
    ASSERT_EQ(result.work_cycles, expected.work_cycles);
    ASSERT_TRUE(result.phase_starts == expected.phase_starts);
    ASSERT_TRUE(occupancy(columns, q, options, ParallelOptions{3, 0}) ==
                result);
    // The edges: from the window's start to its end, clipped to the span,
    // strictly rising.
    const std::uint64_t to =
        std::min(q.to_offset ? q.to_offset->cycles() : span, span);
    EXPECT_EQ(result.to_cycles, to);
    EXPECT_EQ(result.time_edges.back(), to);
    EXPECT_EQ(result.time_edges.front(), result.from_cycles);
    EXPECT_LE(result.columns(), options.time_bins);
    for (std::size_t c = 0;
         c + 1 < result.time_edges.size() && result.from_cycles < to; ++c) {
      EXPECT_LT(result.time_edges[c], result.time_edges[c + 1]);
    }
    // Without a window, the cells hold all the matched work.
    if (!q.from_offset && !q.to_offset) {
      Query all = q;
      all.limit.reset();
      std::uint64_t work = 0;
      for (const GroupSummary& group : query(columns, all).groups) {
        work += group.work_cycles;
      }
      EXPECT_EQ(result.work_cycles, work);
    }
  }
}

TEST(Occupancy, RowsCoverEveryTileOnceAndNameTheirTileNumbers) {
  ProfileReport report{1000, {}};
  for (std::uint32_t t = 0; t < 10; ++t) {
    report.tiles.push_back(TileProfile{
        100 - t * 3, {testing::timed(0, 10 + t), testing::timed(20, 5)}});
  }
  const ProfileColumns columns = to_columns(report);
  const Occupancy result = occupancy(columns, Query{}, {4, 5});
  ASSERT_EQ(result.rows.size(), 4U);
  std::size_t next = 0;
  for (const TileBin& row : result.rows) {
    EXPECT_EQ(row.first_tile, next);
    EXPECT_EQ(row.last_tile, next + row.tile_count - 1);
    next += row.tile_count;
  }
  EXPECT_EQ(next, 10U);
  EXPECT_EQ(result.rows[0].lowest_physical_tile, 100U - 1 * 3);
  EXPECT_EQ(result.rows[0].highest_physical_tile, 100U);
  // A tile filter draws its tiles alone: three kept tiles, three rows.
  Query some;
  some.tiles = {100, 88, 73};  // report positions 0, 4 and 9
  const Occupancy kept = occupancy(columns, some, {8, 5});
  ASSERT_EQ(kept.rows.size(), 3U);
  EXPECT_EQ(kept.rows[1].first_tile, 4U);
  EXPECT_EQ(kept.rows[1].lowest_physical_tile, 88U);
  const Occupancy two_rows = occupancy(columns, some, {2, 5});
  EXPECT_EQ(two_rows.rows[1].first_tile, 4U);
  EXPECT_EQ(two_rows.rows[1].last_tile, 9U);
  EXPECT_EQ(two_rows.rows[1].tile_count, 2U);
  // More rows wanted than tiles: one per tile. A span of 3 cycles: at most
  // 3 columns, each a cycle wide.
  const ProfileColumns short_profile =
      to_columns(ProfileReport{1000, {TileProfile{0, {testing::timed(0, 3)}}}});
  const Occupancy small = occupancy(short_profile, Query{}, {8, 100});
  EXPECT_EQ(small.rows.size(), 1U);
  EXPECT_EQ(small.time_edges, (std::vector<std::uint64_t>{0, 1, 2, 3}));
  EXPECT_EQ(small.at(0, 1, StepKind::Compute), 1U);
}

}  // namespace
}  // namespace zyl_profile
