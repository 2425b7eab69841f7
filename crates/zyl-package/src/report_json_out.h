// The JSON form of a report written piece by piece: the one formatter behind
// writing records, columns and generated samples, so all three give the
// same bytes.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "zyl_package/profile_report.h"
#include "zyl_package/text.h"

namespace zyl_package::detail {

// Output is gathered here and passed on in chunks of about this size, so the
// stream sees a few large writes instead of one per token.
inline constexpr std::size_t kJsonChunkBytes = std::size_t{1} << 16;

class JsonOut {
 public:
  explicit JsonOut(std::ostream& out) : out_(out) {
    buffer_.reserve(kJsonChunkBytes + 4096);
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

  // Appends `text` as a JSON string (append_json_string).
  void string(std::string_view text) { append_json_string(text, buffer_); }

  // Passes the buffer on when it is full enough; called between records.
  void maybe_flush() {
    if (buffer_.size() >= kJsonChunkBytes) flush();
  }

  void flush() {
    if (!buffer_.empty()) {
      out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
      buffer_.clear();
    }
  }

 private:
  std::ostream& out_;
  std::string buffer_;
};

// Writes one report as the calls arrive, one sample per line: begin_tile for
// each tile, then for each sample begin_sample, metadata for each entry and
// end_sample; finish closes the document. Holds one output chunk, never the
// report.
class ReportJsonWriter {
 public:
  ReportJsonWriter(std::ostream& out, std::uint64_t clock_hz);

  void begin_tile(std::uint32_t physical_tile);
  void begin_sample(const SampleView& sample);
  void metadata(std::string_view name, std::string_view value);
  void end_sample();
  // Closes the document and passes the rest on to the stream.
  void finish();

 private:
  void end_tile();

  JsonOut json_;
  bool in_tile_ = false;
  bool first_tile_ = true;
  bool first_sample_ = true;
  bool first_entry_ = true;
};

}  // namespace zyl_package::detail
