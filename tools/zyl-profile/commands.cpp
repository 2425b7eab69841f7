// The commands that print or write a whole report (query, generate,
// convert), and run(), which hands each parsed command to its runner.
#include "commands.h"

#include <fmt/format.h>

#include <csignal>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "diff.h"
#include "export.h"
#include "format/text_table.h"
#include "options.h"
#include "output.h"
#include "process.h"
#include "samples.h"
#include "trace.h"
#include "zyl_package/generate.h"
#include "zyl_package/report_io.h"
#include "zyl_profile/notes.h"

namespace zyl_profile::cli {
namespace {

ExitCode run_query(const QueryCommand& command) {
  const Clock::time_point load_start = Clock::now();
  const std::optional<ProfileColumns> opened =
      open_report(command.report, command.selection.limits);
  if (!opened) return ExitCode::ReadError;
  const ProfileColumns& columns = *opened;
  const double load_ms = elapsed_ms(load_start);

  const Clock::time_point query_start = Clock::now();
  const Query query = resolve(command.selection, columns);
  const ParallelOptions parallel{command.selection.threads};
  const QueryReport result = zyl_profile::query(columns, query, parallel);
  const double query_ms = elapsed_ms(query_start);

  std::string out;
  switch (command.printing.format) {
    case OutputFormat::Table:
      append_table(result, out, command.printing.wide ? 0 : kDefaultTableWidth);
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
  const ExitCode status = write_output(out);
  for (const std::string& note : explain_query(columns, query, result)) {
    report_note(note);
  }
  if (command.printing.timings) {
    const unsigned threads = query_threads(columns, parallel);
    report_note(fmt::format(
        "load {:.1f} ms, query {:.1f} ms on {} {}, peak memory {:.1f} MiB",
        load_ms, query_ms, threads, threads == 1 ? "thread" : "threads",
        peak_memory_mib()));
  }
  return status;
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
  zyl_package::WriteResult error;
  {
    const ProgressLine line("writing", command.output, written,
                            Counted::ShareOnly);
    error = zyl_package::write_generated_report(
        command.generate, command.output, command.format,
        package_options(command.compress), &written);
  }
  if (error) {
    report_error(error->to_string());
    return ExitCode::ReadError;
  }
  return ExitCode::Success;
}

ExitCode run_convert(const ConvertCommand& command) {
  const std::optional<ProfileColumns> opened =
      open_report(command.input, command.limits);
  if (!opened) return ExitCode::ReadError;
  zyl_package::ReadProgress written;
  zyl_package::WriteResult error;
  {
    const ProgressLine line("writing", command.output, written,
                            Counted::ShareOnly);
    error =
        zyl_package::write_columns(*opened, command.output, command.format,
                                   package_options(command.compress), &written);
  }
  if (error) {
    report_error(error->to_string());
    return ExitCode::ReadError;
  }
  return ExitCode::Success;
}

ExitCode run_command(const PrintText& text) { return write_output(text.text); }
ExitCode run_command(const QueryCommand& command) { return run_query(command); }
ExitCode run_command(const GenerateCommand& command) {
  return run_generate(command);
}
ExitCode run_command(const ConvertCommand& command) {
  return run_convert(command);
}
ExitCode run_command(const TraceCommand& command) { return run_trace(command); }
ExitCode run_command(const DiffCommand& command) { return run_diff(command); }
ExitCode run_command(const ExportCommand& command) {
  return run_export(command);
}

}  // namespace

int run(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  try {
    const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
    const ParseResult parsed = parse_options(args);
    if (const auto* usage = std::get_if<UsageError>(&parsed)) {
      report_error(usage->message);
      std::fputs(fmt::format("{}\n", kUsageHint).c_str(), stderr);
      return static_cast<int>(ExitCode::Usage);
    }
    return static_cast<int>(
        std::visit([](const auto& command) { return run_command(command); },
                   std::get<Options>(parsed)));
  } catch (const std::bad_alloc&) {
    report_error("out of memory");
  } catch (const std::exception& error) {
    report_error(error.what());
  }
  return static_cast<int>(ExitCode::ReadError);
}

}  // namespace zyl_profile::cli
