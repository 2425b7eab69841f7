// Tests of partial results: shards of random profiles, cut anywhere, merged
// in any order and through their bytes, answer as the whole profile does;
// merges that must not happen are refused; and bytes that are not a
// partial are rejected with the place of the fault: damaged ones by the
// checksum, crafted ones (with a good checksum) by the reader's own checks.
#include "zyl_profile/partial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "partial_bytes_test_support.h"
#include "random_cases.h"
#include "zyl_package/shards.h"
#include "zyl_profile/scan.h"

namespace zyl_profile {
namespace {

using testing::count_places;
using testing::craftable_partial;
using testing::varied_query;
using testing::varied_report;
using testing::with_checksum;
using testing::with_count;
using testing::without_checksum;
using zyl_package::tile_range;
using zyl_package::to_columns;

PartialResult through_bytes(const PartialResult& partial) {
  const std::string bytes = serialise_partial(partial);
  auto parsed = parse_partial(bytes);
  if (!parsed.ok()) {
    ADD_FAILURE() << parsed.error().message;
    return partial;
  }
  return std::move(parsed).value();
}

// The partials of `columns` cut at random tile boundaries (empty shards
// included), each shard's made on 1 or 2 threads.
std::vector<PartialResult> random_shards(const ProfileColumns& columns,
                                         const Query& query,
                                         std::mt19937& rng) {
  const std::size_t tiles = columns.tiles.size();
  std::vector<std::size_t> cuts{0, tiles};
  for (std::uint32_t n = rng() % 4; n > 0; --n) {
    cuts.push_back(rng() % (tiles + 1));
  }
  std::sort(cuts.begin(), cuts.end());
  std::vector<PartialResult> partials;
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    const ProfileColumns shard = tile_range(columns, cuts[i], cuts[i + 1]);
    partials.push_back(query_partial(
        shard, query, i,
        ParallelOptions{static_cast<unsigned>(1 + rng() % 2), 0}));
  }
  return partials;
}

// Merges the partials in a random order, sometimes into a running total and
// sometimes pairwise in a tree.
PartialResult merge_shuffled(std::vector<PartialResult> partials,
                             std::mt19937& rng) {
  std::shuffle(partials.begin(), partials.end(), rng);
  while (partials.size() > 1) {
    const std::size_t into = rng() % (partials.size() - 1);
    PartialResult other = std::move(partials.back());
    partials.pop_back();
    const auto error = merge_partial(partials[into], std::move(other));
    EXPECT_TRUE(error.ok()) << error.error().message;
  }
  return std::move(partials.front());
}

TEST(ShardedQuery, EqualsTheWholeProfileOnRandomCutsAndMergeOrders) {
  std::mt19937 rng(11);
  for (int round = 0; round < 800; ++round) {
    const ProfileColumns columns = to_columns(varied_report(rng));
    for (int i = 0; i < 3; ++i) {
      const Query asked = varied_query(rng);
      SCOPED_TRACE("round " + std::to_string(round) + " query " +
                   std::to_string(i));
      // A shard alone would take a share of its own span: shards of one
      // profile are asked in the whole profile's cycles.
      const Query q = resolve_bounds(asked, profile_span(columns));
      std::vector<PartialResult> partials = random_shards(columns, q, rng);
      for (PartialResult& partial : partials) {
        PartialResult read = through_bytes(partial);
        ASSERT_TRUE(read == partial) << "bytes did not read back equal";
        partial = std::move(read);
      }
      const QueryReport expected = query(columns, asked);
      ASSERT_TRUE(finish_partial(merge_shuffled(partials, rng)) == expected);
      // The whole profile as one shard, too.
      ASSERT_TRUE(finish_partial(query_partial(columns, q, 0)) == expected);
    }
  }
}

// Long tiles, so the scan counts durations in windows (and spreads windows
// that do not join back into values) before the partials are made.
TEST(ShardedQuery, GroupsWithCountedDurationsMergeExactly) {
  std::mt19937 rng(5);
  ProfileReport report{1330000000, {}};
  for (std::uint32_t t = 0; t < 6; ++t) {
    TileProfile tile{t % 4, {}};
    std::uint32_t cycle = 4294960000U;  // wraps on the way
    for (int i = 0; i < 30000; ++i) {
      // Narrow ranges per kernel on most tiles, far apart on tile 5, and
      // now and then a duration far from its kernel's range.
      std::uint32_t length = 100 + rng() % 50 + (t == 5 ? 200000 : 0);
      if (rng() % 1000 == 0) length = rng() % 3000000;
      const std::string kernel = rng() % 3 == 0 ? "gemm" : "norm";
      tile.samples.push_back(
          testing::make_sample(static_cast<ProfileStepKind>(rng() % 4), cycle,
                               cycle + length, kernel, i / 100, rng() % 2));
      cycle += length + rng() % 5;
    }
    report.tiles.push_back(std::move(tile));
  }
  const ProfileColumns columns = to_columns(report);
  for (const GroupBy by :
       {GroupBy::Kernel, GroupBy::Kind, GroupBy::Tile, GroupBy::Phase}) {
    Query q;
    q.group_by = by;
    q.sample_limit = 25;
    SCOPED_TRACE(static_cast<int>(by));
    std::vector<PartialResult> partials;
    const std::size_t cuts[] = {0, 1, 4, 6};
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
      partials.push_back(
          through_bytes(query_partial(tile_range(columns, cuts[i], cuts[i + 1]),
                                      q, i, ParallelOptions{2, 0})));
    }
    ASSERT_TRUE(finish_partial(merge_shuffled(partials, rng)) ==
                query(columns, q, ParallelOptions{2, 0}));
  }
}

