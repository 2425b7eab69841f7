// Counts heap allocations made by one query, to show that they depend on the
// groups and the listed samples only, never on how many samples were scanned;
// and the bytes reading a crafted partial asks for, to show that a count
// cannot make the reader allocate beyond what its bytes hold.
// Its own executable: it replaces the global operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "partial_bytes_test_support.h"
#include "test_support.h"
#include "zyl_profile/partial.h"
#include "zyl_profile/query.h"

namespace {

std::atomic<std::size_t> allocations{0};
std::atomic<std::size_t> allocated_bytes{0};

}  // namespace

// None of the three is inlined: g++ would otherwise see std::malloc or
// std::free meet operator new or delete in their callers, and warn of a
// mismatch (-Wmismatched-new-delete).
[[gnu::noinline]] void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  allocated_bytes.fetch_add(size, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace zyl_profile {
namespace {

// Every (tile, kernel, phase, block) combination appears at both sizes, so
// the two reports have the same groups with the same members' properties.
ProfileReport cyclic_report(std::uint32_t samples_per_tile) {
  ProfileReport report{1000000000, {}};
  for (std::uint32_t tile = 0; tile < 8; ++tile) {
    TileProfile profile{tile * 3, {}};
    std::uint32_t cycle = 4294960000U;  // wraps early on every tile
    for (std::uint32_t i = 0; i < samples_per_tile; ++i) {
      // Every property is a function of i % 60, so each tile holds every
      // combination within its first 60 samples.
      const std::uint32_t j = i % 60;
      const std::uint32_t length = 1 + (i * 37 + tile) % 500;
      profile.samples.push_back(testing::make_sample(
          static_cast<ProfileStepKind>(j % 4), cycle, cycle + length,
          "kernel number " + std::to_string(j % 6), j % 5, j / 30,
          {{"block", std::to_string(j % 3)}, {"layer", "l"}},
          "operation number " + std::to_string(j % 4)));
      cycle += length + 1;
    }
    report.tiles.push_back(std::move(profile));
  }
  return report;
}

std::size_t allocations_of(const ProfileReport& report, const Query& q) {
  const std::size_t before = allocations.load();
  const QueryReport result = query(report, q);
  EXPECT_GT(result.matched_sample_count, 0U);
  return allocations.load() - before;
}

TEST(QueryAllocations, DependOnGroupsAndListedSamplesOnly) {
  const ProfileReport small = cyclic_report(125);
  const ProfileReport large = cyclic_report(12500);
  std::vector<Query> queries(6);
  queries[1].group_by = GroupBy::Tile;
  queries[2].group_by = GroupBy::Metadata;
  queries[2].metadata_key = "block";
  queries[2].kind = StepKind::Compute;
  queries[3].group_by = GroupBy::Phase;
  queries[4].at_offset = 3000;
  queries[4].sample_limit = 10;
  queries[5].sample_limit = 1000;
  queries[5].group_by = GroupBy::Operation;
  for (std::size_t i = 0; i < queries.size(); ++i) {
    EXPECT_EQ(allocations_of(small, queries[i]),
              allocations_of(large, queries[i]))
        << "query " << i;
  }
}

// Each count claims as many elements as could fit if each took 12 bytes,
// more than any element needs at the least, so the claim passes the count
// check, and the reader goes on to read elements that are not there (the
// bytes after the partial's own never end a number). Reserving for the
// claim would ask for ten and more times the bytes.
TEST(PartialBytesAllocations, CraftedCountsAskForNoMoreThanTheBytes) {
  const std::string body = testing::without_checksum(
      serialise_partial(testing::craftable_partial()));
  const testing::CountPlaces at = testing::count_places(body);
  constexpr std::size_t kFiller = 10'000'000;
  for (const std::size_t place :
       {at.query_tiles, at.query_conditions, at.groups, at.dimensions,
        at.group_tiles, at.phase_pairs, at.durations, at.samples,
        at.sample_metadata}) {
    const std::size_t left = body.size() - place - 1 + kFiller;
    const std::string bytes =
        testing::with_count(body, place, left / 12, kFiller, '\xff');
    const std::size_t before = allocated_bytes.load();
    const auto parsed = parse_partial(bytes);
    const std::size_t asked = allocated_bytes.load() - before;
    EXPECT_FALSE(parsed.ok()) << place;
    EXPECT_LE(asked, 2 * bytes.size()) << "count at byte " << place;
  }
}

}  // namespace
}  // namespace zyl_profile
