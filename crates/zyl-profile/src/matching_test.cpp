// Tests of the per-sample operations: durations, kinds and every filter.
#include <gtest/gtest.h>

#include <limits>

#include "test_support.h"
#include "zyl_profile/query.h"

namespace zyl_profile {
namespace {

using testing::make_sample;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(Duration, CountsAcrossTheCounterWrapAndAllowsZero) {
  EXPECT_EQ(duration(make_sample(ProfileStepKind::Compute, 4294967291U, 5)),
            10U);
  EXPECT_EQ(duration(make_sample(ProfileStepKind::Compute, 5, 15)), 10U);
  EXPECT_EQ(duration(make_sample(ProfileStepKind::Compute, 7, 7)), 0U);
}

TEST(KindName, MapsEveryKindToItsDisplayName) {
  EXPECT_EQ(kind_name(make_sample(ProfileStepKind::Exchange, 0, 1)),
            "exchange");
  EXPECT_EQ(kind_name(make_sample(ProfileStepKind::Compute, 0, 1)), "compute");
  EXPECT_EQ(kind_name(make_sample(ProfileStepKind::Synchronization, 0, 1)),
            "synchronization");
  EXPECT_EQ(kind_name(make_sample(ProfileStepKind::Idle, 0, 1)), "idle");
  EXPECT_EQ(kind_of(make_sample(ProfileStepKind::Synchronization, 0, 1)),
            StepKind::Synchronization);
}

TEST(MatchesQuery, AtOffsetKeepsOnlySamplesRunningAtThatPoint) {
  const CycleSample sample = make_sample(ProfileStepKind::Compute, 0, 10);
  Query query;
  for (const auto& [point, expected] :
       {std::pair{9, false}, {10, true}, {19, true}, {20, false}}) {
    query.at_offset = point;
    EXPECT_EQ(matches_query(query, 0, sample, 10, 10), expected) << point;
  }
  // A zero-length sample covers no point, but matches without one.
  query.at_offset = 10;
  EXPECT_FALSE(matches_query(query, 0, sample, 10, 0));
  EXPECT_TRUE(matches_query(Query{}, 0, sample, 10, 0));
}

TEST(MatchesQuery, AtOffsetWindowEndSaturates) {
  const CycleSample sample = make_sample(ProfileStepKind::Compute, 0, 10);
  Query query;
  query.at_offset = kMax - 1;
  EXPECT_TRUE(matches_query(query, 0, sample, kMax - 5, 10));
  query.at_offset = kMax;
  EXPECT_FALSE(matches_query(query, 0, sample, kMax - 5, 10));
}

TEST(MatchesQuery, KindKernelAndOperationCompareExactly) {
  const CycleSample add = make_sample(ProfileStepKind::Synchronization, 0, 1,
                                      "Add", 0, 0, {}, "matmul forward");
  const CycleSample empty = make_sample(ProfileStepKind::Compute, 0, 1, "");
  Query query;
  query.kind = StepKind::Synchronization;
  EXPECT_TRUE(matches_query(query, 0, add, 0, 1));
  EXPECT_FALSE(matches_query(query, 0, empty, 0, 1));

  query = Query{};
  query.kernel = "add";
  EXPECT_FALSE(matches_query(query, 0, add, 0, 1)) << "case matters";
  query.kernel = "";
  EXPECT_TRUE(matches_query(query, 0, empty, 0, 1));
  EXPECT_FALSE(matches_query(query, 0, add, 0, 1));
  query.kernel = std::string(kNoKernelName);
  EXPECT_FALSE(matches_query(query, 0, empty, 0, 1));

  query = Query{};
  query.operation_contains = "";
  EXPECT_TRUE(matches_query(query, 0, add, 0, 1));
  query.operation_contains = "forward";
  EXPECT_TRUE(matches_query(query, 0, add, 0, 1));
  query.operation_contains = "Forward";
  EXPECT_FALSE(matches_query(query, 0, add, 0, 1));
}

TEST(MatchesQuery, TilesAndPhasesAreSetsAndEmptyKeepsAll) {
  const CycleSample sample =
      make_sample(ProfileStepKind::Compute, 0, 1, "k", /*phase=*/3,
                  /*epoch=*/9);
  Query query;
  EXPECT_TRUE(matches_query(query, 9, sample, 0, 1));
  query.tiles = {9};
  EXPECT_TRUE(matches_query(query, 9, sample, 0, 1));
  EXPECT_FALSE(matches_query(query, 8, sample, 0, 1));
  query.tiles.clear();
  query.phases = {9};
  EXPECT_FALSE(matches_query(query, 9, sample, 0, 1)) << "epoch is not phase";
  query.phases = {3, 100000};
  EXPECT_TRUE(matches_query(query, 9, sample, 0, 1));
}

TEST(MatchesQuery, MetadataFiltersAreEachJudgedOnTheirOwn) {
  const auto with = [](std::vector<ProfileMetadata> metadata) {
    return make_sample(ProfileStepKind::Compute, 0, 1, "k", 0, 0,
                       std::move(metadata));
  };
  const auto filter = [](std::string name,
                         std::optional<std::string> value = std::nullopt) {
    return MetadataFilter{std::move(name), std::move(value)};
  };
  Query query;
  query.metadata = {filter("block")};
  EXPECT_TRUE(matches_query(query, 0, with({{"block", ""}}), 0, 1));
  query.metadata = {filter("block", "1")};
  EXPECT_FALSE(matches_query(query, 0, with({{"block", "01"}}), 0, 1));
  EXPECT_FALSE(matches_query(query, 0, with({{"block", "1 "}}), 0, 1));
  EXPECT_TRUE(
      matches_query(query, 0, with({{"block", "0"}, {"block", "1"}}), 0, 1));
  query.metadata = {filter("block", "0"), filter("block", "1")};
  EXPECT_TRUE(
      matches_query(query, 0, with({{"block", "0"}, {"block", "1"}}), 0, 1));
  EXPECT_FALSE(matches_query(query, 0, with({{"block", "1"}}), 0, 1));
  EXPECT_FALSE(matches_query(query, 0, with({}), 0, 1));
  query.metadata.clear();
  EXPECT_TRUE(matches_query(query, 0, with({}), 0, 1));
}

TEST(MatchesQuery, WindowKeepsSamplesThatMeetIt) {
  const CycleSample sample = make_sample(ProfileStepKind::Compute, 0, 10);
  Query query;
  query.from_offset = 20;
  EXPECT_FALSE(matches_query(query, 0, sample, 10, 10)) << "ends at 20";
  EXPECT_TRUE(matches_query(query, 0, sample, 10, 11));
  query.from_offset.reset();
  query.to_offset = 10;
  EXPECT_FALSE(matches_query(query, 0, sample, 10, 10)) << "starts at 10";
  EXPECT_TRUE(matches_query(query, 0, sample, 9, 10));
  // An instant is kept when it lies in the window.
  query.from_offset = 5;
  EXPECT_TRUE(matches_query(query, 0, sample, 5, 0));
  EXPECT_FALSE(matches_query(query, 0, sample, 10, 0));
  EXPECT_FALSE(matches_query(query, 0, sample, 4, 0));
}

// A window whose end is not after its start keeps what the two tests keep
// together: samples that start before `to` and still run at `from`; an
// instant is never running, so only a window can hold it.
TEST(MatchesQuery, AWindowThatEndsBeforeItStartsKeepsWhatRunsAcrossIt) {
  const CycleSample sample = make_sample(ProfileStepKind::Compute, 0, 10);
  Query query;
  query.from_offset = 30;
  query.to_offset = 20;
  EXPECT_TRUE(matches_query(query, 0, sample, 15, 20)) << "15..35 spans both";
  EXPECT_FALSE(matches_query(query, 0, sample, 15, 10)) << "ends at 25";
  EXPECT_FALSE(matches_query(query, 0, sample, 20, 20)) << "starts at 20";
  EXPECT_FALSE(matches_query(query, 0, sample, 25, 0)) << "an instant";
  query.from_offset = 20;  // an empty window [20, 20)
  EXPECT_TRUE(matches_query(query, 0, sample, 19, 2));
  EXPECT_FALSE(matches_query(query, 0, sample, 20, 0));
  query.from_offset.reset();
  query.to_offset.reset();
  query.at_offset = 25;
  EXPECT_FALSE(matches_query(query, 0, sample, 25, 0))
      << "nothing runs at an instant";
}

}  // namespace
}  // namespace zyl_profile
