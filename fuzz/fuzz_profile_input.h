// Decodes a report and a query from fuzz input, shared by the targets that
// check an operation against its reference model, so one corpus input means
// the same profile and question to each of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "fuzz_input.h"
#include "zyl_profile/query.h"

namespace zyl_fuzz {

using zyl_profile::CycleSample;
using zyl_profile::duration;
using zyl_profile::GroupBy;
using zyl_profile::MetadataFilter;
using zyl_profile::ProfileMetadata;
using zyl_profile::ProfileReport;
using zyl_profile::ProfileStep;
using zyl_profile::Query;
using zyl_profile::SortBy;
using zyl_profile::StepKind;
using zyl_profile::TileProfile;

// A tile this long makes the candidate list cut its buffer (it keeps 4096
// candidates beyond the limit before selecting), which short tiles never
// reach. One such tile per report keeps the runs fast.
constexpr std::size_t kLongTileSamples = 4400;

inline Query decode_query(ByteReader& in) {
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

inline CycleSample decode_sample(ByteReader& in, std::uint32_t& previous_end) {
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

inline ProfileReport decode_report(ByteReader& in) {
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

}  // namespace zyl_fuzz
