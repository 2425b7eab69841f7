// Test-only random profiles and queries that reach every corner the query
// distinguishes, shared by the tests that compare two ways of answering.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "test_support.h"

namespace zyl_profile::testing {

// Strings drawn from small pools, so that filters and groups hit often; the
// placeholder names appear as real values, where they must merge with the
// groups they name.
constexpr std::array<std::string_view, 6> kKernels = {
    "", "a", "b", "ab", "(no kernel)", "matmul_0"};
constexpr std::array<std::string_view, 4> kOperations = {"", "op", "mop", "x"};
constexpr std::array<std::string_view, 3> kMetadataNames = {"block", "row", ""};
constexpr std::array<std::string_view, 4> kMetadataValues = {"0", "1",
                                                             "(missing)", ""};

template <typename T, std::size_t N>
inline std::string pick(std::mt19937& rng, const std::array<T, N>& pool) {
  return std::string(pool[rng() % N]);
}

// A report that reaches every corner the query distinguishes: no tiles,
// empty and repeated tiles, counter wraps between and inside samples,
// samples out of order, zero and huge durations, phases past 2^16,
// duplicate metadata names and the placeholder names as real strings. Now
// and then one tile is long enough to make the sample listing cut its
// candidate buffer.
inline ProfileReport varied_report(std::mt19937& rng) {
  constexpr std::array<std::uint64_t, 3> kClocks = {0, 1234567, 1330000000};
  ProfileReport report{kClocks[rng() % 3], {}};
  const std::uint32_t tiles = rng() % 9;
  const bool long_tile = rng() % 64 == 0;
  for (std::uint32_t t = 0; t < tiles; ++t) {
    TileProfile tile{
        rng() % 16 == 0 ? 4294967295U : static_cast<std::uint32_t>(rng() % 5),
        {}};
    std::uint32_t cycle = rng() % 2 == 0 ? 4294967000U + rng() % 600 : rng();
    const std::uint32_t count =
        long_tile && t == 0 ? 4400 : (rng() % 4 == 0 ? 0 : rng() % 24);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t length = (rng() % 6) * 3;
      if (rng() % 32 == 0) length = 4294967000U + rng() % 200;
      if (rng() % 32 == 0) cycle -= rng() % 50;  // out of order
      std::vector<ProfileMetadata> metadata;
      for (std::uint32_t m = rng() % 4; m > 0; --m) {
        metadata.push_back(
            {pick(rng, kMetadataNames), pick(rng, kMetadataValues)});
      }
      std::uint32_t phase = rng() % 4;
      if (rng() % 32 == 0) phase = 65534 + rng() % 4;
      CycleSample sample =
          make_sample(static_cast<ProfileStepKind>(rng() % 4), cycle,
                      cycle + length, pick(rng, kKernels), phase, rng() % 2,
                      std::move(metadata), pick(rng, kOperations));
      sample.step.local_index = rng() % 3;
      tile.samples.push_back(std::move(sample));
      cycle += (rng() % 6) * 2;
    }
    report.tiles.push_back(std::move(tile));
  }
  return report;
}

// A query with each filter present about one time in four to six, values
// chosen to hit, miss and sit on the edges of the timeline.
inline Query varied_query(std::mt19937& rng) {
  Query q;
  q.group_by = static_cast<GroupBy>(rng() % 6);
  q.sort_by = static_cast<SortBy>(rng() % 5);
  if (rng() % 4 == 0) q.kind = static_cast<StepKind>(rng() % 4);
  if (rng() % 5 == 0) q.kernel = rng() % 8 == 0 ? "zz" : pick(rng, kKernels);
  if (rng() % 5 == 0) {
    constexpr std::array<std::string_view, 5> kParts = {"", "o", "op", "mop",
                                                        "q"};
    q.operation_contains = pick(rng, kParts);
  }
  if (rng() % 5 == 0) {
    for (std::uint32_t i = 1 + rng() % 3; i > 0; --i) q.tiles.insert(rng() % 6);
  }
  if (rng() % 5 == 0) {
    for (std::uint32_t i = 1 + rng() % 3; i > 0; --i) {
      q.phases.insert(rng() % 8 == 0 ? 65536 : rng() % 5);
    }
  }
  if (rng() % 4 == 0) {
    for (std::uint32_t i = 1 + rng() % 2; i > 0; --i) {
      MetadataFilter filter{pick(rng, kMetadataNames), std::nullopt};
      if (rng() % 2 == 0) filter.value = pick(rng, kMetadataValues);
      q.metadata.push_back(std::move(filter));
    }
  }
  // Absent groups by the empty key; "none" is on no sample, so every sample
  // falls into "(missing)", which "row" also holds as a real value.
  constexpr std::array<std::string_view, 4> kKeys = {"block", "row", "",
                                                     "none"};
  if (rng() % 5 != 0) q.metadata_key = pick(rng, kKeys);
  if (rng() % 6 == 0) q.at_offset = rng() % 8 == 0 ? 4294967300U : rng() % 120;
  if (rng() % 6 == 0) q.from_offset = rng() % 120;
  if (rng() % 6 == 0) q.to_offset = rng() % 160;
  // Shares of the span, which the library resolves against the profile it
  // is asked of (2.5% is {25, 10}).
  if (rng() % 10 == 0) q.from_offset = Percentage{rng() % 1001, 10};
  if (rng() % 10 == 0) q.to_offset = Percentage{rng() % 121, 1};
  if (rng() % 12 == 0) q.at_offset = Percentage{rng() % 101, 1};
  if (rng() % 5 == 0) q.limit = rng() % 5;
  switch (rng() % 4) {
    case 0:
      q.sample_limit = rng() % 30;
      break;
    case 1:
      q.sample_limit = std::numeric_limits<std::size_t>::max();
      break;
    default:
      break;
  }
  return q;
}

}  // namespace zyl_profile::testing
