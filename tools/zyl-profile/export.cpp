// write_samples and the export command.
#include "export.h"

#include <string>
#include <vector>

#include "samples.h"
#include "zyl_package/atomic_file.h"

namespace zyl_profile::cli {
namespace {

constexpr std::size_t kFlushBytes = std::size_t{1} << 20;

// {"name": first value, ...} in the order the names first appear: a flat
// object that DuckDB's and pandas' JSON functions read directly.
std::string first_values(const std::vector<ProfileMetadata>& metadata,
                         std::vector<std::uint32_t>& order) {
  order_by_name(metadata, order);
  std::string text = "{";
  for (std::size_t i = 0; i < order.size(); ++i) {
    const ProfileMetadata& entry = metadata[order[i]];
    if (i > 0 && entry.name == metadata[order[i - 1]].name) continue;
    if (text.size() > 1) text += ',';
    append_json_string(entry.name, text);
    text += ':';
    append_json_string(entry.value, text);
  }
  text += '}';
  return text;
}

void append_csv_row(const TileProfile& tile, const CycleSample& sample,
                    std::uint64_t offset, std::uint32_t length,
                    std::vector<std::uint32_t>& order, std::string& out) {
  for (const std::uint64_t number :
       {std::uint64_t{tile.physical_tile}, offset, std::uint64_t{length},
        offset + length, std::uint64_t{sample.step.phase},
        std::uint64_t{sample.step.epoch}}) {
    append_decimal(number, out);
    out += ',';
  }
  out += kind_name(sample);
  out += ',';
  append_csv_field(sample.step.operation, out);
  out += ',';
  append_csv_field(sample.step.kernel, out);
  out += ',';
  append_csv_field(first_values(sample.step.metadata, order), out);
  out += "\r\n";
}

void append_json_line(const TileProfile& tile, const CycleSample& sample,
                      std::uint64_t offset, std::uint32_t length,
                      std::string& out) {
  out += "{\"physical_tile\":";
  append_decimal(tile.physical_tile, out);
  out += ",\"offset\":";
  append_decimal(offset, out);
  out += ",\"duration\":";
  append_decimal(length, out);
  out += ",\"end_offset\":";
  append_decimal(offset + length, out);
  out += ",\"phase\":";
  append_decimal(sample.step.phase, out);
  out += ",\"epoch\":";
  append_decimal(sample.step.epoch, out);
  out += ",\"kind\":\"";
  out += kind_name(sample);
  out += "\",\"operation\":";
  append_json_string(sample.step.operation, out);
  out += ",\"kernel\":";
  append_json_string(sample.step.kernel, out);
  out += ",\"metadata\":[";
  bool first = true;
  for (const ProfileMetadata& entry : sample.step.metadata) {
    out += first ? "{\"name\":" : ",{\"name\":";
    first = false;
    append_json_string(entry.name, out);
    out += ",\"value\":";
    append_json_string(entry.value, out);
    out += '}';
  }
  out += "]}\n";
}

}  // namespace

std::size_t write_samples(const ProfileReport& report, const Query& query,
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
  for_each_match(report, query,
                 [&](const TileProfile& tile, const CycleSample& sample,
                     std::uint64_t offset, std::uint32_t length) {
                   if (format == ExportFormat::Csv) {
                     append_csv_row(tile, sample, offset, length, order, text);
                   } else {
                     append_json_line(tile, sample, offset, length, text);
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
  const zyl_package::LoadResult loaded =
      load_report(command.report, command.limits);
  if (!loaded.ok()) {
    report_error(loaded.error().to_string());
    return ExitCode::ReadError;
  }
  const ProfileReport& report = loaded.value();
  const Query query =
      with_window(command.query, command.from, command.to, report);
  if (const std::optional<std::string> error =
          zyl_package::write_file_atomically(
              command.output, [&](std::ostream& out) {
                write_samples(report, query, command.format, out);
              })) {
    report_error(*error);
    return ExitCode::ReadError;
  }
  return ExitCode::Success;
}

}  // namespace zyl_profile::cli
