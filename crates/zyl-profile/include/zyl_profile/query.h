// The query library: the question (`Query`), the answer (`QueryReport`) and
// the operations that turn one profile report into the other.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zyl_package/profile_columns.h"
#include "zyl_package/profile_report.h"
#include "zyl_profile/percentage.h"

namespace zyl_profile {

using zyl_package::CycleSample;
using zyl_package::ProfileColumns;
using zyl_package::ProfileMetadata;
using zyl_package::ProfileReport;
using zyl_package::ProfileStep;
using zyl_package::ProfileStepKind;
using zyl_package::TileProfile;

// How matched samples are grouped.
enum class GroupBy : std::uint8_t {
  Kind = 0,
  Kernel = 1,
  Operation = 2,
  Phase = 3,
  Tile = 4,
  Metadata = 5,
};

// How groups are ordered in the report.
enum class SortBy : std::uint8_t {
  PhaseCycles = 0,
  WorkCycles = 1,
  MaximumCycles = 2,
  Samples = 3,
  Name = 4,
};

// The query-side step kind, one to one with `ProfileStepKind`.
enum class StepKind : std::uint8_t {
  Exchange = 0,
  Compute = 1,
  Synchronization = 2,
  Idle = 3,
};

// One metadata condition: an entry called `name` exists and, when `value` is
// present, has exactly that value.
struct MetadataFilter {
  std::string name;
  std::optional<std::string> value;

  bool operator==(const MetadataFilter&) const = default;
};

// A point on the normalised timeline: a number of cycles, or a share of the
// profile's span ("25%"), which becomes cycles only once the profile is
// known. Every operation that takes a `Query` resolves shares against the
// span of the profile it is given (resolve_bounds), so a front end passes
// "25%" through as it is. Converts implicitly from cycles, so
// `q.at_offset = 12` reads as it always did.
class TimeBound {
 public:
  constexpr TimeBound() = default;
  constexpr TimeBound(std::uint64_t cycles) : cycles_(cycles) {}  // NOLINT
  constexpr TimeBound(Percentage share)                           // NOLINT
      : share_(share), is_share_(true) {}

  // True when the bound is a share still to be resolved against a span.
  [[nodiscard]] constexpr bool is_share() const { return is_share_; }
  // The cycles of a bound given in cycles; 0 for a share (resolve first).
  [[nodiscard]] constexpr std::uint64_t cycles() const { return cycles_; }
  // The share of a bound given as one; {0, 1} for cycles.
  [[nodiscard]] constexpr const Percentage& share() const { return share_; }
  // Returns the cycles this bound stands for in a profile spanning `span`
  // cycles: the cycles themselves, or the share of `span` rounded down.
  [[nodiscard]] std::uint64_t in_cycles(std::uint64_t span) const {
    return is_share_ ? percent_of(share_, span) : cycles_;
  }

  bool operator==(const TimeBound&) const = default;

 private:
  std::uint64_t cycles_ = 0;
  Percentage share_;
  bool is_share_ = false;
};

// The question. `Query{}` matches every sample, groups by kernel, orders by
// phase cycles, keeps all groups and lists no samples.
struct Query {
  GroupBy group_by = GroupBy::Kernel;
  SortBy sort_by = SortBy::PhaseCycles;
  std::optional<StepKind> kind;                   // only this kind
  std::optional<std::string> kernel;              // exact kernel name
  std::optional<std::string> operation_contains;  // operation substring
  std::set<std::uint32_t> tiles;   // physical tiles to keep; empty keeps all
  std::set<std::uint32_t> phases;  // phases to keep; empty keeps all
  std::vector<MetadataFilter> metadata;     // all must hold
  std::optional<std::string> metadata_key;  // key for GroupBy::Metadata
  std::optional<TimeBound> at_offset;       // point on the tile's timeline
  std::optional<std::size_t> limit;         // most groups reported
  std::size_t sample_limit = 0;             // most samples listed
  // A window on the normalised timeline: a sample matches when its interval
  // [offset, offset + duration) meets [from_offset, to_offset). An absent
  // bound is open; with both absent the window keeps everything. A sample
  // of no length is an instant at its offset: a window containing that
  // offset matches it, while `at_offset` never does (nothing runs at an
  // instant). A window whose end is not after its start still matches the
  // samples that start before `to_offset` and run at `from_offset`.
  std::optional<TimeBound> from_offset;
  std::optional<TimeBound> to_offset;

