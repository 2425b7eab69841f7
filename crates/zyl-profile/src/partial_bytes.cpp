// The bytes of a partial result. Partials travel between processes and
// machines (a cluster's workers send them to the client), so the encoding is
// fixed: an 8-byte mark, a version, then every field in order as unsigned
// LEB128 varints (strings and lists length first), with ascending lists
// stored as differences, and last the XXH3-64 of every byte before it, as 8
// little-endian bytes. Most numbers are small, so a group costs a few bytes
// per distinct duration, tile and phase pair.
//
// The reader takes bytes from anywhere. The checksum refuses damage in
// transit, since a flipped bit in a varint often still reads as a partial,
// just another one. It is checked after the mark and the version, so bytes
// of another version get the version's error whatever their framing. Bytes
// with a good checksum may still be crafted: the reader checks every count
// against the bytes left, at the fewest bytes its elements can take, before
// reserving for it, every enumeration against its range and every order the
// merge relies on, and stops at the first fault with the byte offset and
// what was expected there.
#include <xxhash.h>

#include <algorithm>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "zyl_profile/partial.h"

namespace zyl_profile {
namespace {

constexpr std::string_view kMark{"ZYLPART\0", 8};
// Version 2 added the checksum.
constexpr std::uint64_t kVersion = 2;
constexpr std::size_t kChecksumSize = 8;

// The fewest bytes an element of each list takes (one per number, flag and
// string length): a count is refused when that many elements could not fit
// in the bytes left.
constexpr std::size_t kMetadataConditionBytes = 2;  // name, value flag
constexpr std::size_t kTextPairBytes = 2;           // key, value
constexpr std::size_t kPhasePairBytes = 3;          // phase, epoch, cycles
constexpr std::size_t kDurationBytes = 2;           // step, count
// Name, dimensions, work, first and last offsets, tiles, phases, durations.
constexpr std::size_t kGroupBytes = 8;
// Shard, index, tile, offset, duration, phase, epoch, kind, operation,
// kernel, metadata.
constexpr std::size_t kSampleBytes = 11;

std::uint64_t checksum_of(std::string_view bytes) {
  return XXH3_64bits(bytes.data(), bytes.size());
}

std::string hex(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text = "0x";
  for (int shift = 60; shift >= 0; shift -= 4) {
    text.push_back(kDigits[(value >> shift) & 0xfU]);
  }
  return text;
}

class Writer {
 public:
  void number(std::uint64_t value) {
    while (value >= 0x80) {
      bytes_.push_back(static_cast<char>((value & 0x7f) | 0x80));
      value >>= 7;
    }
    bytes_.push_back(static_cast<char>(value));
  }
  void text(std::string_view value) {
    number(value.size());
    bytes_.append(value);
  }
  void flag(bool value) { number(value ? 1 : 0); }
  void raw(std::string_view value) { bytes_.append(value); }
  template <typename T>
  void optional_number(const std::optional<T>& value) {
    flag(value.has_value());
    if (value) number(*value);
  }
  void optional_text(const std::optional<std::string>& value) {
    flag(value.has_value());
    if (value) text(*value);
  }
  // An ascending list: its size, its first value, then the differences.
  template <typename Range>
  void ascending(const Range& values) {
    number(values.size());
    std::uint64_t previous = 0;
    for (const auto value : values) {
      number(value - previous);
      previous = value;
    }
  }

  // Ends the bytes with the checksum of all before it.
  std::string take() && {
    std::uint64_t sum = checksum_of(bytes_);
    for (std::size_t i = 0; i < kChecksumSize; ++i, sum >>= 8) {
      bytes_.push_back(static_cast<char>(sum & 0xffU));
    }
    return std::move(bytes_);
  }

