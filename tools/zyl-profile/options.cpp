// parse_options: the subcommands and their options, declared with CLI11, and
// the strict conversion of every value into the Query and the output settings.
#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>  // std::from_chars
#include <deque>
#include <limits>
#include <tuple>
#include <utility>

namespace zyl_profile::cli {
namespace {

constexpr std::string_view kVersionText = "zyl-profile " ZYL_PROFILE_VERSION;

// Returns the value of a whole token of decimal digits, or nothing for an
// empty token, any other character (sign, space, "0x") or overflow.
std::optional<std::uint64_t> parse_u64(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::string in_quotes(std::string_view text) {
  return "'" + std::string(text) + "'";
}

UsageError bad_value(std::string_view option, std::string_view text,
                     std::string_view expected) {
  return UsageError{std::string(option) + ": expected " +
                    std::string(expected) + ", found " + in_quotes(text)};
}

// Parses `text` as an unsigned integer of at most `max` into `out`.
template <typename T>
std::optional<UsageError> parse_number(
    std::string_view option, std::string_view text, T& out,
    std::uint64_t min = 0, std::uint64_t max = std::numeric_limits<T>::max()) {
  const std::optional<std::uint64_t> value = parse_u64(text);
  if (!value || *value < min || *value > max) {
    return bad_value(
        option, text,
        "an integer in " + std::to_string(min) + ".." + std::to_string(max));
  }
  out = static_cast<T>(*value);
  return std::nullopt;
}

// A byte count: digits with an optional K, M, G or T suffix (powers of 1024).
std::optional<UsageError> parse_bytes(std::string_view option,
                                      std::string_view text,
                                      std::uint64_t& out) {
  std::uint64_t scale = 1;
  std::string_view digits = text;
  if (!digits.empty()) {
    constexpr std::string_view kSuffixes = "KMGT";
    const std::size_t suffix = kSuffixes.find(digits.back());
    if (suffix != std::string_view::npos) {
      scale = std::uint64_t{1} << (10 * (suffix + 1));
      digits.remove_suffix(1);
    }
  }
  const std::optional<std::uint64_t> value = parse_u64(digits);
  if (!value || *value > std::numeric_limits<std::uint64_t>::max() / scale) {
    return bad_value(option, text,
                     "a byte count (digits, optionally followed by K, M, G "
                     "or T)");
  }
  out = *value * scale;
  return std::nullopt;
}

// A cycle count ("12000") or a percentage of the span ("25%", "12.5%").
std::optional<UsageError> parse_bound(std::string_view option,
                                      std::string_view text, TimeBound& out) {
  if (text.empty() || text.back() != '%') {
    return parse_number(option, text, out.cycles);
  }
  const UsageError error = bad_value(
      option, text,
      "a cycle count or a percentage from 0% to 100% with at most 6 decimals");
  std::string_view number = text.substr(0, text.size() - 1);
  const std::size_t dot = number.find('.');
  std::string digits(number.substr(0, dot));
  std::uint64_t scale = 1;
  if (dot != std::string_view::npos) {
    const std::string_view fraction = number.substr(dot + 1);
    if (fraction.empty() || fraction.size() > 6) return error;
    digits += fraction;
    for (std::size_t i = 0; i < fraction.size(); ++i) scale *= 10;
  }
  if (digits.size() > 12) return error;  // keeps units * span split exact
  const std::optional<std::uint64_t> units = parse_u64(digits);
  if (!units || number.substr(0, dot).empty() || *units > 100 * scale) {
    return error;
  }
  out.percent_units = *units;
  out.percent_scale = scale;
  return std::nullopt;
}

// One choice of a fixed set of words.
template <typename T>
std::optional<UsageError> parse_choice(
    std::string_view option, std::string_view text,
    std::initializer_list<std::pair<std::string_view, T>> choices, T& out) {
  std::string names;
  for (const auto& [name, value] : choices) {
    if (name == text) {
      out = value;
      return std::nullopt;
    }
    names += names.empty() ? "" : ", ";
    names += name;
  }
  return bad_value(option, text, "one of " + names);
}

std::optional<UsageError> parse_format(std::string_view option,
                                       std::string_view text,
                                       zyl_package::ReportFormat& out) {
  return parse_choice<zyl_package::ReportFormat>(
      option, text,
      {{"json", zyl_package::ReportFormat::Json},
       {"zpk", zyl_package::ReportFormat::Package}},
      out);
}

// The form a write takes: the one asked for, else the file name's. Only a
// package has sections to compress; asking for it on JSON is a mistake worth
// reporting rather than ignoring.
std::optional<UsageError> check_compress(
    bool compress, const std::optional<zyl_package::ReportFormat>& format,
    const std::filesystem::path& output) {
  const zyl_package::ReportFormat chosen =
      format ? *format : zyl_package::report_format_for(output);
  if (compress && chosen != zyl_package::ReportFormat::Package) {
    return UsageError{
        "--compress: only a package (.zpk) has sections to compress, and " +
        in_quotes(output.string()) + " is written as JSON"};
  }
  return std::nullopt;
}

// Declares the options of one subcommand. Every option that takes a value
// collects its raw texts, one per occurrence, so that the conversion and the
// messages are ours and a repeated single option is caught by count.
class OptionTable {
 public:
  explicit OptionTable(CLI::App* app) : app_(app) {}

  CLI::Option* value(const std::string& name, const std::string& help,
                     const std::string& type, bool repeatable = false) {
    std::vector<std::string>& store = stores_.emplace_back();
    CLI::Option* option = app_->add_option(name, store, help)
                              ->allow_extra_args(false)
                              ->type_name(type)
                              ->option_text(type);
    if (!repeatable) single_.push_back(option);
    return option;
  }

  CLI::Option* flag(const std::string& name, const std::string& help) {
    CLI::Option* option = app_->add_flag(name, help);
    single_.push_back(option);
    return option;
  }

  std::optional<UsageError> check_repeats() const {
    for (const CLI::Option* option : single_) {
      if (option->count() > 1) {
        return UsageError{option->get_name() + ": given more than once"};
      }
    }
    return std::nullopt;
  }

 private:
  CLI::App* app_;
  std::deque<std::vector<std::string>> stores_;  // stable addresses
  std::vector<const CLI::Option*> single_;
};

// The single value of an option, or nothing when it was not given.
const std::string* given(const CLI::Option* option) {
  if (option == nullptr) return nullptr;  // not declared for this command
  const std::vector<std::string>& results = option->results();
  return results.empty() ? nullptr : &results.back();
}

#define RETURN_IF_USAGE_ERROR(expr)                  \
  do {                                               \
    if (std::optional<UsageError> error_ = (expr)) { \
      return std::move(*error_);                     \
    }                                                \
  } while (false)

// The reader limits shared by every subcommand that reads a report.
struct LimitOptions {
  CLI::Option* max_file_size = nullptr;
  CLI::Option* max_memory = nullptr;
  CLI::Option* max_depth = nullptr;
  CLI::Option* max_string = nullptr;

  void declare(OptionTable& table) {
    max_file_size =
        table.value("--max-file-size",
                    "Largest report file accepted (K/M/G/T suffixes; no "
                    "limit by default)",
                    "BYTES");
    max_memory = table.value(
        "--max-memory",
        "Most memory a report's columns may take (K/M/G/T suffixes; by "
        "default what the machine has available)",
        "BYTES");
    max_depth =
        table.value("--max-depth", "Deepest JSON nesting accepted", "N");
    max_string = table.value(
        "--max-string", "Longest string accepted (K/M/G/T suffixes)", "BYTES");
  }

  std::optional<UsageError> apply(zyl_package::ReadLimits& limits) const {
    if (const std::string* text = given(max_file_size)) {
      std::uint64_t bytes = 0;
      RETURN_IF_USAGE_ERROR(parse_bytes("--max-file-size", *text, bytes));
      limits.max_file_bytes = bytes;
    }
    if (const std::string* text = given(max_memory)) {
      RETURN_IF_USAGE_ERROR(
          parse_bytes("--max-memory", *text, limits.max_memory_bytes));
    }
    if (const std::string* text = given(max_depth)) {
      RETURN_IF_USAGE_ERROR(
          parse_number("--max-depth", *text, limits.max_depth, 1,
                       std::numeric_limits<std::uint32_t>::max()));
    }
    if (const std::string* text = given(max_string)) {
      std::uint64_t bytes = 0;
      RETURN_IF_USAGE_ERROR(parse_bytes("--max-string", *text, bytes));
      if (bytes > std::numeric_limits<std::size_t>::max()) {
        return bad_value("--max-string", *text, "a smaller byte count");
      }
      limits.max_string_bytes = static_cast<std::size_t>(bytes);
    }
    return std::nullopt;
  }
};

// Which of the query's options a subcommand declares: all of them (query),
// the grouping and output ones without samples or sort (diff), or only the
// sample filters (trace, export). Options left out stay null.
enum class OptionSet : std::uint8_t { Query = 0, Diff = 1, Filters = 2 };

struct QueryOptions {
  CLI::Option* group_by = nullptr;
  CLI::Option* metadata_key = nullptr;
  CLI::Option* sort_by = nullptr;
  CLI::Option* kind = nullptr;
  CLI::Option* kernel = nullptr;
  CLI::Option* operation_contains = nullptr;
  CLI::Option* tile = nullptr;
  CLI::Option* phase = nullptr;
  CLI::Option* metadata = nullptr;
  CLI::Option* at_offset = nullptr;
  CLI::Option* limit = nullptr;
  CLI::Option* sample_limit = nullptr;
  CLI::Option* from = nullptr;
  CLI::Option* to = nullptr;
  CLI::Option* format = nullptr;
  CLI::Option* table = nullptr;
  CLI::Option* threads = nullptr;
  CLI::Option* timings = nullptr;
  LimitOptions limits;
  std::string report;

  void declare(CLI::App* app, OptionTable& t,
               OptionSet set = OptionSet::Query) {
    if (set != OptionSet::Diff) {
      app->add_option("REPORT", report, "Profile report (.json or .zpk)")
          ->required()
          ->type_name("");
    }
    if (set != OptionSet::Filters) {
      group_by = t.value("--group-by",
                         "kind, kernel (default), operation, phase, tile or "
                         "metadata",
                         "G");
      metadata_key =
          t.value("--metadata-key",
                  "Metadata name to group by with --group-by metadata", "KEY");
    }
    if (set == OptionSet::Query) {
      sort_by = t.value("--sort-by",
                        "phase-cycles (default), work-cycles, maximum-cycles, "
                        "samples or name",
                        "S");
    }
    kind = t.value("--kind",
                   "Only samples of this kind: exchange, compute, "
                   "synchronization or idle",
                   "K");
    kernel = t.value("--kernel",
                     "Only samples of this exact kernel ('' for none)", "NAME");
    operation_contains =
        t.value("--operation-contains",
                "Only samples whose operation contains TEXT", "TEXT");
    tile = t.value("--tile",
                   "Only these physical tiles, e.g. 0,4,8-15 (repeatable)",
                   "LIST", true);
    phase = t.value("--phase", "Only these phases, as --tile (repeatable)",
                    "LIST", true);
    metadata = t.value("--metadata",
                       "Only samples with an entry NAME (of exactly VALUE when "
                       "given; NAME= means the empty value; repeatable)",
                       "NAME[=VALUE]", true);
    at_offset = t.value("--at-offset",
                        "Only samples running at this cycle of their tile's "
                        "timeline",
                        "N");
    from = t.value("--from",
                   "Only samples running at or after N (cycles, or a "
                   "percentage of the span such as 25%)",
                   "N");
    to = t.value("--to", "Only samples starting before N (as --from)", "N");
    if (set != OptionSet::Filters) {
      limit = t.value("--limit", "Report at most N groups", "N");
    }
    if (set == OptionSet::Query) {
      sample_limit =
          t.value("--sample-limit", "List the N longest matching samples", "N");
    }
    if (set != OptionSet::Filters) {
      format = t.value("--format", "table (default), json or csv", "F");
    }
    if (set == OptionSet::Query) {
      table = t.value("--table",
                      "With --format csv: groups (default) or samples", "T");
    }
    if (set != OptionSet::Filters) {
      threads = t.value("--threads",
                        "Query threads (default: the hardware's count)", "N");
    }
    if (set == OptionSet::Query) {
      timings = t.flag("--timings",
                       "Print load time, query time and peak memory to stderr");
    }
    limits.declare(t);
  }

  std::variant<QueryCommand, UsageError> build() const {
    QueryCommand command;
    command.report = report;
    Query& q = command.query;
    if (const std::string* text = given(group_by)) {
      RETURN_IF_USAGE_ERROR(
          parse_choice<GroupBy>("--group-by", *text,
                                {{"kind", GroupBy::Kind},
                                 {"kernel", GroupBy::Kernel},
                                 {"operation", GroupBy::Operation},
                                 {"phase", GroupBy::Phase},
                                 {"tile", GroupBy::Tile},
                                 {"metadata", GroupBy::Metadata}},
                                q.group_by));
    }
    if (const std::string* text = given(metadata_key)) q.metadata_key = *text;
    if (const std::string* text = given(sort_by)) {
      RETURN_IF_USAGE_ERROR(
          parse_choice<SortBy>("--sort-by", *text,
                               {{"phase-cycles", SortBy::PhaseCycles},
                                {"work-cycles", SortBy::WorkCycles},
                                {"maximum-cycles", SortBy::MaximumCycles},
                                {"samples", SortBy::Samples},
                                {"name", SortBy::Name}},
                               q.sort_by));
    }
    if (const std::string* text = given(kind)) {
      StepKind value = StepKind::Exchange;
      RETURN_IF_USAGE_ERROR(parse_choice<StepKind>(
          "--kind", *text,
          {{"exchange", StepKind::Exchange},
           {"compute", StepKind::Compute},
           {"synchronization", StepKind::Synchronization},
           {"idle", StepKind::Idle}},
          value));
      q.kind = value;
    }
    if (const std::string* text = given(kernel)) q.kernel = *text;
    if (const std::string* text = given(operation_contains)) {
      q.operation_contains = *text;
    }
    for (const auto& [option, name, into] :
         {std::tuple{tile, "--tile", &q.tiles},
          std::tuple{phase, "--phase", &q.phases}}) {
      if (option->results().empty()) continue;
      auto numbers = parse_lists(name, option->results());
      if (auto* error = std::get_if<UsageError>(&numbers)) {
        return std::move(*error);
      }
      *into = std::move(std::get<std::set<std::uint32_t>>(numbers));
    }
    for (const std::string& text : metadata->results()) {
      const std::size_t equals = text.find('=');
      MetadataFilter filter;
      filter.name = text.substr(0, equals);
      if (equals != std::string::npos) filter.value = text.substr(equals + 1);
      q.metadata.push_back(std::move(filter));
    }
    if (const std::string* text = given(at_offset)) {
      std::uint64_t value = 0;
      RETURN_IF_USAGE_ERROR(parse_number("--at-offset", *text, value));
      q.at_offset = value;
    }
    if (const std::string* text = given(limit)) {
      std::size_t value = 0;
      RETURN_IF_USAGE_ERROR(parse_number("--limit", *text, value));
      q.limit = value;
    }
    if (const std::string* text = given(sample_limit)) {
      RETURN_IF_USAGE_ERROR(
          parse_number("--sample-limit", *text, q.sample_limit));
    }
    for (const auto& [option, name, into] :
         {std::tuple{from, "--from", &command.from},
          std::tuple{to, "--to", &command.to}}) {
      if (const std::string* text = given(option)) {
        TimeBound bound;
        RETURN_IF_USAGE_ERROR(parse_bound(name, *text, bound));
        *into = bound;
      }
    }
    if (const std::string* text = given(format)) {
      RETURN_IF_USAGE_ERROR(
          parse_choice<OutputFormat>("--format", *text,
                                     {{"table", OutputFormat::Table},
                                      {"json", OutputFormat::Json},
                                      {"csv", OutputFormat::Csv}},
                                     command.format));
    }
    if (const std::string* text = given(table)) {
      if (command.format != OutputFormat::Csv) {
        return UsageError{"--table: only applies to --format csv"};
      }
      RETURN_IF_USAGE_ERROR(parse_choice<CsvTable>(
          "--table", *text,
          {{"groups", CsvTable::Groups}, {"samples", CsvTable::Samples}},
          command.csv_table));
    }
    if (const std::string* text = given(threads)) {
      RETURN_IF_USAGE_ERROR(
          parse_number("--threads", *text, command.threads, 1, 1024));
    }
    command.timings = timings != nullptr && timings->count() > 0;
    RETURN_IF_USAGE_ERROR(limits.apply(command.limits));
    return command;
  }
};

constexpr const char* kCompressHelp =
    "Compress the package's sections: a smaller file that opens slower "
    "(default: raw sections, mapped in place)";

struct GenerateOptionsCli {
  CLI::Option* output = nullptr;
  CLI::Option* tiles = nullptr;
  CLI::Option* samples_per_tile = nullptr;
  CLI::Option* samples = nullptr;
  CLI::Option* seed = nullptr;
  CLI::Option* clock_hz = nullptr;
  CLI::Option* kernels = nullptr;
  CLI::Option* operations = nullptr;
  CLI::Option* phases = nullptr;
  CLI::Option* epochs = nullptr;
  CLI::Option* format = nullptr;
  CLI::Option* compress = nullptr;

  void declare(OptionTable& t) {
    output =
        t.value("-o,--output", "Report file to write (.json or .zpk)", "FILE")
            ->required();
    tiles = t.value("--tiles", "Number of tiles (default 1472)", "N");
    samples_per_tile = t.value("--samples-per-tile",
                               "Average samples per tile (default 100)", "N");
    samples = t.value("--samples",
                      "Exact total number of samples (instead of "
                      "--samples-per-tile)",
                      "TOTAL");
    seed = t.value("--seed", "Random seed (default 1)", "S");
    clock_hz =
        t.value("--clock-hz", "Counter frequency (default 1330000000)", "HZ");
    kernels = t.value("--kernels", "Distinct kernels (default 300)", "N");
    operations =
        t.value("--operations", "Distinct operations (default 40)", "N");
    phases = t.value("--phases", "Phases (default 24)", "N");
    epochs = t.value("--epochs", "Epochs per phase (default 4)", "N");
    format = t.value("--format",
                     "json or zpk (default: by the file's extension)", "F");
    compress = t.flag("--compress", kCompressHelp);
  }

  std::variant<GenerateCommand, UsageError> build() const {
    GenerateCommand command;
    command.output = *given(output);
    if (command.output.empty()) {
      return UsageError{"--output: expected a file name, found ''"};
    }
    std::uint32_t tile_count = zyl_package::GenerateOptions{}.tiles;
    if (const std::string* text = given(tiles)) {
      RETURN_IF_USAGE_ERROR(parse_number("--tiles", *text, tile_count));
    }
    if (given(samples) && given(samples_per_tile)) {
      return UsageError{
          "--samples and --samples-per-tile cannot be given together"};
    }
    zyl_package::GenerateOptions& g = command.generate;
    if (const std::string* text = given(samples)) {
      std::uint64_t total = 0;
      RETURN_IF_USAGE_ERROR(parse_number("--samples", *text, total));
      g = zyl_package::options_for_total(total, tile_count);
    }
    g.tiles = tile_count;
    if (const std::string* text = given(samples_per_tile)) {
      RETURN_IF_USAGE_ERROR(
          parse_number("--samples-per-tile", *text, g.samples_per_tile));
    }
    if (const std::string* text = given(seed)) {
      RETURN_IF_USAGE_ERROR(parse_number("--seed", *text, g.seed));
    }
    if (const std::string* text = given(clock_hz)) {
      RETURN_IF_USAGE_ERROR(parse_number("--clock-hz", *text, g.clock_hz));
    }
    for (const auto& [option, name, into] :
         {std::tuple{kernels, "--kernels", &g.kernels},
          std::tuple{operations, "--operations", &g.operations},
          std::tuple{phases, "--phases", &g.phases},
          std::tuple{epochs, "--epochs", &g.epochs}}) {
      if (const std::string* text = given(option)) {
        RETURN_IF_USAGE_ERROR(parse_number(name, *text, *into));
      }
    }
    if (const std::string* text = given(format)) {
      zyl_package::ReportFormat value = zyl_package::ReportFormat::Json;
      RETURN_IF_USAGE_ERROR(parse_format("--format", *text, value));
      command.format = value;
    }
    command.compress = compress->count() > 0;
    RETURN_IF_USAGE_ERROR(
        check_compress(command.compress, command.format, command.output));
    return command;
  }
};

struct ConvertOptions {
  std::string input;
  std::string output;
  CLI::Option* to = nullptr;
  CLI::Option* compress = nullptr;
  LimitOptions limits;

  void declare(CLI::App* app, OptionTable& t) {
    app->add_option("IN", input, "Report to read (either form)")
        ->required()
        ->type_name("");
    app->add_option("OUT", output, "Report to write")
        ->required()
        ->type_name("");
    to = t.value("--to", "json or zpk (default: by OUT's extension)", "F");
    compress = t.flag("--compress", kCompressHelp);
    limits.declare(t);
  }

  std::variant<ConvertCommand, UsageError> build() const {
    ConvertCommand command;
    command.input = input;
    command.output = output;
    if (const std::string* text = given(to)) {
      zyl_package::ReportFormat value = zyl_package::ReportFormat::Json;
      RETURN_IF_USAGE_ERROR(parse_format("--to", *text, value));
      command.format = value;
    }
    command.compress = compress->count() > 0;
    RETURN_IF_USAGE_ERROR(
        check_compress(command.compress, command.format, command.output));
    RETURN_IF_USAGE_ERROR(limits.apply(command.limits));
    return command;
  }
};

// A percentage such as "10", "2.5" or "2.5%": digits, at most 6 decimals.
std::optional<UsageError> parse_percentage(std::string_view option,
                                           std::string_view text,
                                           Percentage& out) {
  const UsageError error = bad_value(
      option, text, "a percentage such as 10 or 2.5 (at most 6 decimals)");
  std::string_view number = text;
  if (number.ends_with('%')) number.remove_suffix(1);
  const std::size_t dot = number.find('.');
  std::string digits(number.substr(0, dot));
  if (digits.empty()) return error;
  std::uint64_t scale = 1;
  if (dot != std::string_view::npos) {
    const std::string_view fraction = number.substr(dot + 1);
    if (fraction.empty() || fraction.size() > 6) return error;
    digits += fraction;
    for (std::size_t i = 0; i < fraction.size(); ++i) scale *= 10;
  }
  if (digits.size() > 18) return error;  // keeps units below 10^18
  const std::optional<std::uint64_t> units = parse_u64(digits);
  if (!units) return error;
  out = Percentage{*units, scale};
  return std::nullopt;
}

// The filters of a QueryCommand, moved into the command that reads samples.
template <typename Command>
std::optional<UsageError> take_filters(const QueryOptions& options,
                                       Command& command) {
  std::variant<QueryCommand, UsageError> built = options.build();
  if (auto* error = std::get_if<UsageError>(&built)) return std::move(*error);
  QueryCommand& query = std::get<QueryCommand>(built);
  command.query = std::move(query.query);
  command.from = query.from;
  command.to = query.to;
  command.limits = query.limits;
  return std::nullopt;
}

std::optional<UsageError> take_output(const CLI::Option* option,
                                      std::filesystem::path& out) {
  out = *given(option);
  if (out.empty())
    return UsageError{"--output: expected a file name, found ''"};
  return std::nullopt;
}

// `trace`: exactly the query's filters, plus the file and the naming.
struct TraceOptions {
  QueryOptions filters;
  CLI::Option* output = nullptr;
  CLI::Option* name_by = nullptr;
  CLI::Option* minimal_args = nullptr;

  void declare(CLI::App* app, OptionTable& t) {
    filters.declare(app, t, OptionSet::Filters);
    output = t.value("-o,--output", "Trace file to write (JSON)", "FILE")
                 ->required();
    name_by =
        t.value("--name-by",
                "Name slices by kernel (default), operation or kind", "BY");
    minimal_args =
        t.flag("--minimal-args", "Leave the per-sample args out of the trace");
  }

  std::variant<TraceCommand, UsageError> build() const {
    TraceCommand command;
    command.report = filters.report;
    RETURN_IF_USAGE_ERROR(take_filters(filters, command));
    RETURN_IF_USAGE_ERROR(take_output(output, command.output));
    if (const std::string* text = given(name_by)) {
      RETURN_IF_USAGE_ERROR(
          parse_choice<TraceName>("--name-by", *text,
                                  {{"kernel", TraceName::Kernel},
                                   {"operation", TraceName::Operation},
                                   {"kind", TraceName::Kind}},
                                  command.name_by));
    }
    command.minimal_args = minimal_args->count() > 0;
    return command;
  }
};

// `diff`: two reports, the query's grouping, filters and output options.
struct DiffOptions {
  std::string base;
  std::string next;
  QueryOptions query;
  CLI::Option* fail_above = nullptr;

  void declare(CLI::App* app, OptionTable& t) {
    app->add_option("BASE", base, "The earlier report")
        ->required()
        ->type_name("");
    app->add_option("NEW", next, "The report compared with BASE")
        ->required()
        ->type_name("");
    query.declare(app, t, OptionSet::Diff);
    fail_above = t.value("--fail-above",
                         "Exit 3 when the span or a group's phase cycles grew "
                         "by more than PCT percent",
                         "PCT");
  }

  std::variant<DiffCommand, UsageError> build() const {
    std::variant<QueryCommand, UsageError> built = query.build();
    if (auto* error = std::get_if<UsageError>(&built)) {
      return std::move(*error);
    }
    QueryCommand& parsed = std::get<QueryCommand>(built);
    DiffCommand command;
    command.base = base;
    command.next = next;
    command.query = std::move(parsed.query);
    command.from = parsed.from;
    command.to = parsed.to;
    command.format = parsed.format;
    command.threads = parsed.threads;
    command.limits = parsed.limits;
    if (const std::string* text = given(fail_above)) {
      Percentage value;
      RETURN_IF_USAGE_ERROR(parse_percentage("--fail-above", *text, value));
      command.fail_above = value;
    }
    return command;
  }
};

// `export`: exactly the query's filters, plus the file and its format.
struct ExportOptions {
  QueryOptions filters;
  CLI::Option* output = nullptr;
  CLI::Option* format = nullptr;

  void declare(CLI::App* app, OptionTable& t) {
    filters.declare(app, t, OptionSet::Filters);
    output = t.value("-o,--output", "File to write", "FILE")->required();
    format = t.value("--format",
                     "csv or jsonl (default: jsonl for a .jsonl or .ndjson "
                     "file, else csv)",
                     "F");
  }

  std::variant<ExportCommand, UsageError> build() const {
    ExportCommand command;
    command.report = filters.report;
    RETURN_IF_USAGE_ERROR(take_filters(filters, command));
    RETURN_IF_USAGE_ERROR(take_output(output, command.output));
    const std::filesystem::path extension = command.output.extension();
    if (extension == ".jsonl" || extension == ".ndjson") {
      command.format = ExportFormat::Jsonl;
    }
    if (const std::string* text = given(format)) {
      RETURN_IF_USAGE_ERROR(parse_choice<ExportFormat>(
          "--format", *text,
          {{"csv", ExportFormat::Csv}, {"jsonl", ExportFormat::Jsonl}},
          command.format));
    }
    return command;
  }
};

// CLI11 reads "--kernel=" as "--kernel" waiting for a value, so the empty
// value is passed as a separate argument; everything after "--" is a
// positional and stays as it is.
std::vector<std::string> split_empty_values(
    const std::vector<std::string>& args) {
  std::vector<std::string> out;
  out.reserve(args.size() + 4);
  bool positional_only = false;
  for (const std::string& arg : args) {
    if (arg == "--") positional_only = true;
    if (!positional_only && arg.size() > 3 && arg.starts_with("--") &&
        arg.back() == '=' && arg.find('=') == arg.size() - 1) {
      out.push_back(arg.substr(0, arg.size() - 1));
      out.emplace_back();
      continue;
    }
    out.push_back(arg);
  }
  return out;
}

std::string first_line(std::string_view text) {
  return std::string(text.substr(0, text.find('\n')));
}

template <typename Command>
ParseResult to_result(std::variant<Command, UsageError>&& built) {
  if (auto* error = std::get_if<UsageError>(&built)) return std::move(*error);
  return Options{std::move(std::get<Command>(built))};
}

}  // namespace

std::uint64_t resolve_bound(const TimeBound& bound, std::uint64_t span) {
  if (bound.percent_scale == 0) return bound.cycles;
  // span * units / (100 * scale) without overflow: units <= 100 * scale and
  // 100 * scale <= 10^8, so the remainder product stays below 10^16.
  const std::uint64_t divisor = 100 * bound.percent_scale;
  return span / divisor * bound.percent_units +
         span % divisor * bound.percent_units / divisor;
}

std::variant<std::set<std::uint32_t>, UsageError> parse_lists(
    std::string_view option, const std::vector<std::string>& lists) {
  const std::string name(option);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
  for (const std::string& list : lists) {
    std::string_view rest = list;
    while (true) {
      const std::size_t comma = rest.find(',');
      const std::string_view item = rest.substr(0, comma);
      const std::size_t dash = item.find('-');
      const std::optional<std::uint64_t> first =
          parse_u64(item.substr(0, dash));
      const std::optional<std::uint64_t> last =
          dash == std::string_view::npos ? first
                                         : parse_u64(item.substr(dash + 1));
      constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
      if (!first || !last || *first > kMax || *last > kMax) {
        return bad_value(name, item,
                         "a number in 0..4294967295 or a range A-B in LIST " +
                             in_quotes(list));
      }
      if (*first > *last) {
        return UsageError{name + ": range " + in_quotes(item) +
                          " starts after it ends"};
      }
      ranges.emplace_back(static_cast<std::uint32_t>(*first),
                          static_cast<std::uint32_t>(*last));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
  }
  // Count the merged ranges before expanding any, so overlapping or huge
  // ranges cannot make us insert more than the cap allows.
  std::sort(ranges.begin(), ranges.end());
  std::uint64_t count = 0;
  std::uint64_t covered_end = 0;  // one past the last number counted
  for (const auto& [first, last] : ranges) {
    const std::uint64_t begin = std::max<std::uint64_t>(first, covered_end);
    const std::uint64_t end = std::uint64_t{last} + 1;
    if (end > begin) {
      count += end - begin;
      covered_end = end;
    }
  }
  if (count > kMaxListNumbers) {
    return UsageError{name + ": the lists hold " + std::to_string(count) +
                      " numbers, more than the " +
                      std::to_string(kMaxListNumbers) + " allowed"};
  }
  std::set<std::uint32_t> numbers;
  for (const auto& [first, last] : ranges) {
    for (std::uint64_t n = first; n <= last; ++n) {
      numbers.insert(numbers.end(), static_cast<std::uint32_t>(n));
    }
  }
  return numbers;
}

ParseResult parse_options(const std::vector<std::string>& args) {
  CLI::App app{"Answers questions about tile profile reports.",
               std::string(kProgramName)};
  app.set_version_flag("--version", std::string(kVersionText));
  app.require_subcommand(1);
  app.footer(
      "Examples:\n"
      "  zyl-profile query examples/small.json --limit 10\n"
      "  zyl-profile query examples/small.json --tile 9 --at-offset 12000 "
      "--sample-limit 5\n"
      "  zyl-profile generate -o report.json --tiles 64 --samples-per-tile "
      "100\n"
      "  zyl-profile convert report.json report.zpk\n"
      "Run 'zyl-profile COMMAND --help' for a command's options.");

  CLI::App* query_app = app.add_subcommand(
      "query", "Group the samples of a report and print the summaries");
  query_app->footer(
      "Example:\n"
      "  zyl-profile query examples/small.json --kind compute --sort-by "
      "work-cycles --limit 5 --format json");
  OptionTable query_table(query_app);
  QueryOptions query_options;
  query_options.declare(query_app, query_table);

  CLI::App* generate_app =
      app.add_subcommand("generate", "Write a synthetic report");
  generate_app->footer(
      "Example:\n"
      "  zyl-profile generate -o examples/small.json --tiles 8 "
      "--samples-per-tile 40 --seed 7");
  OptionTable generate_table(generate_app);
  GenerateOptionsCli generate_options;
  generate_options.declare(generate_table);

  CLI::App* convert_app = app.add_subcommand(
      "convert", "Rewrite a report as JSON or as a binary package");
  convert_app->footer(
      "Examples:\n  zyl-profile convert report.json report.zpk\n"
      "  zyl-profile convert report.zpk archive.zpk --compress");
  OptionTable convert_table(convert_app);
  ConvertOptions convert_options;
  convert_options.declare(convert_app, convert_table);

  CLI::App* trace_app = app.add_subcommand(
      "trace", "Write the matching samples as a timeline (Trace Event JSON)");
  trace_app->footer(
      "Example:\n"
      "  zyl-profile trace examples/small.json -o trace.json --tile 0-3");
  OptionTable trace_table(trace_app);
  TraceOptions trace_options;
  trace_options.declare(trace_app, trace_table);

  CLI::App* diff_app = app.add_subcommand(
      "diff", "Compare the groups of two reports under the same query");
  diff_app->footer(
      "Example:\n"
      "  zyl-profile diff base.json new.json --kind compute --fail-above 5");
  OptionTable diff_table(diff_app);
  DiffOptions diff_options;
  diff_options.declare(diff_app, diff_table);

  CLI::App* export_app = app.add_subcommand(
      "export", "Write every matching sample as CSV or JSON lines");
  export_app->footer(
      "Example:\n"
      "  zyl-profile export examples/small.json --kind compute -o "
      "samples.csv");
  OptionTable export_table(export_app);
  ExportOptions export_options;
  export_options.declare(export_app, export_table);

  constexpr std::string_view kCommands[] = {"query", "generate", "convert",
                                            "trace", "diff",     "export"};
  if (!args.empty() && !args.front().starts_with('-') &&
      std::find(std::begin(kCommands), std::end(kCommands), args.front()) ==
          std::end(kCommands)) {
    return UsageError{
        "unknown command " + in_quotes(args.front()) +
        " (expected query, generate, convert, trace, diff or export)"};
  }
  std::vector<std::string> reversed = split_empty_values(args);
  std::reverse(reversed.begin(), reversed.end());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return Options{PrintText{app.help()}};
  } catch (const CLI::CallForAllHelp&) {
    return Options{PrintText{app.help("", CLI::AppFormatMode::All)}};
  } catch (const CLI::CallForVersion&) {
    return Options{PrintText{std::string(kVersionText) + "\n"}};
  } catch (const CLI::ParseError& error) {
    return UsageError{first_line(error.what())};
  }

  for (const OptionTable* table :
       {&query_table, &generate_table, &convert_table, &trace_table,
        &diff_table, &export_table}) {
    if (std::optional<UsageError> error = table->check_repeats()) {
      return std::move(*error);
    }
  }
  if (query_app->parsed()) return to_result(query_options.build());
  if (generate_app->parsed()) return to_result(generate_options.build());
  if (trace_app->parsed()) return to_result(trace_options.build());
  if (diff_app->parsed()) return to_result(diff_options.build());
  if (export_app->parsed()) return to_result(export_options.build());
  return to_result(convert_options.build());
}

}  // namespace zyl_profile::cli
