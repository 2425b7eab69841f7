// Writing a generated profile straight to a file, sample by sample, so that
// profiles far larger than memory can be made: JSON through the record
// writer's formatter, a package in two walks of the generator with every
// column written at its final offset. Both can report their progress in
// samples for a display.
#include <xxhash.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "package_io.h"
#include "package_sections.h"
#include "positioned_file.h"
#include "report_json_out.h"
#include "sample_values.h"
#include "write_progress.h"
#include "zyl_package/atomic_file.h"
#include "zyl_package/generate.h"
#include "zyl_package/profile_columns.h"

namespace zyl_package {
namespace {

// ---------------------------------------------------------------- JSON

class JsonVisitor final : public GeneratedReportVisitor {
 public:
  JsonVisitor(detail::ReportJsonWriter& writer, detail::WriteProgress& progress)
      : writer_(writer), progress_(progress) {}

  void begin_tile(std::uint32_t physical_tile, std::uint64_t) override {
    writer_.begin_tile(physical_tile);
  }

  void sample(const GeneratedSample& sample) override {
    writer_.begin_sample(sample);
    for (const GeneratedMetadata& entry : sample.metadata()) {
      writer_.metadata(entry.name, entry.value);
    }
    writer_.end_sample();
    progress_.add(1);
  }

 private:
  detail::ReportJsonWriter& writer_;
  detail::WriteProgress& progress_;
};

Written write_generated_json(const GenerateOptions& options,
                             const std::filesystem::path& path,
                             ReadProgress* progress, StagedFiles* staged) {
  return write_file_atomically(
      path,
      [&options, progress](std::ostream& out) {
        detail::WriteProgress counted(progress,
                                      generated_sample_count(options));
        detail::ReportJsonWriter writer(out, options.clock_hz);
        JsonVisitor visitor(writer, counted);
        for_each_generated_sample(options, visitor);
        writer.finish();
      },
      staged);
}

// ---------------------------------------------------------------- package

constexpr std::uint32_t kNoId = 0xffffffffU;
constexpr std::uint64_t kIdCapacity = std::uint64_t{1} << 32U;

// An open-addressing index from hashes to ids. The keys live with the caller,
// which says whether the key behind an id is the one sought; the index keeps
// each id's hash so it can grow without asking for the keys again.
class HashIndex {
 public:
  HashIndex() : slots_(1024, kNoId) {}

  template <typename Matches>
  [[nodiscard]] std::uint32_t find(std::uint64_t hash,
                                   const Matches& matches) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const std::uint32_t id = slots_[i];
      if (id == kNoId) return kNoId;
      if (hashes_[id] == hash && matches(id)) return id;
    }
  }

  // Adds the next id (the number of ids added so far) under `hash`.
  void add(std::uint64_t hash) {
    hashes_.push_back(hash);
    // Half full at most keeps probe runs short.
    if (hashes_.size() * 2 > slots_.size()) {
      slots_.assign(slots_.size() * 2, kNoId);
      for (std::uint32_t id = 0; id + 1 < hashes_.size(); ++id) place(id);
    }
    place(static_cast<std::uint32_t>(hashes_.size() - 1));
  }

 private:
  void place(std::uint32_t id) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hashes_[id] & mask;
    while (slots_[i] != kNoId) i = (i + 1) & mask;
    slots_[i] = id;
  }

  std::vector<std::uint32_t> slots_;
  std::vector<std::uint64_t> hashes_;
};

// The string and metadata-list dictionaries of a package, in the arrays the
// package stores, ids given in order of first use exactly as to_columns
// gives them (for_each_sample_value asks for them in the same order).
class Dictionaries {
 public:
  explicit Dictionaries(ColumnBuffers& out) : out_(out) {}

  // Calls `out(column, value)` for each sample column with the value
  // `sample` stores there, adding its strings and list when new.
  template <typename Out>
  void values(const GeneratedSample& sample, Out&& out) {
    detail::for_each_sample_value(
        sample, [this](std::string_view text) { return string_id(text); },
        [&] {
          pairs_.clear();
          for (const GeneratedMetadata& entry : sample.metadata()) {
            const std::uint32_t name = string_id(entry.name);
            pairs_.push_back({name, string_id(entry.value)});
          }
          return list_id();
        },
        out);
  }

 private:
  std::string_view string_of(std::uint32_t id) const {
    const std::uint64_t begin = out_.string_offsets[id];
    return std::string_view(out_.string_bytes)
        .substr(begin, out_.string_offsets[id + 1] - begin);
  }

