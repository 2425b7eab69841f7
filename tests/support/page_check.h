// check_page: reads a page written by `zyl-profile report` back, for the
// tests: that it needs nothing outside itself and that its data block is
// JSON of the shape the page's script draws from.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zyl_profile::cli {

struct PageMap {
  std::size_t rows = 0;
  std::size_t columns = 0;
};

struct PageSummary {
  std::vector<PageMap> maps;  // one, or two for a comparison
  std::size_t groups = 0;     // of the first profile
  std::size_t diff_rows = 0;
  std::size_t phase_marks = 0;  // of the first profile
  // The first profile's phase balance: the rows the page lists and every
  // row the profile has; both 0 when the page carries none (a comparison).
  std::size_t phase_rows = 0;
  std::size_t phase_row_count = 0;
};

// Returns what `html` shows, or the first reason it is not a sound page: an
// address or a src/href attribute, a template marker left in, more script
// elements than the page's two, a data block that is not JSON, a map whose
// arrays disagree with its rows and columns, or a phase balance listing
// more rows than it counts or lacking its totals.
[[nodiscard]] std::variant<PageSummary, std::string> check_page(
    std::string_view html);

}  // namespace zyl_profile::cli
