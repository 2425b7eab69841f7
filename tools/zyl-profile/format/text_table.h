// Aligned text tables for the terminal, measured in display columns (so a
// name such as añadir_ü lines up), fitted to a width by leaving out the
// least important columns first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zyl_profile::cli {

// The width tables are fitted to unless --wide is given.
inline constexpr std::size_t kDefaultTableWidth = 120;

enum class Align : std::uint8_t { Left = 0, Right = 1 };

// An aligned table: columns two spaces apart, no trailing blanks. Cells are
// printable text (escape strings from a file with terminal_escape first).
class TextTable {
 public:
  // Adds a column. When the table does not fit, the columns of the highest
  // `drop_rank` are left out together, then the next rank; rank 0 stays.
  void column(std::string title, Align align, int drop_rank = 0);
  void row(std::vector<std::string> cells);

  // Appends the table fitted to `max_width` columns (0: no limit): columns
  // are left out by drop rank, then the widest left-aligned column is cut
  // short with "…" down to 12 columns. Returns how many columns were left
  // out, so the caller can say so.
  std::size_t append_to(std::string& out, std::size_t max_width = 0) const;

 private:
  struct Column {
    std::string title;
    Align align;
    int drop_rank;
  };

  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
};

// Appends "(N columns left out to fit W columns; --wide shows all)" when
// `left_out` (what append_to returned, summed over a page's tables) is not 0.
void append_left_out_note(std::size_t left_out, std::size_t max_width,
                          std::string& out);

}  // namespace zyl_profile::cli
