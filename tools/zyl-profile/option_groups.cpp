// The shared option groups: each option declared once with its help and
// its check, bound to the field of the Selection, ReadLimits or Printing it
// sets, so every command that offers it reads it the same way.
#include "option_groups.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>
#include <set>

#include "format/text_table.h"  // kDefaultTableWidth

namespace zyl_profile::cli {
namespace {

constexpr NameTable<SortBy, 5> kSortByNames{
    {{"phase-cycles", SortBy::PhaseCycles},
     {"work-cycles", SortBy::WorkCycles},
     {"maximum-cycles", SortBy::MaximumCycles},
     {"samples", SortBy::Samples},
     {"name", SortBy::Name}}};

constexpr NameTable<StepKind, 4> kStepKindNames{
    {{zyl_package::kExchangeName, StepKind::Exchange},
     {zyl_package::kComputeName, StepKind::Compute},
     {zyl_package::kSynchronizationName, StepKind::Synchronization},
     {zyl_package::kIdleName, StepKind::Idle}}};

constexpr NameTable<OutputFormat, 3> kOutputFormatNames{
    {{"table", OutputFormat::Table},
     {"json", OutputFormat::Json},
     {"csv", OutputFormat::Csv}}};

// More threads than this is a typing mistake rather than a machine.
constexpr std::uint64_t kMaxThreads = 1024;

constexpr std::string_view kForeignExtensions[] = {
    ".parquet", ".arrow", ".feather", ".orc", ".avro", ".xlsx",
    ".xls",     ".gz",    ".zst",     ".bz2", ".xz",   ".zip",
    ".lz4",     ".7z",    ".tgz",     ".pb",  ".db",   ".sqlite"};

// A repeatable option taking one LIST per occurrence; the numbers of all of
// them together become `into`, refused past kMaxListNumbers.
CLI::Option* add_list_option(CLI::App& app, const std::string& name,
                             std::set<std::uint32_t>& into,
                             const std::string& help) {
  return app
      .add_option_function<std::vector<std::string>>(
          name,
          [name, &into](const std::vector<std::string>& lists) {
            Parsed<std::set<std::uint32_t>> numbers = parse_lists(name, lists);
            // CLI11 takes a callback's refusal only as this exception.
            if (!numbers.ok()) {
              throw CLI::ValidationError(numbers.error().message);
            }
            into = std::move(numbers).value();
          },
          help)
      ->check(readable_by(read_list))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->allow_extra_args(false);
}

}  // namespace

SelectionOptions add_selection_options(CLI::App& app, Selection& selection,
                                       unsigned parts) {
  SelectionOptions offered;
  Query& q = selection.query;
  if ((parts & kGrouping) != 0) {
    app.add_option("--group-by", q.group_by,
                   "kind, kernel (default), operation, phase, tile or "
                   "metadata")
        ->transform(one_of(kGroupByNames))
        ->type_name("G");
    app.add_option("--metadata-key", q.metadata_key,
                   "Metadata name to group by with --group-by metadata")
        ->type_name("KEY");
  }
  if ((parts & kSorting) != 0) {
    offered.sort_by =
        app.add_option("--sort-by", q.sort_by,
                       "phase-cycles (default), work-cycles, maximum-cycles, "
                       "samples or name")
            ->transform(one_of(kSortByNames))
            ->type_name("S");
  }
  app.add_option("--kind", q.kind,
                 "Only samples of this kind: exchange, compute, "
                 "synchronization or idle")
      ->transform(one_of(kStepKindNames))
      ->type_name("K");
  app.add_option("--kernel", q.kernel,
                 "Only samples of this exact kernel ('' for none)")
      ->type_name("NAME");
  app.add_option("--operation-contains", q.operation_contains,
                 "Only samples whose operation contains TEXT")
      ->type_name("TEXT");
  add_list_option(app, "--tile", q.tiles,
                  "Only these physical tiles, e.g. 0,4,8-15 (repeatable)")
      ->type_name("LIST");
  add_list_option(app, "--phase", q.phases,
                  "Only these phases, as --tile (repeatable)")
      ->type_name("LIST");
  app.add_option_function<std::vector<std::string>>(
         "--metadata",
         [&q](const std::vector<std::string>& entries) {
           for (const std::string& text : entries) {
             q.metadata.push_back(read_metadata_filter(text));
           }
         },
         "Only samples with an entry NAME (of exactly VALUE when given; "
         "NAME= means the empty value; repeatable)")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->allow_extra_args(false)
      ->type_name("NAME[=VALUE]");
  add_read_option(
      app, "--at-offset", read_time_bound,
      [&q](const TimeBound& bound) { q.at_offset = bound; },
      "Only samples running at this point of their tile's timeline "
      "(cycles, or a percentage of the span such as 50%)")
      ->type_name("N");
  add_read_option(
      app, "--from", read_time_bound,
      [&q](const TimeBound& bound) { q.from_offset = bound; },
      "Only samples running at or after N (cycles, or a percentage of the "
      "span such as 25%)")
      ->type_name("N");
  add_read_option(
      app, "--to", read_time_bound,
      [&q](const TimeBound& bound) { q.to_offset = bound; },
      "Only samples starting before N (as --from)")
      ->type_name("N");
  if ((parts & kGrouping) != 0) {
    offered.limit =
        app.add_option("--limit", q.limit, "Report at most N groups")
            ->transform(any_count<std::size_t>())
            ->type_name("N");
  }
  if ((parts & kSampleList) != 0) {
    app.add_option("--sample-limit", q.sample_limit,
                   "List the N longest matching samples")
        ->transform(any_count<std::size_t>())
        ->type_name("N");
  }
  if ((parts & kThreads) != 0) {
    app.add_option("--threads", selection.threads,
                   "Query threads (default, or 0: the hardware's count)")
        ->transform(integer_in(0, kMaxThreads))
        ->type_name("N");
  }
  app.add_flag("--concatenate", selection.concatenate,
               "Read several reports as one profile of their tiles in the "
               "order given, even when they are not the shards of one split "
               "profile")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  add_limit_options(app, selection.limits);
  return offered;
}

void add_limit_options(CLI::App& app, zyl_package::ReadLimits& limits) {
  constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();
  // A limit of 0 would refuse every report, so the smallest is 1.
  app.add_option("--max-file-size", limits.max_file_bytes,
                 "Largest report file accepted (K/M/G/T suffixes; no limit "
                 "by default)")
      ->transform(byte_count(1, kNoLimit))
      ->type_name("BYTES");
  app.add_option("--max-memory", limits.max_memory_bytes,
                 "Most memory a report's columns may take (K/M/G/T "
                 "suffixes; by default what the machine has available)")
      ->transform(byte_count(1, kNoLimit))
      ->type_name("BYTES");
  app.add_option("--max-depth", limits.max_depth,
                 "Deepest JSON nesting accepted")
      ->transform(integer_in(1, std::numeric_limits<std::uint32_t>::max()))
      ->type_name("N");
  app.add_option("--max-string", limits.max_string_bytes,
                 "Longest string accepted (K/M/G/T suffixes)")
      ->transform(byte_count(1, std::numeric_limits<std::size_t>::max()))
      ->type_name("BYTES");
}

void add_printing_options(CLI::App& app, Printing& printing) {
  app.add_option("--format", printing.format, "table (default), json or csv")
      ->transform(one_of(kOutputFormatNames))
      ->type_name("F");
  app.add_flag("--wide", printing.wide,
               "Show every table column, however wide (default: fit " +
                   std::to_string(kDefaultTableWidth) + " columns)")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  app.add_flag("--timings", printing.timings,
               "Print load and query times, the threads used and peak "
               "memory to stderr")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

Parsed<void> check_printing(const Printing& printing) {
  if (printing.wide && printing.format != OutputFormat::Table) {
    return UsageError{"--wide: only applies to --format table"};
  }
  return {};
}

CLI::Option* add_output_option(CLI::App& app, std::filesystem::path& output,
                               const std::string& help,
                               const std::string& type) {
  return app.add_option("-o,--output", output, help)
      ->required()
      ->check(file_name())
      ->type_name(type);
}

void add_compress_option(CLI::App& app, bool& compress) {
  app.add_flag("--compress", compress,
               "Compress the package's sections: a smaller file that opens "
               "slower (default: raw sections, mapped in place)")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

// Only a package has sections to compress; asking for it on JSON is a
// mistake worth reporting rather than ignoring.
Parsed<void> check_compress(bool compress, zyl_package::ReportFormat format,
                            const std::filesystem::path& output) {
  if (compress && format != zyl_package::ReportFormat::Package) {
    return UsageError{
        "--compress: only a package (.zpk) has sections to compress, and " +
        zyl_package::quoted_text(output.string(), '\'') +
        " is written as JSON"};
  }
  return {};
}

std::string lower_extension(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return extension;
}

bool is_foreign_extension(std::string_view extension) {
  return std::find(std::begin(kForeignExtensions), std::end(kForeignExtensions),
                   extension) != std::end(kForeignExtensions);
}

Parsed<zyl_package::ReportFormat> choose_report_format(
    const std::filesystem::path& path,
    const std::optional<zyl_package::ReportFormat>& asked) {
  return choose_format(path,
                       Extensions<zyl_package::ReportFormat>{
                           "a report",
                           {{".json", zyl_package::ReportFormat::Json},
                            {".zpk", zyl_package::ReportFormat::Package}},
                           zyl_package::ReportFormat::Json},
                       asked);
}

}  // namespace zyl_profile::cli
