// The table, JSON and CSV printers of a QueryReport. Every printer appends to
// one string that main writes out at once.
#include "output.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>  // std::to_chars
#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

namespace zyl_profile::cli {
namespace {

// One decoded UTF-8 sequence: its code point and length, or length 0 when
// the bytes at the position are not valid UTF-8 (overlong forms, surrogates
// and values past U+10FFFF included).
struct CodePoint {
  char32_t value = 0;
  std::size_t length = 0;
};

CodePoint decode_utf8(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) {
    return static_cast<unsigned char>(text[i]);
  };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return {};
  }
  if (text.size() - pos < length) return {};
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) return {};
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF ||
      (value >= 0xD800 && value <= 0xDFFF)) {
    return {};
  }
  return {value, length};
}

void append_u64(std::uint64_t value, std::string& out) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void append_json_string(std::string_view text, std::string& out) {
  out += '"';
  out += json_escape(text);
  out += '"';
}

// Writes `"key": ` at the given indentation, after a comma unless first.
class JsonObject {
 public:
  JsonObject(std::string& out, std::size_t indent)
      : out_(out), indent_(indent) {
    out_ += '{';
  }

  std::string& key(std::string_view name) {
    out_ += first_ ? "\n" : ",\n";
    first_ = false;
    out_.append(indent_ + 2, ' ');
    append_json_string(name, out_);
    out_ += ": ";
    return out_;
  }
  void number(std::string_view name, std::uint64_t value) {
    append_u64(value, key(name));
  }
  void real(std::string_view name, double value) {
    key(name) += shortest_double(value);
  }
  void string(std::string_view name, std::string_view value) {
    append_json_string(value, key(name));
  }
  void close() {
    if (!first_) {
      out_ += '\n';
      out_.append(indent_, ' ');
    }
    out_ += '}';
  }

 private:
  std::string& out_;
  std::size_t indent_;
  bool first_ = true;
};

void append_dimensions(const std::map<std::string, std::string>& dimensions,
                       std::string& out) {
  if (dimensions.empty()) {
    out += "{}";
    return;
  }
  out += "{ ";
  bool first = true;
  for (const auto& [name, value] : dimensions) {
    if (!first) out += ", ";
    first = false;
    append_json_string(name, out);
    out += ": ";
    append_json_string(value, out);
  }
  out += " }";
}

void append_metadata(const std::vector<MetadataEntry>& metadata,
                     std::string& out) {
  if (metadata.empty()) {
    out += "[]";
    return;
  }
  out += "[ ";
  bool first = true;
  for (const MetadataEntry& entry : metadata) {
    if (!first) out += ", ";
    first = false;
    out += "{ \"name\": ";
    append_json_string(entry.name, out);
    out += ", \"value\": ";
    append_json_string(entry.value, out);
    out += " }";
  }
  out += " ]";
}

void append_group_json(const GroupSummary& group, std::string& out) {
  JsonObject object(out, 4);
  object.string("name", group.name);
  append_dimensions(group.dimensions, object.key("dimensions"));
  object.number("sample_count", group.sample_count);
  object.number("tile_count", group.tile_count);
  object.number("phase_count", group.phase_count);
  object.number("phase_cycles", group.phase_cycles);
  object.real("phase_ms", group.phase_ms);
  object.number("work_cycles", group.work_cycles);
  object.real("average_active_tiles", group.average_active_tiles);
  object.real("mean_cycles", group.mean_cycles);
  object.number("p50_cycles", group.p50_cycles);
  object.number("p95_cycles", group.p95_cycles);
  object.number("maximum_cycles", group.maximum_cycles);
  object.number("first_offset", group.first_offset);
  object.number("last_offset", group.last_offset);
  object.number("minimum_cycles", group.minimum_cycles);
  object.number("p99_cycles", group.p99_cycles);
  object.close();
}

void append_sample_json(const SampleRecord& sample, std::string& out) {
  JsonObject object(out, 4);
  object.number("physical_tile", sample.physical_tile);
  object.number("offset", sample.offset);
  object.number("duration", sample.duration);
  object.number("phase", sample.phase);
  object.number("epoch", sample.epoch);
  object.string("kind", sample.kind);
  object.string("operation", sample.operation);
  object.string("kernel", sample.kernel);
  append_metadata(sample.metadata, object.key("metadata"));
  object.close();
}

template <typename T, typename Append>
void append_json_array(const std::vector<T>& items, Append append_item,
                       std::string& out) {
  if (items.empty()) {
    out += "[]";
    return;
  }
  out += '[';
  bool first = true;
  for (const T& item : items) {
    out += first ? "\n    " : ",\n    ";
    first = false;
    append_item(item, out);
  }
  out += "\n  ]";
}

// CSV field: quoted when it holds a comma, a quote or a line break, with
// quotes doubled (RFC 4180). The bytes are kept as they are.
void append_csv_field(std::string_view text, std::string& out) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
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

