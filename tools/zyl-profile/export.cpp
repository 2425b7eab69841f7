// SampleRowWriter, write_samples and the export command: the sample rows
// spelled by the shared formatting layer, streamed to a file.
#include "export.h"

#include <ranges>
#include <string>
#include <string_view>

#include "format/csv.h"
#include "format/sample_fields.h"
#include "samples.h"
#include "zyl_package/atomic_file.h"
#include "zyl_profile/scan.h"

namespace zyl_profile::cli {
namespace {

constexpr std::size_t kFlushBytes = std::size_t{1} << 20;

struct MetadataText {
  std::string_view name;
  std::string_view value;
};

// The metadata list of `sample` as text pairs, viewed in place.
auto metadata_of(const ProfileColumns& columns, std::size_t sample) {
  return columns.list(columns.metadata[sample]) |
         std::views::transform([&columns](const zyl_package::MetadataPair& e) {
           return MetadataText{columns.string(e.name), columns.string(e.value)};
         });
}

}  // namespace

SampleRowWriter::SampleRowWriter(const ProfileColumns& columns,
                                 ExportFormat format, std::string& out)
    : columns_(&columns),
      format_(format),
      out_(out),
      json_(format == ExportFormat::Csv ? metadata_ : out) {}

void SampleRowWriter::header() {
  if (format_ != ExportFormat::Csv) return;
  CsvRow row(out_);
  for (const std::string_view name : kSampleColumns) row.text(name);
  row.end();
}

void SampleRowWriter::row(const PlacedSample& placed) {
  end_offset_.clear();
  append_end_offset(placed.offset, placed.duration, end_offset_);
  if (format_ == ExportFormat::Csv) {
    csv_row(placed);
  } else {
    json_row(placed);
  }
}

void SampleRowWriter::csv_row(const PlacedSample& placed) {
  const std::size_t sample = placed.sample;
  metadata_.clear();
  append_metadata_json(metadata_of(*columns_, sample), json_,
                       JsonLayout::Compact);
  CsvRow(out_)
      .number(placed.physical_tile)
      .number(placed.offset)
      .number(placed.duration)
      .raw(end_offset_)
      .number(columns_->phase[sample])
      .number(columns_->epoch[sample])
      .text(sample_kind_name(*columns_, sample))
      .text(columns_->string(columns_->operation[sample]))
      .text(columns_->string(columns_->kernel[sample]))
      .text(metadata_)
      .end();
}

void SampleRowWriter::json_row(const PlacedSample& placed) {
  const std::size_t sample = placed.sample;
  // Keys spelled out, not kSampleColumns[i]: a reordering there must not
  // mislabel a value here. The tests hold both spellings to one text.
  json_.begin_object(JsonLayout::Compact)
      .field("physical_tile", placed.physical_tile)
      .field("offset_cycles", placed.offset)
      .field("duration_cycles", placed.duration)
      .key("end_offset_cycles")
      .number_text(end_offset_)
      .field("phase", columns_->phase[sample])
      .field("epoch", columns_->epoch[sample])
      .field("kind", sample_kind_name(*columns_, sample))
      .field("operation", columns_->string(columns_->operation[sample]))
      .field("kernel", columns_->string(columns_->kernel[sample]))
      .key("metadata");
  append_metadata_json(metadata_of(*columns_, sample), json_,
                       JsonLayout::Compact);
  json_.end();
  out_ += '\n';
}

Loaded<Walked> write_samples(const ProfileSet& profile, const Query& query,
                             ExportFormat format, std::ostream& out) {
  std::string text;
  text.reserve(kFlushBytes + 4096);
  std::optional<SampleRowWriter> writer;
  const ProfileColumns* shard = nullptr;
  Loaded<Walked> walked =
      walk_matches(profile, query, [&](const SetMatch& match) {
        if (!writer) {
          writer.emplace(match.columns, format, text);
          writer->header();
        }
        if (shard != &match.columns) {
          shard = &match.columns;
          writer->use(match.columns);
        }
        writer->row(PlacedSample{match.physical_tile, match.sample,
                                 match.offset, match.duration});
        if (text.size() >= kFlushBytes) {
          out.write(text.data(), static_cast<std::streamsize>(text.size()));
          text.clear();
        }
      });
  if (!writer) {
    // Nothing matched: the header alone, which needs no columns.
    const ProfileColumns none;
    SampleRowWriter(none, format, text).header();
  }
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  return walked;
}

std::size_t write_samples(const ProfileColumns& columns, const Query& query,
                          ExportFormat format, std::ostream& out) {
  const Loaded<Walked> walked =
      write_samples(ProfileSet::of(columns), query, format, out);
  // A profile in memory has nothing left to fail on.
  return walked.ok() ? walked.value().matched_sample_count : 0;
}

ExitCode run_export(const ExportCommand& command) {
  const std::optional<ProfileSet> profile = open_set(
      command.reports,
      open_options(command.selection.limits, command.selection.concatenate));
  if (!profile) return ExitCode::ReadError;
  std::vector<std::string> notes;
  const ExitCode status = write_from_profile(
      command.output, [&](std::ostream& out) -> Loaded<void> {
        Loaded<Walked> walked = write_samples(*profile, command.selection.query,
                                              command.format, out);
        if (!walked.ok()) return walked.error();
        notes = std::move(walked.value().notes);
        return {};
      });
  if (status == ExitCode::Success) {
    for (const std::string& note : notes) print_note(note);
  }
  return status;
}

}  // namespace zyl_profile::cli