  std::uint32_t string_id(std::string_view text) {
    const std::uint64_t hash = XXH3_64bits(text.data(), text.size());
    const std::uint32_t found = strings_.find(
        hash, [&](std::uint32_t id) { return string_of(id) == text; });
    if (found != kNoId) return found;
    const auto id = static_cast<std::uint32_t>(out_.string_offsets.size() - 1);
    out_.string_bytes += text;
    out_.string_offsets.push_back(out_.string_bytes.size());
    strings_.add(hash);
    return id;
  }

  std::uint32_t list_id() {
    const std::uint64_t hash =
        XXH3_64bits(pairs_.data(), pairs_.size() * sizeof(MetadataPair));
    const std::uint32_t found = lists_.find(hash, [&](std::uint32_t id) {
      const std::uint64_t begin = out_.list_offsets[id];
      const std::uint64_t end = out_.list_offsets[id + 1];
      return end - begin == pairs_.size() &&
             std::equal(pairs_.begin(), pairs_.end(),
                        out_.list_entries.begin() +
                            static_cast<std::ptrdiff_t>(begin));
    });
    if (found != kNoId) return found;
    const auto id = static_cast<std::uint32_t>(out_.list_offsets.size() - 1);
    out_.list_entries.insert(out_.list_entries.end(), pairs_.begin(),
                             pairs_.end());
    out_.list_offsets.push_back(out_.list_entries.size());
    lists_.add(hash);
    return id;
  }

  ColumnBuffers& out_;
  HashIndex strings_;
  HashIndex lists_;
  std::vector<MetadataPair> pairs_;
};

// Directory indices of the sections the first walk fills in memory: the
// dictionaries and the tiles.
constexpr std::size_t section_of(detail::ColumnArray array) {
  return static_cast<std::size_t>(array);
}
constexpr std::size_t kStringOffsets =
    section_of(detail::ColumnArray::StringOffsets);
constexpr std::size_t kStringBytes =
    section_of(detail::ColumnArray::StringBytes);
constexpr std::size_t kTiles = section_of(detail::ColumnArray::Tiles);
constexpr std::size_t kListOffsets =
    section_of(detail::ColumnArray::ListOffsets);
constexpr std::size_t kListEntries =
    section_of(detail::ColumnArray::ListEntries);
constexpr std::array<std::size_t, 5> kDictionarySections = {
    kStringOffsets, kStringBytes, kTiles, kListOffsets, kListEntries};

// The sample columns, the second walk's, in section order from directory
// index kFirstColumnSection, and their element widths.
constexpr std::size_t kColumns = kSampleColumnCount;
constexpr std::size_t kFirstColumnSection = kFirstSampleSection - 1;
constexpr std::array<std::uint64_t, kColumns> kColumnWidths = [] {
  std::array<std::uint64_t, kColumns> widths{};
  for_each_sample_column([&widths](const auto& column) {
    widths[column.kIndex] =
        sizeof(typename std::remove_cvref_t<decltype(column)>::Element);
  });
  return widths;
}();

// One sample column on its way out, a chunk at a time: measured (the size of
// its zstd frame, for the layout) or written at its offset in the file, raw
// or as the frame, with the checksum of what is stored.
class ColumnSink {
 public:
  enum class Mode : std::uint8_t { Measure = 0, WriteRaw = 1, WriteZstd = 2 };

  ColumnSink(Mode mode, std::uint64_t size, const PackageWriteOptions& options,
             detail::PositionedFile* file, std::uint64_t offset)
      : mode_(mode),
        buffer_(std::min<std::uint64_t>(size, detail::kCompressChunkBytes)),
        checksum_(options.version),
        file_(file),
        offset_(offset) {
    if (mode != Mode::WriteRaw && size > 0) {
      compressor_.emplace(options.compression_level, size);
    }
  }

  template <typename T>
  void append(T value) {
    // Widths divide the chunk size, so a value never straddles two chunks.
    std::memcpy(buffer_.data() + fill_, &value, sizeof value);
    fill_ += sizeof value;
    if (fill_ == buffer_.size()) flush();
  }

  // Ends the column; returns false when zstd failed.
  bool finish() {
    flush();
    if (!compressor_) return true;
    return compressor_->finish([this](const unsigned char* data,
                                      std::size_t size) { store(data, size); });
  }

  [[nodiscard]] std::uint64_t stored_size() const { return stored_; }
  // The first failed write, after which the sink writes nothing more.
  [[nodiscard]] const Written& written() const { return written_; }
  [[nodiscard]] std::uint64_t checksum() const { return checksum_.digest(); }

 private:
  void flush() {
    if (fill_ == 0) return;
    const std::span<const unsigned char> chunk(buffer_.data(), fill_);
    fill_ = 0;
    if (mode_ == Mode::WriteRaw) {
      store(chunk.data(), chunk.size());
      return;
    }
    compressor_->add(chunk, [this](const unsigned char* data,
                                   std::size_t size) { store(data, size); });
  }

