// The table, JSON and CSV printers of a PhaseBalance, and run_phases.
#include "phases.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>  // std::decay_t in the CSV row

#include "format/csv.h"
#include "format/json_writer.h"
#include "format/text.h"
#include "format/text_table.h"

namespace zyl_profile::cli {
namespace {

// The phases named in the closing line of the table.
constexpr std::size_t kSummaryPhases = 3;

// The table's shorter spelling, so the column stays narrow.
std::string_view measure_label(WaitMeasure measure) {
  return measure == WaitMeasure::Synchronization ? "sync" : "imbalance";
}

// The rows a form prints: the first `rows` (0: all).
std::size_t shown_rows(const PhaseBalance& balance, std::size_t rows) {
  return rows == 0 ? balance.rows.size() : std::min(rows, balance.rows.size());
}

// "12.3%"; phases that spanned no tile-cycles waited none of them.
std::string wait_share(const PhaseTotals& totals) {
  return fixed(100.0 * totals.wait_share(), 1) + "%";
}

std::string kernel_text(const std::string& kernel) {
  return kernel.empty() ? std::string("(no compute)") : terminal_escape(kernel);
}

void append_summary(const PhaseBalance& balance, std::string& out) {
  const std::size_t named = std::min(kSummaryPhases, balance.rows.size());
  out += fmt::format("phases waited {} of tile-cycles; ",
                     wait_share(balance.totals));
  out += named == 1 ? std::string("the top phase's slowest tile: ")
                    : fmt::format("the top {} phases' slowest tiles: ", named);
  for (std::size_t i = 0; i < named; ++i) {
    const PhaseRow& row = balance.rows[i];
    out += fmt::format("{}{} (phase {} epoch {}, kernel {})",
                       i == 0 ? "" : ", ", row.slowest_tile, row.phase,
                       row.epoch, kernel_text(row.slowest_kernel));
  }
  out += '\n';
}

}  // namespace

std::string_view wait_measure_name(WaitMeasure measure) {
  return measure == WaitMeasure::Synchronization ? "synchronization"
                                                 : "imbalance";
}

void append_phases_table(const PhaseBalance& balance, std::size_t rows,
                         std::string& out, std::size_t max_width) {
  out += fmt::format("{} matched samples in {} phase-epoch {}\n\n",
                     with_separators(balance.matched_sample_count),
                     with_separators(balance.rows.size()),
                     balance.rows.size() == 1 ? "pair" : "pairs");
  if (balance.rows.empty()) {
    out += "no matching samples\n";
    return;
  }
  TextTable table;
  table.column("phase", Align::Right);
  table.column("epoch", Align::Right);
  table.column("span", Align::Right, 2);
  table.column("tiles", Align::Right, 3);
  table.column("slowest tile", Align::Right);
  table.column("slowest kernel", Align::Left);
  table.column("slowest busy", Align::Right, 1);
  table.column("median busy", Align::Right, 4);
  table.column("mean busy", Align::Right, 4);
  table.column("wait", Align::Right);
  table.column("measure", Align::Left);
  const std::size_t shown = shown_rows(balance, rows);
  for (std::size_t i = 0; i < shown; ++i) {
    const PhaseRow& row = balance.rows[i];
    table.row({with_separators(row.phase), with_separators(row.epoch),
               with_separators(row.span), with_separators(row.tiles),
               with_separators(row.slowest_tile),
               kernel_text(row.slowest_kernel),
               with_separators(row.slowest_busy_cycles),
               with_separators(row.median_busy_cycles),
               fixed(row.mean_busy_cycles, 1), with_separators(row.wait_cycles),
               std::string(measure_label(row.wait_measure))});
  }
  const std::size_t left_out = table.append_to(out, max_width);
  if (shown < balance.rows.size()) {
    out += fmt::format(
        "({} more phase-epoch pairs not listed; --limit 0 "
        "lists all)\n",
        with_separators(balance.rows.size() - shown));
  }
  if (left_out > 0) out += '\n';
  append_left_out_note(left_out, max_width, out);
  out += '\n';
  append_summary(balance, out);
}

void append_phases_json(const PhaseBalance& balance, std::size_t rows,
                        std::string& out) {
  JsonWriter json(out);
  json.begin_object(JsonLayout::Block)
      .field("clock_hz", balance.clock_hz)
      .field("matched_sample_count", balance.matched_sample_count)
      .field("row_count", balance.rows.size());
  json.key("rows").begin_array(JsonLayout::Block);
  const std::size_t shown = shown_rows(balance, rows);
  for (std::size_t i = 0; i < shown; ++i) {
    json.begin_object(JsonLayout::Block);
    visit_phase_row_fields(balance.rows[i],
                           [&json](std::string_view key, const auto& value) {
                             json.field(key, value);
                           });
    json.end();
  }
  json.end();
  json.key("totals")
      .begin_object(JsonLayout::Block)
      .field("wait_cycles", balance.totals.wait_cycles)
      .field("busy_cycles", balance.totals.busy_cycles)
      .field("tile_cycles", balance.totals.tile_cycles)
      .field("wait_share", balance.totals.wait_share())
      .end();
  json.end();
  out += '\n';
}

void append_phases_csv(const PhaseBalance& balance, std::size_t rows,
                       std::string& out) {
  CsvRow header(out);
  visit_phase_row_fields(
      PhaseRow{},
      [&header](std::string_view key, const auto&) { header.text(key); });
  header.end();
  const std::size_t shown = shown_rows(balance, rows);
  for (std::size_t i = 0; i < shown; ++i) {
    CsvRow row(out);
    visit_phase_row_fields(
        balance.rows[i], [&row](std::string_view, const auto& value) {
          using Value = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<Value, std::uint64_t>) {
            row.number(value);
          } else if constexpr (std::is_same_v<Value, double>) {
            row.real(value);
          } else {
            row.text(value);
          }
        });
    row.end();
  }
}

ExitCode run_phases(const PhasesCommand& command) {
  const std::optional<ProfileSet> profile = open_set(
      command.reports,
      open_options(command.selection.limits, command.selection.concatenate));
  if (!profile) return ExitCode::ReadError;
  AnswerCosts costs;
  const zyl_package::Loaded<PhaseBalance> answer =
      phase_balance(*profile, command.selection.query,
                    ParallelOptions{command.selection.threads}, &costs);
  if (!answer.ok()) {
    print_load_error(answer.error());
    return ExitCode::ReadError;
  }
  const PhaseBalance& balance = answer.value();
  std::string out;
  switch (command.printing.format) {
    case OutputFormat::Table:
      append_phases_table(balance, command.limit.value_or(kDefaultPhaseRows),
                          out, command.printing.wide ? 0 : kDefaultTableWidth);
      break;
    case OutputFormat::Json:
      append_phases_json(balance, command.limit.value_or(0), out);
      break;
    case OutputFormat::Csv:
      append_phases_csv(balance, command.limit.value_or(0), out);
      break;
  }
  const ExitCode status = write_output(out);
  if (command.printing.timings) {
    const std::string files =
        profile->size() == 1 ? ""
                             : fmt::format(" over {} shards", profile->size());
    print_note(fmt::format(
        "load {:.1f} ms, phases {:.1f} ms{} on {} {}, peak memory {:.1f} MiB",
        costs.load_ms, costs.query_ms, files, costs.threads,
        costs.threads == 1 ? "thread" : "threads", peak_memory_mib()));
  }
  return status;
}

}  // namespace zyl_profile::cli
