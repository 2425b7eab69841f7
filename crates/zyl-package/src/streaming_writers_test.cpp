// Tests of the writers that never hold a whole report: a generated profile
// written sample by sample, and the JSON form written from columns. Each
// must give the very bytes of the in-memory writers.
#include <gtest/gtest.h>
#include <sys/resource.h>  // setrlimit

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "zyl_package/generate.h"
#include "zyl_package/profile_columns.h"
#include "zyl_package/report_io.h"

namespace zyl_package {
namespace {

namespace fs = std::filesystem;

class TempFolder {
 public:
  TempFolder() {
    path_ =
        fs::temp_directory_path() /
        ("zyl-streaming-" +
         std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  [[nodiscard]] fs::path file(const std::string& name) const {
    return path_ / name;
  }
  [[nodiscard]] std::size_t entries() const {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(path_), fs::directory_iterator{}));
  }

 private:
  fs::path path_;
};

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct OptionRow {
  std::string name;
  GenerateOptions options;
};

std::vector<OptionRow> option_rows() {
  std::vector<OptionRow> rows;
  rows.push_back({"tiny", options_for_total(40, 3)});
  rows.push_back({"no samples", options_for_total(0, 5)});
  GenerateOptions no_tiles = options_for_total(100, 0);
  rows.push_back({"no tiles", no_tiles});
  // Tile 4 of every 8 starts just below 2^32; 20 tiles include empty and
  // short ones.
  GenerateOptions wraps = options_for_total(6000, 20);
  wraps.seed = 7;
  rows.push_back({"wraps", wraps});
  GenerateOptions bare = options_for_total(700, 4);
  bare.kernels = 0;
  bare.operations = 0;
  bare.phases = 0;
  bare.epochs = 0;
  rows.push_back({"no kernels or operations", bare});
  GenerateOptions plain;
  plain.tiles = 9;
  plain.samples_per_tile = 31;
  plain.clock_hz = 0;
  rows.push_back({"tiles times samples per tile", plain});
  return rows;
}

TEST(WriteGeneratedReport, JsonIsTheRecordWritersBytes) {
  const TempFolder folder;
  for (const OptionRow& row : option_rows()) {
    SCOPED_TRACE(row.name);
    const fs::path expected = folder.file("expected.json");
    const fs::path streamed = folder.file("streamed.json");
    ASSERT_TRUE((write_report(generate_report(row.options), expected,
                              ReportFormat::Json))
                    .ok());
    ASSERT_TRUE(
        (write_generated_report(row.options, streamed, ReportFormat::Json))
            .ok());
    EXPECT_EQ(read_file(streamed), read_file(expected));
  }
}

TEST(WriteGeneratedReport, PackageIsTheColumnWritersBytesInEveryForm) {
  const TempFolder folder;
  for (const OptionRow& row : option_rows()) {
    const ProfileColumns columns = to_columns(generate_report(row.options));
    // Both versions, and version 2 as a shard, whose identity block the
    // streaming writer places on its own.
    for (const auto& [version, shard] :
         {std::pair{1U, false}, std::pair{2U, false}, std::pair{2U, true}}) {
      for (const bool compress : {false, true}) {
        SCOPED_TRACE(row.name + ", version " + std::to_string(version) +
                     (shard ? " shard" : "") +
                     (compress ? ", compressed" : ", raw"));
        PackageWriteOptions package;
        package.version = version;
        package.compress = compress;
        if (shard) package.shard = ShardIdentity{{1, 2, 3}, 1, 2};
        const fs::path expected = folder.file("expected.zpk");
        const fs::path streamed = folder.file("streamed.zpk");
        ASSERT_TRUE(
            (write_columns(columns, expected, ReportFormat::Package, package))
                .ok());
        ASSERT_TRUE((write_generated_report(row.options, streamed,
                                            ReportFormat::Package, package))
                        .ok());
        EXPECT_EQ(read_file(streamed), read_file(expected));
      }
    }
  }
}

// Columns of more than one compression chunk (a mebibyte), so the frames of
// the streaming writer span chunks, and raw columns are written in pieces.
TEST(WriteGeneratedReport, PackageSpanningManyChunksIsTheSameAndReadsBack) {
  const TempFolder folder;
  const GenerateOptions options = options_for_total(300000, 64);
  const ProfileReport report = generate_report(options);
  const ProfileColumns columns = to_columns(report);
  for (const bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "compressed" : "raw");
    PackageWriteOptions package;
    package.compress = compress;
    const fs::path expected = folder.file("expected.zpk");
    const fs::path streamed = folder.file("streamed.zpk");
    ASSERT_TRUE(
        (write_columns(columns, expected, ReportFormat::Package, package))
            .ok());
    ASSERT_TRUE((write_generated_report(options, streamed,
                                        ReportFormat::Package, package))
                    .ok());
    EXPECT_EQ(read_file(streamed), read_file(expected));
    const LoadResult loaded = read_report(streamed);
    ASSERT_TRUE(loaded.ok()) << loaded.error().to_string();
    EXPECT_EQ(loaded.value(), report);
  }
}

TEST(WriteGeneratedReport, FailureNamesTheFileAndLeavesNothingBehind) {
  const TempFolder folder;
  const GenerateOptions options = options_for_total(500, 4);
  const fs::path missing = folder.file("no-such-folder") / "out.zpk";
  for (const ReportFormat format :
       {ReportFormat::Json, ReportFormat::Package}) {
    const auto error = write_generated_report(options, missing, format);
    ASSERT_FALSE(error.ok());
    EXPECT_EQ(error.error().file, missing.string());
  }
  PackageWriteOptions unknown;
  unknown.version = 3;
  PackageWriteOptions old_shard;
  old_shard.version = 1;
  old_shard.shard = ShardIdentity{};
  const fs::path target = folder.file("kept.zpk");
  { std::ofstream(target) << "earlier"; }
  for (const auto& [package, expected] :
       {std::pair{unknown, "version 3"},
        std::pair{old_shard, "a shard identity needs package version 2"}}) {
    const auto error =
        write_generated_report(options, target, ReportFormat::Package, package);
    ASSERT_FALSE(error.ok());
    EXPECT_NE(error.error().message.find(expected), std::string::npos)
        << error.error().to_string();
  }
  EXPECT_EQ(read_file(target), "earlier");
  EXPECT_EQ(folder.entries(), 1U);
}

// Stands in for a full disk: writes past `bytes` fail with EFBIG (the
// signal that would end the process is ignored) until the object goes.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limited = previous_;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previous_handler_);
  }

 private:
  rlimit previous_{};
  void (*previous_handler_)(int) = nullptr;
};

