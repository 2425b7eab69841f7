// diff_results, query_for_diff and diff_profiles: joining two query results
// group by group, ordering and filtering the rows, and the regression check.
#include "zyl_profile/diff.h"

#include <algorithm>
#include <compare>
#include <string_view>
#include <utility>

namespace zyl_profile {
namespace {

// 128-bit products keep the threshold test and the relative order exact for
// any u64 counts.
__extension__ using Uint128 = unsigned __int128;

// True when `next` exceeds `base` by more than `limit` percent of `base`;
// any growth from 0 does.
bool grew_above(std::uint64_t base, std::uint64_t next,
                const Percentage& limit) {
  if (next <= base) return false;
  if (base == 0) return true;
  // (next - base) / base > units / (100 * scale)
  return Uint128{next - base} * 100 * limit.scale > Uint128{base} * limit.units;
}

CountChange count_change(std::uint64_t base, std::uint64_t next,
                         const std::optional<Percentage>& fail_above) {
  CountChange change;
  change.base = base;
  change.next = next;
  change.negative = next < base;
  change.magnitude = change.negative ? base - next : next - base;
  if (base != 0) {
    const double relative = static_cast<double>(change.magnitude) /
                            static_cast<double>(base) * 100.0;
    change.percent = change.negative ? -relative : relative;
  } else if (next == 0) {
    change.percent = 0.0;
  }
  change.regressed = fail_above && grew_above(base, next, *fail_above);
  return change;
}

RealChange real_change(double base, double next) {
  RealChange change;
  change.base = base;
  change.next = next;
  change.change = next - base;
  if (base != 0.0) {
    change.percent = change.change / base * 100.0;
  } else if (next == 0.0) {
    change.percent = 0.0;
  }
  return change;
}

const GroupSummary kAbsent{};  // an absent side counts as zeros

DiffRow join(const GroupSummary* base, const GroupSummary* next,
             const std::optional<Percentage>& fail_above) {
  const GroupSummary& b = base != nullptr ? *base : kAbsent;
  const GroupSummary& n = next != nullptr ? *next : kAbsent;
  DiffRow row;
  row.name = base != nullptr ? base->name : next->name;
  row.dimensions = base != nullptr ? base->dimensions : next->dimensions;
  row.phase_cycles = count_change(b.phase_cycles, n.phase_cycles, fail_above);
  row.work_cycles = count_change(b.work_cycles, n.work_cycles, std::nullopt);
  row.sample_count = count_change(b.sample_count, n.sample_count, std::nullopt);
  row.average_active_tiles =
      real_change(b.average_active_tiles, n.average_active_tiles);
  row.p95_cycles = count_change(b.p95_cycles, n.p95_cycles, std::nullopt);
  row.work_percent = real_change(b.work_percent, n.work_percent);
  if (base == nullptr) {
    row.status = DiffStatus::New;
  } else if (next == nullptr) {
    row.status = DiffStatus::Gone;
  } else {
    const bool same = b.phase_cycles == n.phase_cycles &&
                      b.work_cycles == n.work_cycles &&
                      b.sample_count == n.sample_count &&
                      b.average_active_tiles == n.average_active_tiles &&
                      b.p95_cycles == n.p95_cycles;
    row.status = same ? DiffStatus::Same : DiffStatus::Changed;
  }
  return row;
}

// Compares |change| / base of two phase-cycle changes; growth from 0 is
// larger than any finite ratio and equal to another such growth.
std::strong_ordering compare_relative(const CountChange& left,
                                      const CountChange& right) {
  const bool left_unbounded = left.base == 0 && left.magnitude != 0;
  const bool right_unbounded = right.base == 0 && right.magnitude != 0;
  if (left_unbounded || right_unbounded) {
    return left_unbounded <=> right_unbounded;
  }
  // A zero base here means no change at all: the ratio 0/1.
  const std::uint64_t left_base = left.base == 0 ? 1 : left.base;
  const std::uint64_t right_base = right.base == 0 ? 1 : right.base;
  return Uint128{left.magnitude} * right_base <=>
         Uint128{right.magnitude} * left_base;
}

// Less means `left` goes first: the larger change, then the name, then the
// dimensions (so two groups of one name still have a fixed order).
std::strong_ordering compare_rows(DiffOrder order, const DiffRow& left,
                                  const DiffRow& right) {
  const std::strong_ordering by_change =
      order == DiffOrder::RelativeChange
          ? compare_relative(right.phase_cycles, left.phase_cycles)
          : right.phase_cycles.magnitude <=> left.phase_cycles.magnitude;
  if (by_change != 0) return by_change;
  if (const auto by_name = left.name <=> right.name; by_name != 0) {
    return by_name;
  }
  return left.dimensions <=> right.dimensions;
}

bool shows(DiffShow show, const DiffRow& row) {
  const bool moved = row.phase_cycles.magnitude != 0;
  switch (show) {
    case DiffShow::Regressions:
      return row.status == DiffStatus::New ||
             (moved && !row.phase_cycles.negative);
    case DiffShow::Improvements:
      return row.status == DiffStatus::Gone ||
             (moved && row.phase_cycles.negative);
    case DiffShow::All:
      break;
  }
  return true;
}

}  // namespace

DiffReport diff_results(const QueryReport& base, const QueryReport& next,
                        const DiffOptions& options) {
  using Key =
      std::pair<std::string_view, const std::map<std::string, std::string>*>;
  const auto key_less = [](const Key& left, const Key& right) {
    if (const auto by_name = left.first <=> right.first; by_name != 0) {
      return by_name < 0;
    }
    return *left.second < *right.second;
  };
  std::map<Key, const GroupSummary*, decltype(key_less)> in_base(key_less);
  for (const GroupSummary& group : base.groups) {
    in_base.emplace(Key{group.name, &group.dimensions}, &group);
  }
  DiffReport diff;
  diff.fail_above = options.fail_above;
  diff.order = options.order;
  diff.show = options.show;
  diff.rows.reserve(base.groups.size() + next.groups.size());
  for (const GroupSummary& group : next.groups) {
    const auto found = in_base.find(Key{group.name, &group.dimensions});
    const GroupSummary* match = nullptr;
    if (found != in_base.end()) {
      match = found->second;
      in_base.erase(found);
    }
    diff.rows.push_back(join(match, &group, options.fail_above));
  }
  for (const auto& [key, group] : in_base) {
    diff.rows.push_back(join(group, nullptr, options.fail_above));
  }
  std::sort(diff.rows.begin(), diff.rows.end(),
            [order = options.order](const DiffRow& left, const DiffRow& right) {
              return compare_rows(order, left, right) < 0;
            });
  diff.group_count = diff.rows.size();
  for (const DiffRow& row : diff.rows) {
    if (row.phase_cycles.regressed) diff.regressed_groups.push_back(row.name);
    if (row.status != DiffStatus::Same) ++diff.changed_count;
  }
  std::erase_if(diff.rows, [show = options.show](const DiffRow& row) {
    return !shows(show, row);
  });
  diff.shown_count = diff.rows.size();
  if (options.limit && *options.limit < diff.rows.size()) {
    diff.rows.resize(*options.limit);
  }
  diff.profile_span_cycles = count_change(
      base.profile_span_cycles, next.profile_span_cycles, options.fail_above);
  diff.matched_sample_count = count_change(
      base.matched_sample_count, next.matched_sample_count, std::nullopt);
  return diff;
}

std::string_view status_name(DiffStatus status) {
  switch (status) {
    case DiffStatus::Changed:
      return "changed";
    case DiffStatus::New:
      return "new";
    case DiffStatus::Gone:
      return "gone";
    case DiffStatus::Same:
      break;
  }
  return "same";
}

Query comparison_query(Query query) {
  query.limit.reset();
  query.sample_limit = 0;
  return query;
}

QueryReport query_for_diff(const ProfileColumns& columns, Query query,
                           unsigned threads) {
  return zyl_profile::query(columns, comparison_query(std::move(query)),
                            ParallelOptions{threads});
}

DiffReport diff_profiles(const ProfileColumns& base, const ProfileColumns& next,
                         const Query& base_query, const Query& next_query,
                         const DiffOptions& options, unsigned threads) {
  return diff_results(query_for_diff(base, base_query, threads),
                      query_for_diff(next, next_query, threads), options);
}

}  // namespace zyl_profile
