// Tests of the whole query: timelines, totals, the sample listing and the
// parallel query's equality with the sequential one.
#include "zyl_profile/query.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "test_support.h"

namespace zyl_profile {
namespace {

using testing::make_report;
using testing::make_sample;
using testing::make_tile;
using testing::timed;

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

}  // namespace
}  // namespace zyl_profile
