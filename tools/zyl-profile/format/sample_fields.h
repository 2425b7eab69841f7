// How one sample is spelled wherever samples are written as rows (the
// query's sample CSV, export's CSV and JSON lines): the column names and the
// one metadata encoding, a JSON array of {"name", "value"} objects in the
// sample's order, which keeps repeated names and reads back exactly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "format/json_writer.h"
#include "format/text.h"

namespace zyl_profile::cli {

// The columns of a sample row. Offsets and durations are cycles on the
// tile's normalised timeline; the names avoid SQL's reserved words (OFFSET),
// so `SELECT offset_cycles ...` needs no quoting.
inline constexpr std::string_view kSampleColumns[] = {"physical_tile",
                                                      "offset_cycles",
                                                      "duration_cycles",
                                                      "end_offset_cycles",
                                                      "phase",
                                                      "epoch",
                                                      "kind",
                                                      "operation",
                                                      "kernel",
                                                      "metadata"};

// Appends the decimal digits of `offset + duration`, exact even when the sum
// passes 2^64 - 1 (an offset near the top of the u64 range).
void append_end_offset(std::uint64_t offset, std::uint32_t duration,
                       std::string& out);

// Writes `entries` (anything whose elements have `name` and `value`
// viewable as text) as a JSON array of {"name", "value"} objects.
template <typename Entries>
void append_metadata_json(const Entries& entries, JsonWriter& json,
                          JsonLayout layout) {
  json.begin_array(layout);
  for (const auto& entry : entries) {
    json.begin_object(layout)
        .field("name", std::string_view(entry.name))
        .field("value", std::string_view(entry.value))
        .end();
  }
  json.end();
}

// Returns `entries` as "name=value, name=value" for a terminal, escaped.
template <typename Entries>
[[nodiscard]] std::string metadata_text(const Entries& entries) {
  std::string text;
  for (const auto& entry : entries) {
    if (!text.empty()) text += ", ";
    text += terminal_escape(entry.name);
    text += '=';
    text += terminal_escape(entry.value);
  }
  return text;
}

}  // namespace zyl_profile::cli
