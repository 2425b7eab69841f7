// Text from a file shown in a message: a key or value can be megabytes long
// or hold control characters, and an error message must stay one short
// line whatever the file holds.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "utf8.h"

namespace zyl_package::detail {

// The most bytes of file text a message shows of one key or value.
inline constexpr std::size_t kMaxShownBytes = 200;
// The most bytes of one key a JSON path shows; the path only locates.
inline constexpr std::size_t kMaxPathKeyBytes = 40;

// `text` escaped and cut for a message, and whether it was cut.
struct ShortText {
  std::string text;
  bool cut = false;
};

// Returns `text` with control characters escaped as JSON escapes them and
// bytes that are not UTF-8 as \xNN, cut (on a character boundary, never
// inside an escape) before the shown text would pass `max_bytes`.
[[nodiscard]] inline ShortText short_text(std::string_view text,
                                          std::size_t max_bytes) {
  constexpr std::string_view kHex = "0123456789abcdef";
  ShortText out;
  out.text.reserve(std::min(text.size(), max_bytes));
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    std::array<char, 6> escaped{};
    std::string_view piece = text.substr(i, 1);
    if (byte >= 0x80) {
      length = utf8_sequence_length(text, i);
      if (length == 0) {
        escaped = {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
        piece = std::string_view(escaped.data(), 4);
        length = 1;
      } else {
        piece = text.substr(i, length);
      }
    } else if (byte == '\n') {
      piece = "\\n";
    } else if (byte == '\r') {
      piece = "\\r";
    } else if (byte == '\t') {
      piece = "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      escaped = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
      piece = std::string_view(escaped.data(), 6);
    }
    if (out.text.size() + piece.size() > max_bytes) {
      out.cut = true;
      return out;
    }
    out.text += piece;
    i += length;
  }
  return out;
}

// Returns `text` as a message shows it (see short_text); when cut, "..."
// and the length of all of `text` follow: aaaa... (1048576 bytes). Text
// that fits and holds nothing to escape comes back as it is.
[[nodiscard]] inline std::string shown_text(
    std::string_view text, std::size_t max_bytes = kMaxShownBytes) {
  ShortText shown = short_text(text, max_bytes);
  if (!shown.cut) return std::move(shown.text);
  return shown.text + "... (" + std::to_string(text.size()) + " bytes)";
}

// Returns `text` between `quote`s as shown_text shows it; when cut, the
// length follows the closing quote: "aaaa..." (1048576 bytes).
[[nodiscard]] inline std::string quoted_text(
    std::string_view text, char quote = '"',
    std::size_t max_bytes = kMaxShownBytes) {
  const ShortText shown = short_text(text, max_bytes);
  if (!shown.cut) return quote + shown.text + quote;
  return quote + shown.text + "..." + quote + " (" +
         std::to_string(text.size()) + " bytes)";
}

}  // namespace zyl_package::detail
