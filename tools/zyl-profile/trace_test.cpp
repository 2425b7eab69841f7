// write_trace, trace_time and assign_lanes: traces read back with simdjson,
// checked for structure, lanes and nanosecond-exact times.
#include "trace.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "trace_check.h"
#include "zyl_package/generate.h"

namespace zyl_profile::cli {
namespace {

CycleSample make_sample(std::uint32_t start, std::uint32_t end,
                        std::string kernel, std::string operation = "op",
                        ProfileStepKind kind = ProfileStepKind::Compute,
                        std::vector<ProfileMetadata> metadata = {}) {
  CycleSample sample;
  sample.start_cycle = start;
  sample.end_cycle = end;
  sample.step.kernel = std::move(kernel);
  sample.step.operation = std::move(operation);
  sample.step.kind = kind;
  sample.step.metadata = std::move(metadata);
  return sample;
}

std::string trace_text(const ProfileReport& report, const Query& query = {},
                       const TraceSettings& settings = {},
                       TraceStats* stats = nullptr) {
  std::ostringstream out;
  const TraceStats written =
      write_trace(zyl_package::to_columns(report), query, settings, out);
  if (stats != nullptr) *stats = written;
  return out.str();
}

ParsedTrace parsed(const std::string& text) {
  std::variant<ParsedTrace, std::string> result = parse_trace(text);
  if (const auto* error = std::get_if<std::string>(&result)) {
    ADD_FAILURE() << *error;
    return {};
  }
  return std::get<ParsedTrace>(std::move(result));
}

std::vector<ParsedEvent> events_of(const ParsedTrace& trace,
                                   std::string_view ph) {
  std::vector<ParsedEvent> out;
  for (const ParsedEvent& event : trace.events) {
    if (event.ph == ph) out.push_back(event);
  }
  return out;
}

TEST(TraceTime, RoundsStartAndEndToWholeNanoseconds) {
  struct Row {
    std::uint64_t offset;
    std::uint32_t duration;
    std::uint64_t clock_hz;
    TraceTime expected;
  };
  constexpr std::uint64_t kMax = 18446744073709551615ULL;
  const std::vector<Row> rows{
      // 76.9 ns -> 77, 92.3 ns -> 92.
      {100, 20, 1300000000, {"0.077", "0.015"}},
      {0, 0, 1330000000, {"0.000", "0.000"}},
      // Exactly five seconds.
      {6650000000, 1330, 1330000000, {"5000000.000", "1.000"}},
      // Half a nanosecond rounds up; the end rounds on its own.
      {1, 1, 2000000000, {"0.001", "0.000"}},
      {3, 1, 2000000000, {"0.002", "0.000"}},
      // Clock 0: a cycle is a nanosecond.
      {1500, 250, 0, {"1.500", "0.250"}},
      // Extremes that overflow 64-bit products.
      {kMax,
       4294967295U,
       1,
       {"18446744073709551615000000.000", "4294967295000000.000"}},
      {kMax, 1, kMax, {"1000000.000", "0.000"}},
      {kMax, 4294967295U, 1000000000, {"18446744073709551.615", "4294967.295"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.offset);
    EXPECT_EQ(trace_time(row.offset, row.duration, row.clock_hz), row.expected);
  }
}

TEST(AssignLanes, OverlapsGoToTheLowestFreeLane) {
  struct Row {
    std::vector<Interval> intervals;
    std::vector<std::uint32_t> lanes;
  };
  const std::vector<Row> rows{
      {{{0, 10}, {10, 20}}, {0, 0}},
      {{{0, 10}, {5, 15}, {10, 20}}, {0, 1, 0}},
      {{{5, 15}, {0, 10}}, {1, 0}},  // taken in start order
      {{{0, 100}, {1, 5}, {2, 6}, {7, 9}}, {0, 1, 2, 1}},
      {{{5, 5}, {5, 5}, {5, 10}}, {0, 0, 0}},  // empty samples end at once
      {{{0, 10}, {0, 10}}, {0, 1}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(assign_lanes(row.intervals), row.lanes);
  }
}

TEST(WriteTrace, TracksLanesNamesAndArgs) {
  ProfileReport report;
  report.clock_hz = 1000000000;  // a cycle is a nanosecond
  report.tiles.push_back(TileProfile{
      7,
      {make_sample(1000, 1010, "add", "op a", ProfileStepKind::Compute,
                   {{"block", "1"}, {"layer", "2"}, {"block", "3"}}),
       make_sample(1005, 1020, "", "op b", ProfileStepKind::Exchange),
       make_sample(1010, 1030, "", "", ProfileStepKind::Idle)}});
  report.tiles.push_back(TileProfile{2, {make_sample(50, 60, "mul", "op c")}});
  TraceStats stats;
  const std::string text = trace_text(report, {}, {}, &stats);
  EXPECT_EQ(stats, (TraceStats{4, 3, 2, false}));
  const ParsedTrace trace = parsed(text);
  EXPECT_EQ(check_trace(trace), std::nullopt);

  // Tracks: tid = tile + 1 (+ 2^24 per extra lane), pid above them all,
  // sort index = tile * 2 + lane.
  std::vector<std::tuple<std::uint64_t, std::string, std::uint64_t>> tracks;
  const std::vector<ParsedEvent> metadata = events_of(trace, "M");
  for (std::size_t i = 0; i + 1 < metadata.size(); ++i) {
    if (metadata[i].name == "thread_name") {
      tracks.emplace_back(*metadata[i].tid, metadata[i].arg_name,
                          metadata[i + 1].sort_index);
    }
  }
  const std::uint64_t lane2 = std::uint64_t{1} << 24;
  EXPECT_EQ(
      tracks,
      (std::vector<std::tuple<std::uint64_t, std::string, std::uint64_t>>{
          {3, "tile 2", 4}, {8, "tile 7", 14}, {8 + lane2, "tile 7 (2)", 15}}));
  EXPECT_EQ(metadata.front().pid, 9 + lane2);

  // Complete events in report order, named by kernel, then operation, then
  // kind; metadata with a repeated name as an array.
  const std::vector<ParsedEvent> events = events_of(trace, "X");
  ASSERT_EQ(events.size(), 4U);
  EXPECT_EQ(events[0].name, "add");
  EXPECT_EQ(events[1].name, "op b");
  EXPECT_EQ(events[2].name, "idle");
  EXPECT_EQ(events[3].name, "mul");
  EXPECT_EQ(events[1].cat, "exchange");
  EXPECT_EQ(*events[1].tid, 8 + lane2);
  EXPECT_EQ(*events[2].tid, 8U);  // lane 0 is free again at 1010
  EXPECT_EQ(events[0].metadata, "block=[1,3];layer=2");
  EXPECT_EQ(events[2].ts_text, "0.010");
  EXPECT_EQ(events[2].dur_text, "0.020");
  EXPECT_EQ(events[3].offset_cycles, 0U);
  EXPECT_EQ(events[0].operation, "op a");
}

TEST(WriteTrace, NamingChoicesAndMinimalArgs) {
  ProfileReport report;
  report.clock_hz = 1;
  report.tiles.push_back(TileProfile{
      0,
      {make_sample(0, 1, "k", "op"),
       make_sample(1, 2, "k", "", ProfileStepKind::Synchronization)}});
  TraceSettings settings;
  settings.name_by = TraceName::Operation;
  settings.minimal_args = true;
  const ParsedTrace by_operation = parsed(trace_text(report, {}, settings));
  EXPECT_EQ(check_trace(by_operation), std::nullopt);
  const std::vector<ParsedEvent> events = events_of(by_operation, "X");
  ASSERT_EQ(events.size(), 2U);
  EXPECT_EQ(events[0].name, "op");
  EXPECT_EQ(events[1].name, "synchronization");
  EXPECT_FALSE(events[0].has_args);
  EXPECT_EQ(events[1].ts_text, "1000000.000");  // one cycle per second

  settings.name_by = TraceName::Kind;
  EXPECT_EQ(events_of(parsed(trace_text(report, {}, settings)), "X")[0].name,
            "compute");
}

TEST(WriteTrace, StringsStayRawUtf8WithControlsEscaped) {
  ProfileReport report;
  const std::string kernel =
      "gr\xc3\xbc\xc3\x9f"
      "e \xf0\x9f\x98\x80 \"q\"\\";
  const std::string operation = "line\nbreak\x1b[2J";
  report.tiles.push_back(TileProfile{
      0,
      {make_sample(0, 5, kernel, operation, ProfileStepKind::Compute,
                   {{"\xe2\x82\xac", "\t"}})}});
  const std::string text = trace_text(report);
  EXPECT_NE(text.find("gr\xc3\xbc\xc3\x9f"
                      "e \xf0\x9f\x98\x80 \\\"q\\\"\\\\"),
            std::string::npos);
  EXPECT_EQ(text.find("\\ud83d"), std::string::npos);
  EXPECT_NE(text.find("line\\nbreak\\u001b[2J"), std::string::npos);
  const std::vector<ParsedEvent> events = events_of(parsed(text), "X");
  ASSERT_EQ(events.size(), 1U);
  EXPECT_EQ(events[0].kernel, kernel);
  EXPECT_EQ(events[0].operation, operation);
  EXPECT_EQ(events[0].metadata, "\xe2\x82\xac=\t");
}

TEST(WriteTrace, HugeTileNumbersGetSequentialTids) {
  ProfileReport report;
  report.clock_hz = 1000;
  report.tiles.push_back(TileProfile{
      4294967295U, {make_sample(0, 10, "a"), make_sample(5, 15, "b")}});
  report.tiles.push_back(TileProfile{3, {make_sample(0, 10, "c")}});
  TraceStats stats;
  const ParsedTrace trace = parsed(trace_text(report, {}, {}, &stats));
  EXPECT_TRUE(stats.sequential_tids);
  EXPECT_EQ(check_trace(trace), std::nullopt);
  const std::vector<ParsedEvent> events = events_of(trace, "X");
  ASSERT_EQ(events.size(), 3U);
  EXPECT_EQ(*events[0].tid, 2U);  // tile 3 is track 1
  EXPECT_EQ(*events[1].tid, 3U);
  EXPECT_EQ(*events[2].tid, 1U);
  EXPECT_EQ(events[0].pid, 4U);
}

TEST(WriteTrace, EmptyMatchStillGivesAValidTrace) {
  ProfileReport report;
  report.tiles.push_back(TileProfile{0, {make_sample(0, 10, "a")}});
  Query query;
  query.kernel = "none";
  const ParsedTrace trace = parsed(trace_text(report, query));
  EXPECT_EQ(check_trace(trace), std::nullopt);
  EXPECT_TRUE(events_of(trace, "X").empty());
}

// A generated profile of 100000 samples, with every seventh sample stretched
// over its successor so tiles need extra lanes, and a filtered window.
TEST(WriteTrace, GeneratedProfileReadsBackWithLanesAndTimes) {
  ProfileReport report =
      zyl_package::generate_report(zyl_package::options_for_total(100000, 64));
  std::size_t stretched = 0;
  for (TileProfile& tile : report.tiles) {
    for (std::size_t i = 0; i < tile.samples.size(); i += 7) {
      tile.samples[i].end_cycle += 3000;
      ++stretched;
    }
  }
  TraceStats stats;
  const ParsedTrace trace = parsed(trace_text(report, {}, {}, &stats));
  EXPECT_EQ(check_trace(trace), std::nullopt);
  EXPECT_EQ(events_of(trace, "X").size(), 100000U);
  EXPECT_EQ(stats.event_count, 100000U);
  EXPECT_GE(max_lanes(trace), 2U);
  EXPECT_EQ(max_lanes(trace), stats.max_lanes);
  EXPECT_GT(stretched, 10000U);

  Query window;
  window.kind = StepKind::Compute;
  window.from_offset = 10000;
  window.to_offset = 200000;
  window.tiles = {0, 1, 2, 3, 60};
  const QueryReport expected =
      zyl_profile::query(zyl_package::to_columns(report), window);
  const ParsedTrace cut = parsed(trace_text(report, window));
  EXPECT_EQ(check_trace(cut), std::nullopt);
  const std::vector<ParsedEvent> events = events_of(cut, "X");
  EXPECT_EQ(events.size(), expected.matched_sample_count);
  for (const ParsedEvent& event : events) {
    ASSERT_EQ(event.cat, "compute");
    ASSERT_LT(event.offset_cycles, 200000U);
    ASSERT_GT(event.offset_cycles + event.duration_cycles, 10000U);
  }
}

}  // namespace
}  // namespace zyl_profile::cli

namespace zyl_profile::cli {
namespace {

template <typename Command>
Command parse_as(std::vector<std::string> args) {
  ParseResult result = parse_options(args);
  if (const auto* error = std::get_if<UsageError>(&result)) {
    ADD_FAILURE() << "usage error: " << error->message;
    return {};
  }
  const auto* command = std::get_if<Command>(&std::get<Options>(result));
  if (command == nullptr) {
    ADD_FAILURE() << "another command";
    return {};
  }
  return *command;
}

// trace, diff and export read the query's filters through its own
// declarations, so one command line gives the same Query everywhere.
TEST(ParseOptions, NewCommandsTakeTheQueryFiltersExactly) {
  const std::vector<std::string> filters{"--kind",
                                         "compute",
                                         "--kernel",
                                         "",
                                         "--operation-contains",
                                         "mat",
                                         "--tile",
                                         "1,3-4",
                                         "--phase",
                                         "2",
                                         "--metadata",
                                         "block=1",
                                         "--at-offset",
                                         "40",
                                         "--from",
                                         "25%",
                                         "--to",
                                         "900",
                                         "--max-depth",
                                         "9"};
  std::vector<std::string> query_args{"query", "r.json"};
  query_args.insert(query_args.end(), filters.begin(), filters.end());
  const QueryCommand query = parse_as<QueryCommand>(query_args);

  std::vector<std::string> trace_args{"trace", "r.json", "-o", "t.json"};
  trace_args.insert(trace_args.end(), filters.begin(), filters.end());
  const TraceCommand trace = parse_as<TraceCommand>(trace_args);
  EXPECT_EQ(trace.query, query.query);
  EXPECT_EQ(trace.from, query.from);
  EXPECT_EQ(trace.to, query.to);
  EXPECT_EQ(trace.limits.max_depth, 9U);
  EXPECT_EQ(trace.output, "t.json");
  EXPECT_EQ(trace.name_by, TraceName::Kernel);

  std::vector<std::string> diff_args{"diff", "a.json", "b.json"};
  diff_args.insert(diff_args.end(), filters.begin(), filters.end());
  const DiffCommand diff = parse_as<DiffCommand>(diff_args);
  EXPECT_EQ(diff.query, query.query);
  EXPECT_EQ(diff.from, query.from);
  EXPECT_EQ(diff.base, "a.json");
  EXPECT_EQ(diff.next, "b.json");

  std::vector<std::string> export_args{"export", "r.json", "-o", "s.jsonl"};
  export_args.insert(export_args.end(), filters.begin(), filters.end());
  const ExportCommand exported = parse_as<ExportCommand>(export_args);
  EXPECT_EQ(exported.query, query.query);
  EXPECT_EQ(exported.to, query.to);
  EXPECT_EQ(exported.format, ExportFormat::Jsonl);  // by the extension
}

TEST(ParseOptions, NewCommandsOwnOptions) {
  const TraceCommand trace =
      parse_as<TraceCommand>({"trace", "r.json", "--output=t.json", "--name-by",
                              "kind", "--minimal-args"});
  EXPECT_EQ(trace.name_by, TraceName::Kind);
  EXPECT_TRUE(trace.minimal_args);
  const DiffCommand diff = parse_as<DiffCommand>(
      {"diff", "a.json", "b.json", "--group-by", "tile", "--limit", "4",
       "--format", "csv", "--threads", "2", "--fail-above", "2.5%"});
  EXPECT_EQ(diff.query.group_by, GroupBy::Tile);
  EXPECT_EQ(diff.query.limit, 4U);
  EXPECT_EQ(diff.format, OutputFormat::Csv);
  EXPECT_EQ(diff.threads, 2U);
  EXPECT_EQ(diff.fail_above, (Percentage{25, 10}));
  EXPECT_EQ(
      parse_as<DiffCommand>({"diff", "a", "b", "--fail-above", "0"}).fail_above,
      (Percentage{0, 1}));
  EXPECT_EQ(parse_as<ExportCommand>(
                {"export", "r.json", "-o", "s.jsonl", "--format", "csv"})
                .format,
            ExportFormat::Csv);

  struct Row {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Row> rows{
      {{"trace", "r.json"}, "--output is required"},
      {{"trace", "r.json", "-o", "t", "--name-by", "tile"},
       "--name-by: expected one of kernel, operation, kind, found 'tile'"},
      {{"trace", "r.json", "-o", "t", "--sort-by", "name"}, "--sort-by"},
      {{"diff", "a.json"}, "NEW is required"},
      {{"diff", "a", "b", "--sample-limit", "3"}, "--sample-limit"},
      {{"diff", "a", "b", "--fail-above", "-1"},
       "--fail-above: expected a percentage such as 10 or 2.5 (at most 6 "
       "decimals), found '-1'"},
      {{"diff", "a", "b", "--fail-above", ".5"},
       "--fail-above: expected a percentage such as 10 or 2.5 (at most 6 "
       "decimals), found '.5'"},
      {{"export", "r.json", "-o", ""},
       "--output: expected a file name, found ''"},
      {{"export", "r.json", "-o", "x", "--kind", "a", "--kind", "b"},
       "--kind: given more than once"},
  };
  for (const Row& row : rows) {
    const ParseResult result = parse_options(row.args);
    const auto* error = std::get_if<UsageError>(&result);
    ASSERT_NE(error, nullptr) << row.args[0] << " " << row.message;
    EXPECT_NE(error->message.find(row.message), std::string::npos)
        << error->message;
  }
}

}  // namespace
}  // namespace zyl_profile::cli
