// ProfileSet and the questions asked of it: one file answers directly;
// shards each leave a partial result (and the facts the notes need), merged
// into the whole profile's answer.
#include "zyl_profile/profile_set.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "zyl_package/report_io.h"
#include "zyl_package/report_package.h"
#include "zyl_profile/notes.h"
#include "zyl_profile/scan.h"

namespace zyl_profile {
namespace {

using Clock = std::chrono::steady_clock;

double elapsed_ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since)
      .count();
}

LoadError set_error(const std::filesystem::path& path, std::string message) {
  LoadError error;
  error.file = path.string();
  error.message = std::move(message);
  return error;
}

// The first bytes of a profile's fingerprint, enough to tell two apart.
std::string fingerprint_text(const ShardIdentity& identity) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < 6; ++i) {
    text += kDigits[identity.profile[i] >> 4];
    text += kDigits[identity.profile[i] & 15];
  }
  return text + "...";
}

std::string str(std::size_t number) { return std::to_string(number); }

// Returns ", or <option><purpose>", the way out an error offers, or nothing
// when the caller's users have no such option.
std::string or_concatenate(const std::string& option,
                           std::string_view purpose) {
  if (option.empty()) return {};
  return ", or " + option + std::string(purpose);
}

// Puts shards in their own order and checks that they are one whole set:
// the same profile, the same split, every index exactly once. The errors
// name `concatenate_option` as the way to read the files as given.
Loaded<void> order_shards(std::vector<std::filesystem::path>& paths,
                          std::vector<std::optional<ShardIdentity>>& identities,
                          const std::string& concatenate_option) {
  const std::size_t files = paths.size();
  const auto first =
      std::find_if(identities.begin(), identities.end(),
                   [](const auto& id) { return id.has_value(); });
  if (first == identities.end()) {
    if (files == 1) return {};
    return set_error(paths[1],
                     "neither this nor " + paths[0].string() +
                         " is a shard of a split profile; give one report" +
                         or_concatenate(concatenate_option,
                                        " to read the files as one profile "
                                        "of their tiles in the order given"));
  }
  const ShardIdentity& model = **first;
  const std::filesystem::path& model_path =
      paths[static_cast<std::size_t>(first - identities.begin())];
  std::vector<std::optional<std::size_t>> at(model.count);
  for (std::size_t i = 0; i < files; ++i) {
    if (!identities[i]) {
      return set_error(paths[i], "not a shard, but " + model_path.string() +
                                     " is one: give the shards of one "
                                     "profile" +
                                     or_concatenate(concatenate_option, ""));
    }
    const ShardIdentity& identity = *identities[i];
    if (identity.profile != model.profile) {
      return set_error(paths[i], "a shard of another profile (" +
                                     fingerprint_text(identity) + ") than " +
                                     model_path.string() + " (" +
                                     fingerprint_text(model) + ")");
    }
    if (identity.count != model.count) {
      return set_error(paths[i], "shard " + str(identity.index) + " of " +
                                     str(identity.count) + ", but " +
                                     model_path.string() + " is one of " +
                                     str(model.count) +
                                     ": left over from another split of the "
                                     "profile");
    }
    if (at[identity.index]) {
      return set_error(paths[i], "shard " + str(identity.index) + " of " +
                                     str(identity.count) + " again (also " +
                                     paths[*at[identity.index]].string() + ")");
    }
    at[identity.index] = i;
  }
  std::vector<std::size_t> missing;
  for (std::size_t index = 0; index < at.size(); ++index) {
    if (!at[index]) missing.push_back(index);
  }
  if (!missing.empty()) {
    // Names the first few: a set missing hundreds says so in its count.
    std::string which;
    for (std::size_t i = 0; i < std::min<std::size_t>(missing.size(), 8); ++i) {
      which += (i == 0 ? "" : ", ") + str(missing[i]);
    }
    if (missing.size() > 8) which += ", ...";
    return set_error(
        model_path,
        (missing.size() == 1 ? "shard " : "shards ") + which + " of " +
            str(model.count) + (missing.size() == 1 ? " is" : " are") +
            " missing; give every shard" +
            or_concatenate(concatenate_option, " to read only these"));
  }
  std::vector<std::filesystem::path> ordered_paths;
  std::vector<std::optional<ShardIdentity>> ordered_identities;
  for (const std::optional<std::size_t>& i : at) {
    ordered_paths.push_back(std::move(paths[*i]));
    ordered_identities.push_back(identities[*i]);
  }
  paths = std::move(ordered_paths);
  identities = std::move(ordered_identities);
  return {};
}

}  // namespace

