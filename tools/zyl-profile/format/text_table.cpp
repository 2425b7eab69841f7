// Aligned text tables measured in display columns and fitted to a width.
#include "text_table.h"

#include <algorithm>

#include "text.h"

namespace zyl_profile::cli {
namespace {

constexpr std::size_t kGap = 2;              // spaces between columns
constexpr std::size_t kNarrowestCut = 12;    // a cut column keeps this much
constexpr std::string_view kEllipsis = "…";  // one display column

std::size_t total_width(const std::vector<std::size_t>& widths,
                        const std::vector<bool>& shown) {
  std::size_t total = 0;
  std::size_t count = 0;
  for (std::size_t i = 0; i < widths.size(); ++i) {
    if (!shown[i]) continue;
    total += widths[i];
    ++count;
  }
  return count == 0 ? 0 : total + kGap * (count - 1);
}

}  // namespace

void TextTable::column(std::string title, Align align, int drop_rank) {
  columns_.push_back(Column{std::move(title), align, drop_rank});
}

void TextTable::row(std::vector<std::string> cells) {
  cells.resize(columns_.size());
  rows_.push_back(std::move(cells));
}

std::size_t TextTable::append_to(std::string& out,
                                 std::size_t max_width) const {
  const std::size_t n = columns_.size();
  std::vector<std::size_t> widths(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    widths[i] = display_width(columns_[i].title);
    for (const auto& cells : rows_) {
      widths[i] = std::max(widths[i], display_width(cells[i]));
    }
  }
  std::vector<bool> shown(n, true);
  std::size_t dropped = 0;
  if (max_width > 0) {
    // Leave out whole ranks, the highest first, so that columns read as
    // pairs (base and new) go together.
    int rank = 0;
    for (const Column& column : columns_)
      rank = std::max(rank, column.drop_rank);
    for (; rank > 0 && total_width(widths, shown) > max_width; --rank) {
      for (std::size_t i = 0; i < n; ++i) {
        if (shown[i] && columns_[i].drop_rank == rank) {
          shown[i] = false;
          ++dropped;
        }
      }
    }
    // Still too wide: cut the widest text column short.
    const std::size_t total = total_width(widths, shown);
    if (total > max_width) {
      std::size_t widest = n;
      for (std::size_t i = 0; i < n; ++i) {
        if (shown[i] && columns_[i].align == Align::Left &&
            (widest == n || widths[i] > widths[widest])) {
          widest = i;
        }
      }
      if (widest != n && widths[widest] > kNarrowestCut) {
        const std::size_t excess = total - max_width;
        widths[widest] = std::max(kNarrowestCut, widths[widest] > excess
                                                     ? widths[widest] - excess
                                                     : kNarrowestCut);
      }
    }
  }

  const auto append_row = [&](const auto& cell_of) {
    std::string line;
    bool first = true;
    for (std::size_t i = 0; i < n; ++i) {
      if (!shown[i]) continue;
      if (!first) line.append(kGap, ' ');
      first = false;
      std::string_view cell = cell_of(i);
      std::size_t width = display_width(cell);
      std::string cut;
      if (width > widths[i]) {
        cut = std::string(prefix_of_width(cell, widths[i] - 1));
        cut += kEllipsis;
        width = display_width(cut);
        cell = cut;
      }
      const std::size_t pad = widths[i] - width;
      if (columns_[i].align == Align::Right) line.append(pad, ' ');
      line += cell;
      if (columns_[i].align == Align::Left) line.append(pad, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line;
    out += '\n';
  };
  append_row(
      [&](std::size_t i) -> std::string_view { return columns_[i].title; });
  for (const auto& cells : rows_) {
    append_row([&](std::size_t i) -> std::string_view { return cells[i]; });
  }
  return dropped;
}

void append_left_out_note(std::size_t left_out, std::size_t max_width,
                          std::string& out) {
  if (left_out == 0) return;
  out += "(";
  out += std::to_string(left_out);
  out += left_out == 1 ? " column" : " columns";
  out += " left out to fit ";
  out += std::to_string(max_width);
  out += " columns; --wide shows all)\n";
}

}  // namespace zyl_profile::cli
