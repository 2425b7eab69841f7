// write_samples and SampleRowWriter: every matching sample in report order,
// one column set for CSV and JSON lines, strings kept exactly (empty ones
// quoted in CSV), metadata as the full list of pairs, exact offsets near the
// top of the u64 range, and a stream that flushes without losing a byte.
#include "export.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "trace.h"
#include "trace_check.h"

namespace zyl_profile::cli {
namespace {

ProfileReport small_report() {
  ProfileReport report;
  CycleSample first;
  first.start_cycle = 4294967290U;  // wraps before the second sample
  first.end_cycle = 4294967295U;
  first.step.kernel = "a,\"b\"";
  first.step.operation = "line\nbreak";
  first.step.kind = ProfileStepKind::Compute;
  first.step.phase = 3;
  first.step.epoch = 1;
  first.step.metadata = {
      {"block", "1"}, {"layer", "x\"y"}, {"block", "2"}, {"note", ""}};
  CycleSample second;  // every string empty, no metadata
  second.start_cycle = 4;
  second.end_cycle = 14;
  second.step.kind = ProfileStepKind::Idle;
  CycleSample third;
  third.start_cycle = 100;
  third.end_cycle = 130;
  third.step.kind = ProfileStepKind::Synchronization;
  third.step.kernel = "caf\xc3\xa9\x1b[2J";
  third.step.operation = "NULL";
  third.step.metadata = {{"a,b", "c\r\nd"}};
  report.tiles.push_back(TileProfile{9, {first, second}});
  report.tiles.push_back(TileProfile{2, {third}});
  return report;
}

std::string exported(const ProfileReport& report, ExportFormat format,
                     const Query& query = {}) {
  std::ostringstream out;
  write_samples(zyl_package::to_columns(report), query, format, out);
  return out.str();
}

TEST(WriteSamples, CsvKeepsEveryStringAndTheWholeMetadataList) {
  EXPECT_EQ(
      exported(small_report(), ExportFormat::Csv),
      "physical_tile,offset_cycles,duration_cycles,end_offset_cycles,phase,"
      "epoch,kind,operation,kernel,metadata\r\n"
      "9,0,5,5,3,1,compute,\"line\nbreak\",\"a,\"\"b\"\"\","
      "\"[{\"\"name\"\":\"\"block\"\",\"\"value\"\":\"\"1\"\"},"
      "{\"\"name\"\":\"\"layer\"\",\"\"value\"\":\"\"x\\\"\"y\"\"},"
      "{\"\"name\"\":\"\"block\"\",\"\"value\"\":\"\"2\"\"},"
      "{\"\"name\"\":\"\"note\"\",\"\"value\"\":\"\"\"\"}]\"\r\n"
      "9,10,10,20,0,0,idle,\"\",\"\",[]\r\n"
      "2,0,30,30,0,0,synchronization,NULL,caf\xc3\xa9\x1b[2J,"
      "\"[{\"\"name\"\":\"\"a,b\"\",\"\"value\"\":\"\"c\\r\\nd\"\"}]\"\r\n");
}

TEST(WriteSamples, JsonLinesUseTheCsvColumnNamesAsKeys) {
  EXPECT_EQ(exported(small_report(), ExportFormat::Jsonl),
            R"({"physical_tile":9,"offset_cycles":0,"duration_cycles":5,)"
            R"("end_offset_cycles":5,"phase":3,"epoch":1,"kind":"compute",)"
            R"("operation":"line\nbreak","kernel":"a,\"b\"",)"
            R"("metadata":[{"name":"block","value":"1"},)"
            R"({"name":"layer","value":"x\"y"},{"name":"block","value":"2"},)"
            R"({"name":"note","value":""}]})"
            "\n"
            R"({"physical_tile":9,"offset_cycles":10,"duration_cycles":10,)"
            R"("end_offset_cycles":20,"phase":0,"epoch":0,"kind":"idle",)"
            R"("operation":"","kernel":"","metadata":[]})"
            "\n"
            R"({"physical_tile":2,"offset_cycles":0,"duration_cycles":30,)"
            R"("end_offset_cycles":30,"phase":0,"epoch":0,)"
            R"("kind":"synchronization",)"
            R"("operation":"NULL","kernel":"café\u001b[2J",)"
            R"("metadata":[{"name":"a,b","value":"c\r\nd"}]})"
            "\n");
}

