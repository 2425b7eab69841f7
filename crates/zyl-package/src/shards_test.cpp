// Tests of shards: the shards of a profile, concatenated, are the profile;
// their sample counts are balanced; a written shard reads back as its view.
#include "zyl_package/shards.h"

#include <gtest/gtest.h>
#include <unistd.h>  // getpid

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "zyl_package/generate.h"
#include "zyl_package/report_io.h"
#include "zyl_package/report_package.h"

namespace zyl_package {
namespace {

// A profile whose first tile holds nearly every sample, then empty and
// one-sample tiles: the cuts must still give every shard a tile.
ProfileReport lopsided() {
  ProfileReport report;
  report.clock_hz = 1000;
  CycleSample sample;
  sample.step.kernel = "k";
  report.tiles.push_back(TileProfile{5, std::vector<CycleSample>(500, sample)});
  for (std::uint32_t tile = 0; tile < 6; ++tile) {
    report.tiles.push_back(
        TileProfile{tile, std::vector<CycleSample>(tile % 2, sample)});
  }
  return report;
}

TEST(Shards, ConcatenatedShardsAreTheProfileAndBalanced) {
  GenerateOptions many_empty = options_for_total(3000, 400);
  many_empty.kernels = 0;
  const std::vector<ProfileReport> reports = {
      ProfileReport{}, generate_report(options_for_total(20000, 64)),
      generate_report(many_empty), lopsided()};
  for (const ProfileReport& report : reports) {
    const ProfileColumns columns = to_columns(report);
    const std::size_t tiles = report.tiles.size();
    for (const std::size_t shards :
         {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7},
          tiles + 5}) {
      SCOPED_TRACE(std::to_string(tiles) + " tiles, " + std::to_string(shards) +
                   " shards");
      const std::vector<std::size_t> bounds = shard_bounds(columns, shards);
      const std::size_t ranges = std::max<std::size_t>(
          1, std::min(shards, tiles));  // fewer tiles than shards: one each
      ASSERT_EQ(bounds.size(), ranges + 1);
      EXPECT_EQ(bounds.front(), 0U);
      EXPECT_EQ(bounds.back(), tiles);

      std::uint64_t largest_tile = 0;
      for (const TileProfile& tile : report.tiles) {
        largest_tile =
            std::max<std::uint64_t>(largest_tile, tile.samples.size());
      }
      const double mean = static_cast<double>(columns.sample_count()) /
                          static_cast<double>(ranges);
      ProfileReport joined;
      joined.clock_hz = report.clock_hz;
      for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
        if (tiles > 0) {
          EXPECT_LT(bounds[k], bounds[k + 1]);
        }
        const ProfileColumns shard =
            tile_range(columns, bounds[k], bounds[k + 1]);
        const Loaded<void> checked = check_columns(shard);
        ASSERT_TRUE(checked.ok()) << checked.error().to_string();
        EXPECT_LE(static_cast<double>(shard.sample_count()),
                  2 * mean + static_cast<double>(largest_tile));
        ProfileReport part = to_report(shard);
        EXPECT_EQ(part.clock_hz, report.clock_hz);
        for (TileProfile& tile : part.tiles) {
          joined.tiles.push_back(std::move(tile));
        }
      }
      EXPECT_TRUE(joined == report);
    }
  }
}

TEST(Shards, LopsidedProfileCutsAfterTheBigTile) {
  const ProfileColumns columns = to_columns(lopsided());
  EXPECT_EQ(shard_bounds(columns, 2), (std::vector<std::size_t>{0, 1, 7}));
  EXPECT_EQ(shard_bounds(columns, 3), (std::vector<std::size_t>{0, 1, 2, 7}));
  EXPECT_EQ(shard_bounds(columns, 0), (std::vector<std::size_t>{0, 7}));
}

TEST(Shards, ShardOutlivesTheWholeAndReadsBackAsWritten) {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("zyl_shards_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const ProfileReport report = generate_report(options_for_total(5000, 40));
  ProfileColumns shard;
  {
    const ProfileColumns columns = to_columns(report);
    shard = tile_range(columns, 13, 29);
  }  // the shard alone now keeps the columns alive
  ProfileReport expected;
  expected.clock_hz = report.clock_hz;
  expected.tiles.assign(report.tiles.begin() + 13, report.tiles.begin() + 29);
  EXPECT_TRUE(to_report(shard) == expected);
  for (const bool compress : {false, true}) {
    PackageWriteOptions options;
    options.compress = compress;
    const auto path = folder / "shard.zpk";
    const Written written =
        write_columns(shard, path, ReportFormat::Package, options);
    ASSERT_TRUE(written.ok()) << written.error().to_string();
    const ColumnsResult back = read_columns(path);
    ASSERT_TRUE(back.ok()) << back.error().to_string();
    EXPECT_TRUE(to_report(back.value()) == expected);
  }
  const auto json = folder / "shard.json";
  ASSERT_TRUE(write_columns(shard, json, ReportFormat::Json).ok());
  const LoadResult back = read_report(json);
  ASSERT_TRUE(back.ok()) << back.error().to_string();
  EXPECT_TRUE(back.value() == expected);
  std::filesystem::remove_all(folder);
}

// What split does: every range written with one identity of the whole,
// read back with it; a range of a shard read back is no shard.
TEST(Shards, WrittenShardsCarryTheirIdentityAndRangesOfThemDoNot) {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("zyl_shard_identity_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const ProfileColumns columns =
      to_columns(generate_report(options_for_total(4000, 24)));
  const std::vector<std::size_t> bounds = shard_bounds(columns, 3);
  ShardIdentity identity;
  identity.profile = profile_fingerprint(columns);
  identity.count = static_cast<std::uint32_t>(bounds.size() - 1);
  for (std::uint32_t k = 0; k < identity.count; ++k) {
    SCOPED_TRACE(k);
    identity.index = k;
    PackageWriteOptions options;
    options.shard = identity;
    const auto path = folder / ("part-" + std::to_string(k) + ".zpk");
    const Written written =
        write_columns(tile_range(columns, bounds[k], bounds[k + 1]), path,
                      ReportFormat::Package, options);
    ASSERT_TRUE(written.ok()) << written.error().to_string();
    const auto cheap = read_shard_identity(path);
    ASSERT_TRUE(cheap.ok()) << cheap.error().to_string();
    EXPECT_EQ(cheap.value(), identity);
    const ColumnsResult back = read_columns(path);
    ASSERT_TRUE(back.ok()) << back.error().to_string();
    EXPECT_EQ(back.value().shard, identity);
    const ProfileColumns& shard = back.value();
    EXPECT_EQ(tile_range(shard, 0, shard.tiles.size()).shard, std::nullopt);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace zyl_package
