// Notes on a query's answer: the checks that find which part of a question
// matched nothing or had no effect, and the wording that says so.
#include "zyl_profile/notes.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "matching.h"
#include "zyl_package/quote.h"
#include "zyl_profile/scan.h"

namespace zyl_profile {
namespace {

using zyl_package::MetadataPair;

// The most ranges a list of tiles or phases shows before "...".
constexpr std::size_t kMaxRanges = 20;
// Bounds on the search for a near name: names compared by edit distance,
// and the longest name compared (the distance costs its length times 5).
constexpr std::size_t kMaxNearCandidates = std::size_t{1} << 17;
constexpr std::size_t kMaxNearLength = 256;
// Bytes of operation names searched ignoring case before giving up.
constexpr std::size_t kMaxFoldedSearchBytes = std::size_t{1} << 26;

// Names come from files and command lines and can be megabytes long.
std::string quoted(std::string_view text) {
  return zyl_package::quoted_text(text, '\'');
}

// Returns "0-6, 8, 10-1471" for sorted distinct numbers, at most kMaxRanges
// ranges and then "...".
std::string ranges_text(std::span<const std::uint32_t> numbers) {
  std::string text;
  std::size_t ranges = 0;
  for (std::size_t i = 0; i < numbers.size();) {
    std::size_t last = i;
    while (last + 1 < numbers.size() &&
           numbers[last + 1] == numbers[last] + 1) {
      ++last;
    }
    if (!text.empty()) text += ", ";
    if (ranges == kMaxRanges) return text + "...";
    text += std::to_string(numbers[i]);
    if (last > i) {
      text += '-';
      text += std::to_string(numbers[last]);
    }
    ++ranges;
    i = last + 1;
  }
  return text;
}

char fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_folded(std::string_view left, std::string_view right) {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(),
                    [](char a, char b) { return fold(a) == fold(b); });
}

// Returns the edit distance between `left` and `right` ignoring ASCII case
// when it is at most `limit`, else limit + 1. Only the band of cells within
// `limit` of the diagonal is computed.
std::size_t edit_distance_within(std::string_view left, std::string_view right,
                                 std::size_t limit) {
  const std::size_t n = left.size();
  const std::size_t m = right.size();
  const std::size_t over = limit + 1;
  if ((n > m ? n - m : m - n) > limit) return over;
  std::vector<std::size_t> previous(m + 1, over);
  std::vector<std::size_t> current(m + 1, over);
  for (std::size_t j = 0; j <= std::min(m, limit); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    const std::size_t from = i > limit ? i - limit : 1;
    const std::size_t to = std::min(m, i + limit);
    // Only the cells beside the band are read outside it; reset just
    // those, so a row costs the band's width, not the name's length.
    current[from - 1] = i <= limit ? i : over;
    if (to < m) current[to + 1] = over;
    std::size_t best = current[from - 1];
    for (std::size_t j = from; j <= to; ++j) {
      const std::size_t substitute =
          previous[j - 1] + (fold(left[i - 1]) == fold(right[j - 1]) ? 0 : 1);
      current[j] =
          std::min({substitute, previous[j] + 1, current[j - 1] + 1, over});
      best = std::min(best, current[j]);
    }
    if (best >= over) return over;
    std::swap(previous, current);
  }
  return std::min(previous[m], over);
}

// Finds the name a user probably meant: one equal ignoring ASCII case, else
// the first closest within a couple of edits. Candidates are offered one at
// a time; the work is bounded whatever the dictionary holds.
class NearName {
 public:
  explicit NearName(std::string_view wanted)
      : wanted_(wanted),
        // One edit in a very short name is another name, not a typo.
        limit_(wanted.size() <= 2   ? 0
               : wanted.size() <= 5 ? 1
                                    : 2) {}

