// The harness's one check, check_eq, and the exception a failed check throws
// to end its test at once.
#pragma once

#include <charconv>  // std::to_chars
#include <concepts>
#include <cstdint>
#include <exception>
#include <optional>
#include <ostream>
#include <ranges>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace zyl_harness {

// Where a check is written. Not std::source_location: libstdc++ builds that
// on a compiler builtin that clang only has from version 15, and the
// sanitizer and fuzzing builds use clang. GCC and clang both evaluate these
// builtins at the caller when they appear in a default argument, also one
// nested in the default argument `SourceLocation::current()`.
struct SourceLocation {
  const char* file = "";
  std::uint_least32_t line = 0;

  [[nodiscard]] static constexpr SourceLocation current(
      const char* file = __builtin_FILE(),
      std::uint_least32_t line = __builtin_LINE()) noexcept {
    return SourceLocation{file, line};
  }
};

// Thrown by a failed check. Carries both values already printed, so the
// runner can report them after the checked objects are gone.
class CheckFailure : public std::exception {
 public:
  CheckFailure(std::string left, std::string right, SourceLocation location);

  // Returns the whole report: where the check is, then left and right.
  [[nodiscard]] const char* what() const noexcept override;
  [[nodiscard]] const std::string& left() const noexcept { return left_; }
  [[nodiscard]] const std::string& right() const noexcept { return right_; }
  [[nodiscard]] std::string_view file() const noexcept;
  [[nodiscard]] std::uint_least32_t line() const noexcept;

 private:
  std::string left_;
  std::string right_;
  SourceLocation location_;
  std::string message_;
};

namespace detail {

// Returns `text` in double quotes, with quotes, backslashes and control
// bytes escaped so that an invisible difference still shows.
[[nodiscard]] std::string quote(std::string_view text);

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <typename T>
concept Streamable = requires(std::ostream& out, const T& value) {
  out << value;
};

template <typename T>
[[nodiscard]] std::string to_chars_text(T value) {
  // Big enough for any integer and for the shortest form of a long double.
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

}  // namespace detail

// Returns the printed form of `value` used in failure reports: strings
// quoted, floating-point numbers in the shortest form that reads back to the
// same value (so neighbouring doubles print differently), integers in
// decimal, enumerations as their underlying number, ranges as [a, b].
template <typename T>
[[nodiscard]] std::string describe(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_same_v<T, char>) {
    return detail::quote(std::string_view(&value, 1));
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return detail::quote(std::string_view(value));
  } else if constexpr (std::is_same_v<T, std::nullptr_t>) {
    return "nullptr";
  } else if constexpr (std::is_enum_v<T>) {
    return describe(static_cast<std::underlying_type_t<T>>(value));
  } else if constexpr (std::is_arithmetic_v<T>) {
    return detail::to_chars_text(value);
  } else if constexpr (detail::IsOptional<T>::value) {
    return value ? describe(*value) : std::string("nullopt");
  } else if constexpr (detail::Streamable<T>) {
    std::ostringstream out;
    out << value;
    return out.str();
  } else if constexpr (std::ranges::input_range<const T>) {
    std::string text = "[";
    bool first = true;
    for (const auto& element : value) {
      if (!first) text += ", ";
      first = false;
      text += describe(element);
    }
    return text + "]";
  } else {
    return "(a value with no printed form)";
  }
}

// Checks `actual == expected`; on failure throws CheckFailure holding both
// printed values and the caller's file and line. `expected` converts to the
// type of `actual`, so `check_eq(list.size(), 1)` compares two counts and
// `check_eq(name, "1")` two strings. Doubles compare exactly.
template <typename T>
void check_eq(const T& actual, const std::type_identity_t<T>& expected,
              SourceLocation location = SourceLocation::current()) {
  if (actual == expected) return;
  throw CheckFailure(describe(actual), describe(expected), location);
}

}  // namespace zyl_harness
