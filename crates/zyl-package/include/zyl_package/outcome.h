// The one shape of everything that can fail on its input: a value, or the
// error that stopped it. Loads, writes, partial bytes and command lines all
// return an Outcome, so a caller tests every one of them the same way and no
// failure travels as an exception.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace zyl_package {

// Thrown by Outcome::value() on a failure and by Outcome::error() on a
// success. Either is a bug in the caller, which must test ok() first; the
// call that made the outcome never throws. what() holds the error's one-line
// text, so a caller that skipped the test still learns why.
class BadOutcomeAccess : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

namespace detail {
[[noreturn]] void throw_bad_value_access(const std::string& error);
[[noreturn]] void throw_bad_error_access();
}  // namespace detail

// A value of type T or an error of type E, in the shape of a StatusOr. E
// has a `to_string()` giving its one-line text. There is deliberately no
// conversion to bool: whether true means "ok" or "failed" is exactly the
// confusion this type exists to remove.
template <class T, class E>
class [[nodiscard]] Outcome {
 public:
  Outcome(T value) : outcome_(std::move(value)) {}  // NOLINT
  Outcome(E error) : outcome_(std::move(error)) {}  // NOLINT

  [[nodiscard]] bool ok() const { return std::holds_alternative<T>(outcome_); }
  [[nodiscard]] T& value() & { return checked(outcome_); }
  [[nodiscard]] const T& value() const& { return checked(outcome_); }
  [[nodiscard]] T&& value() && { return std::move(checked(outcome_)); }
  [[nodiscard]] const E& error() const {
    const E* error = std::get_if<E>(&outcome_);
    if (error == nullptr) detail::throw_bad_error_access();
    return *error;
  }

 private:
  // The value of `outcome`, const or not, or the throw on a failure.
  template <class Variant>
  static auto& checked(Variant& outcome) {
    auto* value = std::get_if<T>(&outcome);
    if (value == nullptr) {
      detail::throw_bad_value_access(std::get_if<E>(&outcome)->to_string());
    }
    return *value;
  }

  std::variant<T, E> outcome_;
};

// The outcome of an action that gives nothing back: success, which is what
// a default-constructed one holds (`return {};`), or the error.
template <class E>
class [[nodiscard]] Outcome<void, E> {
 public:
  Outcome() = default;
  Outcome(E error) : outcome_(std::move(error)) {}  // NOLINT

  [[nodiscard]] bool ok() const {
    return std::holds_alternative<std::monostate>(outcome_);
  }
  [[nodiscard]] const E& error() const {
    const E* error = std::get_if<E>(&outcome_);
    if (error == nullptr) detail::throw_bad_error_access();
    return *error;
  }

 private:
  std::variant<std::monostate, E> outcome_;
};

}  // namespace zyl_package
