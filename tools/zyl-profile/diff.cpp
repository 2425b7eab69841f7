// The three printed forms of a DiffReport, and the diff command.
#include "diff.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "output.h"
#include "samples.h"

namespace zyl_profile::cli {
namespace {

std::string_view status_name(DiffStatus status) {
  switch (status) {
    case DiffStatus::Changed:
      return "changed";
    case DiffStatus::New:
      return "new";
    case DiffStatus::Gone:
      return "gone";
    case DiffStatus::Same:
      break;
  }
  return "same";
}

std::string signed_text(const CountChange& change) {
  if (change.magnitude == 0) return "0";
  // Appended rather than `"-" + text`: GCC 12 warns falsely (-Wrestrict)
  // on that operator+ once inlined here.
  std::string text(change.negative ? "-" : "+");
  text += with_separators(change.magnitude);
  return text;
}

std::string percent_text(const std::optional<double>& percent,
                         DiffStatus status) {
  if (status == DiffStatus::New) return "new";
  if (status == DiffStatus::Gone) return "gone";
  if (!percent) return "n/a";
  if (*percent == 0.0) return "0.00%";
  return fmt::format("{:+.2f}%", *percent);
}

std::string percentage_text(const zyl_profile::Percentage& value) {
  std::string text = std::to_string(value.units / value.scale);
  std::uint64_t fraction = value.units % value.scale;
  if (fraction != 0) {
    std::string digits;
    for (std::uint64_t scale = value.scale; scale > 1; scale /= 10) {
      digits.insert(digits.begin(), static_cast<char>('0' + fraction % 10));
      fraction /= 10;
    }
    while (digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text + "%";
}

std::string real_text(double value) { return fmt::format("{:.2f}", value); }

void append_signed_json(const CountChange& change, std::string& out) {
  if (change.negative && change.magnitude != 0) out += '-';
  append_decimal(change.magnitude, out);
}

void append_percent_json(const std::optional<double>& percent,
                         std::string& out) {
  out += percent ? shortest_double(*percent) : std::string("null");
}

void append_count_json(std::string_view name, const CountChange& change,
                       bool with_regressed, std::string_view indent,
                       std::string& out) {
  out += indent;
  append_json_string(name, out);
  out += ": {\"base\": ";
  append_decimal(change.base, out);
  out += ", \"new\": ";
  append_decimal(change.next, out);
  out += ", \"change\": ";
  append_signed_json(change, out);
  out += ", \"change_percent\": ";
  append_percent_json(change.percent, out);
  if (with_regressed) {
    out +=
        change.regressed ? ", \"regressed\": true" : ", \"regressed\": false";
  }
  out += '}';
}

}  // namespace

void append_diff_table(const DiffReport& diff, std::string& out) {
  const std::array<std::string_view, 15> header{
      "group",       "status",         "base phase",
      "new phase",   "change",         "change %",
      "base work",   "new work",       "base samples",
      "new samples", "base avg tiles", "new avg tiles",
      "base p95",    "new p95",        ""};
  std::vector<std::array<std::string, header.size()>> cells;
  cells.reserve(diff.rows.size());
  for (const DiffRow& row : diff.rows) {
    cells.push_back(
        {terminal_escape(row.name), std::string(status_name(row.status)),
         with_separators(row.phase_cycles.base),
         with_separators(row.phase_cycles.next), signed_text(row.phase_cycles),
         percent_text(row.phase_cycles.percent, row.status),
         with_separators(row.work_cycles.base),
         with_separators(row.work_cycles.next),
         with_separators(row.sample_count.base),
         with_separators(row.sample_count.next),
         real_text(row.average_active_tiles.base),
         real_text(row.average_active_tiles.next),
         with_separators(row.p95_cycles.base),
         with_separators(row.p95_cycles.next),
         row.phase_cycles.regressed ? "REGRESSED" : ""});
  }
  std::array<std::size_t, header.size()> widths{};
  for (std::size_t i = 0; i < header.size(); ++i) widths[i] = header[i].size();
  for (const auto& line : cells) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      widths[i] = std::max(widths[i], line[i].size());
    }
  }
  const auto append_line = [&](const auto& line) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      const std::string_view cell = line[i];
      if (i > 0) text += "  ";
      // Names and statuses read left to right; numbers line up on the right.
      const std::size_t pad = widths[i] - cell.size();
      if (i < 2 || i + 1 == line.size()) {
        text += cell;
        text.append(pad, ' ');
      } else {
        text.append(pad, ' ');
        text += cell;
      }
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text;
    out += '\n';
  };
  if (cells.empty()) {
    out += "no groups\n";
  } else {
    append_line(header);
    for (const auto& line : cells) append_line(line);
  }
  if (diff.rows.size() < diff.group_count) {
    out += fmt::format("({} of {} groups shown)\n", diff.rows.size(),
                       diff.group_count);
  }
  out += '\n';
  const auto append_total = [&](std::string_view name,
                                const CountChange& change) {
    out +=
        fmt::format("{}: {} -> {}, {} ({})", name, with_separators(change.base),
                    with_separators(change.next), signed_text(change),
                    percent_text(change.percent, DiffStatus::Changed));
    if (change.regressed) out += "  REGRESSED";
    out += '\n';
  };
  append_total("profile span cycles", diff.profile_span_cycles);
  append_total("matched samples", diff.matched_sample_count);
  const bool unchanged = diff.changed_count == 0 &&
                         diff.profile_span_cycles.magnitude == 0 &&
                         diff.matched_sample_count.magnitude == 0;
  if (unchanged) {
    out += "no changes\n";
  } else {
    out += fmt::format("{} of {} groups changed\n", diff.changed_count,
                       diff.group_count);
  }
  if (diff.fail_above) {
    const std::string threshold = percentage_text(*diff.fail_above);
    if (!diff.regressed()) {
      out += fmt::format("no regression above {}\n", threshold);
    } else {
      std::string which;
      if (diff.profile_span_cycles.regressed) which = "the profile span";
      for (const std::string& name : diff.regressed_groups) {
        which += which.empty() ? "" : ", ";
        which += terminal_escape(name);
      }
      out += fmt::format("regression: grew by more than {}: {}\n", threshold,
                         which);
    }
  }
}