// Durations spread over the whole 32-bit range: no window or histogram can
// count them, so each shard sorts thousands of values per group.
TEST(ShardedQuery, GroupsOfWideDurationsMergeExactly) {
  std::mt19937 rng(6);
  ProfileReport report{1000000, {}};
  for (std::uint32_t t = 0; t < 4; ++t) {
    TileProfile tile{t, {}};
    std::uint32_t cycle = rng();
    for (int i = 0; i < 3000; ++i) {
      const std::uint32_t length = rng() >> (rng() % 8);
      tile.samples.push_back(
          testing::make_sample(ProfileStepKind::Compute, cycle, cycle + length,
                               i % 2 == 0 ? "even" : "odd", i % 7, 0));
      cycle += 1 + rng() % 100;
    }
    report.tiles.push_back(std::move(tile));
  }
  const ProfileColumns columns = to_columns(report);
  for (const GroupBy by : {GroupBy::Kernel, GroupBy::Kind, GroupBy::Tile}) {
    Query q;
    q.group_by = by;
    q.sample_limit = 5;
    std::vector<PartialResult> partials;
    const std::size_t cuts[] = {0, 1, 3, 4};
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
      partials.push_back(through_bytes(
          query_partial(tile_range(columns, cuts[i], cuts[i + 1]), q, i)));
    }
    ASSERT_TRUE(finish_partial(merge_shuffled(partials, rng)) ==
                query(columns, q))
        << static_cast<int>(by);
  }
}

TEST(ShardedQuery, RefusesMergesThatWouldMiscount) {
  std::mt19937 rng(3);
  ProfileReport report = varied_report(rng);
  report.tiles.push_back(TileProfile{1, {testing::timed(0, 5)}});
  const ProfileColumns columns = to_columns(report);
  const PartialResult first = query_partial(columns, Query{}, 0);

  Query other_query;
  other_query.group_by = GroupBy::Tile;
  ProfileReport other_clock = report;
  other_clock.clock_hz += 1;
  struct Row {
    const char* name;
    PartialResult other;
    const char* expected;
  } rows[] = {
      {"another query", query_partial(columns, other_query, 1),
       "different queries"},
      {"another clock", query_partial(to_columns(other_clock), Query{}, 1),
       "disagree on the clock"},
      {"the same position", query_partial(columns, Query{}, 0),
       "shard position 0 is in both"},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    PartialResult into = first;
    const auto error = merge_partial(into, std::move(row.other));
    ASSERT_FALSE(error.ok());
    EXPECT_NE(error.error().message.find(row.expected), std::string::npos)
        << error.error().message;
    EXPECT_TRUE(into == first) << "a refused merge changed the partial";
  }
}

std::string error_of(std::string_view bytes) {
  const auto parsed = parse_partial(bytes);
  return parsed.ok() ? "(parsed)" : parsed.error().message;
}

