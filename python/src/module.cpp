// The extension behind the zyl_profile Python package: the library's records
// field for field, an opened profile that owns its columns, the query and
// diff calls with the GIL released around the scan, and a query's partial
// result as bytes with the merge that folds them. Argument checking
// and the Python-shaped API live in zyl_profile/__init__.py; this file only
// converts.
#include <pybind11/numpy.h>
#include <pybind11/operators.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "zyl_package/report_io.h"
#include "zyl_profile/diff.h"
#include "zyl_profile/notes.h"
#include "zyl_profile/partial.h"
#include "zyl_profile/percentage.h"
#include "zyl_profile/query.h"
#include "zyl_profile/scan.h"

namespace py = pybind11;

namespace {

using zyl_package::LoadError;
using zyl_package::ProfileColumns;
using zyl_profile::CountChange;
using zyl_profile::DiffOptions;
using zyl_profile::DiffReport;
using zyl_profile::DiffRow;
using zyl_profile::GroupSummary;
using zyl_profile::PartialError;
using zyl_profile::PartialResult;
using zyl_profile::Percentage;
using zyl_profile::Query;
using zyl_profile::QueryReport;
using zyl_profile::RealChange;
using zyl_profile::SampleRecord;

// An opened profile. The columns view a mapping or owned buffers that
// `columns.storage` keeps alive, so this object is all Python has to hold.
struct Profile {
  ProfileColumns columns;
  std::optional<std::uint64_t> span;  // computed on first use: a full pass
  // Each sample's place on its tile's timeline, as the scan computes it;
  // filled by the first samples() call and viewed by every later one.
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint32_t> durations;
  bool timeline_ready = false;

