// The per-command option sets: each command declares its own options next
// to the shared groups it offers, bound to the command's fields, and
// finishes with the checks that span several options (an output name
// against --format, flags that exclude each other, a diff's two sides).
#include "command_options.h"

#include <fmt/format.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "option_groups.h"
#include "option_values.h"
#include "output.h"  // kMeasuresHelp
#include "serve.h"   // the caps in its help
#include "zyl_package/generate.h"
#include "zyl_package/quote.h"

namespace zyl_profile::cli {
namespace {

#define RETURN_IF_USAGE_ERROR(expr)                       \
  do {                                                    \
    if (Parsed<void> checked_ = (expr); !checked_.ok()) { \
      return checked_.error();                            \
    }                                                     \
  } while (false)

// Puts the chosen format in `out`, or returns why there is none.
template <typename Format>
Parsed<void> take_format(Parsed<Format> chosen, Format& out) {
  if (!chosen.ok()) return chosen.error();
  out = chosen.value();
  return {};
}

CLI::Option* add_reports(CLI::App& app,
                         std::vector<std::filesystem::path>& reports,
                         const std::string& help) {
  return app.add_option("REPORT", reports, help)->required()->type_name("");
}

constexpr NameTable<CsvTable, 2> kCsvTableNames{
    {{"groups", CsvTable::Groups}, {"samples", CsvTable::Samples}}};

class QueryLine final : public CommandLine {
 public:
  void declare(CLI::App& app) override {
    add_reports(app, command_.reports,
                "Profile report (.json or .zpk), or every shard of one split "
                "profile (in any order), queried as the whole");
    add_selection_options(app, command_.selection,
                          kGrouping | kSorting | kSampleList | kThreads);
    add_printing_options(app, command_.printing);
    table_ = app.add_option("--table", command_.csv_table,
                            "With --format csv: groups (default) or samples")
                 ->transform(one_of(kCsvTableNames))
                 ->type_name("T");
  }

  Parsed<Options> finish() override {
    RETURN_IF_USAGE_ERROR(check_printing(command_.printing));
    if (table_->count() > 0 && command_.printing.format != OutputFormat::Csv) {
      return UsageError{"--table: only applies to --format csv"};
    }
    return Options{std::move(command_)};
  }

 private:
  QueryCommand command_;
  CLI::Option* table_ = nullptr;
};

class PhasesLine final : public CommandLine {
 public:
  void declare(CLI::App& app) override {
    add_reports(app, command_.reports,
                "Profile report (.json or .zpk), or every shard of one split "
                "profile (in any order), read as the whole");
    add_selection_options(app, command_.selection, kThreads);
    add_printing_options(app, command_.printing);
    app.add_option("--limit", command_.limit,
                   "Print the N phases that lost the most (0: all; default " +
                       std::to_string(kDefaultPhaseRows) +
                       " in the table, all in JSON and CSV)")
        ->transform(any_count<std::size_t>())
        ->type_name("N");
  }

  Parsed<Options> finish() override {
    RETURN_IF_USAGE_ERROR(check_printing(command_.printing));
    return Options{std::move(command_)};
  }

