// Streaming writer of the JSON form of a report: one sample per line, built
// in a chunk buffer and handed to the stream in large pieces. Records and
// columns go through the same ReportJsonWriter, so they give the same bytes.
#include <cstdint>
#include <ostream>
#include <string_view>

#include "report_json_out.h"
#include "sample_values.h"
#include "write_progress.h"
#include "zyl_package/report_io.h"

namespace zyl_package {
namespace detail {

ReportJsonWriter::ReportJsonWriter(std::ostream& out, std::uint64_t clock_hz)
    : json_(out) {
  json_.raw("{\"format\":\"zyl-profile-report\",\"version\":1,\"clock_hz\":");
  json_.number(clock_hz);
  json_.raw(",\"tiles\":[");
}

void ReportJsonWriter::begin_tile(std::uint32_t physical_tile) {
  if (in_tile_) end_tile();
  json_.raw(first_tile_ ? "\n{\"physical_tile\":" : ",\n{\"physical_tile\":");
  first_tile_ = false;
  json_.number(physical_tile);
  json_.raw(",\"samples\":[");
  in_tile_ = true;
  first_sample_ = true;
}

void ReportJsonWriter::begin_sample(const SampleView& sample) {
  json_.raw(first_sample_ ? "\n{\"start_cycle\":" : ",\n{\"start_cycle\":");
  first_sample_ = false;
  json_.number(sample.start_cycle);
  json_.raw(",\"end_cycle\":");
  json_.number(sample.end_cycle);
  json_.raw(",\"step\":{\"local_index\":");
  json_.number(sample.local_index);
  json_.raw(",\"phase\":");
  json_.number(sample.phase);
  json_.raw(",\"epoch\":");
  json_.number(sample.epoch);
  json_.raw(",\"operation\":");
  json_.string(sample.operation);
  json_.raw(",\"kind\":\"");
  json_.raw(step_kind_name(sample.kind));
  json_.raw("\",\"kernel\":");
  json_.string(sample.kernel);
  json_.raw(",\"metadata\":[");
  first_entry_ = true;
}

void ReportJsonWriter::metadata(std::string_view name, std::string_view value) {
  json_.raw(first_entry_ ? "{\"name\":" : ",{\"name\":");
  first_entry_ = false;
  json_.string(name);
  json_.raw(",\"value\":");
  json_.string(value);
  json_.raw("}");
}

void ReportJsonWriter::end_sample() {
  json_.raw("]}}");
  json_.maybe_flush();
}

void ReportJsonWriter::end_tile() {
  json_.raw(first_sample_ ? "]}" : "\n]}");
  in_tile_ = false;
}

void ReportJsonWriter::finish() {
  if (in_tile_) end_tile();
  json_.raw(first_tile_ ? "]}\n" : "\n]}\n");
  json_.flush();
}

}  // namespace detail

namespace {

// The outcome of a stream write: the stream's state is all there is to go
// by, and a stream has no file name.
Written stream_result(const std::ostream& out) {
  if (out) return {};
  return WriteError{{}, "write failed: the output stream is in a failed state"};
}

}  // namespace

Written write_report_json(const ProfileReport& report, std::ostream& out) {
  detail::ReportJsonWriter writer(out, report.clock_hz);
  for (const auto& tile : report.tiles) {
    writer.begin_tile(tile.physical_tile);
    for (const auto& sample : tile.samples) {
      writer.begin_sample(detail::view_of(sample));
      for (const auto& entry : sample.step.metadata) {
        writer.metadata(entry.name, entry.value);
      }
      writer.end_sample();
    }
  }
  writer.finish();
  return stream_result(out);
}

Written write_columns_json(const ProfileColumns& columns, std::ostream& out,
                           ReadProgress* progress) {
  detail::WriteProgress counted(progress, columns.sample_count());
  detail::ReportJsonWriter writer(out, columns.clock_hz);
  for (const ColumnTile& tile : columns.tiles) {
    writer.begin_tile(tile.physical_tile);
    const std::uint64_t end = tile.first_sample + tile.sample_count;
    for (std::uint64_t i = tile.first_sample; i < end; ++i) {
      writer.begin_sample(detail::sample_view(columns, i));
      for (const MetadataPair& pair : columns.list(columns.metadata[i])) {
        writer.metadata(columns.string(pair.name), columns.string(pair.value));
      }
      writer.end_sample();
      counted.add(1);
    }
  }
  writer.finish();
  return stream_result(out);
}

}  // namespace zyl_package
