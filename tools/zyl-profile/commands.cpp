// query, generate and convert: open, run, print; plus the stdout writer, the
// progress line of long reads and writes and the timings, which only the
// process needs.
#include "commands.h"

#include <fmt/format.h>
#include <sys/resource.h>  // getrusage
#include <unistd.h>        // isatty, write

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "diff.h"
#include "export.h"
#include "output.h"
#include "samples.h"
#include "trace.h"
#include "zyl_package/generate.h"
#include "zyl_package/report_io.h"

namespace zyl_profile::cli {
namespace {

using Clock = std::chrono::steady_clock;

// Prints one error line on stderr. The text may carry bytes from the report
// or the command line, so it is escaped like table output.
void print_error(std::string_view message) {
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

double elapsed_ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since)
      .count();
}

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
               const zyl_package::ReadProgress& progress, Counted counted)
      : progress_(progress), counted_(counted) {
    if (::isatty(STDERR_FILENO) == 0) return;
    label_ = fmt::format("{} {}...", verb, terminal_escape(path.string()));
    thread_ = std::thread([this] { show(); });
  }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine() {
    if (!thread_.joinable()) return;
    {
      const std::lock_guard lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  [[nodiscard]] std::string share() const {
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

  void show() {
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

  const zyl_package::ReadProgress& progress_;
  Counted counted_;
  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

double peak_memory_mib() {
  rusage usage{};
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0.0;
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // KiB on Linux
}

ExitCode run_query(const QueryCommand& command) {
  const Clock::time_point load_start = Clock::now();
  const zyl_package::ColumnsResult opened =
      open_columns(command.report, command.limits);
  if (!opened.ok()) {
    print_error(opened.error().to_string());
    return ExitCode::ReadError;
  }
  const ProfileColumns& columns = opened.value();
  const double load_ms = elapsed_ms(load_start);

  const Clock::time_point query_start = Clock::now();
  const Query query =
      with_window(command.query, command.from, command.to, columns);
  const QueryReport result =
      zyl_profile::query(columns, query, ParallelOptions{command.threads});
  const double query_ms = elapsed_ms(query_start);

  std::string out;
  switch (command.format) {
    case OutputFormat::Table:
      append_table(result, out);
      break;
    case OutputFormat::Json:
      append_json(result, out);
      break;
    case OutputFormat::Csv:
      if (command.csv_table == CsvTable::Samples) {
        append_samples_csv(result, out);
      } else {
        append_groups_csv(result, out);
      }
      break;
  }
  const ExitCode status = print_result(out);
  if (command.timings) {
    const std::string line = fmt::format(
        "load {:.1f} ms, query {:.1f} ms ({} threads), peak memory {:.1f} "
        "MiB\n",
        load_ms, query_ms,
        command.threads == 0 ? std::max(1U, std::thread::hardware_concurrency())
                             : command.threads,
        peak_memory_mib());
    std::fputs(line.c_str(), stderr);
  }
  return status;
}

zyl_package::ReportFormat format_for(
    const std::optional<zyl_package::ReportFormat>& chosen,
    const std::filesystem::path& path) {
  return chosen ? *chosen : zyl_package::report_format_for(path);
}

zyl_package::PackageWriteOptions package_options(bool compress) {
  zyl_package::PackageWriteOptions options;
  options.compress = compress;
  return options;
}

ExitCode run_generate(const GenerateCommand& command) {
  // Straight from the generator to the file, sample by sample: the report is
  // never held, so the size is bounded by the disk rather than the memory.
  zyl_package::ReadProgress written;
  std::optional<std::string> error;
  {
    const ProgressLine line("writing", command.output, written,
                            Counted::ShareOnly);
    error = zyl_package::write_generated_report(
        command.generate, command.output,
        format_for(command.format, command.output),
        package_options(command.compress), &written);
  }
  if (error) {
    print_error(*error);
    return ExitCode::ReadError;
  }
  return ExitCode::Success;
}

ExitCode run_convert(const ConvertCommand& command) {
  const zyl_package::ColumnsResult opened =
      open_columns(command.input, command.limits);
  if (!opened.ok()) {
    print_error(opened.error().to_string());
    return ExitCode::ReadError;
  }
  zyl_package::ReadProgress written;
  std::optional<std::string> error;
  {
    const ProgressLine line("writing", command.output, written,
                            Counted::ShareOnly);
    error =
        zyl_package::write_columns(opened.value(), command.output,
                                   format_for(command.format, command.output),
                                   package_options(command.compress), &written);
  }
  if (error) {
    print_error(*error);
    return ExitCode::ReadError;
  }
  return ExitCode::Success;
}

ExitCode run_options(const Options& options) {
  if (const auto* text = std::get_if<PrintText>(&options)) {
    return print_result(text->text);
  }
  if (const auto* command = std::get_if<QueryCommand>(&options)) {
    return run_query(*command);
  }
  if (const auto* command = std::get_if<GenerateCommand>(&options)) {
    return run_generate(*command);
  }
  if (const auto* command = std::get_if<TraceCommand>(&options)) {
    return run_trace(*command);
  }
  if (const auto* command = std::get_if<DiffCommand>(&options)) {
    return run_diff(*command);
  }
  if (const auto* command = std::get_if<ExportCommand>(&options)) {
    return run_export(*command);
  }
  return run_convert(std::get<ConvertCommand>(options));
}

}  // namespace

void report_error(std::string_view message) { print_error(message); }

ExitCode write_output(std::string_view text) { return print_result(text); }

zyl_package::ColumnsResult open_columns(const std::filesystem::path& path,
                                        const zyl_package::ReadLimits& limits) {
  zyl_package::ReadProgress read;
  const ProgressLine line("loading", path, read, Counted::InputBytes);
  return zyl_package::read_columns(path, limits, &read);
}

int run(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  try {
    const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
    ParseResult parsed = parse_options(args);
    if (const auto* usage = std::get_if<UsageError>(&parsed)) {
      print_error(usage->message);
      std::fputs(fmt::format("{}\n", kUsageHint).c_str(), stderr);
      return static_cast<int>(ExitCode::Usage);
    }
    return static_cast<int>(run_options(std::get<Options>(parsed)));
  } catch (const std::bad_alloc&) {
    print_error("out of memory");
  } catch (const std::exception& error) {
    print_error(error.what());
  }
  return static_cast<int>(ExitCode::ReadError);
}

}  // namespace zyl_profile::cli
