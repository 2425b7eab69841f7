// The synthetic report generator. Every random choice comes from xoshiro256**
// seeded through splitmix64 and every distribution is integer arithmetic of
// our own, so a seed gives the same report with any compiler and library.
#include "zyl_package/generate.h"

#include <algorithm>
#include <array>
#include <cmath>  // std::llround
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sample_values.h"

namespace zyl_package {
namespace {

constexpr std::uint64_t kPhaseSalt = 0x7068617365735f31ULL;
constexpr std::uint64_t kKernelSalt = 0x6b65726e656c5f31ULL;
constexpr std::uint64_t kTileSalt = 0x74696c65735f5f31ULL;
constexpr std::uint64_t kLayoutSalt = 0x6c61796f75745f31ULL;
constexpr std::uint64_t kStepSalt = 0x7375706572737431ULL;
constexpr std::uint64_t kStepPhaseSalt = 0x6273705f70686131ULL;
constexpr std::uint64_t kExchangeSalt = 0x65786368616e6731ULL;

constexpr std::string_view kBlockName = "block";
constexpr std::string_view kLayerName = "layer";

// Kernels a phase mostly runs; the samples at one position of a phase run
// the same palette entry on every tile, which puts kernels side by side.
constexpr std::size_t kPaletteSize = 12;
// One in this many tiles starts its counter just below 2^32 so it wraps
// within the profile; the others start anywhere and may wrap too.
constexpr std::uint32_t kWrapTileEvery = 8;

std::uint64_t splitmix64(std::uint64_t& state) {
  state += 0x9e3779b97f4a7c15ULL;
  std::uint64_t z = state;
  z = (z ^ (z >> 30U)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27U)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31U);
}

std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
  std::uint64_t state = a ^ (b * 0xd1342543de82ef95ULL);
  return splitmix64(state);
}

// xoshiro256**: fast, small state, and fully specified.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) {
    for (auto& word : state_) word = splitmix64(seed);
  }

  std::uint64_t next() {
    const std::uint64_t result = rotl(state_[1] * 5U, 7) * 9U;
    const std::uint64_t t = state_[1] << 17U;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
  }

  // Returns a value in [0, bound), 0 when bound is 0. Multiply-shift on the
  // top 32 bits: its bias is below bound / 2^32, far under anything a
  // synthetic profile could show, and it needs no loop.
  std::uint32_t below(std::uint32_t bound) {
    return static_cast<std::uint32_t>(((next() >> 32U) * bound) >> 32U);
  }

  std::uint32_t next32() { return static_cast<std::uint32_t>(next() >> 32U); }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
  }
  std::array<std::uint64_t, 4> state_{};
};

// Draws indices 0..n-1 with weight proportional to 1/(index+1).
class Zipf {
 public:
  explicit Zipf(std::uint32_t n) {
    cumulative_.reserve(n);
    std::uint64_t sum = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
      sum += (std::uint64_t{1} << 24U) / (std::uint64_t{i} + 1) + 1;
      cumulative_.push_back(sum);
    }
  }

  std::uint32_t draw(Rng& rng) const {
    if (cumulative_.empty()) return 0;
    const std::uint64_t r = rng.next() % cumulative_.back();
    const auto it = std::upper_bound(cumulative_.begin(), cumulative_.end(), r);
    return static_cast<std::uint32_t>(it - cumulative_.begin());
  }

 private:
  std::vector<std::uint64_t> cumulative_;
};

constexpr std::array<std::string_view, 16> kKernelFamilies = {
    "matmul", "conv",  "softmax", "layernorm", "gelu", "add",
    "reduce", "trans", "gather",  "scatter",   "copy", "mul",
    "relu",   "drop",  "embed",   "attn"};
constexpr std::array<std::string_view, 3> kPasses = {"fwd", "bwd", "opt"};
constexpr std::array<std::string_view, 6> kParts = {"attn",  "mlp",  "norm",
                                                    "embed", "loss", "proj"};

// Names short enough for the small-string buffer, so copying one into a
// sample never allocates.
std::vector<std::string> kernel_names(std::uint32_t count) {
  std::vector<std::string> names;
  names.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    names.push_back(std::string(kKernelFamilies[i % kKernelFamilies.size()]) +
                    "_" + std::to_string(i));
  }
  return names;
}