void append_csv_row(const std::vector<std::string>& fields, std::string& out) {
  bool first = true;
  for (const std::string& field : fields) {
    if (!first) out += ',';
    first = false;
    append_csv_field(field, out);
  }
  out += "\r\n";
}

std::set<std::string> dimension_keys(const QueryReport& report) {
  std::set<std::string> keys;
  for (const GroupSummary& group : report.groups) {
    for (const auto& entry : group.dimensions) keys.insert(entry.first);
  }
  return keys;
}

std::string dimension_or_empty(const GroupSummary& group,
                               const std::string& key) {
  const auto found = group.dimensions.find(key);
  return found == group.dimensions.end() ? std::string() : found->second;
}

// A fixed-point number with separators in its integer part.
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

// Display width: code points of already escaped, printable text.
std::size_t display_width(std::string_view text) {
  std::size_t width = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  }
  return width;
}

// An aligned text table: left-aligned text columns, right-aligned numbers,
// two spaces apart, no trailing blanks, nothing ever cut short.
class TextTable {
 public:
  void column(std::string title, bool right_aligned) {
    titles_.push_back(std::move(title));
    right_.push_back(right_aligned);
  }
  void row(std::vector<std::string> cells) {
    rows_.push_back(std::move(cells));
  }

  void append_to(std::string& out) const {
    std::vector<std::size_t> widths(titles_.size(), 0);
    const auto measure = [&](const std::vector<std::string>& cells) {
      for (std::size_t i = 0; i < cells.size(); ++i) {
        widths[i] = std::max(widths[i], display_width(cells[i]));
      }
    };
    measure(titles_);
    for (const auto& cells : rows_) measure(cells);
    append_row(titles_, widths, out);
    for (const auto& cells : rows_) append_row(cells, widths, out);
  }

