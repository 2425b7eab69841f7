// The process services every command shares: exit statuses, messages on
// stderr (one escaped line per error or note), the result on stdout (written
// once and quietly abandoned when the reader has gone away), the opening of a
// report with progress on a terminal, and the --timings line.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "zyl_package/load_result.h"
#include "zyl_package/report_io.h"
#include "zyl_profile/profile_set.h"
#include "zyl_profile/scan.h"

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

// Prints "zyl-profile: MESSAGE" on stderr; the message may carry bytes from
// a file or the command line, so it is escaped for the terminal.
void print_error(std::string_view message);

// Prints "zyl-profile: note: MESSAGE" on stderr, escaped the same way.
void print_note(std::string_view message);

// Writes the result to stdout: Success when written or when the reader went
// away (`| head`), ReadError with a message when the write failed.
[[nodiscard]] ExitCode write_output(std::string_view text);

// Opens a report as columns (a package is mapped, JSON read into columns),
// showing progress on a terminal during a long read. On failure prints the
// error and returns nothing: the caller exits with ReadError.
[[nodiscard]] std::optional<ProfileColumns> open_report(
    const std::filesystem::path& path, const zyl_package::ReadLimits& limits);

// Returns what a sample-reading command opens its reports with: the read
// limits, --concatenate, and a progress line on a terminal while each file
// loads.
[[nodiscard]] OpenOptions open_options(const zyl_package::ReadLimits& limits,
                                       bool concatenate);

// Opens the profile `paths` name (one report, or the shards of one) as
// ProfileSet::open does. On failure prints the error and returns nothing:
// the caller exits with ReadError.
[[nodiscard]] std::optional<ProfileSet> open_set(
    const std::vector<std::filesystem::path>& paths,
    const OpenOptions& options);

// Prints a load error (a file that cannot be read, shards that disagree).
void print_load_error(const zyl_package::LoadError& error);

// Writes `path` atomically through `write` (see write_file_atomically). On
// failure prints the error and returns ReadError, else Success.
[[nodiscard]] ExitCode write_atomically(
    const std::filesystem::path& path,
    const std::function<void(std::ostream&)>& write);

// Writes `path` atomically through `write`, which reads a profile as it
// writes and returns why it could not (a shard that cannot be read): the
// file is then left as it was, that error is printed and ReadError
// returned. Write failures are handled as write_atomically does.
[[nodiscard]] ExitCode write_from_profile(
    const std::filesystem::path& path,
    const std::function<Loaded<void>(std::ostream&)>& write);

// What a progress line says about its counters: a read counts bytes, so its
// size is worth showing; a write counts bytes or samples by format, so only
// the share is.
enum class Counted : std::uint8_t { InputBytes = 0, ShareOnly = 1 };

// Shows "loading NAME... 41% of 2.2 GB, 3.1 s" (or "writing NAME... 41%,
// 3.1 s") on stderr while the work runs longer than a second, and only when
// stderr is a terminal, so pipes, logs and tests never see it; the share
// shows once the worker has set a total. The line is erased when the object
// goes away, so destroy it before printing an error.
class ProgressLine {
 public:
  ProgressLine(std::string_view verb, const std::filesystem::path& path,
               const zyl_package::ReadProgress& progress, Counted counted);
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine();

 private:
  [[nodiscard]] std::string share() const;
  void show();

  const zyl_package::ReadProgress& progress_;
  Counted counted_;
  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

// Milliseconds since a point, for --timings.
using Clock = std::chrono::steady_clock;
[[nodiscard]] double elapsed_ms(Clock::time_point since);

// Peak resident memory of this program in MiB since it was started (not
// of the process that started it), for --timings.
[[nodiscard]] double peak_memory_mib();

}  // namespace zyl_profile::cli