  void offer(std::string_view candidate) {
    if (best_edits_ == 0 || candidate == wanted_ || candidate.empty()) return;
    if (equal_folded(candidate, wanted_)) {
      best_ = candidate;
      best_edits_ = 0;
      return;
    }
    if (limit_ == 0 || compared_ == kMaxNearCandidates ||
        candidate.size() > kMaxNearLength || wanted_.size() > kMaxNearLength) {
      return;
    }
    ++compared_;
    const std::size_t edits = edit_distance_within(
        wanted_, candidate, std::min(limit_, best_edits_ - 1));
    if (edits < best_edits_ && edits <= limit_) {
      best_ = candidate;
      best_edits_ = edits;
    }
  }

  // "; did you mean 'x'?" or nothing.
  [[nodiscard]] std::string hint() const {
    if (!best_) return {};
    return "; did you mean " + quoted(*best_) + "?";
  }

 private:
  std::string_view wanted_;
  std::size_t limit_;
  std::optional<std::string_view> best_;
  std::size_t best_edits_ = kMaxNearLength + 1;
  std::size_t compared_ = 0;
};

// Returns where `pattern` starts in `text` ignoring ASCII case.
std::optional<std::size_t> find_folded(std::string_view text,
                                       std::string_view pattern) {
  const auto at =
      std::search(text.begin(), text.end(), pattern.begin(), pattern.end(),
                  [](char a, char b) { return fold(a) == fold(b); });
  if (at == text.end()) return std::nullopt;
  return static_cast<std::size_t>(at - text.begin());
}

bool has_window(const Query& query) {
  return query.at_offset || query.from_offset || query.to_offset;
}

// True when some sample, tiles and other filters aside, passes the point
// and window tests. Stops at the first.
bool window_matches_alone(const ProfileColumns& columns, const Query& query) {
  const TimeTest time(query);
  for (const zyl_package::ColumnTile& tile : columns.tiles) {
    if (tile.sample_count == 0) continue;
    const std::size_t first = tile.first_sample;
    const std::uint32_t base = columns.start_cycle[first];
    for (std::size_t i = first; i < first + tile.sample_count; ++i) {
      // As the scan does: subtract in u32 so counter wraps count on.
      const std::uint64_t offset =
          static_cast<std::uint32_t>(columns.start_cycle[i] - base);
      const std::uint32_t length =
          columns.end_cycle[i] - columns.start_cycle[i];
      if (time.passes(offset, length)) return true;
    }
  }
  return false;
}

// The notes in the making, and whether some filter alone matches nothing
// (so that "none matches all of them" would be wrong).
struct Notes {
  std::vector<std::string> lines;
  bool filter_alone_empty = false;

