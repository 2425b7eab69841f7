// Partial bytes changed on purpose, for the tests and the fuzz target. The
// reader checks the checksum before any field, so bytes crafted to reach a
// field get a fresh checksum, computed here with xxHash as the writer does.
#pragma once

#include <xxhash.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "zyl_profile/partial.h"

namespace zyl_profile::testing {

inline constexpr std::size_t kPartialChecksumSize = 8;

// The bytes of a partial without their checksum.
inline std::string without_checksum(std::string_view bytes) {
  return std::string(bytes.substr(0, bytes.size() - kPartialChecksumSize));
}

// `body` followed by the checksum the reader expects: the XXH3-64 of
// `body`, little-endian.
inline std::string with_checksum(std::string body) {
  std::uint64_t sum = XXH3_64bits(body.data(), body.size());
  for (std::size_t i = 0; i < kPartialChecksumSize; ++i, sum >>= 8) {
    body.push_back(static_cast<char>(sum & 0xffU));
  }
  return body;
}

// `value` as the bytes write a number (unsigned LEB128).
inline std::string varint(std::uint64_t value) {
  std::string bytes;
  for (; value >= 0x80; value >>= 7) {
    bytes.push_back(static_cast<char>((value & 0x7fU) | 0x80U));
  }
  bytes.push_back(static_cast<char>(value));
  return bytes;
}

// A partial whose every list holds one element, each with a text the tests
// can find in its bytes, and whose numbers are all small.
inline PartialResult craftable_partial() {
  PartialResult partial;
  partial.query.kernel = "query-kernel";
  partial.query.metadata.push_back(MetadataFilter{"condition", std::nullopt});
  partial.query.sample_limit = 1000000;
  partial.shards = {0};
  PartialGroup group;
  group.name = "group-name";
  group.dimensions["dimension-key"] = "dimension-value";
  group.tiles = {3};
  group.phases = {PhaseLongest{1, 0, 5}};
  group.durations = {DurationCount{5, 1}};
  partial.groups.push_back(group);
  PartialSample sample;
  sample.record.kernel = "sample-kernel";
  sample.record.metadata.push_back(MetadataEntry{"entry-name", "v"});
  partial.samples.push_back(sample);
  return partial;
}

// Where each count in the bytes of craftable_partial() is. Every count there
// is one byte.
struct CountPlaces {
  std::size_t query_kernel_length = 0;
  std::size_t query_tiles = 0;
  std::size_t query_phases = 0;
  std::size_t query_conditions = 0;
  std::size_t condition_name_length = 0;
  std::size_t shards = 0;
  std::size_t groups = 0;
  std::size_t group_name_length = 0;
  std::size_t dimensions = 0;
  std::size_t dimension_value_length = 0;
  std::size_t group_tiles = 0;
  std::size_t phase_pairs = 0;
  std::size_t durations = 0;
  std::size_t samples = 0;
  std::size_t sample_kernel_length = 0;
  std::size_t sample_metadata = 0;
  std::size_t entry_name_length = 0;
};

inline CountPlaces count_places(std::string_view bytes) {
  const auto before = [&](std::string_view text) {
    return bytes.find(text) - 1;
  };
  const auto after = [&](std::string_view text) {
    return bytes.find(text) + text.size();
  };
  CountPlaces at;
  // Kernel, then no operation, the tiles, the phases, the conditions.
  at.query_kernel_length = before("query-kernel");
  at.query_tiles = after("query-kernel") + 1;
  at.query_phases = at.query_tiles + 1;
  at.query_conditions = at.query_phases + 1;
  at.condition_name_length = before("condition");
  // The shards (one, position 0), then five zero totals, then the groups.
  at.group_name_length = before("group-name");
  at.groups = at.group_name_length - 1;
  at.shards = at.groups - 7;
  at.dimensions = after("group-name");
  at.dimension_value_length = before("dimension-value");
  // Work and the two offsets, then the tiles (one), the phase pairs (one of
  // three numbers), the durations (one of two), the samples.
  at.group_tiles = after("dimension-value") + 3;
  at.phase_pairs = at.group_tiles + 2;
  at.durations = at.phase_pairs + 4;
  at.samples = at.durations + 3;
  at.sample_kernel_length = before("sample-kernel");
  at.sample_metadata = after("sample-kernel");
  at.entry_name_length = before("entry-name");
  return at;
}

// `body` with the one-byte count at `at` replaced by `count`, followed by
// `filler` bytes `fill` and a good checksum. Zeros read as empty elements of
// most lists; 0xff as a number that never ends.
inline std::string with_count(std::string body, std::size_t at,
                              std::uint64_t count, std::size_t filler = 0,
                              char fill = '\0') {
  body.replace(at, 1, varint(count));
  body.reserve(body.size() + filler + kPartialChecksumSize);
  body.append(filler, fill);
  return with_checksum(std::move(body));
}

}  // namespace zyl_profile::testing