 private:
  void append_row(const std::vector<std::string>& cells,
                  const std::vector<std::size_t>& widths,
                  std::string& out) const {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      if (i > 0) line += "  ";
      const std::size_t pad = widths[i] - display_width(cells[i]);
      if (right_[i]) line.append(pad, ' ');
      line += cells[i];
      if (!right_[i]) line.append(pad, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line;
    out += '\n';
  }

  std::vector<std::string> titles_;
  std::vector<bool> right_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace

std::string json_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const CodePoint cp = decode_utf8(text, i);
    if (cp.length == 0) {
      out += "\\ufffd";  // a byte that is not UTF-8 cannot be kept in JSON
      ++i;
      continue;
    }
    const char32_t c = cp.value;
    switch (c) {
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
        if (c < 0x20) {
          out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
        } else {
          out.append(text.substr(i, cp.length));
        }
    }
    i += cp.length;
  }
  return out;
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

std::string shortest_double(double value) {
  if (!std::isfinite(value) || value == 0.0) return "0";
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

void append_json(const QueryReport& report, std::string& out) {
  JsonObject object(out, 0);
  object.number("clock_hz", report.clock_hz);
  object.number("tile_count", report.tile_count);
  object.number("sample_count", report.sample_count);
  object.number("matched_sample_count", report.matched_sample_count);
  object.number("profile_span_cycles", report.profile_span_cycles);
  object.real("profile_span_ms", report.profile_span_ms);
  if (report.at_offset) {
    object.number("at_offset", *report.at_offset);
  } else {
    object.key("at_offset") += "null";
  }
  append_json_array(report.groups, append_group_json, object.key("groups"));
  append_json_array(report.samples, append_sample_json, object.key("samples"));
  object.close();
  out += '\n';
}

void append_groups_csv(const QueryReport& report, std::string& out) {
  const std::set<std::string> keys = dimension_keys(report);
  std::vector<std::string> header{"name"};
  header.insert(header.end(), keys.begin(), keys.end());
  for (const char* name :
       {"sample_count", "tile_count", "phase_count", "phase_cycles", "phase_ms",
        "work_cycles", "average_active_tiles", "mean_cycles", "p50_cycles",
        "p95_cycles", "maximum_cycles", "first_offset", "last_offset",
        "minimum_cycles", "p99_cycles"}) {
    header.emplace_back(name);
  }
  append_csv_row(header, out);
  for (const GroupSummary& group : report.groups) {
    std::vector<std::string> row{group.name};
    for (const std::string& key : keys) {
      row.push_back(dimension_or_empty(group, key));
    }
    for (const std::uint64_t value :
         {std::uint64_t{group.sample_count}, std::uint64_t{group.tile_count},
          std::uint64_t{group.phase_count}, group.phase_cycles}) {
      row.push_back(std::to_string(value));
    }
    row.push_back(shortest_double(group.phase_ms));
    row.push_back(std::to_string(group.work_cycles));
    row.push_back(shortest_double(group.average_active_tiles));
    row.push_back(shortest_double(group.mean_cycles));
    for (const std::uint64_t value :
         {std::uint64_t{group.p50_cycles}, std::uint64_t{group.p95_cycles},
          std::uint64_t{group.maximum_cycles}, group.first_offset,
          group.last_offset, std::uint64_t{group.minimum_cycles},
          std::uint64_t{group.p99_cycles}}) {
      row.push_back(std::to_string(value));
    }
    append_csv_row(row, out);
  }
}

void append_samples_csv(const QueryReport& report, std::string& out) {
  append_csv_row({"physical_tile", "offset", "duration", "phase", "epoch",
                  "kind", "operation", "kernel", "metadata"},
                 out);
  for (const SampleRecord& sample : report.samples) {
    std::string metadata;
    append_metadata(sample.metadata, metadata);
    append_csv_row(
        {std::to_string(sample.physical_tile), std::to_string(sample.offset),
         std::to_string(sample.duration), std::to_string(sample.phase),
         std::to_string(sample.epoch), sample.kind, sample.operation,
         sample.kernel, metadata},
        out);
  }
}

void append_table(const QueryReport& report, std::string& out) {
  out += fmt::format("{} tiles, {} samples, {} matched\n",
                     with_separators(report.tile_count),
                     with_separators(report.sample_count),
                     with_separators(report.matched_sample_count));
  if (report.clock_hz == 0) {
    out += fmt::format("span {} cycles (clock unknown)",
                       with_separators(report.profile_span_cycles));
  } else {
    out += fmt::format("span {} cycles = {} ms at {} Hz",
                       with_separators(report.profile_span_cycles),
                       fixed(report.profile_span_ms, 3),
                       with_separators(report.clock_hz));
  }
  if (report.at_offset) {
    out += fmt::format(", at offset {}", with_separators(*report.at_offset));
  }
  out += "\n\n";

  if (report.groups.empty()) {
    // With --limit 0 samples may match although no group is shown.
    out += report.matched_sample_count == 0 ? "no matching samples\n"
                                            : "no groups shown\n";
  } else {
    const std::set<std::string> keys = dimension_keys(report);
    TextTable groups;
    groups.column("name", false);
    for (const std::string& key : keys) groups.column(key, false);
    for (const char* title :
         {"samples", "tiles", "phases", "phase cycles", "phase ms",
          "work cycles", "avg tiles", "mean", "min", "p50", "p95", "p99", "max",
          "first", "last"}) {
      groups.column(title, true);
    }
    for (const GroupSummary& group : report.groups) {
      std::vector<std::string> cells{terminal_escape(group.name)};
      for (const std::string& key : keys) {
        cells.push_back(terminal_escape(dimension_or_empty(group, key)));
      }
      cells.push_back(with_separators(group.sample_count));
      cells.push_back(with_separators(group.tile_count));
      cells.push_back(with_separators(group.phase_count));
      cells.push_back(with_separators(group.phase_cycles));
      cells.push_back(fixed(group.phase_ms, 3));
      cells.push_back(with_separators(group.work_cycles));
      cells.push_back(fixed(group.average_active_tiles, 2));
      cells.push_back(fixed(group.mean_cycles, 1));
      for (const std::uint64_t value :
           {std::uint64_t{group.minimum_cycles},
            std::uint64_t{group.p50_cycles}, std::uint64_t{group.p95_cycles},
            std::uint64_t{group.p99_cycles},
            std::uint64_t{group.maximum_cycles}, group.first_offset,
            group.last_offset}) {
        cells.push_back(with_separators(value));
      }
      groups.row(std::move(cells));
    }
    groups.append_to(out);
  }

  if (report.samples.empty()) return;
  out += fmt::format("\nlongest matching samples ({} listed)\n",
                     with_separators(report.samples.size()));
  TextTable samples;
  for (const auto& [title, right] :
       {std::pair{"tile", true}, std::pair{"offset", true},
        std::pair{"duration", true}, std::pair{"phase/epoch", true},
        std::pair{"kind", false}, std::pair{"operation", false},
        std::pair{"kernel", false}, std::pair{"metadata", false}}) {
    samples.column(title, right);
  }
  for (const SampleRecord& sample : report.samples) {
    std::string metadata;
    for (const MetadataEntry& entry : sample.metadata) {
      if (!metadata.empty()) metadata += ", ";
      metadata += terminal_escape(entry.name);
      metadata += '=';
      metadata += terminal_escape(entry.value);
    }
    samples.row(
        {with_separators(sample.physical_tile), with_separators(sample.offset),
         with_separators(sample.duration),
         fmt::format("{}/{}", sample.phase, sample.epoch),
         terminal_escape(sample.kind), terminal_escape(sample.operation),
         terminal_escape(sample.kernel), std::move(metadata)});
  }
  samples.append_to(out);
}

}  // namespace zyl_profile::cli