TEST(WriteGeneratedReport, AFailedWriteKeepsTheEarlierFileAndLeavesNoOther) {
  const TempFolder folder;
  const GenerateOptions options = options_for_total(20000, 8);
  for (const auto& [name, format] :
       {std::pair{"kept.json", ReportFormat::Json},
        std::pair{"kept.zpk", ReportFormat::Package}}) {
    SCOPED_TRACE(name);
    const fs::path target = folder.file(name);
    { std::ofstream(target) << "earlier"; }
    Written error;
    {
      const FileSizeLimit limit(100000);
      error = write_generated_report(options, target, format);
    }
    ASSERT_FALSE(error.ok());
    EXPECT_EQ(error.error().file, target.string());
    EXPECT_NE(error.error().message.find("too large"), std::string::npos)
        << error.error().to_string();
    EXPECT_EQ(read_file(target), "earlier");
  }
  EXPECT_EQ(folder.entries(), 2U);
}

TEST(GeneratedSampleCount, CountsWhatTheReportHolds) {
  for (const OptionRow& row : option_rows()) {
    SCOPED_TRACE(row.name);
    std::uint64_t held = 0;
    for (const auto& tile : generate_report(row.options).tiles) {
      held += tile.samples.size();
    }
    EXPECT_EQ(generated_sample_count(row.options), held);
  }
}

