// Grouping and group order: group_key, percentile, cycles_to_ms,
// compare_groups, the classes of a query's groups, and the table of one
// scan's group states.
#include "grouping.h"

#include <algorithm>
#include <limits>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "even_ranges.h"
#include "name_index.h"

namespace zyl_profile {
namespace {

std::string_view first_metadata_value(const ProfileStep& step,
                                      std::string_view key) {
  for (const ProfileMetadata& entry : step.metadata) {
    if (entry.name == key) return entry.value;
  }
  return kMissingName;
}

std::string_view kernel_group_name(std::string_view kernel) {
  return kernel.empty() ? kNoKernelName : kernel;
}

// The group keys, spelled once for the record and the column paths.
GroupKey named_group(std::string_view name) {
  GroupKey key;
  key.name = name;
  return key;
}

GroupKey phase_group(std::uint32_t phase, std::uint32_t epoch) {
  GroupKey key;
  key.name = "phase " + std::to_string(phase) + "/" + std::to_string(epoch);
  key.dimensions.emplace(kPhaseKey, std::to_string(phase));
  key.dimensions.emplace(kEpochKey, std::to_string(epoch));
  return key;
}

GroupKey tile_group(std::uint32_t tile) {
  GroupKey key;
  key.name = "tile " + std::to_string(tile);
  key.dimensions.emplace(kPhysicalTileKey, std::to_string(tile));
  return key;
}

GroupKey metadata_group(std::string_view metadata_key, std::string_view value) {
  GroupKey key;
  key.name = value;
  key.dimensions.emplace(kMetadataKeyKey, metadata_key);
  key.dimensions.emplace(kMetadataValueKey, value);
  return key;
}

std::strong_ordering compare_names(std::string_view left,
                                   std::string_view right) {
  // char_traits<char> compares as unsigned char: byte-wise UTF-8 order.
  return left.compare(right) <=> 0;
}

}  // namespace

GroupKey group_key(const Query& query, std::uint32_t tile,
                   const CycleSample& sample) {
  const ProfileStep& step = sample.step;
  switch (query.group_by) {
    case GroupBy::Kind:
      return named_group(kind_name(sample));
    case GroupBy::Kernel:
      return named_group(kernel_group_name(step.kernel));
    case GroupBy::Operation:
      return named_group(step.operation);
    case GroupBy::Phase:
      return phase_group(step.phase, step.epoch);
    case GroupBy::Tile:
      return tile_group(tile);
    case GroupBy::Metadata:
      break;
  }
  const std::string_view metadata_key =
      query.metadata_key ? std::string_view(*query.metadata_key) : "";
  return metadata_group(metadata_key, first_metadata_value(step, metadata_key));
}

std::uint32_t percentile(std::span<const std::uint32_t> sorted,
                         std::size_t percentage) {
  if (sorted.empty()) return 0;
  return sorted[detail::percentile_rank(sorted.size(), percentage)];
}

double cycles_to_ms(std::uint64_t cycles, std::uint64_t clock_hz) {
  if (clock_hz == 0) return 0.0;
  // Multiply first: 49 cycles at 3 Hz give 16333.333333333334, dividing
  // first would give 16333.333333333332.
  return static_cast<double>(cycles) * 1000.0 / static_cast<double>(clock_hz);
}

std::strong_ordering compare_groups(SortBy sort_by, const GroupSummary& left,
                                    const GroupSummary& right) {
  std::strong_ordering primary = std::strong_ordering::equal;
  // "Larger first" is the same comparison with the sides swapped.
  switch (sort_by) {
    case SortBy::PhaseCycles:
      primary = right.phase_cycles <=> left.phase_cycles;
      break;
    case SortBy::WorkCycles:
      primary = right.work_cycles <=> left.work_cycles;
      break;
    case SortBy::MaximumCycles:
      primary = right.maximum_cycles <=> left.maximum_cycles;
      break;
    case SortBy::Samples:
      primary = right.sample_count <=> left.sample_count;
      break;
    case SortBy::Name:
      primary = compare_names(left.name, right.name);
      break;
  }
  if (primary != 0) return primary;
  if (const auto by_offset = left.first_offset <=> right.first_offset;
      by_offset != 0) {
    return by_offset;
  }
  return compare_names(left.name, right.name);
}

namespace detail {
GroupClasses::GroupClasses(const ProfileColumns& columns, const Query& query)
    : by_(query.group_by) {
  if (query.metadata_key) metadata_key_ = *query.metadata_key;
  NameIndex index;
  // Gives `name` its class: the class of an equal name seen before, or a
  // new one.
  const auto class_of = [&](std::string_view name) {
    const auto [position, inserted] = index.find_or_insert(name, names_.size());
    if (inserted) names_.push_back(name);
    return static_cast<std::uint32_t>(position);
  };
  switch (by_) {
    case GroupBy::Kind:
      for (std::uint8_t kind = 0; kind < 4; ++kind) {
        names_.push_back(kind_name(static_cast<StepKind>(kind)));
      }
      break;
    case GroupBy::Kernel:
    case GroupBy::Operation:
      of_id_.resize(columns.string_count());
      for (std::uint32_t id = 0; id < of_id_.size(); ++id) {
        const std::string_view text = columns.string(id);
        of_id_[id] =
            class_of(by_ == GroupBy::Kernel ? kernel_group_name(text) : text);
      }
      break;
    case GroupBy::Metadata:
      of_id_.resize(columns.list_count());
      for (std::uint32_t id = 0; id < of_id_.size(); ++id) {
        std::string_view value = kMissingName;
        for (const zyl_package::MetadataPair& entry : columns.list(id)) {
          if (columns.string(entry.name) == metadata_key_) {
            value = columns.string(entry.value);
            break;
          }
        }
        of_id_[id] = class_of(value);
      }
      break;
    case GroupBy::Tile: {
      std::unordered_map<std::uint32_t, std::uint32_t> by_number;
      of_id_.resize(columns.tiles.size());
      for (std::size_t i = 0; i < of_id_.size(); ++i) {
        const std::uint32_t number = columns.tiles[i].physical_tile;
        const auto [it, inserted] = by_number.try_emplace(
            number, static_cast<std::uint32_t>(tile_numbers_.size()));
        if (inserted) {
          tile_numbers_.push_back(number);
          names_.emplace_back();
        }
        of_id_[i] = it->second;
      }
      break;
    }
    case GroupBy::Phase:
      break;
  }
}

GroupKey GroupClasses::key(std::uint64_t key) const {
  switch (by_) {
    case GroupBy::Phase:
      return phase_group(static_cast<std::uint32_t>(key >> 32),
                         static_cast<std::uint32_t>(key));
    case GroupBy::Tile:
      return tile_group(tile_numbers_[key]);
    case GroupBy::Metadata:
      return metadata_group(metadata_key_, names_[key]);
    case GroupBy::Kind:
    case GroupBy::Kernel:
    case GroupBy::Operation:
      break;
  }
  return named_group(names_[key]);
}

GroupTable::GroupTable(const GroupClasses& classes, const PhaseLayout& layout,
                       const Query& query, std::size_t expected_samples,
                       std::size_t profile_samples)
    // Room for the durations and, at worst, one tile run per sample.
    : classes_(classes),
      layout_(layout),
      query_(query),
      first_placing_(profile_samples <=
                             std::numeric_limits<std::uint32_t>::max()
                         ? GroupState::kFirstPlacing
                         : GroupState::kNeverPlace),
      arena_(2 * expected_samples),
      by_class_(classes.count(), kNone) {
  if (layout.pairs != 0) {
    phase_rows_ = std::make_unique_for_overwrite<std::uint64_t[]>(
        classes.count() * layout.pairs);
  }
}

std::uint32_t GroupTable::create(std::uint64_t key, std::uint64_t offset) {
  const auto index = static_cast<std::uint32_t>(groups_.size());
  GroupState& group = groups_.emplace_back();
  group.key = key;
  group.first_offset = offset;
  group.next_placing = first_placing_;
  if (layout_.pairs != 0) {
    group.phase_row = phase_rows_.get() + std::size_t{index} * layout_.pairs;
    std::fill_n(group.phase_row, layout_.pairs, 0);
  }
  return index;
}

void GroupTable::merge(GroupTable&& later) {
  // The later groups' lists live in its arena: keep its blocks alive here.
  arena_.adopt(std::move(later.arena_));
  has_last_ = false;
  const bool by_phase = query_.group_by == GroupBy::Phase;
  for (GroupState& group : later.groups_) {
    std::uint32_t* index = nullptr;
    if (by_phase) {
      index = &by_key_.try_emplace(group.key, kNone).first->second;
    } else {
      index = &by_class_[group.key];
    }
    if (*index == kNone) {
      *index = create(group.key, group.first_offset);
    }
    groups_[*index].combine(std::move(group), layout_, arena_);
  }
}

namespace {

// Calls `work(begin, end, scratch)` for contiguous ranges of `groups` of
// about equal settling cost, on up to `threads` threads, the caller's among
// them; each range has its own scratch.
template <typename Work>
void split_groups(const std::vector<GroupState>& groups,
                  const PhaseLayout& layout, unsigned threads, Work&& work) {
  const auto run = [&](std::size_t begin, std::size_t end) {
    const std::span<const GroupState> range(groups.data() + begin,
                                            groups.data() + end);
    GroupScratch scratch(range, layout);
    work(begin, end, scratch);
  };
  if (threads <= 1 || groups.size() < 2) {
    run(std::size_t{0}, groups.size());
    return;
  }
  std::size_t total = 0;
  for (const GroupState& group : groups) total += settle_cost(group);
  const std::vector<std::size_t> bounds = detail::even_ranges(
      0, groups.size(), threads, total,
      [&](std::size_t i) { return settle_cost(groups[i]); });
  std::vector<std::jthread> workers;
  for (std::size_t range = 1; range + 1 < bounds.size(); ++range) {
    workers.emplace_back(run, bounds[range], bounds[range + 1]);
  }
  run(bounds[0], bounds[1]);
}

}  // namespace

std::vector<GroupSummary> GroupTable::summaries(std::uint64_t clock_hz,
                                                unsigned threads) && {
  std::vector<GroupSummary> result(groups_.size());
  split_groups(groups_, layout_, threads,
               [&](std::size_t begin, std::size_t end, GroupScratch& scratch) {
                 for (std::size_t i = begin; i < end; ++i) {
                   GroupState& group = groups_[i];
                   result[i] = std::move(group).finish(
                       classes_.key(group.key), layout_, clock_hz, scratch);
                 }
               });
  groups_.clear();
  return result;
}

std::vector<PartialGroup> GroupTable::partials(unsigned threads) && {
  std::vector<PartialGroup> result(groups_.size());
  split_groups(groups_, layout_, threads,
               [&](std::size_t begin, std::size_t end, GroupScratch& scratch) {
                 for (std::size_t i = begin; i < end; ++i) {
                   GroupState& group = groups_[i];
                   GroupKey key = classes_.key(group.key);
                   result[i].name = std::move(key.name);
                   result[i].dimensions = std::move(key.dimensions);
                   std::move(group).to_partial(result[i], layout_, scratch);
                 }
               });
  groups_.clear();
  std::sort(result.begin(), result.end(),
            [](const PartialGroup& left, const PartialGroup& right) {
              return compare_names(left.name, right.name) < 0;
            });
  return result;
}

std::uint64_t finish_groups(std::vector<GroupSummary>& groups, SortBy sort_by,
                            std::optional<std::size_t> limit) {
  // At most 2^32 samples of at most 2^32 - 1 cycles each: the sum fits.
  std::uint64_t total = 0;
  for (const GroupSummary& group : groups) total += group.work_cycles;
  if (total != 0) {
    const auto all = static_cast<double>(total);
    for (GroupSummary& group : groups) {
      group.work_percent = 100.0 * static_cast<double>(group.work_cycles) / all;
    }
  }
  const auto goes_first = [sort_by](const GroupSummary& l,
                                    const GroupSummary& r) {
    return compare_groups(sort_by, l, r) < 0;
  };
  // The order is total (names are unique), so a partial sort of the kept
  // prefix gives the same list as sorting everything and cutting.
  if (limit && *limit < groups.size()) {
    const auto kept = static_cast<std::ptrdiff_t>(*limit);
    std::partial_sort(groups.begin(), groups.begin() + kept, groups.end(),
                      goes_first);
    groups.resize(*limit);
  } else {
    std::sort(groups.begin(), groups.end(), goes_first);
  }
  return total;
}

}  // namespace detail
}  // namespace zyl_profile