  void add(std::string line) { lines.push_back(std::move(line)); }
  void add_empty_filter(std::string line) {
    filter_alone_empty = true;
    lines.push_back(std::move(line));
  }
};

// Distinct texts in ascending byte order.
using Names = std::vector<std::string>;

void sort_unique(Names& names) {
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
}

void merge_names(Names& into, Names&& other) {
  Names merged;
  merged.reserve(into.size() + other.size());
  std::set_union(std::make_move_iterator(into.begin()),
                 std::make_move_iterator(into.end()),
                 std::make_move_iterator(other.begin()),
                 std::make_move_iterator(other.end()),
                 std::back_inserter(merged));
  into = std::move(merged);
}

template <typename T>
void merge_numbers(std::vector<T>& into, const std::vector<T>& other) {
  std::vector<T> merged;
  merged.reserve(into.size() + other.size());
  std::set_union(into.begin(), into.end(), other.begin(), other.end(),
                 std::back_inserter(merged));
  into = std::move(merged);
}

// The texts of the string ids some sample uses in `column`, as Names.
Names used_names(const ProfileColumns& columns,
                 std::span<const std::uint32_t> column) {
  std::vector<std::uint8_t> used(columns.string_count());
  for (const std::uint32_t id : column) used[id] = 1;
  Names names;
  for (std::uint32_t id = 0; id < used.size(); ++id) {
    if (used[id] != 0) names.emplace_back(columns.string(id));
  }
  sort_unique(names);
  return names;
}

Names entry_names(const ProfileColumns& columns) {
  std::vector<std::uint8_t> is_name(columns.string_count());
  for (const MetadataPair& entry : columns.list_entries) {
    is_name[entry.name] = 1;
  }
  Names names;
  for (std::uint32_t id = 0; id < is_name.size(); ++id) {
    if (is_name[id] != 0) names.emplace_back(columns.string(id));
  }
  sort_unique(names);
  return names;
}

// The hint for `wanted` among `names`: "; did you mean 'x'?" or nothing.
std::string near_hint(std::string_view wanted, const Names& names) {
  NearName near(wanted);
  for (const std::string& name : names) near.offer(name);
  return near.hint();
}

bool key_is_named(const ProfileColumns& columns, std::string_view key) {
  return std::any_of(columns.list_entries.begin(), columns.list_entries.end(),
                     [&](const MetadataPair& entry) {
                       return columns.string(entry.name) == key;
                     });
}

// The facts of an empty answer: which phases, kinds, kernels, operations
// and metadata the profile has, read from the sample columns and
// dictionaries.
void gather_empty_facts(const ProfileColumns& columns, const Query& query,
                        NoteFacts& facts) {
  facts.empty_answer = true;
  if (has_window(query))
    facts.window_alone = window_matches_alone(columns, query);
  if (!query.phases.empty()) {
    std::set<std::uint32_t> present;
    std::set<std::uint32_t> seen;
    std::optional<std::uint32_t> previous;
    for (const std::uint32_t phase : columns.phase) {
      // Phases come in runs; each run costs one lookup.
      if (previous == phase) continue;
      previous = phase;
      if (query.phases.contains(phase)) seen.insert(phase);
      if (present.size() <= kMaxListedPhases) present.insert(phase);
    }
    facts.phases_seen.assign(seen.begin(), seen.end());
    facts.phases.assign(present.begin(), present.end());
  }
  if (query.kind) {
    for (const std::uint8_t value : columns.kind) {
      // Out-of-range kinds read as exchange, as the matcher reads them.
      ++facts.kinds[value < facts.kinds.size() ? value : 0];
    }
  }
  if (query.kernel) {
    facts.kernels = used_names(columns, columns.kernel);
    facts.kernel_found = std::binary_search(facts.kernels.begin(),
                                            facts.kernels.end(), *query.kernel);
    if (facts.kernel_found) facts.kernels.clear();
  }
  if (query.operation_contains && !query.operation_contains->empty()) {
    const std::string_view pattern = *query.operation_contains;
    std::size_t searched = 0;
    for (const std::string& name : used_names(columns, columns.operation)) {
      if (name.find(pattern) != std::string_view::npos) {
        facts.operation_found = true;
        facts.folded_operation.reset();
        break;
      }
      if (facts.folded_operation || searched > kMaxFoldedSearchBytes) continue;
      searched += name.size();
      if (const auto at = find_folded(name, pattern)) {
        facts.folded_operation = name.substr(*at, pattern.size());
      }
    }
  }
  if (!query.metadata.empty()) {
    facts.conditions.resize(query.metadata.size());
    for (const MetadataPair& entry : columns.list_entries) {
      const std::string_view name = columns.string(entry.name);
      for (std::size_t i = 0; i < query.metadata.size(); ++i) {
        const MetadataFilter& filter = query.metadata[i];
        if (name != filter.name) continue;
        NoteFacts::Condition& condition = facts.conditions[i];
        condition.name_found = true;
        const std::string_view value = columns.string(entry.value);
        if (!filter.value || value == *filter.value) {
          condition.pair_found = true;
        } else {
          condition.values.emplace_back(value);
        }
      }
    }
    for (NoteFacts::Condition& condition : facts.conditions) {
      if (condition.pair_found) {
        condition.values.clear();
      } else {
        sort_unique(condition.values);
      }
    }
    if (facts.entry_names.empty()) facts.entry_names = entry_names(columns);
  }
}

// Notes on the grouping: a metadata key nothing reads, or grouping by
// metadata with no key or with a key no sample has.
void note_grouping(const NoteFacts& facts, const Query& query, Notes& notes) {
  if (query.group_by != GroupBy::Metadata) {
    if (query.metadata_key) {
      notes.add("metadata key " + quoted(*query.metadata_key) +
                " has no effect unless grouping by metadata");
    }
    return;
  }
  const std::string_view key =
      query.metadata_key ? std::string_view(*query.metadata_key) : "";
  if (key.empty()) {
    notes.add(facts.key_found
                  ? "grouping by metadata without a metadata key groups by "
                    "the entries with an empty name"
                  : "grouping by metadata without a metadata key puts "
                    "every sample in the '(missing)' group");
    return;
  }
  if (facts.key_found || facts.sample_count == 0) return;
  notes.add("no sample has metadata " + quoted(key) +
            ", so every sample is in the '(missing)' group" +
            near_hint(key, facts.entry_names));
}

// Notes on the window that need no scan: a window that ends before it
// starts, and a point or start past every timeline. Returns true when one
// of them already explains that the window matches nothing.
bool note_window_bounds(const Query& query, const QueryReport& report,
                        Notes& notes) {
  const std::uint64_t span = report.profile_span_cycles;
  const std::string past = " is past the end of every tile's timeline (span " +
                           std::to_string(span) + " cycles)";
  bool explained = false;
  if (query.from_offset && query.to_offset &&
      query.from_offset->cycles() >= query.to_offset->cycles()) {
    const std::string from = std::to_string(query.from_offset->cycles());
    const std::string to = std::to_string(query.to_offset->cycles());
    notes.add("from offset " + from + " is not before to offset " + to +
              ": only samples that start before " + to + " and still run at " +
              from + " match");
  }
  if (query.at_offset && query.at_offset->cycles() >= span) {
    notes.add_empty_filter("at offset " +
                           std::to_string(query.at_offset->cycles()) + past);
    explained = true;
  }
  // A sample of no length at the very end still runs at the span itself.
  if (query.from_offset && (query.from_offset->cycles() > span ||
                            (query.from_offset->cycles() == span &&
                             report.matched_sample_count == 0))) {
    notes.add_empty_filter("from offset " +
                           std::to_string(query.from_offset->cycles()) + past);
    explained = true;
  }
  return explained;
}

// A window that, alone, matches nothing although it lies inside the
// timelines: it falls in gaps, or ends before the first sample.
void note_window_scan(const NoteFacts& facts, const Query& query,
                      Notes& notes) {
  if (facts.window_alone) return;
  std::vector<std::string> parts;
  if (query.at_offset) {
    parts.push_back("runs at offset " +
                    std::to_string(query.at_offset->cycles()));
  }
  if (query.from_offset) {
    parts.push_back("runs at or after from offset " +
                    std::to_string(query.from_offset->cycles()));
  }
  if (query.to_offset) {
    parts.push_back("starts before to offset " +
                    std::to_string(query.to_offset->cycles()));
  }
  std::string text = "no sample";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    text += (i == 0 ? " " : " and ") + parts[i];
  }
  notes.add_empty_filter(std::move(text));
}

