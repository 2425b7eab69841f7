// `zyl-profile diff`: the printed forms of the library's comparison of two
// reports, and the command that runs it with a regression check for CI
// (`--fail-above`).
#pragma once

#include <string>

#include "commands.h"
#include "options.h"
#include "zyl_profile/diff.h"

namespace zyl_profile::cli {

// Appends the printed forms: a table for people (ending with what regressed,
// when --fail-above was given), the JSON object, and CSV in long form
// (one row per group and measure, then the totals).
void append_diff_table(const DiffReport& diff, std::string& out);
void append_diff_json(const DiffReport& diff, std::string& out);
void append_diff_csv(const DiffReport& diff, std::string& out);

// Runs `zyl-profile diff`: exit 3 when --fail-above finds a regression and
// the output was written.
[[nodiscard]] ExitCode run_diff(const DiffCommand& command);

}  // namespace zyl_profile::cli