void append_diff_json(const DiffReport& diff, std::string& out) {
  out += "{\n  \"fail_above_percent\": ";
  if (diff.fail_above) {
    out += shortest_double(static_cast<double>(diff.fail_above->units) /
                           static_cast<double>(diff.fail_above->scale));
  } else {
    out += "null";
  }
  out += diff.regressed() ? ",\n  \"regressed\": true"
                          : ",\n  \"regressed\": false";
  out += ",\n  \"group_count\": ";
  append_decimal(diff.group_count, out);
  out += ",\n  \"changed_group_count\": ";
  append_decimal(diff.changed_count, out);
  out += ",\n  \"groups\": [";
  for (std::size_t i = 0; i < diff.rows.size(); ++i) {
    const DiffRow& row = diff.rows[i];
    out += i == 0 ? "\n    {\n      \"name\": " : ",\n    {\n      \"name\": ";
    append_json_string(row.name, out);
    out += ",\n      \"dimensions\": {";
    bool first = true;
    for (const auto& [key, value] : row.dimensions) {
      if (!first) out += ", ";
      first = false;
      append_json_string(key, out);
      out += ": ";
      append_json_string(value, out);
    }
    out += "},\n      \"status\": \"";
    out += status_name(row.status);
    out += "\",\n";
    append_count_json("phase_cycles", row.phase_cycles, true, "      ", out);
    out += ",\n";
    append_count_json("work_cycles", row.work_cycles, false, "      ", out);
    out += ",\n";
    append_count_json("sample_count", row.sample_count, false, "      ", out);
    const RealChange& tiles = row.average_active_tiles;
    out += ",\n      \"average_active_tiles\": {\"base\": ";
    out += shortest_double(tiles.base);
    out += ", \"new\": ";
    out += shortest_double(tiles.next);
    out += ", \"change\": ";
    out += shortest_double(tiles.change);
    out += ", \"change_percent\": ";
    append_percent_json(tiles.percent, out);
    out += "},\n";
    append_count_json("p95_cycles", row.p95_cycles, false, "      ", out);
    out += "\n    }";
  }
  out += diff.rows.empty() ? "],\n" : "\n  ],\n";
  out += "  \"totals\": {\n";
  append_count_json("profile_span_cycles", diff.profile_span_cycles, true,
                    "    ", out);
  out += ",\n";
  append_count_json("matched_sample_count", diff.matched_sample_count, false,
                    "    ", out);
  out += "\n  }\n}\n";
}

