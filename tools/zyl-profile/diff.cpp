// The three printed forms of a DiffReport, and the diff command.
#include "diff.h"

#include <fmt/format.h>

#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "format/csv.h"
#include "format/json_writer.h"
#include "format/text.h"
#include "format/text_table.h"
#include "samples.h"

namespace zyl_profile::cli {
namespace {

std::string signed_text(const CountChange& change) {
  if (change.magnitude == 0) return "0";
  // Appended rather than `"-" + text`: GCC 12 warns falsely (-Wrestrict)
  // on that operator+ once inlined here.
  std::string text(change.negative ? "-" : "+");
  text += with_separators(change.magnitude);
  return text;
}

// The change as JSON or CSV spell it: an exact signed integer.
std::string signed_digits(const CountChange& change) {
  std::string text(change.negative && change.magnitude != 0 ? "-" : "");
  append_decimal(change.magnitude, text);
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

std::string percentage_text(const Percentage& value) {
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

bool unchanged(const DiffReport& diff) {
  return diff.changed_count == 0 && diff.profile_span_cycles.magnitude == 0 &&
         diff.matched_sample_count.magnitude == 0;
}

void append_count_json(std::string_view name, const CountChange& change,
                       bool with_regressed, JsonWriter& json) {
  json.key(name).begin_object(JsonLayout::Inline);
  json.field("base", change.base).field("new", change.next);
  json.key("change").number_text(signed_digits(change));
  json.key("change_percent");
  if (change.percent) {
    json.real(*change.percent);
  } else {
    json.null();
  }
  if (with_regressed) json.field("regressed", change.regressed);
  json.end();
}

void append_real_json(std::string_view name, const RealChange& change,
                      JsonWriter& json) {
  json.key(name).begin_object(JsonLayout::Inline);
  json.field("base", change.base)
      .field("new", change.next)
      .field("change", change.change);
  json.key("change_percent");
  if (change.percent) {
    json.real(*change.percent);
  } else {
    json.null();
  }
  json.end();
}

// The rows that changed: a group the same in both reports tells a reader
// nothing, so the table leaves it out and says how many it left out.
void append_rows_table(const DiffReport& diff, std::string& out,
                       std::size_t max_width) {
  TextTable table;
  table.column("group", Align::Left);
  table.column("status", Align::Left, 3);
  for (const auto& [title, rank] :
       {std::pair{"base phase", 0}, std::pair{"new phase", 0},
        std::pair{"change", 0}, std::pair{"change %", 0},
        std::pair{"base work", 4}, std::pair{"new work", 4},
        std::pair{"base work %", 2}, std::pair{"new work %", 2},
        std::pair{"base samples", 5}, std::pair{"new samples", 5},
        std::pair{"base avg tiles", 4}, std::pair{"new avg tiles", 4},
        std::pair{"base p95", 6}, std::pair{"new p95", 6}}) {
    table.column(title, Align::Right, rank);
  }
  table.column("", Align::Left);
  std::size_t same = 0;
  for (const DiffRow& row : diff.rows) {
    if (row.status == DiffStatus::Same) {
      ++same;
      continue;
    }
    table.row({terminal_escape(row.name), std::string(status_name(row.status)),
               with_separators(row.phase_cycles.base),
               with_separators(row.phase_cycles.next),
               signed_text(row.phase_cycles),
               percent_text(row.phase_cycles.percent, row.status),
               with_separators(row.work_cycles.base),
               with_separators(row.work_cycles.next),
               fixed(row.work_percent.base, 1), fixed(row.work_percent.next, 1),
               with_separators(row.sample_count.base),
               with_separators(row.sample_count.next),
               fixed(row.average_active_tiles.base, 2),
               fixed(row.average_active_tiles.next, 2),
               with_separators(row.p95_cycles.base),
               with_separators(row.p95_cycles.next),
               row.phase_cycles.regressed ? "REGRESSED" : ""});
  }
  const std::size_t left_out = table.append_to(out, max_width);
  if (same > 0) {
    out += fmt::format(
        "({} unchanged {} not listed; --format json lists every group)\n",
        with_separators(same), same == 1 ? "group" : "groups");
  }
  append_left_out_note(left_out, max_width, out);
}

}  // namespace

void append_diff_table(const DiffReport& diff, std::string& out,
                       std::size_t max_width) {
  const auto append_total = [&](std::string_view name,
                                const CountChange& change) {
    out +=
        fmt::format("{}: {} -> {}, {} ({})", name, with_separators(change.base),
                    with_separators(change.next), signed_text(change),
                    percent_text(change.percent, DiffStatus::Changed));
    if (change.regressed) out += "  REGRESSED";
    out += '\n';
  };
  if (unchanged(diff)) {
    out += fmt::format(
        "no changes: {} groups, {} matched samples and a span of {} cycles, "
        "the same in both reports\n",
        with_separators(diff.group_count),
        with_separators(diff.matched_sample_count.base),
        with_separators(diff.profile_span_cycles.base));
  } else {
    const std::string_view kept =
        diff.show == DiffShow::Regressions    ? "regressions"
        : diff.show == DiffShow::Improvements ? "improvements"
                                              : "changes";
    if (diff.rows.empty()) {
      out += fmt::format("no {} among the {} groups\n",
                         diff.show == DiffShow::All ? "groups" : kept,
                         with_separators(diff.group_count));
    } else {
      append_rows_table(diff, out, max_width);
      if (diff.show != DiffShow::All) {
        out += fmt::format("({} of {} {} shown; {} groups in all)\n",
                           with_separators(diff.rows.size()),
                           with_separators(diff.shown_count), kept,
                           with_separators(diff.group_count));
      } else if (diff.rows.size() < diff.group_count) {
        out += fmt::format("({} of {} groups shown)\n",
                           with_separators(diff.rows.size()),
                           with_separators(diff.group_count));
      }
    }
    out += '\n';
    append_total("profile span cycles", diff.profile_span_cycles);
    append_total("matched samples", diff.matched_sample_count);
    out += fmt::format("{} of {} groups changed\n",
                       with_separators(diff.changed_count),
                       with_separators(diff.group_count));
  }
  if (diff.fail_above) {
    const std::string threshold = percentage_text(*diff.fail_above);
    if (!diff.regressed()) {
      out += fmt::format("no regression above {}\n", threshold);
    } else {
      out += fmt::format("regressions above {}:\n", threshold);
      if (diff.profile_span_cycles.regressed) out += "  (profile span)\n";
      for (const std::string& name : diff.regressed_groups) {
        out += "  ";
        out += terminal_escape(name);
        out += '\n';
      }
    }
  }
}

void append_diff_json(const DiffReport& diff, std::string& out) {
  JsonWriter json(out);
  json.begin_object(JsonLayout::Block);
  json.key("fail_above_percent");
  if (diff.fail_above) {
    json.real(static_cast<double>(diff.fail_above->units) /
              static_cast<double>(diff.fail_above->scale));
  } else {
    json.null();
  }
  json.field("regressed", diff.regressed())
      .field("group_count", diff.group_count)
      .field("changed_group_count", diff.changed_count)
      .field("shown_group_count", diff.shown_count);
  json.key("groups").begin_array(JsonLayout::Block);
  for (const DiffRow& row : diff.rows) {
    json.begin_object(JsonLayout::Block).field("name", row.name);
    json.key("dimensions").begin_object(JsonLayout::Inline);
    for (const auto& [key, value] : row.dimensions) json.field(key, value);
    json.end().field("status", status_name(row.status));
    append_count_json("phase_cycles", row.phase_cycles, true, json);
    append_count_json("work_cycles", row.work_cycles, false, json);
    append_count_json("sample_count", row.sample_count, false, json);
    append_real_json("average_active_tiles", row.average_active_tiles, json);
    append_count_json("p95_cycles", row.p95_cycles, false, json);
    append_real_json("work_percent", row.work_percent, json);
    json.end();
  }
  json.end();
  json.key("regressed_groups").begin_array(JsonLayout::Inline);
  for (const std::string& name : diff.regressed_groups) json.string(name);
  json.end();
  json.key("totals").begin_object(JsonLayout::Block);
  append_count_json("profile_span_cycles", diff.profile_span_cycles, true,
                    json);
  append_count_json("matched_sample_count", diff.matched_sample_count, false,
                    json);
  json.end().end();
  out += '\n';
}

void append_diff_csv(const DiffReport& diff, std::string& out) {
  CsvRow header(out);
  for (const std::string_view name :
       {"name", "status", "measure", "base", "new", "change", "change_percent",
        "regressed"}) {
    header.text(name);
  }
  header.end();
  const auto append_count = [&](std::string_view name, std::string_view status,
                                std::string_view measure,
                                const CountChange& change, bool regressed) {
    CsvRow row(out);
    row.text(name)
        .raw(status)
        .raw(measure)
        .number(change.base)
        .number(change.next);
    row.raw(signed_digits(change));
    if (change.percent) {
      row.real(*change.percent);
    } else {
      row.raw("");  // no finite percentage: a missing value, not a string
    }
    row.raw(regressed ? "true" : "false").end();
  };
  const auto append_real = [&](std::string_view name, std::string_view status,
                               std::string_view measure,
                               const RealChange& change) {
    CsvRow line(out);
    line.text(name).raw(status).raw(measure);
    line.real(change.base).real(change.next).real(change.change);
    if (change.percent) {
      line.real(*change.percent);
    } else {
      line.raw("");
    }
    line.raw("false").end();
  };
  for (const DiffRow& row : diff.rows) {
    const std::string_view status = status_name(row.status);
    append_count(row.name, status, "phase_cycles", row.phase_cycles,
                 row.phase_cycles.regressed);
    append_count(row.name, status, "work_cycles", row.work_cycles, false);
    append_count(row.name, status, "sample_count", row.sample_count, false);
    append_real(row.name, status, "average_active_tiles",
                row.average_active_tiles);
    append_count(row.name, status, "p95_cycles", row.p95_cycles, false);
    append_real(row.name, status, "work_percent", row.work_percent);
  }
  append_count("(total)", "total", "profile_span_cycles",
               diff.profile_span_cycles, diff.profile_span_cycles.regressed);
  append_count("(total)", "total", "matched_sample_count",
               diff.matched_sample_count, false);
}

ExitCode run_diff(const DiffCommand& command) {
  const OpenOptions options =
      open_options(command.selection.limits, command.selection.concatenate);
  const Loaded<std::vector<ProfileSet>> profiles =
      open_profiles(command.reports, options);
  if (!profiles.ok()) {
    print_load_error(profiles.error());
    return ExitCode::ReadError;
  }
  if (profiles.value().size() != 2) {
    print_error(fmt::format(
        "BASE NEW: expected two profiles to compare (each one report or the "
        "shards of one), found {}",
        profiles.value().size()));
    std::fputs(fmt::format("{}\n", kUsageHint).c_str(), stderr);
    return ExitCode::Usage;
  }
  const Loaded<DiffAnswer> answer = zyl_profile::diff(
      profiles.value()[0], profiles.value()[1], command.selection.query,
      command.diff, ParallelOptions{command.selection.threads});
  if (!answer.ok()) {
    print_load_error(answer.error());
    return ExitCode::ReadError;
  }
  const DiffReport& diff = answer.value().report;
  std::string out;
  switch (command.printing.format) {
    case OutputFormat::Table:
      append_diff_table(diff, out,
                        command.printing.wide ? 0 : kDefaultTableWidth);
      break;
    case OutputFormat::Json:
      append_diff_json(diff, out);
      break;
    case OutputFormat::Csv:
      append_diff_csv(diff, out);
      break;
  }
  const ExitCode written = write_output(out);
  if (command.printing.timings) {
    const AnswerCosts& costs = answer.value().costs;
    print_note(fmt::format(
        "load {:.1f} ms, queries {:.1f} ms on up to {} {}, peak memory {:.1f} "
        "MiB",
        costs.load_ms, costs.query_ms, costs.threads,
        costs.threads == 1 ? "thread" : "threads", peak_memory_mib()));
  }
  if (written != ExitCode::Success) return written;
  return diff.regressed() ? ExitCode::Regression : ExitCode::Success;
}

}  // namespace zyl_profile::cli
