// The zyl-profile executable: everything but the process entry lives in the
// zyl_profile_cli library, so the tests can run it without a process.
#include "commands.h"

int main(int argc, char** argv) { return zyl_profile::cli::run(argc, argv); }