std::vector<std::string> operation_names(std::uint32_t count) {
  std::vector<std::string> names;
  names.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    names.push_back(std::string(kPasses[i % kPasses.size()]) + "." +
                    std::string(kParts[(i / kPasses.size()) % kParts.size()]) +
                    "." + std::to_string(i));
  }
  return names;
}

// How many samples each tile gets: weights with a few empty and some short
// tiles, scaled so the counts add up to exactly `total`.
std::vector<std::uint64_t> tile_counts(std::uint64_t seed, std::uint32_t tiles,
                                       std::uint64_t total) {
  std::vector<std::uint64_t> counts(tiles, 0);
  if (tiles == 0) return counts;
  Rng rng(mix(seed, kLayoutSalt));
  std::vector<std::uint64_t> weights(tiles, 0);
  std::uint64_t weight_sum = 0;
  for (std::uint32_t i = 0; i < tiles; ++i) {
    const std::uint32_t roll = rng.below(128);
    // Small reports keep all their tiles busy, so no tile list is all empty.
    if (roll == 0 && tiles >= 16) {
      weights[i] = 0;
    } else if (roll < 9) {
      weights[i] = 10 + rng.below(30);
    } else {
      weights[i] = 60 + rng.below(81);
    }
    weight_sum += weights[i];
  }
  // total = q * W + r; splitting keeps every product far below 2^64.
  const std::uint64_t q = total / weight_sum;
  const std::uint64_t r = total % weight_sum;
  std::uint64_t assigned = 0;
  for (std::uint32_t i = 0; i < tiles; ++i) {
    counts[i] = q * weights[i] + r * weights[i] / weight_sum;
    assigned += counts[i];
  }
  // Each tile lost less than one sample to rounding, so one more per busy
  // tile in order closes the gap.
  for (std::uint32_t i = 0; i < tiles && assigned < total; ++i) {
    if (weights[i] == 0) continue;
    ++counts[i];
    ++assigned;
  }
  return counts;
}

struct Tables {
  std::vector<std::string> kernels;
  std::vector<std::string> operations;
  std::vector<std::uint32_t> kernel_cycles;  // typical duration per kernel
  Zipf zipf;
};

// What every tile does in one phase; derived from the seed and the phase
// number alone, so all tiles agree on it.
struct PhasePlan {
  std::array<std::uint32_t, kPaletteSize> palette{};
  std::uint32_t operation_base = 0;
  std::string layer;
  std::array<std::string, 4> blocks;
};

void plan_phase(std::uint64_t seed, std::uint32_t phase, const Tables& tables,
                PhasePlan& plan) {
  Rng rng(mix(seed ^ kPhaseSalt, phase));
  for (auto& kernel : plan.palette) kernel = tables.zipf.draw(rng);
  plan.operation_base =
      rng.below(static_cast<std::uint32_t>(tables.operations.size()));
  plan.layer = std::to_string(phase / 2);
  for (std::size_t i = 0; i < plan.blocks.size(); ++i) {
    plan.blocks[i] = std::to_string(std::uint64_t{phase % 8} * 4 + i);
  }
}

