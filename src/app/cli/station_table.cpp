#include "app/cli/station_table.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>

#include "app/cli/device_text.h"
#include "log/utf.h"

namespace orvik::cli {
namespace {

constexpr char kEllipsis[] = "\xE2\x80\xA6";  // U+2026, one column
constexpr std::size_t kSeparator = 2;          // blanks between columns
constexpr std::size_t kShareColumns = 6;       // " 37.5%", "100.0%"
constexpr std::size_t kUnbounded = static_cast<std::size_t>(-1) / 2;

struct Range {
  char32_t first;
  char32_t last;
};

// Combining marks that every terminal draws onto the character before them.
// Marks of other scripts count one column: too wide is safe, too narrow
// would let a line wrap.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC}, {0x06DF, 0x06E4}, {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF},
};

// East Asian wide and fullwidth characters and the emoji terminals draw two
// columns wide (Unicode's East_Asian_Width W and F, rounded up to blocks).
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},
    {0x2E80, 0x303E},   {0x3041, 0x4DBF},   {0x4E00, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
    {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},
    {0x16FE0, 0x16FE4}, {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251}, {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF},
    {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

template <std::size_t N>
bool InRanges(const Range (&ranges)[N], char32_t code) {
  const auto it = std::lower_bound(std::begin(ranges), std::end(ranges), code,
                                   [](const Range& range, char32_t c) { return range.last < c; });
  return it != std::end(ranges) && it->first <= code;
}

std::size_t CharColumns(char32_t code) {
  if (InRanges(kZeroWidth, code)) return 0;
  return InRanges(kWide, code) ? 2 : 1;
}

// The characters of `text`: where each starts, how long it is, its columns.
struct Char {
  std::size_t offset;
  std::size_t length;
  std::size_t columns;
};

std::vector<Char> Chars(std::string_view text) {
  std::vector<Char> chars;
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Char one = DecodeUtf8(text.substr(i));
    const std::size_t length = one.valid ? one.length : 1;
    chars.push_back({i, length, one.valid ? CharColumns(one.code) : 1});
    i += length;
  }
  return chars;
}

// `text` in at most `width` columns: as it is when it fits, else its end
// behind an ellipsis (no combining mark left without its character).
std::string CutLeft(const std::string& text, std::size_t width) {
  if (TextColumns(text) <= width) return text;
  if (width == 0) return {};
  const std::vector<Char> chars = Chars(text);
  std::size_t used = 0;
  std::size_t first = chars.size();
  while (first > 0 && used + chars[first - 1].columns <= width - 1) {
    used += chars[--first].columns;
  }
  while (first < chars.size() && chars[first].columns == 0) ++first;
  std::string cut = kEllipsis;
  if (first < chars.size()) cut.append(text, chars[first].offset);
  return cut;
}

// `text` in at most `width` columns: as it is when it fits, else its start
// and an ellipsis.
std::string CutRight(const std::string& text, std::size_t width) {
  if (TextColumns(text) <= width) return text;
  if (width == 0) return {};
  std::size_t used = 0;
  std::size_t end = 0;
  for (const Char& one : Chars(text)) {
    if (used + one.columns > width - 1) break;
    used += one.columns;
    end = one.offset + one.length;
  }
  return text.substr(0, end) + kEllipsis;
}

std::string PadRight(std::string text, std::size_t width) {
  const std::size_t columns = TextColumns(text);
  if (columns < width) text.append(width - columns, ' ');
  return text;
}

std::string ShareText(int perMille) {
  const int share = std::clamp(perMille, 0, 1000);
  char text[16];
  std::snprintf(text, sizeof text, "%3d.%d%%", share / 10, share % 10);
  return text;
}

std::string Bar(int perMille, std::size_t cells) {
  const auto filled = static_cast<std::size_t>(std::clamp(perMille, 0, 1000)) * cells / 1000;
  std::string bar = "[";
  bar.append(filled, '#');
  bar.append(cells - filled, '-');
  return bar + ']';
}

// One row's cells, escaped.
struct Cells {
  std::string slot;
  std::string path;
  std::string serial;      // "serial 0123456789AB", "no serial"
  std::string bareSerial;  // "0123456789AB", "-"
  std::string phase;
  std::string share;
  std::string elapsed;
};

// Which columns a row keeps, from all down to the fewest.
struct Columns {
  bool bar;
  bool phase;
  bool elapsed;
  bool serial;
};
constexpr std::array<Columns, 5> kColumnSets = {{
    {true, true, true, true},
    {false, true, true, true},
    {false, false, true, true},
    {false, false, false, true},
    {false, false, false, false},
}};

// The widths a set of columns gets in `room`.
struct Widths {
  Columns keep{};
  std::size_t slot = 0;  // 0: no slot column
  std::size_t path = 0;
  std::size_t serial = 0;
  bool fullSerial = false;  // with the word "serial"
  std::size_t barCells = 0;
  std::size_t phase = 0;
  std::size_t elapsed = 0;
};

Widths FitColumns(const std::vector<Cells>& rows, std::size_t room) {
  std::size_t slot = 0, path = 0, serial = 0, bare = 0, phase = 0, elapsed = 0;
  for (const Cells& row : rows) {
    slot = std::max(slot, TextColumns(row.slot));
    path = std::max(path, TextColumns(row.path));
    serial = std::max(serial, TextColumns(row.serial));
    bare = std::max(bare, TextColumns(row.bareSerial));
    phase = std::max(phase, TextColumns(row.phase));
    elapsed = std::max(elapsed, TextColumns(row.elapsed));
  }
  const std::size_t minPath = std::min(path, kTableMinPathColumns);
  const std::size_t minSerial = std::min(bare, kTableMinSerialColumns);

  for (std::size_t set = 0; set < kColumnSets.size(); ++set) {
    const Columns keep = kColumnSets[set];
    // The columns' narrowest widths, each but the first after a separator.
    std::size_t least = minPath + kSeparator + kShareColumns;
    if (slot != 0) least += slot + kSeparator;
    if (keep.serial) least += minSerial + kSeparator;
    if (keep.phase) least += phase + kSeparator;
    if (keep.bar) least += kTableMinBarCells + 2 + kSeparator;
    if (keep.elapsed) least += elapsed + kSeparator;
    if (least > room && set + 1 < kColumnSets.size()) continue;

    // What is left goes back in the opposite order of the cuts: the bar's
    // cells, the serial, the path.
    std::size_t spare = room > least ? room - least : 0;
    Widths widths;
    widths.keep = keep;
    widths.slot = slot;
    widths.phase = phase;
    widths.elapsed = elapsed;
    if (keep.bar) {
      const std::size_t more = std::min(spare, kTableBarCells - kTableMinBarCells);
      widths.barCells = kTableMinBarCells + more;
      spare -= more;
    }
    if (keep.serial) {
      const std::size_t more = std::min(spare, bare - minSerial);
      widths.serial = minSerial + more;
      spare -= more;
      if (widths.serial == bare && spare >= serial - bare) {
        spare -= serial - bare;
        widths.serial = serial;
        widths.fullSerial = true;
      }
    }
    widths.path = minPath + std::min(spare, path - minPath);
    return widths;
  }
  return {};
}

std::string RowLine(const Cells& row, int perMille, const Widths& widths) {
  std::vector<std::string> cells;
  if (widths.slot != 0) cells.push_back(PadRight(row.slot, widths.slot));
  cells.push_back(PadRight(CutLeft(row.path, widths.path), widths.path));
  if (widths.keep.serial) {
    cells.push_back(PadRight(CutLeft(widths.fullSerial ? row.serial : row.bareSerial, widths.serial), widths.serial));
  }
  if (widths.keep.phase) cells.push_back(PadRight(row.phase, widths.phase));
  if (widths.keep.bar) cells.push_back(Bar(perMille, widths.barCells));
  cells.push_back(row.share);
  if (widths.keep.elapsed) cells.push_back(row.elapsed);
  std::string line;
  for (const std::string& cell : cells) {
    if (!line.empty()) line.append(kSeparator, ' ');
    line += cell;
  }
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

}  // namespace

std::size_t TextColumns(std::string_view text) {
  std::size_t columns = 0;
  for (const Char& one : Chars(text)) columns += one.columns;
  return columns;
}

std::string TablePathText(std::string_view path) {
  // "#{4d1e55b2-f16f-11cf-88cb-001111000030}": 36 characters between braces.
  constexpr std::size_t kClassLength = 36 + 3;
  if (path.size() > kClassLength && path.substr(path.size() - kClassLength, 2) == "#{" && path.back() == '}' &&
      std::all_of(path.end() - kClassLength + 2, path.end() - 1, [](char c) {
        return c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
      })) {
    path.remove_suffix(kClassLength);
  }
  std::string text;
  for (std::size_t start = 0;;) {
    const std::size_t slash = path.find('\\', start);
    text += TerminalText(path.substr(start, slash == std::string_view::npos ? slash : slash - start));
    if (slash == std::string_view::npos) break;
    text += '\\';
    start = slash + 1;
  }
  return text;
}

std::vector<std::string> LayOutStationTable(const std::vector<std::string>& headings,
                                            const std::vector<TableRow>& rows, TerminalSize size) {
  const std::size_t room = size.columns == 0 ? kUnbounded : size.columns - 1;
  const std::size_t lines = size.rows == 0 ? kUnbounded : std::max(size.rows, 3u) - 2;

  std::vector<std::string> table;
  std::string heading;
  for (const std::string& form : headings) {
    heading = form;
    if (TextColumns(form) <= room) break;
  }
  table.push_back(CutRight(heading, room));

  // The heading, the rows, and the line that counts the rows left out.
  std::size_t shown = rows.size();
  if (1 + rows.size() > lines) shown = lines >= 2 ? lines - 2 : 0;
  std::vector<Cells> cells;
  for (std::size_t i = 0; i < shown; ++i) {
    const TableRow& row = rows[i];
    cells.push_back({TerminalText(row.slot), TablePathText(row.path), SerialText(row.serial),
                     row.serial.empty() ? std::string("-") : TerminalText(row.serial), TerminalText(row.phase),
                     ShareText(row.perMille), TerminalText(row.elapsed)});
  }
  const Widths widths = FitColumns(cells, room);
  for (std::size_t i = 0; i < shown; ++i) {
    table.push_back(CutRight(RowLine(cells[i], rows[i].perMille, widths), room));
  }
  if (shown < rows.size() && lines >= 2) {
    std::string more = "+";
    more += std::to_string(rows.size() - shown);
    more += " more";
    table.push_back(CutRight(more, room));
  }
  return table;
}

}  // namespace orvik::cli