// Adds "X has no samples" for the wanted numbers missing from `present`;
// a note that every wanted one is missing explains an empty answer.
void note_absent(std::string_view singular, std::string_view plural,
                 const std::set<std::uint32_t>& wanted,
                 const std::vector<std::uint32_t>& present,
                 std::optional<std::vector<std::uint32_t>> listed,
                 Notes& notes) {
  std::vector<std::uint32_t> absent;
  for (const std::uint32_t number : wanted) {
    if (!std::binary_search(present.begin(), present.end(), number)) {
      absent.push_back(number);
    }
  }
  if (absent.empty()) return;
  std::string text =
      absent.size() == 1
          ? std::string(singular) + " " + std::to_string(absent[0]) + " has"
          : std::string(plural) + " " + ranges_text(absent) + " have";
  text += " no samples";
  if (listed) {
    text +=
        "; " + std::string(plural) + " with samples: " + ranges_text(*listed);
  }
  if (absent.size() == wanted.size()) {
    notes.add_empty_filter(std::move(text));
  } else {
    notes.add(std::move(text));
  }
}

void note_kind(const NoteFacts& facts, StepKind kind, Notes& notes) {
  if (facts.kinds[static_cast<std::size_t>(kind)] != 0) return;
  std::string present;
  for (std::size_t i = 0; i < facts.kinds.size(); ++i) {
    if (facts.kinds[i] == 0) continue;
    if (!present.empty()) present += ", ";
    present += kind_name(static_cast<StepKind>(i));
  }
  notes.add_empty_filter("no sample has kind " + quoted(kind_name(kind)) +
                         "; kinds with samples: " + present);
}