// Produces one tile's samples in order, reusing `sample` for each visit.
void generate_tile(const GenerateOptions& options, std::uint32_t phases,
                   std::uint32_t epochs, const Tables& tables,
                   std::uint32_t tile_idx, std::uint64_t count,
                   GeneratedReportVisitor& visitor) {
  visitor.begin_tile(tile_idx, count);
  if (count == 0) return;
  Rng rng(mix(options.seed ^ kTileSalt, tile_idx));

  std::uint32_t cycle = rng.next32();
  if (tile_idx % kWrapTileEvery == kWrapTileEvery / 2) {
    // Start this tile's counter within reach of the top so it wraps while
    // the tile runs: about 1000 cycles pass per sample.
    const std::uint64_t reach =
        std::min<std::uint64_t>(count * 1000, std::uint64_t{1} << 31U);
    cycle =
        std::uint32_t{0} - (1 + rng.below(static_cast<std::uint32_t>(reach)));
  }

  const bool have_kernels = !tables.kernels.empty();
  const bool have_operations = !tables.operations.empty();
  const auto operation_count =
      static_cast<std::uint32_t>(tables.operations.size());
  PhasePlan plan;
  GeneratedSample sample;
  std::uint64_t sample_idx = 0;
  for (std::uint32_t phase = 0; phase < phases && sample_idx < count; ++phase) {
    // Phase p covers samples [p * count / phases, (p+1) * count / phases):
    // both factors stay below 2^20 * 2^44, inside 64 bits for any report
    // that fits in memory.
    const std::uint64_t phase_end = (std::uint64_t{phase} + 1) * count / phases;
    if (phase_end == sample_idx) continue;
    plan_phase(options.seed, phase, tables, plan);
    const std::uint64_t phase_length = phase_end - sample_idx;
    for (std::uint64_t slot = 0; sample_idx < phase_end; ++slot, ++sample_idx) {
      sample.local_index = static_cast<std::uint32_t>(slot);
      sample.phase = phase;
      sample.epoch = static_cast<std::uint32_t>(slot * epochs / phase_length);

      // Compute steps between a synchronization and an exchange, as in a
      // bulk-synchronous program, with a little idle time sprinkled in.
      const std::uint32_t roll = rng.below(1000);
      const std::uint64_t beat = slot % 8;
      if (roll < 30) {
        sample.kind = ProfileStepKind::Idle;
      } else if (beat == 6) {
        sample.kind = ProfileStepKind::Synchronization;
      } else if (beat == 7 || roll < 80) {
        sample.kind = ProfileStepKind::Exchange;
      } else {
        sample.kind = ProfileStepKind::Compute;
      }

      sample.operation = {};
      if (have_operations) {
        sample.operation = tables.operations[(plan.operation_base + slot / 16) %
                                             operation_count];
      }

      sample.kernel = {};
      std::uint32_t duration = 0;
      switch (sample.kind) {
        case ProfileStepKind::Compute: {
          const std::uint32_t pick = rng.below(100);
          if (!have_kernels || pick == 0) {
            duration = 20 + rng.below(100);  // a step with no kernel
            break;
          }
          const std::uint32_t kernel = pick < 80
                                           ? plan.palette[slot % kPaletteSize]
                                           : tables.zipf.draw(rng);
          sample.kernel = tables.kernels[kernel];
          duration = static_cast<std::uint32_t>(
              std::uint64_t{tables.kernel_cycles[kernel]} *
              (88 + rng.below(25)) / 100);
          break;
        }
        case ProfileStepKind::Exchange:
          duration = 100 + rng.below(1500);
          break;
        case ProfileStepKind::Synchronization:
          duration = rng.below(200);  // zero now and then
          break;
        case ProfileStepKind::Idle:
          duration = 500 + rng.below(20000);
          break;
      }

      sample.entry_count = 0;
      if (sample.kind != ProfileStepKind::Idle) {
        const std::string& block = plan.blocks[(slot / 8) % plan.blocks.size()];
        const std::uint32_t shape = rng.below(10);
        if (shape != 8)
          sample.entries[sample.entry_count++] = {kBlockName, block};
        if (shape >= 4) {
          sample.entries[sample.entry_count++] = {kLayerName, plan.layer};
        }
        if (shape == 9) {
          // A step that belongs to two blocks repeats the name.
          sample.entries[sample.entry_count++] = {
              kBlockName, plan.blocks[(slot / 8 + 1) % plan.blocks.size()]};
        }
      }

      // Unsigned arithmetic: the counter wraps modulo 2^32 like the real one.
      sample.start_cycle = cycle;
      sample.end_cycle = cycle + duration;
      cycle = sample.end_cycle + rng.below(16);
      visitor.sample(sample);
    }
  }
}

std::uint64_t requested_total(const GenerateOptions& options) {
  return options.total_samples != 0
             ? options.total_samples
             : std::uint64_t{options.tiles} * options.samples_per_tile;
}

// The bulk-synchronous model. Every tile must agree on when each superstep
// starts and when its barrier ends, yet the visitor takes the report tile by
// tile. So a tile's work in a superstep is a pure function of (seed,
// superstep, tile): a pre-pass over every (superstep, tile) finds the slowest
// tile of each superstep, and the walk recomputes the same values in order.

// What every tile runs in one phase: the same kernels in every epoch.
struct PhaseWork {
  std::array<std::uint32_t, 3> kernels{};
  std::uint32_t kernel_count = 0;
  std::uint32_t operation = 0;
  std::string layer;
  std::string block;
};

constexpr std::uint32_t kPartsPerMillion = 1000000;

