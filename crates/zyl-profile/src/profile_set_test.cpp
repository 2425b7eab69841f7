// Tests of ProfileSet: random profiles written as shard files answer every
// question (query with its notes, diff, the occupancy, the walk that export
// and trace take) exactly as the whole file does, whatever order the shards
// come in; sets that are not one whole profile are refused, naming the odd
// file and the caller's way to read files as given; pipes, which can be
// read only once, answer as files do.
#include "zyl_profile/profile_set.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>  // mkfifo
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
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
      // Rows straddle the shards, their kernels' tallies carried across.
      const OccupancyOptions bins{1 + rng() % 6, 1 + rng() % 50, rng() % 4};
      const Loaded<Occupancy> map =
          occupancy(shards, q, bins,
                    ParallelOptions{static_cast<unsigned>(1 + rng() % 3), 0});
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

// Each front end spells the way to read files as given its own way; a
// refusal names that spelling, and suggests nothing where there is none.
TEST(ProfileSet, RefusalsNameTheCallersWayToReadTheFilesAsGiven) {
  std::mt19937 rng(17);
  const fs::path folder = scratch("spelling");
  ProfileColumns columns;
  do {
    columns = to_columns(varied_report(rng));
  } while (zyl_package::shard_bounds(columns, 3).size() != 4);
  const std::vector<fs::path> three = write_shards(columns, folder / "s", 3);
  ASSERT_EQ(three.size(), 3U);
  const fs::path json = folder / "whole.json";
  ASSERT_TRUE((zyl_package::write_columns(columns, json,
                                          zyl_package::ReportFormat::Json))
                  .ok());
  const std::vector<std::vector<fs::path>> refused = {
      {three[0], three[2]},                  // a shard missing
      {three[0], three[1], three[2], json},  // a file that is not a shard
      {json, json},                          // no shard at all
  };
  struct Spelling {
    std::string option;
    std::string offered;  // what the message must say, "" for no way out
  };
  for (const Spelling& spelling :
       {Spelling{"--concatenate", ", or --concatenate"},
        Spelling{"concatenate=True", ", or concatenate=True"},
        Spelling{"", ""}}) {
    OpenOptions options;
    options.concatenate_option = spelling.option;
    for (const std::vector<fs::path>& paths : refused) {
      SCOPED_TRACE(spelling.option + " " + paths.back().string());
      const Loaded<ProfileSet> opened = ProfileSet::open(paths, options);
      ASSERT_FALSE(opened.ok());
      const std::string& message = opened.error().message;
      if (spelling.offered.empty()) {
        EXPECT_EQ(message.find(", or "), std::string::npos) << message;
        EXPECT_EQ(message.find("concatenate"), std::string::npos) << message;
      } else {
        EXPECT_NE(message.find(spelling.offered), std::string::npos) << message;
      }
      if (spelling.option != "--concatenate") {
        EXPECT_EQ(message.find("--concatenate"), std::string::npos) << message;
      }
    }
  }
  // The default is the command line's.
  const Loaded<ProfileSet> by_default = ProfileSet::open({three[1]});
  ASSERT_FALSE(by_default.ok());
  EXPECT_NE(by_default.error().message.find(
                "missing; give every shard, or --concatenate to read only "
                "these"),
            std::string::npos)
      << by_default.error().message;
  // Several profiles in one list cannot be read as given at all, so their
  // refusal offers no option, whatever the caller's spelling.
  OpenOptions options;
  options.concatenate_option = "concatenate=True";
  const Loaded<std::vector<ProfileSet>> sets =
      open_profiles({three[0], three[2], json}, options);
  ASSERT_FALSE(sets.ok());
  EXPECT_NE(sets.error().message.find("shard 1 of 3 is missing; give every "
                                      "shard"),
            std::string::npos)
      << sets.error().message;
  EXPECT_EQ(sets.error().message.find("concatenate"), std::string::npos)
      << sets.error().message;
}

std::string contents_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A named pipe that a thread writes `bytes` into once, as a program piping
// a report would. A writer no reader ever came for is let go at the end:
// a reader that opens without waiting lets its open return, and its writes
// then fail (SIGPIPE is ignored for the test).
class PipeFeed {
 public:
  PipeFeed(fs::path path, std::string bytes) : path_(std::move(path)) {
    std::signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(::mkfifo(path_.c_str(), 0600), 0) << path_;
    writer_ = std::thread([this, bytes = std::move(bytes)] {
      const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) return;
      std::size_t done = 0;
      while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;  // the reader went away
        done += static_cast<std::size_t>(n);
      }
      ::close(fd);
    });
  }
  PipeFeed(const PipeFeed&) = delete;
  PipeFeed& operator=(const PipeFeed&) = delete;
  ~PipeFeed() {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    writer_.join();
  }

  [[nodiscard]] const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  std::thread writer_;
};

// The bytes of a profile cut in two: shard 0 as a package, shard 1 as JSON
// (which carries no identity, so the two are read as given).
struct TwoHalves {
  ProfileColumns whole;
  std::string first;
  std::string second;
};

TwoHalves two_halves(std::mt19937& rng, const fs::path& folder) {
  TwoHalves halves;
  do {
    halves.whole = to_columns(varied_report(rng));
  } while (zyl_package::shard_bounds(halves.whole, 2).size() != 3);
  const std::vector<fs::path> shards =
      write_shards(halves.whole, folder / "half", 2);
  EXPECT_EQ(shards.size(), 2U);
  const ColumnsResult second = zyl_package::read_columns(shards[1]);
  EXPECT_TRUE(second.ok());
  const fs::path json = folder / "half-1.json";
  EXPECT_TRUE((zyl_package::write_columns(second.value(), json,
                                          zyl_package::ReportFormat::Json))
                  .ok());
  halves.first = contents_of(shards[0]);
  halves.second = contents_of(json);
  return halves;
}

