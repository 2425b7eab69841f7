// Many queries at once over one shared report: the query only reads its
// inputs, so threads mixing the sequential and the parallel entry points must
// each get exactly the single-threaded answer. Built on its own so that the
// tsan preset can compile just this test under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <latch>
#include <thread>
#include <vector>

#include "zyl_package/generate.h"
#include "zyl_profile/occupancy.h"
#include "zyl_profile/partial.h"
#include "zyl_profile/query.h"

namespace zyl_profile {
namespace {

constexpr unsigned kThreads = 4;
constexpr std::size_t kRoundsPerThread = 24;

// Queries that together walk every grouping, the filters, the sample list
// with its selection and the group limit.
std::vector<Query> varied_queries() {
  std::vector<Query> queries;
  for (const GroupBy group_by :
       {GroupBy::Kind, GroupBy::Kernel, GroupBy::Operation, GroupBy::Phase,
        GroupBy::Tile, GroupBy::Metadata}) {
    Query q;
    q.group_by = group_by;
    q.metadata_key = "block";
    queries.push_back(q);
  }
  Query listed;
  listed.sample_limit = 50;
  listed.limit = 5;
  listed.sort_by = SortBy::WorkCycles;
  queries.push_back(listed);

  Query filtered;
  filtered.kind = StepKind::Compute;
  filtered.phases = {1, 2, 3};
  filtered.tiles = {0, 5, 7, 11, 40};
  filtered.metadata = {MetadataFilter{"layer", std::nullopt}};
  filtered.sample_limit = 10;
  filtered.group_by = GroupBy::Tile;
  queries.push_back(filtered);

  Query window;
  window.from_offset = 1000;
  window.to_offset = 20000;
  window.operation_contains = "1";
  window.sort_by = SortBy::Name;
  window.sample_limit = 5000;  // beyond the matches: everything is listed
  queries.push_back(window);

  Query instant;
  instant.at_offset = 5000;
  instant.group_by = GroupBy::Phase;
  instant.sort_by = SortBy::MaximumCycles;
  queries.push_back(instant);
  return queries;
}

TEST(ConcurrentQueries, EveryResultEqualsTheSingleThreadedOne) {
  zyl_package::GenerateOptions options;
  options.tiles = 48;
  options.samples_per_tile = 120;
  options.kernels = 40;
  options.phases = 6;
  options.seed = 8;
  const ProfileReport report = zyl_package::generate_report(options);
  const std::vector<Query> queries = varied_queries();

  std::vector<QueryReport> expected;
  expected.reserve(queries.size());
  for (const Query& q : queries) expected.push_back(query(report, q));
  ASSERT_GT(expected.front().matched_sample_count, 0U);

  std::atomic<std::size_t> mismatches{0};
  std::atomic<std::size_t> runs{0};
  std::latch start(kThreads);
  {
    std::vector<std::jthread> workers;
    for (unsigned thread_idx = 0; thread_idx < kThreads; ++thread_idx) {
      workers.emplace_back([&, thread_idx] {
        start.arrive_and_wait();  // overlap the threads as much as possible
        for (std::size_t round = 0; round < kRoundsPerThread; ++round) {
          const std::size_t i = (thread_idx * 3 + round) % queries.size();
          // Rotate through the entry points: the sequential query, and the
          // parallel one with its own worker threads on top of ours.
          QueryReport result;
          switch ((thread_idx + round) % 3) {
            case 0:
              result = query(report, queries[i]);
              break;
            case 1:
              result = query(report, queries[i], ParallelOptions{2, 0});
              break;
            default:
              result = query(report, queries[i], ParallelOptions{3, 0});
              break;
          }
          if (!(result == expected[i])) ++mismatches;
          ++runs;
        }
      });
    }
  }
  EXPECT_EQ(runs.load(), kThreads * kRoundsPerThread);
  EXPECT_EQ(mismatches.load(), 0U);
}

// The partial and the occupancy run their own worker threads too: two
// callers at once, each on three threads, get the one-thread answers (the
// occupancy with its cells' kernels).
TEST(ConcurrentQueries, PartialsAndOccupancyOnThreadsEqualOneThread) {
  zyl_package::GenerateOptions options;
  options.tiles = 24;
  options.samples_per_tile = 200;
  options.seed = 9;
  const ProfileColumns columns =
      zyl_package::to_columns(zyl_package::generate_report(options));
  const std::vector<Query> queries = varied_queries();
  std::atomic<std::size_t> mismatches{0};
  {
    std::vector<std::jthread> callers;
    for (unsigned caller = 0; caller < 2; ++caller) {
      callers.emplace_back([&] {
        for (const Query& q : queries) {
          const ParallelOptions one{1, 0};
          const ParallelOptions three{3, 0};
          if (!(query_partial(columns, q, 0, three) ==
                query_partial(columns, q, 0, one))) {
            ++mismatches;
          }
          if (!(occupancy(columns, q, {5, 30, 3}, three) ==
                occupancy(columns, q, {5, 30, 3}, one))) {
            ++mismatches;
          }
        }
      });
    }
  }
  EXPECT_EQ(mismatches.load(), 0U);
}

}  // namespace
}  // namespace zyl_profile
