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
// Regression is `diff --fail-above` finding growth above the threshold.
enum class ExitCode : std::uint8_t {
  Success = 0,
  ReadError = 1,
  Usage = 2,
  Regression = 3
};

// Runs the command line `argv[1..argc)` and returns the exit status. Ignores
// SIGPIPE so that a closed stdout shows up as EPIPE, which ends the command
// quietly.
[[nodiscard]] int run(int argc, char** argv);

// The process services of run(), for the commands in their own files: one
// escaped error line on stderr; the result on stdout (Success when the reader
// went away, ReadError with a message when the write failed); and the
// opening of a report as columns (a package is mapped, JSON converted), which
// shows progress on a terminal.
void report_error(std::string_view message);
[[nodiscard]] ExitCode write_output(std::string_view text);
[[nodiscard]] zyl_package::ColumnsResult open_columns(
    const std::filesystem::path& path, const zyl_package::ReadLimits& limits);

}  // namespace zyl_profile::cli