// A factor as parts per million, clamped so scaled durations stay in range;
// integer scaling keeps the report identical on every machine.
std::uint32_t factor_ppm(double factor) {
  if (!(factor >= kMinSlowdownFactor)) factor = kMinSlowdownFactor;  // NaN too
  factor = std::min(factor, kMaxSlowdownFactor);
  return static_cast<std::uint32_t>(std::llround(factor * kPartsPerMillion));
}

std::uint64_t scale(std::uint64_t cycles, std::uint32_t ppm) {
  return cycles * ppm / kPartsPerMillion;
}

struct BspPlan {
  std::uint32_t phases = 1;
  std::uint64_t supersteps = 0;
  std::uint64_t per_tile = 0;     // samples on every tile below `extra_tiles`
  std::uint64_t extra_tiles = 0;  // tiles that hold one sample more
  std::vector<PhaseWork> phase_work;
  std::vector<std::uint32_t> kernel_ppm;  // per kernel
  std::vector<std::uint32_t> tile_ppm;    // per tile
  // Per superstep: its start on the shared timeline, then the longest
  // compute on any tile (the barrier waits for it). start has one entry
  // more, the end of the last superstep.
  std::vector<std::uint64_t> start;
  std::vector<std::uint64_t> slowest;

  [[nodiscard]] std::uint64_t tile_samples(std::uint32_t tile) const {
    return per_tile + (tile < extra_tiles ? 1 : 0);
  }
};

// One tile's share of one superstep, durations in cycles.
struct TileStep {
  std::uint32_t computes = 0;  // compute or idle samples before the barrier
  bool synchronizes = false;
  std::uint32_t exchanges = 0;
  bool idle = false;
  std::array<std::uint32_t, kMaxSamplesPerSuperstep> compute_cycles{};
  std::array<std::uint32_t, kMaxSamplesPerSuperstep> compute_kernels{};
  std::array<std::uint32_t, kMaxSamplesPerSuperstep> exchange_cycles{};
  std::array<std::uint32_t, kMaxSamplesPerSuperstep> gaps{};  // before each
                                                              // sample
  std::uint64_t ready = 0;  // end of the last compute, from the step start
  std::uint64_t tail = 0;   // exchange time after the barrier
};

void plan_tile_step(std::uint64_t seed, const BspPlan& plan,
                    const Tables& tables, std::uint64_t step,
                    std::uint32_t tile, TileStep& out) {
  // Spread the tile's samples evenly over the supersteps; the products stay
  // far below 2^64 for any sample count a disk can hold.
  const std::uint64_t count = plan.tile_samples(tile);
  const std::uint64_t n =
      (step + 1) * count / plan.supersteps - step * count / plan.supersteps;
  out = TileStep{};
  if (n == 0) return;
  out.synchronizes = true;
  const PhaseWork& work =
      plan.phase_work[static_cast<std::size_t>(step % plan.phases)];
  if (n >= 2) {
    // A tile runs each of the phase's kernels once, as a program of
    // supersteps does: repeating one would have a single tile do the work
    // of several side by side. The samples beyond those are exchange, and
    // one is kept for it whenever there are three or more, so the tiles of
    // a superstep, whatever their sample count, do the same work.
    const std::uint64_t wanted =
        work.kernel_count > 0 ? work.kernel_count : n / 2;
    out.computes =
        static_cast<std::uint32_t>(std::min(wanted, n >= 3 ? n - 2 : n - 1));
    out.exchanges = static_cast<std::uint32_t>(n - 1 - out.computes);
  }
  Rng rng(mix(mix(seed ^ kStepSalt, step), tile));
  out.idle = out.computes > 0 && rng.below(100) < 3;
  // A few tiles per superstep run late for no reason the program shows.
  const std::uint32_t straggle_pct =
      rng.below(100) < 2 ? 110 + rng.below(21) : 100;
  for (std::uint32_t j = 0; j < out.computes; ++j) {
    out.gaps[j] = j == 0 ? 0 : rng.below(16);
    std::uint64_t cycles = 0;
    if (out.idle) {
      cycles = 50 + rng.below(200);
    } else if (work.kernel_count == 0) {
      cycles = scale(20 + rng.below(100), plan.tile_ppm[tile]);
    } else {
      const std::uint32_t kernel = work.kernels[j];
      out.compute_kernels[j] = kernel;
      cycles = std::uint64_t{tables.kernel_cycles[kernel]} *
               (97 + rng.below(7)) * straggle_pct / 10000;
      cycles =
          scale(scale(cycles, plan.kernel_ppm[kernel]), plan.tile_ppm[tile]);
    }
    out.compute_cycles[j] = static_cast<std::uint32_t>(cycles);
    out.ready += out.gaps[j] + cycles;
  }
  // Every tile moves the same data in a superstep, so its exchange cycles
  // add up to the superstep's own figure however many samples carry them:
  // the busiest tile is then the one that computed longest, which is what
  // a planted straggler must show.
  const std::uint64_t exchange_total =
      300 + mix(seed ^ kExchangeSalt, step) % 1200;
  std::array<std::uint32_t, kMaxSamplesPerSuperstep> weights{};
  std::uint64_t weight_sum = 0;
  for (std::uint32_t j = 0; j < out.exchanges; ++j) {
    weights[j] = 97 + rng.below(7);
    weight_sum += weights[j];
  }
  std::uint64_t handed_out = 0;
  for (std::uint32_t j = 0; j < out.exchanges; ++j) {
    const std::uint32_t gap = rng.below(16);
    const std::uint64_t cycles = j + 1 == out.exchanges
                                     ? exchange_total - handed_out
                                     : exchange_total * weights[j] / weight_sum;
    handed_out += cycles;
    out.gaps[out.computes + j] = gap;
    out.exchange_cycles[j] = static_cast<std::uint32_t>(cycles);
    out.tail += gap + cycles;
  }
}

