// The runner's command line: parse_options, usage and the name selection.
#include <charconv>  // std::from_chars
#include <string>
#include <string_view>

#include "zyl_harness/runner.h"

namespace zyl_harness {
namespace {

constexpr std::string_view kSkip = "--skip";
constexpr std::string_view kTestThreads = "--test-threads";

ParsedOptions reject(std::string reason) {
  return ParsedOptions{std::nullopt, std::move(reason)};
}

// Returns the thread count in `text`, or nothing unless it is a plain decimal
// number of at least 1 that fits an unsigned.
std::optional<unsigned> parse_thread_count(std::string_view text) {
  unsigned count = 0;
  const char* const end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, count);
  if (ec != std::errc() || ptr != end || text.empty() || count == 0) {
    return std::nullopt;
  }
  return count;
}

bool matches(std::string_view name, std::string_view pattern, bool exact) {
  return exact ? name == pattern : name.find(pattern) != std::string_view::npos;
}

}  // namespace

ParsedOptions parse_options(std::span<const std::string_view> args) {
  RunOptions options;
  bool only_filters = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (only_filters || arg.empty() || arg.front() != '-' || arg == "-") {
      options.filters.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      only_filters = true;
    } else if (arg == "--exact") {
      options.exact = true;
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == kSkip || arg == kTestThreads) {
      if (i + 1 == args.size()) {
        return reject("option '" + std::string(arg) + "' needs a value");
      }
      const std::string_view value = args[++i];
      if (arg == kSkip) {
        options.skips.emplace_back(value);
      } else if (const auto count = parse_thread_count(value)) {
        options.test_threads = count;
      } else {
        return reject(
            "option '--test-threads' needs a number of at least 1, "
            "found '" +
            std::string(value) + "'");
      }
    } else if (arg.starts_with(std::string(kSkip) + "=")) {
      options.skips.emplace_back(arg.substr(kSkip.size() + 1));
    } else if (arg.starts_with(std::string(kTestThreads) + "=")) {
      const std::string_view value = arg.substr(kTestThreads.size() + 1);
      const auto count = parse_thread_count(value);
      if (!count) {
        return reject(
            "option '--test-threads' needs a number of at least 1, "
            "found '" +
            std::string(value) + "'");
      }
      options.test_threads = count;
    } else {
      return reject("unrecognized option '" + std::string(arg) + "'");
    }
  }
  return ParsedOptions{std::move(options), {}};
}

std::string usage(std::string_view program) {
  std::string text = "Usage: ";
  text += program;
  text += R"( [OPTIONS] [FILTER...]

Runs the tests whose names contain any FILTER (all tests when none is given).

Options:
  --exact             FILTERs and --skip patterns match whole names only
  --skip PATTERN      leave out tests whose names contain PATTERN (repeatable)
  --list              print the selected tests, one 'NAME: test' per line,
                      and run nothing
  --test-threads N    run up to N tests at once (default: the hardware's
                      thread count); 1 runs them in order on the main thread
  -h, --help          print this text

Exit status: 0 when every selected test passed, 101 when any failed or the
command line was rejected.
)";
  return text;
}

bool is_selected(const RunOptions& options, std::string_view name) {
  bool wanted = options.filters.empty();
  for (const std::string& filter : options.filters) {
    if (matches(name, filter, options.exact)) {
      wanted = true;
      break;
    }
  }
  if (!wanted) return false;
  for (const std::string& skip : options.skips) {
    if (matches(name, skip, options.exact)) return false;
  }
  return true;
}

}  // namespace zyl_harness
