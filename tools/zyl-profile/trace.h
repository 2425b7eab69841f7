// `zyl-profile trace`: the matching samples as a Trace Event Format timeline
// that the Perfetto UI and chrome://tracing open, one track per tile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "commands.h"
#include "options.h"
#include "zyl_profile/query.h"

namespace zyl_profile::cli {

// How the events are named and what they carry.
struct TraceSettings {
  TraceName name_by = TraceName::Kernel;
  bool minimal_args = false;  // no `args` object on the events

  bool operator==(const TraceSettings&) const = default;
};

// What write_trace wrote.
struct TraceStats {
  std::size_t event_count = 0;   // complete events, one per matching sample
  std::size_t track_count = 0;   // (tile, lane) tracks
  std::uint32_t max_lanes = 0;   // most lanes one tile needed
  bool sequential_tids = false;  // tile numbers too large for the
                                 // physical_tile + 1 + lane * 2^24 scheme,
                                 // so tracks are numbered 1, 2, ... instead

  bool operator==(const TraceStats&) const = default;
};

// Writes the samples of `columns` that match `query` (whose window is already
// resolved) to `out` as one Trace Event JSON object: displayTimeUnit "ns",
// otherData, then traceEvents with the process and track metadata events
// followed by one complete event per sample in report order. Each tile is a
// thread with tid = physical_tile + 1; samples overlapping an earlier one of
// the same tile go to extra lanes (tid + lane * 2^24) named "tile N (2)" and
// so on; the pid is one more than the largest tid. Times come from the
// normalised offsets at the report's clock (one cycle per nanosecond when it
// is 0). Throws only what `out` throws.
TraceStats write_trace(const ProfileColumns& columns, const Query& query,
                       const TraceSettings& settings, std::ostream& out);

// The `ts` and `dur` texts of a sample, in microseconds with exactly three
// decimals: start and end are each rounded to the nearest nanosecond (halves
// up) at `clock_hz` and `dur` is their difference, so a sample that ends
// where the next begins never overlaps it. Exact for every u64 offset and
// clock; a clock of 0 counts one cycle as one nanosecond.
struct TraceTime {
  std::string ts;
  std::string dur;

  bool operator==(const TraceTime&) const = default;
};
[[nodiscard]] TraceTime trace_time(std::uint64_t offset, std::uint32_t duration,
                                   std::uint64_t clock_hz);

// A half-open interval [start, end) of cycles.
struct Interval {
  std::uint64_t start = 0;
  std::uint64_t end = 0;

  bool operator==(const Interval&) const = default;
};

// Returns the lane of each interval of one track: taken in order of start
// (then end, then position), each goes to the lowest-numbered lane whose
// intervals have all ended by its start, or to a new lane. No two intervals
// of a lane overlap. O(n log n).
[[nodiscard]] std::vector<std::uint32_t> assign_lanes(
    std::span<const Interval> intervals);

// Runs `zyl-profile trace`: opens the report, writes the trace atomically and
// notes on stderr when the clock is unknown or the tids had to be sequential.
[[nodiscard]] ExitCode run_trace(const TraceCommand& command);

}  // namespace zyl_profile::cli
