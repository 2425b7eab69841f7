// Tests of the group state: states from scans (with phase rows, hash-table
// pairs, duration windows that join or do not) and states read from
// partials combine into the same summary and the same partial whatever the
// order, and that summary is what a plain list of the members gives.
#include "group_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "zyl_profile/query.h"

namespace zyl_profile::detail {
namespace {

struct Member {
  std::uint32_t tile = 0;
  std::uint32_t phase = 0;
  std::uint32_t epoch = 0;
  std::uint64_t offset = 0;
  std::uint32_t duration = 0;
};

// The members of one group split four ways: two scans with windows far
// apart (they cannot join), a short scan whose pairs fall in and outside
// the row, and a partial.
class FourStates {
 public:
  FourStates() {
    layout_.phases = 2;
    layout_.epochs = 2;
    layout_.pairs = 4;
    scans_.push_back({{3, 0, 1, 100, 10},
                      {3, 0, 1, 120, 30},
                      {3, 1, 0, 200, 20},
                      {4, 5, 0, 50, 7}});
    std::vector<Member> near;
    std::vector<Member> far;
    for (std::uint32_t i = 0; i < 40; ++i) {
      near.push_back({9, 1, 1, 1000 + 10ULL * i, 1000 + i % 7});
      far.push_back({11, 0, 0, 3000 + 10ULL * i, 200000 + i % 5});
    }
    near.push_back({9, 1, 1, 2000, 900000});
    // Below the window once it is placed, and too far from it to widen it:
    // the ranks of some sets fall among these loose values.
    for (std::uint32_t i = 0; i < 60; ++i) {
      near.push_back({10, 1, 1, 2100 + 10ULL * i, 3 + i % 4});
    }
    scans_.push_back(near);
    scans_.push_back(far);
    settled_.tiles = {3, 7};
    settled_.phases = {{0, 1, 35}, {5, 0, 2}, {9, 9, 4}};
    settled_.durations = {{10, 1}, {1003, 2}, {5000000, 1}};
    settled_.work_cycles = 10 + 2 * 1003 + 5000000;
    settled_.first_offset = 40;
    settled_.last_offset = 5000100;
  }

  [[nodiscard]] const PhaseLayout& layout() const { return layout_; }
  [[nodiscard]] ChunkArena& arena() { return arena_; }

  // Returns a fresh state of part `part` (0 to 3); 3 is the partial.
  GroupState make(std::size_t part) {
    if (part == 3) return GroupState::from_partial(PartialGroup(settled_));
    std::vector<std::uint64_t>& row = rows_.emplace_back(layout_.pairs, 0);
    GroupState state;
    state.phase_row = row.data();
    state.first_offset = scans_[part].front().offset;
    for (const Member& m : scans_[part]) {
      state.add<GroupState::Phases::RowOrTable>(m.tile, m.phase, m.epoch,
                                                layout_.pair(m.phase, m.epoch),
                                                m.offset, m.duration, arena_);
    }
    return state;
  }

  // The summary a plain list of the members of `chosen` parts gives.
  [[nodiscard]] GroupSummary expected(
      const std::vector<std::size_t>& chosen) const {
    std::vector<std::uint32_t> durations;
    std::set<std::uint32_t> tiles;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> longest;
    GroupSummary summary;
    summary.first_offset = ~std::uint64_t{0};
    for (const std::size_t part : chosen) {
      if (part == 3) {
        for (const DurationCount& entry : settled_.durations) {
          durations.insert(durations.end(), entry.count, entry.cycles);
        }
        tiles.insert(settled_.tiles.begin(), settled_.tiles.end());
        for (const PhaseLongest& pair : settled_.phases) {
          std::uint32_t& cycles = longest[{pair.phase, pair.epoch}];
          cycles = std::max(cycles, pair.cycles);
        }
        summary.work_cycles += settled_.work_cycles;
        summary.first_offset =
            std::min(summary.first_offset, settled_.first_offset);
        summary.last_offset =
            std::max(summary.last_offset, settled_.last_offset);
        continue;
      }
      for (const Member& m : scans_[part]) {
        durations.push_back(m.duration);
        tiles.insert(m.tile);
        std::uint32_t& cycles = longest[{m.phase, m.epoch}];
        cycles = std::max(cycles, m.duration);
        summary.work_cycles += m.duration;
        summary.first_offset = std::min(summary.first_offset, m.offset);
        summary.last_offset =
            std::max(summary.last_offset, m.offset + m.duration);
      }
    }
    std::sort(durations.begin(), durations.end());
    summary.sample_count = durations.size();
    summary.tile_count = tiles.size();
    summary.phase_count = longest.size();
    for (const auto& [pair, cycles] : longest) summary.phase_cycles += cycles;
    summary.phase_ms = cycles_to_ms(summary.phase_cycles, kClockHz);
    summary.average_active_tiles = static_cast<double>(summary.work_cycles) /
                                   static_cast<double>(summary.phase_cycles);
    summary.mean_cycles = static_cast<double>(summary.work_cycles) /
                          static_cast<double>(summary.sample_count);
    summary.p50_cycles = percentile(durations, 50);
    summary.p95_cycles = percentile(durations, 95);
    summary.p99_cycles = percentile(durations, 99);
    summary.minimum_cycles = durations.front();
    summary.maximum_cycles = durations.back();
    return summary;
  }

