// Tests of the JSON form: written and read back equal, and every way a file
// can be wrong gives an error that names the place.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "zyl_package/generate.h"
#include "zyl_package/report_io.h"

namespace zyl_package {
namespace {

CycleSample make_sample(ProfileStepKind kind, std::uint32_t start,
                        std::uint32_t end, std::string kernel = "add",
                        std::vector<ProfileMetadata> metadata = {}) {
  CycleSample sample;
  sample.start_cycle = start;
  sample.end_cycle = end;
  sample.step.kind = kind;
  sample.step.kernel = std::move(kernel);
  sample.step.operation = "operation 0";
  sample.step.metadata = std::move(metadata);
  return sample;
}

std::string to_json(const ProfileReport& report) {
  std::ostringstream out;
  EXPECT_TRUE((write_report_json(report, out)).ok());
  return out.str();
}

// A report that touches every field and the awkward values: counters that
// wrap, empty tiles and strings, text that must be escaped or is non-ASCII,
// metadata names given twice, and the extreme integers.
ProfileReport awkward_report() {
  ProfileReport report;
  report.clock_hz = 18446744073709551615ULL;
  TileProfile& first = report.tiles.emplace_back();
  first.physical_tile = 4294967295U;
  first.samples.push_back(make_sample(ProfileStepKind::Compute, 4294967000U,
                                      200, "matmul",
                                      {{"block", "1"}, {"block", "2"}}));
  first.samples.push_back(make_sample(ProfileStepKind::Exchange, 0, 0, ""));
  CycleSample& odd = first.samples.emplace_back(make_sample(
      ProfileStepKind::Synchronization, 7, 9,
      std::string("quote\" backslash\\ nul") + '\0' + "\x01\x1f\x7f",
      {{"", ""}, {"layer", "\n\r\t\b\f"}}));
  odd.step.local_index = 12;
  odd.step.phase = 3;
  odd.step.epoch = 4294967295U;
  odd.step.operation = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
  first.samples.push_back(make_sample(ProfileStepKind::Idle, 10, 11));
  report.tiles.emplace_back().physical_tile = 5;  // no samples
  TileProfile& last = report.tiles.emplace_back();
  last.physical_tile = 0;
  last.samples.push_back(make_sample(ProfileStepKind::Compute, 1, 2));
  return report;
}

TEST(ReportJson, RoundTripKeepsEveryField) {
  const ProfileReport report = awkward_report();
  const LoadResult loaded = parse_report(to_json(report), "mem.json");
  ASSERT_TRUE(loaded.ok()) << loaded.error().to_string();
  EXPECT_EQ(loaded.value(), report);
}

TEST(ReportJson, RoundTripOfGeneratedReports) {
  for (const std::uint64_t seed : {1, 2, 3}) {
    zyl_package::GenerateOptions options = options_for_total(5000, 37);
    options.seed = seed;
    const ProfileReport report = generate_report(options);
    const LoadResult loaded = parse_report(to_json(report));
    ASSERT_TRUE(loaded.ok()) << loaded.error().to_string();
    EXPECT_EQ(loaded.value(), report) << "seed " << seed;
  }
}

TEST(ReportJson, RoundTripOfEmptyReport) {
  const ProfileReport empty;
  const LoadResult loaded = parse_report(to_json(empty));
  ASSERT_TRUE(loaded.ok()) << loaded.error().to_string();
  EXPECT_EQ(loaded.value(), empty);
}

TEST(ReportJson, WriterPutsFormatAndVersionFirstAndEscapesControls) {
  const std::string json = to_json(awkward_report());
  EXPECT_EQ(json.rfind(R"({"format":"zyl-profile-report","version":1,)", 0),
            0U);
  EXPECT_NE(json.find(R"(quote\" backslash\\ nul\u0000\u0001\u001f)"),
            std::string::npos);
  EXPECT_NE(json.find(R"("\n\r\t\b\f")"), std::string::npos);
  EXPECT_NE(json.find("caf\xC3\xA9 \xE2\x82\xAC"), std::string::npos)
      << "valid UTF-8 is written as is";
  const std::string order =
      R"({"start_cycle":1,"end_cycle":2,"step":{"local_index":0,"phase":0,)"
      R"("epoch":0,"operation":"operation 0","kind":"compute","kernel":"add",)"
      R"("metadata":[]}})";
  EXPECT_NE(json.find(order), std::string::npos) << json;
}

TEST(ReportJson, WriterReplacesInvalidUtf8SoTheFileStaysReadable) {
  ProfileReport report;
  report.tiles.emplace_back().samples.push_back(
      make_sample(ProfileStepKind::Compute, 1, 2, "bad\xFF\xC3"));
  const LoadResult loaded = parse_report(to_json(report));
  ASSERT_TRUE(loaded.ok()) << loaded.error().to_string();
  EXPECT_EQ(loaded.value().tiles[0].samples[0].step.kernel,
            "bad\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(ReportJson, ReadsFileWithDefaultsAnyKeyOrderEscapesAndBom) {
  const std::string json =
      "\xEF\xBB\xBF"
      R"({"tiles":[{"samples":[{"step":{"kind":"idle","operation":"o\u00e9)"
      R"(\ud83d\ude00\n","phase":7},"end_cycle":5,"start_cycle":4}],)"
      R"("physical_tile":9}],"clock_hz":0})";
  const LoadResult loaded = parse_report(json, "bom.json");
  ASSERT_TRUE(loaded.ok()) << loaded.error().to_string();
  ProfileReport expected;
  TileProfile& tile = expected.tiles.emplace_back();
  tile.physical_tile = 9;
  CycleSample sample = make_sample(ProfileStepKind::Idle, 4, 5, "");
  sample.step.phase = 7;
  sample.step.operation = "o\xC3\xA9\xF0\x9F\x98\x80\n";
  tile.samples.push_back(sample);
  EXPECT_EQ(loaded.value(), expected);
}

