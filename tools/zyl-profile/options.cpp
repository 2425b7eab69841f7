// parse_options: the subcommands, declared from one table, their options
// declared with CLI11 from shared parts (the selection, the printing, the
// read limits), and the strict conversion of every value.
#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>  // std::from_chars
#include <deque>
#include <limits>
#include <memory>
#include <tuple>
#include <utility>

#include "format/text.h"
#include "format/text_table.h"
#include "output.h"  // kMeasuresHelp
#include "zyl_package/quote.h"

namespace zyl_profile::cli {
namespace {

#define RETURN_IF_USAGE_ERROR(expr)                  \
  do {                                               \
    if (std::optional<UsageError> error_ = (expr)) { \
      return std::move(*error_);                     \
    }                                                \
  } while (false)

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
  return zyl_package::quoted_text(text, '\'');
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
    std::uint64_t cycles = 0;
    RETURN_IF_USAGE_ERROR(parse_number(option, text, cycles));
    out = cycles;
    return std::nullopt;
  }
  const std::optional<Percentage> percent = parse_percentage(text);
  if (!percent || percent->units > 100 * percent->scale) {
    return bad_value(option, text,
                     "a cycle count or a percentage from 0% to 100% with at "
                     "most 6 decimals");
  }
  out = *percent;
  return std::nullopt;
}

// One choice of a fixed set of words.
template <typename T>
std::optional<UsageError> parse_choice(
    std::string_view option, std::string_view text,
    std::span<const std::pair<std::string_view, T>> choices, T& out) {
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

template <typename T>
std::optional<UsageError> parse_choice(
    std::string_view option, std::string_view text,
    std::initializer_list<std::pair<std::string_view, T>> choices, T& out) {
  return parse_choice<T>(option, text,
                         std::span(choices.begin(), choices.size()), out);
}

// Returns the edit distance between `a` and `b` (insertions, deletions,
// substitutions and swaps of neighbours, so "qeury" is one edit from
// "query"), or `cap` + 1 when it is larger than `cap`.
std::size_t edit_distance(std::string_view a, std::string_view b,
                          std::size_t cap) {
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > cap) {
    return cap + 1;
  }
  const std::size_t width = b.size() + 1;
  std::vector<std::size_t> d((a.size() + 1) * width);
  const auto at = [&](std::size_t i, std::size_t j) -> std::size_t& {
    return d[i * width + j];
  };
  for (std::size_t i = 0; i <= a.size(); ++i) at(i, 0) = i;
  for (std::size_t j = 0; j <= b.size(); ++j) at(0, j) = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1,
                           at(i - 1, j - 1) + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
      }
    }
  }
  return std::min(at(a.size(), b.size()), cap + 1);
}

// Returns " (did you mean X?)" for the candidate closest to `text`, or ""
// when none is within a third of its length.
std::string did_you_mean(std::string_view text,
                         const std::vector<std::string>& candidates) {
  const std::size_t cap = std::max<std::size_t>(1, text.size() / 3);
  std::size_t best = cap + 1;
  std::string_view closest;
  for (const std::string& candidate : candidates) {
    const std::size_t distance = edit_distance(text, candidate, cap);
    if (distance < best) best = distance, closest = candidate;
  }
  if (closest.empty()) return {};
  return " (did you mean " + std::string(closest) + "?)";
}

// Chooses the format of a file the command writes: the one asked for, else
// the one its extension names. An extension that names another format (a
// .parquet export, a compressed .gz trace) is refused whatever was asked,
// rather than writing something the name does not promise.
template <typename Format>
struct Extensions {
  std::string_view what;  // "export", for messages
  std::initializer_list<std::pair<std::string_view, Format>> known;
  Format no_extension;  // the format of a name without an extension
};

constexpr std::string_view kForeignExtensions[] = {
    ".parquet", ".arrow", ".feather", ".orc", ".avro", ".xlsx",
    ".xls",     ".gz",    ".zst",     ".bz2", ".xz",   ".zip",
    ".lz4",     ".7z",    ".tgz",     ".pb",  ".db",   ".sqlite"};

