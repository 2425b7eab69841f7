// The binary profile package (.zpk): the columnar form of a report, stored so
// that a reader maps it and uses it in place (version 2) or decodes it
// (version 1, or compressed sections). docs/package-format.md gives the byte
// layout.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "zyl_package/load_result.h"
#include "zyl_package/profile_columns.h"
#include "zyl_package/profile_report.h"

namespace zyl_package {

// The first eight bytes of every package. The leading 0x89 can never start
// JSON text (it is not even valid UTF-8 there), and the CR LF / ^Z LF tail
// shows up damage done by text-mode transfers.
inline constexpr std::array<unsigned char, 8> kPackageMagic = {
    0x89, 'Z', 'P', 'K', 0x0D, 0x0A, 0x1A, 0x0A};
// The version written by default; readers take versions 1 and 2.
inline constexpr std::uint32_t kPackageVersion = 2;

// How a package is written. The default, raw version 2, is the one a reader
// maps without decoding anything: the fastest first answer, at about 30
// bytes per sample on disk.
struct PackageWriteOptions {
  bool compress = false;      // zstd per section, kept only where smaller
  int compression_level = 3;  // zstd level; 3 balances speed and size
  std::uint32_t version = kPackageVersion;  // 1 (8-byte alignment, XXH64)
                                            // for older readers, or 2
  // Marks the package as one shard of a larger profile (version 2 only;
  // index below count): readers then give it back in ProfileColumns::shard.
  std::optional<ShardIdentity> shard;

  bool operator==(const PackageWriteOptions&) const = default;
};

// Returns the fingerprint of a profile's content that its shards carry
// (ShardIdentity::profile): XXH3-128 over the clock, the tiles and every
// column and dictionary, so two different profiles (or two runs of one
// program) differ and the same profile always gives the same one. It covers
// the ids as stored: every reader of this library and to_columns number
// strings and lists in order of first use, so a profile gives the same
// fingerprint read from JSON or from a package; a package whose writer
// numbered them otherwise gives another. The shard identity of `columns`
// plays no part. One pass over the columns, in the canonical (big-endian)
// byte order of xxHash's 128-bit digests.
[[nodiscard]] std::array<std::uint8_t, 16> profile_fingerprint(
    const ProfileColumns& columns);

// Returns the shard identity of the report file at `path`, reading only the
// header (640 bytes) and the identity block (the last 64): nothing for a
// JSON report (any file whose first byte is not the magic's), a package that
// holds a whole profile, or a pipe or device, which is never opened here
// (it cannot be read twice, and a named pipe's writer would be met and left;
// the read of its columns sets their `shard`), or the error that stops the
// read, naming `path` as given and, for a damaged package, the byte offset
// (a missing file, a damaged header or identity block, a size that does not
// match the directory). The sections are neither read nor checked. Cheap enough
// to call on every file of a set before any is loaded.
[[nodiscard]] Loaded<std::optional<ShardIdentity>> read_shard_identity(
    const std::filesystem::path& path);

// Returns true when `bytes` should be read as a package rather than JSON: its
// first byte is the magic's first byte. The rest of the magic is checked by
// parse_report_package, so a damaged magic gets a package error, not a JSON
// one.
[[nodiscard]] bool looks_like_report_package(std::string_view bytes);

// Encodes `columns` as a package into `out` (replacing its contents).
// Returns nothing on success, or why they cannot be stored (an error with
// no file): columns that check_columns rejects, more than 2^32 distinct
// strings or metadata lists, a version other than 1 and 2, or a shard
// identity in version 1 or with an index not below its count.
// `options.shard` alone decides the identity written; `columns.shard` is
// ignored, so rewriting a shard keeps its identity only when passed on.
[[nodiscard]] Written encode_columns_package(
    const ProfileColumns& columns, std::string& out,
    const PackageWriteOptions& options = {});

// Encodes `report` as a package into `out`, through to_columns(report);
// returns as encode_columns_package does.
[[nodiscard]] Written encode_report_package(
    const ProfileReport& report, std::string& out,
    const PackageWriteOptions& options = {});

// Parses a whole package (version 1 or 2) in `bytes` into records, as
// to_report of its columns. Every malformed input gives a LoadError
// naming `file_name`, the byte offset and, for a bad value inside a sample,
// its path ("tiles[3].samples[17].step.kernel"). Nothing is allocated in
// proportion to a count before the bytes that back it have been checked;
// decoded data and records larger than `limits.max_file_bytes` are refused.
// Never throws.
[[nodiscard]] LoadResult parse_report_package(std::string_view bytes,
                                              std::string_view file_name = {},
                                              const ReadLimits& limits = {});

}  // namespace zyl_package