void note_kernel(const NoteFacts& facts, std::string_view kernel,
                 Notes& notes) {
  if (facts.kernel_found) return;
  if (kernel.empty()) {
    notes.add_empty_filter(
        "every sample has a kernel, so kernel '' (no kernel) matches none");
    return;
  }
  notes.add_empty_filter("no sample has kernel " + quoted(kernel) +
                         near_hint(kernel, facts.kernels));
}

void note_operation(const NoteFacts& facts, std::string_view pattern,
                    Notes& notes) {
  if (facts.operation_found) return;
  std::string text = "no operation contains " + quoted(pattern);
  if (facts.folded_operation) {
    text += "; did you mean " + quoted(*facts.folded_operation) + "?";
  }
  notes.add_empty_filter(std::move(text));
}

void note_metadata(const NoteFacts& facts, const Query& query, Notes& notes) {
  for (std::size_t i = 0; i < query.metadata.size(); ++i) {
    const MetadataFilter& filter = query.metadata[i];
    const NoteFacts::Condition condition = i < facts.conditions.size()
                                               ? facts.conditions[i]
                                               : NoteFacts::Condition{};
    if (condition.pair_found) continue;
    if (!condition.name_found) {
      notes.add_empty_filter("no sample has metadata " + quoted(filter.name) +
                             near_hint(filter.name, facts.entry_names));
      continue;
    }
    // The name is there: the hint looks among that name's values.
    notes.add_empty_filter("no sample has metadata " + quoted(filter.name) +
                           " with value " + quoted(*filter.value) +
                           near_hint(*filter.value, condition.values));
  }
}

// How many filters the query sets: tiles, phases, kind, kernel, operation,
// the window, and each metadata condition.
std::size_t filter_count(const Query& query) {
  const bool operation =
      query.operation_contains && !query.operation_contains->empty();
  return static_cast<std::size_t>(!query.tiles.empty()) +
         static_cast<std::size_t>(!query.phases.empty()) +
         static_cast<std::size_t>(query.kind.has_value()) +
         static_cast<std::size_t>(query.kernel.has_value()) +
         static_cast<std::size_t>(operation) +
         static_cast<std::size_t>(has_window(query)) + query.metadata.size();
}

}  // namespace

NoteFacts gather_note_facts(const ProfileColumns& columns, const Query& query,
                            bool empty_answer) {
  NoteFacts facts;
  facts.sample_count = columns.sample_count();
  if (query.group_by == GroupBy::Metadata) {
    facts.key_found = key_is_named(
        columns, query.metadata_key ? std::string_view(*query.metadata_key)
                                    : std::string_view());
    if (!facts.key_found && query.metadata_key &&
        !query.metadata_key->empty()) {
      facts.entry_names = entry_names(columns);
    }
  }
  if (!query.tiles.empty()) {
    facts.tiles.reserve(columns.tiles.size());
    for (const zyl_package::ColumnTile& tile : columns.tiles) {
      if (tile.sample_count != 0) facts.tiles.push_back(tile.physical_tile);
    }
    std::sort(facts.tiles.begin(), facts.tiles.end());
    facts.tiles.erase(std::unique(facts.tiles.begin(), facts.tiles.end()),
                      facts.tiles.end());
  }
  if (empty_answer && columns.sample_count() != 0) {
    gather_empty_facts(columns, query, facts);
  }
  facts.empty_answer = empty_answer;
  return facts;
}