void append_diff_csv(const DiffReport& diff, std::string& out) {
  out += "name,status,measure,base,new,change,change_percent,regressed\r\n";
  const auto append_count = [&](std::string_view name, std::string_view status,
                                std::string_view measure,
                                const CountChange& change, bool regressed) {
    append_csv_field(name, out);
    out +=
        fmt::format(",{},{},{},{},", status, measure, change.base, change.next);
    append_signed_json(change, out);
    out += ',';
    if (change.percent) out += shortest_double(*change.percent);
    out += regressed ? ",true\r\n" : ",false\r\n";
  };
  for (const DiffRow& row : diff.rows) {
    const std::string_view status = status_name(row.status);
    append_count(row.name, status, "phase_cycles", row.phase_cycles,
                 row.phase_cycles.regressed);
    append_count(row.name, status, "work_cycles", row.work_cycles, false);
    append_count(row.name, status, "sample_count", row.sample_count, false);
    const RealChange& tiles = row.average_active_tiles;
    append_csv_field(row.name, out);
    out += fmt::format(",{},average_active_tiles,{},{},{},", status,
                       shortest_double(tiles.base), shortest_double(tiles.next),
                       shortest_double(tiles.change));
    if (tiles.percent) out += shortest_double(*tiles.percent);
    out += ",false\r\n";
    append_count(row.name, status, "p95_cycles", row.p95_cycles, false);
  }
  append_count("(total)", "total", "profile_span_cycles",
               diff.profile_span_cycles, diff.profile_span_cycles.regressed);
  append_count("(total)", "total", "matched_sample_count",
               diff.matched_sample_count, false);
}

ExitCode run_diff(const DiffCommand& command) {
  // One profile open at a time: each is queried and dropped before the
  // next is opened.
  const auto run_one =
      [&](const std::filesystem::path& path) -> std::optional<QueryReport> {
    const zyl_package::ColumnsResult opened =
        open_columns(path, command.limits);
    if (!opened.ok()) {
      report_error(opened.error().to_string());
      return std::nullopt;
    }
    const ProfileColumns& columns = opened.value();
    return query_for_diff(
        columns, with_window(command.query, command.from, command.to, columns),
        command.threads);
  };
  const std::optional<QueryReport> base = run_one(command.base);
  if (!base) return ExitCode::ReadError;
  const std::optional<QueryReport> next = run_one(command.next);
  if (!next) return ExitCode::ReadError;

  DiffOptions options;
  options.limit = command.query.limit;
  if (command.fail_above) {
    options.fail_above = zyl_profile::Percentage{command.fail_above->units,
                                                 command.fail_above->scale};
  }
  const DiffReport diff = diff_results(*base, *next, options);
  std::string out;
  switch (command.format) {
    case OutputFormat::Table:
      append_diff_table(diff, out);
      break;
    case OutputFormat::Json:
      append_diff_json(diff, out);
      break;
    case OutputFormat::Csv:
      append_diff_csv(diff, out);
      break;
  }
  const ExitCode written = write_output(out);
  if (written != ExitCode::Success) return written;
  return diff.regressed() ? ExitCode::Regression : ExitCode::Success;
}

}  // namespace zyl_profile::cli