  std::uint64_t profile_span() {
    if (!span) {
      // Assigned only once the GIL is held again, so two Python threads
      // asking at once both compute it but never write it together.
      std::uint64_t computed = 0;
      {
        py::gil_scoped_release unlocked;
        computed = zyl_profile::profile_span(columns);
      }
      span = computed;
    }
    return *span;
  }
};

// Fills the per-sample offsets and durations once, with the scan's own walk
// so they are what every query sees.
void fill_timeline(Profile& profile) {
  if (profile.timeline_ready) return;
  std::vector<std::uint64_t> offsets(profile.columns.sample_count());
  std::vector<std::uint32_t> durations(offsets.size());
  {
    py::gil_scoped_release unlocked;
    for (const auto& tile : profile.columns.tiles) {
      if (tile.sample_count == 0) continue;
      (void)zyl_profile::walk_tile(profile.columns, tile,
                                   [&](std::size_t sample, std::uint64_t offset,
                                       std::uint32_t duration) {
                                     offsets[sample] = offset;
                                     durations[sample] = duration;
                                   });
    }
  }
  // Another thread may have filled them while the GIL was released; its
  // arrays may already be viewed, so they stay and these are dropped.
  if (profile.timeline_ready) return;
  profile.offsets = std::move(offsets);
  profile.durations = std::move(durations);
  profile.timeline_ready = true;
}

// A read-only numpy array over `values`, which `owner` (the Python Profile)
// keeps alive: no copy, and writing through it cannot reach a mapped file.
template <typename T>
py::array view(std::span<const T> values, py::handle owner) {
  py::array_t<T> array({static_cast<py::ssize_t>(values.size())},
                       {static_cast<py::ssize_t>(sizeof(T))}, values.data(),
                       owner);
  array.attr("setflags")(py::arg("write") = false);
  return array;
}

// The sample columns as numpy arrays, the string dictionary as a list and
// the tiles as (physical tile, sample count) arrays, for the Python side to
// assemble a DataFrame from. `timeline` adds each sample's offset and
// duration, which unlike the rest are computed (12 bytes a sample, once).
py::dict sample_columns(py::object self, bool timeline) {
  Profile& profile = self.cast<Profile&>();
  const ProfileColumns& columns = profile.columns;
  py::dict result;
  if (timeline) {
    fill_timeline(profile);
    result["offset"] =
        view(std::span<const std::uint64_t>(profile.offsets), self);
    result["duration"] =
        view(std::span<const std::uint32_t>(profile.durations), self);
  }
  result["start_cycle"] = view(columns.start_cycle, self);
  result["end_cycle"] = view(columns.end_cycle, self);
  result["local_index"] = view(columns.local_index, self);
  result["phase"] = view(columns.phase, self);
  result["epoch"] = view(columns.epoch, self);
  result["kind"] = view(columns.kind, self);
  result["kernel"] = view(columns.kernel, self);
  result["operation"] = view(columns.operation, self);
  result["metadata"] = view(columns.metadata, self);
  std::vector<std::uint32_t> tile_numbers;
  std::vector<std::uint64_t> tile_sizes;
  tile_numbers.reserve(columns.tiles.size());
  tile_sizes.reserve(columns.tiles.size());
  for (const auto& tile : columns.tiles) {
    tile_numbers.push_back(tile.physical_tile);
    tile_sizes.push_back(tile.sample_count);
  }
  result["tile_numbers"] = py::array(py::cast(tile_numbers));
  result["tile_sizes"] = py::array(py::cast(tile_sizes));
  py::list strings;
  for (std::uint32_t id = 0; id < columns.string_count(); ++id) {
    const std::string_view text = columns.string(id);
    strings.append(py::str(text.data(), text.size()));
  }
  result["strings"] = strings;
  return result;
}

// Returns metadata list `id` as (name, value) pairs.
std::vector<std::pair<std::string_view, std::string_view>> metadata_list(
    const Profile& profile, std::uint32_t id) {
  if (id >= profile.columns.list_count()) {
    throw py::index_error("metadata list " + std::to_string(id) +
                          " out of range 0.." +
                          std::to_string(profile.columns.list_count()));
  }
  std::vector<std::pair<std::string_view, std::string_view>> pairs;
  for (const auto& entry : profile.columns.list(id)) {
    pairs.emplace_back(profile.columns.string(entry.name),
                       profile.columns.string(entry.value));
  }
  return pairs;
}

// For each of `keys`, the value of that key in every metadata list: a
// (keys, lists) array of string ids, -1 where a list has no such entry (the
// first entry wins where a list repeats a key, as grouping by the key
// does). Without keys, every name used in a list, in order of first use.
// Each list is read once, whatever the number of keys, so the per-sample
// work is left to one numpy take per key.
py::tuple metadata_values(const Profile& profile,
                          std::optional<std::vector<std::string>> keys) {
  const ProfileColumns& columns = profile.columns;
  // A package may hold a string more than once, so keys are matched by text
  // and every id of a key's text leads to the key.
  std::vector<std::int32_t> key_of_string(columns.string_count(), -1);
  std::vector<std::string> names;
  if (keys) {
    std::unordered_map<std::string_view, std::int32_t> index;
    for (const std::string& key : *keys) {
      index.emplace(key, static_cast<std::int32_t>(index.size()));
    }
    names.assign(keys->begin(), keys->end());
    for (std::uint32_t id = 0; id < columns.string_count(); ++id) {
      const auto found = index.find(columns.string(id));
      if (found != index.end()) key_of_string[id] = found->second;
    }
  } else {
    std::unordered_map<std::string_view, std::int32_t> index;
    for (const auto& entry : columns.list_entries) {
      if (key_of_string[entry.name] >= 0) continue;
      const std::string_view name = columns.string(entry.name);
      const auto [at, added] =
          index.emplace(name, static_cast<std::int32_t>(index.size()));
      if (added) names.emplace_back(name);
      key_of_string[entry.name] = at->second;
    }
  }
  const std::size_t lists = columns.list_count();
  py::array_t<std::int64_t> values({static_cast<py::ssize_t>(names.size()),
                                    static_cast<py::ssize_t>(lists)});
  std::int64_t* const table = values.mutable_data();
  std::fill(table, table + names.size() * lists, std::int64_t{-1});
  for (std::uint32_t list = 0; list < lists; ++list) {
    for (const auto& entry : columns.list(list)) {
      const std::int32_t key = key_of_string[entry.name];
      if (key < 0) continue;
      std::int64_t& slot = table[static_cast<std::size_t>(key) * lists + list];
      if (slot < 0) slot = entry.value;
    }
  }
  return py::make_tuple(names, values);
}

// The answer and the notes on it, returned together so the notes are
// worked out while the columns are at hand.
struct QueryOutcome {
  QueryReport report;
  std::vector<std::string> notes;
};

// Returns the opened profile, or the load error's fields as a dict for the
// Python side to raise as ReportError (a pybind11 exception translator
// cannot carry the fields as attributes without more code than this).
py::object open_profile(const std::string& path) {
  zyl_package::ColumnsResult result = [&] {
    py::gil_scoped_release unlocked;
    return zyl_package::read_columns(path);
  }();
  if (result.ok()) {
    Profile profile;
    profile.columns = std::move(result).value();
    return py::cast(std::move(profile));
  }
  const LoadError& error = result.error();
  py::dict fields;
  fields["text"] = error.to_string();
  fields["file"] = error.file;
  fields["json_path"] = error.json_path;
  fields["line"] = error.line;
  fields["column"] = error.column;
  fields["byte_offset"] = error.byte_offset;
  fields["message"] = error.message;
  return fields;
}

QueryOutcome run_query(const Profile& profile, const Query& query,
                       unsigned threads) {
  py::gil_scoped_release unlocked;
  QueryOutcome outcome;
  outcome.report = zyl_profile::query(profile.columns, query,
                                      zyl_profile::ParallelOptions{threads});
  outcome.notes =
      zyl_profile::explain_query(profile.columns, query, outcome.report);
  return outcome;
}

// Returns the partial of `query` over the profile, as the shard at
// `position`, in its byte form.
py::bytes run_query_partial(const Profile& profile, const Query& query,
                            std::uint64_t position, unsigned threads) {
  std::string bytes;
  {
    py::gil_scoped_release unlocked;
    bytes = zyl_profile::serialise_partial(
        zyl_profile::query_partial(profile.columns, query, position,
                                   zyl_profile::ParallelOptions{threads}));
  }
  return py::bytes(bytes);
}

// Partials folded one at a time, as they arrive, into one. The GIL is
// released while bytes are read and merged, so the lock keeps two Python
// threads adding at once from merging into the state together.
class PartialMerge {
 public:
  // Returns nothing when `bytes` were merged, else why not (the merged
  // state is then as it was).
  std::optional<std::string> add(std::string_view bytes) {
    py::gil_scoped_release unlocked;
    std::variant<PartialResult, PartialError> parsed =
        zyl_profile::parse_partial(bytes);
    if (auto* error = std::get_if<PartialError>(&parsed)) {
      return std::move(error->message);
    }
    PartialResult& partial = std::get<PartialResult>(parsed);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return std::string("the merge was already finished");
    if (!merged_) {
      merged_ = std::move(partial);
      return std::nullopt;
    }
    std::optional<PartialError> error =
        zyl_profile::merge_partial(*merged_, std::move(partial));
    if (error) return std::move(error->message);
    return std::nullopt;
  }

