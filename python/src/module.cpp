// The extension behind the zyl_profile Python package: the library's records
// field for field, an opened profile that owns its columns, the query, phase
// balance and diff calls with the GIL released around the scan, and a query's
// partial result as bytes with the merge that folds them. Argument checking and
// the Python-shaped API live in zyl_profile/__init__.py; this file only
// converts.
#include <pybind11/numpy.h>
#include <pybind11/operators.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "zyl_package/profile_columns.h"
#include "zyl_package/report_io.h"
#include "zyl_profile/diff.h"
#include "zyl_profile/notes.h"
#include "zyl_profile/partial.h"
#include "zyl_profile/percentage.h"
#include "zyl_profile/phase_balance.h"
#include "zyl_profile/profile_set.h"
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
using zyl_profile::PhaseBalance;
using zyl_profile::PhaseRow;
using zyl_profile::PhaseTotals;
using zyl_profile::Query;
using zyl_profile::QueryReport;
using zyl_profile::RealChange;
using zyl_profile::SampleRecord;
using zyl_profile::TimeBound;

// A bound as Python holds it: cycles, or a share of the span as the
// (units, scale) pair parse_percentage gives.
using PyBound =
    std::variant<std::uint64_t, std::pair<std::uint64_t, std::uint64_t>>;

std::optional<PyBound> bound_to_python(const std::optional<TimeBound>& bound) {
  if (!bound) return std::nullopt;
  if (bound->is_share()) {
    return PyBound(std::pair{bound->share().units, bound->share().scale});
  }
  return PyBound(bound->cycles());
}

std::optional<TimeBound> bound_from_python(
    const std::optional<PyBound>& value) {
  if (!value) return std::nullopt;
  if (const auto* cycles = std::get_if<std::uint64_t>(&*value)) {
    return TimeBound(*cycles);
  }
  const auto& share = std::get<std::pair<std::uint64_t, std::uint64_t>>(*value);
  return TimeBound(Percentage{share.first, share.second});
}

