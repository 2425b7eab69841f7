// zyl_profile_check: the helper the end-to-end cases run beside the tool.
//   trace TRACE [--events N] [--min-lanes N] [--export JSONL]
//       reads a trace back and checks it (trace_check.h); with --export, the
//       events must be exactly the exported samples, in order
//   slow-kernel IN OUT KERNEL FACTOR
//       writes IN with every sample of KERNEL FACTOR times as long
//   shards WHOLE SHARD...
//       the shards' tiles, concatenated in the order given, must be exactly
//       WHOLE's (clock included)
//   page PAGE [--max-bytes N] [--maps N] [--groups N] [--diff-rows N]
//            [--phase-rows N] [--phase-row-count N]
//       reads a report page back (page_check.h) and prints its maps, groups,
//       comparison rows and phase rows (listed of all); the options are what
//       it must hold
//   absent FILE
//       FILE must not exist (a failed command leaves no page behind)
// Exits 0 when all is well, 1 with a message on stderr otherwise.
#include <charconv>  // std::from_chars
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "page_check.h"
#include "trace_check.h"
#include "zyl_package/report_io.h"
#include "zyl_profile/query.h"

namespace {

using zyl_profile::cli::ParsedTrace;

int fail(const std::string& message) {
  std::fprintf(stderr, "zyl_profile_check: %s\n", message.c_str());
  return 1;
}

bool read_file(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), {});
  return !in.bad();
}

bool parse_count(const std::string& text, std::uint64_t& out) {
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

int check_trace_file(const std::vector<std::string>& args) {
  std::string text;
  if (!read_file(args[0], text)) return fail("cannot read " + args[0]);
  auto parsed = zyl_profile::cli::parse_trace(text);
  if (const auto* error = std::get_if<std::string>(&parsed)) {
    return fail(args[0] + ": " + *error);
  }
  const ParsedTrace& trace = std::get<ParsedTrace>(parsed);
  if (const auto error = zyl_profile::cli::check_trace(trace)) {
    return fail(args[0] + ": " + *error);
  }
  std::uint64_t events = 0;
  for (const auto& event : trace.events) events += event.ph == "X" ? 1 : 0;
  for (std::size_t i = 1; i + 1 < args.size(); i += 2) {
    std::uint64_t number = 0;
    if (args[i] == "--events" && parse_count(args[i + 1], number)) {
      if (events != number) {
        return fail(std::to_string(events) + " events, expected " +
                    args[i + 1]);
      }
    } else if (args[i] == "--min-lanes" && parse_count(args[i + 1], number)) {
      if (zyl_profile::cli::max_lanes(trace) < number) {
        return fail("at most " +
                    std::to_string(zyl_profile::cli::max_lanes(trace)) +
                    " lanes, expected " + args[i + 1]);
      }
    } else if (args[i] == "--export") {
      std::string jsonl;
      if (!read_file(args[i + 1], jsonl)) {
        return fail("cannot read " + args[i + 1]);
      }
      if (const auto error =
              zyl_profile::cli::compare_with_export(trace, jsonl)) {
        return fail(*error);
      }
    } else {
      return fail("unknown option " + args[i]);
    }
  }
  std::printf("%llu events, %u lanes at most\n",
              static_cast<unsigned long long>(events),
              zyl_profile::cli::max_lanes(trace));
  return 0;
}

int slow_kernel(const std::vector<std::string>& args) {
  std::uint64_t factor = 0;
  if (args.size() != 4 || !parse_count(args[3], factor)) {
    return fail("usage: slow-kernel IN OUT KERNEL FACTOR");
  }
  const zyl_package::LoadResult loaded = zyl_package::read_report(args[0]);
  if (!loaded.ok()) return fail(loaded.error().to_string());
  zyl_profile::ProfileReport report = loaded.value();
  for (zyl_profile::TileProfile& tile : report.tiles) {
    for (zyl_profile::CycleSample& sample : tile.samples) {
      if (sample.step.kernel == args[2]) {
        sample.end_cycle = static_cast<std::uint32_t>(
            sample.start_cycle + zyl_profile::duration(sample) * factor);
      }
    }
  }
  if (const zyl_package::Written written = zyl_package::write_report(
          report, args[1], zyl_package::report_format_for(args[1]));
      !written.ok()) {
    return fail(written.error().to_string());
  }
  return 0;
}

int check_shards(const std::vector<std::string>& args) {
  const zyl_package::LoadResult whole = zyl_package::read_report(args[0]);
  if (!whole.ok()) return fail(whole.error().to_string());
  zyl_profile::ProfileReport joined;
  joined.clock_hz = whole.value().clock_hz;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const zyl_package::LoadResult shard = zyl_package::read_report(args[i]);
    if (!shard.ok()) return fail(shard.error().to_string());
    if (shard.value().clock_hz != joined.clock_hz) {
      return fail(args[i] + ": another clock_hz than " + args[0]);
    }
    if (shard.value().tiles.empty()) return fail(args[i] + ": no tiles");
    for (const zyl_profile::TileProfile& tile : shard.value().tiles) {
      joined.tiles.push_back(tile);
    }
  }
  if (!(joined == whole.value())) {
    return fail("the shards' tiles are not " + args[0] + "'s");
  }
  std::printf("%zu shards hold the %zu tiles\n", args.size() - 1,
              joined.tiles.size());
  return 0;
}

