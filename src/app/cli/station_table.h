// The station's live table laid out for the terminal it is drawn on: the
// lines to draw, none wider than the terminal and no more of them than its
// height leaves room for, so that the table never wraps and the cursor can
// always go back up to its first line.
//
//   Station: 3 updating, 1 waiting, 4 finished (1 failed)
//   /dev/hidraw3  serial 0123456789AB  MCU  [######----------]   37.5%  00:01.912
//   /dev/hidraw5  serial 0123456789AC  USB  [###########-----]   71.2%  00:03.518
//   +1 more
//
// Where a row does not fit, columns give way in this order: the path is cut
// from the left behind an ellipsis (its end tells units apart: every Windows
// HID path starts "\\?\hid#vid_"), then the serial (the word "serial" first,
// then from the left), then the bar loses cells; below that the bar, the
// phase, the elapsed time and the serial are left out, one after another.
// A line that still does not fit is cut. Widths are the terminal's columns,
// not bytes: a wide character takes two, a combining mark none.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/console.h"

namespace orvik::cli {

// Characters of a row's bar between the brackets, at most and at least.
inline constexpr std::size_t kTableBarCells = 16;
inline constexpr std::size_t kTableMinBarCells = 5;
// The narrowest a path and a bare serial are cut to before columns are left
// out (the ellipsis included). 16 keeps a Windows path's instance
// ("…2f5e7a1b&0&0000"), which is what tells two units apart.
inline constexpr std::size_t kTableMinPathColumns = 16;
inline constexpr std::size_t kTableMinSerialColumns = 10;

// One unit in flight. Text as the station has it: the layout escapes it.
struct TableRow {
  std::string slot;     // its slot's name; empty: none
  std::string path;     // its interface path
  std::string serial;   // raw device bytes; empty: it has none
  std::string phase;    // "MCU", "USB", "...": a short word
  int perMille = 0;     // of the whole run, 0..1000 (clamped)
  std::string elapsed;  // "00:01.912"
};

// The columns `text` (valid UTF-8, no control characters) takes on a
// terminal: two for a wide (East Asian, emoji) character, none for a
// combining mark, one for any other. Where terminals disagree it errs wide.
std::size_t TextColumns(std::string_view text);

// The path as the table shows it: device-text escapes for anything that
// would act on the terminal (its backslashes kept as they are: they are a
// Windows path's separators), and without the "#{...}" interface class that
// ends every Windows HID path alike.
std::string TablePathText(std::string_view path);

// The table's lines, without line ends. `headings`: the heading in forms
// from the longest to the shortest; the first that fits is drawn, and the
// last is cut when none does. `size`: the terminal's; a bound of 0 is no
// bound. Every line is at most size.columns - 1 columns wide (the last column
// stays free: a character there makes some terminals wrap), and there are at
// most size.rows - 2 lines: the heading, as many rows as fit, and "+N more"
// for the rest. The cursor waits on the line below the table, and the line
// above it keeps the table off the screen's first line: clearing from the
// top-left corner clears the whole screen, which some terminals (tmux) keep
// in their scrollback.
std::vector<std::string> LayOutStationTable(const std::vector<std::string>& headings,
                                            const std::vector<TableRow>& rows, TerminalSize size);

}  // namespace orvik::cli
