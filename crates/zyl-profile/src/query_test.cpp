// Tests of the whole query: timelines, totals, the sample listing, the
// parallel query's equality with the sequential one, and the columnar query
// against the reference model on random reports and queries.
#include "zyl_profile/query.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "random_cases.h"
#include "reference_query.h"
#include "test_support.h"
#include "zyl_package/profile_columns.h"

namespace zyl_profile {
namespace {

using testing::make_report;
using testing::make_sample;
using testing::make_tile;
using testing::reference_query;
using testing::timed;
using testing::varied_query;
using testing::varied_report;

TEST(Query, EmptyReportStillEchoesClockAndPoint) {
  Query at;
  at.at_offset = 5;
  const QueryReport result = query(make_report({}, 77), at);
  EXPECT_EQ(result.clock_hz, 77U);
  EXPECT_EQ(result.at_offset, std::optional<std::uint64_t>(5));
  EXPECT_EQ(result.tile_count, 0U);
  EXPECT_EQ(result.sample_count, 0U);
  EXPECT_EQ(result.matched_sample_count, 0U);
  EXPECT_EQ(result.profile_span_cycles, 0U);
  EXPECT_EQ(result.profile_span_ms, 0.0);
  EXPECT_TRUE(result.groups.empty());
  EXPECT_TRUE(result.samples.empty());

  const QueryReport empty_tile = query(make_report({make_tile(4, {})}), at);
  EXPECT_EQ(empty_tile.tile_count, 1U);
  EXPECT_EQ(empty_tile.sample_count, 0U);
}

TEST(Query, NormalisesEachTileAcrossTheCounterWrap) {
  const ProfileReport report = make_report(
      {make_tile(9, {make_sample(ProfileStepKind::Exchange, 4294967291U, 5),
                     make_sample(ProfileStepKind::Compute, 5, 15)})},
      1500000000);
  Query at;
  at.at_offset = 12;
  at.sample_limit = 1;
  const QueryReport result = query(report, at);
  EXPECT_EQ(result.profile_span_cycles, 20U);
  EXPECT_EQ(result.profile_span_ms, 1.3333333333333333e-05);
  EXPECT_EQ(result.matched_sample_count, 1U);
  ASSERT_EQ(result.samples.size(), 1U);
  EXPECT_EQ(result.samples[0].offset, 10U);
  EXPECT_EQ(result.samples[0].duration, 10U);
  EXPECT_EQ(result.samples[0].physical_tile, 9U);
}

// A kind outside the enumeration can only come from a cast; it reads as
// exchange, as it always has, and must not index past any table.
TEST(Query, KindOutsideTheEnumerationReadsAsExchange) {
  const ProfileReport report = make_report(
      {make_tile(0, {make_sample(static_cast<ProfileStepKind>(4), 0, 10),
                     make_sample(ProfileStepKind::Compute, 10, 30)})});
  Query by_kind;
  by_kind.group_by = GroupBy::Kind;
  by_kind.sample_limit = 2;
  Query exchange = by_kind;
  exchange.kind = StepKind::Exchange;
  for (const Query& q : {by_kind, exchange}) {
    const QueryReport result = query(report, q);
    EXPECT_EQ(result, reference_query(report, q));
    EXPECT_EQ(result.groups.back().name, "exchange");
  }
}

// The longest member per (phase, epoch) is kept in a flat row sized from
// the first, middle and last tiles; pairs that only other tiles hold, and
// phase numbers too large for any row, must count exactly as well.
TEST(Query, PhaseMaximaCountPairsOutsideTheSampledTiles) {
  const auto tile = [](std::uint32_t number, std::uint32_t phase,
                       std::uint32_t epoch) {
    return make_tile(number, {timed(0, 10 + number, "a", 0, 0),
                              timed(20, 30 + number, "a", phase, epoch),
                              timed(60, 5, "b", phase, epoch),
                              timed(70, 7, "a", phase, epoch)});
  };
  const ProfileReport report =
      make_report({tile(0, 1, 0), tile(1, 9, 3), tile(2, 1, 1), tile(3, 1, 7),
                   tile(4, 4000000, 2), tile(5, 1, 0)});
  for (const GroupBy by : {GroupBy::Kernel, GroupBy::Tile, GroupBy::Kind}) {
    Query q;
    q.group_by = by;
    for (const unsigned threads : {1U, 2U, 3U}) {
      EXPECT_EQ(query(report, q, ParallelOptions{threads, 0}),
                reference_query(report, q))
          << static_cast<int>(by) << " on " << threads << " threads";
    }
  }
}

// Enough matches that the listing cuts its buffer several times and then
// turns candidates away against the worst one kept; many equal durations
// make every tie-break decide.
TEST(Query, ListingManyMatchesKeepsTheLongestInOrder) {
  std::vector<TileProfile> tiles;
  for (std::uint32_t t = 0; t < 4; ++t) {
    std::vector<CycleSample> samples;
    for (std::uint32_t i = 0; i < 6000; ++i) {
      samples.push_back(timed(i * 100, (i * 7919 + t) % 61, "k", i % 5));
    }
    tiles.push_back(make_tile(3 - t % 2, std::move(samples)));
  }
  const ProfileReport report = make_report(std::move(tiles));
  for (const std::size_t limit : {1U, 3U, 100U, 5000U}) {
    Query q;
    q.sample_limit = limit;
    for (const unsigned threads : {1U, 2U}) {
      EXPECT_EQ(query(report, q, ParallelOptions{threads, 0}),
                reference_query(report, q))
          << limit << " on " << threads << " threads";
    }
  }
}

// Large groups count their durations in a window instead of keeping them.
// Each kernel here pushes the window a different way: durations that creep
// upward (the window widens again and again), a core with rare values far
// below and above it, a core at the very top of the 32-bit range, and a
// core that moves between the halves of the profile, so that the windows
// of two parallel workers are too far apart to join. The percentiles must
// stay those of the sorted durations.
TEST(Query, CountedDurationsKeepPercentilesExactWhereverTheyFall) {
  std::vector<TileProfile> tiles;
  for (std::uint32_t t = 0; t < 4; ++t) {
    std::vector<CycleSample> samples;
    std::uint32_t cycle = 0;
    for (std::uint32_t i = 0; i < 12000; ++i) {
      const std::uint32_t n = i / 4;
      std::uint32_t length = 0;
      std::string kernel;
      switch (i % 4) {
        case 0:
          kernel = "creep";
          length = t * 3000 + n;
          break;
        case 1:
          kernel = "core";
          length = n % 97 == 0 ? n * 1000 : (n % 89 == 0 ? 3 : 500 + n % 20);
          break;
        case 2:
          kernel = "top";
          length = n % 301 == 300 ? 7 : 4294967295U - n % 40;
          break;
        default:
          kernel = "moving";
          length = (t < 2 ? 100 : 200000) + n % 50;
          break;
      }
      samples.push_back(timed(cycle, length, kernel, n % 3));
      cycle += length + 1;
    }
    tiles.push_back(make_tile(t, std::move(samples)));
  }
  const ProfileReport report = make_report(std::move(tiles));
  for (const GroupBy by : {GroupBy::Kernel, GroupBy::Tile}) {
    Query q;
    q.group_by = by;
    for (const unsigned threads : {1U, 2U, 3U}) {
      EXPECT_EQ(query(report, q, ParallelOptions{threads, 0}),
                reference_query(report, q))
          << static_cast<int>(by) << " on " << threads << " threads";
    }
  }
}

// Long tiles are scanned in blocks, each checked against the phase row on
// its own. Tile 4 is one the row's bounds are not read from, and a pair
// outside the row sits in one of its middle blocks only: the blocks before
// and after it use the row alone, that one the hash table too.
TEST(Query, OneBlockOfALongTileReachesPastThePhaseRow) {
  std::vector<TileProfile> tiles;
  for (std::uint32_t t = 0; t < 10; ++t) {
    std::vector<CycleSample> samples;
    const std::uint32_t count = t == 4 ? 30000 : 100;
    for (std::uint32_t i = 0; i < count; ++i) {
      const bool outside = t == 4 && i == 15000;
      samples.push_back(timed(i * 10, 1 + (i * 7 + t) % 9,
                              i % 2 == 0 ? "a" : "b", outside ? 99 : i % 4,
                              outside ? 7 : 0));
    }
    tiles.push_back(make_tile(t, std::move(samples)));
  }
  const ProfileReport report = make_report(std::move(tiles));
  for (const GroupBy by : {GroupBy::Kernel, GroupBy::Tile}) {
    Query q;
    q.group_by = by;
    for (const unsigned threads : {1U, 2U}) {
      EXPECT_EQ(query(report, q, ParallelOptions{threads, 0}),
                reference_query(report, q))
          << static_cast<int>(by) << " on " << threads << " threads";
    }
  }
}

TEST(Query, OutOfOrderSampleGetsAnOffsetNearTheWrap) {
  const ProfileReport report =
      make_report({make_tile(0, {timed(100, 1), timed(90, 1)})}, 0);
  Query list;
  list.sample_limit = 2;
  list.kind = StepKind::Compute;
  const QueryReport result = query(report, list);
  ASSERT_EQ(result.samples.size(), 2U);
  EXPECT_EQ(result.samples[0].offset, 0U);
  EXPECT_EQ(result.samples[1].offset, 4294967286U);
  EXPECT_EQ(result.profile_span_cycles, 4294967287U);
  EXPECT_EQ(result.profile_span_ms, 0.0);
}

TEST(Query, UnmatchedSamplesStillCountAndStretchTheSpan) {
  const ProfileReport report = make_report(
      {make_tile(0, {timed(0, 10, "a")}), make_tile(1, {timed(0, 500, "b")})});
  Query only_a;
  only_a.kernel = "a";
  QueryReport result = query(report, only_a);
  EXPECT_EQ(result.sample_count, 2U);
  EXPECT_EQ(result.matched_sample_count, 1U);
  EXPECT_EQ(result.profile_span_cycles, 500U);
  Query only_tile_0;
  only_tile_0.tiles = {0};
  result = query(report, only_tile_0);
  EXPECT_EQ(result.matched_sample_count, 1U);
  EXPECT_EQ(result.profile_span_cycles, 500U) << "skipped tiles still count";
}

TEST(Query, WorkPercentIsOfEveryMatchedGroupEvenPastTheLimit) {
  const ProfileReport report =
      make_report({make_tile(0, {timed(0, 10, "a"), timed(10, 30, "b")}),
                   make_tile(1, {timed(0, 60, "b"), timed(60, 100, "c")})});
  Query top;
  top.limit = 1;
  top.kernel = "b";  // only b's work counts: 90 of 90
  QueryReport result = query(report, top);
  ASSERT_EQ(result.groups.size(), 1U);
  EXPECT_EQ(result.groups[0].work_percent, 100.0);
  EXPECT_EQ(result.matched_work_cycles, 90U);

  top.kernel.reset();  // c (100) first, of 200 matched cycles
  result = query(report, top);
  ASSERT_EQ(result.groups.size(), 1U);
  EXPECT_EQ(result.groups[0].name, "c");
  EXPECT_EQ(result.groups[0].work_percent, 50.0);
  EXPECT_EQ(result.matched_work_cycles, 200U);

  // Samples that take no cycle leave nothing to share out.
  const QueryReport instant =
      query(make_report({make_tile(0, {timed(5, 0, "a")})}), Query{});
  ASSERT_EQ(instant.groups.size(), 1U);
  EXPECT_EQ(instant.groups[0].work_percent, 0.0);
}

TEST(Query, ListsLongestFirstThenTileThenOffsetThenReportOrder) {
  const ProfileReport report =
      make_report({make_tile(7, {timed(0, 50, "a")}),
                   make_tile(3, {timed(0, 10, "first"), timed(40, 50, "b"),
                                 timed(10, 50, "c")}),
                   make_tile(1, {timed(0, 20, "d")}),
                   make_tile(3, {timed(5, 10, "e"), timed(15, 50, "f")})});
  Query list;
  list.sample_limit = 100;
  const QueryReport result = query(report, list);
  std::vector<std::string> kernels;
  for (const SampleRecord& sample : result.samples) {
    kernels.push_back(sample.kernel);
  }
  // c and f tie on duration, tile and offset: c comes first in report order.
  EXPECT_EQ(kernels,
            (std::vector<std::string>{"c", "f", "b", "a", "d", "first", "e"}));
  list.sample_limit = 3;
  const QueryReport three = query(report, list);
  ASSERT_EQ(three.samples.size(), 3U);
  EXPECT_EQ(three.samples[2].kernel, "b");
  EXPECT_TRUE(query(report, Query{}).samples.empty());
}

TEST(Query, ListedSampleCopiesEveryMetadataEntryInOrder) {
  const std::vector<ProfileMetadata> metadata{
      {"b", "2"}, {"a", "1"}, {"a", "3"}};
  const ProfileReport report = make_report({make_tile(
      5, {make_sample(ProfileStepKind::Idle, 0, 4, "k", 2, 3, metadata)})});
  Query list;
  list.sample_limit = std::numeric_limits<std::size_t>::max();
  list.metadata = {{"a", "3"}};
  const QueryReport result = query(report, list);
  ASSERT_EQ(result.samples.size(), 1U);
  const SampleRecord expected{
      5, 0, 4, 2, 3, "idle", "op", "k", {{"b", "2"}, {"a", "1"}, {"a", "3"}}};
  EXPECT_EQ(result.samples[0], expected);
}

TEST(Query, ResultOutlivesTheReport) {
  QueryReport result;
  {
    const ProfileReport report =
        make_report({make_tile(0, {timed(0, 3, "kernel name")})});
    Query list;
    list.sample_limit = 1;
    result = query(report, list);
  }
  EXPECT_EQ(result.groups.at(0).name, "kernel name");
  EXPECT_EQ(result.samples.at(0).kernel, "kernel name");
}

// A random report with repeated physical tiles, wraps, ties and empty tiles.
ProfileReport random_report(std::mt19937& rng) {
  std::uniform_int_distribution<std::uint32_t> small(0, 5);
  ProfileReport report{1234567, {}};
  const std::uint32_t tiles = 1 + rng() % 12;
  for (std::uint32_t t = 0; t < tiles; ++t) {
    TileProfile tile{small(rng), {}};
    std::uint32_t cycle = 4294967000U + rng() % 600;
    const std::uint32_t count = rng() % 40;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t length = small(rng) * 3;
      CycleSample sample = make_sample(
          static_cast<ProfileStepKind>(small(rng) % 4), cycle, cycle + length,
          std::string(1, static_cast<char>('a' + small(rng))), small(rng),
          small(rng) % 2, {{"block", std::to_string(small(rng))}});
      tile.samples.push_back(std::move(sample));
      cycle += small(rng) * 2;
    }
    report.tiles.push_back(std::move(tile));
  }
  return report;
}

TEST(ParallelQuery, EqualsTheSequentialQueryBitForBit) {
  std::mt19937 rng(42);
  for (int round = 0; round < 300; ++round) {
    const ProfileReport report = random_report(rng);
    Query q;
    q.group_by = static_cast<GroupBy>(round % 6);
    q.sort_by = static_cast<SortBy>(round % 5);
    q.metadata_key = "block";
    q.sample_limit = round % 3 == 0 ? 0 : rng() % 30;
    if (round % 4 == 1) q.kind = StepKind::Compute;
    if (round % 5 == 2) q.at_offset = rng() % 40;
    if (round % 7 == 3) q.limit = rng() % 4;
    for (const unsigned threads : {2U, 3U, 8U}) {
      // Tiny reports: ask for threads however few the samples.
      ASSERT_EQ(query(report, q, ParallelOptions{threads, 0}), query(report, q))
          << "round " << round << " threads " << threads;
    }
  }
}

TEST(ParallelQuery, ThreadsUsedAreCappedByTilesAndSamples) {
  std::mt19937 rng(7);
  ProfileReport report = random_report(rng);
  while (report.tiles.size() < 3) report.tiles.push_back(TileProfile{9, {}});
  const ProfileColumns columns = to_columns(report);
  const unsigned tiles = static_cast<unsigned>(columns.tiles.size());
  EXPECT_EQ(query_threads(columns, ParallelOptions{2, 0}), 2U);
  EXPECT_EQ(query_threads(columns, ParallelOptions{tiles + 5, 0}), tiles);
  // Fewer samples than one thread's minimum: the caller's thread alone.
  EXPECT_EQ(query_threads(columns, ParallelOptions{8, 1U << 30}), 1U);
}

// Returns the same profile with every string and every metadata list stored
// twice, each sample and each list entry pointing at either copy at random:
// readers are not obliged to deduplicate, so equal text under two ids must
// group, filter and list as one.
ProfileColumns with_duplicated_dictionaries(const ProfileColumns& columns,
                                            std::mt19937& rng) {
  zyl_package::ColumnBuffers b;
  b.tiles.assign(columns.tiles.begin(), columns.tiles.end());
  b.start_cycle.assign(columns.start_cycle.begin(), columns.start_cycle.end());
  b.end_cycle.assign(columns.end_cycle.begin(), columns.end_cycle.end());
  b.local_index.assign(columns.local_index.begin(), columns.local_index.end());
  b.phase.assign(columns.phase.begin(), columns.phase.end());
  b.epoch.assign(columns.epoch.begin(), columns.epoch.end());
  b.kind.assign(columns.kind.begin(), columns.kind.end());
  const auto strings = static_cast<std::uint32_t>(columns.string_count());
  const auto lists = static_cast<std::uint32_t>(columns.list_count());
  // Copy k + n holds the same as k; the copies follow the originals.
  const auto string_id = [&](std::uint32_t id) {
    return rng() % 2 == 0 ? id : id + strings;
  };
  for (int copy = 0; copy < 2; ++copy) {
    for (std::uint32_t id = 0; id < strings; ++id) {
      b.string_bytes += columns.string(id);
      b.string_offsets.push_back(b.string_bytes.size());
    }
  }
  for (int copy = 0; copy < 2; ++copy) {
    for (std::uint32_t id = 0; id < lists; ++id) {
      for (const zyl_package::MetadataPair& entry : columns.list(id)) {
        b.list_entries.push_back(
            {string_id(entry.name), string_id(entry.value)});
      }
      b.list_offsets.push_back(b.list_entries.size());
    }
  }
  for (std::size_t i = 0; i < columns.sample_count(); ++i) {
    b.kernel.push_back(string_id(columns.kernel[i]));
    b.operation.push_back(string_id(columns.operation[i]));
    b.metadata.push_back(rng() % 2 == 0 ? columns.metadata[i]
                                        : columns.metadata[i] + lists);
  }
  return zyl_package::columns_from(columns.clock_hz, std::move(b));
}

TEST(QueryOverColumns, EqualsTheReferenceModelOnRandomReportsAndQueries) {
  std::mt19937 rng(7);
  for (int round = 0; round < 1500; ++round) {
    const ProfileReport report = varied_report(rng);
    const ProfileColumns columns = zyl_package::to_columns(report);
    const ProfileColumns duplicated =
        with_duplicated_dictionaries(columns, rng);
    const auto fault = zyl_package::check_columns(duplicated);
    ASSERT_TRUE(fault.ok()) << fault.error().to_string();
    for (int i = 0; i < 4; ++i) {
      const Query q = varied_query(rng);
      SCOPED_TRACE("round " + std::to_string(round) + " query " +
                   std::to_string(i));
      const QueryReport expected = reference_query(report, q);
      // ASSERT_TRUE, not ASSERT_EQ: a whole QueryReport printed as bytes
      // would bury the trace.
      ASSERT_TRUE(query(columns, q) == expected);
      ASSERT_TRUE(query(report, q) == expected);
      // A minimum of 0 samples per thread splits even tiny profiles, so the
      // merge of partial results runs rather than the sequential fallback.
      ASSERT_TRUE(query(columns, q, ParallelOptions{2, 0}) == expected);
      ASSERT_TRUE(query(columns, q, ParallelOptions{3, 0}) == expected);
      ASSERT_TRUE(query(duplicated, q) == expected) << "duplicated ids";
      ASSERT_TRUE(query(duplicated, q, ParallelOptions{2, 0}) == expected)
          << "duplicated ids";
    }
  }
}

}  // namespace
}  // namespace zyl_profile
