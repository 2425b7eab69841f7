// The printers: exact JSON text, CSV quoting, and escaping of hostile strings
// in the table and in JSON.
#include "output.h"

#include <gtest/gtest.h>

#include <string>

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
  report.groups.push_back(group);
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
      "p99_cycles": 20
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
  ]
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
            "\"groups\": [],\n  \"samples\": []\n}\n");
}

TEST(ShortestDouble, RoundTripsAndNeverWritesNegativeZeroOrNonFinite) {
  EXPECT_EQ(shortest_double(1.0 / 3.0 * 4e-05), "1.3333333333333333e-05");
  EXPECT_EQ(shortest_double(-0.0), "0");
  EXPECT_EQ(shortest_double(0.1), "0.1");
  EXPECT_EQ(shortest_double(1e300 * 1e300), "0");
  EXPECT_EQ(shortest_double(std::numeric_limits<double>::quiet_NaN()), "0");
}

TEST(JsonEscape, KeepsAnyInputValidJson) {
  EXPECT_EQ(json_escape("a\"b\\c\n\t\x01\x1f\x7f"),
            "a\\\"b\\\\c\\n\\t\\u0001\\u001f\x7f");
  EXPECT_EQ(json_escape("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"),
            "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
  // Invalid UTF-8: a lone continuation, an overlong '/', a surrogate, a cut
  // sequence at the end.
  EXPECT_EQ(json_escape("\x80|\xc0\xaf|\xed\xa0\x80|\xe2\x82"),
            "\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd|\\ufffd\\ufffd");
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
            "minimum_cycles,p99_cycles\r\n"
            "\"a,b\",0,0,2,2,1,30,3e-05,50,1.6666666666666667,25,20,20,30,0,"
            "30,20,20\r\n");
  std::string samples;
  append_samples_csv(report, samples);
  EXPECT_EQ(samples,
            "physical_tile,offset,duration,phase,epoch,kind,operation,kernel,"
            "metadata\r\n"
            "3,18446744073709551615,30,0,0,compute,\"say \"\"hi\"\"\",\"line\n"
            "break\",\"[ { \"\"name\"\": \"\"k\"\", \"\"value\"\": "
            "\"\"v\"\" } ]\"\r\n");
}

TEST(TerminalEscape, NeverPassesControlsOrEscapeSequences) {
  EXPECT_EQ(terminal_escape("\x1b[31mred\x1b[0m"), "\\x1b[31mred\\x1b[0m");
  EXPECT_EQ(terminal_escape("a\nb\tc\rd\x07\x7f\\"),
            "a\\nb\\tc\\rd\\x07\\x7f\\\\");
  EXPECT_EQ(terminal_escape("\xc2\x9b"
                            "2J"),
            "\\u{009b}2J");  // C1 CSI
  EXPECT_EQ(terminal_escape("abc\xe2\x80\xae"
                            "fed"),
            "abc\\u{202e}fed");
  EXPECT_EQ(terminal_escape("\xff\xc3"), "\\xff\\xc3");
  EXPECT_EQ(terminal_escape("caf\xc3\xa9"), "caf\xc3\xa9");
}

TEST(AppendTable, AlignsNumbersAndEscapesNames) {
  QueryReport report = small_report();
  report.groups[0].name = "k\x1b]0;pwned\x07";
  report.groups[0].work_cycles = 1234567;
  report.samples[0].metadata = {{"blo\nck", "0"}};
  std::string out;
  append_table(report, out);
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
  append_table(report, out);
  EXPECT_NE(out.find("no groups shown\n"), std::string::npos) << out;
  report.matched_sample_count = 0;
  report.samples.clear();
  out.clear();
  append_table(report, out);
  EXPECT_NE(out.find("no matching samples\n"), std::string::npos) << out;
}

TEST(WithSeparators, GroupsThousands) {
  EXPECT_EQ(with_separators(0), "0");
  EXPECT_EQ(with_separators(999), "999");
  EXPECT_EQ(with_separators(1000), "1,000");
  EXPECT_EQ(with_separators(1234567), "1,234,567");
}

}  // namespace
}  // namespace zyl_profile::cli