TEST(ReportJson, ReadsFromFileAndReportsMissingFile) {
  const auto dir =
      std::filesystem::temp_directory_path() /
      ("zyl_json_test_" +
       std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  const auto path = dir / "report.json";
  const ProfileReport report = awkward_report();
  ASSERT_TRUE((write_report(report, path, ReportFormat::Json)).ok());
  const LoadResult loaded = read_report(path);
  ASSERT_TRUE(loaded.ok()) << loaded.error().to_string();
  EXPECT_EQ(loaded.value(), report);

  ReadLimits tiny;
  tiny.max_file_bytes = 10;
  const LoadResult too_big = read_report(path, tiny);
  ASSERT_FALSE(too_big.ok());
  EXPECT_NE(too_big.error().to_string().find("10-byte limit"),
            std::string::npos)
      << too_big.error().to_string();

  const LoadResult missing = read_report(dir / "absent.json");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().file, (dir / "absent.json").string());
  EXPECT_NE(missing.error().message.find("No such file"), std::string::npos)
      << missing.error().to_string();
  std::filesystem::remove_all(dir);
}

TEST(ReportFormatFor, ChoosesPackageOnlyForZpk) {
  EXPECT_EQ(report_format_for("a/b.zpk"), ReportFormat::Package);
  EXPECT_EQ(report_format_for("b.json"), ReportFormat::Json);
  EXPECT_EQ(report_format_for("zpk"), ReportFormat::Json);
}

// "line:column" of the first `needle` in `text`, counted the way the reader
// counts (1-based, bytes).
std::string position_of(std::string_view text, std::string_view needle) {
  const std::size_t at = text.find(needle);
  if (at == std::string_view::npos) return "needle not found";
  const std::string_view before = text.substr(0, at);
  const auto line = 1 + std::count(before.begin(), before.end(), '\n');
  const std::size_t line_start = before.rfind('\n');
  const std::size_t column =
      line_start == std::string_view::npos ? at + 1 : at - line_start;
  return std::to_string(line) + ":" + std::to_string(column);
}

// A valid report whose second sample is `sample`.
std::string with_sample(std::string_view sample) {
  return std::string(
             R"({"format":"zyl-profile-report","version":1,"clock_hz":1000,)"
             "\n"
             R"("tiles":[{"physical_tile":2,"samples":[)"
             "\n"
             R"({"start_cycle":1,"end_cycle":2,"step":{"phase":0,"operation":"op","kind":"compute"}},)"
             "\n") +
         std::string(sample) + "\n]}]}";
}

// A valid report whose second sample's step holds `fields` and then a kind.
std::string with_step(std::string_view fields) {
  return with_sample(R"({"start_cycle":5,"end_cycle":6,"step":{)" +
                     std::string(fields) + "}}");
}

std::string with_metadata(std::string_view entry) {
  return with_step(R"("phase":1,"operation":"x","kind":"idle","metadata":[)" +
                   std::string(entry) + "]");
}

constexpr std::string_view kStepPath = "tiles[0].samples[1].step";

struct ErrorRow {
  std::string json;
  std::string path;     // expected json_path
  std::string at;       // the error points at the first occurrence of this
  std::string message;  // expected part of the message
};

