// Tests of the binary package: exact round trips with the JSON form, and a
// clear error for every kind of damage, found where the documented layout
// says it is.
#include "zyl_package/report_package.h"

#include <gtest/gtest.h>
#include <unistd.h>  // getpid
#include <xxhash.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "package_bytes_test_support.h"
#include "zyl_package/generate.h"
#include "zyl_package/profile_columns.h"
#include "zyl_package/report_io.h"
#include "zyl_package/shards.h"

namespace zyl_package {
namespace {

using namespace testing;  // NOLINT: the byte helpers of the package tests

std::string load_error(const std::string& bytes,
                       const ReadLimits& limits = {}) {
  const LoadResult result = parse_report_package(bytes, "p.zpk", limits);
  if (result.ok()) return "(loaded)";
  return result.error().to_string();
}

// One damaged form of a valid package and the error text it must give.
struct Damage {
  const char* expected;
  std::function<void(std::string&)> damage;
};

// Applies each damage to `valid` (resealing the checksums after it when
// asked, so the reader gets past them) and checks the error it gives.
void expect_errors(const std::string& valid, const std::vector<Damage>& rows,
                   bool reseal_after = false) {
  for (const Damage& row : rows) {
    SCOPED_TRACE(row.expected);
    std::string bytes = valid;
    row.damage(bytes);
    if (reseal_after) reseal(bytes);
    EXPECT_NE(load_error(bytes).find(row.expected), std::string::npos)
        << load_error(bytes);
  }
}

TEST(ReportPackage, RoundTripsGeneratedAndAwkwardReports) {
  const std::vector<ProfileReport> reports = {
      generate_report(options_for_total(30000, 97)), ProfileReport{},
      awkward_report()};
  for (const ProfileReport& report : reports) {
    for (const std::uint32_t version : {1U, 2U}) {
      for (const bool compress : {true, false}) {
        const std::string bytes = encode(report, compress, version);
        const LoadResult loaded = parse_report_package(bytes);
        ASSERT_TRUE(loaded.ok()) << loaded.error().to_string();
        // Not EXPECT_EQ: a failure would print every sample.
        EXPECT_TRUE(loaded.value() == report);
        const ColumnsResult columns = parse_columns(bytes);
        ASSERT_TRUE(columns.ok()) << columns.error().to_string();
        EXPECT_TRUE(to_report(columns.value()) == report);
      }
    }
  }
}

TEST(ReportPackage, StoresEachStringAndMetadataListOnce) {
  const std::string bytes = encode(awkward_report(), false);
  // Strings: matmul, fwd, block, 1, "", σ-kernel ✓, 层/注意力, layer, é, 2,
  // and the long one.
  EXPECT_EQ(get64(bytes, 40), 11U);
  // Lists: [block=1], [""=""], the three-entry one, [].
  EXPECT_EQ(get64(bytes, 48), 4U);
  EXPECT_EQ(get64(bytes, 56), 5U);
}

TEST(ReportPackage, JsonToPackageToJsonIsIdentical) {
  const ProfileReport report = generate_report(options_for_total(5000, 33));
  std::ostringstream json;
  EXPECT_TRUE((write_report_json(report, json)).ok());
  const LoadResult from_json = parse_report(json.str(), "r.json");
  ASSERT_TRUE(from_json.ok()) << from_json.error().to_string();
  const std::string package = encode(from_json.value());
  // parse_report picks the package form by its magic bytes.
  const LoadResult from_package = parse_report(package, "r.zpk");
  ASSERT_TRUE(from_package.ok()) << from_package.error().to_string();
  EXPECT_TRUE(from_package.value() == from_json.value());
  std::ostringstream again;
  EXPECT_TRUE((write_report_json(from_package.value(), again)).ok());
  EXPECT_TRUE(again.str() == json.str());
}

TEST(ReportPackage, WriteAndReadReportHandleBothForms) {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("zyl_package_zpk_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const ProfileReport report = awkward_report();
  const auto path = folder / "report.zpk";
  ASSERT_EQ(report_format_for(path), ReportFormat::Package);
  const auto written = write_report(report, path, ReportFormat::Package);
  ASSERT_TRUE(written.ok()) << written.error().to_string();
  const LoadResult loaded = read_report(path);
  ASSERT_TRUE(loaded.ok()) << loaded.error().to_string();
  EXPECT_EQ(loaded.value(), report);
  std::filesystem::remove_all(folder);
}

TEST(ReportPackage, RejectsBadHeaders) {
  const std::string valid = encode(awkward_report());
  const std::vector<Damage> rows = {
      {"p.zpk:byte 0: not a profile package: bad magic bytes",
       [](std::string& b) { b[1] = 'X'; }},
      {"bad magic bytes", [](std::string& b) { b.clear(); }},
      {"truncated header: the file has 5 bytes",
       [](std::string& b) { b.resize(5); }},
      {"byte 8: unknown package version 3 (this reader knows versions 1 and "
       "2)",
       [](std::string& b) { set_le(b, 8, 3, 4); }},
      {"byte 632: header checksum mismatch",
       [](std::string& b) { b[20] ^= 1; }},
      {"unknown flags 0x4",
       [](std::string& b) {
         set_le(b, 12, 4, 4);
         reseal(b);
       }},
      {"byte 68: section alignment is 8, version 2 uses 64",
       [](std::string& b) {
         set_le(b, 68, 8, 4);
         reseal(b);
       }},
      {"section count is 13, version 2 has 14",
       [](std::string& b) { set_le(b, 64, 13, 4); }},
      {"directory entry 2 has section id 7, expected 3 (tiles)",
       [](std::string& b) {
         set_le(b, kDirectory + 80, 7, 4);
         reseal(b);
       }},
      {"section 'kind' has unknown encoding 2",
       [](std::string& b) {
         set_le(b, kDirectory + 40 * kKind + 4, 2, 4);
         reseal(b);
       }},
      {"section 'tiles' starts at byte 1032, not on a 64-byte boundary",
       [](std::string& b) {
         set_le(b, kDirectory + 40 * kTiles + 8, 1032, 8);
         reseal(b);
       }},
      {"section 'tiles' starts at byte 640, inside the data before it",
       [](std::string& b) {
         set_le(b, kDirectory + 40 * kTiles + 8, 640, 8);
         reseal(b);
       }},
      {"section 'tiles' holds 120 decoded bytes, which does not match",
       [](std::string& b) {
         set_le(b, 24, 4, 8);  // tile count 5 -> 4
         reseal(b);
       }},
      {"64 unexpected bytes after the last section",
       [](std::string& b) { b.append(64, '\0'); }},
      {"truncated file: the last section's padding ends at byte",
       [](std::string& b) { b.resize(b.size() - 1); }},
  };
  expect_errors(valid, rows);
}

TEST(ReportPackage, KeepsVersionOneRules) {
  const std::string valid = encode(awkward_report(), false, 1);
  const std::vector<Damage> rows = {
      {"(loaded)", [](std::string&) {}},
      {"section 'tiles' starts at byte 644, not on an 8-byte boundary",
       [](std::string& b) {
         set_le(b, kDirectory + 40 * kTiles + 8, 644, 8);
         reseal(b);
       }},
      {"byte 68: reserved header field is not zero",
       [](std::string& b) {
         set_le(b, 68, 64, 4);
         reseal(b);
       }},
      // A version 1 header sealed with the version 2 checksum.
      {"byte 632: header checksum mismatch",
       [](std::string& b) {
         set_le(b, kHeaderChecksum, XXH3_64bits(b.data(), kHeaderChecksum), 8);
       }},
      {"8 unexpected bytes after the last section",
       [](std::string& b) { b.append(8, '\0'); }},
  };
  expect_errors(valid, rows);
}

TEST(ReportPackage, CatchesTruncationAtEverySectionBoundary) {
  for (const bool compress : {true, false}) {
    const std::string valid = encode(awkward_report(), compress);
    std::vector<std::size_t> cuts = {valid.size() - 1};
    for (std::size_t i = 0; i < kSections; ++i) {
      cuts.push_back(section_offset(valid, i));
      cuts.push_back(section_offset(valid, i) + section_stored(valid, i) / 2);
    }
    for (const std::size_t cut : cuts) {
      if (cut >= valid.size()) continue;
      SCOPED_TRACE(cut);
      const std::string error = load_error(valid.substr(0, cut));
      EXPECT_NE(error.find("truncated"), std::string::npos) << error;
    }
  }
}

TEST(ReportPackage, ChecksumCatchesAFlippedByteInEverySection) {
  for (const bool compress : {true, false}) {
    // Large enough that the sections are checked on two threads.
    const std::string valid =
        encode(generate_report(options_for_total(60000, 50)), compress);
    for (std::size_t i = 0; i < kSections; ++i) {
      if (section_stored(valid, i) == 0) continue;
      std::string bytes = valid;
      bytes[section_offset(valid, i) + section_stored(valid, i) / 2] ^= 0x10;
      const std::string error = load_error(bytes);
      SCOPED_TRACE(error);
      EXPECT_NE(error.find("checksum mismatch in section"), std::string::npos);
      EXPECT_NE(
          error.find("byte " + std::to_string(section_offset(valid, i)) + ":"),
          std::string::npos);
    }
  }
}

// The directory in the order docs/package-format.md gives, each section
// named and sized from the header's counts as it says. awkward_report()
// holds N = 5 samples, S = 11 strings, L = 4 lists of E = 5 entries in all,
// and T = 5 tiles.
TEST(ReportPackage, SectionsFollowTheDocumentedLayout) {
  const std::string valid = encode(awkward_report());
  const std::uint64_t n = 5;
  const std::uint64_t s = 11;
  const std::uint64_t l = 4;
  const std::uint64_t e = 5;
  const std::uint64_t t = 5;
  const std::uint64_t string_bytes =
      to_columns(awkward_report()).string_bytes.size();
  struct Row {
    const char* name;
    std::uint64_t size;  // decoded
  };
  const std::vector<Row> rows = {
      {"string offsets", 8 * (s + 1)},
      {"string bytes", string_bytes},
      {"tiles", 24 * t},
      {"start_cycle", 4 * n},
      {"end_cycle", 4 * n},
      {"local_index", 4 * n},
      {"phase", 4 * n},
      {"epoch", 4 * n},
      {"kind", n},
      {"kernel", 4 * n},
      {"operation", 4 * n},
      {"metadata", 4 * n},
      {"metadata list offsets", 8 * (l + 1)},
      {"metadata entries", 8 * e},
  };
  ASSERT_EQ(rows.size(), kSections);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(get64(valid, kDirectory + 40 * i + 24), rows[i].size);
    std::string bytes = valid;
    set_le(bytes, kDirectory + 40 * i, 99, 4);
    reseal(bytes);
    const std::string expected = "directory entry " + std::to_string(i) +
                                 " has section id 99, expected " +
                                 std::to_string(i + 1) + " (" + rows[i].name +
                                 ")";
    EXPECT_NE(load_error(bytes).find(expected), std::string::npos)
        << load_error(bytes);
  }
}

// Both versions: the id checks of raw columns run inside the checksum pass,
// which differs between them.
class RejectsBadContent : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(RejectsBadContent, WithItsLocation) {
  const std::string valid = encode(awkward_report(), false, GetParam());
  const auto at = [&valid](std::size_t section, std::size_t byte) {
    return section_offset(valid, section) + byte;
  };
  // Samples in report order: tile 1 holds samples 0..2, tile 3 holds 3..4.
  const std::vector<Damage> rows = {
      {"tiles[1].samples[1].step.kernel: string id 11 out of range of 11",
       [&](std::string& b) { set_le(b, at(kKernel, 4), 11, 4); }},
      // The first faulty sample is reported, not the largest id.
      {"tiles[1].samples[2].step.kernel: string id 12 out of range",
       [&](std::string& b) {
         set_le(b, at(kKernel, 8), 12, 4);
         set_le(b, at(kKernel, 16), 900, 4);
       }},
      {"tiles[3].samples[0].step.operation: string id 4294967295 out of range",
       [&](std::string& b) { set_le(b, at(kOperation, 12), UINT32_MAX, 4); }},
      {"tiles[3].samples[1].step.metadata: metadata list id 4 out of range "
       "of 4",
       [&](std::string& b) { set_le(b, at(kMetadata, 16), 4, 4); }},
      {"tiles[1].samples[2].step.kind: kind 4 is not one of",
       [&](std::string& b) { set_le(b, at(kKind, 2), 4, 1); }},
      {"metadata entry 0 names string 99 of 11",
       [&](std::string& b) { set_le(b, at(kListEntries, 4), 99, 4); }},
      {"tiles[3]: samples 0.. overlap the previous tile, which ends at "
       "sample 3",
       [&](std::string& b) { set_le(b, at(kTiles, 3 * 24 + 8), 0, 8); }},
      {"tiles[3]: starts at sample 4, leaving samples 3..4 to no tile",
       [&](std::string& b) { set_le(b, at(kTiles, 3 * 24 + 8), 4, 8); }},
      {"tiles[3]: samples 3 + 3 run past the end (5 samples)",
       [&](std::string& b) { set_le(b, at(kTiles, 3 * 24 + 16), 3, 8); }},
      {"tiles[0]: reserved tile field is not zero",
       [&](std::string& b) { set_le(b, at(kTiles, 4), 1, 4); }},
      {"string 5 is not valid UTF-8",
       // The first byte of "σ" followed by a plain letter.
       [&](std::string& b) {
         b[valid.find("σ", section_offset(valid, kStringBytes)) + 1] = 'x';
       }},
      {"string 2 ends at offset 1, outside 9..",
       [&](std::string& b) { set_le(b, at(kStringOffsets, 24), 1, 8); }},
      {"the first string offset is 3, not 0",
       [&](std::string& b) { set_le(b, at(kStringOffsets, 0), 3, 8); }},
      {"metadata list 1 ends at entry 9, outside 1..5",
       [&](std::string& b) { set_le(b, at(kListOffsets, 16), 9, 8); }},
  };
  expect_errors(valid, rows, /*reseal_after=*/true);
  // The error places a bad id at its exact byte in a raw section.
  std::string bytes = valid;
  set_le(bytes, at(kOperation, 12), 77, 4);
  reseal(bytes);
  const ColumnsResult columns = parse_columns(bytes, "p.zpk");
  ASSERT_FALSE(columns.ok());
  EXPECT_EQ(columns.error().byte_offset, at(kOperation, 12));
  EXPECT_EQ(columns.error().json_path, "tiles[3].samples[0].step.operation");
}

INSTANTIATE_TEST_SUITE_P(ReportPackage, RejectsBadContent,
                         ::testing::Values(2U, 1U));

TEST(ReportPackage, RefusesSizesTheFileCannotBack) {
  const std::string valid = encode(awkward_report(), true);
  ASSERT_EQ(valid[8], 2);
  ASSERT_EQ(get64(valid, kDirectory + 40 * kStringBytes + 4) & 0xffffffffU, 1U)
      << "the long string should make the string bytes compress";
  {
    // A compressed section that claims more than its frame holds.
    std::string bytes = valid;
    const std::size_t size_at = kDirectory + 40 * kStringBytes + 24;
    set_le(bytes, size_at, get64(bytes, size_at) + 1, 8);
    reseal(bytes);
    EXPECT_NE(load_error(bytes).find(
                  "decompressed size mismatch in section 'string bytes'"),
              std::string::npos)
        << load_error(bytes);
  }
  {
    // Ten trillion samples backed by a few compressed bytes.
    std::string bytes = valid;
    set_le(bytes, 32, 10'000'000'000'000ULL, 8);
    for (std::size_t i = kStartCycle; i <= kMetadata; ++i) {
      set_le(bytes, kDirectory + 40 * i + 4, 1, 4);  // claim zstd
      set_le(bytes, kDirectory + 40 * i + 24,
             (i == kKind ? 1 : 4) * 10'000'000'000'000ULL, 8);
    }
    reseal(bytes);
    EXPECT_NE(load_error(bytes).find("beyond what zstd can produce"),
              std::string::npos)
        << load_error(bytes);
  }
  {
    const std::string generated =
        encode(generate_report(options_for_total(1000, 4)), true);
    ReadLimits limits;
    limits.max_file_bytes = 50000;
    EXPECT_NE(load_error(generated, limits)
                  .find("more than the 50000-byte limit for reports"),
              std::string::npos)
        << load_error(generated, limits);
    limits.max_string_bytes = 100;
    limits.max_file_bytes = 1 << 20;
    EXPECT_NE(load_error(valid, limits)
                  .find("string 10 is 300 bytes, more than the 100-byte limit"),
              std::string::npos)
        << load_error(valid, limits);
  }
}

TEST(ReportPackage, ShardIdentityRoundTripsAndLeavesTheSectionsInPlace) {
  const ProfileReport report = awkward_report();
  const ShardIdentity shard = sample_identity();
  for (const bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "compressed" : "raw");
    const std::string whole = encode(report, compress);
    const std::string bytes = encode_shard(report, shard, compress);
    // The flag and the header checksum differ, then the block follows the
    // whole package's bytes: a mapped shard's sections are where they were.
    ASSERT_EQ(bytes.size(), whole.size() + 64);
    EXPECT_EQ(get64(bytes, 8), 2U | std::uint64_t{1} << 32U);
    EXPECT_EQ(bytes.substr(16, kHeaderChecksum - 16),
              whole.substr(16, kHeaderChecksum - 16));
    EXPECT_EQ(bytes.substr(640, whole.size() - 640), whole.substr(640));
    EXPECT_EQ(bytes.substr(whole.size(), 8), "ZPKSHARD");

    const ColumnsResult columns = parse_columns(bytes, "s.zpk");
    ASSERT_TRUE(columns.ok()) << columns.error().to_string();
    EXPECT_EQ(columns.value().shard, shard);
    EXPECT_TRUE(to_report(columns.value()) == report);
    const LoadResult records = parse_report_package(bytes, "s.zpk");
    ASSERT_TRUE(records.ok()) << records.error().to_string();
    EXPECT_TRUE(records.value() == report);
    const ColumnsResult plain = parse_columns(whole);
    ASSERT_TRUE(plain.ok()) << plain.error().to_string();
    EXPECT_EQ(plain.value().shard, std::nullopt);
  }
}

TEST(ReportPackage, RefusesToWriteAShardIdentityItsReaderWouldReject) {
  struct Row {
    std::uint32_t version;
    std::uint32_t index;
    std::uint32_t count;
    const char* expected;
  };
  const std::vector<Row> rows = {
      {1, 0, 1, "a shard identity needs package version 2"},
      {2, 3, 3, "shard index 3 is not below the shard count 3"},
      {2, 0, 0, "shard index 0 is not below the shard count 0"},
  };
  const ProfileColumns columns = to_columns(awkward_report());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    PackageWriteOptions options;
    options.version = row.version;
    options.shard = sample_identity(row.index, row.count);
    std::string out;
    const Written written = encode_columns_package(columns, out, options);
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error(), (WriteError{{}, row.expected}));
  }
}

