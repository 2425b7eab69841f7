// Exact percentages: a threshold or a share of a span kept as integers, so
// comparing or applying one to a u64 count never rounds through a double.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zyl_profile {

// `units / scale` percent: 2.5% is {25, 10}. `scale` is a power of ten up to
// 10^6 and `units` stays below 10^18; parse_percentage makes only such values.
struct Percentage {
  std::uint64_t units = 0;
  std::uint64_t scale = 1;

  bool operator==(const Percentage&) const = default;
};

// Most decimals a percentage may have, and the largest scale that follows.
inline constexpr std::size_t kMaxPercentageDecimals = 6;
inline constexpr std::uint64_t kMaxPercentageScale = 1'000'000;

// Returns `value` * `percentage` / 100 rounded down, exact for every u64
// value and every percentage of the documented range. Above 100% the result
// can exceed a u64: it then saturates at UINT64_MAX. A zero scale (not a
// valid percentage) gives 0.
[[nodiscard]] std::uint64_t percent_of(const Percentage& percentage,
                                       std::uint64_t value);

// Returns the percentage written in `text`: digits, optionally a dot and 1
// to 6 more digits, optionally a trailing '%' ("10", "2.5", "2.5%"). Absent
// for anything else: signs, spaces, an empty whole part (".5"), more than 6
// decimals, or more than 18 digits in all (units below 10^18). "0.50" keeps
// its scale ({50, 100}); compare values, not fields, when that matters.
[[nodiscard]] std::optional<Percentage> parse_percentage(std::string_view text);

}  // namespace zyl_profile