  void store(const unsigned char* data, std::size_t size) {
    if (mode_ != Mode::Measure && written_.ok()) {
      checksum_.update(data, size);
      written_ = file_->write_at(offset_ + stored_, data, size);
    }
    stored_ += size;
  }

  Mode mode_;
  std::vector<unsigned char> buffer_;
  std::size_t fill_ = 0;
  std::optional<detail::SectionCompressor> compressor_;
  detail::SectionChecksum checksum_;
  detail::PositionedFile* file_;
  std::uint64_t offset_;
  std::uint64_t stored_ = 0;
  Written written_;
};

// One walk over the generated samples: ids from the dictionaries (which the
// first walk fills), each sample's fields to the column sinks when there
// are any, and the tile records when asked. Every sample visited counts
// once in `progress`.
class PackageWalk final : public GeneratedReportVisitor {
 public:
  PackageWalk(Dictionaries& dictionaries, std::vector<ColumnSink>* sinks,
              std::vector<ColumnTile>* tiles, detail::WriteProgress& progress)
      : dictionaries_(dictionaries),
        sinks_(sinks),
        tiles_(tiles),
        progress_(progress) {}

  void begin_tile(std::uint32_t physical_tile,
                  std::uint64_t sample_count) override {
    if (tiles_ == nullptr) return;
    tiles_->push_back({.physical_tile = physical_tile,
                       .first_sample = first_,
                       .sample_count = sample_count});
    first_ += sample_count;
  }

  void sample(const GeneratedSample& sample) override {
    if (sinks_ == nullptr) {
      dictionaries_.values(sample, [](const auto&, auto) {});
    } else {
      std::vector<ColumnSink>& sinks = *sinks_;
      dictionaries_.values(sample, [&sinks](const auto& column, auto value) {
        sinks[column.kIndex].append(value);
      });
    }
    progress_.add(1);
  }

  [[nodiscard]] bool stopped() const override {
    return sinks_ != nullptr && std::any_of(sinks_->begin(), sinks_->end(),
                                            [](const ColumnSink& sink) {
                                              return !sink.written().ok();
                                            });
  }

 private:
  Dictionaries& dictionaries_;
  std::vector<ColumnSink>* sinks_;
  std::vector<ColumnTile>* tiles_;
  detail::WriteProgress& progress_;
  std::uint64_t first_ = 0;
};

template <typename T>
std::span<const unsigned char> bytes_of(const T& values) {
  return {reinterpret_cast<const unsigned char*>(values.data()),
          values.size() * sizeof(values[0])};
}

