// The failed-check exception and the quoting of strings in failure reports.
#include "zyl_harness/check.h"

#include <string>
#include <utility>

namespace zyl_harness {

CheckFailure::CheckFailure(std::string left, std::string right,
                           SourceLocation location)
    : left_(std::move(left)), right_(std::move(right)), location_(location) {
  // Built once here: what() must not allocate, and the report is all a
  // reader of the failure needs.
  message_ = "check_eq(left, right) failed at ";
  message_ += location_.file;
  message_ += ':';
  message_ += std::to_string(location_.line);
  message_ += "\n  left: ";
  message_ += left_;
  message_ += "\n right: ";
  message_ += right_;
}

const char* CheckFailure::what() const noexcept { return message_.c_str(); }

std::string_view CheckFailure::file() const noexcept { return location_.file; }

std::uint_least32_t CheckFailure::line() const noexcept {
  return location_.line;
}

namespace detail {

std::string quote(std::string_view text) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          quoted += "\\x";
          quoted += kHexDigits[byte >> 4];
          quoted += kHexDigits[byte & 0xf];
        } else {
          // Bytes from 0x80 up pass through: UTF-8 text stays readable.
          quoted += c;
        }
    }
  }
  quoted += '"';
  return quoted;
}

}  // namespace detail
}  // namespace zyl_harness
