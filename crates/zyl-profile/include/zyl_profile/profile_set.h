// A profile as its user keeps it: one report file, or the ordered shards
// that `zyl-profile split` cut it into. Every front end (the command line,
// Python, dask) asks its questions of a ProfileSet through the calls here,
// so a window given as a share of the span, the span over several shards,
// the merge of the shards' partial results and the notes are worked out in
// one place, and a sharded answer is bit for bit the whole file's.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zyl_package/load_result.h"
#include "zyl_package/profile_columns.h"
#include "zyl_profile/diff.h"
#include "zyl_profile/occupancy.h"
#include "zyl_profile/partial.h"
#include "zyl_profile/query.h"

namespace zyl_profile {

using zyl_package::ColumnsResult;
using zyl_package::Loaded;
using zyl_package::LoadError;
using zyl_package::ReadLimits;
using zyl_package::ReadProgress;
using zyl_package::ShardIdentity;

// Called as each file starts loading, with the counter of its bytes read;
// what it returns is kept alive until that file is loaded (a progress line
// on a terminal, say). May be empty.
using LoadWatch = std::function<std::shared_ptr<void>(
    const std::filesystem::path& path, const ReadProgress& progress)>;

// How a set opens its files.
struct OpenOptions {
  ReadLimits limits;
  // Read several files as one profile of their tiles, in the order given,
  // without asking that they be the shards of one profile. Otherwise
  // several files must be exactly the shards of one split profile.
  bool concatenate = false;
  // How the caller's users ask for `concatenate` ("--concatenate" on the
  // command line, "concatenate=True" from Python), named by the errors
  // about a set that is not one profile's shards as the way to read the
  // files anyway. Empty when they cannot ask for it: the errors then
  // suggest nothing they could not do.
  std::string concatenate_option = "--concatenate";
  LoadWatch watch;
  // Keep every file's columns once loaded, for the life of the set: a
  // server answering many questions of one profile then reads each shard
  // once, not once a question. Counted against `limits.max_memory_bytes`
  // as the files that can be read only once are.
  bool keep_loaded = false;
};

// One file or the shards of one profile, in the order their tiles form the
// whole. Holds paths, not data: every question loads one shard at a time,
// so memory follows the largest shard, not the profile. The exception is a
// file that cannot be read twice (a pipe, a device): it is read whole into
// memory anyway, and a question may walk the set twice (a share of the
// span, the notes of an empty answer, a trace), so once read it stays
// loaded for the life of the set, counted against `limits.max_memory_bytes`
// with the next reads. Copies share the resident columns of a set made
// with `of` and the files kept.
class ProfileSet {
 public:
  // Returns the set `paths` name, having read only each file's header: one
  // file (a whole profile), or every shard of one profile given exactly
  // once, whatever order the paths come in (the shards are put in their
  // own order). Refuses, naming the odd file, a shard whose set is
  // incomplete, a shard given twice, shards of different profiles or of
  // different splits, and several files that are not shards, unless
  // `options.concatenate` asks for the files as given.
  [[nodiscard]] static Loaded<ProfileSet> open(
      std::vector<std::filesystem::path> paths, OpenOptions options = {});

  // Returns a set of one profile already in memory; `name` labels errors.
  [[nodiscard]] static ProfileSet of(ProfileColumns columns,
                                     std::string name = {});

  // Files (or 1 for a set made with `of`).
  [[nodiscard]] std::size_t size() const { return paths_.size(); }
  // The files in shard order.
  [[nodiscard]] const std::vector<std::filesystem::path>& paths() const {
    return paths_;
  }

  // Loads the file at position `position` (below size()), or gives back
  // the resident or kept columns. A shard that no longer carries the
  // identity it had at open is an error: the file changed in between.
  [[nodiscard]] ColumnsResult load(std::size_t position) const;

 private:
  struct LastLoaded;