// A writer whose file failed stops the walk at the next tile instead of
// generating the rest of a profile it can no longer store.
TEST(ForEachGeneratedSample, AStoppedVisitorEndsTheWalkAtTheNextTile) {
  class StopsAfter final : public GeneratedReportVisitor {
   public:
    explicit StopsAfter(std::size_t tiles) : tiles_(tiles) {}
    void begin_tile(std::uint32_t, std::uint64_t) override { ++begun; }
    void sample(const GeneratedSample&) override { ++samples; }
    [[nodiscard]] bool stopped() const override { return begun >= tiles_; }
    std::size_t begun = 0;
    std::uint64_t samples = 0;

   private:
    std::size_t tiles_;
  };
  const GenerateOptions options = options_for_total(8000, 8);
  const ProfileReport report = generate_report(options);
  StopsAfter walk(3);
  for_each_generated_sample(options, walk);
  EXPECT_EQ(walk.begun, 3U);
  std::uint64_t first_three = 0;
  for (std::size_t t = 0; t < 3; ++t) {
    first_three += report.tiles[t].samples.size();
  }
  EXPECT_EQ(walk.samples, first_three);
}

// A report whose strings need every kind of care in JSON.
ProfileReport awkward_report() {
  TileProfile tile;
  tile.physical_tile = 4294967295U;
  CycleSample sample;
  sample.start_cycle = 4294967295U;
  sample.end_cycle = 3;
  sample.step.kind = ProfileStepKind::Synchronization;
  sample.step.operation = "quote \" backslash \\ tab \t newline \n nul " +
                          std::string(1, '\0') + " \x1f end";
  sample.step.kernel = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
  sample.step.metadata = {{"block", "1"}, {"", ""}, {"block", "\x7f"}};
  tile.samples.push_back(sample);
  sample.step.metadata.clear();
  sample.step.kind = ProfileStepKind::Idle;
  tile.samples.push_back(sample);

  ProfileReport report;
  report.clock_hz = 18446744073709551615ULL;
  report.tiles.push_back(tile);
  report.tiles.emplace_back().physical_tile = 9;  // empty
  report.tiles.push_back(tile);
  return report;
}

std::string json_of_records(const ProfileReport& report) {
  std::ostringstream out;
  EXPECT_TRUE((write_report_json(report, out)).ok());
  return out.str();
}

std::string json_of_columns(const ProfileColumns& columns) {
  std::ostringstream out;
  EXPECT_TRUE((write_columns_json(columns, out)).ok());
  return out.str();
}

TEST(WriteColumnsJson, IsTheRecordWritersBytes) {
  ColumnBuffers repeated;
  // Strings stored twice and a list stored twice: readers may meet such
  // packages, and the text must not depend on which copy an id names.
  repeated.string_bytes = "kkop";
  repeated.string_offsets = {0, 1, 2, 4, 4};
  repeated.list_entries = {{0, 1}, {1, 0}};
  repeated.list_offsets = {0, 1, 2, 2};
  repeated.tiles = {{.physical_tile = 2, .first_sample = 0, .sample_count = 3}};
  repeated.start_cycle = {1, 2, 3};
  repeated.end_cycle = {4, 5, 6};
  repeated.local_index = {0, 1, 2};
  repeated.phase = {0, 0, 1};
  repeated.epoch = {0, 0, 0};
  repeated.kind = {0, 1, 3};
  repeated.kernel = {0, 1, 3};
  repeated.operation = {2, 2, 3};
  repeated.metadata = {0, 1, 2};

  const std::vector<std::pair<std::string, ProfileColumns>> rows = {
      {"awkward strings", to_columns(awkward_report())},
      {"repeated dictionary entries", columns_from(5, repeated)},
      {"no tiles", to_columns(ProfileReport{})},
      {"generated", to_columns(generate_report(options_for_total(2000, 12)))},
  };
  for (const auto& [name, columns] : rows) {
    SCOPED_TRACE(name);
    ASSERT_TRUE((check_columns(columns)).ok());
    EXPECT_EQ(json_of_columns(columns), json_of_records(to_report(columns)));
  }
}

