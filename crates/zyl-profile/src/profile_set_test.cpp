// Tests of ProfileSet: random profiles written as shard files answer every
// question (query with its notes, diff, the occupancy, the walk that export
// and trace take) exactly as the whole file does, whatever order the shards
// come in; sets that are not one whole profile are refused, naming the odd
// file.
#include "zyl_profile/profile_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "random_cases.h"
#include "zyl_package/report_io.h"
#include "zyl_package/report_package.h"
#include "zyl_package/shards.h"
#include "zyl_profile/notes.h"
#include "zyl_profile/scan.h"

namespace zyl_profile {
namespace {

namespace fs = std::filesystem;
using testing::varied_query;
using testing::varied_report;
using zyl_package::to_columns;

// A fresh folder for one test's files.
fs::path scratch(const std::string& name) {
  const fs::path folder = fs::path(::testing::TempDir()) / "profile_set" / name;
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

// Writes `columns` as about `count` shard packages named PREFIX-K.zpk, as
// split does, and returns their paths in shard order.
std::vector<fs::path> write_shards(const ProfileColumns& columns,
                                   const fs::path& prefix, std::size_t count) {
  std::vector<fs::path> paths;
  const auto written = zyl_package::write_shard_set(
      columns, count, [&](std::size_t index, std::size_t) {
        paths.push_back(prefix.string() + "-" + std::to_string(index) + ".zpk");
        return paths.back();
      });
  EXPECT_TRUE(written.ok()) << written.error().to_string();
  return paths;
}

ProfileSet open_ok(std::vector<fs::path> paths, OpenOptions options = {}) {
  Loaded<ProfileSet> opened = ProfileSet::open(std::move(paths), options);
  EXPECT_TRUE(opened.ok()) << opened.error().to_string();
  return std::move(opened).value();
}

// What a walk hands on, comparable across a set and one profile.
using Seen = std::vector<std::tuple<std::uint32_t, std::size_t, std::uint64_t,
                                    std::uint32_t, std::uint32_t>>;

Seen walk(const ProfileSet& profile, const Query& q) {
  Seen seen;
  const Loaded<Walked> walked =
      walk_matches(profile, q, [&](const SetMatch& m) {
        seen.emplace_back(m.physical_tile, m.tile, m.offset, m.duration,
                          m.columns.phase[m.sample]);
      });
  EXPECT_TRUE(walked.ok());
  return seen;
}

TEST(ProfileSet, ShardsAnswerAsTheWholeFileWithItsNotes) {
  std::mt19937 rng(23);
  const fs::path folder = scratch("answers");
  for (int round = 0; round < 60; ++round) {
    const ProfileColumns columns = to_columns(varied_report(rng));
    const std::size_t count = std::array<std::size_t, 3>{2, 3, 8}[round % 3];
    // Built by append: g++ 12 warns falsely on "p" + std::string.
    std::string name = "p";
    name += std::to_string(round);
    std::vector<fs::path> paths = write_shards(columns, folder / name, count);
    // The shards put themselves in order, however they are given.
    std::shuffle(paths.begin(), paths.end(), rng);
    const ProfileSet shards = open_ok(paths);
    const ProfileSet whole = ProfileSet::of(columns);
    for (int i = 0; i < 4; ++i) {
      const Query q = varied_query(rng);
      SCOPED_TRACE(::testing::Message() << "round " << round << " query " << i);
      const Loaded<QueryAnswer> got = query(
          shards, q, ParallelOptions{static_cast<unsigned>(1 + rng() % 2), 0});
      ASSERT_TRUE(got.ok()) << got.error().to_string();
      const QueryReport expected = query(columns, q);
      ASSERT_TRUE(got.value().report == expected);
      EXPECT_EQ(got.value().notes, explain_query(columns, q, expected));
      const Loaded<QueryAnswer> one = query(whole, q);
      ASSERT_TRUE(one.ok());
      EXPECT_EQ(one.value().notes, got.value().notes);
      EXPECT_EQ(walk(shards, q), walk(whole, q));
      const OccupancyOptions bins{1 + rng() % 6, 1 + rng() % 50};
      const Loaded<Occupancy> map =
          occupancy(shards, q, bins, ParallelOptions{2, 0});
      ASSERT_TRUE(map.ok());
      EXPECT_TRUE(map.value() == occupancy(columns, q, bins));
    }
    const Query q = varied_query(rng);
    const Loaded<DiffAnswer> compared = diff(shards, whole, q, DiffOptions{});
    ASSERT_TRUE(compared.ok());
    EXPECT_TRUE(compared.value().report ==
                diff_profiles(columns, columns, q, q, DiffOptions{}, 1));
  }
}

TEST(ProfileSet, RefusesSetsThatAreNotOneWholeProfile) {
  std::mt19937 rng(5);
  const fs::path folder = scratch("refusals");
  // Enough tiles for six shards.
  ProfileColumns first;
  do {
    first = to_columns(varied_report(rng));
  } while (zyl_package::shard_bounds(first, 6).size() != 7);
  ProfileColumns second = to_columns(varied_report(rng));
  second.clock_hz += 1;  // surely another profile
  const std::vector<fs::path> four = write_shards(first, folder / "a", 4);
  ASSERT_EQ(four.size(), 4U);
  // An older split of the same profile into more pieces, left beside.
  const std::vector<fs::path> six = write_shards(first, folder / "old", 6);
  const std::vector<fs::path> other = write_shards(second, folder / "b", 2);
  const fs::path json = folder / "whole.json";
  ASSERT_TRUE(
      (zyl_package::write_columns(first, json, zyl_package::ReportFormat::Json))
          .ok());

  struct Case {
    std::string name;
    std::vector<fs::path> paths;
    fs::path odd;         // the file the message names
    std::string message;  // a part of it
  };
  const std::vector<Case> cases = {
      {"missing",
       {four[0], four[1], four[3]},
       four[0],
       "shard 2 of 4 is missing"},
      {"repeated",
       {four[0], four[1], four[2], four[3], four[2]},
       four[2],
       "shard 2 of 4 again"},
      {"stale",
       {four[0], four[1], four[2], four[3], six[4]},
       six[4],
       "left over from another split"},
      {"mixed",
       {four[0], four[1], four[2], four[3], other[0]},
       other[0],
       "a shard of another profile"},
      {"not a shard",
       {four[0], four[1], four[2], four[3], json},
       json,
       "not a shard"},
      {"two wholes", {json, json}, json, "--concatenate"},
      {"one shard alone",
       {four[2]},
       four[2],
       "shards 0, 1, 3 of 4 are missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Loaded<ProfileSet> opened = ProfileSet::open(c.paths);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().file, c.odd.string());
    EXPECT_NE(opened.error().message.find(c.message), std::string::npos)
        << opened.error().message;
  }

  // Asked for, files are read as given: a shard twice counts twice.
  OpenOptions concatenate;
  concatenate.concatenate = true;
  const ProfileSet doubled = open_ok({json, json}, concatenate);
  const Loaded<QueryAnswer> answer = query(doubled, Query{});
  ASSERT_TRUE(answer.ok()) << answer.error().to_string();
  EXPECT_EQ(answer.value().report.sample_count, 2 * first.sample_count());
}

TEST(ProfileSet, AShardThatChangedOrVanishedIsALoadError) {
  std::mt19937 rng(8);
  const fs::path folder = scratch("changed");
  const ProfileColumns columns = to_columns(varied_report(rng));
  const std::vector<fs::path> paths = write_shards(columns, folder / "p", 3);
  ASSERT_EQ(paths.size(), 3U);
  const ProfileSet set = open_ok(paths);
  // Shard 1 rewritten with shard 2's content after the set was opened.
  fs::copy_file(paths[2], paths[1], fs::copy_options::overwrite_existing);
  Loaded<QueryAnswer> answer = query(set, Query{});
  ASSERT_FALSE(answer.ok());
  EXPECT_EQ(answer.error().file, paths[1].string());
  EXPECT_NE(answer.error().message.find("changed"), std::string::npos);
  fs::remove(paths[1]);
  answer = query(set, Query{});
  ASSERT_FALSE(answer.ok());
  EXPECT_EQ(answer.error().file, paths[1].string());
}

}  // namespace
}  // namespace zyl_profile
