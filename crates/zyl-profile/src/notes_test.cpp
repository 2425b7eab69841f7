// Tests of the notes on a query's answer: the exact sentence for each way a
// question can match nothing or ask for something without effect, and
// silence for questions that matched.
#include "zyl_profile/notes.h"

#include <gtest/gtest.h>

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

// Tiles 0-3 and 5 hold the same three samples, tile 4 none: a compute
// matmul_0 in phase 0, an exchange softmax in phase 1 and, after a gap, a
// compute softmax in phase 2. The span is 40 cycles.
ProfileColumns fixture() {
  std::vector<TileProfile> tiles;
  for (const std::uint32_t tile : {0U, 1U, 2U, 3U, 4U, 5U}) {
    std::vector<CycleSample> samples;
    if (tile != 4) {
      samples = {
          make_sample(ProfileStepKind::Compute, 100, 110, "matmul_0", 0, 0,
                      {{"block", "1"}}, "conv2d_fwd"),
          make_sample(ProfileStepKind::Exchange, 110, 120, "softmax", 1, 0, {},
                      "add"),
          make_sample(ProfileStepKind::Compute, 130, 140, "softmax", 2, 0,
                      {{"layer", "x"}}, "add"),
      };
    }
    tiles.push_back(make_tile(tile, std::move(samples)));
  }
  return zyl_package::to_columns(make_report(std::move(tiles)));
}

std::vector<std::string> notes_for(const ProfileColumns& columns,
                                   const Query& q) {
  return explain_query(columns, q, query(columns, q));
}

TEST(ExplainQuery, MatchingQueriesGiveNoNotes) {
  const ProfileColumns columns = fixture();
  Query by_metadata;
  by_metadata.group_by = GroupBy::Metadata;
  by_metadata.metadata_key = "block";
  Query filtered;
  filtered.kernel = "softmax";
  filtered.kind = StepKind::Exchange;
  filtered.tiles = {0, 5};
  filtered.phases = {1};
  filtered.from_offset = 10;
  filtered.to_offset = 20;
  filtered.operation_contains = "ad";
  Query with_metadata;
  with_metadata.metadata = {{"layer", "x"}, {"layer", std::nullopt}};
  with_metadata.at_offset = 35;
  for (const Query& q : {Query{}, by_metadata, filtered, with_metadata}) {
    EXPECT_EQ(notes_for(columns, q), std::vector<std::string>{});
  }
}

