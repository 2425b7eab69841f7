// Tests of the occupancy: every cell and its top kernels against the
// reference model on random profiles and queries, the edges of the binning
// and the ranking of a cell's kernels.
#include "zyl_profile/occupancy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "random_cases.h"
#include "reference_occupancy.h"

namespace zyl_profile {
namespace {

using testing::reference_occupancy;
using testing::timed;
using testing::varied_query;
using testing::varied_report;
using zyl_package::to_columns;

TEST(Occupancy, EqualsTheReferenceModelOnRandomProfiles) {
  std::mt19937 rng(17);
  for (int round = 0; round < 600; ++round) {
    const ProfileReport report = varied_report(rng);
    const ProfileColumns columns = to_columns(report);
    const Query asked = varied_query(rng);
    const std::uint64_t span = query(columns, Query{}).profile_span_cycles;
    // The model takes cycles; the occupancy resolves shares.
    const Query q = resolve_bounds(asked, span);
    // Kernels off, one, a few, or every one of them.
    constexpr std::array<std::size_t, 5> kTops = {
        0, 1, 2, 3, std::numeric_limits<std::size_t>::max()};
    const OccupancyOptions options{1 + rng() % 5, 1 + rng() % 40,
                                   kTops[rng() % kTops.size()]};
    SCOPED_TRACE("round " + std::to_string(round));
    const Occupancy result = occupancy(columns, asked, options);
    const Occupancy expected =
        reference_occupancy(report, q, result, options.top_kernels);
    ASSERT_EQ(result.cycles, expected.cycles);
    ASSERT_EQ(result.work_cycles, expected.work_cycles);
    ASSERT_TRUE(result.phase_starts == expected.phase_starts);
    ASSERT_EQ(result.kernel_names, expected.kernel_names);
    ASSERT_EQ(result.kernel_offsets, expected.kernel_offsets);
    ASSERT_TRUE(result.cell_kernels == expected.cell_kernels);
    ASSERT_EQ(result.other_kernel_cycles, expected.other_kernel_cycles);
    ASSERT_TRUE(result == expected);
    // Rows cut among threads differently, down to a row each.
    ASSERT_TRUE(occupancy(columns, q, options, ParallelOptions{2, 0}) ==
                result);
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

// A cell's kernels: cycles split at the column edges as the kinds are,
// most first and equal ones by name, the rest summed as other, and the
// empty kernel apart from a real kernel named as the query's placeholder.
TEST(Occupancy, RanksEachCellsKernelsByTheirCyclesInsideIt) {
  // Two columns of 10 cycles over [0, 20).
  const ProfileReport report{
      1000,
      {TileProfile{0,
                   {timed(0, 6, "b"), timed(6, 6, "a"), timed(12, 4, ""),
                    timed(16, 4, "(no kernel)")}},
       TileProfile{1, {timed(0, 4, "c"), timed(4, 16, "b")}}}};
  const ProfileColumns columns = to_columns(report);
  const auto listed = [](const Occupancy& map, std::size_t column) {
    const std::span<const CellKernel> cell = map.kernels_at(0, column);
    return std::vector<CellKernel>(cell.begin(), cell.end());
  };
  const Occupancy three = occupancy(columns, Query{}, {1, 2, 3});
  ASSERT_EQ(three.time_edges, (std::vector<std::uint64_t>{0, 10, 20}));
  ASSERT_EQ(three.kernel_names,
            (std::vector<std::string>{"", "(no kernel)", "a", "b", "c"}));
  // Column 0: b 6 + 6 (tile 1's split at 10), then a and c 4 each, by name.
  EXPECT_EQ(listed(three, 0),
            (std::vector<CellKernel>{{3, 12}, {2, 4}, {4, 4}}));
  // Column 1: b 10, "" and "(no kernel)" 4 each, two kernels; a's 2 left.
  EXPECT_EQ(listed(three, 1),
            (std::vector<CellKernel>{{3, 10}, {0, 4}, {1, 4}}));
  EXPECT_EQ(three.other_kernel_cycles, (std::vector<std::uint64_t>{0, 2}));
  EXPECT_EQ(three.kernel_offsets, (std::vector<std::size_t>{0, 3, 6}));
  // Two each: the table holds only the names listed.
  const Occupancy two = occupancy(columns, Query{}, {1, 2, 2});
  ASSERT_EQ(two.kernel_names, (std::vector<std::string>{"", "a", "b"}));
  EXPECT_EQ(listed(two, 0), (std::vector<CellKernel>{{2, 12}, {1, 4}}));
  EXPECT_EQ(listed(two, 1), (std::vector<CellKernel>{{2, 10}, {0, 4}}));
  EXPECT_EQ(two.other_kernel_cycles, (std::vector<std::uint64_t>{4, 6}));
  // A filter leaves its samples alone in the cells, kernels too; asking
  // for none leaves the lists empty.
  Query compute_b;
  compute_b.kernel = "b";
  const Occupancy only_b = occupancy(columns, compute_b, {1, 2, 5});
  EXPECT_EQ(only_b.kernel_names, (std::vector<std::string>{"b"}));
  EXPECT_EQ(only_b.other_kernel_cycles, (std::vector<std::uint64_t>{0, 0}));
  const Occupancy none = occupancy(columns, Query{}, {1, 2});
  EXPECT_TRUE(none.kernel_names.empty() && none.kernel_offsets.empty() &&
              none.other_kernel_cycles.empty());
  EXPECT_TRUE(none.kernels_at(0, 1).empty());
}

}  // namespace
}  // namespace zyl_profile