 private:
  PhasesCommand command_;
};

constexpr NameTable<zyl_package::GenerateModel, 2> kGenerateModelNames{
    {{"independent", zyl_package::GenerateModel::Independent},
     {"bulk-synchronous", zyl_package::GenerateModel::BulkSynchronous}}};

// A repeatable option whose every occurrence `read` turns into one entry
// appended to `into`.
template <typename T>
CLI::Option* add_repeated_read_option(CLI::App& app, const std::string& name,
                                      Reader<T> read, std::vector<T>& into,
                                      const std::string& help) {
  return app
      .add_option_function<std::vector<std::string>>(
          name,
          [read, &into](const std::vector<std::string>& texts) {
            for (const std::string& text : texts) {
              into.push_back(read(text).value());
            }
          },
          help)
      ->check(readable_by(read))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->allow_extra_args(false);
}

class GenerateLine final : public CommandLine {
 public:
  void declare(CLI::App& app) override {
    zyl_package::GenerateOptions& g = command_.generate;
    add_output_option(app, command_.output,
                      "Report file to write (.json or .zpk)");
    app.add_option("--tiles", g.tiles, "Number of tiles (default 1472)")
        ->transform(any_count<std::uint32_t>())
        ->type_name("N");
    samples_per_tile_ = app.add_option("--samples-per-tile", g.samples_per_tile,
                                       "Average samples per tile (default 100)")
                            ->transform(any_count<std::uint32_t>())
                            ->type_name("N");
    samples_ = app.add_option("--samples", g.total_samples,
                              "Exact total number of samples (instead of "
                              "--samples-per-tile)")
                   ->transform(any_count<std::uint64_t>())
                   ->type_name("TOTAL");
    app.add_option("--seed", g.seed, "Random seed (default 1)")
        ->transform(any_count<std::uint64_t>())
        ->type_name("S");
    app.add_option("--clock-hz", g.clock_hz,
                   "Counter frequency (default 1330000000)")
        ->transform(any_count<std::uint64_t>())
        ->type_name("HZ");
    // The generator would quietly clamp larger tables and turn 0 phases or
    // epochs into 1, so such values are refused instead.
    app.add_option("--kernels", g.kernels, "Distinct kernels (default 300)")
        ->transform(integer_in(0, zyl_package::kMaxGeneratedNames))
        ->type_name("N");
    app.add_option("--operations", g.operations,
                   "Distinct operations (default 40)")
        ->transform(integer_in(0, zyl_package::kMaxGeneratedNames))
        ->type_name("N");
    app.add_option("--phases", g.phases, "Phases (default 24)")
        ->transform(integer_in(1, zyl_package::kMaxGeneratedPhases))
        ->type_name("N");
    epochs_ = app.add_option(
                     "--epochs", g.epochs,
                     "With --model independent: epochs per phase "
                     "(default 4). The bulk-synchronous model runs as "
                     "many epochs as the samples fill (at most " +
                         std::to_string(zyl_package::kMaxSamplesPerSuperstep) +
                         " samples a tile per superstep) and, given another "
                         "count here, notes on stderr how many it ran")
                  ->transform(integer_in(1, zyl_package::kMaxGeneratedPhases))
                  ->type_name("N");
    app.add_option("--format", format_,
                   "json or zpk (default: by the file's extension)")
        ->transform(one_of(kReportFormatNames))
        ->type_name("F");
    add_compress_option(app, command_.compress);
    app.add_option("--model", g.model,
                   "bulk-synchronous (default: supersteps, each a phase of "
                   "an epoch, in which every tile computes, waits at a "
                   "barrier for the slowest tile, then exchanges) or "
                   "independent (each tile walks the phases on its own, with "
                   "no barrier)")
        ->transform(one_of(kGenerateModelNames))
        ->type_name("M");
    slow_ = add_repeated_read_option(
                app, "--slow", read_slow_kernel, g.slow_kernels,
                "Bulk-synchronous model: multiply this kernel's "
                "compute durations by FACTOR, e.g. conv_1=1.12 (repeatable)")
                ->type_name("KERNEL=FACTOR");
    straggler_ =
        add_repeated_read_option(
            app, "--straggler", read_straggler, g.stragglers,
            "Bulk-synchronous model: multiply this physical tile's "
            "compute durations in every superstep by FACTOR, e.g. 639=1.5 "
            "(repeatable)")
            ->type_name("TILE=FACTOR");
  }

  Parsed<Options> finish() override {
    // The independent model has no supersteps to hold up, so a planted
    // slowdown there would silently do nothing.
    if (command_.generate.model !=
        zyl_package::GenerateModel::BulkSynchronous) {
      if (slow_->count() > 0) {
        return UsageError{"--slow: only applies to --model bulk-synchronous"};
      }
      if (straggler_->count() > 0) {
        return UsageError{
            "--straggler: only applies to --model bulk-synchronous"};
      }
    }
    if (samples_->count() > 0 && samples_per_tile_->count() > 0) {
      return UsageError{
          "--samples and --samples-per-tile cannot be given together"};
    }
    zyl_package::GenerateOptions& g = command_.generate;
    command_.epochs_given = epochs_->count() > 0;
    if (samples_->count() > 0) {
      g.samples_per_tile =
          zyl_package::options_for_total(g.total_samples, g.tiles)
              .samples_per_tile;
    }
    RETURN_IF_USAGE_ERROR(take_format(
        choose_report_format(command_.output, format_), command_.format));
    RETURN_IF_USAGE_ERROR(
        check_compress(command_.compress, command_.format, command_.output));
    return Options{std::move(command_)};
  }