struct ProfileSet::LastLoaded {
  std::mutex mutex;
  std::size_t position = 0;
  std::optional<ProfileColumns> columns;
  // The files that cannot be read again, by position, once read, and the
  // bytes their columns take.
  std::vector<std::optional<ProfileColumns>> kept;
  std::uint64_t kept_bytes = 0;
};

namespace {

// The bytes the arrays of `columns` take.
std::uint64_t column_bytes(const ProfileColumns& columns) {
  std::uint64_t bytes =
      columns.tiles.size_bytes() + columns.string_offsets.size_bytes() +
      columns.string_bytes.size_bytes() + columns.list_offsets.size_bytes() +
      columns.list_entries.size_bytes();
  zyl_package::for_each_sample_column([&](const auto& column) {
    bytes += (columns.*column.column).size_bytes();
  });
  return bytes;
}

}  // namespace

Loaded<ProfileSet> ProfileSet::open(std::vector<std::filesystem::path> paths,
                                    OpenOptions options) {
  if (paths.empty()) return set_error({}, "no report given");
  std::vector<std::optional<ShardIdentity>> identities;
  identities.reserve(paths.size());
  for (const std::filesystem::path& path : paths) {
    Loaded<std::optional<ShardIdentity>> read =
        zyl_package::read_shard_identity(path);
    if (!read.ok()) return read.error();
    identities.push_back(options.concatenate ? std::nullopt : read.value());
  }
  // Told apart now, before any is read: a pipe's data is gone once read.
  std::vector<bool> read_once;
  read_once.reserve(paths.size());
  for (const std::filesystem::path& path : paths) {
    std::error_code ignored;
    read_once.push_back(!std::filesystem::is_regular_file(
        std::filesystem::status(path, ignored)));
  }
  if (!options.concatenate) {
    if (Loaded<void> ordered =
            order_shards(paths, identities, options.concatenate_option);
        !ordered.ok()) {
      return ordered.error();
    }
  }
  ProfileSet set;
  set.paths_ = std::move(paths);
  set.identities_ = std::move(identities);
  set.read_once_ = std::move(read_once);
  set.options_ = std::move(options);
  set.last_ = std::make_shared<LastLoaded>();
  set.last_->kept.resize(set.paths_.size());
  return set;
}

Loaded<std::vector<ProfileSet>> open_profiles(
    const std::vector<std::filesystem::path>& paths,
    const OpenOptions& options) {
  std::vector<std::optional<ShardIdentity>> identities;
  for (const std::filesystem::path& path : paths) {
    Loaded<std::optional<ShardIdentity>> read =
        zyl_package::read_shard_identity(path);
    if (!read.ok()) return read.error();
    identities.push_back(read.value());
  }
  const auto same_profile = [](const std::optional<ShardIdentity>& left,
                               const std::optional<ShardIdentity>& right) {
    return left && right && left->profile == right->profile &&
           left->count == right->count;
  };
  std::vector<ProfileSet> sets;
  OpenOptions one = options;
  one.concatenate = false;
  one.concatenate_option.clear();
  for (std::size_t first = 0; first < paths.size();) {
    std::size_t end = first + 1;
    while (end < paths.size() &&
           same_profile(identities[first], identities[end])) {
      ++end;
    }
    Loaded<ProfileSet> set = ProfileSet::open(
        std::vector(paths.begin() + static_cast<std::ptrdiff_t>(first),
                    paths.begin() + static_cast<std::ptrdiff_t>(end)),
        one);
    if (!set.ok()) return set.error();
    sets.push_back(std::move(set.value()));
    first = end;
  }
  return sets;
}

ProfileSet ProfileSet::of(ProfileColumns columns, std::string name) {
  ProfileSet set;
  set.paths_.emplace_back(std::move(name));
  set.identities_.emplace_back();
  set.resident_ = std::make_shared<const ProfileColumns>(std::move(columns));
  return set;
}

ColumnsResult ProfileSet::load(std::size_t position) const {
  if (resident_) return *resident_;
  // Held while loading, so two threads asking for one shard load it once.
  const std::lock_guard lock(last_->mutex);
  if (last_->kept[position]) return *last_->kept[position];
  if (last_->columns && last_->position == position) return *last_->columns;
  last_->columns.reset();  // the one before goes first: one shard at a time
  const std::filesystem::path& path = paths_[position];
  // The files kept take their share of the memory allowed; 1 byte, not 0,
  // when they took it all, since 0 would mean the machine's.
  ReadLimits limits = options_.limits;
  if (limits.max_memory_bytes != 0) {
    limits.max_memory_bytes = std::max<std::uint64_t>(
        1, limits.max_memory_bytes -
               std::min(limits.max_memory_bytes, last_->kept_bytes));
  }
  ReadProgress progress;
  std::shared_ptr<void> watching;
  if (options_.watch) watching = options_.watch(path, progress);
  ColumnsResult loaded = zyl_package::read_columns(path, limits, &progress);
  watching.reset();
  if (!loaded.ok()) return loaded;
  const std::optional<ShardIdentity>& expected = identities_[position];
  if (expected && loaded.value().shard != expected) {
    return set_error(path,
                     "the file changed since the set was opened: it is "
                     "no longer the shard it was");
  }
  if (read_once_[position] || options_.keep_loaded) {
    last_->kept_bytes += column_bytes(loaded.value());
    last_->kept[position] = loaded.value();
  } else {
    last_->position = position;
    last_->columns = loaded.value();
  }
  return loaded;
}