// A pipe's data is gone once read: the span that a share of it needs, the
// query after it, the second pass an empty answer's notes take and every
// later question all answer from the one read, as the files would.
TEST(ProfileSet, PipesAreReadOnceHoweverManyPassesAQuestionTakes) {
  std::mt19937 rng(29);
  const fs::path folder = scratch("pipes");
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(::testing::Message() << "round " << round);
    const TwoHalves halves = two_halves(rng, folder);
    fs::remove(folder / "a");
    fs::remove(folder / "b");
    const PipeFeed a(folder / "a", halves.first);
    const PipeFeed b(folder / "b", halves.second);
    OpenOptions options;
    options.concatenate = true;
    const ProfileSet pipes = open_ok({a.path(), b.path()}, options);

    Query window;
    window.from_offset = Percentage{25, 1};
    window.to_offset = Percentage{805, 10};
    window.sample_limit = 7;
    Query empty = window;
    empty.kernel = "no such kernel";
    Query point;
    point.at_offset = Percentage{50, 1};
    point.group_by = GroupBy::Tile;
    for (const Query& q : {window, empty, point, varied_query(rng)}) {
      const Loaded<QueryAnswer> got = query(pipes, q);
      ASSERT_TRUE(got.ok()) << got.error().to_string();
      const Query asked = resolve_bounds(q, profile_span(halves.whole));
      const QueryReport expected = query(halves.whole, asked);
      EXPECT_TRUE(got.value().report == expected);
      EXPECT_EQ(got.value().notes,
                explain_query(halves.whole, asked, expected));
    }
    EXPECT_EQ(walk(pipes, window), walk(ProfileSet::of(halves.whole), window));
    const Loaded<DiffAnswer> compared =
        diff(pipes, ProfileSet::of(halves.whole), window, DiffOptions{});
    ASSERT_TRUE(compared.ok()) << compared.error().to_string();
    EXPECT_EQ(compared.value().report.changed_count, 0U);
  }
}

// The pipes kept take their share of the memory a read may use: a limit
// that lets each file be read alone refuses the second pipe once the first
// is kept, naming it, where the files, read one at a time, pass.
TEST(ProfileSet, PipesKeptCountAgainstTheMemoryLimit) {
  std::mt19937 rng(31);
  const fs::path folder = scratch("pipe_limit");
  const TwoHalves halves = two_halves(rng, folder);
  const fs::path json = folder / "whole.json";
  ASSERT_TRUE((zyl_package::write_columns(halves.whole, json,
                                          zyl_package::ReportFormat::Json))
                  .ok());
  const std::string bytes = contents_of(json);
  const ColumnsResult read = zyl_package::read_columns(json);
  ASSERT_TRUE(read.ok());
  std::uint64_t column_bytes = read.value().tiles.size_bytes() +
                               read.value().string_offsets.size_bytes() +
                               read.value().string_bytes.size_bytes() +
                               read.value().list_offsets.size_bytes() +
                               read.value().list_entries.size_bytes();
  zyl_package::for_each_sample_column([&](const auto& column) {
    column_bytes += (read.value().*column.column).size_bytes();
  });
  ASSERT_GT(column_bytes, 0U);
  OpenOptions options;
  options.concatenate = true;
  // Room for the whole file in memory and, but for one byte, its columns.
  options.limits.max_memory_bytes = bytes.size() + column_bytes - 1;

  const Loaded<QueryAnswer> files =
      query(open_ok({json, json}, options), Query{});
  ASSERT_TRUE(files.ok()) << files.error().to_string();
  EXPECT_EQ(files.value().report.sample_count, 2 * halves.whole.sample_count());

  const PipeFeed a(folder / "a", bytes);
  const PipeFeed b(folder / "b", bytes);
  const Loaded<QueryAnswer> pipes =
      query(open_ok({a.path(), b.path()}, options), Query{});
  ASSERT_FALSE(pipes.ok());
  EXPECT_EQ(pipes.error().file, b.path().string());
  EXPECT_NE(pipes.error().message.find("limit"), std::string::npos)
      << pipes.error().message;
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

// A set that keeps its files loaded reads each once: after one question
// the shards may vanish and the next questions still answer as before, on
// any thread.
TEST(ProfileSet, KeptShardsAnswerAfterTheFilesAreGone) {
  std::mt19937 rng(12);
  const fs::path folder = scratch("kept");
  const ProfileColumns columns = to_columns(varied_report(rng));
  const std::vector<fs::path> paths = write_shards(columns, folder / "p", 3);
  ASSERT_EQ(paths.size(), 3U);
  OpenOptions options;
  options.keep_loaded = true;
  const ProfileSet set = open_ok(paths, options);
  const Query q = varied_query(rng);
  const Loaded<QueryAnswer> before = query(set, q);
  ASSERT_TRUE(before.ok()) << before.error().to_string();
  for (const fs::path& path : paths) fs::remove(path);
  std::vector<std::thread> threads;
  std::vector<int> same(4, 0);
  for (std::size_t t = 0; t < same.size(); ++t) {
    threads.emplace_back([&, t] {
      const Loaded<QueryAnswer> after = query(set, q);
      same[t] = after.ok() && after.value().report == before.value().report;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(same, std::vector<int>(4, 1));
}

}  // namespace
}  // namespace zyl_profile
