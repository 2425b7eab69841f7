// The process services of the commands: error and note lines, the stdout
// writer, the progress line of long reads and writes, and --timings' clock
// and memory figures.
#include "process.h"

#include <fmt/format.h>
#include <sys/resource.h>  // getrusage
#include <unistd.h>        // isatty, write

#include <algorithm>
#include <cerrno>
#include <charconv>  // std::from_chars
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <system_error>

#include "format/text.h"
#include "options.h"  // kProgramName
#include "zyl_package/atomic_file.h"

namespace zyl_profile::cli {
namespace {

// Prints one message line on stderr. The text may carry bytes from the
// report or the command line, so it is escaped like table output.
void print_message(std::string_view message) {
  const std::string line =
      fmt::format("{}: {}\n", kProgramName, terminal_escape(message));
  std::fputs(line.c_str(), stderr);
}

enum class WriteStatus : std::uint8_t {
  Written = 0,
  ReaderGone = 1,
  Failed = 2
};

// Writes all of `text` to stdout with write(2), so that EPIPE is seen here
// (SIGPIPE is ignored) and any other failure, such as a full disk, too.
WriteStatus write_stdout(std::string_view text, int& error) {
  while (!text.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return errno == EPIPE ? WriteStatus::ReaderGone : WriteStatus::Failed;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return WriteStatus::Written;
}

ExitCode print_result(std::string_view text) {
  int error = 0;
  switch (write_stdout(text, error)) {
    case WriteStatus::Written:
    case WriteStatus::ReaderGone:  // `| head` has read all it wanted
      return ExitCode::Success;
    case WriteStatus::Failed:
      break;
  }
  print_error(fmt::format("cannot write the output: {}",
                          std::generic_category().message(error)));
  return ExitCode::ReadError;
}

}  // namespace

ProgressLine::ProgressLine(std::string_view verb,
                           const std::filesystem::path& path,
                           const zyl_package::ReadProgress& progress,
                           Counted counted)
    : progress_(progress), counted_(counted) {
  if (::isatty(STDERR_FILENO) == 0) return;
  label_ = fmt::format("{} {}...", verb, terminal_escape(path.string()));
  thread_ = std::thread([this] { show(); });
}

ProgressLine::~ProgressLine() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    done_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

std::string ProgressLine::share() const {
  const std::uint64_t total = progress_.total.load();
  const std::uint64_t done = progress_.done.load();
  if (total == 0 || done == 0) return {};
  const double percent = 100.0 * static_cast<double>(std::min(done, total)) /
                         static_cast<double>(total);
  if (counted_ == Counted::ShareOnly) {
    return fmt::format("{:.0f}%, ", percent);
  }
  return fmt::format("{:.0f}% of {:.1f} GB, ", percent,
                     static_cast<double>(total) / 1e9);
}

void ProgressLine::show() {
  const Clock::time_point start = Clock::now();
  std::unique_lock lock(mutex_);
  if (wake_.wait_until(lock, start + std::chrono::seconds(1),
                       [this] { return done_; })) {
    return;
  }
  do {
    const std::string line = fmt::format("\r{} {}{:.1f} s\x1b[K", label_,
                                         share(), elapsed_ms(start) / 1000.0);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  } while (!wake_.wait_for(lock, std::chrono::milliseconds(200),
                           [this] { return done_; }));
  std::fputs("\r\x1b[K", stderr);  // erase the progress line
  std::fflush(stderr);
}

double elapsed_ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since)
      .count();
}

double peak_memory_mib() {
  // VmHWM belongs to the address space, which exec replaces, so it counts
  // this program alone. ru_maxrss survives exec on Linux: started from a
  // large process (a Python session of 2 GiB), it reports the parent's peak.
  // It stays as the fallback where /proc is not mounted.
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) != 0) continue;
    const std::size_t digits = line.find_first_of("0123456789");
    std::uint64_t kib = 0;
    if (digits != std::string::npos &&
        std::from_chars(line.data() + digits, line.data() + line.size(), kib)
                .ec == std::errc{}) {
      return static_cast<double>(kib) / 1024.0;
    }
    break;
  }
  rusage usage{};
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0.0;
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
}

void print_error(std::string_view message) { print_message(message); }

void print_note(std::string_view message) {
  print_message(fmt::format("note: {}", message));
}

ExitCode write_output(std::string_view text) { return print_result(text); }

OpenOptions open_options(const zyl_package::ReadLimits& limits,
                         bool concatenate) {
  OpenOptions options;
  options.limits = limits;
  options.concatenate = concatenate;
  options.watch = [](const std::filesystem::path& path,
                     const zyl_package::ReadProgress& progress) {
    return std::make_shared<ProgressLine>("loading", path, progress,
                                          Counted::InputBytes);
  };
  return options;
}

std::optional<ProfileSet> open_set(
    const std::vector<std::filesystem::path>& paths,
    const OpenOptions& options) {
  Loaded<ProfileSet> opened = ProfileSet::open(paths, options);
  if (!opened.ok()) {
    print_load_error(opened.error());
    return {};
  }
  return std::move(opened).value();
}

void print_load_error(const zyl_package::LoadError& error) {
  print_error(error.to_string());
}

std::optional<ProfileColumns> open_report(
    const std::filesystem::path& path, const zyl_package::ReadLimits& limits) {
  // The progress line goes away before an error is printed.
  zyl_package::ColumnsResult opened = [&] {
    zyl_package::ReadProgress read;
    const ProgressLine line("loading", path, read, Counted::InputBytes);
    return zyl_package::read_columns(path, limits, &read);
  }();
  if (!opened.ok()) {
    print_error(opened.error().to_string());
    return {};
  }
  return std::move(opened).value();
}

ExitCode write_atomically(const std::filesystem::path& path,
                          const std::function<void(std::ostream&)>& write) {
  if (const zyl_package::Written written =
          zyl_package::write_file_atomically(path, write);
      !written.ok()) {
    print_error(written.error().to_string());
    return ExitCode::ReadError;
  }
  return ExitCode::Success;
}

ExitCode write_from_profile(
    const std::filesystem::path& path,
    const std::function<Loaded<void>(std::ostream&)>& write) {
  Loaded<void> read;
  const zyl_package::Written written =
      zyl_package::write_file_atomically(path, [&](std::ostream& out) {
        read = write(out);
        // A failed stream is how the atomic writer learns to keep the old
        // file: the half-written one must not replace it.
        if (!read.ok()) out.setstate(std::ios::badbit);
      });
  if (!read.ok()) {
    print_load_error(read.error());
    return ExitCode::ReadError;
  }
  if (!written.ok()) {
    print_error(written.error().to_string());
    return ExitCode::ReadError;
  }
  return ExitCode::Success;
}

}  // namespace zyl_profile::cli