 private:
  GenerateCommand command_;
  std::optional<zyl_package::ReportFormat> format_;
  CLI::Option* samples_per_tile_ = nullptr;
  CLI::Option* samples_ = nullptr;
  CLI::Option* epochs_ = nullptr;
  CLI::Option* slow_ = nullptr;
  CLI::Option* straggler_ = nullptr;
};

class ConvertLine final : public CommandLine {
 public:
  void declare(CLI::App& app) override {
    app.add_option("IN", command_.input, "Report to read (either form)")
        ->required()
        ->type_name("");
    app.add_option("OUT", command_.output, "Report to write")
        ->required()
        ->type_name("");
    app.add_option("--to", to_, "json or zpk (default: by OUT's extension)")
        ->transform(one_of(kReportFormatNames))
        ->type_name("F");
    add_compress_option(app, command_.compress);
    add_limit_options(app, command_.limits);
  }

  Parsed<Options> finish() override {
    RETURN_IF_USAGE_ERROR(take_format(
        choose_report_format(command_.output, to_), command_.format));
    RETURN_IF_USAGE_ERROR(
        check_compress(command_.compress, command_.format, command_.output));
    return Options{std::move(command_)};
  }

 private:
  ConvertCommand command_;
  std::optional<zyl_package::ReportFormat> to_;
};

// The shards' names are PREFIX-K.zpk, so a prefix that is only a folder
// would make hidden files named "-0.zpk".
CLI::Validator shard_prefix() {
  return CLI::Validator(
      [](std::string& text) {
        const std::filesystem::path prefix(text);
        if (prefix.has_filename()) return std::string();
        return zyl_package::quoted_text(text, '\'') +
               " names a folder; give the shards' name prefix too, as in " +
               zyl_package::quoted_text((prefix / "report").string(), '\'');
      },
      "");
}

class SplitLine final : public CommandLine {
 public:
  void declare(CLI::App& app) override {
    app.add_option("IN", command_.input, "Report to split (either form)")
        ->required()
        ->type_name("");
    add_output_option(app, command_.prefix,
                      "Shard files' prefix: writes PREFIX-0.zpk, "
                      "PREFIX-1.zpk, ... (may name a folder)",
                      "PREFIX")
        ->check(shard_prefix());
    app.add_option("--shards", command_.shards,
                   "Number of shards, of about equal sample counts "
                   "(1..65536; fewer when the report has fewer tiles)")
        ->required()
        ->transform(integer_in(1, kMaxShards))
        ->type_name("N");
    add_compress_option(app, command_.compress);
    add_limit_options(app, command_.limits);
  }

  Parsed<Options> finish() override { return Options{std::move(command_)}; }

 private:
  SplitCommand command_;
};

constexpr NameTable<TraceName, 3> kTraceNameNames{
    {{"kernel", TraceName::Kernel},
     {"operation", TraceName::Operation},
     {"kind", TraceName::Kind}}};

constexpr NameTable<TraceArgs, 3> kTraceArgsNames{
    {{"full", TraceArgs::Full},
     {"minimal", TraceArgs::Minimal},
     {"none", TraceArgs::None}}};

class TraceLine final : public CommandLine {
 public:
  void declare(CLI::App& app) override {
    add_reports(app, command_.reports,
                "Profile report (.json or .zpk), or the shards of one");
    add_selection_options(app, command_.selection, kFilters);
    add_output_option(app, command_.output, "Trace file to write (.json)");
    app.add_option("--name-by", command_.name_by,
                   "Name slices by kernel (default), operation or kind")
        ->transform(one_of(kTraceNameNames))
        ->type_name("BY");
    args_ = app.add_option("--args", command_.args,
                           "What each slice carries: full (default: every "
                           "field, for Perfetto's pivots), minimal (kernel, "
                           "operation and kind: one speedscope frame per "
                           "name, where per-sample values would make every "
                           "sample a frame of its own) or none")
                ->transform(one_of(kTraceArgsNames))
                ->type_name("ARGS");
    app.add_flag("--minimal-args", minimal_args_, "The same as --args none")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  }

