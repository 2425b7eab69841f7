// What a refused command line tells the user: CLI11's refusals turned into
// the tool's one-line usage errors, naming the command or option meant when
// a word is close to one.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"

namespace zyl_profile::cli {

// Returns " (did you mean X?)" for the candidate closest to `text`, or ""
// when none is within a third of its length. A swap of neighbours counts
// as one edit, so "qeury" is close to "query".
[[nodiscard]] std::string did_you_mean(
    std::string_view text, const std::vector<std::string>& candidates);

// Returns the error for a first word that names no command, or success
// when a command was found. Checked before anything else: a mistyped
// command makes every later word meaningless.
[[nodiscard]] Parsed<void> known_command(const CLI::App& app);

// Returns the usage error for the command line `app` refused with `error`.
// When the line holds several mistakes, the one a user most likely made is
// named: an unknown option, then an option given more than once, then the
// first thing CLI11 found wrong.
[[nodiscard]] UsageError usage_error(const CLI::App& app,
                                     const CLI::ParseError& error);

}  // namespace zyl_profile::cli