TEST(PartialBytes, FaultsAreRejectedWithTheirPlace) {
  std::mt19937 rng(8);
  ProfileReport report = varied_report(rng);
  report.tiles.push_back(
      TileProfile{2,
                  {testing::make_sample(ProfileStepKind::Compute, 10, 50, "k",
                                        1, 0, {{"block", "7"}})}});
  Query q;
  q.sample_limit = 3;
  q.metadata.push_back(MetadataFilter{"block", std::nullopt});
  const std::string bytes =
      serialise_partial(query_partial(to_columns(report), q, 4));
  const std::string body = without_checksum(bytes);
  const std::string checksum_at = "byte " + std::to_string(body.size());

  // Every cut short of the end is refused, at or before the cut.
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    const std::string message = error_of(bytes.substr(0, size));
    ASSERT_EQ(message.rfind("partial result: byte ", 0), 0U)
        << "cut at " << size << ": " << message;
  }
  struct Row {
    std::string bytes;
    std::string expected;
  } rows[] = {
      {"ZYLPARTX" + bytes.substr(8), "byte 0: not a partial result"},
      // Bytes of the version before the checksum, and of a later one.
      {bytes.substr(0, 8) + '\x01' + bytes.substr(9),
       "byte 8: version 1 is not readable by this build (it reads version "
       "2)"},
      {bytes.substr(0, 8) + '\x03' + bytes.substr(9),
       "byte 8: version 3 is not readable"},
      {bytes.substr(0, 16), "byte 9: the bytes end before the checksum"},
      {bytes.substr(0, bytes.size() - 1), "checksum mismatch"},
      {body + bytes.substr(body.size() + 1) + '\0',
       checksum_at + ": checksum mismatch"},
      {bytes + '\0', "checksum mismatch"},
      // Crafted, with a good checksum: bytes past the fields.
      {with_checksum(body + '\0'),
       checksum_at + ": bytes follow the end of the partial"},
      // A grouping past the last one.
      {with_checksum(body.substr(0, 9) + '\x09' + body.substr(10)),
       "byte 9: the query's grouping is 9, more than 5"},
      // A varint that never ends.
      {with_checksum(body.substr(0, 9) + std::string(12, '\xff')),
       "the query's grouping does not fit in 64 bits"},
  };
  for (const Row& row : rows) {
    EXPECT_NE(error_of(row.bytes).find(row.expected), std::string::npos)
        << error_of(row.bytes);
  }
}

// A count far larger than the bytes that follow must not make the reader
// reserve memory for it, and random damage must never crash the reader:
// damage is refused by the checksum, and damage given a good checksum
// reaches the fields.
TEST(PartialBytes, CorruptBytesNeverCrashOrOverAllocate) {
  std::mt19937 rng(21);
  const ProfileColumns columns = to_columns(varied_report(rng));
  Query q;
  q.sample_limit = 10;
  const std::string bytes = serialise_partial(query_partial(columns, q, 0));
  const std::string body = without_checksum(bytes);
  const std::size_t groups_at = body.size() / 2;
  std::string huge = body.substr(0, groups_at);
  huge += "\xff\xff\xff\xff\xff\xff\xff\xff\x7f";
  EXPECT_NE(error_of(with_checksum(huge)), "(parsed)");
  for (int i = 0; i < 3000; ++i) {
    std::string damaged = bytes;
    for (std::uint32_t n = 1 + rng() % 3; n > 0; --n) {
      damaged[rng() % damaged.size()] = static_cast<char>(rng());
    }
    if (i % 2 == 0) {
      if (damaged != bytes) {
        EXPECT_NE(error_of(damaged).find("partial result: byte "),
                  std::string::npos);
      }
      continue;
    }
    const auto parsed = parse_partial(with_checksum(without_checksum(damaged)));
    if (parsed.ok()) {
      // Whatever reads back must still finish without fault.
      (void)finish_partial(PartialResult(parsed.value()));
    }
  }
}

// Flips each bit of `bytes` (or `flips` random ones, when not zero) and
// expects each flip refused: in the mark or the version by their own checks,
// anywhere after them by the checksum, at the checksum's place.
void expect_every_flip_refused(const std::string& bytes, std::size_t flips,
                               std::mt19937& rng) {
  const std::string mismatch =
      "byte " + std::to_string(bytes.size() - testing::kPartialChecksumSize) +
      ": checksum mismatch";
  const std::size_t bits = bytes.size() * 8;
  for (std::size_t i = 0; i < (flips == 0 ? bits : flips); ++i) {
    const std::size_t bit = flips == 0 ? i : rng() % bits;
    std::string flipped = bytes;
    flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
    const std::string message = error_of(flipped);
    // Byte 8 is the version, one byte.
    if (bit / 8 > 8) {
      ASSERT_NE(message.find(mismatch), std::string::npos)
          << "bit " << bit << ": " << message;
    } else {
      ASSERT_EQ(message.rfind("partial result: byte ", 0), 0U)
          << "bit " << bit << ": " << message;
    }
  }
}

