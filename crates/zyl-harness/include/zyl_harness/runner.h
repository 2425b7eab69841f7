// The test table and the runner: reads its own command line, selects tests by
// name, runs them (by default on worker threads), prints one line per test
// and a summary, and turns the outcome into the process's exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zyl_harness {

// What a descriptor describes; the harness only knows plain unit tests.
enum class TestKind : std::uint8_t {
  UnitTest = 0,
};

// One entry of a test table. Plain data so a table can be a constexpr array.
struct TestDescriptor {
  std::string_view name;           // as the command line selects it
  std::string_view source_file;    // relative to the repository root
  std::uint32_t start_line = 0;    // line of the test's name, from 1
  std::uint32_t start_column = 0;  // first column of the name, from 1
  std::uint32_t end_line = 0;
  std::uint32_t end_column = 0;  // one past the name's last character
  bool ignored = false;          // listed and counted, never run
  std::optional<std::string_view> ignore_reason;
  bool expected_to_fail = false;  // passes exactly when the function throws
  TestKind kind = TestKind::UnitTest;
  void (*function)() = nullptr;  // passes when it returns
};

// The command line, parsed.
struct RunOptions {
  std::vector<std::string> filters;  // run names containing any; none: all
  std::vector<std::string> skips;    // leave out names containing any
  bool exact = false;                // filters and skips match whole names
  bool list = false;                 // print the selection, run nothing
  bool help = false;
  std::optional<unsigned> test_threads;  // absent: the hardware's count
};

// The outcome of parse_options: the options, or the one-line reason the
// command line was rejected.
struct ParsedOptions {
  std::optional<RunOptions> options;
  std::string error;
};

// The exit statuses of a run.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 101;

// Returns the options in `args` (the arguments after the program name):
// positional FILTERs, --exact, --skip PATTERN (repeatable), --list,
// --test-threads N (N at least 1), --help; `--skip=P` and
// `--test-threads=N` work too, and `--` makes every later argument a filter.
[[nodiscard]] ParsedOptions parse_options(
    std::span<const std::string_view> args);

// Returns the usage text that --help prints.
[[nodiscard]] std::string usage(std::string_view program);

// Returns true when `options` selects the test called `name`.
[[nodiscard]] bool is_selected(const RunOptions& options,
                               std::string_view name);

// Runs (or, with --list, lists) the tests of `tests` that `options` selects
// and writes the results to `out`. Returns kExitSuccess when every selected
// test passed (also when none is selected), kExitFailure otherwise. Never
// throws out of a test: whatever escapes one fails that test only.
[[nodiscard]] int run_tests(std::span<const TestDescriptor> tests,
                            const RunOptions& options, std::ostream& out);

// Parses argv, then runs as above on standard output; a rejected command line
// gets a one-line reason on standard error and kExitFailure.
[[nodiscard]] int run_tests(std::span<const TestDescriptor> tests, int argc,
                            const char* const* argv);

// The entry a test program calls: runs as above and ends the process with
// exit status 101 when any test failed or the command line was rejected;
// otherwise returns to the caller.
void test_main(std::span<const TestDescriptor> tests, int argc,
               const char* const* argv);

}  // namespace zyl_harness
