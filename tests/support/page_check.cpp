// check_page on simdjson's DOM: pages are at most a few MB.
#include "page_check.h"

#include <simdjson.h>

#include <algorithm>
#include <cctype>

namespace zyl_profile::cli {
namespace {

std::size_t count_of(std::string_view text, std::string_view what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string_view::npos;
       at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::string check_map(simdjson::dom::element map, PageMap& out) {
  std::uint64_t rows = 0;
  std::uint64_t columns = 0;
  std::string_view shares;
  simdjson::dom::array edges;
  simdjson::dom::array tile_rows;
  simdjson::dom::array active;
  if (map["rows"].get(rows) || map["columns"].get(columns) ||
      map["shares"].get(shares) || map["time_edges"].get(edges) ||
      map["tile_rows"].get(tile_rows) || map["active"].get(active)) {
    return "a map lacks rows, columns, shares, time_edges, tile_rows or "
           "active";
  }
  out.rows = rows;
  out.columns = columns;
  const std::uint64_t cells = rows * columns;
  if (shares.size() != (cells * 4 + 2) / 3 * 4) {
    return "shares hold " + std::to_string(shares.size()) +
           " base64 digits for " + std::to_string(cells) + " cells";
  }
  if (columns > 0 && edges.size() != columns + 1) {
    return "time_edges has " + std::to_string(edges.size()) + " values for " +
           std::to_string(columns) + " columns";
  }
  if (tile_rows.size() != rows * 5) return "tile_rows disagrees with rows";
  if (active.size() != columns * 4) return "active disagrees with columns";
  return {};
}

std::string check_phase_balance(simdjson::dom::element balance,
                                PageSummary& out) {
  if (balance.is_null()) return {};
  simdjson::dom::array rows;
  std::uint64_t row_count = 0;
  double wait_share = 0.0;
  if (balance["rows"].get(rows) || balance["row_count"].get(row_count) ||
      balance["totals"]["wait_share"].get(wait_share)) {
    return "a phase balance lacks rows, row_count or totals.wait_share";
  }
  if (rows.size() > row_count) {
    return "a phase balance lists " + std::to_string(rows.size()) +
           " rows of " + std::to_string(row_count);
  }
  out.phase_rows = rows.size();
  out.phase_row_count = row_count;
  return {};
}

}  // namespace

std::variant<PageSummary, std::string> check_page(std::string_view html) {
  const std::string folded = lower(html);
  for (const std::string_view outside :
       {"http://", "https://", "src=", "href=", "@import", "url("}) {
    if (folded.find(outside) != std::string::npos) {
      return "the page refers outside itself: " + std::string(outside);
    }
  }
  for (const std::string_view marker :
       {"@TITLE@", "@STYLE@", "@SCRIPT@", "@DATA@"}) {
    if (html.find(marker) != std::string_view::npos) {
      return "the template marker " + std::string(marker) + " is left in";
    }
  }
  if (count_of(folded, "<script") != 2 || count_of(folded, "</script") != 2) {
    return "expected exactly the two script elements of the template";
  }
  constexpr std::string_view kOpen =
      "<script type=\"application/json\" id=\"zyl-data\">";
  const std::size_t open = html.find(kOpen);
  if (open == std::string_view::npos) return "no data block";
  const std::size_t begin = open + kOpen.size();
  const std::size_t end = html.find("</script>", begin);
  const simdjson::padded_string json(html.substr(begin, end - begin));
  simdjson::dom::parser parser;
  simdjson::dom::element data;
  if (const auto error = parser.parse(json).get(data)) {
    return std::string("the data block is not JSON: ") +
           simdjson::error_message(error);
  }
  simdjson::dom::array profiles;
  if (data["profiles"].get(profiles) || profiles.size() == 0) {
    return "the data names no profile";
  }
  PageSummary summary;
  for (simdjson::dom::element profile : profiles) {
    PageMap map;
    if (std::string problem = check_map(profile["map"], map);
        !problem.empty()) {
      return problem;
    }
    summary.maps.push_back(map);
  }
  simdjson::dom::array groups;
  if (profiles.at(0)["groups"].get(groups)) return "no groups";
  summary.groups = groups.size();
  simdjson::dom::array phases;
  if (profiles.at(0)["phases"].get(phases)) return "no phases";
  summary.phase_marks = phases.size();
  simdjson::dom::element balance;
  if (profiles.at(0)["phase_balance"].get(balance)) return "no phase_balance";
  if (std::string problem = check_phase_balance(balance, summary);
      !problem.empty()) {
    return problem;
  }
  simdjson::dom::array rows;
  if (!data["diff"]["rows"].get(rows)) summary.diff_rows = rows.size();
  return summary;
}

}  // namespace zyl_profile::cli
