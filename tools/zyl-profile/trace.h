// `zyl-profile trace`: the matching samples as a Trace Event Format timeline
// that the Perfetto UI and chrome://tracing open, one track per tile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "options.h"
#include "process.h"
#include "zyl_profile/query.h"

namespace zyl_profile::cli {

// How the events are named and what they carry.
struct TraceSettings {
  TraceName name_by = TraceName::Kernel;
  // Full by default: the Perfetto UI is the primary viewer and pivots on
  // args; speedscope users ask for Minimal.
  TraceArgs args = TraceArgs::Full;

  bool operator==(const TraceSettings&) const = default;
};

// What write_trace wrote.
struct TraceStats {
  std::uint64_t clock_hz = 0;    // the profile's
  std::size_t event_count = 0;   // complete events, one per matching sample
  std::size_t track_count = 0;   // (tile, lane) tracks
  std::uint32_t max_lanes = 0;   // most lanes one tile needed
  bool sequential_tids = false;  // tile numbers too large for the
                                 // physical_tile + 1 + lane * 2^24 scheme,
                                 // so tracks are numbered 1, 2, ... instead

  bool operator==(const TraceStats&) const = default;
};

// Writes the samples of `profile` that match `query` to `out` as one Trace
// Event JSON object: displayTimeUnit "ns",
// otherData, then traceEvents with the process and track metadata events
// followed by one complete event per sample in report order, one per line.
// Each tile is a thread with tid = physical_tile + 1; samples overlapping an
// earlier one of the same tile, in nanoseconds, go to extra lanes (tid + lane *
// 2^24) named "tile N (2)" and so on; the pid is one more than the largest tid.
// Times come from the normalised offsets at the report's clock (one cycle per
// nanosecond when it is 0), spelled by trace_time. Reads the profile twice
// (the lanes, then the events); a shard that cannot be read is the error
// returned. `notes`, when given, receives the notes on what matched.
[[nodiscard]] Loaded<TraceStats> write_trace(
    const ProfileSet& profile, const Query& query,
    const TraceSettings& settings, std::ostream& out,
    std::vector<std::string>* notes = nullptr);

// As above over one profile in memory, which cannot fail.
TraceStats write_trace(const ProfileColumns& columns, const Query& query,
                       const TraceSettings& settings, std::ostream& out);

// The `ts` and `dur` texts of a sample, in microseconds. Start and end are
// each rounded to the nearest nanosecond (halves up) at `clock_hz`, exactly
// for every u64 offset and clock (a clock of 0 counts one cycle as one
// nanosecond); `ts` is the start with exactly three decimals. `dur` is the
// difference with three decimals too, unless a viewer that adds the two as
// doubles would then draw the end past the double of the end itself (and so
// past the next sample's start): then it is the shortest spelling of a double
// that keeps that sum at or before it, both from 0 and from
// `track_origin` (the smallest offset on the sample's track, since
// speedscope measures each track from its first event). Either way Perfetto,
// which rounds ts and dur to nanoseconds separately, reads the same whole
// nanoseconds, for ends below 2^38 microseconds (76 hours).
struct TraceTime {
  std::string ts;
  std::string dur;

  bool operator==(const TraceTime&) const = default;
};
[[nodiscard]] TraceTime trace_time(std::uint64_t offset, std::uint32_t duration,
                                   std::uint64_t clock_hz,
                                   std::uint64_t track_origin = 0);

// A half-open interval [start, end) of cycles.
struct Interval {
  std::uint64_t start = 0;
  std::uint64_t end = 0;

  bool operator==(const Interval&) const = default;
};

// Returns the lane of each interval of one track: taken in order of start
// (then end, then position), each goes to the lowest-numbered lane whose
// intervals have all ended by its start, or to a new lane. No two intervals
// of a lane overlap, and an empty interval shares no lane with a longer one
// starting where it is (speedscope would leave the longer one open). The
// trace applies the same rule to the samples' nanosecond times. O(n log n).
[[nodiscard]] std::vector<std::uint32_t> assign_lanes(
    std::span<const Interval> intervals);

// Runs `zyl-profile trace`: opens the report, writes the trace atomically and
// notes on stderr when the clock is unknown or the tids had to be sequential.
[[nodiscard]] ExitCode run_trace(const TraceCommand& command);

}  // namespace zyl_profile::cli