namespace {

// Loads the shards one after another (the last one loaded is reused) and
// calls visit(position, columns) for each; stops at the first that cannot
// be read. Adds the loading time to `costs`.
template <typename Visit>
Loaded<void> each_shard(const ProfileSet& profile, AnswerCosts& costs,
                        Visit&& visit) {
  for (std::size_t position = 0; position < profile.size(); ++position) {
    const Clock::time_point start = Clock::now();
    ColumnsResult loaded = profile.load(position);
    costs.load_ms += elapsed_ms(start);
    if (!loaded.ok()) return loaded.error();
    if (Loaded<void> visited = visit(position, loaded.value()); !visited.ok()) {
      return visited;
    }
  }
  return {};
}

// Returns `q` with its shares of the span in cycles of the whole profile's
// span, which costs a pass over every shard only when there is a share.
Loaded<Query> resolved_for(const ProfileSet& profile, const Query& q) {
  if (!needs_span(q)) return q;
  Loaded<std::uint64_t> span = profile_span(profile);
  if (!span.ok()) return span.error();
  return resolve_bounds(q, span.value());
}

// Gathers the notes' facts of every shard into `facts`, which holds the
// first pass's facts of an answer that turned out empty: which filter
// matched nothing reads the sample columns, a second pass taken only then.
Loaded<void> gather_empty_facts(const ProfileSet& profile, const Query& q,
                                AnswerCosts& costs,
                                std::optional<NoteFacts>& facts) {
  facts.reset();
  return each_shard(
      profile, costs,
      [&](std::size_t, const ProfileColumns& columns) -> Loaded<void> {
        NoteFacts shard_facts = gather_note_facts(columns, q, true);
        if (!facts) {
          facts = std::move(shard_facts);
        } else {
          merge_note_facts(*facts, std::move(shard_facts));
        }
        return {};
      });
}

}  // namespace

Loaded<std::uint64_t> profile_span(const ProfileSet& profile) {
  std::uint64_t span = 0;
  AnswerCosts costs;
  Loaded<void> walked = each_shard(
      profile, costs,
      [&](std::size_t, const ProfileColumns& columns) -> Loaded<void> {
        span = std::max(span, profile_span(columns));
        return {};
      });
  if (!walked.ok()) return walked.error();
  return span;
}

namespace {

// The answer, with its notes when `with_notes`.
Loaded<QueryAnswer> answer_query(const ProfileSet& profile, const Query& q,
                                 ParallelOptions parallel, bool with_notes) {
  QueryAnswer answer;
  AnswerCosts& costs = answer.costs;
  const Clock::time_point span_start = Clock::now();
  Loaded<Query> resolved = resolved_for(profile, q);
  costs.load_ms += elapsed_ms(span_start);
  if (!resolved.ok()) return resolved.error();
  const Query& asked = resolved.value();

  if (profile.size() == 1) {
    const Clock::time_point start = Clock::now();
    ColumnsResult loaded = profile.load(0);
    costs.load_ms += elapsed_ms(start);
    if (!loaded.ok()) return loaded.error();
    const ProfileColumns& columns = loaded.value();
    const Clock::time_point query_start = Clock::now();
    answer.report = zyl_profile::query(columns, asked, parallel);
    costs.query_ms = elapsed_ms(query_start);
    costs.threads = query_threads(columns, parallel);
    if (with_notes) answer.notes = explain_query(columns, asked, answer.report);
    return answer;
  }

  // Shards: each leaves its partial and the notes' facts; nothing else of
  // a shard outlives its turn.
  std::optional<PartialResult> merged;
  std::optional<NoteFacts> facts;
  const auto on_shard = [&](std::size_t position,
                            const ProfileColumns& columns) -> Loaded<void> {
    const Clock::time_point start = Clock::now();
    PartialResult partial = query_partial(columns, asked, position, parallel);
    NoteFacts shard_facts =
        with_notes ? gather_note_facts(columns, asked, false) : NoteFacts{};
    costs.threads = std::max(costs.threads, query_threads(columns, parallel));
    Loaded<void> merged_in;
    if (!merged) {
      merged = std::move(partial);
      facts = std::move(shard_facts);
    } else if (auto merge = merge_partial(*merged, std::move(partial));
               !merge.ok()) {
      // The message says what disagrees; the path says which shard.
      merged_in = set_error(profile.paths()[position], merge.error().message);
    } else {
      merge_note_facts(*facts, std::move(shard_facts));
    }
    costs.query_ms += elapsed_ms(start);
    return merged_in;
  };
  if (Loaded<void> walked = each_shard(profile, costs, on_shard);
      !walked.ok()) {
    return walked.error();
  }
  answer.report = finish_partial(std::move(*merged));
  if (!with_notes) return answer;
  if (answer.report.matched_sample_count == 0) {
    if (Loaded<void> gathered =
            gather_empty_facts(profile, asked, costs, facts);
        !gathered.ok()) {
      return gathered.error();
    }
  }
  answer.notes = explain_query(*facts, asked, answer.report);
  return answer;
}

}  // namespace