TEST(ReportJson, RejectsEachMalformedInputNamingTheSpot) {
  const std::string step = std::string(kStepPath);
  const std::string u32 = "expected an integer in 0..4294967295, found ";
  const std::string valid = with_sample(
      R"({"start_cycle":5,"end_cycle":6,"step":{"phase":0,"operation":"op","kind":"idle"}})");
  const std::vector<ErrorRow> rows = {
      // Format and version.
      {R"({"format":"other","clock_hz":1,"tiles":[]})", "format", "\"other\"",
       R"(expected "zyl-profile-report", found "other")"},
      {R"({"format":1,"clock_hz":1,"tiles":[]})", "format", "1,",
       "expected a string, found 1"},
      {R"({"version":2,"clock_hz":1,"tiles":[]})", "version", "2",
       "unsupported version 2, expected 1"},
      {R"({"version":"1","clock_hz":1,"tiles":[]})", "version", "\"1\"",
       R"(unsupported version "1", expected 1)"},
      // Required fields.
      {R"({"tiles":[]})", "clock_hz", "{",
       R"(missing required key "clock_hz")"},
      {R"({"clock_hz":1})", "tiles", "{", R"(missing required key "tiles")"},
      {with_sample(
           R"({"end_cycle":6,"step":{"phase":0,"operation":"","kind":"idle"}})"),
       "tiles[0].samples[1].start_cycle", "{\"end_cycle\":6",
       R"(missing required key "start_cycle")"},
      {R"({"clock_hz":1,"tiles":[{"samples":[]}]})", "tiles[0].physical_tile",
       "{\"samples\"", R"(missing required key "physical_tile")"},
      {with_step(R"("phase":1,"kind":"idle")"), step + ".operation",
       "{\"phase\":1", R"(missing required key "operation")"},
      {with_step(R"("phase":1,"operation":"x")"), step + ".kind",
       "{\"phase\":1", R"(missing required key "kind")"},
      {with_metadata(R"({"name":"block"})"), step + ".metadata[0].value",
       "{\"name\"", R"(missing required key "value")"},
      // null is a wrong type, optional fields included.
      {R"({"clock_hz":null,"tiles":[]})", "clock_hz", "null",
       "expected an integer in 0..18446744073709551615, found null"},
      {with_step(R"("phase":1,"operation":"x","kind":"idle","kernel":null)"),
       step + ".kernel", "null", "expected a string, found null"},
      {with_step(R"("phase":1,"operation":"x","kind":"idle","metadata":null)"),
       step + ".metadata", "null", "expected an array, found null"},
      {with_step(
           R"("phase":1,"operation":"x","kind":"idle","local_index":null)"),
       step + ".local_index", "null", u32 + "null"},
      // Kinds are exact.
      {with_step(R"("phase":1,"operation":"x","kind":"Compute")"),
       step + ".kind", "\"Compute\"", "expected one of \"exchange\""},
      // Integers: range, sign, fraction, exponent, leading zero.
      {with_sample(R"({"start_cycle":4294967296,"end_cycle":6,"step":{}})"),
       "tiles[0].samples[1].start_cycle", "4294967296", u32 + "4294967296"},
      {R"({"clock_hz":18446744073709551616,"tiles":[]})", "clock_hz", "1844",
       "found 18446744073709551616"},
      {with_sample(R"({"start_cycle":-1,"end_cycle":6,"step":{}})"),
       "tiles[0].samples[1].start_cycle", "-1", u32 + "-1"},
      {with_sample(R"({"start_cycle":5,"end_cycle":1.0,"step":{}})"),
       "tiles[0].samples[1].end_cycle", "1.0", u32 + "1.0"},
      {with_step(R"("phase":1e3,"operation":"x","kind":"idle")"),
       step + ".phase", "1e3", u32 + "1e3"},
      {with_step(R"("phase":07,"operation":"x","kind":"idle")"),
       step + ".phase", "07", u32 + "07"},
      {with_step(R"("phase":+7,"operation":"x","kind":"idle")"),
       step + ".phase", "+7", u32 + "+7"},
      {with_step(R"("phase":"7","operation":"x","kind":"idle")"),
       step + ".phase", "\"7\"", u32 + "\"7\""},
      // Other wrong types.
      {R"({"clock_hz":1,"tiles":{}})", "tiles", "{}",
       "expected an array, found an object"},
      {with_sample("17"), "tiles[0].samples[1]", "17",
       "expected an object, found 17"},
      {with_step(R"("phase":1,"operation":["x"],"kind":"idle")"),
       step + ".operation", "[\"x\"]", "expected a string, found an array"},
      {"[]", "", "[", "expected an object, found an array"},
      {std::string(100000, '['), "", "[", "expected an object, found an array"},
      {R"({"clock_hz":1,"tiles":[{"physical_tile":1,"samples":[]},[[[[[[]]]]]]]})",
       "tiles[1]", "[[[[[[]", "expected an object, found an array"},
      // Unknown and duplicate keys.
      {R"({"clock_hz":1,"tiles":[],"extra":0})", "extra", "\"extra\"",
       R"(unknown key "extra")"},
      {with_step(R"("phase":1,"operation":"x","kind":"idle","Kernel":"")"),
       step + ".Kernel", "\"Kernel\"", R"(unknown key "Kernel")"},
      // A key's control characters are shown escaped, never raw.
      {R"({"clock_hz":1,"tiles":[],"a\u0001\nb":0})", R"(a\u0001\nb)",
       R"("a\u0001)", R"(unknown key "a\u0001\nb")"},
      {R"({"clock_hz":1,"clock_hz":2,"tiles":[]})", "clock_hz",
       "\"clock_hz\":2", R"(duplicate key "clock_hz")"},
      {with_step(R"("phase":1,"operation":"x","kind":"idle","phase":2)"),
       step + ".phase", "\"phase\":2", R"(duplicate key "phase")"},
      {with_metadata(R"({"name":"a","value":"b","name":"c"})"),
       step + ".metadata[0].name", "\"name\":\"c\"", R"(duplicate key "name")"},
      // Strings: invalid UTF-8, surrogates, escapes, raw control characters.
      {with_step("\"phase\":1,\"operation\":\"ab\xFF\",\"kind\":\"idle\""),
       step + ".operation", "\xFF", "invalid UTF-8"},
      {with_step("\"phase\":1,\"operation\":\"\xC0\xAF\",\"kind\":\"idle\""),
       step + ".operation", "\xC0", "invalid UTF-8"},
      // Invalid UTF-8 glued to a bare word, outside any string (found by
      // fuzzing: the reader once asked a document that never started where
      // it had stopped).
      {std::string("\0\0\0\0\xD4\xD4+", 7), "", "\xD4", "invalid UTF-8"},
      {with_step("\"phase\":1\xC3,\"operation\":\"x\",\"kind\":\"idle\""),
       step + ".phase", "\xC3", "invalid UTF-8"},
      {with_step(R"("phase":1,"operation":"\ud800","kind":"idle")"),
       step + ".operation", "\"\\ud800", "unpaired surrogate escape \\ud800"},
      {with_step(R"("phase":1,"operation":"\udc00x","kind":"idle")"),
       step + ".operation", "\"\\udc00", "unpaired surrogate escape \\udc00"},
      {with_step(R"("phase":1,"operation":"\ud800\u0041","kind":"idle")"),
       step + ".operation", "\"\\ud800", "unpaired surrogate escape \\ud800"},
      {with_step(R"("phase":1,"operation":"\x","kind":"idle")"),
       step + ".operation", "\"\\x", "invalid escape \\x"},
      {with_step("\"phase\":1,\"operation\":\"a\tb\",\"kind\":\"idle\""),
       step + ".operation", "\t", "control character U+0009"},
      {R"({"clock_hz":1,"tiles":[],"x)", "", "\"x", "string is not closed"},
      // Truncation, trailing content and broken structure.
      {valid.substr(0, valid.size() - 3), "tiles[0].samples", "@end",
       "input ends before the report is complete"},
      {R"({"clock_hz":1,"tiles":[)", "tiles[0]", "@end",
       "input ends before the report is complete"},
      {valid + " x", "", "@last:x", "unexpected content after the report"},
      {valid + "}", "", "@last:}", "unexpected content after the report"},
      {valid + "{}", "", "@last:{}", "unexpected content after the report"},
      {"", "", "@end", "empty input"},
      {" \n ", "", "@end", "empty input"},
      {R"({"clock_hz":1 "tiles":[]})", "", "\"tiles\"", "malformed JSON"},
      {R"({"clock_hz":1,"tiles":[],})", "", "}", "malformed JSON"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.json.substr(0, 300));
    const LoadResult result = parse_report(row.json, "bad.json");
    ASSERT_FALSE(result.ok());
    const LoadError& error = result.error();
    EXPECT_EQ(error.json_path, row.path);
    EXPECT_NE(error.message.find(row.message), std::string::npos)
        << error.to_string();
    std::string where;
    constexpr std::string_view kLast = "@last:";
    if (row.at == "@end") {
      where = position_of(row.json + '\x01', "\x01");
    } else if (row.at.rfind(kLast, 0) == 0) {
      const std::string last = row.at.substr(kLast.size());
      where = position_of(row.json.substr(0, row.json.rfind(last)) + '\x01',
                          "\x01");
    } else {
      where = position_of(row.json, row.at);
    }
    EXPECT_EQ(std::to_string(error.line) + ":" + std::to_string(error.column),
              where)
        << error.to_string();
    const std::string prefix =
        "bad.json:" + where + ": " +
        (row.path.empty() ? std::string() : row.path + ": ");
    EXPECT_EQ(error.to_string().rfind(prefix, 0), 0U) << error.to_string();
  }
}

