// The commands that print or write a whole report (query, generate,
// convert, split), and run(), which hands each parsed command to its runner.
#include "commands.h"

#include <fmt/format.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <exception>
#include <filesystem>
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
#include "page.h"
#include "phases.h"
#include "process.h"
#include "samples.h"
#include "serve.h"
#include "trace.h"
#include "zyl_package/atomic_file.h"
#include "zyl_package/generate.h"
#include "zyl_package/report_io.h"
#include "zyl_package/shards.h"
#include "zyl_profile/notes.h"
#include "zyl_profile/partial.h"
#include "zyl_profile/scan.h"

namespace zyl_profile::cli {
namespace {

// Returns `result` printed as the command asks: table, JSON or CSV.
std::string print_result(const QueryCommand& command,
                         const QueryReport& result) {
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
  return out;
}

ExitCode run_query(const QueryCommand& command) {
  const std::optional<ProfileSet> profile = open_set(
      command.reports,
      open_options(command.selection.limits, command.selection.concatenate));
  if (!profile) return ExitCode::ReadError;
  const Loaded<QueryAnswer> answer =
      zyl_profile::query(*profile, command.selection.query,
                         ParallelOptions{command.selection.threads});
  if (!answer.ok()) {
    print_load_error(answer.error());
    return ExitCode::ReadError;
  }
  const ExitCode status =
      write_output(print_result(command, answer.value().report));
  for (const std::string& note : answer.value().notes) print_note(note);
  if (command.printing.timings) {
    const AnswerCosts& costs = answer.value().costs;
    const std::string files =
        profile->size() == 1 ? ""
                             : fmt::format(" over {} shards", profile->size());
    print_note(fmt::format(
        "load {:.1f} ms, query {:.1f} ms{} on {} {}, peak memory {:.1f} MiB",
        costs.load_ms, costs.query_ms, files, costs.threads,
        costs.threads == 1 ? "thread" : "threads", peak_memory_mib()));
  }
  return status;
}

zyl_package::PackageWriteOptions package_options(bool compress) {
  zyl_package::PackageWriteOptions options;
  options.compress = compress;
  return options;
}

ExitCode run_generate(const GenerateCommand& command) {
  const zyl_package::GenerateOptions& options = command.generate;
  if (command.epochs_given &&
      options.model == zyl_package::GenerateModel::BulkSynchronous) {
    // Scripts written for the older model pass --epochs; the samples decide
    // the epochs here, so say what came of it rather than refuse.
    const zyl_package::SuperstepShape shape =
        zyl_package::bulk_synchronous_shape(options);
    if (shape.epochs != options.epochs) {
      print_note(fmt::format(
          "--epochs {} applies to --model independent; the bulk-synchronous "
          "model runs as many epochs as the samples fill: {} phases x {} "
          "epochs ({} supersteps)",
          options.epochs, shape.phases, shape.epochs, shape.supersteps));
    }
  }
  // Straight from the generator to the file, sample by sample: the report is
  // never held, so the size is bounded by the disk rather than the memory.
  zyl_package::ReadProgress written;
  zyl_package::Written outcome;
  {
    const ProgressLine line("writing", command.output, written,
                            Counted::ShareOnly);
    outcome = zyl_package::write_generated_report(
        command.generate, command.output, command.format,
        package_options(command.compress), &written);
  }
  if (!outcome.ok()) {
    print_error(outcome.error().to_string());
    return ExitCode::ReadError;
  }
  return ExitCode::Success;
}

ExitCode run_convert(const ConvertCommand& command) {
  const std::optional<ProfileColumns> opened =
      open_report(command.input, command.limits);
  if (!opened) return ExitCode::ReadError;
  zyl_package::ReadProgress written;
  zyl_package::Written outcome;
  {
    const ProgressLine line("writing", command.output, written,
                            Counted::ShareOnly);
    outcome =
        zyl_package::write_columns(*opened, command.output, command.format,
                                   package_options(command.compress), &written);
  }
  if (!outcome.ok()) {
    print_error(outcome.error().to_string());
    return ExitCode::ReadError;
  }
  return ExitCode::Success;
}

// Returns the file of shard `index` among `count`: the index padded to the
// width of the last one, so the names sort in shard order.
std::filesystem::path shard_path(const std::filesystem::path& prefix,
                                 std::size_t index, std::size_t count) {
  const std::size_t width = fmt::formatted_size("{}", count - 1);
  return prefix.string() + fmt::format("-{:0{}}.zpk", index, width);
}

ExitCode run_split(const SplitCommand& command) {
  const std::optional<ProfileColumns> opened =
      open_report(command.input, command.limits);
  if (!opened) return ExitCode::ReadError;

  // The prefix may name a folder still to make, as an output file's name
  // might not; write_columns reports any other failure to create the files.
  if (const std::filesystem::path folder = command.prefix.parent_path();
      !folder.empty()) {
    std::error_code failed;
    std::filesystem::create_directories(folder, failed);
    if (failed) {
      print_error(fmt::format("{}: cannot make the folder: {}", folder.string(),
                              failed.message()));
      return ExitCode::ReadError;
    }
  }
  // Every shard carries the set's identity, so a query can tell a whole
  // set from one missing a shard or mixed with an older split's; the set is
  // renamed into place only once every shard is written.
  const zyl_package::Outcome<std::size_t, zyl_package::WriteError> written =
      zyl_package::write_shard_set(
          *opened, command.shards,
          [&](std::size_t index, std::size_t count) {
            return shard_path(command.prefix, index, count);
          },
          package_options(command.compress),
          [](const std::filesystem::path& path,
             const zyl_package::ReadProgress& progress) {
            return std::make_shared<ProgressLine>("writing", path, progress,
                                                  Counted::ShareOnly);
          });
  if (!written.ok()) {
    print_error(written.error().to_string());
    return ExitCode::ReadError;
  }
  const std::size_t count = written.value();
  if (count < command.shards) {
    print_note(fmt::format(
        "wrote {} {} rather than {}: a shard holds at least one tile and {} "
        "has {}",
        count, count == 1 ? "shard" : "shards", command.shards,
        command.input.string(),
        opened->tiles.size() == 1
            ? std::string("1 tile")
            : fmt::format("{} tiles", opened->tiles.size())));
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
ExitCode run_command(const SplitCommand& command) { return run_split(command); }
ExitCode run_command(const PageCommand& command) { return run_page(command); }
ExitCode run_command(const PhasesCommand& command) {
  return run_phases(command);
}
ExitCode run_command(const ServeCommand& command) { return run_serve(command); }

}  // namespace

int run(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  try {
    const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
    const ParseResult parsed = parse_options(args);
    if (!parsed.ok()) {
      print_error(parsed.error().message);
      std::fputs(fmt::format("{}\n", kUsageHint).c_str(), stderr);
      return static_cast<int>(ExitCode::Usage);
    }
    return static_cast<int>(
        std::visit([](const auto& command) { return run_command(command); },
                   parsed.value()));
  } catch (const std::bad_alloc&) {
    print_error("out of memory");
  } catch (const std::exception& error) {
    print_error(error.what());
  }
  return static_cast<int>(ExitCode::ReadError);
}

}  // namespace zyl_profile::cli
