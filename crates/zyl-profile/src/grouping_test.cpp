// Tests of group keys, summaries, percentiles and the group order.
#include "grouping.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"
#include "zyl_package/profile_columns.h"
#include "zyl_profile/query.h"

namespace zyl_profile {
namespace {

using testing::make_report;
using testing::make_sample;
using testing::make_tile;
using testing::timed;
using Dimensions = std::map<std::string, std::string>;

TEST(Percentile, UsesTheTruncatedRankWithoutInterpolation) {
  struct Row {
    std::size_t length, index50, index95;
  };
  for (const Row row : {Row{1, 0, 0},
                        {2, 0, 0},
                        {3, 1, 1},
                        {4, 1, 2},
                        {5, 2, 3},
                        {10, 4, 8},
                        {20, 9, 18},
                        {21, 10, 19},
                        {100, 49, 94}}) {
    std::vector<std::uint32_t> sorted(row.length);
    for (std::size_t i = 0; i < row.length; ++i) {
      sorted[i] = static_cast<std::uint32_t>(i);
    }
    EXPECT_EQ(percentile(sorted, 50), row.index50) << row.length;
    EXPECT_EQ(percentile(sorted, 95), row.index95) << row.length;
  }
  EXPECT_EQ(percentile({}, 50), 0U);
  const std::array<std::uint32_t, 4> four{10, 20, 30, 40};
  EXPECT_EQ(percentile(four, 50), 20U);
  EXPECT_EQ(percentile(four, 95), 30U);
}

TEST(CyclesToMs, MultipliesBeforeDividingAndGuardsAZeroClock) {
  EXPECT_EQ(cycles_to_ms(49, 3), 16333.333333333334);
  EXPECT_EQ(cycles_to_ms(20, 1500000000), 1.3333333333333333e-05);
  EXPECT_EQ(cycles_to_ms(123, 0), 0.0);
}

TEST(GroupKey, NamesAndDimensionsForEveryGrouping) {
  const CycleSample sample =
      make_sample(ProfileStepKind::Idle, 0, 1, "", /*phase=*/3, /*epoch=*/1,
                  {{"block", "7"}, {"block", "8"}, {"layer", ""}}, "op x");
  Query query;
  query.group_by = GroupBy::Kind;
  EXPECT_EQ(group_key(query, 7, sample), (GroupKey{"idle", {}}));
  query.group_by = GroupBy::Kernel;
  EXPECT_EQ(group_key(query, 7, sample), (GroupKey{"(no kernel)", {}}));
  query.group_by = GroupBy::Operation;
  EXPECT_EQ(group_key(query, 7, sample), (GroupKey{"op x", {}}));
  query.group_by = GroupBy::Phase;
  EXPECT_EQ(
      group_key(query, 7, sample),
      (GroupKey{"phase 3/1", Dimensions{{"epoch", "1"}, {"phase", "3"}}}));
  query.group_by = GroupBy::Tile;
  EXPECT_EQ(group_key(query, 7, sample),
            (GroupKey{"tile 7", Dimensions{{"physicalTile", "7"}}}));
  query.group_by = GroupBy::Metadata;
  query.metadata_key = "block";
  EXPECT_EQ(group_key(query, 7, sample),
            (GroupKey{"7", Dimensions{{"metadataKey", "block"},
                                      {"metadataValue", "7"}}}));
  query.metadata_key = "layer";
  EXPECT_EQ(group_key(query, 7, sample).name, "");
  query.metadata_key.reset();
  EXPECT_EQ(
      group_key(query, 7, sample),
      (GroupKey{"(missing)", Dimensions{{"metadataKey", ""},
                                        {"metadataValue", "(missing)"}}}));
}

TEST(GroupSummaries, ParallelSamplesCountOnceTowardPhaseCycles) {
  const ProfileReport report =
      make_report({make_tile(2, {timed(100, 20, "add")}),
                   make_tile(3, {timed(200, 30, "add")})});
  const QueryReport result = query(report, Query{});
  ASSERT_EQ(result.groups.size(), 1U);
  const GroupSummary& group = result.groups[0];
  EXPECT_EQ(group.name, "add");
  EXPECT_TRUE(group.dimensions.empty());
  EXPECT_EQ(group.sample_count, 2U);
  EXPECT_EQ(group.tile_count, 2U);
  EXPECT_EQ(group.phase_count, 1U);
  EXPECT_EQ(group.phase_cycles, 30U);
  EXPECT_EQ(group.work_cycles, 50U);
  EXPECT_EQ(group.average_active_tiles, 50.0 / 30.0);
  EXPECT_EQ(group.average_active_tiles, 1.6666666666666667);
  EXPECT_EQ(group.mean_cycles, 25.0);
  EXPECT_EQ(group.p50_cycles, 20U);
  EXPECT_EQ(group.p95_cycles, 20U);
  EXPECT_EQ(group.maximum_cycles, 30U);
  EXPECT_EQ(group.minimum_cycles, 20U);
  EXPECT_EQ(group.first_offset, 0U);
  EXPECT_EQ(group.last_offset, 30U);
  EXPECT_EQ(group.phase_ms, 3.0e-05);
}

TEST(GroupSummaries, EpochsSplitPhasePairsAndZeroLengthGroupsStayZero) {
  const ProfileReport report = make_report(
      {make_tile(1, {timed(0, 10, "a", 0, 0), timed(10, 20, "a", 0, 0),
                     timed(30, 5, "a", 0, 1), timed(35, 0, "z")})});
  const QueryReport result = query(report, Query{});
  ASSERT_EQ(result.groups.size(), 2U);
  const GroupSummary& a = result.groups[0];
  EXPECT_EQ(a.name, "a");
  EXPECT_EQ(a.phase_count, 2U);
  EXPECT_EQ(a.phase_cycles, 25U);
  EXPECT_EQ(a.work_cycles, 35U);
  EXPECT_EQ(a.tile_count, 1U);
  const GroupSummary& z = result.groups[1];
  EXPECT_EQ(z.name, "z");
  EXPECT_EQ(z.average_active_tiles, 0.0);
  EXPECT_EQ(z.mean_cycles, 0.0);
  EXPECT_EQ(z.phase_ms, 0.0);
  EXPECT_EQ(z.first_offset, 35U);

  Query by_phase;
  by_phase.group_by = GroupBy::Phase;
  const QueryReport phases = query(report, by_phase);
  ASSERT_EQ(phases.groups.size(), 2U);
  EXPECT_EQ(phases.groups[0].name, "phase 0/0");
  EXPECT_EQ(phases.groups[1].name, "phase 0/1");
}

// A group's durations are counted in a window, in a histogram of a narrow
// range, or kept and sorted when their range is wide, and an outlier leaves
// a window: every way must give what a sorted list gives.
TEST(GroupSummaries, PercentilesOfAnyGroupMatchASortedList) {
  struct Case {
    const char* what;
    std::uint32_t members;
    std::uint32_t (*length)(std::uint32_t i);
  };
  const Case cases[] = {
      {"small, selected", 1001,
       [](std::uint32_t i) { return (i * 7919U) % 1000U; }},
      {"large, narrow range", 40000,
       [](std::uint32_t i) { return 5 + (i * 7919U) % 60000U; }},
      {"large, wide range", 40000,
       [](std::uint32_t i) { return i * 2654435761U; }},
      {"large, one far outlier", 40000,
       [](std::uint32_t i) { return i == 777 ? 4294967295U : 100 + i % 7; }},
      {"large, all equal", 40000, [](std::uint32_t) { return 42U; }},
      {"large, ranks in one wide bin", 40000,
       [](std::uint32_t i) { return i < 30 ? i << 24 : 3000000000U + i % 3; }},
  };
  for (const Case& c : cases) {
    std::vector<CycleSample> samples;
    std::vector<std::uint32_t> sorted;
    std::uint32_t start = 0;
    for (std::uint32_t i = 0; i < c.members; ++i) {
      const std::uint32_t length = c.length(i);
      samples.push_back(timed(start, length, "k", i % 13));
      sorted.push_back(length);
      start += length;
    }
    std::sort(sorted.begin(), sorted.end());
    const QueryReport result =
        query(make_report({make_tile(0, std::move(samples))}), Query{});
    ASSERT_EQ(result.groups.size(), 1U) << c.what;
    const GroupSummary& group = result.groups[0];
    EXPECT_EQ(group.p50_cycles, percentile(sorted, 50)) << c.what;
    EXPECT_EQ(group.p95_cycles, percentile(sorted, 95)) << c.what;
    EXPECT_EQ(group.p99_cycles, percentile(sorted, 99)) << c.what;
    EXPECT_EQ(group.maximum_cycles, sorted.back()) << c.what;
    EXPECT_EQ(group.minimum_cycles, sorted.front()) << c.what;
  }
}

TEST(GroupSummaries, MetadataGroupingJoinsMissingAndTheLiteralText) {
  const auto with = [](std::vector<ProfileMetadata> metadata) {
    return make_sample(ProfileStepKind::Compute, 0, 1, "k", 0, 0,
                       std::move(metadata));
  };
  const ProfileReport report = make_report({make_tile(
      0, {with({}), with({{"block", "(missing)"}}), with({{"block", ""}}),
          with({{"block", "x"}, {"block", "y"}})})});
  Query query_by_block;
  query_by_block.group_by = GroupBy::Metadata;
  query_by_block.metadata_key = "block";
  query_by_block.sort_by = SortBy::Name;
  const QueryReport result = query(report, query_by_block);
  ASSERT_EQ(result.groups.size(), 3U);
  EXPECT_EQ(result.groups[0].name, "");
  EXPECT_EQ(result.groups[1].name, "(missing)");
  EXPECT_EQ(result.groups[1].sample_count, 2U);
  EXPECT_EQ(result.groups[2].name, "x");
}

TEST(GroupSummaries, NamesThatDifferInAnyOneByteStayApart) {
  // Names of every length up to 40, and variants differing only in their
  // first, middle or last byte, or only in length.
  std::vector<CycleSample> samples;
  std::set<std::string> names;
  for (std::size_t length = 0; length <= 40; ++length) {
    const std::string base(length, 'a');
    names.insert(base);
    for (std::size_t at : {std::size_t{0}, length / 2, length - 1}) {
      if (length == 0) break;
      std::string variant = base;
      variant[at] = 'b';
      names.insert(variant);
    }
  }
  for (const std::string& name : names) {
    samples.push_back(timed(0, 1, name));
    samples.push_back(timed(1, 1, name));
  }
  const QueryReport result =
      query(make_report({make_tile(0, std::move(samples))}), Query{});
  ASSERT_EQ(result.groups.size(), names.size());
  for (const GroupSummary& group : result.groups) {
    EXPECT_EQ(group.sample_count, 2U) << group.name;
  }
}

TEST(GroupOrder, TiesFallToFirstOffsetThenName) {
  // x has two phases; b, a and c tie on phase cycles, b starts first, and
  // a and c start together.
  const ProfileReport report =
      make_report({make_tile(0, {timed(0, 10, "b"), timed(10, 10, "c")}),
                   make_tile(1, {timed(0, 10, "x", 1), timed(10, 10, "a", 1)}),
                   make_tile(2, {timed(0, 10, "x", 2)})});
  const QueryReport result = query(report, Query{});
  std::vector<std::string> names;
  for (const GroupSummary& group : result.groups) names.push_back(group.name);
  EXPECT_EQ(names, (std::vector<std::string>{"x", "b", "a", "c"}));

  GroupSummary left;
  left.name = "tile 10";
  GroupSummary right;
  right.name = "tile 2";
  EXPECT_TRUE(compare_groups(SortBy::Name, left, right) < 0);
  right.work_cycles = 1;
  EXPECT_TRUE(compare_groups(SortBy::WorkCycles, left, right) > 0);
  EXPECT_TRUE(compare_groups(SortBy::PhaseCycles, left, right) < 0)
      << "work cycles must not break a phase-cycles tie";
}

TEST(GroupOrder, EverySortKeyPutsTheLargerFirst) {
  const ProfileReport report = make_report(
      {make_tile(0, {timed(0, 100, "long"), timed(100, 1, "many"),
                     timed(101, 1, "many"), timed(102, 1, "many")})});
  for (const auto& [sort_by, first] : {std::pair{SortBy::PhaseCycles, "long"},
                                       {SortBy::WorkCycles, "long"},
                                       {SortBy::MaximumCycles, "long"},
                                       {SortBy::Samples, "many"},
                                       {SortBy::Name, "long"}}) {
    Query by;
    by.sort_by = sort_by;
    EXPECT_EQ(query(report, by).groups.front().name, first);
  }
}

TEST(GroupOrder, LimitCutsGroupsOnly) {
  const ProfileReport report = make_report({make_tile(
      0, {timed(0, 10, "a"), timed(10, 20, "b"), timed(30, 5, "c")})});
  Query limited;
  limited.limit = 0;
  limited.sample_limit = 10;
  QueryReport result = query(report, limited);
  EXPECT_TRUE(result.groups.empty());
  EXPECT_EQ(result.matched_sample_count, 3U);
  EXPECT_EQ(result.samples.size(), 3U);
  limited.limit = 1;
  result = query(report, limited);
  ASSERT_EQ(result.groups.size(), 1U);
  EXPECT_EQ(result.groups[0].name, "b");
  EXPECT_EQ(result.samples.size(), 3U) << "cut groups still list samples";
  limited.limit = 99;
  EXPECT_EQ(query(report, limited).groups.size(), 3U);
}

// Phases walk along each tile, so a long tile holds its last phases far from
// its start. The row must still reach them: pairs outside it cost a hash
// lookup for every sample, which made the scan of long tiles superlinear.
TEST(PhaseLayout, RowReachesTheLastPhasesOfLongTiles) {
  std::vector<TileProfile> tiles;
  for (std::uint32_t number = 0; number < 3; ++number) {
    std::vector<CycleSample> samples;
    constexpr std::uint32_t kSamples = 60000;
    for (std::uint32_t i = 0; i < kSamples; ++i) {
      samples.push_back(timed(i * 2, 1, "a", i / 1000, i % 3));
    }
    tiles.push_back(make_tile(number, std::move(samples)));
  }
  const ProfileColumns columns = zyl_package::to_columns(make_report(tiles));
  const Query by_kernel;
  const detail::PhaseLayout layout(columns, by_kernel, 1);
  EXPECT_EQ(layout.phases, 60U);
  EXPECT_EQ(layout.epochs, 3U);
  for (const zyl_package::ColumnTile& tile : columns.tiles) {
    EXPECT_TRUE(layout.covers(columns, tile));
  }
}

}  // namespace
}  // namespace zyl_profile
