// The package reader and writer as the file functions use them: reading
// columns that view caller-kept bytes (a mapping or a shared buffer), and a
// write split into a plan (checks, compression, directory) and its output,
// so a large package streams to a file without a second copy in memory.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "column_checks.h"
#include "zyl_package/profile_columns.h"
#include "zyl_package/report_package.h"

namespace zyl_package::detail {

// One section per array of the columns, in ColumnArray order.
inline constexpr std::size_t kPackageSections = kColumnArrays;
// Header, directory and header checksum: 640 bytes in both versions, a
// multiple of either alignment, so the first section follows directly.
inline constexpr std::uint64_t kPackagePreambleBytes = 640;

// Header flag bit 0: the file is one shard of a larger profile and ends with
// the identity block, after the last section's padding. Keeping the block at
// the end leaves every section where an unflagged file has it.
inline constexpr std::uint32_t kShardFlag = 1;
inline constexpr std::uint64_t kShardBlockBytes = 64;
inline constexpr std::array<unsigned char, 8> kShardTag = {'Z', 'P', 'K', 'S',
                                                           'H', 'A', 'R', 'D'};
// Bytes of the block that its checksum covers; the checksum follows them.
inline constexpr std::uint64_t kShardChecksumAt = 56;

// Reads the package in `data[0, size)`, which must start on an 8-byte
// boundary and stay alive as long as `keep_alive` does; raw sections become
// views into it, compressed ones owned buffers. `for_records` adds the size
// of the records the caller will build to the memory the limit must allow.
[[nodiscard]] ColumnsResult read_package_columns(
    const char* data, std::size_t size, std::shared_ptr<const void> keep_alive,
    std::string_view file_name, const ReadLimits& limits, bool for_records);

// Reads only the preamble of a package and its identity block: `preamble`
// holds the file's first min(file_size, 640) bytes and `block` its last 64
// (null when the file is shorter than a preamble and a block). Checks what
// the full reader checks of the header, the directory's layout and the
// block, and returns the identity, nothing for a package without one, or
// the error naming `file_name` and the byte offset.
[[nodiscard]] Loaded<std::optional<ShardIdentity>> read_package_identity(
    const unsigned char* preamble, std::uint64_t file_size,
    const unsigned char* block, std::string_view file_name);

// One section as it will be written: a view of the columns when raw, an
// owned zstd frame when compressed.
struct PlannedSection {
  std::uint32_t encoding = 0;
  std::span<const unsigned char> stored;
  std::uint64_t size = 0;  // decoded
  std::vector<unsigned char> compressed;
};

// Everything a package write needs, computed before the first byte is
// written. Views the columns it was planned from.
struct PackagePlan {
  std::array<unsigned char, kPackagePreambleBytes> preamble{};
  std::array<PlannedSection, kPackageSections> sections;
  std::array<std::uint64_t, kPackageSections> offsets{};
  // The identity block of a shard, written as the file's last 64 bytes.
  std::optional<std::array<unsigned char, kShardBlockBytes>> shard_block;
  std::uint64_t total_bytes = 0;  // including the identity block
};

// Returns why `options` cannot be written (a version other than 1 and 2, a
// shard identity in version 1 or one whose index is not below its count),
// as an error naming no file: the caller knows which it was writing.
[[nodiscard]] Written check_write_options(const PackageWriteOptions& options);

// Checks `columns` and fills `plan`. Returns why they cannot be stored
// (invalid columns, more ids than 32 bits name, options that
// check_write_options refuses), as an error naming no file.
// `progress`, when given, follows the plan and the write_package after it
// in decoded section bytes: `total` is their sum, twice when compressing,
// and the compression counts the first half.
[[nodiscard]] Written plan_package(const ProfileColumns& columns,
                                   const PackageWriteOptions& options,
                                   PackagePlan& plan,
                                   ReadProgress* progress = nullptr);

// Writes the planned package to `out`; stream failures show in its state.
// `progress` is the one given to plan_package; the write counts each
// section's decoded bytes as the section goes out.
void write_package(const PackagePlan& plan, std::ostream& out,
                   ReadProgress* progress = nullptr);

}  // namespace zyl_package::detail
