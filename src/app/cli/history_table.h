// --history's table: columns padded by the width a terminal shows each
// character with (a wide character takes two columns, a combining mark
// none), and lines fitted to the terminal's width.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvik::cli {

// The columns a terminal gives `utf8`: 2 for East Asian wide and full-width
// characters, 0 for combining marks and zero-width characters, 1 otherwise
// (a byte that is not UTF-8 counts 1).
std::size_t TextWidth(std::string_view utf8);

// `utf8` cut to at most `width` columns, never inside a character.
std::string CutToWidth(std::string_view utf8, std::size_t width);

// A table written row by row: the first rows (up to a bound) set the
// columns' widths, the rest are padded to those widths, a cell that is wider
// than its column pushing the rest of its row over.
class HistoryTable {
 public:
  // `columns`: the terminal's width, 0 when not a terminal (lines are then
  // never cut).
  HistoryTable(std::vector<std::string> header, std::size_t columns);

  // The text to write for a row now (possibly several lines, possibly none
  // while the first rows are held to size the columns).
  std::string Add(std::vector<std::string> row);
  // What is still held, at the end.
  std::string Finish();

  // Rows held before the widths are fixed.
  static constexpr std::size_t kSizingRows = 200;

 private:
  std::string Line(const std::vector<std::string>& row) const;
  std::string Flush();

  std::vector<std::vector<std::string>> m_held;
  std::vector<std::size_t> m_widths;
  std::size_t m_columns;
  bool m_fixed = false;
};

}  // namespace orvik::cli