TEST(PartialBytes, EverySingleBitFlipIsRefused) {
  std::mt19937 rng(14);
  ProfileReport small{1000, {TileProfile{1, {testing::timed(0, 5)}}}};
  Query q;
  q.sample_limit = 1;
  const std::string small_bytes =
      serialise_partial(query_partial(to_columns(small), q, 0));
  expect_every_flip_refused(small_bytes, 0, rng);

  const ProfileColumns columns = to_columns(varied_report(rng));
  q.group_by = GroupBy::Tile;
  q.sample_limit = 60;
  const std::string bytes = serialise_partial(query_partial(columns, q, 3));
  ASSERT_GT(bytes.size(), 1000U);
  expect_every_flip_refused(bytes, 4000, rng);
}

// Counts crafted to claim more elements than the bytes hold, each with a
// good checksum, at every count the reader reads: each is refused at its
// own place, as an error and never an exception, whatever the bytes left.
TEST(PartialBytes, CraftedCountsAreRefusedAtTheirPlace) {
  const PartialResult partial = craftable_partial();
  const std::string bytes = serialise_partial(partial);
  ASSERT_TRUE(through_bytes(partial) == partial);
  const std::string body = without_checksum(bytes);
  const testing::CountPlaces at = count_places(body);
  struct Row {
    std::size_t at;
    int holds;  // the count there, to show the place is right
    const char* what;
  } rows[] = {
      {at.query_kernel_length, 12, "the query's kernel"},
      {at.query_tiles, 0, "the query's tiles"},
      {at.query_phases, 0, "the query's phases"},
      {at.query_conditions, 1, "the query's metadata conditions"},
      {at.condition_name_length, 9, "a metadata condition's name"},
      {at.shards, 1, "the shard positions"},
      {at.groups, 1, "the groups"},
      {at.group_name_length, 10, "a group's name"},
      {at.dimensions, 1, "a group's dimensions"},
      {at.dimension_value_length, 15, "a group's dimension"},
      {at.group_tiles, 1, "a group's tiles"},
      {at.phase_pairs, 1, "a group's phase pairs"},
      {at.durations, 1, "a group's durations"},
      {at.samples, 1, "the listed samples"},
      {at.sample_kernel_length, 13, "a listed sample's kernel"},
      {at.sample_metadata, 1, "a listed sample's metadata"},
      {at.entry_name_length, 10, "a metadata entry"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(body[row.at], row.holds);
    // A set of 2^60 values written as differences, a string of 2^60 bytes:
    // refused at the count, before any element is read.
    const std::uint64_t huge = std::uint64_t{1} << 60;
    std::string message;
    EXPECT_NO_THROW(message = error_of(with_count(body, row.at, huge, 4096)));
    EXPECT_EQ(message.rfind("partial result: byte " + std::to_string(row.at) +
                                ": " + row.what + " count " +
                                std::to_string(huge) + " but only ",
                            0),
              0U)
        << message;
    // As many as the bytes left: past what fits for all but one-byte
    // elements, and for those the elements read then fail.
    const std::size_t left = body.size() - row.at - 1 + 4096;
    EXPECT_NO_THROW(message = error_of(with_count(body, row.at, left, 4096)));
    EXPECT_EQ(message.rfind("partial result: byte ", 0), 0U) << message;
  }
}

// 100 MB of bytes that claim almost a byte per group or listed sample:
// fewer elements than bytes, but more than the bytes can hold. An error at
// the count, not an allocation of gigabytes for the claim.
TEST(PartialBytes, AHugeCountInAHundredMegabytesIsAnError) {
  const std::string body =
      without_checksum(serialise_partial(craftable_partial()));
  const testing::CountPlaces at = count_places(body);
  constexpr std::size_t kFiller = 100'000'000;
  for (const std::size_t place : {at.groups, at.samples}) {
    std::string message;
    EXPECT_NO_THROW(message =
                        error_of(with_count(body, place, 99'000'000, kFiller)));
    EXPECT_EQ(message.rfind(
                  "partial result: byte " + std::to_string(place) + ": ", 0),
              0U)
        << message;
    EXPECT_NE(message.find(" count 99000000 but only "), std::string::npos)
        << message;
  }
}

}  // namespace
}  // namespace zyl_profile