  static constexpr std::uint64_t kClockHz = 1000000;

 private:
  PhaseLayout layout_;
  ChunkArena arena_{1024};
  std::deque<std::vector<std::uint64_t>> rows_;  // stay put as they grow
  std::vector<std::vector<Member>> scans_;
  PartialGroup settled_;
};

// Every set of the four parts, in every order, folded one after another
// (as thread ranges are) and in two halves (as partials merge in a tree).
TEST(GroupState, CombinesScannedAndSettledStatesAlikeInAnyOrder) {
  FourStates parts;
  const PhaseLayout settled_layout;
  GroupScratch scratch;
  const auto fold = [&](std::span<const std::size_t> order) {
    GroupState state = parts.make(order[0]);
    for (const std::size_t part : order.subspan(1)) {
      state.combine(parts.make(part), parts.layout(), parts.arena());
    }
    return state;
  };
  for (unsigned set = 1; set < 16; ++set) {
    std::vector<std::size_t> order;
    for (std::size_t part = 0; part < 4; ++part) {
      if ((set >> part) & 1U) order.push_back(part);
    }
    const GroupSummary expected = parts.expected(order);
    std::optional<PartialGroup> first_partial;
    do {
      SCOPED_TRACE(::testing::PrintToString(order));
      EXPECT_EQ(fold(order).finish(GroupKey{}, parts.layout(),
                                   FourStates::kClockHz, scratch),
                expected);
      const std::span<const std::size_t> all(order);
      GroupState halves = fold(all.first((order.size() + 1) / 2));
      if (order.size() > 1) {
        halves.combine(fold(all.subspan((order.size() + 1) / 2)),
                       parts.layout(), parts.arena());
      }
      PartialGroup partial;
      std::move(halves).to_partial(partial, parts.layout(), scratch);
      if (!first_partial) first_partial = partial;
      EXPECT_EQ(partial, *first_partial);
      // Through its partial form, a state finishes the same.
      EXPECT_EQ(GroupState::from_partial(std::move(partial))
                    .finish(GroupKey{}, settled_layout, FourStates::kClockHz,
                            scratch),
                expected);
    } while (std::next_permutation(order.begin(), order.end()));
  }
}

// Checks what a summary says of its members' durations against the sorted
// list of them.
void expect_durations_of(const GroupSummary& summary,
                         std::vector<std::uint32_t> durations) {
  std::sort(durations.begin(), durations.end());
  EXPECT_EQ(summary.sample_count, durations.size());
  EXPECT_EQ(summary.minimum_cycles, durations.front());
  EXPECT_EQ(summary.maximum_cycles, durations.back());
  EXPECT_EQ(summary.p50_cycles, percentile(durations, 50));
  EXPECT_EQ(summary.p95_cycles, percentile(durations, 95));
  EXPECT_EQ(summary.p99_cycles, percentile(durations, 99));
}

// One scanned group per shape of its durations, each read its own way by
// the summary: a window with no loose values, loose values only above it,
// only below it, on both sides, and loose values alone (too wide for any
// counts). Grouped by phase, the group is its pair, and the longest member
// is the pair's cycles. Each must give what the sorted list gives.
TEST(GroupState, LooseValuesOnEitherSideOfTheCountsSummariseAsTheSortedList) {
  std::vector<std::uint32_t> narrow;
  for (std::uint32_t i = 0; i < 200; ++i) narrow.push_back(1000 + i % 11);
  std::vector<std::uint32_t> wide;
  for (std::uint32_t i = 0; i < 300; ++i) wide.push_back(7 + (i * 997) % 50000);
  const std::vector<std::uint32_t> high = {52000, 90000, 71000};
  const std::vector<std::uint32_t> low = {4, 2, 9};
  const auto joined =
      [](std::initializer_list<std::vector<std::uint32_t>> parts) {
        std::vector<std::uint32_t> all;
        for (const auto& part : parts)
          all.insert(all.end(), part.begin(), part.end());
        return all;
      };
  // The narrow members come first, so the window is placed before the
  // outliers arrive, and they stay loose; the outliers first keep every
  // value loose.
  const std::vector<std::vector<std::uint32_t>> shapes = {
      narrow,
      joined({narrow, high}),
      joined({narrow, low}),
      joined({narrow, high, low}),
      joined({high, low, narrow}),
      wide,
  };
  PhaseLayout by_phase;
  by_phase.one_pair_per_group = true;
  GroupScratch scratch;
  for (std::size_t shape = 0; shape < shapes.size(); ++shape) {
    SCOPED_TRACE(shape);
    const std::vector<std::uint32_t>& durations = shapes[shape];
    ChunkArena arena(1024);
    GroupState state;
    state.key = (std::uint64_t{3} << 32) | 1;
    std::uint64_t offset = 0;
    for (const std::uint32_t duration : durations) {
      state.add<GroupState::Phases::None>(5, 3, 1, 0, offset, duration, arena);
      offset += duration;
    }
    const GroupSummary summary =
        std::move(state).finish(GroupKey{}, by_phase, 1000, scratch);
    expect_durations_of(summary, durations);
    EXPECT_EQ(summary.phase_count, 1U);
    EXPECT_EQ(summary.phase_cycles,
              *std::max_element(durations.begin(), durations.end()));
  }
}

// Many loose values, the ranks of a summary are found by counting them
// into bins first: spread values, values all in one bin but for an outlier,
// the widest range a duration has, sizes either side of where counting
// starts, and loose parts below and above a window large enough to be
// counted themselves. Each must give what the sorted list gives.
TEST(GroupState, RanksAmongManyLooseValuesAreThoseOfTheSortedList) {
  std::uint64_t seed = 12345;
  const auto next = [&seed](std::uint32_t bound) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>((seed >> 33) % bound);
  };
  const auto spread = [&](std::size_t count, std::uint32_t base,
                          std::uint32_t range) {
    std::vector<std::uint32_t> values;
    for (std::size_t i = 0; i < count; ++i) {
      values.push_back(base + next(range));
    }
    return values;
  };
  std::vector<std::vector<std::uint32_t>> shapes;
  for (const std::size_t count : {127, 128, 129, 1000, 5000}) {
    shapes.push_back(spread(count, 5, 100000));
    // Durations clustered low with a long tail, as a tile's kernels are.
    std::vector<std::uint32_t> tailed = spread(count, 1000, 2000);
    for (std::size_t i = 0; i < count / 20; ++i) tailed[i] = 20000 + next(9);
    shapes.push_back(tailed);
    // All but one in the first bin: selected among nearly all of them.
    std::vector<std::uint32_t> one_bin = spread(count, 100, 3);
    one_bin.back() = 4000000000U;
    shapes.push_back(one_bin);
    // The widest range, and values repeated across the ranks' bins.
    std::vector<std::uint32_t> widest = spread(count, 0, 4);
    widest.front() = 0xffffffffU;
    widest[1] = 0;
    for (std::size_t i = 2; i < count; i += 3) widest[i] = 0xfffffff0U;
    shapes.push_back(widest);
  }
  // A window placed over the first members, then loose values below and
  // above it, too few to move it and enough to be counted: the ranks fall
  // among the counts or among either loose part as the sizes vary.
  for (const std::size_t below : {0, 200, 1500}) {
    for (const std::size_t above : {0, 150, 1200}) {
      std::vector<std::uint32_t> values = spread(2000, 50000, 16);
      const std::vector<std::uint32_t> low = spread(below, 1, 40000);
      const std::vector<std::uint32_t> high = spread(above, 60000, 900000);
      values.insert(values.end(), low.begin(), low.end());
      values.insert(values.end(), high.begin(), high.end());
      shapes.push_back(values);
    }
  }
  const PhaseLayout no_row;
  for (std::size_t shape = 0; shape < shapes.size(); ++shape) {
    SCOPED_TRACE(shape);
    const std::vector<std::uint32_t>& durations = shapes[shape];
    ChunkArena arena(1024);
    GroupState state;
    for (const std::uint32_t duration : durations) {
      state.add<GroupState::Phases::None>(1, 0, 0, 0, 0, duration, arena);
    }
    GroupScratch scratch(std::span<const GroupState>(&state, 1), no_row);
    const GroupSummary summary =
        std::move(state).finish(GroupKey{}, no_row, 1000, scratch);
    expect_durations_of(summary, durations);
  }
}

}  // namespace
}  // namespace zyl_profile::detail