// A Zipf draw that is none of `taken`. A few redraws keep the skew; should
// they all collide, which few kernels make likely, the first free index is
// as good. Needs fewer taken kernels than there are kernels.
std::uint32_t draw_unused_kernel(const Tables& tables, Rng& rng,
                                 std::span<const std::uint32_t> taken) {
  const auto is_taken = [&](std::uint32_t kernel) {
    return std::find(taken.begin(), taken.end(), kernel) != taken.end();
  };
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::uint32_t kernel = tables.zipf.draw(rng);
    if (!is_taken(kernel)) return kernel;
  }
  std::uint32_t kernel = 0;
  while (is_taken(kernel)) ++kernel;
  return kernel;
}

// The supersteps the bulk-synchronous model runs: enough for the tile with
// the most samples to hold at most kMaxSamplesPerSuperstep in each.
std::uint64_t superstep_count(std::uint64_t total, std::uint32_t tiles) {
  if (tiles == 0) return 0;
  const std::uint64_t most = total / tiles + (total % tiles > 0 ? 1 : 0);
  return (most + kMaxSamplesPerSuperstep - 1) / kMaxSamplesPerSuperstep;
}

BspPlan plan_supersteps(const GenerateOptions& options, std::uint32_t phases,
                        const Tables& tables, std::uint64_t total) {
  BspPlan plan;
  plan.phases = phases;
  if (options.tiles == 0) return plan;
  plan.per_tile = total / options.tiles;
  plan.extra_tiles = total % options.tiles;
  plan.supersteps = superstep_count(total, options.tiles);

  const auto kernel_count = static_cast<std::uint32_t>(tables.kernels.size());
  const auto operation_count =
      static_cast<std::uint32_t>(tables.operations.size());
  const auto used_phases = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(phases, plan.supersteps));
  plan.phase_work.resize(used_phases);
  for (std::uint32_t phase = 0; phase < used_phases; ++phase) {
    PhaseWork& work = plan.phase_work[phase];
    Rng rng(mix(options.seed ^ kStepPhaseSalt, phase));
    if (kernel_count > 0) {
      // Distinct kernels: a tile runs each once per superstep.
      work.kernel_count = std::min(1 + rng.below(3), kernel_count);
      for (std::uint32_t k = 0; k < work.kernel_count; ++k) {
        work.kernels[k] =
            draw_unused_kernel(tables, rng, std::span(work.kernels.data(), k));
      }
    }
    work.operation = rng.below(operation_count);
    work.layer = std::to_string(phase / 2);
    work.block = std::to_string(std::uint64_t{phase % 8} * 4);
  }

  plan.kernel_ppm.assign(kernel_count, kPartsPerMillion);
  for (const auto& [name, factor] : options.slow_kernels) {
    const auto it =
        std::find(tables.kernels.begin(), tables.kernels.end(), name);
    if (it != tables.kernels.end()) {
      plan.kernel_ppm[static_cast<std::size_t>(it - tables.kernels.begin())] =
          factor_ppm(factor);
    }
  }
  plan.tile_ppm.assign(options.tiles, kPartsPerMillion);
  for (const auto& [tile, factor] : options.stragglers) {
    if (tile < options.tiles) plan.tile_ppm[tile] = factor_ppm(factor);
  }

  plan.start.assign(plan.supersteps + 1, 0);
  plan.slowest.assign(plan.supersteps, 0);
  TileStep tile_step;
  for (std::uint64_t step = 0; step < plan.supersteps; ++step) {
    std::uint64_t slowest = 0;
    std::uint64_t longest_tail = 0;
    for (std::uint32_t tile = 0; tile < options.tiles; ++tile) {
      plan_tile_step(options.seed, plan, tables, step, tile, tile_step);
      slowest = std::max(slowest, tile_step.ready);
      longest_tail = std::max(longest_tail, tile_step.tail);
    }
    plan.slowest[step] = slowest;
    plan.start[step + 1] =
        plan.start[step] + slowest + kBarrierCycles + longest_tail;
  }
  return plan;
}

