// `zyl-profile diff`: the printed forms of the library's comparison of two
// reports (zyl_profile/diff.h), and the command that runs it with a
// regression check for CI (`--fail-above`).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "options.h"
#include "process.h"
#include "zyl_profile/diff.h"

namespace zyl_profile::cli {

// Appends the table for people: the changed groups (a comparison without
// changes says so in one line instead of a table of zeros), the totals, and
// what regressed above --fail-above, one name per line. Fitted to
// `max_width` columns (0: no limit).
void append_diff_table(const DiffReport& diff, std::string& out,
                       std::size_t max_width);

// Appends the JSON object: the totals, the threshold, then one object per
// row with each measure's base, new, change and change_percent.
void append_diff_json(const DiffReport& diff, std::string& out);

// Appends CSV in long form: one row per group and measure, then the totals.
void append_diff_csv(const DiffReport& diff, std::string& out);

// Runs `zyl-profile diff`: exit 3 when --fail-above finds a regression and
// the output was written.
[[nodiscard]] ExitCode run_diff(const DiffCommand& command);

}  // namespace zyl_profile::cli
