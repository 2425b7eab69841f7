// The report page: the data block built from the query's result and the
// occupancy, the template filled in, and the command that writes it.
#include "page.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <type_traits>
#include <utility>

#include "diff.h"
#include "format/json_writer.h"
#include "output.h"  // group_fields
#include "page/page_files.h"
#include "phases.h"  // visit_phase_row_fields
#include "samples.h"
#include "zyl_profile/notes.h"

namespace zyl_profile::cli {
namespace {

constexpr std::size_t kMaxCommandLine = 4000;  // characters shown

constexpr StepKind kKinds[kStepKinds] = {StepKind::Exchange, StepKind::Compute,
                                         StepKind::Synchronization,
                                         StepKind::Idle};

// Returns the longest start of `text`, ending at a UTF-8 character
// boundary, that takes at most `limit` bytes once written in the page's
// data: a control character or '<' becomes six (\u001b), a quote or a
// backslash two. A name of escapes is thus cut as short as its text shows,
// and the page's size stays bounded whatever the report holds.
std::string_view cut_text(std::string_view text, std::size_t limit, bool& cut) {
  std::size_t cost = 0;
  std::size_t end = 0;
  for (; end < text.size(); ++end) {
    const auto c = static_cast<unsigned char>(text[end]);
    cost += c < 0x20 || c == '<' ? 6 : c == '"' || c == '\\' ? 2 : 1;
    if (cost > limit) break;
  }
  cut = end < text.size();
  while (cut && end > 0 &&
         (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
    --end;
  }
  return text.substr(0, end);
}

void put_text(JsonWriter& json, std::string_view text) {
  bool cut = false;
  const std::string_view kept = cut_text(text, kMaxPageText, cut);
  if (!cut) {
    json.string(kept);
    return;
  }
  std::string shown(kept);
  shown += "\xe2\x80\xa6";  // U+2026, the ellipsis
  json.string(shown);
}

void append_base64(const std::vector<std::uint8_t>& bytes, std::string& out) {
  constexpr std::string_view kDigits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  out.reserve(out.size() + (bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) |
                            (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += kDigits[(v >> 6) & 63];
    out += kDigits[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 0) return;
  std::uint32_t v = std::uint32_t{bytes[i]} << 16;
  if (rest == 2) v |= std::uint32_t{bytes[i + 1]} << 8;
  out += kDigits[(v >> 18) & 63];
  out += kDigits[(v >> 12) & 63];
  out += rest == 2 ? kDigits[(v >> 6) & 63] : '=';
  out += '=';
}

// The tile-cycles a cell holds: every tile of its row for the whole column.
double cell_capacity(const Occupancy& map, std::size_t row,
                     std::size_t column) {
  const std::uint64_t width =
      map.time_edges[column + 1] - map.time_edges[column];
  return static_cast<double>(map.rows[row].tile_count) *
         static_cast<double>(width);
}

// Returns the largest busy share of any cell of `map`, rounded up to a
// quarter and at least 1. A tile running samples side by side can keep a
// cell busy more than 100%, and the bytes must still hold its shares.
double largest_share(const Occupancy& map) {
  double largest = 1.0;
  const std::size_t columns = map.columns();
  for (std::size_t row = 0; row < map.rows.size(); ++row) {
    for (std::size_t column = 0; column < columns; ++column) {
      const double capacity = cell_capacity(map, row, column);
      if (capacity == 0.0) continue;
      std::uint64_t busy = 0;
      for (const StepKind kind : kKinds) busy += map.at(row, column, kind);
      largest = std::max(largest, static_cast<double>(busy) / capacity);
    }
  }
  return std::ceil(largest * 4.0) / 4.0;
}

// The cells' shares, a byte per kind, 255 standing for `scale`. A share
// that is not zero never rounds to 0, and one short of the scale never
// rounds to 255, so the page never calls a busy cell empty or a gap full.
std::vector<std::uint8_t> quantised_shares(const Occupancy& map, double scale) {
  const std::size_t columns = map.columns();
  std::vector<std::uint8_t> bytes(map.rows.size() * columns * kStepKinds);
  std::size_t at = 0;
  for (std::size_t row = 0; row < map.rows.size(); ++row) {
    for (std::size_t column = 0; column < columns; ++column) {
      const double capacity = cell_capacity(map, row, column) * scale;
      for (const StepKind kind : kKinds) {
        const std::uint64_t cycles = map.at(row, column, kind);
        std::uint8_t value = 0;
        if (cycles > 0 && capacity > 0.0) {
          const double share = static_cast<double>(cycles) / capacity;
          const double rounded = std::round(std::min(share, 1.0) * 255.0);
          value = static_cast<std::uint8_t>(
              std::clamp(rounded, 1.0, share < 1.0 ? 254.0 : 255.0));
        }
        bytes[at++] = value;
      }
    }
  }
  return bytes;
}

void append_map(const Occupancy& map, double scale, JsonWriter& json) {
  const std::size_t columns = map.columns();
  json.key("map").begin_object(JsonLayout::Block);
  json.field("rows", map.rows.size())
      .field("columns", columns)
      .field("from_cycles", map.from_cycles)
      .field("to_cycles", map.to_cycles)
      .field("work_cycles", map.work_cycles);
  json.key("time_edges").begin_array();
  for (const std::uint64_t edge : map.time_edges) json.number(edge);
  json.end();
  // first and last tile (report positions), tile count, lowest and highest
  // physical tile, five numbers a row
  json.key("tile_rows").begin_array();
  for (const TileBin& bin : map.rows) {
    json.number(bin.first_tile)
        .number(bin.last_tile)
        .number(bin.tile_count)
        .number(bin.lowest_physical_tile)
        .number(bin.highest_physical_tile);
  }
  json.end();
  json.key("shares").string("");
  // The string was opened and closed empty; the digits go between the
  // quotes, since they never need escaping.
  std::string& out = json.out();
  out.pop_back();
  append_base64(quantised_shares(map, scale), out);
  out += '"';
  // Busy tiles per column and kind, four numbers a column: the cells'
  // cycles over the column's width, exact rather than from the bytes.
  json.key("active").begin_array();
  for (std::size_t column = 0; column < columns; ++column) {
    const std::uint64_t width =
        map.time_edges[column + 1] - map.time_edges[column];
    for (const StepKind kind : kKinds) {
      std::uint64_t cycles = 0;
      for (std::size_t row = 0; row < map.rows.size(); ++row) {
        cycles += map.at(row, column, kind);
      }
      json.real(width == 0
                    ? 0.0
                    : static_cast<double>(cycles) / static_cast<double>(width));
    }
  }
  json.end();
  json.end();
}

// The phases worth a mark: those whose first samples start within one
// column's width of each other, on most of the tiles that run any phase.
void append_phases(const Occupancy& map, JsonWriter& json) {
  const std::size_t columns = map.columns();
  const std::uint64_t width =
      columns == 0 ? 0 : (map.to_cycles - map.from_cycles) / columns;
  std::size_t most_tiles = 0;
  for (const PhaseStart& start : map.phase_starts) {
    most_tiles = std::max(most_tiles, start.tile_count);
  }
  json.key("phases").begin_array();
  std::size_t marked = 0;
  for (const PhaseStart& start : map.phase_starts) {
    if (marked == kMaxPhaseMarks) break;
    if (start.latest - start.earliest > width) continue;
    if (start.tile_count * 2 <= most_tiles) continue;
    json.begin_array()
        .number(start.phase)
        .number(start.epoch)
        .number(start.earliest)
        .number(start.latest)
        .number(start.tile_count)
        .end();
    ++marked;
  }
  json.end();
}

// The phase balance as `phases --format json --limit 20` gives it, with
// names cut as the groups' are and the library's wait share, so the page
// never works the share out again.
void append_phase_balance(const std::optional<PhaseBalance>& balance,
                          JsonWriter& json) {
  json.key("phase_balance");
  if (!balance) {
    json.null();
    return;
  }
  json.begin_object(JsonLayout::Block)
      .field("clock_hz", balance->clock_hz)
      .field("matched_sample_count", balance->matched_sample_count)
      .field("row_count", balance->rows.size());
  json.key("rows").begin_array(JsonLayout::Lines);
  const std::size_t shown = std::min(kPagePhaseRows, balance->rows.size());
  for (std::size_t i = 0; i < shown; ++i) {
    json.begin_object();
    visit_phase_row_fields(
        balance->rows[i], [&json](std::string_view key, const auto& value) {
          if constexpr (std::is_same_v<std::decay_t<decltype(value)>,
                                       std::string_view>) {
            put_text(json.key(key), value);
          } else {
            json.field(key, value);
          }
        });
    json.end();
  }
  json.end();
  json.key("totals")
      .begin_object()
      .field("wait_cycles", balance->totals.wait_cycles)
      .field("busy_cycles", balance->totals.busy_cycles)
      .field("tile_cycles", balance->totals.tile_cycles)
      .field("wait_share", balance->totals.wait_share())
      .end();
  json.end();
}

void append_groups(const QueryReport& result, JsonWriter& json) {
  json.key("groups").begin_array(JsonLayout::Lines);
  for (const GroupSummary& group : result.groups) {
    json.begin_object().key("name");
    put_text(json, group.name);
    json.key("dimensions").begin_object();
    for (const auto& [name, value] : group.dimensions) {
      json.key(name);
      put_text(json, value);
    }
    json.end();
    for (const GroupField& field : group_fields()) {
      json.key(field.key);
      if (field.count != nullptr) {
        json.number(field.count(group));
      } else {
        json.real(field.real(group));
      }
    }
    json.end();
  }
  json.end();
}

void append_totals(const QueryReport& result, JsonWriter& json) {
  json.key("totals")
      .begin_object()
      .field("clock_hz", result.clock_hz)
      .field("tile_count", result.tile_count)
      .field("sample_count", result.sample_count)
      .field("matched_sample_count", result.matched_sample_count)
      .field("profile_span_cycles", result.profile_span_cycles)
      .field("profile_span_ms", result.profile_span_ms)
      .end();
}

// A change as one array: base, new, signed change, percent (null when
// growth from nothing has none).
void put_change(JsonWriter& json, const CountChange& change) {
  json.begin_array().number(change.base).number(change.next);
  std::string digits(change.negative && change.magnitude != 0 ? "-" : "");
  append_decimal(change.magnitude, digits);
  json.number_text(digits);
  if (change.percent) {
    json.real(*change.percent);
  } else {
    json.null();
  }
  json.end();
}

void append_diff(const DiffReport& diff, JsonWriter& json) {
  json.key("diff").begin_object(JsonLayout::Block);
  json.field("group_count", diff.group_count)
      .field("changed_group_count", diff.changed_count);
  json.key("profile_span_cycles");
  put_change(json, diff.profile_span_cycles);
  json.key("matched_sample_count");
  put_change(json, diff.matched_sample_count);
  json.key("rows").begin_array(JsonLayout::Lines);
  for (const DiffRow& row : diff.rows) {
    json.begin_object().key("name");
    put_text(json, row.name);
    json.field("status", status_name(row.status));
    json.key("phase_cycles");
    put_change(json, row.phase_cycles);
    json.key("work_cycles");
    put_change(json, row.work_cycles);
    json.key("sample_count");
    put_change(json, row.sample_count);
    json.key("average_active_tiles")
        .begin_array()
        .real(row.average_active_tiles.base)
        .real(row.average_active_tiles.next)
        .end();
    json.key("p95_cycles");
    put_change(json, row.p95_cycles);
    json.end();
  }
  json.end().end();
}

// Whether `argument` reads back as itself in a POSIX shell without quotes.
bool shell_plain(std::string_view argument) {
  if (argument.empty()) return false;
  return std::all_of(argument.begin(), argument.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9') ||
           std::string_view("_./:=,%@+-").find(c) != std::string_view::npos;
  });
}

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

std::string command_line_text(const std::vector<std::string>& arguments) {
  std::string text(kProgramName);
  for (const std::string& argument : arguments) {
    text += ' ';
    if (shell_plain(argument)) {
      text += argument;
      continue;
    }
    text += '\'';
    for (const char c : argument) {
      if (c == '\'') {
        text += "'\\''";
      } else {
        text += c;
      }
    }
    text += '\'';
  }
  bool cut = false;
  const std::string_view kept = cut_text(text, kMaxCommandLine, cut);
  return cut ? std::string(kept) + " \xe2\x80\xa6" : text;
}

std::string page_data_json(const PageInput& input) {
  // Both maps of a comparison share one scale, so a colour means the same
  // on each side.
  double scale = 1.0;
  for (const PageProfile& profile : input.profiles) {
    scale = std::max(scale, largest_share(profile.occupancy));
  }
  std::string out;
  JsonWriter json(out);
  json.begin_object(JsonLayout::Block)
      .field("version", 1)
      .field("command", input.command_line)
      .field("group_by", group_by_name(input.group_by))
      .field("share_scale", scale);
  json.key("kinds").begin_array();
  for (const StepKind kind : kKinds) json.string(kind_name(kind));
  json.end();
  json.key("profiles").begin_array(JsonLayout::Block);
  for (const PageProfile& profile : input.profiles) {
    json.begin_object(JsonLayout::Block).key("label");
    put_text(json, profile.label);
    append_totals(profile.result, json);
    append_map(profile.occupancy, scale, json);
    append_phases(profile.occupancy, json);
    append_phase_balance(profile.phases, json);
    append_groups(profile.result, json);
    json.end();
  }
  json.end();
  if (input.diff) {
    append_diff(*input.diff, json);
  } else {
    json.key("diff").null();
  }
  json.end();
  // '<' stands only inside strings, where \u003c means the same to a JSON
  // reader and can never close the <script> element or open a comment.
  std::string safe;
  safe.reserve(out.size() + out.size() / 64);
  for (const char c : out) {
    if (c == '<') {
      safe += "\\u003c";
    } else {
      safe += c;
    }
  }
  return safe;
}

std::string render_page(const PageInput& input) {
  std::string title = "zyl-profile report";
  if (!input.profiles.empty()) {
    title += ": ";
    title += input.profiles.front().label;
    if (input.profiles.size() == 2) title += " vs " + input.profiles[1].label;
  }
  bool cut = false;
  const std::string_view shown_title = cut_text(title, kMaxPageText, cut);
  const std::pair<std::string_view, std::string> parts[] = {
      {"@TITLE@", html_escape(shown_title)},
      {"@STYLE@", std::string(page_css())},
      {"@SCRIPT@", std::string(page_js())},
      {"@DATA@", page_data_json(input)}};
  // Each marker is looked for in the template only, never in what was put
  // in, so the data cannot be taken for a marker.
  const std::string_view html = page_html();
  std::string page;
  page.reserve(html.size() + parts[1].second.size() + parts[2].second.size() +
               parts[3].second.size() + 256);
  std::size_t at = 0;
  while (at < html.size()) {
    std::size_t next = std::string_view::npos;
    const std::pair<std::string_view, std::string>* found = nullptr;
    for (const auto& part : parts) {
      const std::size_t position = html.find(part.first, at);
      if (position < next) next = position, found = &part;
    }
    if (found == nullptr) {
      page += html.substr(at);
      break;
    }
    page += html.substr(at, next - at);
    page += found->second;
    at = next + found->first.size();
  }
  return page;
}

Loaded<PageInput> page_input(const std::vector<ProfileSet>& profiles,
                             const Query& asked, ParallelOptions parallel,
                             PageWork& work) {
  const bool comparing = profiles.size() == 2;
  const OccupancyOptions bins = comparing ? kComparedPageBins : kPageBins;
  PageInput input;
  input.group_by = asked.group_by;
  // A comparison needs every group of both sides, or a group cut on one
  // side would look new or gone; its limit cuts the joined rows instead.
  const Query query = comparing ? comparison_query(asked) : asked;
  // One profile at a time: each leaves only its result and its map.
  for (const ProfileSet& set : profiles) {
    Loaded<QueryAnswer> answer = zyl_profile::query(set, query, parallel);
    if (!answer.ok()) return answer.error();
    work.costs.load_ms += answer.value().costs.load_ms;
    work.costs.query_ms += answer.value().costs.query_ms;
    work.costs.threads =
        std::max(work.costs.threads, answer.value().costs.threads);
    PageProfile profile;
    profile.label = profile_label(set);
    profile.result = std::move(answer.value().report);
    if (!comparing) work.notes = std::move(answer.value().notes);

    const Clock::time_point map_start = Clock::now();
    Loaded<Occupancy> map = occupancy(set, query, bins, parallel);
    if (!map.ok()) return map.error();
    profile.occupancy = std::move(map.value());
    work.map_ms += elapsed_ms(map_start);

    // The same query, so the page's filters narrow the supersteps as they
    // narrow the groups and the map.
    if (!comparing) {
      const Clock::time_point phases_start = Clock::now();
      Loaded<PhaseBalance> balance = phase_balance(set, query, parallel);
      if (!balance.ok()) return balance.error();
      profile.phases = std::move(balance.value());
      work.phases_ms += elapsed_ms(phases_start);
    }
    input.profiles.push_back(std::move(profile));
  }
  if (comparing) {
    DiffOptions options;
    options.limit = asked.limit;
    input.diff = diff_results(input.profiles[0].result,
                              input.profiles[1].result, options);
    for (PageProfile& profile : input.profiles) profile.result.groups.clear();
  }
  return input;
}

std::string profile_label(const ProfileSet& set) {
  std::string label = set.paths().front().string();
  if (set.size() > 1) {
    label += fmt::format(" and {} more shards", set.size() - 1);
  }
  return label;
}

std::string occupancy_json(const Occupancy& map) {
  std::string out;
  JsonWriter json(out);
  json.begin_object(JsonLayout::Block).field("share_scale", largest_share(map));
  json.key("kinds").begin_array();
  for (const StepKind kind : kKinds) json.string(kind_name(kind));
  json.end();
  append_map(map, largest_share(map), json);
  append_phases(map, json);
  json.end();
  return out;
}

ExitCode run_page(const PageCommand& command) {
  const Loaded<std::vector<ProfileSet>> opened = open_profiles(
      command.reports,
      open_options(command.selection.limits, command.selection.concatenate));
  if (!opened.ok()) {
    print_load_error(opened.error());
    return ExitCode::ReadError;
  }
  const std::vector<ProfileSet>& profiles = opened.value();
  if (profiles.size() > 2 || (profiles.size() == 2 && command.sort_given)) {
    print_error(
        profiles.size() > 2
            ? fmt::format("REPORT: expected one profile, or two (BASE NEW) to "
                          "compare, found {}",
                          profiles.size())
            : "--sort-by: only applies to one report; a comparison orders the "
              "groups by their change");
    std::fputs(fmt::format("{}\n", kUsageHint).c_str(), stderr);
    return ExitCode::Usage;
  }
  PageWork work;
  Loaded<PageInput> built =
      page_input(profiles, command.selection.query,
                 ParallelOptions{command.selection.threads}, work);
  if (!built.ok()) {
    print_load_error(built.error());
    return ExitCode::ReadError;
  }
  PageInput& input = built.value();
  input.command_line = command_line_text(command.arguments);
  const AnswerCosts& costs = work.costs;
  const double map_ms = work.map_ms;
  const double phases_ms = work.phases_ms;
  const std::vector<std::string>& notes = work.notes;

  const Clock::time_point page_start = Clock::now();
  const std::string page = render_page(input);
  const ExitCode status =
      write_atomically(command.output, [&](std::ostream& out) { out << page; });
  const double page_ms = elapsed_ms(page_start);
  if (status != ExitCode::Success) return status;
  for (const std::string& note : notes) print_note(note);
  if (command.timings) {
    print_note(fmt::format(
        "load {:.1f} ms, query {:.1f} ms, map {:.1f} ms, phases {:.1f} ms, "
        "page {:.1f} ms ({:.0f} KiB) on {} {}, peak memory {:.1f} MiB",
        costs.load_ms, costs.query_ms, map_ms, phases_ms, page_ms,
        static_cast<double>(page.size()) / 1024.0, costs.threads,
        costs.threads == 1 ? "thread" : "threads", peak_memory_mib()));
  }
  return ExitCode::Success;
}

}  // namespace zyl_profile::cli