  Parsed<Options> finish() override {
    enum class TraceFile : std::uint8_t { Json = 0 };
    TraceFile file = TraceFile::Json;
    RETURN_IF_USAGE_ERROR(take_format(
        choose_format(
            command_.output,
            Extensions<TraceFile>{
                "trace", {{".json", TraceFile::Json}}, TraceFile::Json},
            std::optional<TraceFile>(TraceFile::Json)),
        file));
    if (minimal_args_) {
      if (args_->count() > 0) {
        return UsageError{"--args and --minimal-args cannot be given together"};
      }
      command_.args = TraceArgs::None;
    }
    return Options{std::move(command_)};
  }

 private:
  TraceCommand command_;
  CLI::Option* args_ = nullptr;
  bool minimal_args_ = false;
};

constexpr NameTable<DiffOrder, 2> kDiffOrderNames{
    {{"absolute", DiffOrder::AbsoluteChange},
     {"relative", DiffOrder::RelativeChange}}};

constexpr NameTable<DiffShow, 2> kDiffShowNames{
    {{"regressions", DiffShow::Regressions},
     {"improvements", DiffShow::Improvements}}};

class DiffLine final : public CommandLine {
 public:
  void declare(CLI::App& app) override {
    add_reports(app, command_.reports,
                "The earlier report, then the one compared with it; either "
                "may be the shards of a split profile, given one after the "
                "other");
    add_selection_options(app, command_.selection, kGrouping | kThreads);
    add_printing_options(app, command_.printing);
    app.add_option("--sort-by", command_.diff.order,
                   "Order rows by the phase cycles' absolute change (default) "
                   "or relative change: absolute or relative")
        ->transform(one_of(kDiffOrderNames))
        ->type_name("S");
    app.add_option("--only", command_.diff.show,
                   "Show only the groups whose phase cycles grew "
                   "(regressions) or shrank (improvements)")
        ->transform(one_of(kDiffShowNames))
        ->type_name("WHICH");
    add_read_option(
        app, "--fail-above", read_percentage,
        [this](const Percentage& value) { command_.diff.fail_above = value; },
        "Exit 3 when the span or a group's phase cycles grew by more than "
        "PCT percent")
        ->type_name("PCT");
  }

  Parsed<Options> finish() override {
    if (command_.reports.size() < 2) {
      return UsageError{"BASE NEW: expected two reports to compare, found " +
                        std::to_string(command_.reports.size())};
    }
    RETURN_IF_USAGE_ERROR(check_printing(command_.printing));
    // The limit cuts the joined rows, not each side's groups.
    command_.diff.limit = command_.selection.query.limit;
    command_.selection.query.limit.reset();
    return Options{std::move(command_)};
  }

 private:
  DiffCommand command_;
};

constexpr NameTable<ExportFormat, 2> kExportFormatNames{
    {{"csv", ExportFormat::Csv}, {"jsonl", ExportFormat::Jsonl}}};

class ExportLine final : public CommandLine {
 public:
  void declare(CLI::App& app) override {
    add_reports(app, command_.reports,
                "Profile report (.json or .zpk), or the shards of one");
    add_selection_options(app, command_.selection, kFilters);
    add_output_option(app, command_.output, "File to write (.csv or .jsonl)");
    app.add_option("--format", format_,
                   "csv (RFC 4180: header row, CRLF line ends) or jsonl (one "
                   "JSON object per line); default: by the file's extension "
                   "(.csv, .jsonl, .ndjson), csv without one")
        ->transform(one_of(kExportFormatNames))
        ->type_name("F");
  }

  Parsed<Options> finish() override {
    RETURN_IF_USAGE_ERROR(take_format(
        choose_format(
            command_.output,
            Extensions<ExportFormat>{"export",
                                     {{".csv", ExportFormat::Csv},
                                      {".jsonl", ExportFormat::Jsonl},
                                      {".ndjson", ExportFormat::Jsonl}},
                                     ExportFormat::Csv},
            format_),
        command_.format));
    return Options{std::move(command_)};
  }

