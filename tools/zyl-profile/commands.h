// The top of zyl-profile: runs a command line through parse_options and the
// command it names. Every command's own file includes process.h, never this.
#pragma once

namespace zyl_profile::cli {

// Runs the command line `argv[1..argc)` and returns the exit status. Ignores
// SIGPIPE so that a closed stdout shows up as EPIPE, which ends the command
// quietly.
[[nodiscard]] int run(int argc, char** argv);

}  // namespace zyl_profile::cli