Written write_generated_package(const GenerateOptions& options,
                                const std::filesystem::path& path,
                                const PackageWriteOptions& package,
                                ReadProgress* progress, StagedFiles* staged) {
  if (Written checked = detail::check_write_options(package); !checked.ok()) {
    return WriteError{path.string(), checked.error().message};
  }
  const std::uint64_t samples = generated_sample_count(options);
  // Column sizes and offsets are sample counts times at most 24 bytes.
  if (samples > UINT64_MAX / 64) {
    return WriteError{
        path.string(),
        std::to_string(samples) + " samples are more than a package can hold"};
  }
  // Created first, so an unwritable folder shows before the long walks.
  detail::PositionedFile file;
  if (Written created = file.create(path); !created.ok()) return created;
  // Both walks cost about the same (the generator and the dictionary
  // lookups dominate), so the progress counts them as one run of twice the
  // samples rather than starting over at the second.
  detail::WriteProgress counted(progress, 2 * samples);

  // First walk: the dictionaries and tiles, which precede the columns in
  // the file, and, when compressing, the size of every column's frame.
  ColumnBuffers small;
  Dictionaries dictionaries(small);
  std::vector<ColumnSink> measures;
  if (package.compress) {
    measures.reserve(kColumns);
    for (std::size_t c = 0; c < kColumns; ++c) {
      measures.emplace_back(ColumnSink::Mode::Measure,
                            samples * kColumnWidths[c], package, nullptr, 0);
    }
  }
  PackageWalk first(dictionaries, package.compress ? &measures : nullptr,
                    &small.tiles, counted);
  for_each_generated_sample(options, first);
  if (small.string_offsets.size() - 1 > kIdCapacity ||
      small.list_offsets.size() - 1 > kIdCapacity) {
    return WriteError{path.string(),
                      "the report has more distinct strings or metadata "
                      "lists than 32-bit ids can name"};
  }

  // The layout: the dictionary sections are planned in memory as the
  // in-memory writer plans them; a column is stored as its frame where that
  // is smaller, raw otherwise.
  std::array<std::span<const unsigned char>, detail::kPackageSections> raw{};
  raw[kStringOffsets] = bytes_of(small.string_offsets);
  raw[kStringBytes] = bytes_of(small.string_bytes);
  raw[kTiles] = bytes_of(small.tiles);
  raw[kListOffsets] = bytes_of(small.list_offsets);
  raw[kListEntries] = bytes_of(small.list_entries);
  std::array<detail::PlannedSection, detail::kPackageSections> planned;
  std::array<detail::SectionEntry, detail::kPackageSections> entries;
  for (const std::size_t i : kDictionarySections) {
    detail::plan_section(raw[i], package, planned[i]);
    entries[i] = {
        planned[i].encoding, planned[i].stored.size(), planned[i].size,
        detail::package_checksum(package.version, planned[i].stored.data(),
                                 planned[i].stored.size())};
  }
  std::array<bool, kColumns> compressed{};
  for (std::size_t c = 0; c < kColumns; ++c) {
    const std::uint64_t size = samples * kColumnWidths[c];
    detail::SectionEntry& entry = entries[kFirstColumnSection + c];
    entry = {detail::kRawEncoding, size, size, 0};
    if (package.compress && size > 0 && measures[c].finish() &&
        measures[c].stored_size() < size) {
      compressed[c] = true;
      entry.encoding = detail::kZstdEncoding;
      entry.stored_size = measures[c].stored_size();
    }
  }
  measures.clear();
  const detail::PackageCounts counts{options.clock_hz,
                                     small.tiles.size(),
                                     samples,
                                     small.string_offsets.size() - 1,
                                     small.list_offsets.size() - 1,
                                     small.list_entries.size()};
  std::array<std::uint64_t, detail::kPackageSections> offsets{};
  std::array<unsigned char, detail::kPackagePreambleBytes> preamble{};
  const bool shard = package.shard.has_value();
  const std::uint64_t total = detail::lay_out_package(
      package.version, counts, entries, offsets, preamble, shard);

  if (Written resized = file.resize(total); !resized.ok()) return resized;
  if (shard) {
    const auto block = detail::encode_shard_block(*package.shard);
    Written written =
        file.write_at(total - block.size(), block.data(), block.size());
    if (!written.ok()) return written;
  }
  for (const std::size_t i : kDictionarySections) {
    Written written = file.write_at(offsets[i], planned[i].stored.data(),
                                    planned[i].stored.size());
    if (!written.ok()) return written;
  }

  // Second walk: every column to its place. The generator gives the same
  // samples again, so the frames come out as measured.
  std::vector<ColumnSink> sinks;
  sinks.reserve(kColumns);
  for (std::size_t c = 0; c < kColumns; ++c) {
    const std::size_t i = kFirstColumnSection + c;
    sinks.emplace_back(compressed[c] ? ColumnSink::Mode::WriteZstd
                                     : ColumnSink::Mode::WriteRaw,
                       entries[i].size, package, &file, offsets[i]);
  }
  PackageWalk second(dictionaries, &sinks, nullptr, counted);
  for_each_generated_sample(options, second);
  for (std::size_t c = 0; c < kColumns; ++c) {
    detail::SectionEntry& entry = entries[kFirstColumnSection + c];
    const bool finished = sinks[c].finish();
    if (!sinks[c].written().ok()) return sinks[c].written();
    if (!finished || sinks[c].stored_size() != entry.stored_size) {
      return WriteError{path.string(),
                        "section " +
                            std::to_string(kFirstColumnSection + c + 1) +
                            " came out differently on the second pass"};
    }
    entry.checksum = sinks[c].checksum();
  }
  detail::lay_out_package(package.version, counts, entries, offsets, preamble,
                          shard);
  if (Written written = file.write_at(0, preamble.data(), preamble.size());
      !written.ok()) {
    return written;
  }
  return file.commit(staged);
}

}  // namespace

Written write_generated_report(const GenerateOptions& options,
                               const std::filesystem::path& path,
                               ReportFormat format,
                               const PackageWriteOptions& package,
                               ReadProgress* progress, StagedFiles* staged) {
  try {
    switch (format) {
      case ReportFormat::Json:
        return write_generated_json(options, path, progress, staged);
      case ReportFormat::Package:
        return write_generated_package(options, path, package, progress,
                                       staged);
    }
  } catch (const std::bad_alloc&) {
    return WriteError{path.string(), "not enough memory to write the report"};
  }
  return WriteError{path.string(), "unknown report format"};
}

}  // namespace zyl_package