TEST(WriteColumnsJson, FileRoundTripsThroughTheReader) {
  const TempFolder folder;
  const ProfileReport report = awkward_report();
  const fs::path path = folder.file("awkward.json");
  ASSERT_TRUE(
      (write_columns(to_columns(report), path, ReportFormat::Json)).ok());
  EXPECT_EQ(read_file(path), json_of_records(report));
  const LoadResult loaded = read_report(path);
  ASSERT_TRUE(loaded.ok()) << loaded.error().to_string();
  EXPECT_EQ(loaded.value(), report);
}

// Progress of long writes: what a display on another thread polls. Sizes
// run past the batch in which the writers pass their counts on, so both the
// batches and the remainder published at the end are counted.
struct ProgressRow {
  std::string name;
  ReportFormat format = ReportFormat::Json;
  bool compress = false;
};

const std::vector<ProgressRow> kProgressRows = {
    {"json", ReportFormat::Json, false},
    {"raw package", ReportFormat::Package, false},
    {"compressed package", ReportFormat::Package, true},
};

TEST(WriteProgress, GenerateCountsEverySampleOfEveryWalk) {
  const TempFolder folder;
  for (const std::uint64_t samples : {0ULL, 40ULL, 150001ULL}) {
    const GenerateOptions options = options_for_total(samples, 16);
    for (const ProgressRow& row : kProgressRows) {
      SCOPED_TRACE(row.name + ", " + std::to_string(samples) + " samples");
      PackageWriteOptions package;
      package.compress = row.compress;
      const fs::path quiet = folder.file("quiet");
      const fs::path followed = folder.file("followed");
      ASSERT_TRUE(
          (write_generated_report(options, quiet, row.format, package)).ok());
      ReadProgress progress;
      ASSERT_TRUE((write_generated_report(options, followed, row.format,
                                          package, &progress))
                      .ok());
      // A package walks the generator twice and counts both walks.
      const std::uint64_t walks = row.format == ReportFormat::Package ? 2 : 1;
      EXPECT_EQ(progress.total.load(), walks * samples);
      EXPECT_EQ(progress.done.load(), walks * samples);
      EXPECT_EQ(read_file(followed), read_file(quiet));
    }
  }
}

// A package counts the decoded bytes of its sections, once for the write
// and once more for a compression: a raw package is a little larger than
// what it counts (the header and the alignment), and compressing counts
// exactly twice as much.
TEST(WriteProgress, WriteColumnsCountsSamplesOfJsonAndSectionBytesOfAPackage) {
  const TempFolder folder;
  const ProfileColumns columns =
      to_columns(generate_report(options_for_total(150001, 16)));
  std::uint64_t raw_package_total = 0;
  for (const ProgressRow& row : kProgressRows) {
    SCOPED_TRACE(row.name);
    PackageWriteOptions package;
    package.compress = row.compress;
    const fs::path quiet = folder.file("quiet");
    const fs::path followed = folder.file("followed");
    ASSERT_TRUE((write_columns(columns, quiet, row.format, package)).ok());
    ReadProgress progress;
    ASSERT_TRUE(
        (write_columns(columns, followed, row.format, package, &progress))
            .ok());
    EXPECT_EQ(progress.done.load(), progress.total.load());
    EXPECT_EQ(read_file(followed), read_file(quiet));
    if (row.format == ReportFormat::Json) {
      EXPECT_EQ(progress.total.load(), columns.sample_count());
    } else if (!row.compress) {
      raw_package_total = progress.total.load();
      EXPECT_GT(raw_package_total, fs::file_size(followed) - 2048);
      EXPECT_LT(raw_package_total, fs::file_size(followed));
    } else {
      EXPECT_EQ(progress.total.load(), 2 * raw_package_total);
    }
  }
}

}  // namespace
}  // namespace zyl_package
