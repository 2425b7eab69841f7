// Tests of the columnar form: exact round trips with the records, and
// check_columns naming the first fault of hand-broken columns.
#include "zyl_package/profile_columns.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "package_bytes_test_support.h"
#include "zyl_package/generate.h"

namespace zyl_package {
namespace {

TEST(ProfileColumns, RoundTripsRecordsExactly) {
  GenerateOptions many_empty = options_for_total(3000, 400);
  many_empty.kernels = 0;  // every kernel the empty string
  ProfileReport repeated;
  repeated.clock_hz = 7;
  repeated.tiles.push_back(TileProfile{3, {}});
  CycleSample sample;
  sample.start_cycle = 4294967000U;  // wraps before it ends
  sample.end_cycle = 12;
  sample.step.kind = ProfileStepKind::Idle;
  sample.step.metadata = {{"block", "1"}, {"block", "1"}, {"block", "2"}};
  repeated.tiles.push_back(TileProfile{9, {sample, sample}});
  repeated.tiles.push_back(TileProfile{9, {}});
  const std::vector<ProfileReport> reports = {
      ProfileReport{}, generate_report(options_for_total(20000, 64)),
      generate_report(many_empty), repeated};
  for (const ProfileReport& report : reports) {
    const ProfileColumns columns = to_columns(report);
    const Loaded<void> checked = check_columns(columns);
    ASSERT_TRUE(checked.ok()) << checked.error().to_string();
    EXPECT_EQ(columns.tiles.size(), report.tiles.size());
    EXPECT_TRUE(to_report(columns) == report);
  }
  // Repeated names within a list stay; equal lists are stored once.
  const ProfileColumns columns = to_columns(repeated);
  EXPECT_EQ(columns.list_count(), 1U);
  EXPECT_EQ(columns.list(columns.metadata[1]).size(), 3U);
}

// A kind outside the enumeration (only a cast makes one) reads as exchange
// everywhere, so the columns store it as such and stay valid.
TEST(ProfileColumns, StoresAKindOutsideTheEnumerationAsExchange) {
  ProfileReport report;
  CycleSample odd;
  odd.step.kind = static_cast<ProfileStepKind>(7);
  CycleSample idle;
  idle.step.kind = ProfileStepKind::Idle;
  report.tiles.push_back(TileProfile{0, {odd, idle}});
  const ProfileColumns columns = to_columns(report);
  EXPECT_TRUE(check_columns(columns).ok());
  ASSERT_EQ(columns.kind.size(), 2U);
  EXPECT_EQ(columns.kind[0], 0);
  EXPECT_EQ(columns.kind[1], 3);
}

TEST(CheckColumns, NamesTheFirstFault) {
  struct Row {
    const char* expected;  // "" for valid columns
    std::function<void(ColumnBuffers&)> damage;
    std::size_t max_string_bytes = 1000;
  };
  const std::vector<Row> rows = {
      {"", [](ColumnBuffers&) {}},
      {"column kind holds 2 elements, start_cycle holds 3",
       [](ColumnBuffers& b) { b.kind.pop_back(); }},
      {"column metadata holds 4 elements",
       [](ColumnBuffers& b) { b.metadata.push_back(0); }},
      {"the string offsets are empty",
       [](ColumnBuffers& b) { b.string_offsets.clear(); }},
      {"the metadata list offsets are empty",
       [](ColumnBuffers& b) { b.list_offsets.clear(); }},
      {"the first string offset is 1, not 0",
       [](ColumnBuffers& b) { b.string_offsets[0] = 1; }},
      {"string 1 ends at offset 0, outside 1..5",
       [](ColumnBuffers& b) { b.string_offsets[2] = 0; }},
      {"string 2 ends at offset 6, outside 3..5",
       [](ColumnBuffers& b) { b.string_offsets[3] = 6; }},
      {"the string offsets end at 5 but the string bytes hold 6",
       [](ColumnBuffers& b) { b.string_bytes += 'x'; }},
      {"string 2 is not valid UTF-8",
       [](ColumnBuffers& b) { b.string_bytes[4] = 'x'; }},
      {"string 1 is not valid UTF-8",  // a sequence across two strings
       [](ColumnBuffers& b) {
         b.string_bytes = "a\xCF\x83";
         b.string_offsets = {0, 1, 2, 3};
       }},
      {"string 1 is 2 bytes, more than the 1-byte limit", [](ColumnBuffers&) {},
       1},
      {"the first metadata list offset is 1, not 0",
       [](ColumnBuffers& b) { b.list_offsets[0] = 1; }},
      {"metadata list 1 ends at entry 3, outside 0..2",
       [](ColumnBuffers& b) { b.list_offsets[2] = 3; }},
      {"the metadata lists cover 1 of 2 entries",
       [](ColumnBuffers& b) { b.list_offsets[2] = 1; }},
      {"metadata entry 1 names string 3 of 3",
       [](ColumnBuffers& b) { b.list_entries[1].value = 3; }},
      {"tiles[1]: reserved tile field is not zero",
       [](ColumnBuffers& b) { b.tiles[1].reserved = 1; }},
      {"tiles[2]: starts at sample 2, leaving samples 1..2 to no tile",
       [](ColumnBuffers& b) { b.tiles[2].first_sample = 2; }},
      {"tiles[1]: samples 0.. overlap the previous tile",
       [](ColumnBuffers& b) { b.tiles[1].first_sample = 0; }},
      {"tiles[2]: samples 1 + 3 run past the end (3 samples)",
       [](ColumnBuffers& b) { b.tiles[2].sample_count = 3; }},
      {"the tiles hold 2 samples, the sample columns hold 3",
       [](ColumnBuffers& b) { b.tiles[2].sample_count = 1; }},
      // Sample 1 is the first of tile 2: the empty tile 1 starts there too.
      {"tiles[2].samples[0].step.kind: kind 4 is not one of",
       [](ColumnBuffers& b) { b.kind[1] = 4; }},
      {"tiles[0].samples[0].step.kernel: string id 3 out of range of 3",
       [](ColumnBuffers& b) { b.kernel[0] = 3; }},
      {"tiles[2].samples[1].step.operation: string id 4294967295 out of range",
       [](ColumnBuffers& b) { b.operation[2] = 4294967295U; }},
      {"tiles[2].samples[1].step.metadata: metadata list id 2 out of range of "
       "2",
       [](ColumnBuffers& b) { b.metadata[2] = 2; }},
      // The earliest sample wins over a larger id later.
      {"tiles[2].samples[0].step.metadata: metadata list id 5",
       [](ColumnBuffers& b) {
         b.metadata[1] = 5;
         b.kernel[2] = 99;
       }},
      // Within one sample: kind, kernel, operation, then metadata.
      {"tiles[0].samples[0].step.kernel",
       [](ColumnBuffers& b) {
         b.kernel[0] = 9;
         b.metadata[0] = 9;
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    ColumnBuffers buffers = testing::small_buffers();
    row.damage(buffers);
    ReadLimits limits;
    limits.max_string_bytes = row.max_string_bytes;
    const Loaded<void> checked =
        check_columns(columns_from(0, std::move(buffers)), limits);
    if (std::string(row.expected).empty()) {
      EXPECT_TRUE(checked.ok()) << checked.error().to_string();
      continue;
    }
    ASSERT_FALSE(checked.ok());
    EXPECT_NE(checked.error().to_string().find(row.expected), std::string::npos)
        << checked.error().to_string();
  }
}

// Every sample column is held to the length of the first, and named when
// it differs; the first, when longer, shows as every other being short.
TEST(CheckColumns, NamesEverySampleColumnOfAnotherLength) {
  for_each_sample_column([](const auto& column) {
    const std::string name(column.name);
    SCOPED_TRACE(name);
    ColumnBuffers buffers = testing::small_buffers();
    (buffers.*column.buffer).push_back(0);
    const Loaded<void> checked =
        check_columns(columns_from(0, std::move(buffers)));
    ASSERT_FALSE(checked.ok());
    const std::string expected =
        name == "start_cycle"
            ? "column end_cycle holds 3 elements, start_cycle holds 4"
            : "column " + name + " holds 4 elements, start_cycle holds 3";
    EXPECT_EQ(checked.error().message, expected);
  });
}

}  // namespace
}  // namespace zyl_package