 private:
  ExportCommand command_;
  std::optional<ExportFormat> format_;
};

class ReportLine final : public CommandLine {
 public:
  void declare(CLI::App& app) override {
    add_reports(app, command_.reports,
                "Profile report (.json or .zpk); with two, BASE then NEW, the "
                "page compares them; each may be the shards of a split "
                "profile");
    const SelectionOptions offered = add_selection_options(
        app, command_.selection, kGrouping | kSorting | kThreads);
    // A page's size follows its groups, so their number is bounded.
    offered.limit->check(
        integer_in(1, kMaxPageGroups, "the groups a page holds"));
    sort_by_ = offered.sort_by;
    add_output_option(app, command_.output, "Page to write (.html or .htm)");
    app.add_flag("--timings", command_.timings,
                 "Print load, query and picture times, the threads used and "
                 "peak memory to stderr")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  }

  Parsed<Options> finish() override {
    // A page has one format, so any other extension is a mistake in the
    // name (a .png screenshot, a .json data file) rather than a request.
    const std::string extension = lower_extension(command_.output);
    if (!extension.empty() && extension != ".html" && extension != ".htm") {
      return UsageError{
          "report cannot write a " + extension + " file (" +
          zyl_package::quoted_text(command_.output.string(), '\'') +
          "): it writes .html or .htm"};
    }
    std::optional<std::size_t>& limit = command_.selection.query.limit;
    if (!limit) limit = kDefaultPageGroups;
    command_.sort_given = sort_by_->count() > 0;
    return Options{std::move(command_)};
  }

 private:
  PageCommand command_;
  CLI::Option* sort_by_ = nullptr;
};

class ServeLine final : public CommandLine {
 public:
  void declare(CLI::App& app) override {
    add_reports(app, command_.reports,
                "Profile report (.json or .zpk); with two, BASE then NEW, the "
                "server compares them; each may be the shards of a split "
                "profile, given one after the other");
    host_ = app.add_option("--host", command_.host,
                           "Address to listen on (default 127.0.0.1, this "
                           "machine only); any other lets the network read "
                           "the profiles")
                ->type_name("ADDR");
    app.add_option("--port", command_.port,
                   "Port to listen on (default: a free one)")
        ->transform(integer_in(0, 65535))
        ->type_name("N");
    app.add_option("--threads", command_.threads,
                   "Query threads of each request (default, or 0: the "
                   "hardware's count)")
        ->transform(integer_in(0, 1024))
        ->type_name("N");
    add_limit_options(app, command_.limits);
  }

  Parsed<Options> finish() override {
    if (command_.host.empty()) return UsageError{"--host: expected an address"};
    command_.host_given = host_->count() > 0;
    return Options{std::move(command_)};
  }

