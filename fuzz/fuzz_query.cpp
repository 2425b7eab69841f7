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
#include "reference_query.h"
#include "zyl_package/profile_columns.h"
#include "zyl_package/report_io.h"
#include "zyl_package/report_package.h"
#include "zyl_profile/query.h"

namespace {

using zyl_fuzz::ByteReader;
using namespace zyl_profile;
using zyl_package::PackageWriteOptions;

// A tile this long makes the candidate list cut its buffer (it keeps 4096
// candidates beyond the limit before selecting), which short tiles never
// reach. One such tile per report keeps the runs fast.
constexpr std::size_t kLongTileSamples = 4400;

Query decode_query(ByteReader& in) {
  Query q;
  const std::uint8_t flags = in.byte();
  const std::uint8_t lists = in.byte();
  q.group_by = static_cast<GroupBy>(in.byte() % 6);
  q.sort_by = static_cast<SortBy>(in.byte() % 5);
  // 4 is outside the enumeration: it must match nothing, not misbehave.
  if ((flags & 0x01) != 0) q.kind = static_cast<StepKind>(in.byte() % 5);
  if ((flags & 0x02) != 0) q.kernel = in.text();
  if ((flags & 0x04) != 0) q.operation_contains = in.text();
  if ((flags & 0x08) != 0) q.at_offset = in.number();
  if ((flags & 0x10) != 0) q.limit = in.number();
  if ((flags & 0x20) != 0) q.from_offset = in.number();
  if ((flags & 0x40) != 0) q.to_offset = in.number();
  if ((flags & 0x80) != 0) q.metadata_key = in.text();
  for (int i = lists % 4; i > 0; --i) {
    q.tiles.insert(static_cast<std::uint32_t>(in.number()));
  }
  for (int i = (lists >> 2) % 4; i > 0; --i) {
    q.phases.insert(static_cast<std::uint32_t>(in.number()));
  }
  for (int i = (lists >> 4) % 3; i > 0; --i) {
    MetadataFilter filter;
    filter.name = in.text();
    if ((in.byte() & 1) != 0) filter.value = in.text();
    q.metadata.push_back(std::move(filter));
  }
  if ((lists & 0x40) != 0) q.sample_limit = in.number();
  return q;
}

CycleSample decode_sample(ByteReader& in, std::uint32_t& previous_end) {
  CycleSample sample;
  const std::uint8_t mode = in.byte();
  sample.start_cycle =
      (mode & 0x01) != 0
          ? in.u32()
          : previous_end + static_cast<std::uint32_t>(in.byte() % 4);
  std::uint32_t length = 0;
  switch ((mode >> 1) % 4) {
    case 0:
      length = in.byte();
      break;
    case 1:
      length = in.u16();
      break;
    case 2:
      length = in.u32();  // an arbitrary end: a wrap or a huge duration
      break;
    default:
      break;  // zero length
  }
  sample.end_cycle = sample.start_cycle + length;
  previous_end = sample.end_cycle;
  ProfileStep& step = sample.step;
  step.phase = (mode & 0x10) != 0 ? static_cast<std::uint32_t>(in.number())
                                  : in.byte() % 3;
  step.epoch = (mode & 0x20) != 0 ? in.u32() : in.byte() % 2;
  step.local_index = in.byte();
  // A kind byte outside the enumeration is reachable only through a cast but
  // must still read as a valid kind.
  step.kind = static_cast<zyl_package::ProfileStepKind>(in.byte() % 5);
  step.operation = in.text();
  step.kernel = in.text();
  for (int i = (mode >> 6) % 4; i > 0; --i) {
    ProfileMetadata entry;
    entry.name = in.text();
    entry.value = in.text();
    step.metadata.push_back(std::move(entry));
  }
  return sample;
}

ProfileReport decode_report(ByteReader& in) {
  ProfileReport report;
  report.clock_hz = in.number();
  const std::size_t tile_count = in.byte() % 7;
  bool made_long_tile = false;
  for (std::size_t tile_idx = 0; tile_idx < tile_count; ++tile_idx) {
    TileProfile tile;
    const std::uint8_t header = in.byte();
    // Few distinct tile numbers, so that repeated tiles are common.
    tile.physical_tile = (header & 0x80) != 0
                             ? static_cast<std::uint32_t>(in.number())
                             : header % 4;
    std::uint32_t previous_end = in.u32();
    const std::size_t decoded = in.byte() % 9;
    for (std::size_t i = 0; i < decoded; ++i) {
      tile.samples.push_back(decode_sample(in, previous_end));
    }
    if ((header & 0x40) != 0 && !tile.samples.empty() && !made_long_tile) {
      made_long_tile = true;
      // Repeat the pattern further along the timeline: many equal durations
      // exercise every tie-break of the sample order.
      for (std::size_t i = decoded; i < kLongTileSamples; ++i) {
        CycleSample copy = tile.samples[i % decoded];
        const std::uint32_t length = duration(copy);
        copy.start_cycle = previous_end + static_cast<std::uint32_t>(i % 3);
        copy.end_cycle = copy.start_cycle + length;
        previous_end = copy.end_cycle;
        tile.samples.push_back(std::move(copy));
      }
    }
    report.tiles.push_back(std::move(tile));
  }
  return report;
}

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
