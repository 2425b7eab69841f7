// `zyl-profile phases`: the printed forms of the library's phase balance
// (zyl_profile/phase_balance.h), which tile held up each superstep and how
// long the others waited, and the command that runs it.
#pragma once

#include <cstddef>
#include <string>

#include "options.h"
#include "process.h"
#include "zyl_profile/phase_balance.h"

namespace zyl_profile::cli {

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