TEST(ProfileFingerprint, IsTheSameForTheSameProfileInEveryForm) {
  const std::vector<ProfileReport> reports = {
      // Large enough that the JSON reader merges several runs' dictionaries.
      generate_report(options_for_total(20000, 64)), awkward_report(),
      ProfileReport{}};
  for (const ProfileReport& report : reports) {
    const ProfileColumns columns = to_columns(report);
    const auto expected = profile_fingerprint(columns);
    std::ostringstream json;
    ASSERT_TRUE((write_report_json(report, json)).ok());
    std::vector<std::pair<std::string, std::string>> forms = {
        {"json", json.str()},
        {"raw v2", encode(report, false, 2)},
        {"compressed v2", encode(report, true, 2)},
        {"v1", encode(report, false, 1)},
        {"shard", encode_shard(report, sample_identity())}};
    for (const auto& [name, bytes] : forms) {
      SCOPED_TRACE(name);
      const ColumnsResult read = parse_columns(bytes, name);
      ASSERT_TRUE(read.ok()) << read.error().to_string();
      EXPECT_EQ(profile_fingerprint(read.value()), expected);
    }
    EXPECT_EQ(profile_fingerprint(to_columns(report)), expected);
    EXPECT_EQ(profile_fingerprint(tile_range(columns, 0, columns.tiles.size())),
              expected);
  }
}