 private:
  std::string bytes_;
};

// A partial's bounds are in cycles: query_partial resolves shares against
// its profile before the scan, so the bytes never carry one.
std::optional<std::uint64_t> in_cycles(const std::optional<TimeBound>& bound) {
  if (!bound) return std::nullopt;
  return bound->cycles();
}

void write_query(Writer& out, const Query& query) {
  out.number(static_cast<std::uint64_t>(query.group_by));
  out.number(static_cast<std::uint64_t>(query.sort_by));
  out.flag(query.kind.has_value());
  if (query.kind) out.number(static_cast<std::uint64_t>(*query.kind));
  out.optional_text(query.kernel);
  out.optional_text(query.operation_contains);
  out.ascending(query.tiles);
  out.ascending(query.phases);
  out.number(query.metadata.size());
  for (const MetadataFilter& filter : query.metadata) {
    out.text(filter.name);
    out.optional_text(filter.value);
  }
  out.optional_text(query.metadata_key);
  out.optional_number(in_cycles(query.at_offset));
  out.optional_number(query.limit);
  out.number(query.sample_limit);
  out.optional_number(in_cycles(query.from_offset));
  out.optional_number(in_cycles(query.to_offset));
}

void write_group(Writer& out, const PartialGroup& group) {
  out.text(group.name);
  out.number(group.dimensions.size());
  for (const auto& [key, value] : group.dimensions) {
    out.text(key);
    out.text(value);
  }
  out.number(group.work_cycles);
  out.number(group.first_offset);
  out.number(group.last_offset);
  out.ascending(group.tiles);
  out.number(group.phases.size());
  for (const PhaseLongest& pair : group.phases) {
    out.number(pair.phase);
    out.number(pair.epoch);
    out.number(pair.cycles);
  }
  out.number(group.durations.size());
  std::uint32_t previous = 0;
  for (const DurationCount& entry : group.durations) {
    out.number(entry.cycles - previous);
    out.number(entry.count);
    previous = entry.cycles;
  }
}

void write_sample(Writer& out, const PartialSample& sample) {
  const SampleRecord& record = sample.record;
  out.number(sample.shard);
  out.number(sample.sample);
  out.number(record.physical_tile);
  out.number(record.offset);
  out.number(record.duration);
  out.number(record.phase);
  out.number(record.epoch);
  out.text(record.kind);
  out.text(record.operation);
  out.text(record.kernel);
  out.number(record.metadata.size());
  for (const MetadataEntry& entry : record.metadata) {
    out.text(entry.name);
    out.text(entry.value);
  }
}

// Reads the encoding above. Every read returns false once anything failed,
// so a caller can chain them and look at the error once.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  [[nodiscard]] bool ok() const { return !error_; }
  [[nodiscard]] bool at_end() const { return at_ == bytes_.size(); }
  [[nodiscard]] PartialError error() const { return *error_; }

  // Records a fault at the current offset; returns false.
  bool fail(const std::string& what) {
    if (!error_) {
      error_ = PartialError{"partial result: byte " + std::to_string(at_) +
                            ": " + what};
    }
    return false;
  }

  bool mark() {
    if (bytes_.substr(0, kMark.size()) != kMark) {
      return fail("not a partial result (its first bytes are not the mark)");
    }
    at_ = kMark.size();
    return true;
  }

  // Compares the last 8 bytes with the checksum of all before them, then
  // leaves them out of what the fields are read from. Offsets stay those of
  // the whole bytes.
  bool checksum() {
    if (error_) return false;
    if (bytes_.size() - at_ < kChecksumSize) {
      return fail("the bytes end before the checksum");
    }
    const std::size_t checksum_at = bytes_.size() - kChecksumSize;
    std::uint64_t stored = 0;
    for (std::size_t i = 0; i < kChecksumSize; ++i) {
      stored |=
          std::uint64_t{static_cast<unsigned char>(bytes_[checksum_at + i])}
          << (8 * i);
    }
    const std::uint64_t computed = checksum_of(bytes_.substr(0, checksum_at));
    if (stored != computed) {
      at_ = checksum_at;
      return fail("checksum mismatch: stored " + hex(stored) + ", computed " +
                  hex(computed) + " over the " + std::to_string(checksum_at) +
                  " bytes before it (the bytes are damaged or cut)");
    }
    bytes_ = bytes_.substr(0, checksum_at);
    return true;
  }

  bool number(std::string_view what, std::uint64_t& value) {
    if (error_) return false;
    const std::size_t start = at_;
    value = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (at_ == bytes_.size()) {
        at_ = start;
        return fail("the bytes end inside " + std::string(what));
      }
      const auto byte = static_cast<unsigned char>(bytes_[at_++]);
      const std::uint64_t bits = byte & 0x7fU;
      if (shift == 63 ? bits > 1 : shift > 63) {
        at_ = start;
        return fail(std::string(what) + " does not fit in 64 bits");
      }
      value |= bits << shift;
      if ((byte & 0x80U) == 0) return true;
    }
  }

