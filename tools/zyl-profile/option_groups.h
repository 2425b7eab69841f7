// The option groups several commands share: the Selection of every command
// that reads samples (filters, window, grouping, threads, reader limits),
// how query and diff print, and the file a command writes, whose name
// decides its format. Each option is declared once, here, bound to its
// field, with its help beside it.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "option_values.h"
#include "options.h"
#include "zyl_package/quote.h"

namespace zyl_profile::cli {

// The parts of a Selection a command offers besides the filters, the
// window, --concatenate and the read limits, which every command that reads
// samples takes.
enum SelectionParts : unsigned {
  kFilters = 0,
  kGrouping = 1,    // --group-by, --metadata-key, --limit
  kSorting = 2,     // --sort-by
  kSampleList = 4,  // --sample-limit
  kThreads = 8,     // --threads
};

// The options of a selection a command looks at again after the parse;
// null when the command does not offer them.
struct SelectionOptions {
  CLI::Option* sort_by = nullptr;
  CLI::Option* limit = nullptr;
};

// Declares on `app` the options that fill `selection`: the `parts` offered
// and the reader limits.
SelectionOptions add_selection_options(CLI::App& app, Selection& selection,
                                       unsigned parts);

// Declares on `app` the reader limits of a command that reads a report.
void add_limit_options(CLI::App& app, zyl_package::ReadLimits& limits);

// Declares --format, --wide and --timings; check_printing then refuses
// what they cannot do together.
void add_printing_options(CLI::App& app, Printing& printing);
[[nodiscard]] Parsed<void> check_printing(const Printing& printing);

// Declares -o,--output, required and never empty.
CLI::Option* add_output_option(CLI::App& app, std::filesystem::path& output,
                               const std::string& help,
                               const std::string& type = "FILE");

// Declares --compress, which only a package can take (check_compress).
void add_compress_option(CLI::App& app, bool& compress);
[[nodiscard]] Parsed<void> check_compress(bool compress,
                                          zyl_package::ReportFormat format,
                                          const std::filesystem::path& output);

// The names the report formats go by: as a --format or --to value (json,
// zpk) and as an extension (.json, .zpk).
inline constexpr NameTable<zyl_package::ReportFormat, 2> kReportFormatNames{
    {{"json", zyl_package::ReportFormat::Json},
     {"zpk", zyl_package::ReportFormat::Package}}};

// The extension of `path` in lower case, with its dot ("" for none).
[[nodiscard]] std::string lower_extension(const std::filesystem::path& path);

// The formats a command writes, by the extensions that name them.
template <typename Format>
struct Extensions {
  std::string_view what;  // "export", for messages
  std::vector<std::pair<std::string_view, Format>> known;
  Format no_extension;  // the format of a name without an extension
};

// Extensions of formats no command writes: a name ending so promises
// something else, whatever --format says.
[[nodiscard]] bool is_foreign_extension(std::string_view extension);

// Returns the format a command writes `path` in: the one asked for, else
// the one its extension names. An extension that names another format (a
// .parquet export, a compressed .gz trace) is refused whatever was asked,
// rather than writing something the name does not promise.
template <typename Format>
[[nodiscard]] Parsed<Format> choose_format(const std::filesystem::path& path,
                                           const Extensions<Format>& extensions,
                                           const std::optional<Format>& asked) {
  const std::string extension = lower_extension(path);
  std::string names;
  for (const auto& [name, format] : extensions.known) {
    names += names.empty() ? "" : " or ";
    names += name;
    if (name != extension) continue;
    if (asked && *asked != format) {
      return UsageError{"--format does not match the output name " +
                        zyl_package::quoted_text(path.string(), '\'') +
                        "; leave --format out or change the name"};
    }
    return format;
  }
  if (extension.empty()) return asked.value_or(extensions.no_extension);
  const bool foreign = is_foreign_extension(extension);
  if (foreign || !asked) {
    return UsageError{
        std::string(extensions.what) + " cannot write a " + extension +
        " file (" + zyl_package::quoted_text(path.string(), '\'') +
        "): it writes " + names + (foreign ? "" : ", or give --format")};
  }
  return *asked;
}

// The format a report is written in, by --format or --to and the name.
[[nodiscard]] Parsed<zyl_package::ReportFormat> choose_report_format(
    const std::filesystem::path& path,
    const std::optional<zyl_package::ReportFormat>& asked);

}  // namespace zyl_profile::cli
