// RFC 4180 CSV, the one spelling for every table the tool writes as CSV.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zyl_profile::cli {

// Appends `text` as a CSV field: quoted when it holds a comma, a quote or a
// line break, or when it is empty (so readers that take an empty field for
// a missing value can tell the empty string apart), quotes doubled, bytes
// kept as they are.
void append_csv_field(std::string_view text, std::string& out);

// Appends one CSV record field by field, ending it with CRLF.
class CsvRow {
 public:
  explicit CsvRow(std::string& out) : out_(out) {}

  CsvRow& text(std::string_view value);
  CsvRow& number(std::uint64_t value);
  CsvRow& real(double value);           // shortest round trip
  CsvRow& raw(std::string_view value);  // a field already in CSV form
  void end() { out_ += "\r\n"; }

 private:
  void separate();

  std::string& out_;
  bool first_ = true;
};

}  // namespace zyl_profile::cli