  // Returns the positions of the shards merged so far, ascending.
  std::vector<std::uint64_t> shards() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!merged_) return {};
    return merged_->shards;
  }

  // Returns the report of everything merged, or nothing when nothing was;
  // the merge is spent afterwards. A sharded answer has no notes: they read
  // the whole profile's dictionaries, which no one place holds.
  std::optional<QueryOutcome> finish() {
    py::gil_scoped_release unlocked;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (finished_ || !merged_) return std::nullopt;
    finished_ = true;
    QueryOutcome outcome;
    outcome.report = zyl_profile::finish_partial(std::move(*merged_));
    merged_.reset();
    return outcome;
  }

 private:
  std::mutex mutex_;
  std::optional<PartialResult> merged_;
  bool finished_ = false;
};

DiffReport run_diff(const Profile& base, const Profile& next,
                    const Query& base_query, const Query& next_query,
                    const DiffOptions& options, unsigned threads) {
  py::gil_scoped_release unlocked;
  return zyl_profile::diff_profiles(base.columns, next.columns, base_query,
                                    next_query, options, threads);
}

std::vector<std::uint32_t> tile_numbers(const Profile& profile) {
  std::vector<std::uint32_t> tiles;
  tiles.reserve(profile.columns.tiles.size());
  for (const auto& tile : profile.columns.tiles) {
    tiles.push_back(tile.physical_tile);
  }
  return tiles;
}