 private:
  ServeCommand command_;
  CLI::Option* host_ = nullptr;
};

template <typename T>
std::unique_ptr<CommandLine> make_line() {
  return std::make_unique<T>();
}

const std::string kQueryFooter =
    "Examples:\n"
    "  zyl-profile query examples/small.json --kind compute --sort-by "
    "work-cycles --limit 5\n"
    "  zyl-profile query examples/small.json --tile 3 --at-offset 50% "
    "--sample-limit 5\n"
    "  zyl-profile query shards/report-*.zpk --group-by tile --limit 10\n\n"
    "Several reports are queried as one: the shards of a profile, whose\n"
    "tiles, concatenated in the order given, are the profile's (split pads\n"
    "the shard index, so a glob lists them in order). A percentage is then\n"
    "of the longest tile timeline of them all, and the answer is the one the\n"
    "whole report gives.\n\n" +
    std::string(kMeasuresHelp);

const std::string kDiffFooter =
    "Example:\n"
    "  zyl-profile diff base.zpk new.zpk --kind compute --only regressions "
    "--fail-above 5\n\n" +
    std::string(kMeasuresHelp);

const std::string kPhasesFooter =
    "A superstep (a phase and epoch) lasts as long as its slowest tile. For\n"
    "each one this prints that tile, the kernel it spent the most compute\n"
    "in, and the tile-cycles the others waited: the cycles their matched\n"
    "synchronization samples took (measure sync) or, without any, what they\n"
    "would idle behind the slowest, tiles x slowest busy - busy (imbalance).\n"
    "Busy is compute plus exchange cycles. Rows come largest wait first.\n"
    "The last line says what share of the phases' tile-cycles (span x\n"
    "tiles, summed) went to waiting.\n\n"
    "Examples:\n"
    "  zyl-profile phases examples/small.json\n"
    "  zyl-profile phases shards/report-*.zpk --from 25% --format json\n";

const std::string kServeFooter = fmt::format(
    "Prints the server's address once it listens, then answers until\n"
    "Ctrl-C or SIGTERM. The reports are read once and kept in memory.\n"
    "Two profiles (BASE NEW) are told apart as diff tells them: each is one\n"
    "file, or the consecutive shards of one split profile.\n\n"
    "Requests (GET; parameters are the command line's options without the\n"
    "dashes, e.g. /api/query?group-by=kernel&kind=compute&tile=0-7, and a\n"
    "bad one is answered 400 with the command line's message):\n"
    "  /                the report page of the whole profile\n"
    "  /api/info        the profiles served and the caps below\n"
    "  /api/query       as query --format json: the filters, the window,\n"
    "                   group-by, metadata-key, sort-by, limit, sample-limit\n"
    "  /api/samples     the listed samples, as query --limit 0\n"
    "                   --sample-limit N (default {}): the filters and window\n"
    "  /api/occupancy   the map of the window and tiles (--from, --to, --tile\n"
    "                   and the other filters) in tile-bins rows (default\n"
    "                   256) by time-bins columns (default 512), as the page\n"
    "                   draws it\n"
    "  /api/phases      as phases --format json: the filters, limit\n"
    "  /api/diff        as diff --format json, with BASE NEW only: the\n"
    "                   filters, the window, group-by, metadata-key,\n"
    "                   sort-by, only, limit, fail-above\n"
    "With BASE NEW, profile=base (default) or profile=new picks the side of\n"
    "query, samples, occupancy and phases.\n\n"
    "Each request's work is bounded: at most {} groups (the first {}\n"
    "without limit), {} listed samples, {} phase rows, {} x {} bins, a\n"
    "query string of {} bytes and a body of {}; {} requests are answered at\n"
    "once, each on --threads threads.\n"
    "Only requests addressed to the server's own address and port (Host),\n"
    "and from no other site's page (Origin), are answered, so that pages\n"
    "open in the browser cannot read the profiles.\n\n"
    "Examples:\n"
    "  zyl-profile serve run.zpk\n"
    "  zyl-profile serve base.zpk new-*.zpk --port 8080\n",
    kDefaultServeSamples, kMaxServeGroups, kMaxServeGroups, kMaxServeSamples,
    kMaxServePhaseRows, kMaxServeTileBins, kMaxServeTimeBins,
    kMaxServeQueryBytes, kMaxServeBodyBytes, kServeWorkers);

const CommandRow kCommands[] = {
    {"query", "Group the samples of a report and print the summaries",
     kQueryFooter, make_line<QueryLine>},
    {"diff", "Compare the groups of two reports under the same query",
     kDiffFooter, make_line<DiffLine>},
    {"phases",
     "Show which tile held up each phase, and how long the rest waited",
     kPhasesFooter, make_line<PhasesLine>},
    {"trace", "Write the matching samples as a timeline (Trace Event JSON)",
     "Example:\n"
     "  zyl-profile trace examples/small.json -o trace.json --tile 0-3",
     make_line<TraceLine>},
    {"export", "Write every matching sample as CSV or JSON lines",
     "Columns (the CSV header, and the keys of each JSON line), one row per\n"
     "matching sample in report order:\n"
     "  physical_tile      the tile's number\n"
     "  offset_cycles      start, in cycles since the tile's first sample\n"
     "  duration_cycles    length in cycles\n"
     "  end_offset_cycles  offset_cycles + duration_cycles\n"
     "  phase, epoch       the step's phase and epoch\n"
     "  kind               exchange, compute, synchronization or idle\n"
     "  operation, kernel  the step's names (\"\" when it has none)\n"
     "  metadata           a JSON array of {\"name\": ..., \"value\": ...} in "
     "the\n"
     "                     sample's order; a name may repeat. In CSV it is "
     "one\n"
     "                     field holding that JSON text.\n"
     "In CSV an empty string is written \"\", so readers can tell it from a "
     "missing\n"
     "value. To read an export back exactly in DuckDB or pandas, see "
     "\"Reading\n"
     "exports back\" in the README.\n\n"
     "Example:\n"
     "  zyl-profile export examples/small.json --kind compute -o samples.csv",
     make_line<ExportLine>},
    {"report", "Write a profile's picture as one self-contained HTML page",
     "The page needs no network: its script, style and data are inside it.\n"
     "It shows, for the matching samples:\n"
     "  the utilisation map  tiles (rows, binned past 256) by time (512\n"
     "                       columns), each cell coloured by the share of its\n"
     "                       tile-cycles spent in each kind; hover a cell for\n"
     "                       its tiles, its time in cycles and ms, the shares\n"
     "  active tiles         per time column, how many tiles were busy in\n"
     "                       each kind on average, stacked; phases that start\n"
     "                       together on most tiles are marked\n"
     "  the phase balance    the 20 phase-epoch pairs waited for most, as\n"
     "                       bars of the tile-cycles spent waiting under the\n"
     "                       share of all tile-cycles (as phases gives it),\n"
     "                       then a table of each one's span, slowest tile,\n"
     "                       its kernel, its busy and the median busy cycles;\n"
     "                       each one's slowest tile is outlined on the map\n"
     "  the top groups       phase and work cycles of the query's groups\n"
     "                       (--group-by, --sort-by, --limit: 25 by default,\n"
     "                       at most 500) as bars, then every measure as a\n"
     "                       table, as query --format json gives them\n"
     "  the totals and the command line that made the page.\n"
     "With two reports (BASE NEW): both maps side by side on one colour\n"
     "scale, and each group's change in phase cycles as a diverging bar\n"
     "chart with the comparison's table (as diff gives it); no phase\n"
     "balance.\n"
     "The page's size follows the bins and groups, not the samples: about\n"
     "1 MB at most.\n\n"
     "Examples:\n"
     "  zyl-profile report examples/small.json -o small.html\n"
     "  zyl-profile report run.zpk --group-by phase --from 10% -o run.html\n"
     "  zyl-profile report base.zpk new.zpk --kind compute -o diff.html",
     make_line<ReportLine>},
    {"serve", "Answer questions about a profile over HTTP, for the browser",
     kServeFooter, make_line<ServeLine>},
    {"generate", "Write a synthetic report",
     "The default model is bulk-synchronous: the program runs in supersteps,\n"
     "phase after phase and epoch after epoch, and in each every tile\n"
     "computes the phase's kernels (each at most once), synchronises until\n"
     "the slowest tile is done, then exchanges; all tiles start the next\n"
     "superstep together. --straggler and --slow plant the slow tile and\n"
     "kernel that phases and diff should find. --model independent gives\n"
     "the older model, in which each tile walks the phases on its own.\n\n"
     "Examples:\n"
     "  zyl-profile generate -o report.zpk --tiles 64 --samples-per-tile 100\n"
     "  zyl-profile generate -o slow.zpk --samples 1000000 --straggler "
     "639=1.5",
     make_line<GenerateLine>},
    {"convert", "Rewrite a report as JSON or as a binary package",
     "Examples:\n  zyl-profile convert report.json report.zpk\n"
     "  zyl-profile convert report.zpk archive.zpk --compress",
     make_line<ConvertLine>},
    {"split", "Write a report as packages of contiguous ranges of tiles",
     "The shards hold about equal sample counts; their tiles, in file order,\n"
     "are the report's. The index is padded (-00 .. -11 for 12 shards) so the\n"
     "names sort in order.\n\n"
     "Example:\n"
     "  zyl-profile split report.zpk -o shards/report --shards 12",
     make_line<SplitLine>},
};

}  // namespace

std::span<const CommandRow> command_rows() { return kCommands; }

}  // namespace zyl_profile::cli