  // A number that must be at most `maximum`.
  template <typename T>
  bool bounded(std::string_view what, T& value,
               std::uint64_t maximum = std::numeric_limits<T>::max()) {
    const std::size_t start = at_;
    std::uint64_t read = 0;
    if (!number(what, read)) return false;
    if (read > maximum) {
      at_ = start;
      return fail(std::string(what) + " is " + std::to_string(read) +
                  ", more than " + std::to_string(maximum));
    }
    value = static_cast<T>(read);
    return true;
  }

  bool flag(std::string_view what, bool& value) {
    std::uint8_t read = 0;
    if (!bounded(what, read, 1)) return false;
    value = read == 1;
    return true;
  }

  // A count of elements that take at least `least_bytes` each: no more
  // than fit in the bytes left, so a crafted count cannot make the reader
  // reserve memory the bytes could never fill, at any depth.
  bool count(std::string_view what, std::size_t& value,
             std::size_t least_bytes = 1) {
    const std::size_t start = at_;
    std::uint64_t read = 0;
    if (!number(what, read)) return false;
    const std::size_t left = bytes_.size() - at_;
    if (read > left / least_bytes) {
      at_ = start;
      return fail(std::string(what) + " count " + std::to_string(read) +
                  " but only " + std::to_string(left) + " bytes follow" +
                  (least_bytes > 1 ? " (each takes at least " +
                                         std::to_string(least_bytes) + ")"
                                   : std::string()));
    }
    value = static_cast<std::size_t>(read);
    return true;
  }

  bool text(std::string_view what, std::string& value) {
    std::size_t size = 0;
    if (!count(what, size)) return false;
    value.assign(bytes_.substr(at_, size));
    at_ += size;
    return true;
  }

  template <typename T>
  bool optional_number(std::string_view what, std::optional<T>& value) {
    bool present = false;
    if (!flag(what, present)) return false;
    if (!present) return true;
    T read{};
    if (!bounded(what, read)) return false;
    value = read;
    return true;
  }

  bool optional_text(std::string_view what, std::optional<std::string>& value) {
    bool present = false;
    if (!flag(what, present)) return false;
    if (!present) return true;
    value.emplace();
    return text(what, *value);
  }

  // A list written by Writer::ascending, strictly ascending, each value of
  // type T; `add` takes each value.
  template <typename T, typename Add>
  bool ascending(std::string_view what, Add&& add) {
    std::size_t size = 0;
    if (!count(what, size)) return false;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
      std::uint64_t step = 0;
      const std::size_t start = at_;
      if (!number(what, step)) return false;
      if (i > 0 && step == 0) {
        at_ = start;
        return fail(std::string(what) + " repeats a value");
      }
      if (step > std::numeric_limits<T>::max() - value) {
        at_ = start;
        return fail(std::string(what) + " has a value past " +
                    std::to_string(std::numeric_limits<T>::max()));
      }
      value += step;
      add(static_cast<T>(value));
    }
    return true;
  }

  // Reserves for `count` elements, but never more memory than the bytes
  // left take: a crafted count that passes the count check (a few bytes an
  // element) would otherwise reserve tens of bytes per byte before its
  // elements fail to parse. Honest lists past that grow as they are read.
  template <typename T>
  void reserve(std::vector<T>& values, std::size_t count) const {
    values.reserve(std::min(count, (bytes_.size() - at_) / sizeof(T)));
  }

  [[nodiscard]] std::size_t offset() const { return at_; }
  void rewind(std::size_t offset) { at_ = offset; }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
  std::optional<PartialError> error_;
};

