// decode_utf8 and append_json_string, over the one UTF-8 check in utf8.h.
#include "zyl_package/text.h"

#include "utf8.h"

namespace zyl_package {

CodePoint decode_utf8(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return {lead, 1};
  const std::size_t length = detail::utf8_sequence_length(text, pos);
  if (length == 0) return {};
  // The check has ruled out every malformed form: only the bits are left.
  char32_t value = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    value = (value << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
  }
  return {value, length};
}

void append_json_string(std::string_view text, std::string& out) {
  constexpr std::string_view kHex = "0123456789abcdef";
  out += '"';
  std::size_t plain = 0;  // start of the run not yet copied
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // Printable ASCII other than the quote and the backslash passes as it
    // is; only the rest needs a closer look.
    if (byte >= 0x20 && byte < 0x80 && byte != '"' && byte != '\\') {
      ++i;
      continue;
    }
    if (byte >= 0x80) {
      const std::size_t length = detail::utf8_sequence_length(text, i);
      if (length != 0) {
        i += length;
        continue;
      }
    }
    out.append(text.substr(plain, i - plain));
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += "\\ufffd";  // a byte that is not UTF-8 cannot be kept in JSON
        }
    }
    ++i;
    plain = i;
  }
  out.append(text.substr(plain));
  out += '"';
}

}  // namespace zyl_package