  bool operator==(const Query&) const = default;
};

// A metadata pair copied into a listed sample.
struct MetadataEntry {
  std::string name;
  std::string value;

  bool operator==(const MetadataEntry&) const = default;
};

// One listed sample, owning copies of its strings.
struct SampleRecord {
  std::uint32_t physical_tile = 0;
  std::uint64_t offset = 0;    // cycles since the tile's first sample
  std::uint32_t duration = 0;  // cycles
  std::uint32_t phase = 0;
  std::uint32_t epoch = 0;
  std::string kind;  // display name, "compute" etc.
  std::string operation;
  std::string kernel;
  std::vector<MetadataEntry> metadata;  // every entry, in order

  bool operator==(const SampleRecord&) const = default;
};

// One group of matched samples.
struct GroupSummary {
  std::string name;
  std::map<std::string, std::string> dimensions;  // what defines the group
  std::size_t sample_count = 0;
  std::size_t tile_count = 0;      // distinct physical tiles
  std::size_t phase_count = 0;     // distinct (phase, epoch) pairs
  std::uint64_t phase_cycles = 0;  // sum over the pairs of the longest member
  double phase_ms = 0.0;
  std::uint64_t work_cycles = 0;      // sum of all member durations
  double average_active_tiles = 0.0;  // work_cycles / phase_cycles
  double mean_cycles = 0.0;
  std::uint32_t p50_cycles = 0;
  std::uint32_t p95_cycles = 0;
  std::uint32_t maximum_cycles = 0;
  std::uint64_t first_offset = 0;    // earliest member start
  std::uint64_t last_offset = 0;     // latest member end
  std::uint32_t minimum_cycles = 0;  // shortest member duration
  std::uint32_t p99_cycles = 0;      // 99th-percentile member duration
  // The group's share of the matched work: 100 * work_cycles / the
  // work_cycles of every matched group (before `limit` cuts the list), in
  // f64; 0 when nothing matched took a cycle. Sums to 100 over all groups.
  double work_percent = 0.0;

  bool operator==(const GroupSummary&) const = default;
};

// The answer; owns everything it holds and outlives the queried report.
struct QueryReport {
  std::uint64_t clock_hz = 0;  // echoed from the report
  std::size_t tile_count = 0;
  std::size_t sample_count = 0;  // matched or not
  std::size_t matched_sample_count = 0;
  std::uint64_t profile_span_cycles = 0;  // longest tile timeline
  double profile_span_ms = 0.0;
  // The durations of every matched sample, summed: what work_percent is of.
  std::uint64_t matched_work_cycles = 0;
  std::optional<std::uint64_t> at_offset;  // the query's, in cycles
  std::vector<GroupSummary> groups;        // ordered, cut to `limit`
  std::vector<SampleRecord> samples;       // longest first, `sample_limit`

  bool operator==(const QueryReport&) const = default;
};

// A group's name and the named properties that define it.
struct GroupKey {
  std::string name;
  std::map<std::string, std::string> dimensions;