TEST(ExplainQuery, SaysWhyNothingMatchedOrWhatHadNoEffect) {
  struct Row {
    std::string name;
    Query query;
    std::vector<std::string> notes;
  };
  const auto with = [](auto set) {
    Query q;
    set(q);
    return q;
  };
  const std::string huge(1000, 'x');
  const std::vector<Row> rows = {
      {"absent tile",
       with([](Query& q) { q.tiles = {4}; }),
       {"tile 4 has no samples; tiles with samples: 0-3, 5"}},
      {"absent tiles, some of them present",
       with([](Query& q) {
         q.tiles = {0, 4, 9, 10, 11};
       }),
       {"tiles 4, 9-11 have no samples; tiles with samples: 0-3, 5"}},
      {"window ending before it starts",
       with([](Query& q) {
         q.from_offset = 30;
         q.to_offset = 10;
       }),
       {"from offset 30 is not before to offset 10: only samples that start "
        "before 10 and still run at 30 match",
        "no sample runs at or after from offset 30 and starts before to "
        "offset 10"}},
      {"point past the end",
       with([](Query& q) { q.at_offset = 40; }),
       {"at offset 40 is past the end of every tile's timeline (span 40 "
        "cycles)"}},
      {"window past the end",
       with([](Query& q) { q.from_offset = 41; }),
       {"from offset 41 is past the end of every tile's timeline (span 40 "
        "cycles)"}},
      {"point in a gap",
       with([](Query& q) { q.at_offset = 25; }),
       {"no sample runs at offset 25"}},
      {"window before the start",
       with([](Query& q) { q.to_offset = 0; }),
       {"no sample starts before to offset 0"}},
      {"metadata key without grouping by metadata",
       with([](Query& q) { q.metadata_key = "block"; }),
       {"metadata key 'block' has no effect unless grouping by metadata"}},
      {"grouping by metadata without a key",
       with([](Query& q) { q.group_by = GroupBy::Metadata; }),
       {"grouping by metadata without a metadata key puts every sample in "
        "the '(missing)' group"}},
      {"grouping by a metadata key no sample has",
       with([](Query& q) {
         q.group_by = GroupBy::Metadata;
         q.metadata_key = "Block";
       }),
       {"no sample has metadata 'Block', so every sample is in the "
        "'(missing)' group; did you mean 'block'?"}},
      {"kernel in another case",
       with([](Query& q) { q.kernel = "Matmul_0"; }),
       {"no sample has kernel 'Matmul_0'; did you mean 'matmul_0'?"}},
      {"kernel one edit away",
       with([](Query& q) { q.kernel = "softmx"; }),
       {"no sample has kernel 'softmx'; did you mean 'softmax'?"}},
      {"kernel two edits away",
       with([](Query& q) { q.kernel = "sotfmax"; }),
       {"no sample has kernel 'sotfmax'; did you mean 'softmax'?"}},
      {"kernel near nothing",
       with([](Query& q) { q.kernel = "relu"; }),
       {"no sample has kernel 'relu'"}},
      // The name is in the dictionary, but as an operation.
      {"kernel named like an operation",
       with([](Query& q) { q.kernel = "conv2d_fwd"; }),
       {"no sample has kernel 'conv2d_fwd'"}},
      {"no kernel",
       with([](Query& q) { q.kernel = ""; }),
       {"every sample has a kernel, so kernel '' (no kernel) matches none"}},
      {"long kernel with a control character",
       with([&](Query& q) { q.kernel = "a\nb" + huge; }),
       {"no sample has kernel 'a\\nb" + std::string(196, 'x') +
        "...' (1003 bytes)"}},
      {"operation in another case",
       with([](Query& q) { q.operation_contains = "2D"; }),
       {"no operation contains '2D'; did you mean '2d'?"}},
      {"operation text only a kernel has",
       with([](Query& q) { q.operation_contains = "matmul"; }),
       {"no operation contains 'matmul'"}},
      {"kind without samples",
       with([](Query& q) { q.kind = StepKind::Idle; }),
       {"no sample has kind 'idle'; kinds with samples: exchange, compute"}},
      {"phases without samples",
       with([](Query& q) {
         q.phases = {7, 8};
       }),
       {"phases 7-8 have no samples; phases with samples: 0-2"}},
      {"metadata name misspelt",
       with([](Query& q) {
         q.metadata = {{"blok", std::nullopt}};
       }),
       {"no sample has metadata 'blok'; did you mean 'block'?"}},
      {"metadata value never given",
       with([](Query& q) {
         q.metadata = {{"block", "2"}};
       }),
       {"no sample has metadata 'block' with value '2'"}},
      {"filters that each match",
       with([](Query& q) {
         q.kernel = "matmul_0";
         q.kind = StepKind::Exchange;
       }),
       {"each filter matches samples, but none matches all of them"}},
      {"one absent tile among several filters",
       with([](Query& q) {
         q.tiles = {4};
         q.kernel = "matmul_0";
       }),
       {"tile 4 has no samples; tiles with samples: 0-3, 5"}},
  };
  const ProfileColumns columns = fixture();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(notes_for(columns, row.query), row.notes);
  }
}

TEST(ExplainQuery, AnEmptyProfileSaysSoOnce) {
  const ProfileColumns columns =
      zyl_package::to_columns(make_report({make_tile(3, {})}));
  Query q;
  q.kernel = "matmul_0";
  q.tiles = {3};
  EXPECT_EQ(notes_for(columns, q),
            std::vector<std::string>{"the profile has no samples"});
}

}  // namespace
}  // namespace zyl_profile
