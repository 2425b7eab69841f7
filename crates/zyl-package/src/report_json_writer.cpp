// Streaming writer of the JSON form of a report: one sample per line, built
// in a chunk buffer and handed to the stream in large pieces.
#include <charconv>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "utf8.h"
#include "zyl_package/report_io.h"

namespace zyl_package {
namespace {

// Output is gathered here and passed on in chunks of about this size, so the
// stream sees a few large writes instead of one per token.
constexpr std::size_t kChunkBytes = std::size_t{1} << 16;

class JsonOut {
 public:
  explicit JsonOut(std::ostream& out) : out_(out) {
    buffer_.reserve(kChunkBytes + 4096);
  }
  JsonOut(const JsonOut&) = delete;
  JsonOut& operator=(const JsonOut&) = delete;
  ~JsonOut() { flush(); }

  void raw(std::string_view text) { buffer_.append(text); }

  template <typename Unsigned>
  void number(Unsigned value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    buffer_.append(digits, result.ptr);
  }

  // Appends `text` as a JSON string. Valid UTF-8 passes through as is;
  // quote, backslash and control characters are escaped; a byte that is not
  // part of valid UTF-8 becomes U+FFFD, so the file is always readable JSON.
  void string(std::string_view text) {
    buffer_.push_back('"');
    std::size_t run = 0;  // start of the bytes not yet appended
    std::size_t i = 0;
    while (i < text.size()) {
      const auto byte = static_cast<unsigned char>(text[i]);
      if (byte >= 0x20 && byte != '"' && byte != '\\' && byte < 0x80) {
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
      buffer_.append(text.data() + run, i - run);
      escape(byte);
      ++i;
      run = i;
    }
    buffer_.append(text.data() + run, i - run);
    buffer_.push_back('"');
  }

  // Passes the buffer on when it is full enough; called between records.
  void maybe_flush() {
    if (buffer_.size() >= kChunkBytes) flush();
  }

  void flush() {
    if (!buffer_.empty()) {
      out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
      buffer_.clear();
    }
  }

 private:
  void escape(unsigned char byte) {
    switch (byte) {
      case '"':
        buffer_.append("\\\"");
        return;
      case '\\':
        buffer_.append("\\\\");
        return;
      case '\b':
        buffer_.append("\\b");
        return;
      case '\f':
        buffer_.append("\\f");
        return;
      case '\n':
        buffer_.append("\\n");
        return;
      case '\r':
        buffer_.append("\\r");
        return;
      case '\t':
        buffer_.append("\\t");
        return;
      default:
        break;
    }
    if (byte < 0x20) {
      constexpr std::string_view kHex = "0123456789abcdef";
      buffer_.append("\\u00");
      buffer_.push_back(kHex[byte >> 4]);
      buffer_.push_back(kHex[byte & 0xF]);
      return;
    }
    buffer_.append("\xEF\xBF\xBD");  // U+FFFD for a stray byte
  }

  std::ostream& out_;
  std::string buffer_;
};

void write_step(JsonOut& json, const ProfileStep& step) {
  json.raw("{\"local_index\":");
  json.number(step.local_index);
  json.raw(",\"phase\":");
  json.number(step.phase);
  json.raw(",\"epoch\":");
  json.number(step.epoch);
  json.raw(",\"operation\":");
  json.string(step.operation);
  json.raw(",\"kind\":\"");
  json.raw(step_kind_name(step.kind));
  json.raw("\",\"kernel\":");
  json.string(step.kernel);
  json.raw(",\"metadata\":[");
  bool first = true;
  for (const auto& entry : step.metadata) {
    json.raw(first ? "{\"name\":" : ",{\"name\":");
    first = false;
    json.string(entry.name);
    json.raw(",\"value\":");
    json.string(entry.value);
    json.raw("}");
  }
  json.raw("]}");
}

}  // namespace

void write_report_json(const ProfileReport& report, std::ostream& out) {
  JsonOut json(out);
  json.raw("{\"format\":\"zyl-profile-report\",\"version\":1,\"clock_hz\":");
  json.number(report.clock_hz);
  json.raw(",\"tiles\":[");
  bool first_tile = true;
  for (const auto& tile : report.tiles) {
    json.raw(first_tile ? "\n{\"physical_tile\":" : ",\n{\"physical_tile\":");
    first_tile = false;
    json.number(tile.physical_tile);
    json.raw(",\"samples\":[");
    bool first_sample = true;
    for (const auto& sample : tile.samples) {
      json.raw(first_sample ? "\n{\"start_cycle\":" : ",\n{\"start_cycle\":");
      first_sample = false;
      json.number(sample.start_cycle);
      json.raw(",\"end_cycle\":");
      json.number(sample.end_cycle);
      json.raw(",\"step\":");
      write_step(json, sample.step);
      json.raw("}");
      json.maybe_flush();
    }
    json.raw(first_sample ? "]}" : "\n]}");
  }
  json.raw(first_tile ? "]}\n" : "\n]}\n");
  json.flush();
}

}  // namespace zyl_package