template <typename Format>
std::optional<UsageError> choose_format(const std::filesystem::path& path,
                                        const Extensions<Format>& extensions,
                                        const std::optional<Format>& asked,
                                        Format& out) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  std::string names;
  for (const auto& [name, format] : extensions.known) {
    names += names.empty() ? "" : " or ";
    names += name;
    if (name != extension) continue;
    if (asked && *asked != format) {
      return UsageError{"--format does not match the output name " +
                        in_quotes(path.string()) +
                        "; leave --format out or "
                        "change the name"};
    }
    out = format;
    return std::nullopt;
  }
  if (extension.empty()) {
    out = asked.value_or(extensions.no_extension);
    return std::nullopt;
  }
  const bool foreign =
      std::find(std::begin(kForeignExtensions), std::end(kForeignExtensions),
                extension) != std::end(kForeignExtensions);
  if (foreign || !asked) {
    return UsageError{std::string(extensions.what) + " cannot write a " +
                      extension + " file (" + in_quotes(path.string()) +
                      "): it writes " + names +
                      (foreign ? "" : ", or give --format")};
  }
  out = *asked;
  return std::nullopt;
}

const Extensions<zyl_package::ReportFormat> kReportExtensions{
    "a report",
    {{".json", zyl_package::ReportFormat::Json},
     {".zpk", zyl_package::ReportFormat::Package}},
    zyl_package::ReportFormat::Json};

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

  std::string& positional(const std::string& name, const std::string& help) {
    std::string& store = positionals_.emplace_back();
    app_->add_option(name, store, help)->required()->type_name("");
    return store;
  }

  // A positional taking one or more values, in the order given.
  std::vector<std::string>& positionals(const std::string& name,
                                        const std::string& help) {
    std::vector<std::string>& store = stores_.emplace_back();
    app_->add_option(name, store, help)->required()->type_name("");
    return store;
  }

  std::optional<UsageError> check_repeats() const {
    for (const CLI::Option* option : single_) {
      if (option->count() > 1) {
        return UsageError{option->get_name() + ": given more than once"};
      }
    }
    return std::nullopt;
  }

  // The long names of the options, for suggestions.
  [[nodiscard]] std::vector<std::string> long_names() const {
    std::vector<std::string> names{"--help"};
    for (const CLI::Option* option : app_->get_options()) {
      for (const std::string& name : option->get_lnames()) {
        names.push_back("--" + name);
      }
    }
    return names;
  }

 private:
  CLI::App* app_;
  std::deque<std::vector<std::string>> stores_;  // stable addresses
  std::deque<std::string> positionals_;
  std::vector<const CLI::Option*> single_;
};

// The single value of an option, or nothing when it was not given.
const std::string* given(const CLI::Option* option) {
  if (option == nullptr) return nullptr;  // not declared for this command
  const std::vector<std::string>& results = option->results();
  return results.empty() ? nullptr : &results.back();
}

bool is_set(const CLI::Option* option) {
  return option != nullptr && option->count() > 0;
}

std::optional<UsageError> take_output(const CLI::Option* option,
                                      std::filesystem::path& out) {
  out = *given(option);
  if (out.empty()) {
    return UsageError{"--output: expected a file name, found ''"};
  }
  return std::nullopt;
}

// The reader limits of every command that reads a report.
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
      RETURN_IF_USAGE_ERROR(
          parse_bytes("--max-file-size", *text, limits.max_file_bytes));
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

// The parts of a Selection a command offers: every command that reads
// samples takes the filters, the window and the read limits; the grouping
// ones only where groups are printed.
enum SelectionParts : unsigned {
  kFilters = 0,     // filters, window, read limits: always
  kGrouping = 1,    // --group-by, --metadata-key, --limit
  kSorting = 2,     // --sort-by
  kSampleList = 4,  // --sample-limit
  kThreads = 8,     // --threads
};

struct SelectionOptions {
  unsigned parts = kFilters;
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
  CLI::Option* from = nullptr;
  CLI::Option* to = nullptr;
  CLI::Option* limit = nullptr;
  CLI::Option* sample_limit = nullptr;
  CLI::Option* threads = nullptr;
  CLI::Option* concatenate = nullptr;
  LimitOptions limits;

  void declare(OptionTable& t, unsigned offered) {
    parts = offered;
    if ((parts & kGrouping) != 0) {
      group_by = t.value("--group-by",
                         "kind, kernel (default), operation, phase, tile or "
                         "metadata",
                         "G");
      metadata_key =
          t.value("--metadata-key",
                  "Metadata name to group by with --group-by metadata", "KEY");
    }
    if ((parts & kSorting) != 0) {
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
                        "Only samples running at this point of their tile's "
                        "timeline (cycles, or a percentage of the span such "
                        "as 50%)",
                        "N");
    from = t.value("--from",
                   "Only samples running at or after N (cycles, or a "
                   "percentage of the span such as 25%)",
                   "N");
    to = t.value("--to", "Only samples starting before N (as --from)", "N");
    if ((parts & kGrouping) != 0) {
      limit = t.value("--limit", "Report at most N groups", "N");
    }
    if ((parts & kSampleList) != 0) {
      sample_limit =
          t.value("--sample-limit", "List the N longest matching samples", "N");
    }
    if ((parts & kThreads) != 0) {
      threads = t.value("--threads",
                        "Query threads (default: the hardware's count)", "N");
    }
    concatenate = t.flag(
        "--concatenate",
        "Read several reports as one profile of their tiles in the order "
        "given, even when they are not the shards of one split profile");
    limits.declare(t);
  }