// A key or value of a megabyte is quoted cut short, with its length, by
// both the in-memory and the file reader: an error is one line to read, not
// a copy of the file.
TEST(ReportJson, HugeKeysAndValuesAreQuotedCutShort) {
  const std::string huge(std::size_t{1} << 20, 'a');
  const std::string step = std::string(kStepPath);
  const std::string cut = R"(..." (1048576 bytes))";
  struct Row {
    std::string json;
    std::string path_start;
    std::string message_start;
  };
  const std::vector<Row> rows = {
      {R"({"clock_hz":1,"tiles":[],")" + huge + R"(":0})", "aaaa",
       "unknown key \"aaaa"},
      {with_step(R"("phase":1,"operation":"x","kind":"idle",")" + huge +
                 R"(":0)"),
       step + ".aaaa", "unknown key \"aaaa"},
      {R"({"clock_hz":")" + huge + R"(","tiles":[]})", "clock_hz",
       "expected an integer in 0..18446744073709551615, found \"aaaa"},
      {with_step(R"("phase":")" + huge + R"(","operation":"x","kind":"idle")"),
       step + ".phase", "expected an integer in 0..4294967295, found \"aaaa"},
      {with_step(R"("phase":1,"operation":"x","kind":")" + huge + "\""),
       step + ".kind", "expected one of \"exchange\""},
  };
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("zyl_huge_" +
       std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
       ".json");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.json.substr(0, 120));
    {
      std::ofstream out(path, std::ios::binary);
      out << row.json;
    }
    for (const LoadResult& result :
         {parse_report(row.json, "huge.json"), read_report(path)}) {
      ASSERT_FALSE(result.ok());
      const LoadError& error = result.error();
      EXPECT_LT(error.to_string().size(), 400U) << error.to_string();
      EXPECT_EQ(error.json_path.rfind(row.path_start, 0), 0U)
          << error.json_path;
      EXPECT_EQ(error.message.rfind(row.message_start, 0), 0U) << error.message;
      EXPECT_EQ(error.message.substr(error.message.size() - cut.size()), cut)
          << error.message;
    }
  }
  std::filesystem::remove(path);
}