// An opened profile. The columns view a mapping or owned buffers that
// `columns.storage` keeps alive, so this object is all Python has to hold;
// the set over the same columns is what questions are asked of.
struct Profile {
  ProfileColumns columns;
  zyl_profile::ProfileSet set;
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
  zyl_package::for_each_sample_column([&](const auto& column) {
    result[py::str(column.name.data(), column.name.size())] =
        view(columns.*column.column, self);
  });
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

// The sample columns in order, each as (name, meaning): "number" for plain
// numbers, "kind" for ProfileStepKind values, "string" for ids into the
// strings and "list" for metadata list ids. The Python side builds its
// DataFrame from these, so a new column needs no change there.
py::tuple sample_fields() {
  py::list fields;
  zyl_package::for_each_sample_column([&](const auto& column) {
    using Column = std::remove_cvref_t<decltype(column)>;
    const char* meaning = "number";
    if constexpr (Column::kValues == zyl_package::SampleValues::Kind) {
      meaning = "kind";
    } else if constexpr (Column::kValues ==
                         zyl_package::SampleValues::StringId) {
      meaning = "string";
    } else if constexpr (Column::kValues == zyl_package::SampleValues::ListId) {
      meaning = "list";
    }
    fields.append(py::make_tuple(
        py::str(column.name.data(), column.name.size()), meaning));
  });
  return py::tuple(fields);
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

// Returns the load error's fields as a dict for the Python side to raise as
// ReportError (a pybind11 exception translator cannot carry the fields as
// attributes without more code than this).
py::dict error_fields(const LoadError& error) {
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

// Returns the opened profile, or the load error's fields.
py::object open_profile(const std::string& path) {
  zyl_package::ColumnsResult result = [&] {
    py::gil_scoped_release unlocked;
    return zyl_package::read_columns(path);
  }();
  if (!result.ok()) return error_fields(result.error());
  Profile profile;
  profile.columns = std::move(result).value();
  profile.set = zyl_profile::ProfileSet::of(profile.columns, path);
  return py::cast(std::move(profile));
}

// The outcome of a question asked of a set: the answer, or the load error's
// fields.
py::object outcome_of(zyl_package::Loaded<zyl_profile::QueryAnswer>&& answer) {
  if (!answer.ok()) return error_fields(answer.error());
  QueryOutcome outcome;
  outcome.report = std::move(answer.value().report);
  outcome.notes = std::move(answer.value().notes);
  return py::cast(std::move(outcome));
}

py::object run_query(const Profile& profile, const Query& query,
                     unsigned threads) {
  zyl_package::Loaded<zyl_profile::QueryAnswer> answer = [&] {
    py::gil_scoped_release unlocked;
    return zyl_profile::query(profile.set, query,
                              zyl_profile::ParallelOptions{threads});
  }();
  return outcome_of(std::move(answer));
}

// The errors about a set that is not one profile's shards name the
// keyword a Python caller passes to read the files as given.
zyl_profile::OpenOptions set_options(bool concatenate) {
  zyl_profile::OpenOptions options;
  options.concatenate = concatenate;
  options.concatenate_option = "concatenate=True";
  return options;
}

// Returns what `ask` answers of the profile `paths` form (one file, or the
// shards of one), or the error opening them gave; the GIL is released
// throughout, so `ask` must not touch Python.
template <typename Answer, typename Ask>
zyl_package::Loaded<Answer> ask_paths(const std::vector<std::string>& paths,
                                      bool concatenate, const Ask& ask) {
  py::gil_scoped_release unlocked;
  zyl_package::Loaded<zyl_profile::ProfileSet> set =
      zyl_profile::ProfileSet::open(
          std::vector<std::filesystem::path>(paths.begin(), paths.end()),
          set_options(concatenate));
  if (!set.ok()) return zyl_package::Loaded<Answer>(set.error());
  return ask(set.value());
}

// Queries the profile `paths` form with the library's one call; the
// outcome, or the load error's fields.
py::object query_paths(const std::vector<std::string>& paths,
                       const Query& query, unsigned threads, bool concatenate) {
  return outcome_of(ask_paths<zyl_profile::QueryAnswer>(
      paths, concatenate, [&](const zyl_profile::ProfileSet& set) {
        return zyl_profile::query(set, query,
                                  zyl_profile::ParallelOptions{threads});
      }));
}

// The balance, or the load error's fields.
py::object balance_of(zyl_package::Loaded<PhaseBalance>&& balance) {
  if (!balance.ok()) return error_fields(balance.error());
  return py::cast(std::move(balance.value()));
}

py::object run_phases(const Profile& profile, const Query& query,
                      unsigned threads) {
  zyl_package::Loaded<PhaseBalance> balance = [&] {
    py::gil_scoped_release unlocked;
    return zyl_profile::phase_balance(profile.set, query,
                                      zyl_profile::ParallelOptions{threads});
  }();
  return balance_of(std::move(balance));
}

// The phase balance of the profile `paths` form, as query_paths asks.
py::object phases_paths(const std::vector<std::string>& paths,
                        const Query& query, unsigned threads,
                        bool concatenate) {
  return balance_of(ask_paths<PhaseBalance>(
      paths, concatenate, [&](const zyl_profile::ProfileSet& set) {
        return zyl_profile::phase_balance(
            set, query, zyl_profile::ParallelOptions{threads});
      }));
}

// Returns the files of the set `paths` name in shard order, having checked
// from their headers alone that they are one whole set (or the load error's
// fields): what a cluster's client does before sending work to workers.
py::object shard_order(const std::vector<std::string>& paths,
                       bool concatenate) {
  zyl_package::Loaded<zyl_profile::ProfileSet> set = [&] {
    py::gil_scoped_release unlocked;
    return zyl_profile::ProfileSet::open(
        std::vector<std::filesystem::path>(paths.begin(), paths.end()),
        set_options(concatenate));
  }();
  if (!set.ok()) return error_fields(set.error());
  std::vector<std::string> ordered;
  for (const auto& path : set.value().paths()) ordered.push_back(path.string());
  return py::cast(ordered);
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

// The facts the notes need of this profile as a shard of a larger one,
// for a client that words the notes of the merged answer.
zyl_profile::NoteFacts note_facts(const Profile& profile, const Query& query,
                                  bool empty_answer) {
  py::gil_scoped_release unlocked;
  return zyl_profile::gather_note_facts(profile.columns, query, empty_answer);
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
    zyl_package::Outcome<PartialResult, PartialError> parsed =
        zyl_profile::parse_partial(bytes);
    if (!parsed.ok()) return parsed.error().message;
    PartialResult& partial = parsed.value();
    const std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return std::string("the merge was already finished");
    if (!merged_) {
      merged_ = std::move(partial);
      return std::nullopt;
    }
    const zyl_package::Outcome<void, PartialError> merge =
        zyl_profile::merge_partial(*merged_, std::move(partial));
    if (!merge.ok()) return merge.error().message;
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

py::object run_diff(const Profile& base, const Profile& next,
                    const Query& query, const DiffOptions& options,
                    unsigned threads) {
  zyl_package::Loaded<zyl_profile::DiffAnswer> answer = [&] {
    py::gil_scoped_release unlocked;
    return zyl_profile::diff(base.set, next.set, query, options,
                             zyl_profile::ParallelOptions{threads});
  }();
  if (!answer.ok()) return error_fields(answer.error());
  return py::cast(std::move(answer.value().report));
}

// Compares the profiles two lists of paths name, each one file or the
// shards of one, with the library's one call.
py::object diff_paths(const std::vector<std::string>& base,
                      const std::vector<std::string>& next, const Query& query,
                      const DiffOptions& options, unsigned threads) {
  zyl_package::Loaded<zyl_profile::DiffAnswer> answer = [&] {
    py::gil_scoped_release unlocked;
    // diff takes no concatenate keyword: each side is one file or the
    // shards of one profile, and a refusal offers no other way.
    const auto open = [](const std::vector<std::string>& paths) {
      zyl_profile::OpenOptions options;
      options.concatenate_option.clear();
      return zyl_profile::ProfileSet::open(
          std::vector<std::filesystem::path>(paths.begin(), paths.end()),
          options);
    };
    zyl_package::Loaded<zyl_profile::ProfileSet> before = open(base);
    if (!before.ok()) {
      return zyl_package::Loaded<zyl_profile::DiffAnswer>(before.error());
    }
    zyl_package::Loaded<zyl_profile::ProfileSet> after = open(next);
    if (!after.ok()) {
      return zyl_package::Loaded<zyl_profile::DiffAnswer>(after.error());
    }
    return zyl_profile::diff(before.value(), after.value(), query, options,
                             zyl_profile::ParallelOptions{threads});
  }();
  if (!answer.ok()) return error_fields(answer.error());
  return py::cast(std::move(answer.value().report));
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

}  // namespace

PYBIND11_MODULE(_zyl_profile, m) {
  m.doc() = "Bindings of the zyl_profile query library";
  m.attr("sample_fields") = sample_fields();

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
      .def_readwrite("value", &zyl_profile::MetadataFilter::value)
      .def(py::pickle(
          [](const zyl_profile::MetadataFilter& filter) {
            return py::make_tuple(filter.name, filter.value);
          },
          [](const py::tuple& state) {
            return zyl_profile::MetadataFilter{
                state[0].cast<std::string>(),
                state[1].cast<std::optional<std::string>>()};
          }));

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
      .def_property(
          "at_offset",
          [](const Query& q) { return bound_to_python(q.at_offset); },
          [](Query& q, std::optional<PyBound> value) {
            q.at_offset = bound_from_python(value);
          })
      .def_readwrite("limit", &Query::limit)
      .def_readwrite("sample_limit", &Query::sample_limit)
      .def_property(
          "from_offset",
          [](const Query& q) { return bound_to_python(q.from_offset); },
          [](Query& q, std::optional<PyBound> value) {
            q.from_offset = bound_from_python(value);
          })
      .def_property(
          "to_offset",
          [](const Query& q) { return bound_to_python(q.to_offset); },
          [](Query& q, std::optional<PyBound> value) {
            q.to_offset = bound_from_python(value);
          })
      .def_property_readonly(
          "needs_span",
          [](const Query& q) { return zyl_profile::needs_span(q); })
      // A query crosses to dask workers by pickle: its fields as plain
      // values, in declaration order.
      .def(py::pickle(
          [](const Query& q) {
            return py::make_tuple(
                q.group_by, q.sort_by, q.kind, q.kernel, q.operation_contains,
                q.tiles, q.phases, q.metadata, q.metadata_key,
                bound_to_python(q.at_offset), q.limit, q.sample_limit,
                bound_to_python(q.from_offset), bound_to_python(q.to_offset));
          },
          [](const py::tuple& state) {
            Query q;
            q.group_by = state[0].cast<zyl_profile::GroupBy>();
            q.sort_by = state[1].cast<zyl_profile::SortBy>();
            q.kind = state[2].cast<std::optional<zyl_profile::StepKind>>();
            q.kernel = state[3].cast<std::optional<std::string>>();
            q.operation_contains = state[4].cast<std::optional<std::string>>();
            q.tiles = state[5].cast<std::set<std::uint32_t>>();
            q.phases = state[6].cast<std::set<std::uint32_t>>();
            q.metadata =
                state[7].cast<std::vector<zyl_profile::MetadataFilter>>();
            q.metadata_key = state[8].cast<std::optional<std::string>>();
            q.at_offset =
                bound_from_python(state[9].cast<std::optional<PyBound>>());
            q.limit = state[10].cast<std::optional<std::size_t>>();
            q.sample_limit = state[11].cast<std::size_t>();
            q.from_offset =
                bound_from_python(state[12].cast<std::optional<PyBound>>());
            q.to_offset =
                bound_from_python(state[13].cast<std::optional<PyBound>>());
            return q;
          }));

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
      .def_readonly("work_percent", &GroupSummary::work_percent)
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
      .def_readonly("matched_work_cycles", &QueryReport::matched_work_cycles)
      .def_readonly("at_offset", &QueryReport::at_offset)
      .def_readonly("groups", &QueryReport::groups)
      .def_readonly("samples", &QueryReport::samples);

  // Values named as the Python side spells them, so a row's measure reads
  // as text and maps onto a Categorical by its number.
  py::enum_<zyl_profile::WaitMeasure>(m, "WaitMeasure")
      .value("synchronization", zyl_profile::WaitMeasure::Synchronization)
      .value("imbalance", zyl_profile::WaitMeasure::Imbalance);

  py::class_<PhaseRow>(m, "PhaseRow")
      .def_readonly("phase", &PhaseRow::phase)
      .def_readonly("epoch", &PhaseRow::epoch)
      .def_readonly("start", &PhaseRow::start)
      .def_readonly("end", &PhaseRow::end)
      .def_readonly("span", &PhaseRow::span)
      .def_readonly("tiles", &PhaseRow::tiles)
      .def_readonly("compute_cycles", &PhaseRow::compute_cycles)
      .def_readonly("exchange_cycles", &PhaseRow::exchange_cycles)
      .def_readonly("synchronization_cycles", &PhaseRow::synchronization_cycles)
      .def_readonly("idle_cycles", &PhaseRow::idle_cycles)
      .def_readonly("busy_cycles", &PhaseRow::busy_cycles)
      .def_readonly("slowest_tile", &PhaseRow::slowest_tile)
      .def_readonly("slowest_busy_cycles", &PhaseRow::slowest_busy_cycles)
      .def_readonly("slowest_kernel", &PhaseRow::slowest_kernel)
      .def_readonly("mean_busy_cycles", &PhaseRow::mean_busy_cycles)
      .def_readonly("median_busy_cycles", &PhaseRow::median_busy_cycles)
      .def_readonly("wait_cycles", &PhaseRow::wait_cycles)
      .def_readonly("wait_measure", &PhaseRow::wait_measure)
      .def(py::self == py::self);

  py::class_<PhaseTotals>(m, "PhaseTotals")
      .def_readonly("wait_cycles", &PhaseTotals::wait_cycles)
      .def_readonly("busy_cycles", &PhaseTotals::busy_cycles)
      .def_readonly("tile_cycles", &PhaseTotals::tile_cycles)
      .def_property_readonly("wait_share", &PhaseTotals::wait_share)
      .def(py::self == py::self);

  py::class_<PhaseBalance>(m, "PhaseBalance")
      .def_readonly("clock_hz", &PhaseBalance::clock_hz)
      .def_readonly("matched_sample_count", &PhaseBalance::matched_sample_count)
      .def_readonly("rows", &PhaseBalance::rows)
      .def_readonly("totals", &PhaseBalance::totals)
      .def(py::self == py::self);

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
      .def_property_readonly(
          "status",
          [](const DiffRow& row) {
            return std::string(zyl_profile::status_name(row.status));
          })
      .def_readonly("phase_cycles", &DiffRow::phase_cycles)
      .def_readonly("work_cycles", &DiffRow::work_cycles)
      .def_readonly("sample_count", &DiffRow::sample_count)
      .def_readonly("average_active_tiles", &DiffRow::average_active_tiles)
      .def_readonly("p95_cycles", &DiffRow::p95_cycles)
      .def_readonly("work_percent", &DiffRow::work_percent);

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
      .def("phases", &run_phases, py::arg("query"), py::arg("threads"))
      .def("query_partial", &run_query_partial, py::arg("query"),
           py::arg("position"), py::arg("threads"))
      .def("note_facts", &note_facts, py::arg("query"),
           py::arg("empty_answer"));

  // Crosses from a worker to the client by pickle: its fields in order.
  using Condition = zyl_profile::NoteFacts::Condition;
  py::class_<zyl_profile::NoteFacts>(m, "NoteFacts")
      .def(py::pickle(
          [](const zyl_profile::NoteFacts& f) {
            py::list conditions;
            for (const Condition& c : f.conditions) {
              conditions.append(
                  py::make_tuple(c.name_found, c.pair_found, c.values));
            }
            return py::make_tuple(f.sample_count, f.key_found, f.entry_names,
                                  f.tiles, f.empty_answer, f.window_alone,
                                  f.phases_seen, f.phases, f.kinds,
                                  f.kernel_found, f.kernels, f.operation_found,
                                  f.folded_operation, conditions);
          },
          [](const py::tuple& t) {
            zyl_profile::NoteFacts f;
            f.sample_count = t[0].cast<std::uint64_t>();
            f.key_found = t[1].cast<bool>();
            f.entry_names = t[2].cast<std::vector<std::string>>();
            f.tiles = t[3].cast<std::vector<std::uint32_t>>();
            f.empty_answer = t[4].cast<bool>();
            f.window_alone = t[5].cast<bool>();
            f.phases_seen = t[6].cast<std::vector<std::uint32_t>>();
            f.phases = t[7].cast<std::vector<std::uint32_t>>();
            f.kinds = t[8].cast<std::array<std::uint64_t, 4>>();
            f.kernel_found = t[9].cast<bool>();
            f.kernels = t[10].cast<std::vector<std::string>>();
            f.operation_found = t[11].cast<bool>();
            f.folded_operation = t[12].cast<std::optional<std::string>>();
            for (const py::handle c : t[13].cast<py::list>()) {
              const auto fields = c.cast<py::tuple>();
              f.conditions.push_back(
                  Condition{fields[0].cast<bool>(), fields[1].cast<bool>(),
                            fields[2].cast<std::vector<std::string>>()});
            }
            return f;
          }));
  m.def(
      "explain",
      [](std::vector<zyl_profile::NoteFacts> facts, const Query& query,
         const QueryReport& report) {
        py::gil_scoped_release unlocked;
        zyl_profile::NoteFacts merged;
        for (std::size_t i = 0; i < facts.size(); ++i) {
          if (i == 0) {
            merged = std::move(facts[0]);
          } else {
            zyl_profile::merge_note_facts(merged, std::move(facts[i]));
          }
        }
        return zyl_profile::explain_query(merged, query, report);
      },
      py::arg("facts"), py::arg("query"), py::arg("report"));

  py::class_<PartialMerge>(m, "PartialMerge")
      .def(py::init<>())
      .def("add", &PartialMerge::add, py::arg("bytes"))
      .def_property_readonly("shards", &PartialMerge::shards)
      .def("finish", &PartialMerge::finish);

  m.def("open", &open_profile, py::arg("path"));
  m.def("query_paths", &query_paths, py::arg("paths"), py::arg("query"),
        py::arg("threads"), py::arg("concatenate"));
  m.def("phases_paths", &phases_paths, py::arg("paths"), py::arg("query"),
        py::arg("threads"), py::arg("concatenate"));
  m.def("shard_order", &shard_order, py::arg("paths"), py::arg("concatenate"));
  m.def(
      "resolve_bounds",
      [](const Query& query, std::uint64_t span) {
        return zyl_profile::resolve_bounds(query, span);
      },
      py::arg("query"), py::arg("span"));
  m.def("diff", &run_diff, py::arg("base"), py::arg("next"), py::arg("query"),
        py::arg("options"), py::arg("threads"));
  m.def("diff_paths", &diff_paths, py::arg("base"), py::arg("next"),
        py::arg("query"), py::arg("options"), py::arg("threads"));
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
