// Fuzzes the query: decodes a report and a query from the input, runs the
// sequential and the parallel query over records, over columns and over
// columns read back from a package, and checks every result against the
// invariants of a query result and against the reference model.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>

#include "fuzz_input.h"
#include "fuzz_profile_input.h"
#include "reference_query.h"
#include "zyl_package/profile_columns.h"
#include "zyl_package/report_io.h"
#include "zyl_package/report_package.h"
#include "zyl_profile/query.h"

namespace {

using zyl_fuzz::ByteReader;
using zyl_fuzz::decode_query;
using zyl_fuzz::decode_report;
using namespace zyl_profile;
using zyl_package::PackageWriteOptions;

// The invariants that hold for any result, whatever the report.
void check_invariants(const Query& q, const QueryReport& result) {
  FUZZ_CHECK(result.matched_sample_count <= result.sample_count);
  std::size_t grouped = 0;
  for (const GroupSummary& group : result.groups) {
    grouped += group.sample_count;
    FUZZ_CHECK(group.sample_count > 0);
    FUZZ_CHECK(group.tile_count >= 1 && group.tile_count <= group.sample_count);
    FUZZ_CHECK(group.phase_count >= 1 &&
               group.phase_count <= group.sample_count);
    FUZZ_CHECK(group.phase_cycles <= group.work_cycles);
    FUZZ_CHECK(group.minimum_cycles <= group.p50_cycles);
    FUZZ_CHECK(group.p50_cycles <= group.p95_cycles);
    FUZZ_CHECK(group.p95_cycles <= group.p99_cycles);
    FUZZ_CHECK(group.p99_cycles <= group.maximum_cycles);
    FUZZ_CHECK(group.maximum_cycles <= group.phase_cycles);
    FUZZ_CHECK(group.first_offset <= group.last_offset);
    FUZZ_CHECK(group.last_offset <= result.profile_span_cycles);
    FUZZ_CHECK(group.mean_cycles >= group.minimum_cycles &&
               group.mean_cycles <= group.maximum_cycles);
  }
  if (!q.limit) FUZZ_CHECK(grouped == result.matched_sample_count);
  FUZZ_CHECK(grouped <= result.matched_sample_count);
  if (q.limit) FUZZ_CHECK(result.groups.size() <= *q.limit);
  for (std::size_t i = 1; i < result.groups.size(); ++i) {
    FUZZ_CHECK(
        compare_groups(q.sort_by, result.groups[i - 1], result.groups[i]) < 0);
  }
  FUZZ_CHECK(result.samples.size() <= q.sample_limit);
  FUZZ_CHECK(result.samples.size() <= result.matched_sample_count);
  for (std::size_t i = 1; i < result.samples.size(); ++i) {
    const SampleRecord& left = result.samples[i - 1];
    const SampleRecord& right = result.samples[i];
    FUZZ_CHECK(std::tuple(right.duration, left.physical_tile, left.offset) <=
               std::tuple(left.duration, right.physical_tile, right.offset));
  }
}

// Encodes `columns` as a package, reads them back and checks the query over
// the read columns. Only columns that check_columns rejects (kinds outside
// the enumeration, invalid UTF-8) may fail to encode.
void check_package_round_trip(const ProfileColumns& columns, const Query& q,
                              const QueryReport& expected,
                              PackageWriteOptions options) {
  std::string bytes;
  if (!zyl_package::encode_columns_package(columns, bytes, options).ok()) {
    FUZZ_CHECK(!zyl_package::check_columns(columns).ok());
    return;
  }
  const zyl_package::ColumnsResult read =
      zyl_package::parse_columns(bytes, "fuzz");
  FUZZ_CHECK(read.ok());
  FUZZ_CHECK(query(read.value(), q) == expected);
  FUZZ_CHECK(query(read.value(), q, ParallelOptions{2, 0}) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  ByteReader in(data, size);
  const Query q = decode_query(in);
  const ProfileReport report = decode_report(in);
  // Read after the report, so inputs from before this byte existed decode
  // as they did and take the default package form.
  const std::uint8_t package_form = in.byte();

  const QueryReport sequential = query(report, q);
  check_invariants(q, sequential);
  FUZZ_CHECK(sequential == testing::reference_query(report, q));
  // A minimum of 0 samples per thread splits even the tiniest report, so the
  // parallel merge is what runs here rather than the sequential fallback.
  FUZZ_CHECK(query(report, q, ParallelOptions{2, 0}) == sequential);
  FUZZ_CHECK(query(report, q, ParallelOptions{3, 0}) == sequential);

  const ProfileColumns columns = zyl_package::to_columns(report);
  FUZZ_CHECK(query(columns, q) == sequential);
  PackageWriteOptions options;
  options.compress = (package_form & 1) != 0;
  options.version = (package_form & 2) != 0 ? 1 : 2;
  check_package_round_trip(columns, q, sequential, options);
  return 0;
}
