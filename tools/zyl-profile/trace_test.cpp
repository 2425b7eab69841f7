// write_trace, trace_time and assign_lanes: traces read back with simdjson,
// checked for structure, lanes and nanosecond-exact times.
#include "trace.h"

#include <gtest/gtest.h>

#include <charconv>  // std::from_chars
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "trace_check.h"
#include "zyl_package/generate.h"

namespace zyl_profile::cli {

// Shows a TraceTime in failure messages as its two texts.
void PrintTo(const TraceTime& time, std::ostream* out) {
  *out << "{ts " << time.ts << ", dur " << time.dur << "}";
}

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
      // 336.624 + 0.749 adds up to 337.37300000000005 in doubles, past the
      // next sample's 337.373; this dur lands on it exactly.
      {336624, 749, 1000000000, {"336.624", "0.7489999999999668"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.offset);
    EXPECT_EQ(trace_time(row.offset, row.duration, row.clock_hz), row.expected);
  }
}

// Reads the texts as a browser does and adds them up, measured from 0 and
// from the track origin as speedscope does: the end never passes the next
// start and Perfetto's whole nanoseconds stay those of the cycles.
TEST(TraceTime, SumsOfParsedDoublesStopAtTheEnd) {
  const auto read = [](const std::string& text) {
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
  };
  std::uint64_t state = 12345;
  const auto next = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 20;
  };
  std::size_t long_spellings = 0;
  for (const std::uint64_t clock_hz :
       {1330000000ULL, 1000000007ULL, 999999937ULL, 1000000000ULL,
        3000000ULL}) {
    SCOPED_TRACE(clock_hz);
    for (int i = 0; i < 20000; ++i) {
      const std::uint64_t origin = next() % 4000000000ULL;
      const std::uint64_t offset = origin + next() % 400000000000ULL;
      const auto duration = static_cast<std::uint32_t>(next() % 5000);
      const TraceTime time = trace_time(offset, duration, clock_hz, origin);
      const TraceTime at_end = trace_time(offset + duration, 0, clock_hz);
      const double o = read(trace_time(origin, 0, clock_hz).ts);
      const double ts = read(time.ts);
      const double dur = read(time.dur);
      const double end = read(at_end.ts);
      ASSERT_LE(ts + dur, end) << time.ts << " + " << time.dur;
      ASSERT_LE((ts - o) + dur, end - o) << time.ts << " + " << time.dur;
      ASSERT_EQ(std::llround(ts * 1000) + std::llround(dur * 1000),
                std::llround(end * 1000))
          << time.ts << " + " << time.dur;
      if (time.dur.size() != time.dur.find('.') + 4) ++long_spellings;
    }
  }
  EXPECT_GT(long_spellings, 0U);
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
      // Empty samples end at once, but keep their lane from a longer one
      // starting at the same cycle.
      {{{5, 5}, {5, 5}, {5, 10}}, {0, 0, 1}},
      {{{0, 5}, {5, 5}, {6, 8}}, {0, 0, 0}},
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
  EXPECT_EQ(stats, (TraceStats{report.clock_hz, 4, 3, 2, false}));
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

TEST(WriteTrace, NamingChoicesAndArgs) {
  ProfileReport report;
  report.clock_hz = 1;
  report.tiles.push_back(TileProfile{
      0,
      {make_sample(0, 1, "k", "op", ProfileStepKind::Compute, {{"block", "1"}}),
       make_sample(1, 2, "k", "", ProfileStepKind::Synchronization)}});
  TraceSettings settings;
  settings.name_by = TraceName::Operation;
  settings.args = TraceArgs::None;
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

  // Minimal args are those every sample of one frame shares, so speedscope
  // (which keys frames by name and args) merges the samples of a kernel.
  settings.args = TraceArgs::Minimal;
  const std::string minimal = trace_text(report, {}, settings);
  EXPECT_NE(minimal.find("\"args\":{\"operation\":\"op\",\"kernel\":\"k\","
                         "\"kind\":\"compute\"}}"),
            std::string::npos)
      << minimal;
  EXPECT_EQ(minimal.find("block"), std::string::npos);
  EXPECT_EQ(check_trace(parsed(minimal)), std::nullopt);
  EXPECT_EQ(TraceSettings{}.args, TraceArgs::Full);
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

// Generated profiles at several clocks and seeds, cut by a window so that
// tracks start away from 0: no two samples of a track overlap in any viewer
// that adds ts + dur (checked by check_trace), and the fix is exercised.
TEST(WriteTrace, GeneratedProfilesNeverOverlapWhenDrawn) {
  std::size_t long_spellings = 0;
  for (const std::uint64_t clock_hz :
       {1330000000ULL, 1000000007ULL, 999999937ULL, 2000000000ULL, 0ULL}) {
    for (const std::uint64_t seed : {1ULL, 2ULL, 3ULL}) {
      SCOPED_TRACE(std::to_string(clock_hz) + " seed " + std::to_string(seed));
      zyl_package::GenerateOptions options;
      options.tiles = 6;
      options.samples_per_tile = 1500;
      options.seed = seed;
      options.clock_hz = clock_hz;
      ProfileReport report = zyl_package::generate_report(options);
      for (TileProfile& tile : report.tiles) {
        for (std::size_t i = 0; i < tile.samples.size(); i += 11) {
          tile.samples[i].end_cycle += 2000;  // overlaps for extra lanes
        }
      }
      Query window;
      window.from_offset = 123457;
      for (const Query& query : {Query{}, window}) {
        const ParsedTrace trace = parsed(trace_text(report, query));
        ASSERT_EQ(check_trace(trace), std::nullopt);
        for (const ParsedEvent& event : events_of(trace, "X")) {
          if (event.dur_text.size() != event.dur_text.find('.') + 4) {
            ++long_spellings;
          }
        }
      }
    }
  }
  EXPECT_GT(long_spellings, 0U);
}

}  // namespace
}  // namespace zyl_profile::cli
