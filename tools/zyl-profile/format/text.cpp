// UTF-8 decoding, display width, escaping for the terminal and for messages,
// and number formatting for people.
#include "text.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace zyl_profile::cli {
namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// Characters that take no column: combining marks, zero-width spaces and
// joiners, variation selectors. The common blocks, not all of Unicode: a
// rare mark costs one misaligned column, not a wrong answer.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD},  {0x0610, 0x061A},
    {0x064B, 0x065F}, {0x0670, 0x0670}, {0x06D6, 0x06DC},  {0x0900, 0x0902},
    {0x093C, 0x093C}, {0x0941, 0x0948}, {0x094D, 0x094D},  {0x0E31, 0x0E31},
    {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF},  {0x1DC0, 0x1DFF},
    {0x200B, 0x200F}, {0x2060, 0x2064}, {0x20D0, 0x20FF},  {0xFE00, 0xFE0F},
    {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF}};

// East Asian wide and fullwidth characters, and emoji.
constexpr Range kDoubleWidth[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},
    {0x23E9, 0x23EC},   {0x23F0, 0x23F0},   {0x23F3, 0x23F3},
    {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},
    {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},
    {0x26F2, 0x26F5},   {0x26FA, 0x26FD},   {0x2705, 0x2705},
    {0x270A, 0x270B},   {0x2728, 0x2728},   {0x274C, 0x274C},
    {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},
    {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
    {0x17000, 0x18AFF}, {0x1B000, 0x1B16F}, {0x1F004, 0x1F004},
    {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A},
    {0x1F200, 0x1F251}, {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF},
    {0x1F7E0, 0x1F7EB}, {0x1F900, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};

template <std::size_t N>
bool in_ranges(char32_t c, const Range (&ranges)[N]) {
  const auto* found = std::upper_bound(
      std::begin(ranges), std::end(ranges), c,
      [](char32_t value, const Range& range) { return value < range.first; });
  return found != std::begin(ranges) && c <= (found - 1)->last;
}

std::size_t width_of(char32_t c) {
  if (c < 0x300) return 1;
  if (in_ranges(c, kZeroWidth)) return 0;
  return in_ranges(c, kDoubleWidth) ? 2 : 1;
}

}  // namespace

std::size_t display_width(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) {
    const CodePoint cp = decode_utf8(text, i);
    if (cp.length == 0) {
      ++width, ++i;
      continue;
    }
    width += width_of(cp.value);
    i += cp.length;
  }
  return width;
}

std::string_view prefix_of_width(std::string_view text, std::size_t width) {
  std::size_t used = 0;
  std::size_t end = 0;
  while (end < text.size()) {
    const CodePoint cp = decode_utf8(text, end);
    const std::size_t length = cp.length == 0 ? 1 : cp.length;
    const std::size_t columns = cp.length == 0 ? 1 : width_of(cp.value);
    if (used + columns > width) break;
    used += columns;
    end += length;
  }
  return text.substr(0, end);
}

std::string terminal_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const CodePoint cp = decode_utf8(text, i);
    if (cp.length == 0) {
      out += fmt::format("\\x{:02x}", static_cast<unsigned char>(text[i]));
      ++i;
      continue;
    }
    const char32_t c = cp.value;
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += fmt::format("\\x{:02x}", static_cast<unsigned>(c));
    } else if ((c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
               (c >= 0x2066 && c <= 0x2069)) {
      // C1 controls include the single-byte CSI; the bidirectional
      // overrides can make a name display as a different one.
      out += fmt::format("\\u{{{:04x}}}", static_cast<unsigned>(c));
    } else {
      out.append(text.substr(i, cp.length));
    }
    i += cp.length;
  }
  return out;
}

std::string with_separators(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string out;
  out.reserve(digits.size() + digits.size() / 3);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string fixed(double value, int decimals) {
  if (!std::isfinite(value)) return "0";
  std::string text = fmt::format("{:.{}f}", std::abs(value), decimals);
  const std::size_t dot = text.find('.');
  const std::string_view integral(text.data(),
                                  dot == std::string::npos ? text.size() : dot);
  std::string grouped;
  for (std::size_t i = 0; i < integral.size(); ++i) {
    if (i > 0 && (integral.size() - i) % 3 == 0) grouped += ',';
    grouped += integral[i];
  }
  if (dot != std::string::npos) grouped += text.substr(dot);
  // A negative zero after rounding would print as "-0.000".
  const bool negative =
      value < 0 && grouped.find_first_not_of("0.,") != std::string::npos;
  return negative ? "-" + grouped : grouped;
}

}  // namespace zyl_profile::cli