bool read_query(Reader& in, Query& query) {
  std::uint8_t group_by = 0;
  std::uint8_t sort_by = 0;
  bool has_kind = false;
  if (!in.bounded("the query's grouping", group_by,
                  static_cast<std::uint64_t>(GroupBy::Metadata)) ||
      !in.bounded("the query's order", sort_by,
                  static_cast<std::uint64_t>(SortBy::Name)) ||
      !in.flag("the query's kind", has_kind)) {
    return false;
  }
  query.group_by = static_cast<GroupBy>(group_by);
  query.sort_by = static_cast<SortBy>(sort_by);
  if (has_kind) {
    std::uint8_t kind = 0;
    if (!in.bounded("the query's kind", kind,
                    static_cast<std::uint64_t>(StepKind::Idle))) {
      return false;
    }
    query.kind = static_cast<StepKind>(kind);
  }
  std::size_t filters = 0;
  if (!in.optional_text("the query's kernel", query.kernel) ||
      !in.optional_text("the query's operation", query.operation_contains) ||
      !in.ascending<std::uint32_t>(
          "the query's tiles",
          [&](std::uint32_t tile) { query.tiles.insert(tile); }) ||
      !in.ascending<std::uint32_t>(
          "the query's phases",
          [&](std::uint32_t phase) { query.phases.insert(phase); }) ||
      !in.count("the query's metadata conditions", filters,
                kMetadataConditionBytes)) {
    return false;
  }
  for (std::size_t i = 0; i < filters; ++i) {
    MetadataFilter& filter = query.metadata.emplace_back();
    if (!in.text("a metadata condition's name", filter.name) ||
        !in.optional_text("a metadata condition's value", filter.value)) {
      return false;
    }
  }
  std::optional<std::uint64_t> point;
  std::optional<std::uint64_t> from;
  std::optional<std::uint64_t> to;
  const bool read =
      in.optional_text("the query's metadata key", query.metadata_key) &&
      in.optional_number("the query's point", point) &&
      in.optional_number("the query's group limit", query.limit) &&
      in.bounded("the query's sample limit", query.sample_limit) &&
      in.optional_number("the query's window start", from) &&
      in.optional_number("the query's window end", to);
  if (point) query.at_offset = *point;
  if (from) query.from_offset = *from;
  if (to) query.to_offset = *to;
  return read;
}

bool read_group(Reader& in, PartialGroup& group) {
  std::size_t dimensions = 0;
  if (!in.text("a group's name", group.name) ||
      !in.count("a group's dimensions", dimensions, kTextPairBytes)) {
    return false;
  }
  for (std::size_t i = 0; i < dimensions; ++i) {
    std::string key;
    std::string value;
    if (!in.text("a group's dimension", key) ||
        !in.text("a group's dimension", value)) {
      return false;
    }
    group.dimensions.insert_or_assign(std::move(key), std::move(value));
  }
  std::size_t pairs = 0;
  if (!in.number("a group's work cycles", group.work_cycles) ||
      !in.number("a group's first offset", group.first_offset) ||
      !in.number("a group's last offset", group.last_offset) ||
      !in.ascending<std::uint32_t>(
          "a group's tiles",
          [&](std::uint32_t tile) { group.tiles.push_back(tile); }) ||
      !in.count("a group's phase pairs", pairs, kPhasePairBytes)) {
    return false;
  }
  in.reserve(group.phases, pairs);
  for (std::size_t i = 0; i < pairs; ++i) {
    const std::size_t start = in.offset();
    PhaseLongest pair;
    if (!in.bounded("a phase pair", pair.phase) ||
        !in.bounded("a phase pair", pair.epoch) ||
        !in.bounded("a phase pair's longest member", pair.cycles)) {
      return false;
    }
    if (!group.phases.empty() &&
        std::pair(pair.phase, pair.epoch) <=
            std::pair(group.phases.back().phase, group.phases.back().epoch)) {
      in.rewind(start);
      return in.fail("a group's phase pairs are not in ascending order");
    }
    group.phases.push_back(pair);
  }
  std::size_t durations = 0;
  if (!in.count("a group's durations", durations, kDurationBytes)) {
    return false;
  }
  in.reserve(group.durations, durations);
  std::uint64_t cycles = 0;
  for (std::size_t i = 0; i < durations; ++i) {
    const std::size_t start = in.offset();
    std::uint64_t step = 0;
    DurationCount entry;
    if (!in.number("a group's duration", step) ||
        !in.number("a duration's count", entry.count)) {
      return false;
    }
    if ((i > 0 && step == 0) || step > 0xffffffffU - cycles ||
        entry.count == 0) {
      in.rewind(start);
      return in.fail(
          "a group's durations are not distinct 32-bit values with counts");
    }
    cycles += step;
    entry.cycles = static_cast<std::uint32_t>(cycles);
    group.durations.push_back(entry);
  }
  return true;
}

