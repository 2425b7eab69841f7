// The binary profile package (.zpk): a compact columnar form of a report that
// loads many times faster than the JSON form. docs/package-format.md gives
// the byte layout.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "zyl_package/load_result.h"
#include "zyl_package/profile_report.h"

namespace zyl_package {

// The first eight bytes of every package. The leading 0x89 can never start
// JSON text (it is not even valid UTF-8 there), and the CR LF / ^Z LF tail
// shows up damage done by text-mode transfers.
inline constexpr std::array<unsigned char, 8> kPackageMagic = {
    0x89, 'Z', 'P', 'K', 0x0D, 0x0A, 0x1A, 0x0A};
inline constexpr std::uint32_t kPackageVersion = 1;

// How a package is written.
struct PackageWriteOptions {
  bool compress = true;       // zstd per section, kept only where smaller
  int compression_level = 3;  // zstd level; 3 balances speed and size

  bool operator==(const PackageWriteOptions&) const = default;
};

// Returns true when `bytes` should be read as a package rather than JSON: its
// first byte is the magic's first byte. The rest of the magic is checked by
// parse_report_package, so a damaged magic gets a package error, not a JSON
// one.
[[nodiscard]] bool looks_like_report_package(std::string_view bytes);

// Encodes `report` as a package into `out` (replacing its contents). Returns
// nothing on success, or why the report cannot be stored (more than 2^32
// distinct strings or metadata lists).
[[nodiscard]] std::optional<std::string> encode_report_package(
    const ProfileReport& report, std::string& out,
    const PackageWriteOptions& options = {});

// Parses a whole package in `bytes`. Every malformed input gives a LoadError
// naming `file_name`, the byte offset and, for a bad value inside a sample,
// its path ("tiles[3].samples[17].step.kernel"). Nothing is allocated in
// proportion to a count before the bytes that back it have been checked;
// decoded data and records larger than `limits.max_file_bytes` are refused.
// Never throws.
[[nodiscard]] LoadResult parse_report_package(std::string_view bytes,
                                              std::string_view file_name = {},
                                              const ReadLimits& limits = {});

}  // namespace zyl_package
