// write_trace and its steps (samples placed on lanes, track metadata, the
// events), the microsecond spelling of times that viewers add up in doubles,
// and the trace command itself.
#include "trace.h"

#include <algorithm>
#include <array>
#include <charconv>  // std::to_chars, std::from_chars
#include <cmath>     // std::nextafter
#include <functional>
#include <limits>
#include <queue>
#include <string_view>
#include <tuple>
#include <utility>

#include "format/json_writer.h"
#include "samples.h"
#include "zyl_package/atomic_file.h"

namespace zyl_profile::cli {
namespace {

// 128-bit integers keep offset * 10^9 exact for every u64 offset.
__extension__ using Uint128 = unsigned __int128;

constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;
constexpr std::uint32_t kLaneShift = 24;  // tid = tile + 1 + lane * 2^24
constexpr std::uint64_t kMaxId = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kFlushBytes = std::size_t{1} << 20;

// Returns `cycles` in nanoseconds at `clock_hz`, rounded half up; below
// 2^64 * 2 * 10^9 + 2^64 < 2^96, so nothing overflows.
Uint128 to_nanoseconds(Uint128 cycles, std::uint64_t clock_hz) {
  if (clock_hz == 0) return cycles;
  return (cycles * (2 * kNanosPerSecond) + clock_hz) / (Uint128{2} * clock_hz);
}

// Appends nanoseconds as microseconds with exactly three decimals.
void append_micros(Uint128 nanos, std::string& out) {
  std::array<char, 40> digits{};
  std::size_t count = 0;
  Uint128 whole = nanos / 1000;
  do {
    digits[count++] = static_cast<char>('0' + static_cast<int>(whole % 10));
    whole /= 10;
  } while (whole != 0);
  while (count > 0) out += digits[--count];
  const auto fraction = static_cast<unsigned>(nanos % 1000);
  out += '.';
  out += static_cast<char>('0' + fraction / 100);
  out += static_cast<char>('0' + fraction / 10 % 10);
  out += static_cast<char>('0' + fraction % 10);
}

// Returns the double a viewer reads from append_micros(nanos): the one
// nearest nanos / 1000. Below 2^53 both operands of the division are exact
// and IEEE division rounds once, to that same double; above, the text itself
// is read.
double micros_value(Uint128 nanos) {
  if (nanos < (Uint128{1} << 53)) {
    return static_cast<double>(static_cast<std::uint64_t>(nanos)) / 1000.0;
  }
  std::string text;
  append_micros(nanos, text);
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

// Returns a duration d >= 0 with x + d <= y in doubles, for 0 <= x <= y; see
// trace_time for why it exists.
double fit_between(double x, double y) {
  const double d = y - x;
  return x + d <= y ? d : std::nextafter(d, 0.0);
}

// Appends the shortest fixed-notation text that reads back as `value`
// (never an exponent, which not every trace reader accepts).
void append_shortest_micros(double value, std::string& out) {
  std::array<char, 128> text{};
  const auto result = std::to_chars(text.data(), text.data() + text.size(),
                                    value, std::chars_format::fixed);
  out.append(text.data(), result.ptr);
}

// One matching sample's place among the tracks.
struct Placed {
  std::uint32_t tile = 0;
  std::uint64_t start = 0;  // cycles on the tile's timeline
  std::uint64_t end = 0;
  std::uint32_t ordinal = 0;  // position among the matches, report order
  std::uint32_t lane = 0;
};

// Gives each of `run` (one tile's samples, sorted by start, end, ordinal) its
// lane and returns how many lanes the tile needs. Lanes are taken on the
// nanosecond grid the trace is drawn on (`clock_hz` 0 keeps the cycles),
// since what viewers compare is the rounded times: samples a cycle apart may
// share a nanosecond.
std::uint32_t place_in_lanes(std::span<Placed> run, std::uint64_t clock_hz) {
  // A lane is free once its last sample has ended, except that an empty
  // sample keeps it from a longer one starting at the same time: speedscope
  // sorts the longer one first, then meets the empty one's end before the
  // longer one's start and leaves the longer one open to the end of the
  // track. Keyed (end, empty), an empty sample at t frees its lane for
  // (t, empty) but not for (t, longer).
  using Busy = std::tuple<Uint128, bool, std::uint32_t>;  // lane last
  std::priority_queue<Busy, std::vector<Busy>, std::greater<>> busy;
  std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>>
      free;
  std::uint32_t lanes = 0;
  for (Placed& sample : run) {
    const Uint128 start = to_nanoseconds(sample.start, clock_hz);
    const Uint128 end = to_nanoseconds(sample.end, clock_hz);
    const bool empty = end == start;
    while (!busy.empty() &&
           std::tie(std::get<0>(busy.top()), std::get<1>(busy.top())) <=
               std::tie(start, empty)) {
      free.push(std::get<2>(busy.top()));
      busy.pop();
    }
    if (free.empty()) {
      sample.lane = lanes++;
    } else {
      sample.lane = free.top();
      free.pop();
    }
    busy.emplace(end, empty, sample.lane);
  }
  return lanes;
}

bool by_track_then_time(const Placed& left, const Placed& right) {
  return std::tie(left.tile, left.start, left.end, left.ordinal) <
         std::tie(right.tile, right.start, right.end, right.ordinal);
}

// One (tile, lane) thread of the trace.
struct Track {
  std::uint32_t tile = 0;
  std::uint32_t lane = 0;
  std::uint64_t tid = 0;
  std::uint64_t sort_index = 0;  // lower is drawn higher
  std::uint64_t origin = 0;      // smallest offset on the track, cycles
};

// Where every matching sample goes, worked out before anything is written so
// that the track metadata can come first and the events follow in report
// order.
struct Layout {
  std::vector<Track> tracks;            // tile, then lane order
  std::vector<std::uint32_t> track_of;  // track index of each match, in order
  std::uint64_t pid = 0;
  TraceStats stats;
};

// tid = tile + 1 + lane * 2^24 needs distinct values that fit in u32 with
// room for the pid above them; otherwise tracks are numbered in order.
bool needs_sequential_tids(std::uint64_t max_tile, std::uint32_t max_lanes) {
  const std::uint64_t lanes_above = max_lanes > 1 ? max_lanes - 1 : 0;
  if (lanes_above == 0) return max_tile + 1 >= kMaxId;
  return max_tile + 1 >= (std::uint64_t{1} << kLaneShift) ||
         (lanes_above << kLaneShift) + max_tile + 1 >= kMaxId;
}

// Gives the tracks of `layout` (tile, then lane order) their tids, sort
// indexes and the pid above them.
void number_tracks(Layout& layout) {
  const std::uint64_t max_tile =
      layout.tracks.empty() ? 0 : layout.tracks.back().tile;
  layout.stats.sequential_tids =
      needs_sequential_tids(max_tile, layout.stats.max_lanes);
  std::uint64_t max_tid = 0;
  for (std::size_t i = 0; i < layout.tracks.size(); ++i) {
    Track& track = layout.tracks[i];
    const std::uint64_t lane = track.lane;
    track.tid = layout.stats.sequential_tids
                    ? i + 1
                    : track.tile + 1 + (lane << kLaneShift);
    // Tiles in numeric order, each tile's lanes together.
    track.sort_index =
        layout.stats.sequential_tids
            ? i
            : std::uint64_t{track.tile} * layout.stats.max_lanes + lane;
    max_tid = std::max(max_tid, track.tid);
  }
  layout.pid = max_tid + 1;
}

// Collects the matching samples and places them on lanes and tracks.
Loaded<Layout> place_samples(const ProfileSet& profile, const Query& query) {
  std::vector<Placed> placed;
  const Loaded<Walked> walked =
      walk_matches(profile, query, [&](const SetMatch& match) {
        placed.push_back(Placed{match.physical_tile, match.offset,
                                match.offset + match.duration,
                                static_cast<std::uint32_t>(placed.size()), 0});
      });
  if (!walked.ok()) return walked.error();
  const std::uint64_t clock_hz = walked.value().clock_hz;
  std::sort(placed.begin(), placed.end(), by_track_then_time);

  Layout layout;
  layout.stats.clock_hz = clock_hz;
  layout.stats.event_count = placed.size();
  std::vector<std::size_t> first_track;  // per run of one tile
  for (std::size_t i = 0; i < placed.size();) {
    std::size_t end = i;
    while (end < placed.size() && placed[end].tile == placed[i].tile) ++end;
    const std::uint32_t lanes =
        place_in_lanes(std::span(placed).subspan(i, end - i), clock_hz);
    first_track.push_back(layout.tracks.size());
    for (std::uint32_t lane = 0; lane < lanes; ++lane) {
      layout.tracks.push_back(Track{placed[i].tile, lane, 0, 0,
                                    std::numeric_limits<std::uint64_t>::max()});
    }
    layout.stats.max_lanes = std::max(layout.stats.max_lanes, lanes);
    i = end;
  }
  layout.stats.track_count = layout.tracks.size();
  number_tracks(layout);

  layout.track_of.resize(placed.size());
  std::size_t run = 0;
  for (std::size_t i = 0; i < placed.size(); ++i) {
    if (i > 0 && placed[i].tile != placed[i - 1].tile) ++run;
    const std::size_t index = first_track[run] + placed[i].lane;
    layout.track_of[placed[i].ordinal] = static_cast<std::uint32_t>(index);
    Track& track = layout.tracks[index];
    track.origin = std::min(track.origin, placed[i].start);
  }
  return layout;
}

// Hands the text to the stream in large pieces; the JSON writer keeps only
// the nesting, so the text may be emptied between events.
class Sink {
 public:
  explicit Sink(std::ostream& out) : out_(out) { text_.reserve(kFlushBytes); }
  std::string& text() { return text_; }
  void maybe_flush() {
    if (text_.size() >= kFlushBytes) flush();
  }
  void flush() {
    out_.write(text_.data(), static_cast<std::streamsize>(text_.size()));
    text_.clear();
  }

 private:
  std::ostream& out_;
  std::string text_;
};

void write_other_data(const Layout& layout, JsonWriter& json) {
  const std::uint64_t clock_hz = layout.stats.clock_hz;
  json.key("otherData")
      .begin_object()
      .field("generator", "zyl-profile")
      .field("version", ZYL_PROFILE_VERSION)
      .field("clock_hz", clock_hz)
      .field("time_base",
             clock_hz == 0
                 ? "per-tile normalised timeline (each tile's first sample is "
                   "at 0); clock_hz is 0, so one cycle is shown as one "
                   "nanosecond"
                 : "per-tile normalised timeline (each tile's first sample is "
                   "at 0); ts = offset_cycles / clock_hz, in microseconds, "
                   "start and end rounded to whole nanoseconds; ts + dur "
                   "added as doubles never passes the end")
      .field("samples", layout.stats.event_count)
      .field("max_lanes", layout.stats.max_lanes)
      .field("tids", layout.stats.sequential_tids
                         ? "tracks numbered 1, 2, ... in tile and lane order"
                         : "physical_tile + 1 + lane * 2^24")
      .end();
}

// One metadata event naming or ordering the process (no tid) or a track.
template <typename Value>
void append_metadata_event(JsonWriter& json, std::string_view name,
                           std::uint64_t pid, std::optional<std::uint64_t> tid,
                           std::string_view arg, const Value& value) {
  json.begin_object().field("ph", "M").field("name", name).field("pid", pid);
  if (tid) json.field("tid", *tid);
  json.field("ts", 0).key("args").begin_object().field(arg, value).end().end();
}

// The process, then a name and a sort index for every track.
void write_track_metadata(const Layout& layout, JsonWriter& json) {
  append_metadata_event(json, "process_name", layout.pid, std::nullopt, "name",
                        "zyl profile");
  append_metadata_event(json, "process_sort_index", layout.pid, std::nullopt,
                        "sort_index", 0);
  for (const Track& track : layout.tracks) {
    std::string name = "tile " + std::to_string(track.tile);
    if (track.lane > 0) name += " (" + std::to_string(track.lane + 1) + ")";
    append_metadata_event(json, "thread_name", layout.pid, track.tid, "name",
                          name);
    append_metadata_event(json, "thread_sort_index", layout.pid, track.tid,
                          "sort_index", track.sort_index);
  }
}

std::string_view event_name(std::string_view kernel, std::string_view operation,
                            std::string_view kind, TraceName name_by) {
  switch (name_by) {
    case TraceName::Kernel:
      if (!kernel.empty()) return kernel;
      [[fallthrough]];
    case TraceName::Operation:
      if (!operation.empty()) return operation;
      [[fallthrough]];
    case TraceName::Kind:
      break;
  }
  return kind;
}

// Writes the metadata as an object, the form Perfetto flattens into args.*
// keys; a name that repeats becomes an array of its values, since duplicate
// keys are lost by most JSON readers.
void write_metadata_object(const ProfileColumns& columns,
                           std::span<const zyl_package::MetadataPair> metadata,
                           std::vector<std::uint32_t>& order,
                           JsonWriter& json) {
  order_by_name(columns, metadata, order);
  const auto name = [&](std::size_t i) {
    return columns.string(metadata[order[i]].name);
  };
  const auto value = [&](std::size_t i) {
    return columns.string(metadata[order[i]].value);
  };
  json.begin_object();
  for (std::size_t i = 0; i < order.size();) {
    std::size_t end = i + 1;
    while (end < order.size() && name(end) == name(i)) ++end;
    json.key(name(i));
    if (end - i == 1) {
      json.string(value(i));
    } else {
      json.begin_array();
      for (std::size_t j = i; j < end; ++j) json.string(value(j));
      json.end();
    }
    i = end;
  }
  json.end();
}

// One complete event per matching sample, in report order.
Loaded<Walked> write_events(const ProfileSet& profile, const Query& query,
                            const TraceSettings& settings, const Layout& layout,
                            JsonWriter& json, Sink& sink) {
  std::size_t ordinal = 0;
  std::vector<std::uint32_t> order;
  return walk_matches(profile, query, [&](const SetMatch& match) {
    const ProfileColumns& columns = match.columns;
    const std::size_t sample = match.sample;
    const std::uint64_t offset = match.offset;
    const std::uint32_t length = match.duration;
    // The first walk placed every sample the second one visits; a
    // file that changed in between must not index past the layout.
    if (ordinal >= layout.track_of.size()) return;
    const Track& track = layout.tracks[layout.track_of[ordinal++]];
    const TraceTime time =
        trace_time(offset, length, layout.stats.clock_hz, track.origin);
    const std::string_view kernel = columns.string(columns.kernel[sample]);
    const std::string_view operation =
        columns.string(columns.operation[sample]);
    const std::string_view kind = sample_kind_name(columns, sample);
    json.begin_object()
        .field("ph", "X")
        .field("name", event_name(kernel, operation, kind, settings.name_by))
        .field("cat", kind)
        .field("pid", layout.pid)
        .field("tid", track.tid)
        .key("ts")
        .number_text(time.ts)
        .key("dur")
        .number_text(time.dur);
    if (settings.args != TraceArgs::None) {
      json.key("args")
          .begin_object()
          .field("operation", operation)
          .field("kernel", kernel)
          .field("kind", kind);
      if (settings.args == TraceArgs::Full) {
        json.field("phase", columns.phase[sample])
            .field("epoch", columns.epoch[sample])
            .field("physical_tile", match.physical_tile)
            .field("offset_cycles", offset)
            .field("duration_cycles", length)
            .field("start_cycle", columns.start_cycle[sample])
            .field("end_cycle", columns.end_cycle[sample])
            .key("metadata");
        write_metadata_object(columns, columns.list(columns.metadata[sample]),
                              order, json);
      }
      json.end();
    }
    json.end();
    sink.maybe_flush();
  });
}

}  // namespace

// Why `dur` is spelled this way. Let S and E be a sample's start and end in
// whole nanoseconds and fl(x) the double nearest x. A viewer reads `ts` as
// a = fl(S/1000), and the `ts` of a sample starting at E as b = fl(E/1000).
// speedscope and chrome://tracing draw the end at fl(a + d), d being `dur` as
// read; speedscope first moves every ts of a track back by the track's
// smallest, o, so it compares fl(fl(a - o) + d) with fl(b - o). An end drawn
// past the next start makes the next sample, and every later one of the
// track, look nested in this one. With d = fl((E-S)/1000) the sum can pass b
// by one unit in the last place (336.624 + 0.749 = 337.37300000000005 >
// 337.373), so:
//
// 1. If d = fl((E-S)/1000) keeps a + d <= b and (a-o) + d <= b-o, `dur` is
//    (E-S)/1000 with three decimals.
// 2. Otherwise it is the shortest text of min(fit(a, b), fit(a-o, b-o)), with
//    fit(x, y) for doubles 0 <= x <= y being z = fl(y - x), or the double
//    below z when fl(x + z) > y. Then fl(x + fit(x, y)) <= y: if x >= y/2,
//    y - x is exact (Sterbenz) and x + z = y. Otherwise y/2 <= z <= y and
//    z = (y - x) + e with |e| <= ulp(z)/2. If e <= 0, x + z <= y already. If
//    e > 0, the double below z is z - ulp(z), or z - ulp(z)/2 when z is a
//    power of two, and then y - x rounded down onto z across doubles
//    ulp(z)/2 apart, so e <= ulp(z)/4; either way x + z' <= y exactly, and
//    rounding cannot lift it past the double y. Each condition holds for
//    every smaller d too, so the smaller fit satisfies both, and the
//    shortest text reads back as that very double.
//
// A later start S' >= E reads as fl(S'/1000) >= b, so no sample of a lane
// overlaps the next in these viewers. Perfetto reads llround(d * 1000): case
// 1 gives E - S; case 2 stays within 4 ulp(b) of (E-S)/1000, plus the
// product's rounding, under half a nanosecond while b < 2^38 microseconds.
TraceTime trace_time(std::uint64_t offset, std::uint32_t duration,
                     std::uint64_t clock_hz, std::uint64_t track_origin) {
  const Uint128 start = to_nanoseconds(offset, clock_hz);
  const Uint128 end = to_nanoseconds(Uint128{offset} + duration, clock_hz);
  TraceTime time;
  append_micros(start, time.ts);
  const double a = micros_value(start);
  const double b = micros_value(end);
  const double o = micros_value(to_nanoseconds(track_origin, clock_hz));
  const double three_decimals = micros_value(end - start);
  if (a + three_decimals <= b && (a - o) + three_decimals <= b - o) {
    append_micros(end - start, time.dur);
  } else {
    append_shortest_micros(
        std::min(fit_between(a, b), fit_between(a - o, b - o)), time.dur);
  }
  return time;
}

std::vector<std::uint32_t> assign_lanes(std::span<const Interval> intervals) {
  std::vector<Placed> placed;
  placed.reserve(intervals.size());
  for (std::size_t i = 0; i < intervals.size(); ++i) {
    placed.push_back(Placed{0, intervals[i].start, intervals[i].end,
                            static_cast<std::uint32_t>(i), 0});
  }
  std::sort(placed.begin(), placed.end(), by_track_then_time);
  place_in_lanes(placed, 0);
  std::vector<std::uint32_t> lanes(intervals.size());
  for (const Placed& sample : placed) lanes[sample.ordinal] = sample.lane;
  return lanes;
}

Loaded<TraceStats> write_trace(const ProfileSet& profile, const Query& query,
                               const TraceSettings& settings, std::ostream& out,
                               std::vector<std::string>* notes) {
  const Loaded<Layout> placed = place_samples(profile, query);
  if (!placed.ok()) return placed.error();
  const Layout& layout = placed.value();
  Sink sink(out);
  JsonWriter json(sink.text());
  json.begin_object(JsonLayout::Lines).field("displayTimeUnit", "ns");
  write_other_data(layout, json);
  json.key("traceEvents").begin_array(JsonLayout::Lines);
  write_track_metadata(layout, json);
  sink.maybe_flush();
  Loaded<Walked> walked =
      write_events(profile, query, settings, layout, json, sink);
  if (!walked.ok()) return walked.error();
  if (notes != nullptr) *notes = std::move(walked.value().notes);
  json.end().end();
  sink.text() += '\n';
  sink.flush();
  return layout.stats;
}

TraceStats write_trace(const ProfileColumns& columns, const Query& query,
                       const TraceSettings& settings, std::ostream& out) {
  const Loaded<TraceStats> stats =
      write_trace(ProfileSet::of(columns), query, settings, out);
  // A profile in memory has nothing left to fail on.
  return stats.ok() ? stats.value() : TraceStats{};
}

ExitCode run_trace(const TraceCommand& command) {
  const std::optional<ProfileSet> profile = open_set(
      command.reports,
      open_options(command.selection.limits, command.selection.concatenate));
  if (!profile) return ExitCode::ReadError;
  TraceSettings settings;
  settings.name_by = command.name_by;
  settings.args = command.args;
  TraceStats stats;
  std::vector<std::string> notes;
  const ExitCode status = write_from_profile(
      command.output, [&](std::ostream& out) -> Loaded<void> {
        Loaded<TraceStats> written = write_trace(
            *profile, command.selection.query, settings, out, &notes);
        if (!written.ok()) return written.error();
        stats = written.value();
        return {};
      });
  if (status != ExitCode::Success) return status;
  for (const std::string& note : notes) print_note(note);
  if (stats.clock_hz == 0) {
    print_note(
        "the report's clock_hz is 0, so the trace shows one cycle as one "
        "nanosecond");
  }
  if (stats.sequential_tids) {
    print_note(
        "the tile numbers or lanes are too large for tid = tile + 1 + lane * "
        "2^24, so the tracks are numbered 1, 2, ... in tile order");
  }
  return ExitCode::Success;
}

}  // namespace zyl_profile::cli