Loaded<QueryAnswer> query(const ProfileSet& profile, const Query& q,
                          ParallelOptions parallel) {
  return answer_query(profile, q, parallel, true);
}

Loaded<DiffAnswer> diff(const ProfileSet& base, const ProfileSet& next,
                        const Query& q, const DiffOptions& options,
                        ParallelOptions parallel) {
  const Query whole = comparison_query(q);
  Loaded<QueryAnswer> before = answer_query(base, whole, parallel, false);
  if (!before.ok()) return before.error();
  Loaded<QueryAnswer> after = answer_query(next, whole, parallel, false);
  if (!after.ok()) return after.error();
  DiffAnswer answer;
  answer.report =
      diff_results(before.value().report, after.value().report, options);
  const AnswerCosts& first = before.value().costs;
  const AnswerCosts& second = after.value().costs;
  answer.costs.load_ms = first.load_ms + second.load_ms;
  answer.costs.query_ms = first.query_ms + second.query_ms;
  answer.costs.threads = std::max(first.threads, second.threads);
  return answer;
}

Loaded<Walked> walk_matches(const ProfileSet& profile, const Query& q,
                            const std::function<void(const SetMatch&)>& visit) {
  AnswerCosts costs;
  Walked walked;
  Loaded<Query> resolved = resolved_for(profile, q);
  if (!resolved.ok()) return resolved.error();
  walked.query = std::move(resolved.value());
  const Query& asked = walked.query;
  // The notes look at the span only for a point, a window's start or an
  // empty answer; it costs a pass, so it is measured only then.
  const bool span_wanted = asked.at_offset || asked.from_offset;
  std::size_t tiles_before = 0;
  std::optional<NoteFacts> facts;
  Loaded<void> each = each_shard(
      profile, costs,
      [&](std::size_t position, const ProfileColumns& columns) -> Loaded<void> {
        if (position == 0) {
          walked.clock_hz = columns.clock_hz;
        } else if (columns.clock_hz != walked.clock_hz) {
          return set_error(profile.paths()[position],
                           "the shards disagree on the clock: " +
                               std::to_string(walked.clock_hz) + " Hz and " +
                               std::to_string(columns.clock_hz) + " Hz");
        }
        const std::uint64_t matched_before = walked.matched_sample_count;
        for_each_match(
            columns, asked,
            [&](std::size_t tile, std::size_t sample, std::uint64_t offset,
                std::uint32_t duration) {
              ++walked.matched_sample_count;
              visit(SetMatch{columns, columns.tiles[tile].physical_tile,
                             tiles_before + tile, sample, offset, duration});
            });
        tiles_before += columns.tiles.size();
        walked.tile_count = tiles_before;
        walked.sample_count += columns.sample_count();
        if (span_wanted || walked.matched_sample_count == matched_before) {
          walked.profile_span_cycles =
              std::max(walked.profile_span_cycles, profile_span(columns));
        }
        NoteFacts shard_facts = gather_note_facts(columns, asked, false);
        if (!facts) {
          facts = std::move(shard_facts);
        } else {
          merge_note_facts(*facts, std::move(shard_facts));
        }
        return {};
      });
  if (!each.ok()) return each.error();
  if (walked.matched_sample_count == 0) {
    if (Loaded<void> gathered =
            gather_empty_facts(profile, asked, costs, facts);
        !gathered.ok()) {
      return gathered.error();
    }
  }
  QueryReport summary;
  summary.matched_sample_count = walked.matched_sample_count;
  summary.sample_count = walked.sample_count;
  summary.profile_span_cycles = walked.profile_span_cycles;
  walked.notes = explain_query(*facts, asked, summary);
  return walked;
}

}  // namespace zyl_profile
