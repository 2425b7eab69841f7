// The printers: exact JSON text, CSV quoting, and escaping of hostile strings
// in the table and in JSON.
#include "output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "format/text.h"
#include "format/text_table.h"

namespace zyl_profile::cli {
namespace {

QueryReport small_report() {
  QueryReport report;
  report.clock_hz = 1000000000;
  report.tile_count = 2;
  report.sample_count = 2;
  report.matched_sample_count = 2;
  report.profile_span_cycles = 30;
  report.profile_span_ms = 3e-05;
  GroupSummary group;
  group.name = "add";
  group.dimensions = {{"phase", "0"}, {"epoch", "0"}};
  group.sample_count = 2;
  group.tile_count = 2;
  group.phase_count = 1;
  group.phase_cycles = 30;
  group.phase_ms = 3e-05;
  group.work_cycles = 50;
  group.average_active_tiles = 5.0 / 3.0;
  group.mean_cycles = 25.0;
  group.p50_cycles = 20;
  group.p95_cycles = 20;
  group.maximum_cycles = 30;
  group.first_offset = 0;
  group.last_offset = 30;
  group.minimum_cycles = 20;
  group.p99_cycles = 20;
  group.work_percent = 100.0 / 3.0;
  report.groups.push_back(group);
  report.matched_work_cycles = 150;
  SampleRecord sample;
  sample.physical_tile = 3;
  sample.offset = 18446744073709551615ULL;
  sample.duration = 30;
  sample.kind = "compute";
  sample.operation = "op \"1\"";
  sample.kernel = "add";
  sample.metadata = {{"block", "0"}, {"block", ""}};
  report.samples.push_back(sample);
  return report;
}

TEST(AppendJson, WritesTheFieldsInOrderWithExactNumbers) {
  std::string out;
  append_json(small_report(), out);
  EXPECT_EQ(out, R"({
  "clock_hz": 1000000000,
  "tile_count": 2,
  "sample_count": 2,
  "matched_sample_count": 2,
  "profile_span_cycles": 30,
  "profile_span_ms": 3e-05,
  "at_offset": null,
  "groups": [
    {
      "name": "add",
      "dimensions": { "epoch": "0", "phase": "0" },
      "sample_count": 2,
      "tile_count": 2,
      "phase_count": 1,
      "phase_cycles": 30,
      "phase_ms": 3e-05,
      "work_cycles": 50,
      "average_active_tiles": 1.6666666666666667,
      "mean_cycles": 25,
      "p50_cycles": 20,
      "p95_cycles": 20,
      "maximum_cycles": 30,
      "first_offset": 0,
      "last_offset": 30,
      "minimum_cycles": 20,
      "p99_cycles": 20,
      "work_percent": 33.333333333333336
    }
  ],
  "samples": [
    {
      "physical_tile": 3,
      "offset": 18446744073709551615,
      "duration": 30,
      "phase": 0,
      "epoch": 0,
      "kind": "compute",
      "operation": "op \"1\"",
      "kernel": "add",
      "metadata": [ { "name": "block", "value": "0" }, { "name": "block", "value": "" } ]
    }
  ],
  "matched_work_cycles": 150
}
)");
}

TEST(AppendJson, EmptyResultAndAtOffset) {
  QueryReport report;
  report.at_offset = 12;
  std::string out;
  append_json(report, out);
  EXPECT_EQ(out,
            "{\n  \"clock_hz\": 0,\n  \"tile_count\": 0,\n  \"sample_count\": "
            "0,\n  \"matched_sample_count\": 0,\n  \"profile_span_cycles\": "
            "0,\n  \"profile_span_ms\": 0,\n  \"at_offset\": 12,\n  "
            "\"groups\": [],\n  \"samples\": [],\n  "
            "\"matched_work_cycles\": 0\n}\n");
}

TEST(AppendCsv, QuotesCommasQuotesAndLineBreaks) {
  QueryReport report = small_report();
  report.groups[0].name = "a,b";
  report.samples[0].kernel = "line\nbreak";
  report.samples[0].operation = "say \"hi\"";
  report.samples[0].metadata = {{"k", "v"}};
  std::string groups;
  append_groups_csv(report, groups);
  EXPECT_EQ(groups,
            "name,epoch,phase,sample_count,tile_count,phase_count,phase_"
            "cycles,phase_ms,work_cycles,average_active_tiles,mean_cycles,"
            "p50_cycles,p95_cycles,maximum_cycles,first_offset,last_offset,"
            "minimum_cycles,p99_cycles,work_percent\r\n"
            "\"a,b\",0,0,2,2,1,30,3e-05,50,1.6666666666666667,25,20,20,30,0,"
            "30,20,20,33.333333333333336\r\n");
  std::string samples;
  append_samples_csv(report, samples);
  EXPECT_EQ(samples,
            "physical_tile,offset_cycles,duration_cycles,end_offset_cycles,"
            "phase,epoch,kind,operation,kernel,metadata\r\n"
            "3,18446744073709551615,30,18446744073709551645,0,0,compute,"
            "\"say \"\"hi\"\"\",\"line\nbreak\","
            "\"[{\"\"name\"\":\"\"k\"\",\"\"value\"\":\"\"v\"\"}]\"\r\n");
}

TEST(AppendTable, AlignsNumbersAndEscapesNames) {
  QueryReport report = small_report();
  report.groups[0].name = "k\x1b]0;pwned\x07";
  report.groups[0].work_cycles = 1234567;
  report.samples[0].metadata = {{"blo\nck", "0"}};
  std::string out;
  append_table(report, out, 0);
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  EXPECT_EQ(out.find('\x07'), std::string::npos);
  EXPECT_NE(out.find("k\\x1b]0;pwned\\x07"), std::string::npos) << out;
  EXPECT_NE(out.find("1,234,567"), std::string::npos) << out;
  EXPECT_NE(out.find("blo\\nck=0"), std::string::npos) << out;
  EXPECT_NE(out.find("18,446,744,073,709,551,615"), std::string::npos) << out;
  EXPECT_EQ(out.rfind("2 tiles, 2 samples, 2 matched\n", 0), 0U) << out;
  // Every line of the group table has the same width up to its last number.
  const std::size_t header = out.find("name");
  const std::size_t header_end = out.find('\n', header);
  const std::size_t row_end = out.find('\n', header_end + 1);
  EXPECT_EQ(header_end - header, row_end - header_end - 1) << out;
}

TEST(AppendTable, TellsNoMatchFromGroupsCutByTheLimit) {
  QueryReport report = small_report();
  report.groups.clear();
  std::string out;
  append_table(report, out, 0);
  EXPECT_NE(out.find("no groups shown\n"), std::string::npos) << out;
  report.matched_sample_count = 0;
  report.samples.clear();
  out.clear();
  append_table(report, out, 0);
  EXPECT_NE(out.find("no matching samples\n"), std::string::npos) << out;
}

TEST(AppendTable, FitsTheWidthUnlessWide) {
  QueryReport report = small_report();
  report.groups[0].name = std::string(70, 'k');
  report.groups[0].dimensions = {{"phase", "0"}, {"epoch", "0"}};
  std::string fitted;
  append_table(report, fitted, kDefaultTableWidth);
  std::size_t widest = 0;
  for (std::size_t start = 0; start < fitted.size();) {
    const std::size_t end = fitted.find('\n', start);
    widest = std::max(widest, display_width(fitted.substr(start, end - start)));
    start = end + 1;
  }
  EXPECT_LE(widest, kDefaultTableWidth) << fitted;
  EXPECT_NE(fitted.find("left out to fit 120 columns; --wide shows all"),
            std::string::npos)
      << fitted;
  std::string wide;
  append_table(report, wide, 0);
  EXPECT_NE(wide.find("first"), std::string::npos) << wide;
  EXPECT_NE(wide.find(std::string(70, 'k')), std::string::npos);
  EXPECT_EQ(wide.find("left out"), std::string::npos);
}

}  // namespace
}  // namespace zyl_profile::cli
