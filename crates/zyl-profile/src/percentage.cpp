// percent_of and parse_percentage: the exact arithmetic and the one parser
// behind every percentage the library and the tool accept.
#include "zyl_profile/percentage.h"

#include <charconv>  // std::from_chars
#include <limits>
#include <string>

namespace zyl_profile {
namespace {

// A u64 times units below 10^18 needs at most 124 bits.
__extension__ using Uint128 = unsigned __int128;

}  // namespace

std::uint64_t percent_of(const Percentage& percentage, std::uint64_t value) {
  if (percentage.scale == 0) return 0;
  const Uint128 product = Uint128{value} * percentage.units;
  const Uint128 result = product / (Uint128{100} * percentage.scale);
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return result > kMax ? kMax : static_cast<std::uint64_t>(result);
}

std::optional<Percentage> parse_percentage(std::string_view text) {
  std::string_view number = text;
  if (number.ends_with('%')) number.remove_suffix(1);
  const std::size_t dot = number.find('.');
  const std::string_view whole = number.substr(0, dot);
  if (whole.empty()) return std::nullopt;
  std::string digits(whole);
  std::uint64_t scale = 1;
  if (dot != std::string_view::npos) {
    const std::string_view fraction = number.substr(dot + 1);
    if (fraction.empty() || fraction.size() > kMaxPercentageDecimals) {
      return std::nullopt;
    }
    digits += fraction;
    for (std::size_t i = 0; i < fraction.size(); ++i) scale *= 10;
  }
  // 18 digits keep units below 10^18, which percent_of's 128-bit product
  // relies on.
  if (digits.size() > 18) return std::nullopt;
  std::uint64_t units = 0;
  const char* const end = digits.data() + digits.size();
  // from_chars into an unsigned type rejects signs; requiring it to use up
  // every character rejects spaces and a second dot.
  const auto [stop, error] = std::from_chars(digits.data(), end, units);
  if (error != std::errc{} || stop != end) return std::nullopt;
  return Percentage{units, scale};
}

}  // namespace zyl_profile