  std::optional<UsageError> apply(Selection& selection) const {
    Query& q = selection.query;
    selection.concatenate = is_set(concatenate);
    if (const std::string* text = given(group_by)) {
      RETURN_IF_USAGE_ERROR(parse_choice<GroupBy>("--group-by", *text,
                                                  kGroupByNames, q.group_by));
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
    for (const auto& [option, name, into] :
         {std::tuple{at_offset, "--at-offset", &q.at_offset},
          std::tuple{from, "--from", &q.from_offset},
          std::tuple{to, "--to", &q.to_offset}}) {
      if (const std::string* text = given(option)) {
        TimeBound bound;
        RETURN_IF_USAGE_ERROR(parse_bound(name, *text, bound));
        *into = bound;
      }
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
    if (const std::string* text = given(threads)) {
      RETURN_IF_USAGE_ERROR(
          parse_number("--threads", *text, selection.threads, 1, 1024));
    }
    return limits.apply(selection.limits);
  }
};

// How query and diff print: the format, --wide and --timings.
struct PrintingOptions {
  CLI::Option* format = nullptr;
  CLI::Option* wide = nullptr;
  CLI::Option* timings = nullptr;

  void declare(OptionTable& t) {
    format = t.value("--format", "table (default), json or csv", "F");
    wide = t.flag("--wide",
                  "Show every table column, however wide (default: fit " +
                      std::to_string(kDefaultTableWidth) + " columns)");
    timings = t.flag("--timings",
                     "Print load and query times, the threads used and peak "
                     "memory to stderr");
  }

  std::optional<UsageError> apply(Printing& printing) const {
    if (const std::string* text = given(format)) {
      RETURN_IF_USAGE_ERROR(
          parse_choice<OutputFormat>("--format", *text,
                                     {{"table", OutputFormat::Table},
                                      {"json", OutputFormat::Json},
                                      {"csv", OutputFormat::Csv}},
                                     printing.format));
    }
    if (is_set(wide) && printing.format != OutputFormat::Table) {
      return UsageError{"--wide: only applies to --format table"};
    }
    printing.wide = is_set(wide);
    printing.timings = is_set(timings);
    return std::nullopt;
  }
};

// One subcommand's options: declared on its CLI11 app, then turned into the
// command it asks for.
class CommandOptions {
 public:
  virtual ~CommandOptions() = default;
  virtual void declare(OptionTable& table) = 0;
  [[nodiscard]] virtual std::variant<Options, UsageError> build() const = 0;
};

class QueryOptions final : public CommandOptions {
 public:
  void declare(OptionTable& t) override {
    reports_ = &t.positionals(
        "REPORT",
        "Profile report (.json or .zpk), or every shard of one split "
        "profile (in any order), queried as the whole");
    selection_.declare(t, kGrouping | kSorting | kSampleList | kThreads);
    printing_.declare(t);
    table_ = t.value("--table",
                     "With --format csv: groups (default) or samples", "T");
  }

  std::variant<Options, UsageError> build() const override {
    QueryCommand command;
    command.reports.assign(reports_->begin(), reports_->end());
    RETURN_IF_USAGE_ERROR(selection_.apply(command.selection));
    RETURN_IF_USAGE_ERROR(printing_.apply(command.printing));
    if (const std::string* text = given(table_)) {
      if (command.printing.format != OutputFormat::Csv) {
        return UsageError{"--table: only applies to --format csv"};
      }
      RETURN_IF_USAGE_ERROR(parse_choice<CsvTable>(
          "--table", *text,
          {{"groups", CsvTable::Groups}, {"samples", CsvTable::Samples}},
          command.csv_table));
    }
    return Options{std::move(command)};
  }

 private:
  const std::vector<std::string>* reports_ = nullptr;
  SelectionOptions selection_;
  PrintingOptions printing_;
  CLI::Option* table_ = nullptr;
};

constexpr const char* kCompressHelp =
    "Compress the package's sections: a smaller file that opens slower "
    "(default: raw sections, mapped in place)";

// Only a package has sections to compress; asking for it on JSON is a
// mistake worth reporting rather than ignoring.
std::optional<UsageError> check_compress(bool compress,
                                         zyl_package::ReportFormat format,
                                         const std::filesystem::path& output) {
  if (compress && format != zyl_package::ReportFormat::Package) {
    return UsageError{
        "--compress: only a package (.zpk) has sections to compress, and " +
        in_quotes(output.string()) + " is written as JSON"};
  }
  return std::nullopt;
}

std::optional<UsageError> parse_report_format(std::string_view option,
                                              const std::string* text,
                                              const std::filesystem::path& path,
                                              zyl_package::ReportFormat& out) {
  std::optional<zyl_package::ReportFormat> asked;
  if (text != nullptr) {
    zyl_package::ReportFormat value = zyl_package::ReportFormat::Json;
    RETURN_IF_USAGE_ERROR(parse_choice<zyl_package::ReportFormat>(
        option, *text,
        {{"json", zyl_package::ReportFormat::Json},
         {"zpk", zyl_package::ReportFormat::Package}},
        value));
    asked = value;
  }
  return choose_format(path, kReportExtensions, asked, out);
}

class GenerateOptions final : public CommandOptions {
 public:
  void declare(OptionTable& t) override {
    output_ =
        t.value("-o,--output", "Report file to write (.json or .zpk)", "FILE")
            ->required();
    tiles_ = t.value("--tiles", "Number of tiles (default 1472)", "N");
    samples_per_tile_ = t.value("--samples-per-tile",
                                "Average samples per tile (default 100)", "N");
    samples_ = t.value("--samples",
                       "Exact total number of samples (instead of "
                       "--samples-per-tile)",
                       "TOTAL");
    seed_ = t.value("--seed", "Random seed (default 1)", "S");
    clock_hz_ =
        t.value("--clock-hz", "Counter frequency (default 1330000000)", "HZ");
    kernels_ = t.value("--kernels", "Distinct kernels (default 300)", "N");
    operations_ =
        t.value("--operations", "Distinct operations (default 40)", "N");
    phases_ = t.value("--phases", "Phases (default 24)", "N");
    epochs_ = t.value("--epochs", "Epochs per phase (default 4)", "N");
    format_ = t.value("--format",
                      "json or zpk (default: by the file's extension)", "F");
    compress_ = t.flag("--compress", kCompressHelp);
  }

  std::variant<Options, UsageError> build() const override {
    GenerateCommand command;
    RETURN_IF_USAGE_ERROR(take_output(output_, command.output));
    std::uint32_t tile_count = zyl_package::GenerateOptions{}.tiles;
    if (const std::string* text = given(tiles_)) {
      RETURN_IF_USAGE_ERROR(parse_number("--tiles", *text, tile_count));
    }
    if (given(samples_) && given(samples_per_tile_)) {
      return UsageError{
          "--samples and --samples-per-tile cannot be given together"};
    }
    zyl_package::GenerateOptions& g = command.generate;
    if (const std::string* text = given(samples_)) {
      std::uint64_t total = 0;
      RETURN_IF_USAGE_ERROR(parse_number("--samples", *text, total));
      g = zyl_package::options_for_total(total, tile_count);
    }
    g.tiles = tile_count;
    for (const auto& [option, name, into] :
         {std::tuple{samples_per_tile_, "--samples-per-tile",
                     &g.samples_per_tile},
          std::tuple{kernels_, "--kernels", &g.kernels},
          std::tuple{operations_, "--operations", &g.operations},
          std::tuple{phases_, "--phases", &g.phases},
          std::tuple{epochs_, "--epochs", &g.epochs}}) {
      if (const std::string* text = given(option)) {
        RETURN_IF_USAGE_ERROR(parse_number(name, *text, *into));
      }
    }
    if (const std::string* text = given(seed_)) {
      RETURN_IF_USAGE_ERROR(parse_number("--seed", *text, g.seed));
    }
    if (const std::string* text = given(clock_hz_)) {
      RETURN_IF_USAGE_ERROR(parse_number("--clock-hz", *text, g.clock_hz));
    }
    RETURN_IF_USAGE_ERROR(parse_report_format("--format", given(format_),
                                              command.output, command.format));
    command.compress = is_set(compress_);
    RETURN_IF_USAGE_ERROR(
        check_compress(command.compress, command.format, command.output));
    return Options{std::move(command)};
  }

 private:
  CLI::Option* output_ = nullptr;
  CLI::Option* tiles_ = nullptr;
  CLI::Option* samples_per_tile_ = nullptr;
  CLI::Option* samples_ = nullptr;
  CLI::Option* seed_ = nullptr;
  CLI::Option* clock_hz_ = nullptr;
  CLI::Option* kernels_ = nullptr;
  CLI::Option* operations_ = nullptr;
  CLI::Option* phases_ = nullptr;
  CLI::Option* epochs_ = nullptr;
  CLI::Option* format_ = nullptr;
  CLI::Option* compress_ = nullptr;
};

class ConvertOptions final : public CommandOptions {
 public:
  void declare(OptionTable& t) override {
    input_ = &t.positional("IN", "Report to read (either form)");
    output_ = &t.positional("OUT", "Report to write");
    to_ = t.value("--to", "json or zpk (default: by OUT's extension)", "F");
    compress_ = t.flag("--compress", kCompressHelp);
    limits_.declare(t);
  }

  std::variant<Options, UsageError> build() const override {
    ConvertCommand command;
    command.input = *input_;
    command.output = *output_;
    RETURN_IF_USAGE_ERROR(parse_report_format("--to", given(to_),
                                              command.output, command.format));
    command.compress = is_set(compress_);
    RETURN_IF_USAGE_ERROR(
        check_compress(command.compress, command.format, command.output));
    RETURN_IF_USAGE_ERROR(limits_.apply(command.limits));
    return Options{std::move(command)};
  }

 private:
  const std::string* input_ = nullptr;
  const std::string* output_ = nullptr;
  CLI::Option* to_ = nullptr;
  CLI::Option* compress_ = nullptr;
  LimitOptions limits_;
};

class SplitOptions final : public CommandOptions {
 public:
  void declare(OptionTable& t) override {
    input_ = &t.positional("IN", "Report to split (either form)");
    output_ = t.value("-o,--output",
                      "Shard files' prefix: writes PREFIX-0.zpk, "
                      "PREFIX-1.zpk, ... (may name a folder)",
                      "PREFIX")
                  ->required();
    shards_ = t.value("--shards",
                      "Number of shards, of about equal sample counts "
                      "(1..65536; fewer when the report has fewer tiles)",
                      "N")
                  ->required();
    compress_ = t.flag("--compress", kCompressHelp);
    limits_.declare(t);
  }

  std::variant<Options, UsageError> build() const override {
    SplitCommand command;
    command.input = *input_;
    RETURN_IF_USAGE_ERROR(take_output(output_, command.prefix));
    if (!command.prefix.has_filename()) {
      return UsageError{"--output: " + in_quotes(command.prefix.string()) +
                        " names a folder; give the shards' name prefix too, "
                        "as in " +
                        in_quotes((command.prefix / "report").string())};
    }
    RETURN_IF_USAGE_ERROR(parse_number("--shards", *given(shards_),
                                       command.shards, 1, kMaxShards));
    command.compress = is_set(compress_);
    RETURN_IF_USAGE_ERROR(limits_.apply(command.limits));
    return Options{std::move(command)};
  }

 private:
  const std::string* input_ = nullptr;
  CLI::Option* output_ = nullptr;
  CLI::Option* shards_ = nullptr;
  CLI::Option* compress_ = nullptr;
  LimitOptions limits_;
};

class TraceOptions final : public CommandOptions {
 public:
  void declare(OptionTable& t) override {
    reports_ = &t.positionals(
        "REPORT", "Profile report (.json or .zpk), or the shards of one");
    selection_.declare(t, kFilters);
    output_ = t.value("-o,--output", "Trace file to write (.json)", "FILE")
                  ->required();
    name_by_ =
        t.value("--name-by",
                "Name slices by kernel (default), operation or kind", "BY");
    args_ = t.value("--args",
                    "What each slice carries: full (default: every field, "
                    "for Perfetto's pivots), minimal (kernel, operation and "
                    "kind: one speedscope frame per name, where per-sample "
                    "values would make every sample a frame of its own) or "
                    "none",
                    "ARGS");
    minimal_args_ = t.flag("--minimal-args", "The same as --args none");
  }

  std::variant<Options, UsageError> build() const override {
    TraceCommand command;
    command.reports.assign(reports_->begin(), reports_->end());
    RETURN_IF_USAGE_ERROR(selection_.apply(command.selection));
    RETURN_IF_USAGE_ERROR(take_output(output_, command.output));
    enum class TraceFile : std::uint8_t { Json = 0 };
    TraceFile file = TraceFile::Json;
    RETURN_IF_USAGE_ERROR(choose_format(
        command.output,
        Extensions<TraceFile>{
            "trace", {{".json", TraceFile::Json}}, TraceFile::Json},
        std::optional<TraceFile>(TraceFile::Json), file));
    if (const std::string* text = given(name_by_)) {
      RETURN_IF_USAGE_ERROR(
          parse_choice<TraceName>("--name-by", *text,
                                  {{"kernel", TraceName::Kernel},
                                   {"operation", TraceName::Operation},
                                   {"kind", TraceName::Kind}},
                                  command.name_by));
    }
    if (const std::string* text = given(args_)) {
      if (is_set(minimal_args_)) {
        return UsageError{"--args and --minimal-args cannot be given together"};
      }
      RETURN_IF_USAGE_ERROR(
          parse_choice<TraceArgs>("--args", *text,
                                  {{"full", TraceArgs::Full},
                                   {"minimal", TraceArgs::Minimal},
                                   {"none", TraceArgs::None}},
                                  command.args));
    }
    if (is_set(minimal_args_)) command.args = TraceArgs::None;
    return Options{std::move(command)};
  }

 private:
  const std::vector<std::string>* reports_ = nullptr;
  SelectionOptions selection_;
  CLI::Option* output_ = nullptr;
  CLI::Option* name_by_ = nullptr;
  CLI::Option* args_ = nullptr;
  CLI::Option* minimal_args_ = nullptr;
};

class DiffCommandOptions final : public CommandOptions {
 public:
  void declare(OptionTable& t) override {
    reports_ = &t.positionals(
        "REPORT",
        "The earlier report, then the one compared with it; either may be "
        "the shards of a split profile, given one after the other");
    selection_.declare(t, kGrouping | kThreads);
    printing_.declare(t);
    sort_by_ = t.value("--sort-by",
                       "Order rows by the phase cycles' absolute change "
                       "(default) or relative change: absolute or relative",
                       "S");
    only_ = t.value("--only",
                    "Show only the groups whose phase cycles grew "
                    "(regressions) or shrank (improvements)",
                    "WHICH");
    fail_above_ = t.value("--fail-above",
                          "Exit 3 when the span or a group's phase cycles "
                          "grew by more than PCT percent",
                          "PCT");
  }

  std::variant<Options, UsageError> build() const override {
    DiffCommand command;
    if (reports_->size() < 2) {
      return UsageError{"BASE NEW: expected two reports to compare, found " +
                        std::to_string(reports_->size())};
    }
    command.reports.assign(reports_->begin(), reports_->end());
    RETURN_IF_USAGE_ERROR(selection_.apply(command.selection));
    RETURN_IF_USAGE_ERROR(printing_.apply(command.printing));
    // The limit cuts the joined rows, not each side's groups.
    command.diff.limit = command.selection.query.limit;
    command.selection.query.limit.reset();
    if (const std::string* text = given(sort_by_)) {
      RETURN_IF_USAGE_ERROR(
          parse_choice<DiffOrder>("--sort-by", *text,
                                  {{"absolute", DiffOrder::AbsoluteChange},
                                   {"relative", DiffOrder::RelativeChange}},
                                  command.diff.order));
    }
    if (const std::string* text = given(only_)) {
      RETURN_IF_USAGE_ERROR(
          parse_choice<DiffShow>("--only", *text,
                                 {{"regressions", DiffShow::Regressions},
                                  {"improvements", DiffShow::Improvements}},
                                 command.diff.show));
    }
    if (const std::string* text = given(fail_above_)) {
      const std::optional<Percentage> value = parse_percentage(*text);
      if (!value) {
        return bad_value("--fail-above", *text,
                         "a percentage such as 10 or 2.5 (at most 6 "
                         "decimals)");
      }
      command.diff.fail_above = *value;
    }
    return Options{std::move(command)};
  }

 private:
  const std::vector<std::string>* reports_ = nullptr;
  SelectionOptions selection_;
  PrintingOptions printing_;
  CLI::Option* sort_by_ = nullptr;
  CLI::Option* only_ = nullptr;
  CLI::Option* fail_above_ = nullptr;
};

class ExportOptions final : public CommandOptions {
 public:
  void declare(OptionTable& t) override {
    reports_ = &t.positionals(
        "REPORT", "Profile report (.json or .zpk), or the shards of one");
    selection_.declare(t, kFilters);
    output_ = t.value("-o,--output", "File to write (.csv or .jsonl)", "FILE")
                  ->required();
    format_ = t.value("--format",
                      "csv (RFC 4180: header row, CRLF line ends) or jsonl "
                      "(one JSON object per line); default: by the file's "
                      "extension (.csv, .jsonl, .ndjson), csv without one",
                      "F");
  }

  std::variant<Options, UsageError> build() const override {
    ExportCommand command;
    command.reports.assign(reports_->begin(), reports_->end());
    RETURN_IF_USAGE_ERROR(selection_.apply(command.selection));
    RETURN_IF_USAGE_ERROR(take_output(output_, command.output));
    std::optional<ExportFormat> asked;
    if (const std::string* text = given(format_)) {
      ExportFormat value = ExportFormat::Csv;
      RETURN_IF_USAGE_ERROR(parse_choice<ExportFormat>(
          "--format", *text,
          {{"csv", ExportFormat::Csv}, {"jsonl", ExportFormat::Jsonl}}, value));
      asked = value;
    }
    RETURN_IF_USAGE_ERROR(choose_format(
        command.output,
        Extensions<ExportFormat>{"export",
                                 {{".csv", ExportFormat::Csv},
                                  {".jsonl", ExportFormat::Jsonl},
                                  {".ndjson", ExportFormat::Jsonl}},
                                 ExportFormat::Csv},
        asked, command.format));
    return Options{std::move(command)};
  }

 private:
  const std::vector<std::string>* reports_ = nullptr;
  SelectionOptions selection_;
  CLI::Option* output_ = nullptr;
  CLI::Option* format_ = nullptr;
};

class ReportOptions final : public CommandOptions {
 public:
  void declare(OptionTable& t) override {
    reports_ = &t.positionals(
        "REPORT",
        "Profile report (.json or .zpk); with two, BASE then NEW, the page "
        "compares them; each may be the shards of a split profile");
    selection_.declare(t, kGrouping | kSorting | kThreads);
    output_ = t.value("-o,--output", "Page to write (.html or .htm)", "FILE")
                  ->required();
    timings_ = t.flag("--timings",
                      "Print load, query and picture times, the threads "
                      "used and peak memory to stderr");
  }

  std::variant<Options, UsageError> build() const override {
    ReportCommand command;
    command.reports.assign(reports_->begin(), reports_->end());
    RETURN_IF_USAGE_ERROR(selection_.apply(command.selection));
    RETURN_IF_USAGE_ERROR(take_output(output_, command.output));
    // A page has one format, so any other extension is a mistake in the
    // name (a .png screenshot, a .json data file) rather than a request.
    std::string extension = command.output.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (!extension.empty() && extension != ".html" && extension != ".htm") {
      return UsageError{"report cannot write a " + extension + " file (" +
                        in_quotes(command.output.string()) +
                        "): it writes .html or .htm"};
    }
    std::optional<std::size_t>& limit = command.selection.query.limit;
    if (limit && (*limit == 0 || *limit > kMaxPageGroups)) {
      return bad_value("--limit", *given(selection_.limit),
                       "an integer in 1.." + std::to_string(kMaxPageGroups) +
                           " (the groups a page holds)");
    }
    if (!limit) limit = kDefaultPageGroups;
    command.sort_given = is_set(selection_.sort_by);
    command.timings = is_set(timings_);
    return Options{std::move(command)};
  }

 private:
  const std::vector<std::string>* reports_ = nullptr;
  SelectionOptions selection_;
  CLI::Option* output_ = nullptr;
  CLI::Option* timings_ = nullptr;
};

// The subcommands, in the order --help lists them.
struct CommandRow {
  std::string_view name;
  std::string_view summary;
  std::string_view footer;  // examples, and what the numbers mean
  std::unique_ptr<CommandOptions> (*make)();
};

template <typename T>
std::unique_ptr<CommandOptions> make_options() {
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

const CommandRow kCommands[] = {
    {"query", "Group the samples of a report and print the summaries",
     kQueryFooter, make_options<QueryOptions>},
    {"diff", "Compare the groups of two reports under the same query",
     kDiffFooter, make_options<DiffCommandOptions>},
    {"trace", "Write the matching samples as a timeline (Trace Event JSON)",
     "Example:\n"
     "  zyl-profile trace examples/small.json -o trace.json --tile 0-3",
     make_options<TraceOptions>},
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
     make_options<ExportOptions>},
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
     "  the top groups       phase and work cycles of the query's groups\n"
     "                       (--group-by, --sort-by, --limit: 25 by default,\n"
     "                       at most 500) as bars, then every measure as a\n"
     "                       table, as query --format json gives them\n"
     "  the totals and the command line that made the page.\n"
     "With two reports (BASE NEW): both maps side by side on one colour\n"
     "scale, and each group's change in phase cycles as a diverging bar\n"
     "chart with the comparison's table (as diff gives it).\n"
     "The page's size follows the bins and groups, not the samples: about\n"
     "1 MB at most.\n\n"
     "Examples:\n"
     "  zyl-profile report examples/small.json -o small.html\n"
     "  zyl-profile report run.zpk --group-by phase --from 10% -o run.html\n"
     "  zyl-profile report base.zpk new.zpk --kind compute -o diff.html",
     make_options<ReportOptions>},
    {"generate", "Write a synthetic report",
     "Example:\n"
     "  zyl-profile generate -o report.zpk --tiles 64 --samples-per-tile 100",
     make_options<GenerateOptions>},
    {"convert", "Rewrite a report as JSON or as a binary package",
     "Examples:\n  zyl-profile convert report.json report.zpk\n"
     "  zyl-profile convert report.zpk archive.zpk --compress",
     make_options<ConvertOptions>},
    {"split", "Write a report as packages of contiguous ranges of tiles",
     "The shards hold about equal sample counts; their tiles, in file order,\n"
     "are the report's. The index is padded (-00 .. -11 for 12 shards) so the\n"
     "names sort in order.\n\n"
     "Example:\n"
     "  zyl-profile split report.zpk -o shards/report --shards 12",
     make_options<SplitOptions>},
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

// Finds the first "--name" of `args` that `table` does not declare, before
// CLI11 does, so the message can suggest the option meant.
std::optional<UsageError> check_option_names(
    const std::vector<std::string>& args, const OptionTable& table) {
  const std::vector<std::string> names = table.long_names();
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") break;
    if (!arg.starts_with("--") || arg.size() == 2) continue;
    const std::string name = arg.substr(0, arg.find('='));
    if (std::find(names.begin(), names.end(), name) != names.end()) continue;
    return UsageError{"unknown option " + in_quotes(name) + " for " +
                      args.front() + did_you_mean(name, names)};
  }
  return std::nullopt;
}

std::string first_line(std::string_view text) {
  return std::string(text.substr(0, text.find('\n')));
}

}  // namespace

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
  std::string footer = "Examples:\n";
  footer +=
      "  zyl-profile query examples/small.json --limit 10\n"
      "  zyl-profile query examples/small.json --tile 3 --at-offset 50% "
      "--sample-limit 5\n"
      "  zyl-profile generate -o report.zpk --tiles 64 --samples-per-tile "
      "100\n"
      "Run 'zyl-profile COMMAND --help' for a command's options.";
  app.footer(footer);

  struct Declared {
    CLI::App* app;
    std::unique_ptr<OptionTable> table;
    std::unique_ptr<CommandOptions> options;
  };
  std::vector<Declared> declared;
  std::vector<std::string> names;
  for (const CommandRow& row : kCommands) {
    CLI::App* sub =
        app.add_subcommand(std::string(row.name), std::string(row.summary));
    sub->footer(std::string(row.footer));
    Declared entry{sub, std::make_unique<OptionTable>(sub), row.make()};
    entry.options->declare(*entry.table);
    declared.push_back(std::move(entry));
    names.emplace_back(row.name);
  }

  if (!args.empty() && !args.front().starts_with('-')) {
    const auto known = std::find(names.begin(), names.end(), args.front());
    if (known == names.end()) {
      std::string list;
      for (const std::string& name : names) {
        list += list.empty() ? "" : ", ";
        list += name;
      }
      return UsageError{"unknown command " + in_quotes(args.front()) +
                        did_you_mean(args.front(), names) +
                        "; the commands: " + list};
    }
    const bool wants_help =
        std::find_if(args.begin(), args.end(), [](const std::string& arg) {
          return arg == "--help" || arg == "-h";
        }) != args.end();
    if (!wants_help) {
      RETURN_IF_USAGE_ERROR(check_option_names(
          args,
          *declared[static_cast<std::size_t>(known - names.begin())].table));
    }
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

  for (const Declared& entry : declared) {
    if (!entry.app->parsed()) continue;
    RETURN_IF_USAGE_ERROR(entry.table->check_repeats());
    std::variant<Options, UsageError> built = entry.options->build();
    // A page shows the command line that made it, as typed.
    if (auto* options = std::get_if<Options>(&built)) {
      if (auto* report = std::get_if<ReportCommand>(options)) {
        report->arguments = args;
      }
    }
    return built;
  }
  return UsageError{"no command given"};  // require_subcommand prevents it
}

std::string_view group_by_name(GroupBy group_by) {
  for (const auto& [name, value] : kGroupByNames) {
    if (value == group_by) return name;
  }
  return "kernel";
}

}  // namespace zyl_profile::cli
