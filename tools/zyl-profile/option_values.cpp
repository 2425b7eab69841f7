// The values of the command line: integers, byte counts, choices, time
// bounds, percentages, LISTs and metadata filters, each read strictly in one
// place, so every option refuses "+3", " 3", "1e3" or "0x10" alike.
#include "option_values.h"

#include <algorithm>
#include <charconv>  // std::from_chars
#include <optional>

#include "options.h"
#include "zyl_package/generate.h"  // kMinSlowdownFactor, kMaxSlowdownFactor
#include "zyl_package/quote.h"

namespace zyl_profile::cli {
namespace {

// Returns the value of a whole token of decimal digits, or nothing for an
// empty token, any other character (sign, space, "0x") or overflow.
std::optional<std::uint64_t> parse_u64(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::string range_text(std::uint64_t min, std::uint64_t max) {
  return std::to_string(min) + ".." + std::to_string(max);
}

// Returns the bytes `text` stands for, or nothing when it is not digits
// with an optional suffix or the count overflows.
std::optional<std::uint64_t> parse_bytes(std::string_view text) {
  std::uint64_t scale = 1;
  if (!text.empty()) {
    constexpr std::string_view kSuffixes = "KMGT";
    const std::size_t suffix = kSuffixes.find(text.back());
    if (suffix != std::string_view::npos) {
      scale = std::uint64_t{1} << (10 * (suffix + 1));
      text.remove_suffix(1);
    }
  }
  const std::optional<std::uint64_t> value = parse_u64(text);
  if (!value || *value > std::numeric_limits<std::uint64_t>::max() / scale) {
    return std::nullopt;
  }
  return *value * scale;
}

}  // namespace

std::string expected_found(std::string_view expected, std::string_view text) {
  return "expected " + std::string(expected) + ", found " +
         zyl_package::quoted_text(text, '\'');
}

CLI::Validator integer_in(std::uint64_t min, std::uint64_t max,
                          std::string_view why) {
  std::string expected = "an integer in " + range_text(min, max);
  if (!why.empty()) expected += " (" + std::string(why) + ")";
  return CLI::Validator(
      [min, max, expected](std::string& text) {
        const std::optional<std::uint64_t> value = parse_u64(text);
        if (!value || *value < min || *value > max) {
          return expected_found(expected, text);
        }
        text = std::to_string(*value);
        return std::string();
      },
      "");
}

CLI::Validator byte_count(std::uint64_t min, std::uint64_t max) {
  return CLI::Validator(
      [min, max](std::string& text) {
        const std::optional<std::uint64_t> bytes = parse_bytes(text);
        if (!bytes) {
          return expected_found(
              "a byte count (digits, optionally followed by K, M, G or T)",
              text);
        }
        if (*bytes < min) {
          return expected_found(
              "a byte count of at least " + std::to_string(min), text);
        }
        if (*bytes > max) {
          return expected_found(
              "a byte count of at most " + std::to_string(max), text);
        }
        text = std::to_string(*bytes);
        return std::string();
      },
      "");
}

CLI::Validator file_name() {
  return CLI::Validator(
      [](std::string& text) {
        return text.empty() ? expected_found("a file name", text)
                            : std::string();
      },
      "");
}

CLI::Validator detail::one_of(
    std::vector<std::pair<std::string_view, std::uint64_t>> names) {
  std::string expected = "one of ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    expected += (i == 0 ? "" : ", ") + std::string(names[i].first);
  }
  return CLI::Validator(
      [names = std::move(names), expected](std::string& text) {
        const auto named = std::find_if(
            names.begin(), names.end(),
            [&text](const auto& entry) { return entry.first == text; });
        if (named == names.end()) return expected_found(expected, text);
        text = std::to_string(named->second);
        return std::string();
      },
      "");
}

Parsed<TimeBound> read_time_bound(std::string_view text) {
  if (text.empty() || text.back() != '%') {
    const std::optional<std::uint64_t> cycles = parse_u64(text);
    if (!cycles) {
      return UsageError{expected_found(
          "an integer in " +
              range_text(0, std::numeric_limits<std::uint64_t>::max()),
          text)};
    }
    return TimeBound(*cycles);
  }
  const std::optional<Percentage> percent = parse_percentage(text);
  if (!percent || percent->units > 100 * percent->scale) {
    return UsageError{expected_found(
        "a cycle count or a percentage from 0% to 100% with at most 6 "
        "decimals",
        text)};
  }
  return TimeBound(*percent);
}

Parsed<Percentage> read_percentage(std::string_view text) {
  const std::optional<Percentage> value = parse_percentage(text);
  if (!value) {
    return UsageError{expected_found(
        "a percentage such as 10 or 2.5 (at most 6 decimals)", text)};
  }
  return *value;
}

Parsed<NumberRanges> read_list(std::string_view list) {
  NumberRanges ranges;
  std::string_view rest = list;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    const std::size_t dash = item.find('-');
    const std::optional<std::uint64_t> first = parse_u64(item.substr(0, dash));
    const std::optional<std::uint64_t> last =
        dash == std::string_view::npos ? first
                                       : parse_u64(item.substr(dash + 1));
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (!first || !last || *first > kMax || *last > kMax) {
      return UsageError{
          expected_found("a number in 0..4294967295 or a range A-B in LIST " +
                             zyl_package::quoted_text(list, '\''),
                         item)};
    }
    if (*first > *last) {
      return UsageError{"range " + zyl_package::quoted_text(item, '\'') +
                        " starts after it ends"};
    }
    ranges.emplace_back(static_cast<std::uint32_t>(*first),
                        static_cast<std::uint32_t>(*last));
    if (comma == std::string_view::npos) return ranges;
    rest.remove_prefix(comma + 1);
  }
}

