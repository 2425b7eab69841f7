// write_samples and the export command.
#include "export.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "samples.h"
#include "zyl_package/atomic_file.h"

namespace zyl_profile::cli {
namespace {

constexpr std::size_t kFlushBytes = std::size_t{1} << 20;

// {"name": first value, ...} in the order the names first appear: a flat
// object that DuckDB's and pandas' JSON functions read directly.
std::string first_values(const ProfileColumns& columns,
                         std::span<const zyl_package::MetadataPair> metadata,
                         std::vector<std::uint32_t>& order) {
  order_by_name(columns, metadata, order);
  std::string text = "{";
  std::string_view previous_name;
  for (std::size_t i = 0; i < order.size(); ++i) {
    const zyl_package::MetadataPair& entry = metadata[order[i]];
    const std::string_view name = columns.string(entry.name);
    if (i > 0 && name == previous_name) continue;
    previous_name = name;
    if (text.size() > 1) text += ',';
    append_json_string(name, text);
    text += ':';
    append_json_string(columns.string(entry.value), text);
  }
  text += '}';
  return text;
}

// One matching sample as export writes it: where the scan found it.
struct Match {
  std::uint32_t physical_tile = 0;
  std::size_t sample = 0;
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
};

void append_numbers(const ProfileColumns& columns, const Match& match,
                    std::string& out) {
  for (const std::uint64_t number :
       {std::uint64_t{match.physical_tile}, match.offset,
        std::uint64_t{match.length}, match.offset + match.length,
        std::uint64_t{columns.phase[match.sample]},
        std::uint64_t{columns.epoch[match.sample]}}) {
    append_decimal(number, out);
    out += ',';
  }
}

void append_csv_row(const ProfileColumns& columns, const Match& match,
                    std::vector<std::uint32_t>& order, std::string& out) {
  append_numbers(columns, match, out);
  out += sample_kind_name(columns, match.sample);
  out += ',';
  append_csv_field(columns.string(columns.operation[match.sample]), out);
  out += ',';
  append_csv_field(columns.string(columns.kernel[match.sample]), out);
  out += ',';
  append_csv_field(
      first_values(columns, columns.list(columns.metadata[match.sample]),
                   order),
      out);
  out += "\r\n";
}

void append_json_line(const ProfileColumns& columns, const Match& match,
                      std::string& out) {
  const std::size_t sample = match.sample;
  out += "{\"physical_tile\":";
  append_decimal(match.physical_tile, out);
  out += ",\"offset\":";
  append_decimal(match.offset, out);
  out += ",\"duration\":";
  append_decimal(match.length, out);
  out += ",\"end_offset\":";
  append_decimal(match.offset + match.length, out);
  out += ",\"phase\":";
  append_decimal(columns.phase[sample], out);
  out += ",\"epoch\":";
  append_decimal(columns.epoch[sample], out);
  out += ",\"kind\":\"";
  out += sample_kind_name(columns, sample);
  out += "\",\"operation\":";
  append_json_string(columns.string(columns.operation[sample]), out);
  out += ",\"kernel\":";
  append_json_string(columns.string(columns.kernel[sample]), out);
  out += ",\"metadata\":[";
  bool first = true;
  for (const zyl_package::MetadataPair& entry :
       columns.list(columns.metadata[sample])) {
    out += first ? "{\"name\":" : ",{\"name\":";
    first = false;
    append_json_string(columns.string(entry.name), out);
    out += ",\"value\":";
    append_json_string(columns.string(entry.value), out);
    out += '}';
  }
  out += "]}\n";
}

}  // namespace

std::size_t write_samples(const ProfileColumns& columns, const Query& query,
                          ExportFormat format, std::ostream& out) {
  std::string text;
  text.reserve(kFlushBytes + 4096);
  if (format == ExportFormat::Csv) {
    text +=
        "physical_tile,offset,duration,end_offset,phase,epoch,kind,operation,"
        "kernel,metadata\r\n";
  }
  std::size_t count = 0;
  std::vector<std::uint32_t> order;
  for_each_match(columns, query,
                 [&](std::size_t tile_idx, std::size_t sample,
                     std::uint64_t offset, std::uint32_t length) {
                   const Match match{columns.tiles[tile_idx].physical_tile,
                                     sample, offset, length};
                   if (format == ExportFormat::Csv) {
                     append_csv_row(columns, match, order, text);
                   } else {
                     append_json_line(columns, match, text);
                   }
                   ++count;
                   if (text.size() >= kFlushBytes) {
                     out.write(text.data(),
                               static_cast<std::streamsize>(text.size()));
                     text.clear();
                   }
                 });
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  return count;
}

ExitCode run_export(const ExportCommand& command) {
  const zyl_package::ColumnsResult opened =
      open_columns(command.report, command.limits);
  if (!opened.ok()) {
    report_error(opened.error().to_string());
    return ExitCode::ReadError;
  }
  const ProfileColumns& columns = opened.value();
  const Query query =
      with_window(command.query, command.from, command.to, columns);
  if (const std::optional<std::string> error =
          zyl_package::write_file_atomically(
              command.output, [&](std::ostream& out) {
                write_samples(columns, query, command.format, out);
              })) {
    report_error(*error);
    return ExitCode::ReadError;
  }
  return ExitCode::Success;
}

}  // namespace zyl_profile::cli
