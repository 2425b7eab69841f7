// write_trace and its parts: lanes for overlapping samples, nanosecond-grid
// times, the JSON text of the events; and the trace command itself.
#include "trace.h"

#include <algorithm>
#include <array>
#include <functional>
#include <limits>
#include <queue>
#include <string_view>
#include <utility>

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

void append_u128(Uint128 value, std::string& out) {
  std::array<char, 40> digits{};
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  } while (value != 0);
  while (count > 0) out += digits[--count];
}

// Appends nanoseconds as microseconds with exactly three decimals.
void append_micros(Uint128 nanos, std::string& out) {
  append_u128(nanos / 1000, out);
  const auto fraction = static_cast<unsigned>(nanos % 1000);
  out += '.';
  out += static_cast<char>('0' + fraction / 100);
  out += static_cast<char>('0' + fraction / 10 % 10);
  out += static_cast<char>('0' + fraction % 10);
}

void append_u64(std::uint64_t value, std::string& out) {
  append_decimal(value, out);
}

void append_string(std::string_view text, std::string& out) {
  append_json_string(text, out);
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
// lane and returns how many lanes the tile needs.
std::uint32_t place_in_lanes(std::span<Placed> run) {
  using Busy = std::pair<std::uint64_t, std::uint32_t>;  // (end, lane)
  std::priority_queue<Busy, std::vector<Busy>, std::greater<>> busy;
  std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>>
      free;
  std::uint32_t lanes = 0;
  for (Placed& sample : run) {
    while (!busy.empty() && busy.top().first <= sample.start) {
      free.push(busy.top().second);
      busy.pop();
    }
    if (free.empty()) {
      sample.lane = lanes++;
    } else {
      sample.lane = free.top();
      free.pop();
    }
    busy.emplace(sample.end, sample.lane);
  }
  return lanes;
}

bool by_track_then_time(const Placed& left, const Placed& right) {
  return std::tie(left.tile, left.start, left.end, left.ordinal) <
         std::tie(right.tile, right.start, right.end, right.ordinal);
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

// Appends the metadata as an object; a name that repeats becomes an array of
// its values, since duplicate keys are lost by most JSON readers.
void append_metadata(const ProfileColumns& columns,
                     std::span<const zyl_package::MetadataPair> metadata,
                     std::vector<std::uint32_t>& order, std::string& out) {
  order_by_name(columns, metadata, order);
  const auto name = [&](std::size_t i) {
    return columns.string(metadata[order[i]].name);
  };
  const auto value = [&](std::size_t i) {
    return columns.string(metadata[order[i]].value);
  };
  out += '{';
  for (std::size_t i = 0; i < order.size();) {
    std::size_t end = i + 1;
    while (end < order.size() && name(end) == name(i)) ++end;
    if (i > 0) out += ',';
    append_string(name(i), out);
    out += ':';
    if (end - i == 1) {
      append_string(value(i), out);
    } else {
      out += '[';
      for (std::size_t j = i; j < end; ++j) {
        if (j > i) out += ',';
        append_string(value(j), out);
      }
      out += ']';
    }
    i = end;
  }
  out += '}';
}

// The buffer of the output text, handed to the stream in large pieces.
class Writer {
 public:
  explicit Writer(std::ostream& out) : out_(out) { text_.reserve(kFlushBytes); }
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

void append_metadata_event(std::string_view name, std::uint64_t pid,
                           const std::uint64_t* tid, std::string_view arg,
                           std::string_view text, std::uint64_t number,
                           std::string& out) {
  out += ",\n{\"ph\":\"M\",\"name\":\"";
  out += name;
  out += "\",\"pid\":";
  append_u64(pid, out);
  if (tid != nullptr) {
    out += ",\"tid\":";
    append_u64(*tid, out);
  }
  out += ",\"ts\":0,\"args\":{\"";
  out += arg;
  out += "\":";
  if (text.empty()) {
    append_u64(number, out);
  } else {
    append_string(text, out);
  }
  out += "}}";
}

}  // namespace

TraceTime trace_time(std::uint64_t offset, std::uint32_t duration,
                     std::uint64_t clock_hz) {
  const Uint128 start = to_nanoseconds(offset, clock_hz);
  const Uint128 end = to_nanoseconds(Uint128{offset} + duration, clock_hz);
  TraceTime time;
  append_micros(start, time.ts);
  append_micros(end - start, time.dur);
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
  place_in_lanes(placed);
  std::vector<std::uint32_t> lanes(intervals.size());
  for (const Placed& sample : placed) lanes[sample.ordinal] = sample.lane;
  return lanes;
}

TraceStats write_trace(const ProfileColumns& columns, const Query& query,
                       const TraceSettings& settings, std::ostream& out) {
  // First pass: where every matching sample goes, so the track metadata can
  // come first and the events can follow in report order.
  std::vector<Placed> placed;
  for_each_match(
      columns, query,
      [&](std::size_t tile_idx, std::size_t, std::uint64_t offset,
          std::uint32_t length) {
        placed.push_back(Placed{columns.tiles[tile_idx].physical_tile, offset,
                                offset + length,
                                static_cast<std::uint32_t>(placed.size()), 0});
      });
  std::sort(placed.begin(), placed.end(), by_track_then_time);

  struct Track {
    std::uint32_t tile = 0;
    std::uint32_t lanes = 0;
  };
  std::vector<Track> tiles;  // ascending tile numbers
  TraceStats stats;
  stats.event_count = placed.size();
  for (std::size_t i = 0; i < placed.size();) {
    std::size_t end = i;
    while (end < placed.size() && placed[end].tile == placed[i].tile) ++end;
    const std::uint32_t lanes =
        place_in_lanes(std::span(placed).subspan(i, end - i));
    tiles.push_back(Track{placed[i].tile, lanes});
    stats.track_count += lanes;
    stats.max_lanes = std::max(stats.max_lanes, lanes);
    i = end;
  }

  // tid = tile + 1 + lane * 2^24 needs distinct values that fit in u32 with
  // room for the pid above them; otherwise tracks are numbered in order.
  const std::uint64_t max_tile = tiles.empty() ? 0 : tiles.back().tile;
  const std::uint64_t lanes_above =
      stats.max_lanes > 1 ? stats.max_lanes - 1 : 0;
  stats.sequential_tids =
      lanes_above == 0
          ? max_tile + 1 >= kMaxId
          : max_tile + 1 >= (std::uint64_t{1} << kLaneShift) ||
                (lanes_above << kLaneShift) + max_tile + 1 >= kMaxId;
  const auto tid_of = [&](std::uint64_t tile, std::uint64_t lane,
                          std::uint64_t track_index) {
    return stats.sequential_tids ? track_index + 1
                                 : tile + 1 + (lane << kLaneShift);
  };
  std::vector<std::uint32_t> tids(placed.size());
  std::uint64_t max_tid = 0;
  {
    std::uint64_t first_track = 0;  // index of the tile's lane 0
    std::size_t tile_idx = 0;
    for (std::size_t i = 0; i < placed.size(); ++i) {
      if (i > 0 && placed[i].tile != placed[i - 1].tile) {
        first_track += tiles[tile_idx++].lanes;
      }
      const std::uint64_t tid =
          tid_of(placed[i].tile, placed[i].lane, first_track + placed[i].lane);
      tids[placed[i].ordinal] = static_cast<std::uint32_t>(tid);
      max_tid = std::max(max_tid, tid);
    }
  }
  placed = {};
  const std::uint64_t pid = max_tid + 1;

  Writer writer(out);
  std::string& text = writer.text();
  text += "{\"displayTimeUnit\":\"ns\",\n\"otherData\":{";
  text += "\"generator\":\"zyl-profile\",\"version\":\"" ZYL_PROFILE_VERSION
          "\",\"clock_hz\":";
  append_u64(columns.clock_hz, text);
  text += ",\"time_base\":";
  append_string(
      columns.clock_hz == 0
          ? "per-tile normalised timeline (each tile's first sample is at 0); "
            "clock_hz is 0, so one cycle is shown as one nanosecond"
          : "per-tile normalised timeline (each tile's first sample is at 0); "
            "ts = offset_cycles / clock_hz, in microseconds, start and end "
            "rounded to whole nanoseconds",
      text);
  text += ",\"samples\":";
  append_u64(stats.event_count, text);
  text += ",\"max_lanes\":";
  append_u64(stats.max_lanes, text);
  text += ",\"tids\":";
  append_string(stats.sequential_tids
                    ? "tracks numbered 1, 2, ... in tile and lane order"
                    : "physical_tile + 1 + lane * 2^24",
                text);
  text += "},\n\"traceEvents\":[\n";
  text += "{\"ph\":\"M\",\"name\":\"process_name\",\"pid\":";
  append_u64(pid, text);
  text += ",\"ts\":0,\"args\":{\"name\":\"zyl profile\"}}";
  append_metadata_event("process_sort_index", pid, nullptr, "sort_index", {}, 0,
                        text);
  std::uint64_t track_index = 0;
  for (const Track& tile : tiles) {
    for (std::uint32_t lane = 0; lane < tile.lanes; ++lane, ++track_index) {
      const std::uint64_t tid = tid_of(tile.tile, lane, track_index);
      std::string name = "tile " + std::to_string(tile.tile);
      if (lane > 0) name += " (" + std::to_string(lane + 1) + ")";
      append_metadata_event("thread_name", pid, &tid, "name", name, 0, text);
      // Lower sort indexes are drawn higher: tiles in numeric order, each
      // tile's lanes together.
      const std::uint64_t sort_index =
          stats.sequential_tids
              ? track_index
              : std::uint64_t{tile.tile} * stats.max_lanes + lane;
      append_metadata_event("thread_sort_index", pid, &tid, "sort_index", {},
                            sort_index, text);
      writer.maybe_flush();
    }
  }

  std::size_t ordinal = 0;
  std::vector<std::uint32_t> order;
  for_each_match(
      columns, query,
      [&](std::size_t tile_idx, std::size_t sample, std::uint64_t offset,
          std::uint32_t length) {
        const TraceTime time = trace_time(offset, length, columns.clock_hz);
        const std::string_view kernel = columns.string(columns.kernel[sample]);
        const std::string_view operation =
            columns.string(columns.operation[sample]);
        const std::string_view kind = sample_kind_name(columns, sample);
        text += ",\n{\"ph\":\"X\",\"name\":";
        append_string(event_name(kernel, operation, kind, settings.name_by),
                      text);
        text += ",\"cat\":\"";
        text += kind;
        text += "\",\"pid\":";
        append_u64(pid, text);
        text += ",\"tid\":";
        append_u64(tids[ordinal++], text);
        text += ",\"ts\":";
        text += time.ts;
        text += ",\"dur\":";
        text += time.dur;
        if (!settings.minimal_args) {
          text += ",\"args\":{\"operation\":";
          append_string(operation, text);
          text += ",\"kernel\":";
          append_string(kernel, text);
          text += ",\"kind\":\"";
          text += kind;
          text += "\",\"phase\":";
          append_u64(columns.phase[sample], text);
          text += ",\"epoch\":";
          append_u64(columns.epoch[sample], text);
          text += ",\"physical_tile\":";
          append_u64(columns.tiles[tile_idx].physical_tile, text);
          text += ",\"offset_cycles\":";
          append_u64(offset, text);
          text += ",\"duration_cycles\":";
          append_u64(length, text);
          text += ",\"start_cycle\":";
          append_u64(columns.start_cycle[sample], text);
          text += ",\"end_cycle\":";
          append_u64(columns.end_cycle[sample], text);
          text += ",\"metadata\":";
          append_metadata(columns, columns.list(columns.metadata[sample]),
                          order, text);
          text += '}';
        }
        text += '}';
        writer.maybe_flush();
      });
  text += "\n]}\n";
  writer.flush();
  return stats;
}

ExitCode run_trace(const TraceCommand& command) {
  const zyl_package::ColumnsResult opened =
      open_columns(command.report, command.limits);
  if (!opened.ok()) {
    report_error(opened.error().to_string());
    return ExitCode::ReadError;
  }
  const ProfileColumns& columns = opened.value();
  const Query query =
      with_window(command.query, command.from, command.to, columns);
  const TraceSettings settings{command.name_by, command.minimal_args};
  TraceStats stats;
  if (const std::optional<std::string> error =
          zyl_package::write_file_atomically(
              command.output, [&](std::ostream& out) {
                stats = write_trace(columns, query, settings, out);
              })) {
    report_error(*error);
    return ExitCode::ReadError;
  }
  if (columns.clock_hz == 0) {
    report_error(
        "note: the report's clock_hz is 0, so the trace shows one cycle as "
        "one nanosecond");
  }
  if (stats.sequential_tids) {
    report_error(
        "note: the tile numbers or lanes are too large for tid = tile + 1 + "
        "lane * 2^24, so the tracks are numbered 1, 2, ... in tile order");
  }
  return ExitCode::Success;
}

}  // namespace zyl_profile::cli
