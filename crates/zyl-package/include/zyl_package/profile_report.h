// The profile report records: for every physical tile, the timed samples it
// went through. The query engine reads them; the package files store them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zyl_package {

// What kind of work a step is. Stored in one byte; the values are part of the
// package file format.
enum class ProfileStepKind : std::uint8_t {
  Exchange = 0,
  Compute = 1,
  Synchronization = 2,
  Idle = 3,
};

// One free-form annotation of a step; several entries may share a name.
struct ProfileMetadata {
  std::string name;
  std::string value;

  bool operator==(const ProfileMetadata&) const = default;
};

// The description of a step.
struct ProfileStep {
  std::uint32_t local_index = 0;  // carried along, never read by the query
  std::uint32_t phase = 0;        // execution phase number
  std::uint32_t epoch = 0;        // epoch within the phase
  std::string operation;          // program operation the step belongs to
  ProfileStepKind kind = ProfileStepKind::Exchange;
  std::string kernel;                     // empty for steps without a kernel
  std::vector<ProfileMetadata> metadata;  // in capture order

  bool operator==(const ProfileStep&) const = default;
};

// One occurrence of a step on a tile, timed by the tile's 32-bit counter.
struct CycleSample {
  ProfileStep step;
  std::uint32_t start_cycle = 0;  // raw counter value when the step began
  std::uint32_t end_cycle = 0;    // raw counter value when it ended; smaller
                                  // than start_cycle when the counter wrapped

  bool operator==(const CycleSample&) const = default;
};

// The fields of one sample but its metadata, with the strings borrowed from
// whoever made them: what the readers, the writers and the generator hand
// each other without building records. Valid only while the strings are.
struct SampleView {
  std::uint32_t start_cycle = 0;
  std::uint32_t end_cycle = 0;
  std::uint32_t local_index = 0;
  std::uint32_t phase = 0;
  std::uint32_t epoch = 0;
  ProfileStepKind kind = ProfileStepKind::Exchange;
  std::string_view operation;
  std::string_view kernel;  // empty for a step without a kernel
};

// The samples of one tile, in list order; the first fixes the tile's time 0.
struct TileProfile {
  std::uint32_t physical_tile = 0;
  std::vector<CycleSample> samples;

  bool operator==(const TileProfile&) const = default;
};

// One whole captured profile.
struct ProfileReport {
  std::uint64_t clock_hz = 0;      // counter frequency; 0 means unknown
  std::vector<TileProfile> tiles;  // in report order

  bool operator==(const ProfileReport&) const = default;
};

// The display names "exchange", "compute", "synchronization" and "idle": the
// only place they are spelled, shared by the query, the files and the tool.
inline constexpr std::string_view kExchangeName = "exchange";
inline constexpr std::string_view kComputeName = "compute";
inline constexpr std::string_view kSynchronizationName = "synchronization";
inline constexpr std::string_view kIdleName = "idle";

// Returns the display name of `kind`; a value outside the enumeration (only
// reachable through a cast) gives "exchange" rather than reading past a table.
[[nodiscard]] constexpr std::string_view step_kind_name(ProfileStepKind kind) {
  switch (kind) {
    case ProfileStepKind::Compute:
      return kComputeName;
    case ProfileStepKind::Synchronization:
      return kSynchronizationName;
    case ProfileStepKind::Idle:
      return kIdleName;
    case ProfileStepKind::Exchange:
      break;
  }
  return kExchangeName;
}

// Returns the kind whose display name is exactly `name` (case-sensitive), or
// nothing.
[[nodiscard]] constexpr std::optional<ProfileStepKind> parse_step_kind(
    std::string_view name) {
  if (name == kExchangeName) return ProfileStepKind::Exchange;
  if (name == kComputeName) return ProfileStepKind::Compute;
  if (name == kSynchronizationName) return ProfileStepKind::Synchronization;
  if (name == kIdleName) return ProfileStepKind::Idle;
  return std::nullopt;
}

}  // namespace zyl_package