void merge_note_facts(NoteFacts& into, NoteFacts&& other) {
  into.sample_count += other.sample_count;
  into.key_found = into.key_found || other.key_found;
  merge_names(into.entry_names, std::move(other.entry_names));
  merge_numbers(into.tiles, other.tiles);
  into.empty_answer = into.empty_answer && other.empty_answer;
  into.window_alone = into.window_alone || other.window_alone;
  merge_numbers(into.phases_seen, other.phases_seen);
  merge_numbers(into.phases, other.phases);
  if (into.phases.size() > kMaxListedPhases + 1) {
    into.phases.resize(kMaxListedPhases + 1);
  }
  for (std::size_t i = 0; i < into.kinds.size(); ++i) {
    into.kinds[i] += other.kinds[i];
  }
  into.kernel_found = into.kernel_found || other.kernel_found;
  merge_names(into.kernels, std::move(other.kernels));
  if (into.kernel_found) into.kernels.clear();
  into.operation_found = into.operation_found || other.operation_found;
  if (other.folded_operation &&
      (!into.folded_operation ||
       *other.folded_operation < *into.folded_operation)) {
    into.folded_operation = std::move(other.folded_operation);
  }
  if (into.operation_found) into.folded_operation.reset();
  if (into.conditions.size() < other.conditions.size()) {
    into.conditions.resize(other.conditions.size());
  }
  for (std::size_t i = 0; i < other.conditions.size(); ++i) {
    NoteFacts::Condition& condition = into.conditions[i];
    condition.name_found =
        condition.name_found || other.conditions[i].name_found;
    condition.pair_found =
        condition.pair_found || other.conditions[i].pair_found;
    merge_names(condition.values, std::move(other.conditions[i].values));
    if (condition.pair_found) condition.values.clear();
  }
}

std::vector<std::string> explain_query(const NoteFacts& facts,
                                       const Query& asked,
                                       const QueryReport& report) {
  // The notes speak of the bounds the answer used: shares of its span.
  const Query query = resolve_bounds(asked, report.profile_span_cycles);
  Notes notes;
  note_grouping(facts, query, notes);
  if (facts.sample_count == 0) {
    notes.add("the profile has no samples");
    return std::move(notes.lines);
  }
  const bool nothing = report.matched_sample_count == 0;
  if (has_window(query)) {
    const bool explained = note_window_bounds(query, report, notes);
    if (nothing && !explained && facts.empty_answer) {
      note_window_scan(facts, query, notes);
    }
  }
  if (!query.tiles.empty()) {
    note_absent("tile", "tiles", query.tiles, facts.tiles, facts.tiles, notes);
  }
  // The checks below read sample columns; when something matched, every
  // filter they test matched it.
  if (!nothing || !facts.empty_answer) return std::move(notes.lines);
  if (!query.phases.empty()) {
    std::optional<std::vector<std::uint32_t>> listed;
    if (facts.phases.size() <= kMaxListedPhases) listed = facts.phases;
    note_absent("phase", "phases", query.phases, facts.phases_seen, listed,
                notes);
  }
  if (query.kind) note_kind(facts, *query.kind, notes);
  if (query.kernel) note_kernel(facts, *query.kernel, notes);
  if (query.operation_contains && !query.operation_contains->empty()) {
    note_operation(facts, *query.operation_contains, notes);
  }
  if (!query.metadata.empty()) note_metadata(facts, query, notes);
  if (!notes.filter_alone_empty && filter_count(query) >= 2) {
    notes.add("each filter matches samples, but none matches all of them");
  }
  return std::move(notes.lines);
}

std::vector<std::string> explain_query(const ProfileColumns& columns,
                                       const Query& asked,
                                       const QueryReport& report) {
  const Query query = resolve_bounds(asked, report.profile_span_cycles);
  return explain_query(
      gather_note_facts(columns, query, report.matched_sample_count == 0),
      query, report);
}

}  // namespace zyl_profile
