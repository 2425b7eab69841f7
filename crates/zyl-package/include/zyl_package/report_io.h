// Reading and writing whole profile reports: the JSON form and, by file
// name or magic bytes, the binary package.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "zyl_package/atomic_file.h"  // StagedFiles
#include "zyl_package/load_result.h"
#include "zyl_package/profile_columns.h"
#include "zyl_package/profile_report.h"
#include "zyl_package/report_package.h"

namespace zyl_package {

// The stored forms of a report.
enum class ReportFormat : std::uint8_t { Json = 0, Package = 1 };

// Reads a report from a file; the form (JSON or binary package) is chosen by
// the first bytes. The file is read as columns (see read_columns) and turned
// into records, which take several times their room. Never throws; an
// unreadable, oversized or malformed file gives a LoadError naming `path` as
// given.
[[nodiscard]] LoadResult read_report(const std::filesystem::path& path,
                                     const ReadLimits& limits = {});

// Parses a whole report from bytes in memory (JSON text, or package bytes by
// their magic). `file_name` only labels errors. Never throws.
[[nodiscard]] LoadResult parse_report(std::string_view bytes,
                                      std::string_view file_name = {},
                                      const ReadLimits& limits = {});

// Reads a report file as columns; the form is chosen by the first bytes. A
// package is mapped: raw sections are used in place (the columns keep the
// mapping alive through `storage`), compressed ones are decoded into owned
// buffers, and everything is checked (checksums, then check_columns) before
// the columns are returned. A JSON file is read as a stream, in chunks, on
// every core, so it never needs more memory than its columns (plus a few
// megabytes); `progress`, when given, follows the bytes read. A report whose
// columns would not fit `limits.max_memory_bytes` (by default the memory
// available) is refused. Never throws; errors name `path` as given and the
// byte offset or sample.
[[nodiscard]] ColumnsResult read_columns(const std::filesystem::path& path,
                                         const ReadLimits& limits = {},
                                         ReadProgress* progress = nullptr);

// Parses columns from bytes in memory (JSON text, or package bytes by their
// magic). The bytes are copied where the columns need them, so `bytes` need
// not outlive the call. `file_name` only labels errors. Never throws.
[[nodiscard]] ColumnsResult parse_columns(std::string_view bytes,
                                          std::string_view file_name = {},
                                          const ReadLimits& limits = {});

// Streams the JSON form to `out`: `format` and `version` first, then every
// field, with no document tree in memory. Returns an error (with no file)
// when `out` ends in a failed state; its state says the same.
[[nodiscard]] Written write_report_json(const ProfileReport& report,
                                        std::ostream& out);

// Returns the form a file name asks for: ".zpk" gives Package, anything else
// Json.
[[nodiscard]] ReportFormat report_format_for(const std::filesystem::path& path);

// Writes `report` to `path` in `format` atomically (temporary file in the same
// folder, fsync, rename). Returns nothing on success; on failure returns the
// error, naming `path`, and leaves no partial file and any earlier file
// untouched.
[[nodiscard]] Written write_report(const ProfileReport& report,
                                   const std::filesystem::path& path,
                                   ReportFormat format);

// Writes `columns` to `path` in `format` atomically, as write_report does.
// Both forms stream from the columns straight to the file, with no copy of
// the whole file and no records in memory. Returns nothing on success, or
// the error naming `path` (also for columns that check_columns rejects).
// `progress`, when given, follows the write: JSON counts samples against
// the sample count; a package counts the decoded bytes of its sections,
// twice when compressing (the compression, which precedes the write, counts
// them once). After a successful write `done` equals `total`. Given
// `staged`, the file is left complete under its temporary name for
// staged->commit() to put in place with the rest of its set.
[[nodiscard]] Written write_columns(const ProfileColumns& columns,
                                    const std::filesystem::path& path,
                                    ReportFormat format,
                                    const PackageWriteOptions& options = {},
                                    ReadProgress* progress = nullptr,
                                    StagedFiles* staged = nullptr);

// Streams the JSON form of `columns` to `out`: the bytes write_report_json
// gives for to_report(columns), without building the records. `columns`
// must be valid (check_columns). Returns as write_report_json does.
// `progress`, when given, counts the samples written against the sample
// count.
[[nodiscard]] Written write_columns_json(const ProfileColumns& columns,
                                         std::ostream& out,
                                         ReadProgress* progress = nullptr);

}  // namespace zyl_package
