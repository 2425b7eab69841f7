// The runner: runs the selected tests on worker threads, turns whatever a
// test throws into its failure, and prints the results and the summary.
#include "zyl_harness/runner.h"

#include <algorithm>
#include <atomic>
#include <charconv>  // std::to_chars
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "zyl_harness/check.h"

namespace zyl_harness {
namespace {

enum class Outcome : std::uint8_t { Passed = 0, Failed = 1, Ignored = 2 };

struct Result {
  Outcome outcome = Outcome::Passed;
  std::string details;  // why it failed; empty otherwise
};

// Runs one test and never throws: a failed check, any other exception and an
// expected failure that did not happen all become a failed result.
Result run_one(const TestDescriptor& test) {
  if (test.ignored) return Result{Outcome::Ignored, {}};
  if (test.function == nullptr) {
    return Result{Outcome::Failed, "the test has no function to run"};
  }
  std::string thrown;
  try {
    test.function();
  } catch (const CheckFailure& failure) {
    thrown = failure.what();
  } catch (const std::exception& error) {
    thrown = "the test threw an exception: ";
    thrown += error.what();
  } catch (...) {
    thrown = "the test threw an exception that is not a std::exception";
  }
  if (test.expected_to_fail) {
    if (!thrown.empty()) return Result{Outcome::Passed, {}};
    return Result{Outcome::Failed,
                  "the test returned normally but was expected to fail"};
  }
  if (thrown.empty()) return Result{Outcome::Passed, {}};
  return Result{Outcome::Failed, std::move(thrown)};
}

std::string result_line(const TestDescriptor& test, const Result& result) {
  std::string line = "test ";
  line += test.name;
  line += " ... ";
  switch (result.outcome) {
    case Outcome::Passed:
      line += "ok";
      break;
    case Outcome::Failed:
      line += "FAILED";
      break;
    case Outcome::Ignored:
      line += "ignored";
      if (test.ignore_reason) {
        line += ", ";
        line += *test.ignore_reason;
      }
      break;
  }
  line += '\n';
  return line;
}

std::string count_text(std::size_t count, std::string_view noun) {
  std::string text = std::to_string(count);
  text += ' ';
  text += noun;
  if (count != 1) text += 's';
  return text;
}

std::string seconds_text(std::chrono::steady_clock::duration elapsed) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  char buffer[32];
  const auto printed = std::to_chars(buffer, buffer + sizeof buffer, seconds,
                                     std::chars_format::fixed, 2);
  return std::string(buffer, printed.ptr) + "s";
}

// Runs `selected` on `threads` threads, the calling thread among them, and
// prints each result line as its test finishes. One thread runs the tests in
// table order on the calling thread.
std::vector<Result> run_all(std::span<const TestDescriptor* const> selected,
                            unsigned threads, std::ostream& out) {
  std::vector<Result> results(selected.size());
  std::atomic<std::size_t> next{0};
  // Whole lines only, so lines of tests finishing together never interleave.
  std::mutex out_mutex;
  const auto work = [&] {
    for (std::size_t i = next++; i < selected.size(); i = next++) {
      results[i] = run_one(*selected[i]);
      const std::string line = result_line(*selected[i], results[i]);
      const std::lock_guard lock(out_mutex);
      out << line << std::flush;
    }
  };
  std::vector<std::thread> workers;
  // The calling thread is one of the `threads`.
  const std::size_t wanted =
      selected.empty() ? 0
                       : std::min<std::size_t>(threads, selected.size()) - 1;
  workers.reserve(wanted);
  for (std::size_t i = 0; i < wanted; ++i) {
    try {
      workers.emplace_back(work);
    } catch (const std::system_error&) {
      // No more threads to be had: the ones started and this one finish the
      // table between them.
      break;
    }
  }
  work();
  for (std::thread& worker : workers) worker.join();
  return results;
}

}  // namespace

int run_tests(std::span<const TestDescriptor> tests, const RunOptions& options,
              std::ostream& out) {
  std::vector<const TestDescriptor*> selected;
  for (const TestDescriptor& test : tests) {
    if (is_selected(options, test.name)) selected.push_back(&test);
  }
  const std::size_t filtered_out = tests.size() - selected.size();

  if (options.list) {
    for (const TestDescriptor* test : selected) {
      out << test->name << ": test\n";
    }
    out << '\n' << count_text(selected.size(), "test") << '\n' << std::flush;
    return kExitSuccess;
  }

  unsigned threads = options.test_threads.value_or(0);
  if (threads == 0) threads = std::max(1U, std::thread::hardware_concurrency());

  out << '\n'
      << "running " << count_text(selected.size(), "test") << '\n'
      << std::flush;
  const auto started = std::chrono::steady_clock::now();
  const std::vector<Result> results = run_all(selected, threads, out);
  const auto elapsed = std::chrono::steady_clock::now() - started;

  std::size_t passed = 0;
  std::size_t ignored = 0;
  std::vector<std::size_t> failed;
  for (std::size_t i = 0; i < results.size(); ++i) {
    switch (results[i].outcome) {
      case Outcome::Passed:
        ++passed;
        break;
      case Outcome::Ignored:
        ++ignored;
        break;
      case Outcome::Failed:
        failed.push_back(i);
        break;
    }
  }

  if (!failed.empty()) {
    // Details in table order, whatever order the tests finished in.
    out << "\nfailures:\n";
    for (const std::size_t i : failed) {
      out << "\n---- " << selected[i]->name << " ----\n"
          << results[i].details << '\n';
    }
    out << "\nfailures:\n";
    for (const std::size_t i : failed) {
      out << "    " << selected[i]->name << '\n';
    }
  }
  out << "\ntest result: " << (failed.empty() ? "ok" : "FAILED") << ". "
      << passed << " passed; " << failed.size() << " failed; " << ignored
      << " ignored; " << filtered_out << " filtered out; finished in "
      << seconds_text(elapsed) << "\n\n"
      << std::flush;
  return failed.empty() ? kExitSuccess : kExitFailure;
}

int run_tests(std::span<const TestDescriptor> tests, int argc,
              const char* const* argv) {
  const std::string_view program =
      argc > 0 && argv[0] != nullptr ? argv[0] : "tests";
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const ParsedOptions parsed = parse_options(args);
  if (!parsed.options) {
    std::cerr << "error: " << parsed.error << " (run with --help for usage)\n";
    return kExitFailure;
  }
  if (parsed.options->help) {
    std::cout << usage(program) << std::flush;
    return kExitSuccess;
  }
  return run_tests(tests, *parsed.options, std::cout);
}

void test_main(std::span<const TestDescriptor> tests, int argc,
               const char* const* argv) {
  if (run_tests(tests, argc, argv) != kExitSuccess) std::exit(kExitFailure);
}

}  // namespace zyl_harness