// The scan keeps offsets below 2^32, but the row spelling must not be what
// limits them: offsets and end offsets stay exact up to and past 2^64 - 1.
TEST(SampleRowWriter, OffsetsNearTheTopOfU64StayExact) {
  const ProfileColumns columns = zyl_package::to_columns(small_report());
  struct Row {
    ExportFormat format;
    PlacedSample placed;
    std::string_view expected;
  };
  const std::vector<Row> rows{
      {ExportFormat::Csv,
       {4294967295U, 1, 18446744073709551615ULL, 4294967295U},
       "4294967295,18446744073709551615,4294967295,18446744078004518910,0,0,"
       "idle,\"\",\"\",[]\r\n"},
      {ExportFormat::Csv,
       {0, 1, 18446744073709551610ULL, 5},
       "0,18446744073709551610,5,18446744073709551615,0,0,idle,\"\",\"\",[]"
       "\r\n"},
      {ExportFormat::Jsonl,
       {7, 1, 18446744073709551606ULL, 20},
       R"({"physical_tile":7,"offset_cycles":18446744073709551606,)"
       R"("duration_cycles":20,"end_offset_cycles":18446744073709551626,)"
       R"("phase":0,"epoch":0,"kind":"idle","operation":"","kernel":"",)"
       R"("metadata":[]})"
       "\n"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    std::string out;
    SampleRowWriter(columns, row.format, out).row(row.placed);
    EXPECT_EQ(out, row.expected);
  }
}

TEST(WriteSamples, HonoursEveryFilterAndTheWindowBounds) {
  struct Row {
    const char* label;
    Query query;
    std::size_t lines;  // JSON lines written
  };
  Query tile;
  tile.tiles = {2};
  Query kind;
  kind.kind = StepKind::Compute;
  // [0, 5) and [10, 20) on tile 9, [0, 30) on tile 2.
  Query from_at_end;
  from_at_end.from_offset = 20;  // [10, 20) ends there: out
  Query to_at_start;
  to_at_start.to_offset = 10;  // [10, 20) starts there: out
  Query inside;
  inside.from_offset = 19;
  inside.to_offset = 20;
  const std::vector<Row> rows{
      {"all", {}, 3},
      {"tile", tile, 1},
      {"kind", kind, 1},
      {"from leaves out a sample ending there", from_at_end, 1},
      {"to is exclusive", to_at_start, 2},
      {"last cycle", inside, 2}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const std::string text =
        exported(small_report(), ExportFormat::Jsonl, row.query);
    EXPECT_EQ(
        static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')),
        row.lines);
  }
}

// Past the flush size the stream must hold exactly the rows a single buffer
// would: none lost or repeated at a flush.
TEST(WriteSamples, StreamsLargeExportsWithoutLosingRows) {
  ProfileReport report;
  TileProfile tile{1, {}};
  for (std::uint32_t i = 0; i < 12000; ++i) {
    CycleSample sample;
    sample.start_cycle = 10 * i;
    sample.end_cycle = 10 * i + 7;
    sample.step.kind = ProfileStepKind::Compute;
    sample.step.operation = "op." + std::to_string(i) + std::string(200, 'x');
    tile.samples.push_back(sample);
  }
  report.tiles.push_back(tile);
  const ProfileColumns columns = zyl_package::to_columns(report);
  for (const ExportFormat format : {ExportFormat::Csv, ExportFormat::Jsonl}) {
    std::string expected;
    SampleRowWriter writer(columns, format, expected);
    writer.header();
    for (std::uint32_t i = 0; i < 12000; ++i) {
      writer.row(PlacedSample{1, i, 10ULL * i, 7});
    }
    ASSERT_GT(expected.size(), std::size_t{1} << 21);
    std::ostringstream out;
    EXPECT_EQ(write_samples(columns, {}, format, out), 12000U);
    EXPECT_TRUE(out.str() == expected);
  }
}

// A package may store one text under two ids. One sample, metadata block=1,
// layer=x, block=2, where the second "block" has its own id.
ProfileColumns columns_with_repeated_name_text() {
  zyl_package::ColumnBuffers buffers;
  for (const std::string_view text :
       {"", "block", "1", "layer", "x", "block", "2"}) {
    buffers.string_bytes += text;
    buffers.string_offsets.push_back(buffers.string_bytes.size());
  }
  buffers.list_entries = {{1, 2}, {3, 4}, {5, 6}};
  buffers.list_offsets.push_back(buffers.list_entries.size());
  buffers.tiles.push_back(zyl_package::ColumnTile{5, 0, 0, 1});
  buffers.start_cycle = {100};
  buffers.end_cycle = {110};
  buffers.local_index = {0};
  buffers.phase = {0};
  buffers.epoch = {0};
  buffers.kind = {static_cast<std::uint8_t>(ProfileStepKind::Compute)};
  buffers.kernel = {0};
  buffers.operation = {0};
  buffers.metadata = {0};
  return zyl_package::columns_from(0, std::move(buffers));
}

// Export writes the entries as text in their own order; trace groups them by
// name, comparing text rather than ids.
TEST(SampleWriters, MetadataNamesAreTextNotIds) {
  const ProfileColumns columns = columns_with_repeated_name_text();
  const Loaded<void> checked = zyl_package::check_columns(columns);
  ASSERT_TRUE(checked.ok()) << checked.error().to_string();
  std::ostringstream jsonl;
  EXPECT_EQ(write_samples(columns, {}, ExportFormat::Jsonl, jsonl), 1U);
  EXPECT_NE(jsonl.str().find(R"("metadata":[{"name":"block","value":"1"},)"
                             R"({"name":"layer","value":"x"},)"
                             R"({"name":"block","value":"2"}]})"),
            std::string::npos)
      << jsonl.str();

  std::ostringstream trace;
  write_trace(columns, {}, {}, trace);
  const auto parsed = parse_trace(trace.str());
  ASSERT_TRUE(std::holds_alternative<ParsedTrace>(parsed));
  std::vector<std::string> metadata;
  for (const ParsedEvent& event : std::get<ParsedTrace>(parsed).events) {
    if (event.ph == "X") metadata.push_back(event.metadata);
  }
  EXPECT_EQ(metadata, std::vector<std::string>{"block=[1,2];layer=x"});
}

}  // namespace
}  // namespace zyl_profile::cli