std::vector<std::pair<std::string, std::string>> metadata_pairs(
    const SampleRecord& sample) {
  std::vector<std::pair<std::string, std::string>> pairs;
  pairs.reserve(sample.metadata.size());
  for (const auto& entry : sample.metadata) {
    pairs.emplace_back(entry.name, entry.value);
  }
  return pairs;
}

// The row's status as the tool's JSON spells it.
std::string status_name(const DiffRow& row) {
  switch (row.status) {
    case zyl_profile::DiffStatus::Changed:
      return "changed";
    case zyl_profile::DiffStatus::New:
      return "new";
    case zyl_profile::DiffStatus::Gone:
      return "gone";
    case zyl_profile::DiffStatus::Same:
      break;
  }
  return "same";
}

}  // namespace

PYBIND11_MODULE(_zyl_profile, m) {
  m.doc() = "Bindings of the zyl_profile query library";

  py::enum_<zyl_profile::GroupBy>(m, "GroupBy")
      .value("kind", zyl_profile::GroupBy::Kind)
      .value("kernel", zyl_profile::GroupBy::Kernel)
      .value("operation", zyl_profile::GroupBy::Operation)
      .value("phase", zyl_profile::GroupBy::Phase)
      .value("tile", zyl_profile::GroupBy::Tile)
      .value("metadata", zyl_profile::GroupBy::Metadata);
  py::enum_<zyl_profile::SortBy>(m, "SortBy")
      .value("phase_cycles", zyl_profile::SortBy::PhaseCycles)
      .value("work_cycles", zyl_profile::SortBy::WorkCycles)
      .value("maximum_cycles", zyl_profile::SortBy::MaximumCycles)
      .value("samples", zyl_profile::SortBy::Samples)
      .value("name", zyl_profile::SortBy::Name);
  py::enum_<zyl_profile::StepKind>(m, "StepKind")
      .value("exchange", zyl_profile::StepKind::Exchange)
      .value("compute", zyl_profile::StepKind::Compute)
      .value("synchronization", zyl_profile::StepKind::Synchronization)
      .value("idle", zyl_profile::StepKind::Idle);
  py::enum_<zyl_profile::DiffOrder>(m, "DiffOrder")
      .value("absolute", zyl_profile::DiffOrder::AbsoluteChange)
      .value("relative", zyl_profile::DiffOrder::RelativeChange);
  py::enum_<zyl_profile::DiffShow>(m, "DiffShow")
      .value("all", zyl_profile::DiffShow::All)
      .value("regressions", zyl_profile::DiffShow::Regressions)
      .value("improvements", zyl_profile::DiffShow::Improvements);

  py::class_<zyl_profile::MetadataFilter>(m, "MetadataFilter")
      .def(py::init<>())
      .def_readwrite("name", &zyl_profile::MetadataFilter::name)
      .def_readwrite("value", &zyl_profile::MetadataFilter::value);

  py::class_<Query>(m, "Query")
      .def(py::init<>())
      .def("__copy__", [](const Query& query) { return query; })
      .def_readwrite("group_by", &Query::group_by)
      .def_readwrite("sort_by", &Query::sort_by)
      .def_readwrite("kind", &Query::kind)
      .def_readwrite("kernel", &Query::kernel)
      .def_readwrite("operation_contains", &Query::operation_contains)
      .def_readwrite("tiles", &Query::tiles)
      .def_readwrite("phases", &Query::phases)
      .def_readwrite("metadata", &Query::metadata)
      .def_readwrite("metadata_key", &Query::metadata_key)
      .def_readwrite("at_offset", &Query::at_offset)
      .def_readwrite("limit", &Query::limit)
      .def_readwrite("sample_limit", &Query::sample_limit)
      .def_readwrite("from_offset", &Query::from_offset)
      .def_readwrite("to_offset", &Query::to_offset);

  py::class_<GroupSummary>(m, "GroupSummary")
      .def_readonly("name", &GroupSummary::name)
      .def_readonly("dimensions", &GroupSummary::dimensions)
      .def_readonly("sample_count", &GroupSummary::sample_count)
      .def_readonly("tile_count", &GroupSummary::tile_count)
      .def_readonly("phase_count", &GroupSummary::phase_count)
      .def_readonly("phase_cycles", &GroupSummary::phase_cycles)
      .def_readonly("phase_ms", &GroupSummary::phase_ms)
      .def_readonly("work_cycles", &GroupSummary::work_cycles)
      .def_readonly("average_active_tiles", &GroupSummary::average_active_tiles)
      .def_readonly("mean_cycles", &GroupSummary::mean_cycles)
      .def_readonly("p50_cycles", &GroupSummary::p50_cycles)
      .def_readonly("p95_cycles", &GroupSummary::p95_cycles)
      .def_readonly("maximum_cycles", &GroupSummary::maximum_cycles)
      .def_readonly("first_offset", &GroupSummary::first_offset)
      .def_readonly("last_offset", &GroupSummary::last_offset)
      .def_readonly("minimum_cycles", &GroupSummary::minimum_cycles)
      .def_readonly("p99_cycles", &GroupSummary::p99_cycles)
      .def(py::self == py::self);

  py::class_<SampleRecord>(m, "SampleRecord")
      .def_readonly("physical_tile", &SampleRecord::physical_tile)
      .def_readonly("offset", &SampleRecord::offset)
      .def_readonly("duration", &SampleRecord::duration)
      .def_readonly("phase", &SampleRecord::phase)
      .def_readonly("epoch", &SampleRecord::epoch)
      .def_readonly("kind", &SampleRecord::kind)
      .def_readonly("operation", &SampleRecord::operation)
      .def_readonly("kernel", &SampleRecord::kernel)
      .def_property_readonly("metadata", &metadata_pairs)
      .def(py::self == py::self);

  // The lists are handed over once (QueryOutcome's getters are called once
  // by the Python wrapper), so copying them into Python lists is fine.
  py::class_<QueryReport>(m, "QueryReport")
      .def_readonly("clock_hz", &QueryReport::clock_hz)
      .def_readonly("tile_count", &QueryReport::tile_count)
      .def_readonly("sample_count", &QueryReport::sample_count)
      .def_readonly("matched_sample_count", &QueryReport::matched_sample_count)
      .def_readonly("profile_span_cycles", &QueryReport::profile_span_cycles)
      .def_readonly("profile_span_ms", &QueryReport::profile_span_ms)
      .def_readonly("at_offset", &QueryReport::at_offset)
      .def_readonly("groups", &QueryReport::groups)
      .def_readonly("samples", &QueryReport::samples);

  py::class_<QueryOutcome>(m, "QueryOutcome")
      .def_readonly("report", &QueryOutcome::report)
      .def_readonly("notes", &QueryOutcome::notes);

  py::class_<CountChange>(m, "CountChange")
      .def_readonly("base", &CountChange::base)
      .def_readonly("next", &CountChange::next)
      .def_readonly("magnitude", &CountChange::magnitude)
      .def_readonly("negative", &CountChange::negative)
      .def_readonly("percent", &CountChange::percent)
      .def_readonly("regressed", &CountChange::regressed);

  py::class_<RealChange>(m, "RealChange")
      .def_readonly("base", &RealChange::base)
      .def_readonly("next", &RealChange::next)
      .def_readonly("change", &RealChange::change)
      .def_readonly("percent", &RealChange::percent);

  py::class_<DiffRow>(m, "DiffRow")
      .def_readonly("name", &DiffRow::name)
      .def_readonly("dimensions", &DiffRow::dimensions)
      .def_property_readonly("status", &status_name)
      .def_readonly("phase_cycles", &DiffRow::phase_cycles)
      .def_readonly("work_cycles", &DiffRow::work_cycles)
      .def_readonly("sample_count", &DiffRow::sample_count)
      .def_readonly("average_active_tiles", &DiffRow::average_active_tiles)
      .def_readonly("p95_cycles", &DiffRow::p95_cycles);

  py::class_<DiffReport>(m, "DiffReport")
      .def_readonly("rows", &DiffReport::rows)
      .def_readonly("group_count", &DiffReport::group_count)
      .def_readonly("changed_count", &DiffReport::changed_count)
      .def_readonly("shown_count", &DiffReport::shown_count)
      .def_readonly("profile_span_cycles", &DiffReport::profile_span_cycles)
      .def_readonly("matched_sample_count", &DiffReport::matched_sample_count)
      .def_property_readonly("fail_above",
                             [](const DiffReport& diff) -> py::object {
                               if (!diff.fail_above) return py::none();
                               return py::make_tuple(diff.fail_above->units,
                                                     diff.fail_above->scale);
                             })
      .def_readonly("order", &DiffReport::order)
      .def_readonly("show", &DiffReport::show)
      .def_readonly("regressed_groups", &DiffReport::regressed_groups)
      .def_property_readonly("regressed", &DiffReport::regressed);

  py::class_<DiffOptions>(m, "DiffOptions")
      .def(py::init<>())
      .def_readwrite("limit", &DiffOptions::limit)
      .def_readwrite("order", &DiffOptions::order)
      .def_readwrite("show", &DiffOptions::show)
      .def_property(
          "fail_above",
          [](const DiffOptions& options) -> py::object {
            if (!options.fail_above) return py::none();
            return py::make_tuple(options.fail_above->units,
                                  options.fail_above->scale);
          },
          [](DiffOptions& options,
             std::optional<std::pair<std::uint64_t, std::uint64_t>> value) {
            if (value) {
              options.fail_above = Percentage{value->first, value->second};
            } else {
              options.fail_above.reset();
            }
          });

  py::class_<Profile>(m, "Profile")
      .def_property_readonly(
          "sample_count",
          [](const Profile& profile) { return profile.columns.sample_count(); })
      .def_property_readonly(
          "clock_hz",
          [](const Profile& profile) { return profile.columns.clock_hz; })
      .def_property_readonly("tiles", &tile_numbers)
      .def("profile_span", &Profile::profile_span)
      .def("sample_columns", &sample_columns, py::arg("timeline"))
      .def("metadata_list", &metadata_list, py::arg("id"))
      .def("metadata_values", &metadata_values, py::arg("keys"))
      .def("query", &run_query, py::arg("query"), py::arg("threads"))
      .def("query_partial", &run_query_partial, py::arg("query"),
           py::arg("position"), py::arg("threads"));

  py::class_<PartialMerge>(m, "PartialMerge")
      .def(py::init<>())
      .def("add", &PartialMerge::add, py::arg("bytes"))
      .def_property_readonly("shards", &PartialMerge::shards)
      .def("finish", &PartialMerge::finish);

  m.def("open", &open_profile, py::arg("path"));
  m.def("diff", &run_diff, py::arg("base"), py::arg("next"),
        py::arg("base_query"), py::arg("next_query"), py::arg("options"),
        py::arg("threads"));
  m.def(
      "parse_percentage",
      [](const std::string& text)
          -> std::optional<std::pair<std::uint64_t, std::uint64_t>> {
        const std::optional<Percentage> parsed =
            zyl_profile::parse_percentage(text);
        if (!parsed) return std::nullopt;
        return std::pair{parsed->units, parsed->scale};
      },
      py::arg("text"));
  m.def(
      "percent_of",
      [](std::uint64_t units, std::uint64_t scale, std::uint64_t value) {
        return zyl_profile::percent_of(Percentage{units, scale}, value);
      },
      py::arg("units"), py::arg("scale"), py::arg("value"));
}
