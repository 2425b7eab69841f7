// parse_trace, check_trace and compare_with_export, on simdjson On-Demand.
#include "trace_check.h"

#include <simdjson.h>

#include <algorithm>
#include <charconv>  // std::from_chars
#include <cmath>
#include <map>
#include <set>
#include <tuple>

namespace zyl_profile::cli {
namespace {

namespace od = simdjson::ondemand;

// True when `text` is a decimal with exactly three digits after the point.
bool has_three_decimals(std::string_view text) {
  const std::size_t dot = text.find('.');
  return dot != std::string_view::npos && dot > 0 && text.size() - dot == 4;
}

// Reads a JSON number as a browser does: the nearest double.
std::optional<double> read_number(std::string_view text) {
  double value = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 0) {
    return std::nullopt;
  }
  return value;
}

// Microseconds as Perfetto turns them into whole nanoseconds.
std::uint64_t perfetto_nanos(double micros) {
  return static_cast<std::uint64_t>(std::llround(micros * 1000.0));
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n' ||
                           text.back() == '\r' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

void read_args(od::object args, ParsedEvent& event) {
  event.has_args = true;
  for (auto field : args) {
    const std::string_view key = field.unescaped_key();
    od::value value = field.value();
    if (key == "operation") {
      event.operation = std::string_view(value.get_string());
    } else if (key == "kernel") {
      event.kernel = std::string_view(value.get_string());
    } else if (key == "kind") {
      event.kind = std::string_view(value.get_string());
    } else if (key == "phase") {
      event.phase = value.get_uint64();
    } else if (key == "epoch") {
      event.epoch = value.get_uint64();
    } else if (key == "physical_tile") {
      event.physical_tile = value.get_uint64();
    } else if (key == "offset_cycles") {
      event.offset_cycles = value.get_uint64();
      event.has_cycles = true;
    } else if (key == "duration_cycles") {
      event.duration_cycles = value.get_uint64();
    } else if (key == "metadata") {
      for (auto entry : value.get_object()) {
        if (!event.metadata.empty()) event.metadata += ';';
        event.metadata += std::string_view(entry.unescaped_key());
        event.metadata += '=';
        od::value values = entry.value();
        if (values.type() == od::json_type::array) {
          std::string list;
          for (auto item : values.get_array()) {
            list += list.empty() ? "[" : ",";
            list += std::string_view(item.get_string());
          }
          event.metadata += list + "]";
        } else {
          event.metadata += std::string_view(values.get_string());
        }
      }
    } else if (key == "name") {
      event.arg_name = std::string_view(value.get_string());
    } else if (key == "sort_index") {
      event.sort_index = value.get_uint64();
    }
  }
}

ParsedEvent read_event(od::object object) {
  ParsedEvent event;
  for (auto field : object) {
    const std::string_view key = field.unescaped_key();
    od::value value = field.value();
    if (key == "ph") {
      event.ph = std::string_view(value.get_string());
    } else if (key == "name") {
      event.name = std::string_view(value.get_string());
    } else if (key == "cat") {
      event.cat = std::string_view(value.get_string());
    } else if (key == "pid") {
      event.pid = value.get_uint64();
    } else if (key == "tid") {
      event.tid = value.get_uint64();
    } else if (key == "ts") {
      event.ts_text = trimmed(value.raw_json_token());
    } else if (key == "dur") {
      event.dur_text = trimmed(value.raw_json_token());
    } else if (key == "args") {
      read_args(value.get_object(), event);
    }
  }
  return event;
}

struct TrackName {
  std::uint64_t tile = 0;
  std::uint64_t lane = 0;  // 0 for "tile N", k - 1 for "tile N (k)"
};

std::optional<TrackName> read_track_name(std::string_view name) {
  if (!name.starts_with("tile ")) return std::nullopt;
  name.remove_prefix(5);
  TrackName track;
  const char* end = name.data() + name.size();
  auto [ptr, ec] = std::from_chars(name.data(), end, track.tile);
  if (ec != std::errc()) return std::nullopt;
  if (ptr == end) return track;
  const std::string_view rest(ptr, static_cast<std::size_t>(end - ptr));
  if (!rest.starts_with(" (") || !rest.ends_with(")")) return std::nullopt;
  std::uint64_t number = 0;
  const auto [lane_end, lane_ec] =
      std::from_chars(rest.data() + 2, rest.data() + rest.size() - 1, number);
  if (lane_ec != std::errc() || lane_end != rest.data() + rest.size() - 1 ||
      number < 2) {
    return std::nullopt;
  }
  track.lane = number - 1;
  return track;
}

std::string where(const ParsedEvent& event) {
  return "event " + event.name + " at ts " + event.ts_text + " on tid " +
         std::to_string(event.tid.value_or(0));
}

// True when `ns` is within half a nanosecond of `cycles` at `clock_hz`,
// worked out in long double, independently of the writer's integers.
bool near_exact(std::uint64_t ns, std::uint64_t cycles,
                std::uint64_t clock_hz) {
  if (clock_hz == 0) return ns == cycles;
  const long double exact = static_cast<long double>(cycles) * 1e9L /
                            static_cast<long double>(clock_hz);
  return std::fabs(static_cast<long double>(ns) - exact) <= 0.5L + 1e-6L;
}

// Returns where two events of one track, sorted by ts in Perfetto's
// nanoseconds, overlap as viewers that add ts + dur in doubles draw them:
// measured from 0 (chrome://tracing) and from the track's smallest ts, which
// speedscope subtracts from every ts of a track before adding dur.
std::optional<std::string> drawn_overlap(
    const std::vector<const ParsedEvent*>& events) {
  if (events.empty()) return std::nullopt;
  double first = events.front()->ts;
  for (const ParsedEvent* event : events) first = std::min(first, event->ts);
  for (std::size_t i = 1; i < events.size(); ++i) {
    if (events[i - 1]->dur == 0 && events[i]->dur > 0 &&
        events[i - 1]->ts == events[i]->ts) {
      return where(*events[i]) + ": starts with the empty " +
             where(*events[i - 1]) +
             ", and speedscope would leave it open to the end";
    }
  }
  for (const double origin : {0.0, first}) {
    for (std::size_t i = 1; i < events.size(); ++i) {
      const ParsedEvent& previous = *events[i - 1];
      const double end = (previous.ts - origin) + previous.dur;
      if (end > events[i]->ts - origin) {
        return where(*events[i]) + ": drawn over by " + where(previous) +
               " measured from " + std::to_string(origin);
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::variant<ParsedTrace, std::string> parse_trace(std::string_view text) {
  ParsedTrace trace;
  try {
    const simdjson::padded_string json(text);
    od::parser parser;
    od::document doc = parser.iterate(json);
    for (auto field : doc.get_object()) {
      const std::string_view key = field.unescaped_key();
      od::value value = field.value();
      if (key == "displayTimeUnit") {
        trace.display_time_unit = std::string_view(value.get_string());
      } else if (key == "otherData") {
        for (auto other : value.get_object()) {
          od::value item = other.value();
          if (std::string_view(other.unescaped_key()) == "clock_hz") {
            trace.clock_hz = item.get_uint64();
          }
        }
      } else if (key == "traceEvents") {
        for (auto event : value.get_array()) {
          trace.events.push_back(read_event(event.get_object()));
        }
      }
    }
  } catch (const simdjson::simdjson_error& error) {
    return std::string("not valid JSON: ") + error.what();
  }
  for (ParsedEvent& event : trace.events) {
    if (event.ph != "X") continue;
    const std::optional<double> ts = read_number(event.ts_text);
    const std::optional<double> dur = read_number(event.dur_text);
    if (!ts || !dur) {
      return "ts " + event.ts_text + " or dur " + event.dur_text +
             " is not a number of microseconds";
    }
    event.ts = *ts;
    event.dur = *dur;
    event.ts_ns = perfetto_nanos(*ts);
    event.dur_ns = perfetto_nanos(*dur);
  }
  return trace;
}

std::optional<std::string> check_trace(const ParsedTrace& trace) {
  if (trace.display_time_unit != "ns") return "displayTimeUnit is not ns";
  std::optional<std::uint64_t> pid;
  std::map<std::uint64_t, TrackName> tracks;  // by tid
  std::map<std::uint64_t, std::uint64_t> sort_indexes;
  for (const ParsedEvent& event : trace.events) {
    if (event.ph != "M") continue;
    if (event.name == "process_name") {
      if (pid) return std::string("two process_name events");
      if (event.tid) return std::string("process_name has a tid");
      if (event.arg_name != "zyl profile") {
        return "the process is named " + event.arg_name;
      }
      pid = event.pid;
    } else if (event.name == "thread_name") {
      if (!event.tid || *event.tid == 0) return "thread without a tid";
      const std::optional<TrackName> track = read_track_name(event.arg_name);
      if (!track) return "track named " + event.arg_name;
      if (!tracks.emplace(*event.tid, *track).second) {
        return "two names for tid " + std::to_string(*event.tid);
      }
    } else if (event.name == "thread_sort_index") {
      if (!event.tid) return std::string("thread_sort_index without a tid");
      sort_indexes[*event.tid] = event.sort_index;
    }
  }
  if (!pid) return std::string("no process_name event");
  if (tracks.contains(*pid)) return std::string("the pid is also a tid");

  // Sorting the tracks by their sort index must list tiles, then lanes, in
  // numeric order.
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> order;
  for (const auto& [tid, track] : tracks) {
    const auto index = sort_indexes.find(tid);
    if (index == sort_indexes.end()) {
      return "no sort index for tid " + std::to_string(tid);
    }
    if (tid > 0xffffffffULL) return "tid above 2^32: " + std::to_string(tid);
    order.emplace_back(index->second, track.tile, track.lane);
  }
  std::sort(order.begin(), order.end());
  for (std::size_t i = 1; i < order.size(); ++i) {
    const auto [index, tile, lane] = order[i];
    const auto [previous_index, previous_tile, previous_lane] = order[i - 1];
    if (index == previous_index ||
        std::tie(tile, lane) <= std::tie(previous_tile, previous_lane)) {
      return "tracks out of order at tile " + std::to_string(tile);
    }
  }

  std::map<std::uint64_t, std::vector<const ParsedEvent*>> by_tid;
  for (const ParsedEvent& event : trace.events) {
    if (event.pid != *pid) return where(event) + ": another pid";
    if (event.ph != "X") continue;
    if (!event.tid || !tracks.contains(*event.tid)) {
      return where(event) + ": no named track";
    }
    if (!has_three_decimals(event.ts_text)) {
      return where(event) + ": ts does not have exactly three decimals";
    }
    // The end a viewer draws, ts + dur in doubles, must be the nanosecond
    // end Perfetto reads, and never past the double that end's own text
    // gives, where the next sample may start.
    const double drawn_end = event.ts + event.dur;
    const std::uint64_t end_ns = event.ts_ns + event.dur_ns;
    if (perfetto_nanos(drawn_end) != end_ns ||
        drawn_end > static_cast<double>(end_ns) / 1000.0) {
      return where(event) + ": drawn end " + std::to_string(drawn_end) +
             " is not at or just before " + std::to_string(end_ns) + " ns";
    }
    if (event.has_cycles) {
      if (tracks[*event.tid].tile != event.physical_tile) {
        return where(event) + ": on another tile's track";
      }
      if (!near_exact(event.ts_ns, event.offset_cycles, trace.clock_hz) ||
          !near_exact(event.ts_ns + event.dur_ns,
                      event.offset_cycles + event.duration_cycles,
                      trace.clock_hz)) {
        return where(event) + ": times do not match offset " +
               std::to_string(event.offset_cycles) + " and duration " +
               std::to_string(event.duration_cycles);
      }
    }
    by_tid[*event.tid].push_back(&event);
  }
  for (auto& [tid, events] : by_tid) {
    std::sort(events.begin(), events.end(),
              [](const ParsedEvent* left, const ParsedEvent* right) {
                return std::tie(left->ts_ns, left->dur_ns) <
                       std::tie(right->ts_ns, right->dur_ns);
              });
    for (std::size_t i = 1; i < events.size(); ++i) {
      if (events[i - 1]->ts_ns + events[i - 1]->dur_ns > events[i]->ts_ns) {
        return where(*events[i]) + ": overlaps " + where(*events[i - 1]);
      }
    }
    if (const std::optional<std::string> overlap = drawn_overlap(events)) {
      return overlap;
    }
  }
  return std::nullopt;
}

std::uint32_t max_lanes(const ParsedTrace& trace) {
  std::map<std::uint64_t, std::uint32_t> lanes;  // by tile
  for (const ParsedEvent& event : trace.events) {
    if (event.ph != "M" || event.name != "thread_name") continue;
    if (const std::optional<TrackName> track =
            read_track_name(event.arg_name)) {
      lanes[track->tile] = std::max<std::uint32_t>(
          lanes[track->tile], static_cast<std::uint32_t>(track->lane + 1));
    }
  }
  std::uint32_t most = 0;
  for (const auto& [tile, count] : lanes) most = std::max(most, count);
  return most;
}

std::optional<std::string> compare_with_export(const ParsedTrace& trace,
                                               std::string_view jsonl) {
  std::vector<const ParsedEvent*> events;
  for (const ParsedEvent& event : trace.events) {
    if (event.ph == "X") events.push_back(&event);
  }
  std::size_t line_count = 0;
  try {
    od::parser parser;
    while (!jsonl.empty()) {
      const std::size_t newline = jsonl.find('\n');
      const simdjson::padded_string line(jsonl.substr(0, newline));
      jsonl.remove_prefix(newline == std::string_view::npos ? jsonl.size()
                                                            : newline + 1);
      od::document doc = parser.iterate(line);
      std::uint64_t tile = 0;
      std::uint64_t offset = 0;
      std::uint64_t duration = 0;
      std::string kernel;
      std::string operation;
      for (auto field : doc.get_object()) {
        const std::string_view key = field.unescaped_key();
        od::value value = field.value();
        if (key == "physical_tile") {
          tile = value.get_uint64();
        } else if (key == "offset_cycles") {
          offset = value.get_uint64();
        } else if (key == "duration_cycles") {
          duration = value.get_uint64();
        } else if (key == "kernel") {
          kernel = std::string_view(value.get_string());
        } else if (key == "operation") {
          operation = std::string_view(value.get_string());
        }
      }
      if (line_count >= events.size()) {
        return "the export has more samples than the trace's " +
               std::to_string(events.size());
      }
      const ParsedEvent& event = *events[line_count];
      if (event.physical_tile != tile || event.offset_cycles != offset ||
          event.duration_cycles != duration || event.kernel != kernel ||
          event.operation != operation) {
        return "sample " + std::to_string(line_count) +
               " differs: " + where(event);
      }
      ++line_count;
    }
  } catch (const simdjson::simdjson_error& error) {
    return std::string("export line not valid JSON: ") + error.what();
  }
  if (line_count != events.size()) {
    return "the trace has " + std::to_string(events.size()) +
           " events, the export " + std::to_string(line_count) + " samples";
  }
  return std::nullopt;
}

}  // namespace zyl_profile::cli