void generate_bsp_tile(const GenerateOptions& options, const BspPlan& plan,
                       const Tables& tables, std::uint32_t tile_idx,
                       GeneratedReportVisitor& visitor) {
  const std::uint64_t count = plan.tile_samples(tile_idx);
  visitor.begin_tile(tile_idx, count);
  if (count == 0) return;
  Rng rng(mix(options.seed ^ kTileSalt, tile_idx));
  std::uint32_t base = rng.next32();
  if (tile_idx % kWrapTileEvery == kWrapTileEvery / 2) {
    // Start within reach of the top so the counter wraps during the run.
    const std::uint64_t reach =
        std::min<std::uint64_t>(plan.start.back() + 1, std::uint64_t{1} << 31U);
    base =
        std::uint32_t{0} - (1 + rng.below(static_cast<std::uint32_t>(reach)));
  }

  GeneratedSample sample;
  TileStep step_work;
  const bool have_operations = !tables.operations.empty();
  for (std::uint64_t step = 0; step < plan.supersteps; ++step) {
    plan_tile_step(options.seed, plan, tables, step, tile_idx, step_work);
    const PhaseWork& work =
        plan.phase_work[static_cast<std::size_t>(step % plan.phases)];
    sample.phase = static_cast<std::uint32_t>(step % plan.phases);
    sample.epoch = static_cast<std::uint32_t>(step / plan.phases);
    sample.operation = have_operations
                           ? std::string_view(tables.operations[work.operation])
                           : std::string_view();
    // Unsigned arithmetic: the counter wraps modulo 2^32 like the real one.
    auto cycle = static_cast<std::uint32_t>(base + plan.start[step]);
    std::uint32_t slot = 0;
    const auto emit = [&](ProfileStepKind kind, std::string_view kernel,
                          std::uint32_t gap, std::uint32_t cycles) {
      sample.local_index = slot++;
      sample.kind = kind;
      sample.kernel = kernel;
      sample.entry_count = 0;
      if (kind != ProfileStepKind::Idle) {
        sample.entries[sample.entry_count++] = {kBlockName, work.block};
        sample.entries[sample.entry_count++] = {kLayerName, work.layer};
      }
      sample.start_cycle = cycle + gap;
      sample.end_cycle = sample.start_cycle + cycles;
      cycle = sample.end_cycle;
      visitor.sample(sample);
    };
    for (std::uint32_t j = 0; j < step_work.computes; ++j) {
      if (step_work.idle) {
        emit(ProfileStepKind::Idle, {}, step_work.gaps[j],
             step_work.compute_cycles[j]);
      } else {
        const std::string_view kernel =
            work.kernel_count == 0
                ? std::string_view()
                : std::string_view(
                      tables.kernels[step_work.compute_kernels[j]]);
        emit(ProfileStepKind::Compute, kernel, step_work.gaps[j],
             step_work.compute_cycles[j]);
      }
    }
    if (step_work.synchronizes) {
      // The barrier releases every tile at once: slowest compute plus cost.
      const std::uint64_t release = plan.slowest[step] + kBarrierCycles;
      emit(ProfileStepKind::Synchronization, {}, 0,
           static_cast<std::uint32_t>(release - step_work.ready));
    }
    for (std::uint32_t j = 0; j < step_work.exchanges; ++j) {
      emit(ProfileStepKind::Exchange, {},
           step_work.gaps[step_work.computes + j],
           step_work.exchange_cycles[j]);
    }
  }
}