bool read_sample(Reader& in, PartialSample& sample) {
  SampleRecord& record = sample.record;
  std::size_t entries = 0;
  if (!in.number("a listed sample's shard", sample.shard) ||
      !in.number("a listed sample's index", sample.sample) ||
      !in.bounded("a listed sample's tile", record.physical_tile) ||
      !in.number("a listed sample's offset", record.offset) ||
      !in.bounded("a listed sample's duration", record.duration) ||
      !in.bounded("a listed sample's phase", record.phase) ||
      !in.bounded("a listed sample's epoch", record.epoch) ||
      !in.text("a listed sample's kind", record.kind) ||
      !in.text("a listed sample's operation", record.operation) ||
      !in.text("a listed sample's kernel", record.kernel) ||
      !in.count("a listed sample's metadata", entries, kTextPairBytes)) {
    return false;
  }
  for (std::size_t i = 0; i < entries; ++i) {
    MetadataEntry& entry = record.metadata.emplace_back();
    if (!in.text("a metadata entry", entry.name) ||
        !in.text("a metadata entry", entry.value)) {
      return false;
    }
  }
  return true;
}

bool read_partial(Reader& in, PartialResult& partial) {
  std::uint64_t version = 0;
  if (!in.mark() || !in.number("the version", version)) return false;
  if (version != kVersion) {
    in.rewind(kMark.size());
    return in.fail("version " + std::to_string(version) +
                   " is not readable by this build (it reads version " +
                   std::to_string(kVersion) + ")");
  }
  if (!in.checksum()) return false;
  if (!read_query(in, partial.query) ||
      !in.ascending<std::uint64_t>(
          "the shard positions",
          [&](std::uint64_t shard) { partial.shards.push_back(shard); })) {
    return false;
  }
  if (partial.shards.empty()) return in.fail("no shard position is given");
  std::size_t groups = 0;
  if (!in.number("the clock", partial.clock_hz) ||
      !in.number("the tile count", partial.tile_count) ||
      !in.number("the sample count", partial.sample_count) ||
      !in.number("the matched sample count", partial.matched_sample_count) ||
      !in.number("the profile span", partial.profile_span_cycles) ||
      !in.count("the groups", groups, kGroupBytes)) {
    return false;
  }
  in.reserve(partial.groups, groups);
  for (std::size_t i = 0; i < groups; ++i) {
    const std::size_t start = in.offset();
    PartialGroup group;
    if (!read_group(in, group)) return false;
    if (!partial.groups.empty() && !(partial.groups.back().name < group.name)) {
      in.rewind(start);
      return in.fail("the groups are not in ascending order of name");
    }
    partial.groups.push_back(std::move(group));
  }
  std::size_t samples = 0;
  if (!in.count("the listed samples", samples, kSampleBytes)) return false;
  if (samples > partial.query.sample_limit) {
    return in.fail("more samples are listed than the query's sample limit");
  }
  in.reserve(partial.samples, samples);
  for (std::size_t i = 0; i < samples; ++i) {
    const std::size_t start = in.offset();
    PartialSample sample;
    if (!read_sample(in, sample)) return false;
    if (!std::binary_search(partial.shards.begin(), partial.shards.end(),
                            sample.shard)) {
      in.rewind(start);
      return in.fail(
          "a listed sample comes from a shard the partial does "
          "not cover");
    }
    if (!partial.samples.empty() &&
        !listed_before(partial.samples.back(), sample)) {
      in.rewind(start);
      return in.fail("the listed samples are not in listing order");
    }
    partial.samples.push_back(std::move(sample));
  }
  if (!in.at_end()) return in.fail("bytes follow the end of the partial");
  return true;
}

}  // namespace

std::string serialise_partial(const PartialResult& partial) {
  Writer out;
  out.raw(kMark);
  out.number(kVersion);
  write_query(out, partial.query);
  out.ascending(partial.shards);
  out.number(partial.clock_hz);
  out.number(partial.tile_count);
  out.number(partial.sample_count);
  out.number(partial.matched_sample_count);
  out.number(partial.profile_span_cycles);
  out.number(partial.groups.size());
  for (const PartialGroup& group : partial.groups) write_group(out, group);
  out.number(partial.samples.size());
  for (const PartialSample& sample : partial.samples) write_sample(out, sample);
  return std::move(out).take();
}

zyl_package::Outcome<PartialResult, PartialError> parse_partial(
    std::string_view bytes) {
  Reader in(bytes);
  PartialResult partial;
  if (!read_partial(in, partial)) return in.error();
  return partial;
}

}  // namespace zyl_profile
