// CSV fields and records (RFC 4180, CRLF line ends).
#include "csv.h"

#include "json_writer.h"

namespace zyl_profile::cli {

void append_csv_field(std::string_view text, std::string& out) {
  if (!text.empty() &&
      text.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += text;
    return;
  }
  out += '"';
  for (const char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

void CsvRow::separate() {
  if (!first_) out_ += ',';
  first_ = false;
}

CsvRow& CsvRow::text(std::string_view value) {
  separate();
  append_csv_field(value, out_);
  return *this;
}

CsvRow& CsvRow::number(std::uint64_t value) {
  separate();
  append_decimal(value, out_);
  return *this;
}

CsvRow& CsvRow::raw(std::string_view value) {
  separate();
  out_ += value;
  return *this;
}

CsvRow& CsvRow::real(double value) {
  separate();
  out_ += shortest_double(value);
  return *this;
}

}  // namespace zyl_profile::cli
