#include "app/cli/history_table.h"

#include <algorithm>

#include "log/utf.h"

namespace orvik::cli {
namespace {

struct Range {
  char32_t first, last;
};

// Characters a terminal draws two columns wide (East Asian wide and
// full-width, and the emoji blocks).
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// Characters that take no column: combining marks and zero-width ones.
constexpr Range kZero[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
    {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F},
    {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF},
};

template <std::size_t N>
bool In(const Range (&ranges)[N], char32_t code) {
  return std::any_of(std::begin(ranges), std::end(ranges),
                     [code](const Range& r) { return code >= r.first && code <= r.last; });
}

std::size_t CharWidth(const Utf8Char& one) {
  if (!one.valid) return 1;
  if (In(kZero, one.code)) return 0;
  return In(kWide, one.code) ? 2 : 1;
}

}  // namespace

std::size_t TextWidth(std::string_view utf8) {
  std::size_t width = 0;
  while (!utf8.empty()) {
    const Utf8Char one = DecodeUtf8(utf8);
    width += CharWidth(one);
    utf8.remove_prefix(std::max<std::size_t>(one.length, 1));
  }
  return width;
}

std::string CutToWidth(std::string_view utf8, std::size_t width) {
  std::size_t used = 0, bytes = 0;
  std::string_view rest = utf8;
  while (!rest.empty()) {
    const Utf8Char one = DecodeUtf8(rest);
    const std::size_t w = CharWidth(one);
    if (used + w > width) break;
    used += w;
    const std::size_t length = std::max<std::size_t>(one.length, 1);
    bytes += length;
    rest.remove_prefix(length);
  }
  return std::string(utf8.substr(0, bytes));
}

HistoryTable::HistoryTable(std::vector<std::string> header, std::size_t columns) : m_columns(columns) {
  m_widths.assign(header.size(), 0);
  m_held.push_back(std::move(header));
}

std::string HistoryTable::Line(const std::vector<std::string>& row) const {
  std::string text;
  std::size_t at = 0;  // columns written
  std::size_t target = 0;
  for (std::size_t c = 0; c < row.size(); ++c) {
    if (c != 0) {
      target += m_widths[c - 1] + 2;
      // A cell wider than its column pushes the next one over, by at least
      // one blank.
      const std::size_t pad = target > at ? target - at : 1;
      text.append(pad, ' ');
      at += pad;
    }
    text += row[c];
    at += TextWidth(row[c]);
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (m_columns != 0 && TextWidth(text) > m_columns) text = CutToWidth(text, m_columns);
  return text + '\n';
}

std::string HistoryTable::Flush() {
  for (const auto& row : m_held) {
    for (std::size_t c = 0; c < row.size() && c < m_widths.size(); ++c) {
      m_widths[c] = std::max(m_widths[c], TextWidth(row[c]));
    }
  }
  std::string text;
  for (const auto& row : m_held) text += Line(row);
  m_held.clear();
  m_fixed = true;
  return text;
}

std::string HistoryTable::Add(std::vector<std::string> row) {
  row.resize(m_widths.size());
  if (m_fixed) return Line(row);
  m_held.push_back(std::move(row));
  return m_held.size() > kSizingRows ? Flush() : std::string();
}

std::string HistoryTable::Finish() { return m_fixed ? std::string() : Flush(); }

}  // namespace orvik::cli