TEST(ReportJson, EveryTruncationFailsWithAPosition) {
  const std::string json = to_json(awkward_report());
  for (std::size_t length = 0; length + 1 < json.size(); ++length) {
    const std::string cut = json.substr(0, length);
    const LoadResult result = parse_report(cut, "cut.json");
    ASSERT_FALSE(result.ok()) << cut;
    EXPECT_GT(result.error().line, 0U) << result.error().to_string();
  }
}

TEST(ReportJson, LongStringsBeyondTheLimitAreRejected) {
  ReadLimits limits;
  limits.max_string_bytes = 20;
  const std::string json = with_step(
      R"("phase":1,"operation":"123456789012345678901","kind":"idle")");
  const LoadResult result = parse_report(json, "", limits);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().json_path, std::string(kStepPath) + ".operation");
  EXPECT_NE(result.error().message.find("20-byte limit"), std::string::npos)
      << result.error().to_string();
  EXPECT_TRUE(
      parse_report(
          with_step(
              R"("phase":1,"operation":"12345678901234567890","kind":"idle")"),
          "", limits)
          .ok());
}

TEST(ReportJson, NestingBeyondTheDepthLimitIsRejected) {
  ReadLimits limits;
  limits.max_depth = 4;
  const LoadResult result = parse_report(
      with_step(R"("phase":1,"operation":"x","kind":"idle")"), "", limits);
  ASSERT_FALSE(result.ok());
  EXPECT_NE(result.error().message.find("deeper than 4"), std::string::npos)
      << result.error().to_string();
}

}  // namespace
}  // namespace zyl_package