int check_page_file(const std::vector<std::string>& args) {
  std::string html;
  if (!read_file(args[0], html)) return fail("cannot read " + args[0]);
  auto checked = zyl_profile::cli::check_page(html);
  if (const auto* error = std::get_if<std::string>(&checked)) {
    return fail(args[0] + ": " + *error);
  }
  const auto& page = std::get<zyl_profile::cli::PageSummary>(checked);
  for (std::size_t i = 1; i + 1 < args.size(); i += 2) {
    std::uint64_t number = 0;
    if (!parse_count(args[i + 1], number)) {
      return fail("expected a count after " + args[i]);
    }
    const auto expect = [&](std::string_view what, std::uint64_t actual) {
      if (actual == number) return true;
      fail(args[0] + ": " + std::to_string(actual) + " " + std::string(what) +
           ", expected " + args[i + 1]);
      return false;
    };
    bool ok = true;
    if (args[i] == "--max-bytes") {
      if (html.size() > number) {
        return fail(args[0] + ": " + std::to_string(html.size()) +
                    " bytes, more than " + args[i + 1]);
      }
    } else if (args[i] == "--maps") {
      ok = expect("maps", page.maps.size());
    } else if (args[i] == "--groups") {
      ok = expect("groups", page.groups);
    } else if (args[i] == "--diff-rows") {
      ok = expect("comparison rows", page.diff_rows);
    } else if (args[i] == "--phase-rows") {
      ok = expect("phase rows", page.phase_rows);
    } else if (args[i] == "--phase-row-count") {
      ok = expect("phase rows in all", page.phase_row_count);
    } else {
      return fail("unknown option " + args[i]);
    }
    if (!ok) return 1;
  }
  std::printf("page of %zu bytes:", html.size());
  for (const auto& map : page.maps) {
    std::printf(" map %zux%zu,", map.rows, map.columns);
  }
  std::printf(
      " %zu groups, %zu phase marks, %zu comparison rows, %zu of %zu phase "
      "rows\n",
      page.groups, page.phase_marks, page.diff_rows, page.phase_rows,
      page.phase_row_count);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + std::min(argc, 2), argv + argc);
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "trace" && !args.empty() && args.size() % 2 == 1) {
    return check_trace_file(args);
  }
  if (command == "slow-kernel") return slow_kernel(args);
  if (command == "shards" && args.size() >= 2) return check_shards(args);
  if (command == "page" && args.size() % 2 == 1) return check_page_file(args);
  if (command == "absent" && args.size() == 1) {
    std::error_code error;
    if (!std::filesystem::exists(args[0], error) && !error) return 0;
    return fail(args[0] + " exists");
  }
  return fail(
      "usage: zyl_profile_check trace TRACE [--events N] [--min-lanes N] "
      "[--export JSONL] | slow-kernel IN OUT KERNEL FACTOR | shards WHOLE "
      "SHARD... | page PAGE [--max-bytes N] [--maps N] [--groups N] "
      "[--diff-rows N] | absent FILE");
}
