// How the command line reads one value: CLI11 validators that refuse a bad
// text with "expected ..., found '...'" (CLI11 puts the option's name in
// front), and readers for the values CLI11 has no conversion for. The
// integer and choice transformers also rewrite an accepted text as the
// plain decimal number CLI11 then converts into the bound field: CLI11 reads
// integers with base 0 ("010" would be octal, "0x10" hexadecimal) and
// enumerations as their numbers, so only such a text may reach it.
#pragma once

#include <CLI/CLI.hpp>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "options.h"
#include "zyl_profile/percentage.h"
#include "zyl_profile/query.h"

namespace zyl_profile::cli {

// Returns "expected WHAT, found 'TEXT'", the body of every bad-value message.
[[nodiscard]] std::string expected_found(std::string_view expected,
                                         std::string_view text);

// A whole token of decimal digits from `min` to `max`; `why` (such as "the
// groups a page holds") follows the range in the message.
[[nodiscard]] CLI::Validator integer_in(std::uint64_t min, std::uint64_t max,
                                        std::string_view why = {});

// Any value of the unsigned field type T: a count that takes its whole
// range, where the largest means "no practical limit".
template <typename T>
[[nodiscard]] CLI::Validator any_count() {
  return integer_in(0, std::numeric_limits<T>::max());
}

// A byte count from `min` to `max`: digits with an optional K, M, G or T
// suffix (powers of 1024).
[[nodiscard]] CLI::Validator byte_count(std::uint64_t min, std::uint64_t max);

// A file the command writes: any name but the empty one.
[[nodiscard]] CLI::Validator file_name();

// The names a choice takes and the values they stand for, in the order the
// message lists them.
template <typename T, std::size_t N>
using NameTable = std::array<std::pair<std::string_view, T>, N>;

namespace detail {
[[nodiscard]] CLI::Validator one_of(
    std::vector<std::pair<std::string_view, std::uint64_t>> names);
}  // namespace detail

// One of the names of `names`, given exactly (case matters); rewritten to
// the number of its value, which CLI11 converts into the enumeration.
template <typename T, std::size_t N>
[[nodiscard]] CLI::Validator one_of(const NameTable<T, N>& names) {
  std::vector<std::pair<std::string_view, std::uint64_t>> numbers;
  numbers.reserve(N);
  for (const auto& [name, value] : names) {
    numbers.emplace_back(name, static_cast<std::uint64_t>(value));
  }
  return detail::one_of(std::move(numbers));
}

// Reads a value CLI11 cannot convert itself: the value, or the body of the
// message saying why the text is not one (CLI11 adds the option's name).
template <typename T>
using Reader = Parsed<T> (*)(std::string_view);

// A cycle count ("12000") or a share of the span from 0% to 100% ("25%",
// "12.5%").
[[nodiscard]] Parsed<TimeBound> read_time_bound(std::string_view text);

// A percentage such as 10, 2.5 or 2.5% (at most 6 decimals), any size.
[[nodiscard]] Parsed<Percentage> read_percentage(std::string_view text);

// One LIST of numbers and inclusive ranges A-B ("1,3,8-11"), as ranges in
// the order given.
using NumberRanges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
[[nodiscard]] Parsed<NumberRanges> read_list(std::string_view list);

// One --metadata filter, split at the first '=': "NAME" alone asks for the
// entry with any value, "NAME=" for the empty value.
[[nodiscard]] MetadataFilter read_metadata_filter(std::string_view text);

// One --slow KERNEL=FACTOR (split at the last '='): a kernel name and a
// decimal factor from 0.1 to 100 with at most 6 decimals.
[[nodiscard]] Parsed<std::pair<std::string, double>> read_slow_kernel(
    std::string_view text);

// One --straggler TILE=FACTOR: a physical tile and a factor as --slow.
[[nodiscard]] Parsed<std::pair<std::uint32_t, double>> read_straggler(
    std::string_view text);

// The validator that refuses what `read` refuses.
template <typename T>
[[nodiscard]] CLI::Validator readable_by(Reader<T> read) {
  return CLI::Validator(
      [read](std::string& text) {
        const Parsed<T> value = read(text);
        return value.ok() ? std::string() : value.error().message;
      },
      "");
}

// Adds option `name` to `app`: each text is checked by `read` with the
// other validators, and the value it reads is handed to `store`, which
// puts it in its field.
template <typename T, typename Store>
CLI::Option* add_read_option(CLI::App& app, const std::string& name,
                             Reader<T> read, Store store,
                             const std::string& help) {
  return app
      .add_option_function<std::string>(
          name,
          [read, store](const std::string& text) { store(read(text).value()); },
          help)
      ->check(readable_by(read));
}

}  // namespace zyl_profile::cli
