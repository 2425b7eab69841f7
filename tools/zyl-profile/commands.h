// The subcommands of zyl-profile and the process-level rules they share: exit
// statuses, errors on stderr only, stdout written once and quietly abandoned
// when the reader has gone away.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "options.h"
#include "zyl_profile/query.h"

namespace zyl_profile::cli {

// The process exit statuses. ReadError also covers a file that cannot be
// written: in both cases the command ran on a sound command line and failed.
enum class ExitCode : std::uint8_t { Success = 0, ReadError = 1, Usage = 2 };

// Runs the command line `argv[1..argc)` and returns the exit status. Ignores
// SIGPIPE so that a closed stdout shows up as EPIPE, which ends the command
// quietly.
[[nodiscard]] int run(int argc, char** argv);

// Returns the length of the longest tile timeline of `report`, as the query
// reports it in profile_span_cycles, without grouping anything.
[[nodiscard]] std::uint64_t profile_span(const ProfileReport& report);

}  // namespace zyl_profile::cli
