// --history's table: columns padded by the width a terminal shows, so that
// a serial of wide or combining characters does not shift the columns after
// it, and lines fitted to the terminal.
#include "app/cli/history_table.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace orvik::cli {
namespace {

TEST(HistoryTable, TextWidthIsWhatATerminalShows) {
  struct Case {
    const char* text;
    std::size_t width;
  };
  for (const Case& c : {
           Case{"SN0042", 6},
           Case{"\xC3\xA9t\xC3\xA9", 3},              // é t é: two bytes each, one column
           Case{"\xE6\x97\xA5\xE6\x9C\xAC", 4},        // 日本: wide
           Case{"e\xCC\x81", 1},                       // e + combining acute
           Case{"\xEF\xBC\xA1", 2},                    // full-width A
           Case{"\xFF", 1},                            // not UTF-8: one column
       }) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TextWidth(c.text), c.width);
  }
  EXPECT_EQ(CutToWidth("\xE6\x97\xA5\xE6\x9C\xAC", 3), "\xE6\x97\xA5");  // never half a character
}

// Every row's third column starts at the same screen column, whatever the
// serial before it holds.
TEST(HistoryTable, ColumnsLineUpByDisplayWidth) {
  HistoryTable table({"TIME", "SERIAL", "STATE"}, 0);
  std::string text;
  for (const char* serial : {"SN1", "\xE6\x97\xA5\xE6\x9C\xAC\xE5\x8F\xB7", "e\xCC\x81\xC3\xA9"}) {
    text += table.Add({"t", serial, "finished"});
  }
  text += table.Finish();
  std::istringstream lines(text);
  std::string line;
  std::vector<std::size_t> at;
  while (std::getline(lines, line)) {
    const std::size_t state = line.find(at.empty() ? "STATE" : "finished");
    ASSERT_NE(state, std::string::npos) << line;
    at.push_back(TextWidth(line.substr(0, state)));
  }
  ASSERT_EQ(at.size(), 4u);
  for (const std::size_t column : at) EXPECT_EQ(column, at[0]) << text;
}

TEST(HistoryTable, OnATerminalEachLineFitsItsWidth) {
  HistoryTable table({"TIME", "MESSAGE"}, 20);
  std::string text = table.Add({"2026-12-08T09:41:05+01:00", "Check write usb code reply fail(1345)"});
  text += table.Finish();
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) EXPECT_LE(TextWidth(line), 20u) << line;
}

}  // namespace
}  // namespace orvik::cli