  bool operator==(const GroupKey&) const = default;
};

// Dimension keys of the groupings.
inline constexpr std::string_view kPhaseKey = "phase";
inline constexpr std::string_view kEpochKey = "epoch";
inline constexpr std::string_view kPhysicalTileKey = "physicalTile";
inline constexpr std::string_view kMetadataKeyKey = "metadataKey";
inline constexpr std::string_view kMetadataValueKey = "metadataValue";
// Group names that stand for an absent value.
inline constexpr std::string_view kNoKernelName = "(no kernel)";
inline constexpr std::string_view kMissingName = "(missing)";

// True when a bound of `query` is a share of the span, which costs a pass
// over the profile to resolve.
[[nodiscard]] bool needs_span(const Query& query);

// Returns `query` with every bound in cycles: shares of `span`, the span of
// the profile the query is asked of (for shards, of all of them).
[[nodiscard]] Query resolve_bounds(Query query, std::uint64_t span);

// Returns the query-side kind of the sample's step.
[[nodiscard]] StepKind kind_of(const CycleSample& sample);

// Returns the display name of the sample's kind: "exchange", "compute",
// "synchronization" or "idle"; the text is a constant with static lifetime.
[[nodiscard]] std::string_view kind_name(const CycleSample& sample);

// Returns the display name of `kind`, as above.
[[nodiscard]] std::string_view kind_name(StepKind kind);

// Returns end_cycle - start_cycle modulo 2^32: the true length of a sample
// even when the counter wrapped in between; equal counters give 0.
[[nodiscard]] std::uint32_t duration(const CycleSample& sample);

// Returns true when the sample held by physical tile `tile`, starting at
// `offset` on its tile's timeline and lasting `sample_duration` cycles,
// passes every filter of `query`. Allocates nothing.
[[nodiscard]] bool matches_query(const Query& query, std::uint32_t tile,
                                 const CycleSample& sample,
                                 std::uint64_t offset,
                                 std::uint32_t sample_duration);

// Returns the group a matched sample falls into under `query.group_by`
// (reads `metadata_key` for GroupBy::Metadata, nothing else of the query).
[[nodiscard]] GroupKey group_key(const Query& query, std::uint32_t tile,
                                 const CycleSample& sample);

// Returns sorted[((size - 1) * percentage) / 100], the lower member when the
// rank falls between two, or 0 for an empty list. `sorted` must be ascending
// and `percentage` at most 100.
[[nodiscard]] std::uint32_t percentile(std::span<const std::uint32_t> sorted,
                                       std::size_t percentage);

// Returns `cycles` in milliseconds at `clock_hz` (multiplying by 1000 before
// dividing), or 0.0 when the clock is 0.
[[nodiscard]] double cycles_to_ms(std::uint64_t cycles, std::uint64_t clock_hz);

// Compares two groups for the report order: less means `left` goes first.
// The key chosen by `sort_by` decides (larger first, names ascending), then
// the smaller `first_offset`, then the name byte-wise.
[[nodiscard]] std::strong_ordering compare_groups(SortBy sort_by,
                                                  const GroupSummary& left,
                                                  const GroupSummary& right);

// Returns the listed form of a matched sample, copying its strings.
[[nodiscard]] SampleRecord sample_record(std::uint32_t tile,
                                         std::uint64_t offset,
                                         std::uint32_t duration,
                                         const CycleSample& sample);

// Returns the report for `query` over `report`. Borrows both only for the
// call, runs on the caller's thread and never fails.
[[nodiscard]] QueryReport query(const ProfileReport& report,
                                const Query& query);

// How many threads the parallel query may use.
struct ParallelOptions {
  unsigned threads = 0;  // 0 means the hardware's count
  // Fewer samples than this per thread are not worth starting a thread for;
  // the query then uses fewer threads, down to the caller's alone.
  std::size_t min_samples_per_thread = std::size_t{1} << 16;
};

// Returns exactly what query(report, query) returns, bit for bit, computed on
// up to `options.threads` threads over contiguous ranges of tiles.
[[nodiscard]] QueryReport query(const ProfileReport& report, const Query& query,
                                ParallelOptions options);

// Returns the report for `query` over a columnar profile: exactly what the
// record form of the same profile gives, bit for bit. Every query runs here;
// the record overloads convert their report first. The columns must be valid
// (readers and to_columns only make valid ones).
[[nodiscard]] QueryReport query(const ProfileColumns& columns,
                                const Query& query);

// As above, on up to `options.threads` threads; the same result.
[[nodiscard]] QueryReport query(const ProfileColumns& columns,
                                const Query& query, ParallelOptions options);

// Returns how many threads query(columns, query, options) runs on: the
// threads asked for (or the hardware's count), fewer when there are fewer
// tiles, or fewer samples than `min_samples_per_thread` for each; at least 1.
[[nodiscard]] unsigned query_threads(const ProfileColumns& columns,
                                     ParallelOptions options);

}  // namespace zyl_profile