  std::vector<std::filesystem::path> paths_;
  std::vector<std::optional<ShardIdentity>> identities_;
  std::vector<bool> read_once_;  // not a regular file: kept once loaded
  std::shared_ptr<const ProfileColumns> resident_;
  // The last file loaded stays loaded, so a question that walks a one-file
  // set twice (a trace's two passes, the notes of an empty answer) reads it
  // once; a set of many shards still holds only one at a time, besides the
  // files that can be read only once.
  std::shared_ptr<LastLoaded> last_;
  OpenOptions options_;
};

// Returns the profiles `paths` name, in order, for a command that takes
// several (BASE NEW of a comparison): each run of consecutive shards of one
// profile is one set, any other file a set of its own; every set is checked
// as ProfileSet::open checks it. `options.concatenate` is not read here, so
// the errors never suggest it either.
[[nodiscard]] Loaded<std::vector<ProfileSet>> open_profiles(
    const std::vector<std::filesystem::path>& paths,
    const OpenOptions& options = {});

// Where a question's time went, for --timings.
struct AnswerCosts {
  double load_ms = 0.0;   // reading the files
  double query_ms = 0.0;  // the scans, merges and summaries
  unsigned threads = 1;   // most threads one scan ran on
};

// The answer to a query over a set, with the notes that say why it is empty
// or which option changed nothing (explain_query), the same for a sharded
// profile as for the whole file.
struct QueryAnswer {
  QueryReport report;
  std::vector<std::string> notes;
  AnswerCosts costs;
};

// Returns what query(columns, q, parallel) over the profile the set forms
// gives, bit for bit, with its notes; shares of the span are of the whole
// profile's span. Fails only when a file cannot be read or the shards
// disagree (on the clock).
[[nodiscard]] Loaded<QueryAnswer> query(const ProfileSet& profile,
                                        const Query& q,
                                        ParallelOptions parallel = {});

// Returns the longest tile timeline of the profile the set forms.
[[nodiscard]] Loaded<std::uint64_t> profile_span(const ProfileSet& profile);

// A comparison of two profiles and what it cost (both sides together).
struct DiffAnswer {
  DiffReport report;
  AnswerCosts costs;
};

// Returns the comparison diff_profiles gives of the two profiles, each
// side's shares of its own span. One side is loaded at a time.
[[nodiscard]] Loaded<DiffAnswer> diff(const ProfileSet& base,
                                      const ProfileSet& next, const Query& q,
                                      const DiffOptions& options,
                                      ParallelOptions parallel = {});

// Returns the occupancy of the profile the set forms, as occupancy() over
// the whole profile gives it.
[[nodiscard]] Loaded<Occupancy> occupancy(const ProfileSet& profile,
                                          const Query& q,
                                          OccupancyOptions options = {},
                                          ParallelOptions parallel = {});

// A matched sample as a walk over a set hands it on: the columns of its
// shard, the tile's position in the whole profile and the sample's index in
// its shard's columns.
struct SetMatch {
  const ProfileColumns& columns;
  std::uint32_t physical_tile;
  std::size_t tile;      // report position over the whole profile
  std::size_t sample;    // index into `columns`' sample columns
  std::uint64_t offset;  // cycles on its tile's timeline
  std::uint32_t duration;
};

// Calls `visit(match)` for every sample of the set that matches `q`, in
// report order (shard after shard, one loaded at a time), with shares of
// the span resolved over the whole profile. Returns the query the walk ran
// (its bounds in cycles) and the profile's totals, or why a file could not
// be read. `each_shard`, when given, is called with every shard's columns
// before its samples (a writer may read a shard's dictionaries there).
struct Walked {
  Query query;  // the bounds in cycles
  std::uint64_t clock_hz = 0;
  std::uint64_t tile_count = 0;
  std::uint64_t sample_count = 0;
  std::uint64_t matched_sample_count = 0;
  std::uint64_t profile_span_cycles = 0;
  std::vector<std::string> notes;  // as QueryAnswer's, for what was walked
};
[[nodiscard]] Loaded<Walked> walk_matches(
    const ProfileSet& profile, const Query& q,
    const std::function<void(const SetMatch&)>& visit);

}  // namespace zyl_profile