// Collects the visited samples as records.
class ReportBuilder final : public GeneratedReportVisitor {
 public:
  explicit ReportBuilder(ProfileReport& report) : report_(report) {}

  void begin_tile(std::uint32_t physical_tile,
                  std::uint64_t sample_count) override {
    tile_ = &report_.tiles.emplace_back();
    tile_->physical_tile = physical_tile;
    tile_->samples.reserve(sample_count);
  }

  void sample(const GeneratedSample& generated) override {
    CycleSample& sample = tile_->samples.emplace_back();
    detail::assign_fields(sample, generated);
    ProfileStep& step = sample.step;
    // Reserve the exact size: the lists are most of the report's heap.
    step.metadata.reserve(generated.entry_count);
    for (const GeneratedMetadata& entry : generated.metadata()) {
      step.metadata.push_back(
          ProfileMetadata{std::string(entry.name), std::string(entry.value)});
    }
  }

 private:
  ProfileReport& report_;
  TileProfile* tile_ = nullptr;
};

}  // namespace

void for_each_generated_sample(const GenerateOptions& options,
                               GeneratedReportVisitor& visitor) {
  const std::uint32_t phases =
      std::clamp<std::uint32_t>(options.phases, 1, kMaxGeneratedPhases);
  const std::uint32_t epochs =
      std::clamp<std::uint32_t>(options.epochs, 1, kMaxGeneratedPhases);
  const std::uint32_t kernels =
      std::min<std::uint32_t>(options.kernels, kMaxGeneratedNames);
  const std::uint32_t operations =
      std::min<std::uint32_t>(options.operations, kMaxGeneratedNames);

  Tables tables{
      kernel_names(kernels), operation_names(operations), {}, Zipf(kernels)};
  tables.kernel_cycles.reserve(kernels);
  for (std::uint32_t i = 0; i < kernels; ++i) {
    const std::uint64_t h = mix(options.seed ^ kKernelSalt, i);
    tables.kernel_cycles.push_back(
        static_cast<std::uint32_t>(40 + (h % 400) * (1 + (h >> 32U) % 8)));
  }

  if (options.model == GenerateModel::BulkSynchronous) {
    const BspPlan plan =
        plan_supersteps(options, phases, tables, requested_total(options));
    for (std::uint32_t i = 0; i < options.tiles && !visitor.stopped(); ++i) {
      generate_bsp_tile(options, plan, tables, i, visitor);
    }
    return;
  }

  const std::vector<std::uint64_t> counts =
      tile_counts(options.seed, options.tiles, requested_total(options));
  for (std::uint32_t i = 0; i < options.tiles && !visitor.stopped(); ++i) {
    generate_tile(options, phases, epochs, tables, i, counts[i], visitor);
  }
}

SuperstepShape bulk_synchronous_shape(const GenerateOptions& options) {
  SuperstepShape shape;
  shape.supersteps =
      superstep_count(generated_sample_count(options), options.tiles);
  if (shape.supersteps == 0) return shape;
  const std::uint32_t phases =
      std::clamp<std::uint32_t>(options.phases, 1, kMaxGeneratedPhases);
  shape.phases = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(phases, shape.supersteps));
  shape.epochs = (shape.supersteps + phases - 1) / phases;
  return shape;
}

std::uint64_t generated_sample_count(const GenerateOptions& options) {
  // Zero tiles hold no samples, whatever total was asked for.
  return options.tiles == 0 ? 0 : requested_total(options);
}

ProfileReport generate_report(const GenerateOptions& options) {
  ProfileReport report;
  report.clock_hz = options.clock_hz;
  report.tiles.reserve(options.tiles);
  ReportBuilder builder(report);
  for_each_generated_sample(options, builder);
  return report;
}

GenerateOptions options_for_total(std::uint64_t total_samples,
                                  std::uint32_t tiles) {
  GenerateOptions options;
  options.tiles = tiles;
  options.total_samples = total_samples;
  const std::uint64_t per_tile =
      tiles == 0 ? 0 : (total_samples + tiles - 1) / tiles;
  options.samples_per_tile =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(per_tile, UINT32_MAX));
  return options;
}

}  // namespace zyl_package
