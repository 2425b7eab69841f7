// Test support: reads a trace written by `zyl-profile trace` back with
// simdjson and checks the rules the viewers depend on, so the unit tests and
// the end-to-end case judge a trace the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zyl_profile::cli {

// One event as read back; fields an event lacks keep their defaults.
struct ParsedEvent {
  std::string ph;
  std::string name;
  std::string cat;
  std::uint64_t pid = 0;
  std::optional<std::uint64_t> tid;
  std::string ts_text;  // the number exactly as written
  std::string dur_text;
  double ts = 0;  // the texts read as a browser reads them, microseconds
  double dur = 0;
  std::uint64_t ts_ns = 0;  // llround(ts * 1000), as Perfetto reads it
  std::uint64_t dur_ns = 0;
  bool has_args = false;
  bool has_cycles = false;  // args carry the offsets in cycles (full args)
  // Complete events' args.
  std::string operation;
  std::string kernel;
  std::string kind;
  std::uint64_t phase = 0;
  std::uint64_t epoch = 0;
  std::uint64_t physical_tile = 0;
  std::uint64_t offset_cycles = 0;
  std::uint64_t duration_cycles = 0;
  // The metadata object as "name=value;name=[v1,v2]", in written order.
  std::string metadata;
  // Metadata events' args.
  std::string arg_name;
  std::uint64_t sort_index = 0;
};

struct ParsedTrace {
  std::string display_time_unit;
  std::uint64_t clock_hz = 0;  // from otherData
  std::vector<ParsedEvent> events;
};

// Returns the trace in `text`, or what made it unreadable.
[[nodiscard]] std::variant<ParsedTrace, std::string> parse_trace(
    std::string_view text);

// Returns the first rule `trace` breaks, or nothing: displayTimeUnit "ns";
// one process named "zyl profile" whose pid is no tid; every track named
// "tile N" or "tile N (k)" with a sort index that orders tiles and lanes
// numerically; ts with exactly three decimals; every complete event on a
// named track of its own tile; no two consecutive events of a track
// overlapping, neither in Perfetto's whole nanoseconds nor where a viewer
// adding ts + dur in doubles draws them (from 0, and from the track's first
// ts as speedscope does), nor an empty event sharing its ts with a longer
// one of its track; every drawn end at or before the double of the
// nanosecond end and rounding to it; and, when full args are present, ts and
// ts + dur within half a nanosecond of the exact times of the offsets in
// cycles.
[[nodiscard]] std::optional<std::string> check_trace(const ParsedTrace& trace);

// Returns the most lanes any tile of `trace` has.
[[nodiscard]] std::uint32_t max_lanes(const ParsedTrace& trace);

// Returns where the complete events of `trace` differ from the samples of a
// `zyl-profile export --format jsonl` file, compared in order by tile,
// offset, duration, kernel and operation, or nothing when they agree.
[[nodiscard]] std::optional<std::string> compare_with_export(
    const ParsedTrace& trace, std::string_view jsonl);

}  // namespace zyl_profile::cli