TEST(ProfileFingerprint, AnySingleChangeGivesAnother) {
  struct Row {
    const char* name;
    std::function<void(ColumnBuffers&, std::uint64_t&)> change;
  };
  const std::vector<Row> rows = {
      {"unchanged", [](ColumnBuffers&, std::uint64_t&) {}},
      {"clock", [](ColumnBuffers&, std::uint64_t& clock) { clock = 1; }},
      {"physical tile",
       [](ColumnBuffers& b, std::uint64_t&) { b.tiles[0].physical_tile = 7; }},
      {"a sample moved to the next tile",
       [](ColumnBuffers& b, std::uint64_t&) {
         b.tiles[0].sample_count = 2;
         b.tiles[1].first_sample = 2;
         b.tiles[2] = {
             .physical_tile = 6, .first_sample = 2, .sample_count = 1};
       }},
      {"start_cycle",
       [](ColumnBuffers& b, std::uint64_t&) { b.start_cycle[1] = 9; }},
      {"end_cycle",
       [](ColumnBuffers& b, std::uint64_t&) { b.end_cycle[2] = 9; }},
      {"local_index",
       [](ColumnBuffers& b, std::uint64_t&) { b.local_index[0] = 9; }},
      {"phase", [](ColumnBuffers& b, std::uint64_t&) { b.phase[0] = 1; }},
      {"epoch", [](ColumnBuffers& b, std::uint64_t&) { b.epoch[2] = 1; }},
      {"kind", [](ColumnBuffers& b, std::uint64_t&) { b.kind[0] = 2; }},
      {"kernel", [](ColumnBuffers& b, std::uint64_t&) { b.kernel[0] = 1; }},
      {"operation",
       [](ColumnBuffers& b, std::uint64_t&) { b.operation[1] = 1; }},
      {"metadata", [](ColumnBuffers& b, std::uint64_t&) { b.metadata[0] = 1; }},
      {"string text",
       [](ColumnBuffers& b, std::uint64_t&) { b.string_bytes[2] = 'c'; }},
      // The same bytes cut elsewhere: "ab", "b", "σ".
      {"string boundary",
       [](ColumnBuffers& b, std::uint64_t&) { b.string_offsets[1] = 2; }},
      {"an unused string",
       [](ColumnBuffers& b, std::uint64_t&) {
         b.string_bytes += 'x';
         b.string_offsets.push_back(6);
       }},
      {"metadata entry",
       [](ColumnBuffers& b, std::uint64_t&) { b.list_entries[0].value = 2; }},
      // The same entries cut elsewhere: [a=bb], [a=σ].
      {"list boundary",
       [](ColumnBuffers& b, std::uint64_t&) { b.list_offsets[1] = 1; }},
  };
  std::set<std::array<std::uint8_t, 16>> seen;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ColumnBuffers buffers = testing::small_buffers();
    std::uint64_t clock = 0;
    row.change(buffers, clock);
    const ProfileColumns columns = columns_from(clock, std::move(buffers));
    ASSERT_TRUE((check_columns(columns)).ok());
    EXPECT_TRUE(seen.insert(profile_fingerprint(columns)).second);
  }
  // A shard identity is not content.
  ProfileColumns marked = columns_from(0, testing::small_buffers());
  const auto unmarked = profile_fingerprint(marked);
  marked.shard = sample_identity();
  EXPECT_EQ(profile_fingerprint(marked), unmarked);
}

}  // namespace
}  // namespace zyl_package
