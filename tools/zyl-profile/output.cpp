// The table, JSON and CSV printers of a QueryReport. Every printer appends to
// one string that is written out at once.
#include "output.h"

#include <fmt/format.h>

#include <set>
#include <vector>

#include "format/csv.h"
#include "format/json_writer.h"
#include "format/sample_fields.h"
#include "format/text.h"
#include "format/text_table.h"

namespace zyl_profile::cli {
namespace {

constexpr GroupField kGroupFields[] = {
    {"sample_count", "samples", -1, 3,
     [](const GroupSummary& g) -> std::uint64_t { return g.sample_count; }},
    {"tile_count", "tiles", -1, 5,
     [](const GroupSummary& g) -> std::uint64_t { return g.tile_count; }},
    {"phase_count", "phases", -1, 6,
     [](const GroupSummary& g) -> std::uint64_t { return g.phase_count; }},
    {"phase_cycles", "phase cycles", -1, 0,
     [](const GroupSummary& g) { return g.phase_cycles; }},
    {"phase_ms", "phase ms", 3, 0, nullptr,
     [](const GroupSummary& g) { return g.phase_ms; }},
    {"work_cycles", "work cycles", -1, 1,
     [](const GroupSummary& g) { return g.work_cycles; }},
    {"average_active_tiles", "avg tiles", 2, 1, nullptr,
     [](const GroupSummary& g) { return g.average_active_tiles; }},
    {"mean_cycles", "mean", 1, 4, nullptr,
     [](const GroupSummary& g) { return g.mean_cycles; }},
    {"p50_cycles", "p50", -1, 7,
     [](const GroupSummary& g) -> std::uint64_t { return g.p50_cycles; }},
    {"p95_cycles", "p95", -1, 4,
     [](const GroupSummary& g) -> std::uint64_t { return g.p95_cycles; }},
    {"maximum_cycles", "max", -1, 2,
     [](const GroupSummary& g) -> std::uint64_t { return g.maximum_cycles; }},
    {"first_offset", "first", -1, 9,
     [](const GroupSummary& g) { return g.first_offset; }},
    {"last_offset", "last", -1, 9,
     [](const GroupSummary& g) { return g.last_offset; }},
    {"minimum_cycles", "min", -1, 8,
     [](const GroupSummary& g) -> std::uint64_t { return g.minimum_cycles; }},
    {"p99_cycles", "p99", -1, 8,
     [](const GroupSummary& g) -> std::uint64_t { return g.p99_cycles; }},
    {"work_percent", "work %", 1, 0, nullptr,
     [](const GroupSummary& g) { return g.work_percent; }},
};

// The table shows the duration statistics from the smallest to the largest,
// so it lists the fields in its own order.
constexpr std::string_view kTableOrder[] = {
    "sample_count", "tile_count",     "phase_count",  "phase_cycles",
    "phase_ms",     "work_cycles",    "work_percent", "average_active_tiles",
    "mean_cycles",  "minimum_cycles", "p50_cycles",   "p95_cycles",
    "p99_cycles",   "maximum_cycles", "first_offset", "last_offset"};

const GroupField& field_named(std::string_view key) {
  for (const GroupField& field : kGroupFields) {
    if (field.key == key) return field;
  }
  return kGroupFields[0];  // unreachable: kTableOrder names only known keys
}

std::set<std::string> dimension_keys(const QueryReport& report) {
  std::set<std::string> keys;
  for (const GroupSummary& group : report.groups) {
    for (const auto& entry : group.dimensions) keys.insert(entry.first);
  }
  return keys;
}

std::string_view dimension_or_empty(const GroupSummary& group,
                                    const std::string& key) {
  const auto found = group.dimensions.find(key);
  return found == group.dimensions.end() ? std::string_view()
                                         : std::string_view(found->second);
}

// Writes one measure to a JsonWriter or a CsvRow, as a count or a real.
template <typename Sink>
void put_measure(const GroupField& field, const GroupSummary& group,
                 Sink& sink) {
  if (field.count != nullptr) {
    sink.number(field.count(group));
  } else {
    sink.real(field.real(group));
  }
}

void append_group_json(const GroupSummary& group, JsonWriter& json) {
  json.begin_object(JsonLayout::Block).field("name", group.name);
  json.key("dimensions").begin_object(JsonLayout::Inline);
  for (const auto& [name, value] : group.dimensions) json.field(name, value);
  json.end();
  for (const GroupField& field : kGroupFields) {
    json.key(field.key);
    put_measure(field, group, json);
  }
  json.end();
}

void append_sample_json(const SampleRecord& sample, JsonWriter& json) {
  json.begin_object(JsonLayout::Block)
      .field("physical_tile", sample.physical_tile)
      .field("offset", sample.offset)
      .field("duration", sample.duration)
      .field("phase", sample.phase)
      .field("epoch", sample.epoch)
      .field("kind", sample.kind)
      .field("operation", sample.operation)
      .field("kernel", sample.kernel);
  json.key("metadata");
  append_metadata_json(sample.metadata, json, JsonLayout::Inline);
  json.end();
}

}  // namespace

std::span<const GroupField> group_fields() { return kGroupFields; }

void append_json(const QueryReport& report, std::string& out) {
  JsonWriter json(out);
  json.begin_object(JsonLayout::Block)
      .field("clock_hz", report.clock_hz)
      .field("tile_count", report.tile_count)
      .field("sample_count", report.sample_count)
      .field("matched_sample_count", report.matched_sample_count)
      .field("profile_span_cycles", report.profile_span_cycles)
      .field("profile_span_ms", report.profile_span_ms);
  json.key("at_offset");
  if (report.at_offset) {
    json.number(*report.at_offset);
  } else {
    json.null();
  }
  json.key("groups").begin_array(JsonLayout::Block);
  for (const GroupSummary& group : report.groups) {
    append_group_json(group, json);
  }
  json.end();
  json.key("samples").begin_array(JsonLayout::Block);
  for (const SampleRecord& sample : report.samples) {
    append_sample_json(sample, json);
  }
  json.end().field("matched_work_cycles", report.matched_work_cycles).end();
  out += '\n';
}

void append_groups_csv(const QueryReport& report, std::string& out) {
  const std::set<std::string> keys = dimension_keys(report);
  CsvRow header(out);
  header.text("name");
  for (const std::string& key : keys) header.text(key);
  for (const GroupField& field : kGroupFields) header.text(field.key);
  header.end();
  for (const GroupSummary& group : report.groups) {
    CsvRow row(out);
    row.text(group.name);
    for (const std::string& key : keys) {
      row.text(dimension_or_empty(group, key));
    }
    for (const GroupField& field : kGroupFields) put_measure(field, group, row);
    row.end();
  }
}

void append_samples_csv(const QueryReport& report, std::string& out) {
  CsvRow header(out);
  for (const std::string_view name : kSampleColumns) header.text(name);
  header.end();
  std::string metadata;
  std::string end_offset;
  for (const SampleRecord& sample : report.samples) {
    metadata.clear();
    end_offset.clear();
    append_end_offset(sample.offset, sample.duration, end_offset);
    JsonWriter json(metadata);
    append_metadata_json(sample.metadata, json, JsonLayout::Compact);
    CsvRow(out)
        .number(sample.physical_tile)
        .number(sample.offset)
        .number(sample.duration)
        .raw(end_offset)
        .number(sample.phase)
        .number(sample.epoch)
        .text(sample.kind)
        .text(sample.operation)
        .text(sample.kernel)
        .text(metadata)
        .end();
  }
}

void append_table(const QueryReport& report, std::string& out,
                  std::size_t max_width) {
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

  std::size_t left_out = 0;
  if (report.groups.empty()) {
    // With --limit 0 samples may match although no group is shown.
    out += report.matched_sample_count == 0 ? "no matching samples\n"
                                            : "no groups shown\n";
  } else {
    const std::set<std::string> keys = dimension_keys(report);
    TextTable groups;
    groups.column("name", Align::Left);
    for (const std::string& key : keys) groups.column(key, Align::Left);
    for (const std::string_view key : kTableOrder) {
      const GroupField& field = field_named(key);
      groups.column(std::string(field.title), Align::Right, field.drop_rank);
    }
    for (const GroupSummary& group : report.groups) {
      std::vector<std::string> cells{terminal_escape(group.name)};
      for (const std::string& key : keys) {
        cells.push_back(terminal_escape(dimension_or_empty(group, key)));
      }
      for (const std::string_view key : kTableOrder) {
        const GroupField& field = field_named(key);
        cells.push_back(field.count != nullptr
                            ? with_separators(field.count(group))
                            : fixed(field.real(group), field.decimals));
      }
      groups.row(std::move(cells));
    }
    left_out += groups.append_to(out, max_width);
  }

  if (!report.samples.empty()) {
    out += fmt::format("\nlongest matching samples ({} listed)\n",
                       with_separators(report.samples.size()));
    TextTable samples;
    samples.column("tile", Align::Right);
    samples.column("offset", Align::Right);
    samples.column("duration", Align::Right);
    samples.column("phase/epoch", Align::Right, 2);
    samples.column("kind", Align::Left, 1);
    samples.column("operation", Align::Left);
    samples.column("kernel", Align::Left);
    samples.column("metadata", Align::Left, 3);
    for (const SampleRecord& sample : report.samples) {
      samples.row(
          {with_separators(sample.physical_tile),
           with_separators(sample.offset), with_separators(sample.duration),
           fmt::format("{}/{}", sample.phase, sample.epoch),
           terminal_escape(sample.kind), terminal_escape(sample.operation),
           terminal_escape(sample.kernel), metadata_text(sample.metadata)});
    }
    left_out += samples.append_to(out, max_width);
  }
  if (left_out > 0) out += '\n';
  append_left_out_note(left_out, max_width, out);
}

}  // namespace zyl_profile::cli