namespace {

// Returns a plain decimal ("1.5", "2", at most 6 decimals) within the
// slowdown factor range, or nothing. Read as whole millionths, so "1.1"
// gives the same double on every machine.
std::optional<double> parse_factor(std::string_view text) {
  const std::size_t dot = text.find('.');
  const std::optional<std::uint64_t> whole = parse_u64(text.substr(0, dot));
  std::uint64_t millionths = 0;
  if (dot != std::string_view::npos) {
    const std::string_view fraction = text.substr(dot + 1);
    const std::optional<std::uint64_t> digits = parse_u64(fraction);
    if (!digits || fraction.size() > 6) return std::nullopt;
    millionths = *digits;
    for (std::size_t i = fraction.size(); i < 6; ++i) millionths *= 10;
  }
  // Past the range check below, so a huge whole part cannot overflow.
  if (!whole || *whole > 1000) return std::nullopt;
  const double value =
      static_cast<double>(*whole * 1000000 + millionths) / 1000000.0;
  if (value < zyl_package::kMinSlowdownFactor ||
      value > zyl_package::kMaxSlowdownFactor) {
    return std::nullopt;
  }
  return value;
}

constexpr std::string_view kFactorExpected =
    "a factor from 0.1 to 100 (at most 6 decimals) after '='";

}  // namespace

Parsed<std::pair<std::string, double>> read_slow_kernel(std::string_view text) {
  const std::size_t equals = text.rfind('=');
  if (equals == std::string_view::npos || equals == 0) {
    return UsageError{expected_found("KERNEL=FACTOR", text)};
  }
  const std::optional<double> factor = parse_factor(text.substr(equals + 1));
  if (!factor) return UsageError{expected_found(kFactorExpected, text)};
  return std::pair<std::string, double>{std::string(text.substr(0, equals)),
                                        *factor};
}

Parsed<std::pair<std::uint32_t, double>> read_straggler(std::string_view text) {
  const std::size_t equals = text.find('=');
  const std::optional<std::uint64_t> tile = parse_u64(text.substr(0, equals));
  if (equals == std::string_view::npos || !tile ||
      *tile > std::numeric_limits<std::uint32_t>::max()) {
    return UsageError{
        expected_found("TILE=FACTOR with a tile in 0..4294967295", text)};
  }
  const std::optional<double> factor = parse_factor(text.substr(equals + 1));
  if (!factor) return UsageError{expected_found(kFactorExpected, text)};
  return std::pair<std::uint32_t, double>{static_cast<std::uint32_t>(*tile),
                                          *factor};
}

MetadataFilter read_metadata_filter(std::string_view text) {
  const std::size_t equals = text.find('=');
  MetadataFilter filter;
  filter.name = std::string(text.substr(0, equals));
  if (equals != std::string_view::npos) {
    filter.value = std::string(text.substr(equals + 1));
  }
  return filter;
}

Parsed<std::set<std::uint32_t>> parse_lists(
    std::string_view option, const std::vector<std::string>& lists) {
  const std::string name(option);
  NumberRanges ranges;
  for (const std::string& list : lists) {
    const Parsed<NumberRanges> read = read_list(list);
    if (!read.ok()) return UsageError{name + ": " + read.error().message};
    const NumberRanges& more = read.value();
    ranges.insert(ranges.end(), more.begin(), more.end());
  }
  // Count the merged ranges before expanding any, so overlapping or huge
  // ranges cannot make us insert more than the cap allows.
  std::sort(ranges.begin(), ranges.end());
  std::uint64_t count = 0;
  std::uint64_t covered_end = 0;  // one past the last number counted
  for (const auto& [first, last] : ranges) {
    const std::uint64_t begin = std::max<std::uint64_t>(first, covered_end);
    const std::uint64_t end = std::uint64_t{last} + 1;
    if (end > begin) {
      count += end - begin;
      covered_end = end;
    }
  }
  if (count > kMaxListNumbers) {
    return UsageError{name + ": the lists hold " + std::to_string(count) +
                      " numbers, more than the " +
                      std::to_string(kMaxListNumbers) + " allowed"};
  }
  std::set<std::uint32_t> numbers;
  for (const auto& [first, last] : ranges) {
    for (std::uint64_t n = first; n <= last; ++n) {
      numbers.insert(numbers.end(), static_cast<std::uint32_t>(n));
    }
  }
  return numbers;
}

}  // namespace zyl_profile::cli
