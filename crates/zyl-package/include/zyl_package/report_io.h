// Reading and writing whole profile reports: the JSON form and, by file
// name or magic bytes, the binary package.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "zyl_package/load_result.h"
#include "zyl_package/profile_report.h"

namespace zyl_package {

// The stored forms of a report.
enum class ReportFormat : std::uint8_t { Json = 0, Package = 1 };

// Reads a report from a file; the form (JSON or binary package) is chosen by
// the first bytes. Never throws; an unreadable, oversized or malformed file
// gives a LoadError naming `path` as given.
[[nodiscard]] LoadResult read_report(const std::filesystem::path& path,
                                     const ReadLimits& limits = {});

// Parses a whole report from bytes in memory (JSON text, or package bytes by
// their magic). `file_name` only labels errors. Never throws.
[[nodiscard]] LoadResult parse_report(std::string_view bytes,
                                      std::string_view file_name = {},
                                      const ReadLimits& limits = {});

// Streams the JSON form to `out`: `format` and `version` first, then every
// field, with no document tree in memory. Stream failures show in `out`'s
// state.
void write_report_json(const ProfileReport& report, std::ostream& out);

// Returns the form a file name asks for: ".zpk" gives Package, anything else
// Json.
[[nodiscard]] ReportFormat report_format_for(const std::filesystem::path& path);

// Writes `report` to `path` in `format` atomically (temporary file in the same
// folder, fsync, rename). Returns nothing on success; on failure returns the
// error message and leaves no partial file and any earlier file untouched.
[[nodiscard]] std::optional<std::string> write_report(
    const ProfileReport& report, const std::filesystem::path& path,
    ReportFormat format);

}  // namespace zyl_package
