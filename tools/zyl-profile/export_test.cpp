// write_samples: every matching sample in report order, as CSV with quoting
// and first metadata values, or as JSON lines with the full metadata list;
// and the metadata grouping it shares with write_trace.
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
  first.step.metadata = {{"block", "1"}, {"layer", "x\"y"}, {"block", "2"}};
  CycleSample second;
  second.start_cycle = 4;
  second.end_cycle = 14;
  second.step.kind = ProfileStepKind::Idle;
  report.tiles.push_back(TileProfile{9, {first, second}});
  report.tiles.push_back(TileProfile{2, {second}});
  return report;
}

std::string exported(const ProfileReport& report, ExportFormat format,
                     const Query& query = {}) {
  std::ostringstream out;
  write_samples(zyl_package::to_columns(report), query, format, out);
  return out.str();
}

TEST(WriteSamples, CsvQuotesFieldsAndKeepsFirstMetadataValues) {
  EXPECT_EQ(exported(small_report(), ExportFormat::Csv),
            "physical_tile,offset,duration,end_offset,phase,epoch,kind,"
            "operation,kernel,metadata\r\n"
            "9,0,5,5,3,1,compute,\"line\nbreak\",\"a,\"\"b\"\"\","
            "\"{\"\"block\"\":\"\"1\"\",\"\"layer\"\":\"\"x\\\"\"y\"\"}\"\r\n"
            "9,10,10,20,0,0,idle,,,{}\r\n"
            "2,0,10,10,0,0,idle,,,{}\r\n");
}

TEST(WriteSamples, JsonLinesKeepTheWholeMetadataList) {
  EXPECT_EQ(exported(small_report(), ExportFormat::Jsonl),
            R"({"physical_tile":9,"offset":0,"duration":5,"end_offset":5,)"
            R"("phase":3,"epoch":1,"kind":"compute","operation":"line\nbreak",)"
            R"("kernel":"a,\"b\"","metadata":[{"name":"block","value":"1"},)"
            R"({"name":"layer","value":"x\"y"},{"name":"block","value":"2"}]})"
            "\n"
            R"({"physical_tile":9,"offset":10,"duration":10,"end_offset":20,)"
            R"("phase":0,"epoch":0,"kind":"idle","operation":"","kernel":"",)"
            R"("metadata":[]})"
            "\n"
            R"({"physical_tile":2,"offset":0,"duration":10,"end_offset":10,)"
            R"("phase":0,"epoch":0,"kind":"idle","operation":"","kernel":"",)"
            R"("metadata":[]})"
            "\n");
}

TEST(WriteSamples, HonoursEveryFilterAndTheWindowBounds) {
  struct Row {
    const char* label;
    Query query;
    std::size_t lines;  // CSV rows after the header
  };
  Query tile;
  tile.tiles = {2};
  Query kind;
  kind.kind = StepKind::Compute;
  // [0, 5) and [10, 20) on tile 9, [0, 10) on tile 2.
  Query from_at_end;
  from_at_end.from_offset = 5;  // [0, 5) ends there: out
  Query to_at_start;
  to_at_start.to_offset = 10;  // [10, 20) starts there: out
  Query inside;
  inside.from_offset = 19;
  inside.to_offset = 20;
  const std::vector<Row> rows{{"all", {}, 3},
                              {"tile", tile, 1},
                              {"kind", kind, 1},
                              {"from is inclusive of starts", from_at_end, 2},
                              {"to is exclusive", to_at_start, 2},
                              {"last cycle", inside, 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const std::string text =
        exported(small_report(), ExportFormat::Csv, row.query);
    EXPECT_EQ(
        static_cast<std::size_t>(std::count(text.begin(), text.end(), '\r')),
        row.lines + 1);
  }
}

// A package may store one text under two ids; names must still group by
// their text, as they do for records. One sample, metadata block=1, layer=x,
// block=2, where the second "block" has its own id.
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

// Export and trace both group metadata entries by name.
TEST(SampleWriters, MetadataNamesGroupByTextNotById) {
  const ProfileColumns columns = columns_with_repeated_name_text();
  const std::optional<zyl_package::LoadError> fault =
      zyl_package::check_columns(columns);
  ASSERT_FALSE(fault) << fault->to_string();
  std::ostringstream csv;
  EXPECT_EQ(write_samples(columns, {}, ExportFormat::Csv, csv), 1U);
  EXPECT_EQ(csv.str().substr(csv.str().find("\r\n") + 2),
            "5,0,10,10,0,0,compute,,,"
            "\"{\"\"block\"\":\"\"1\"\",\"\"layer\"\":\"\"x\"\"}\"\r\n");
  // JSON lines keep every entry as it is, in order.
  std::ostringstream jsonl;
  write_samples(columns, {}, ExportFormat::Jsonl, jsonl);
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
