// `zyl-profile phases`: the printed forms of the library's phase balance
// (zyl_profile/phase_balance.h), which tile held up each superstep and how
// long the others waited, and the command that runs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "options.h"
#include "process.h"
#include "zyl_profile/phase_balance.h"

namespace zyl_profile::cli {

// "synchronization" or "imbalance", as the printed forms name the measure.
[[nodiscard]] std::string_view wait_measure_name(WaitMeasure measure);

// Calls `visit(key, value)` for each field of `row` in declaration order,
// with the value as a std::uint64_t, a double or a std::string_view. Every
// form that lists a row's fields (JSON, CSV, the report page's data) goes
// through here, so none can name or order them differently.
template <typename Visit>
void visit_phase_row_fields(const PhaseRow& row, Visit&& visit) {
  visit("phase", std::uint64_t{row.phase});
  visit("epoch", std::uint64_t{row.epoch});
  visit("start", row.start);
  visit("end", row.end);
  visit("span", row.span);
  visit("tiles", std::uint64_t{row.tiles});
  visit("compute_cycles", row.compute_cycles);
  visit("exchange_cycles", row.exchange_cycles);
  visit("synchronization_cycles", row.synchronization_cycles);
  visit("idle_cycles", row.idle_cycles);
  visit("busy_cycles", row.busy_cycles);
  visit("slowest_tile", std::uint64_t{row.slowest_tile});
  visit("slowest_busy_cycles", row.slowest_busy_cycles);
  visit("slowest_kernel", std::string_view(row.slowest_kernel));
  visit("mean_busy_cycles", row.mean_busy_cycles);
  visit("median_busy_cycles", row.median_busy_cycles);
  visit("wait_cycles", row.wait_cycles);
  visit("wait_measure", wait_measure_name(row.wait_measure));
}

// Appends the table for people: the first `rows` rows of `balance` (0: all)
// in its order, a line saying how many more there are, then one line with
// the share of tile-cycles spent waiting and the top three phases' slowest
// tiles. Fitted to `max_width` columns (0: no limit).
void append_phases_table(const PhaseBalance& balance, std::size_t rows,
                         std::string& out, std::size_t max_width);

// Appends the JSON object: clock_hz, matched_sample_count, row_count (every
// row), rows (the first `rows`, 0: all; each PhaseRow's fields in
// declaration order) and totals.
void append_phases_json(const PhaseBalance& balance, std::size_t rows,
                        std::string& out);

// Appends CSV: a header row, then the first `rows` rows (0: all).
void append_phases_csv(const PhaseBalance& balance, std::size_t rows,
                       std::string& out);

// Runs `zyl-profile phases`.
[[nodiscard]] ExitCode run_phases(const PhasesCommand& command);

}  // namespace zyl_profile::cli
