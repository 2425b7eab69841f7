// Byte-level helpers for the package tests: where the directory and the
// sections are, reading and writing little-endian fields, and resealing the
// checksums after a deliberate edit. Test-only.
#pragma once

#include <gtest/gtest.h>
#include <xxhash.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "zyl_package/profile_columns.h"
#include "zyl_package/profile_report.h"
#include "zyl_package/report_package.h"

namespace zyl_package::testing {

// Section positions in the directory, as docs/package-format.md lists them.
enum Section : std::size_t {
  kStringOffsets = 0,
  kStringBytes = 1,
  kTiles = 2,
  kStartCycle = 3,
  kKind = 8,
  kKernel = 9,
  kOperation = 10,
  kMetadata = 11,
  kListOffsets = 12,
  kListEntries = 13,
  kSections = 14,
};
constexpr std::size_t kDirectory = 72;
constexpr std::size_t kHeaderChecksum = kDirectory + 40 * kSections;

inline CycleSample make_sample(
    std::uint32_t start, std::uint32_t end, std::string kernel,
    std::string operation, std::vector<ProfileMetadata> metadata = {},
    ProfileStepKind kind = ProfileStepKind::Compute) {
  CycleSample sample;
  sample.start_cycle = start;
  sample.end_cycle = end;
  sample.step.local_index = 7;
  sample.step.phase = 3;
  sample.step.epoch = 1;
  sample.step.kernel = std::move(kernel);
  sample.step.operation = std::move(operation);
  sample.step.metadata = std::move(metadata);
  sample.step.kind = kind;
  return sample;
}

// Empty tiles and strings, non-ASCII text, repeated metadata names, shared
// lists and a counter that wraps.
inline ProfileReport awkward_report() {
  ProfileReport report;
  report.clock_hz = UINT64_MAX;
  report.tiles.push_back(TileProfile{5, {}});
  report.tiles.push_back(TileProfile{
      1,
      {make_sample(4294967290U, 10, "matmul", "fwd", {{"block", "1"}}),
       make_sample(10, 10, "", "", {{"", ""}}, ProfileStepKind::Idle),
       make_sample(11, 40, "σ-kernel ✓", "层/注意力",
                   {{"block", "1"}, {"layer", "é"}, {"block", "2"}},
                   ProfileStepKind::Synchronization)}});
  report.tiles.push_back(TileProfile{1, {}});
  report.tiles.push_back(
      TileProfile{0,
                  {make_sample(0, 4294967295U, "matmul", "fwd",
                               {{"block", "1"}}, ProfileStepKind::Exchange),
                   make_sample(7, 8, std::string(300, 'a'), "fwd")}});
  report.tiles.push_back(TileProfile{9, {}});
  return report;
}

inline std::string encode(const ProfileReport& report, bool compress = false,
                          std::uint32_t version = 2) {
  std::string bytes;
  PackageWriteOptions options;
  options.compress = compress;
  options.version = version;
  EXPECT_TRUE(encode_report_package(report, bytes, options).ok());
  return bytes;
}

// An identity whose every byte differs from its neighbours', so a field
// read from the wrong place shows.
inline ShardIdentity sample_identity(std::uint32_t index = 2,
                                     std::uint32_t count = 5) {
  ShardIdentity shard;
  for (std::size_t i = 0; i < shard.profile.size(); ++i) {
    shard.profile[i] = static_cast<std::uint8_t>(0xA0 + i);
  }
  shard.index = index;
  shard.count = count;
  return shard;
}

inline std::string encode_shard(const ProfileReport& report,
                                const ShardIdentity& shard,
                                bool compress = false) {
  std::string bytes;
  PackageWriteOptions options;
  options.compress = compress;
  options.shard = shard;
  EXPECT_TRUE(encode_report_package(report, bytes, options).ok());
  return bytes;
}

inline std::uint64_t get64(const std::string& bytes, std::size_t at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) {
    value = value << 8U | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

inline void set_le(std::string& bytes, std::size_t at, std::uint64_t value,
                   int width) {
  for (int i = 0; i < width; ++i) {
    bytes[at + i] = static_cast<char>(value >> (8 * i));
  }
}

inline std::size_t section_offset(const std::string& bytes,
                                  std::size_t section) {
  return get64(bytes, kDirectory + 40 * section + 8);
}
inline std::size_t section_stored(const std::string& bytes,
                                  std::size_t section) {
  return get64(bytes, kDirectory + 40 * section + 16);
}

inline std::uint64_t hash(const std::string& bytes, const char* data,
                          std::size_t size) {
  return bytes[8] == 1 ? XXH64(data, size, 0) : XXH3_64bits(data, size);
}

// Recomputes the checksums (XXH64 in version 1, XXH3-64 in version 2) after
// a deliberate edit, so the reader gets past them to the check under test.
inline void reseal(std::string& bytes) {
  for (std::size_t i = 0; i < kSections; ++i) {
    set_le(bytes, kDirectory + 40 * i + 32,
           hash(bytes, bytes.data() + section_offset(bytes, i),
                section_stored(bytes, i)),
           8);
  }
  set_le(bytes, kHeaderChecksum, hash(bytes, bytes.data(), kHeaderChecksum), 8);
}

// Where a shard's identity block starts: the file's last 64 bytes.
inline std::size_t shard_block_offset(const std::string& bytes) {
  return bytes.size() - 64;
}

// Recomputes the identity block's checksum after a deliberate edit of it.
inline void reseal_shard_block(std::string& bytes) {
  const std::size_t at = shard_block_offset(bytes);
  set_le(bytes, at + 56, XXH3_64bits(bytes.data() + at, 56), 8);
}

// Three strings ("a", "bb", "σ"), two lists, and samples 0, 1, 2 on tiles 0
// (sample 0), 1 (empty) and 2 (samples 1 and 2).
inline ColumnBuffers small_buffers() {
  ColumnBuffers b;
  b.tiles = {{.physical_tile = 4, .first_sample = 0, .sample_count = 1},
             {.physical_tile = 5, .first_sample = 1, .sample_count = 0},
             {.physical_tile = 6, .first_sample = 1, .sample_count = 2}};
  b.start_cycle = {1, 2, 3};
  b.end_cycle = {2, 3, 4};
  b.local_index = {0, 1, 2};
  b.phase = {0, 0, 1};
  b.epoch = {0, 0, 0};
  b.kind = {0, 1, 3};
  b.kernel = {0, 1, 2};
  b.operation = {2, 2, 0};
  b.metadata = {0, 1, 1};
  b.string_bytes = "abbσ";
  b.string_offsets = {0, 1, 3, 5};
  b.list_offsets = {0, 0, 2};
  b.list_entries = {{0, 1}, {0, 2}};
  return b;
}

}  // namespace zyl_package::testing
