#include "app/cli/terminal_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "support/test_support.h"
#include "ui/updater_dlg.h"

namespace orvik::cli {
namespace {

using namespace std::chrono_literals;

TEST(StatusLine, BarPositionAndElapsedTime) {
  EXPECT_EQ(StatusLine(0, 0, 1000, "00:00.000"), "[" + std::string(40, '-') + "]    0/1000  00:00.000");
  EXPECT_EQ(StatusLine(1000, 0, 1000, "00:05.120"), "[" + std::string(40, '#') + "] 1000/1000  00:05.120");
  EXPECT_EQ(StatusLine(500, 0, 1000, "x"), "[" + std::string(20, '#') + std::string(20, '-') + "]  500/1000  x");
  // A cell fills only once it is wholly reached: 499 is short of the 20th.
  EXPECT_EQ(StatusLine(499, 0, 1000, "x").substr(0, 21), "[" + std::string(19, '#') + "-");
  EXPECT_NE(StatusLine(0, 0, 1000, "100:00.000").find("100:00.000"), std::string::npos);
}

TEST(StatusLine, FitsTheTerminalsWidthByGivingUpBarCells) {
  // The text beside the bar ("] 1000/1000  00:05.120" and "[") takes 23
  // columns; the last column of the terminal stays free.
  struct Case {
    unsigned columns;
    std::string line;
  };
  const Case cases[] = {
      {0, "[" + std::string(20, '#') + std::string(20, '-') + "]  500/1000  00:05.120"},
      {200, "[" + std::string(20, '#') + std::string(20, '-') + "]  500/1000  00:05.120"},
      {64, "[" + std::string(20, '#') + std::string(20, '-') + "]  500/1000  00:05.120"},
      {63, "[" + std::string(19, '#') + std::string(20, '-') + "]  500/1000  00:05.120"},
      {40, "[" + std::string(8, '#') + std::string(8, '-') + "]  500/1000  00:05.120"},
      {29, "[" + std::string(2, '#') + std::string(3, '-') + "]  500/1000  00:05.120"},
      {28, " 500/1000  00:05.120"},  // fewer than kMinBarWidth cells: no bar
      {12, " 500/1000  "},           // still too wide: cut
      {1, ""},
  };
  for (const Case& c : cases) {
    const std::string line = StatusLine(500, 0, 1000, "00:05.120", c.columns);
    EXPECT_EQ(line, c.line) << c.columns << " columns";
    if (c.columns != 0) {
      EXPECT_LT(line.size(), c.columns) << c.columns << " columns";
    }
  }
}

TEST(StatusLine, PositionsOutsideTheRangeAndEmptyRangesKeepTheBarsWidth) {
  for (const auto& [position, lower, upper] : {std::tuple{1500, 0, 1000}, {-5, 0, 1000}, {7, 7, 7}, {0, 10, 0},
                                               {65535, 0, 65535}, {2147483647, -2147483647 - 1, 2147483647}}) {
    const std::string line = StatusLine(position, lower, upper, "e");
    ASSERT_GE(line.size(), 42u) << line;
    EXPECT_EQ(line[41], ']') << line;
    EXPECT_EQ(std::count(line.begin(), line.begin() + 41, '#') + std::count(line.begin(), line.begin() + 41, '-'),
              40)
        << line;
  }
  EXPECT_EQ(StatusLine(1500, 0, 1000, "e").substr(0, 41), "[" + std::string(40, '#'));
  EXPECT_EQ(StatusLine(-5, 0, 1000, "e").substr(0, 41), "[" + std::string(40, '-'));
}

class TerminalWindowTest : public ::testing::Test {
 protected:
  std::ostringstream out;
  std::ostringstream err;
};

TEST_F(TerminalWindowTest, NothingIsDrawnBeforeTheUpdateStarts) {
  TerminalWindow window(out, err, false);
  window.SetProgressRange(0, 1000);
  window.SetProgressPos(300);
  window.SetItemText(IDC_ELAPSED, "00:01.000");
  EXPECT_EQ(out.str(), "");
  window.StartTimer(kUpdateTimerId, 100);
  EXPECT_EQ(out.str(), StatusLine(300, 0, 1000, "00:01.000") + "\n");
}

TEST_F(TerminalWindowTest, PlainOutputWritesOneLineForEachTenthOfTheRange) {
  TerminalWindow window(out, err, false);
  window.SetProgressRange(0, 1000);
  window.StartTimer(kUpdateTimerId, 100);
  for (int position = 0; position <= 1000; ++position) {
    window.SetProgressPos(position);
    // Elapsed-time ticks alone write nothing.
    if (position % 37 == 0) window.SetItemText(IDC_ELAPSED, "00:00.1" + std::to_string(position % 10) + "0");
  }
  const std::string text = out.str();
  EXPECT_EQ(text.find('\r'), std::string::npos);
  const auto lines = test::SplitLines(text);
  ASSERT_EQ(lines.size(), 11u) << text;
  for (int i = 0; i <= 10; ++i) {
    EXPECT_NE(lines[static_cast<std::size_t>(i)].find(std::to_string(i * 100) + "/1000"), std::string::npos)
        << lines[static_cast<std::size_t>(i)];
  }
}

TEST_F(TerminalWindowTest, PlainOutputRecordsWhereTheBarStoodWhenAMessageCame) {
  TerminalWindow window(out, err, false);
  window.SetProgressRange(0, 1000);
  window.StartTimer(kUpdateTimerId, 100);
  window.SetProgressPos(250);
  window.SetItemText(IDC_ELAPSED, "00:02.300");
  EXPECT_EQ(window.MessageBox("Check write mcu code reply fail(959)", "Firmware for Solvane ver1.3"), kMessageBoxOk);
  // The same state again adds no line.
  window.MessageBox("second", "title");
  EXPECT_EQ(err.str(), "Check write mcu code reply fail(959)\nsecond\n");
  const auto lines = test::SplitLines(out.str());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], StatusLine(250, 0, 1000, "00:02.300"));
}

TEST_F(TerminalWindowTest, TerminalOutputRedrawsOneLineInPlace) {
  TerminalWindow window(out, err, true);
  window.SetProgressRange(0, 1000);
  window.StartTimer(kUpdateTimerId, 100);
  window.SetProgressPos(0);  // unchanged: not drawn again
  window.SetProgressPos(1);
  window.SetItemText(IDC_ELAPSED, "100:00.000");
  window.SetItemText(IDC_ELAPSED, "00:00.100");  // one character shorter: blanked
  // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on a
  // long chain of "literal" + std::string.
  std::string expected;
  for (const std::string& line : {StatusLine(0, 0, 1000, "00:00.000"), StatusLine(1, 0, 1000, "00:00.000"),
                                  StatusLine(1, 0, 1000, "100:00.000"), StatusLine(1, 0, 1000, "00:00.100")}) {
    expected += '\r';
    expected += line;
  }
  expected += ' ';
  EXPECT_EQ(out.str(), expected);

  // A message ends the status line first, so it never lands inside the bar.
  out.str("");
  window.MessageBox("Update complete", "t");
  EXPECT_EQ(out.str(), "\n");
  EXPECT_EQ(err.str(), "Update complete\n");
  // A later redraw starts on a line of its own; stopping the timer ends it.
  window.SetProgressPos(2);
  window.StopTimer(kUpdateTimerId);
  window.StopTimer(kUpdateTimerId);
  EXPECT_EQ(out.str(), "\n\r" + StatusLine(2, 0, 1000, "00:00.100") + "\n");
}

TEST_F(TerminalWindowTest, WrittenLinesEndAnOpenStatusLine) {
  TerminalWindow window(out, err, true);
  window.WriteLine("Firmware for Solvane ver1.3");
  window.StartTimer(kUpdateTimerId, 100);
  window.WriteLine("note");
  EXPECT_EQ(out.str(), "Firmware for Solvane ver1.3\n\r" + StatusLine(0, 0, 100, "00:00.000") + "\nnote\n");
}

TEST_F(TerminalWindowTest, TheTimerLoopSeesATimerStartedOnAnotherThread) {
  TerminalWindow window(out, err, false);
  EXPECT_FALSE(window.WaitForTimerStart(20ms));
  EXPECT_FALSE(window.TimerStartedAt());
  std::thread worker([&] {
    std::this_thread::sleep_for(30ms);
    window.StartTimer(kUpdateTimerId, 100);
  });
  const auto before = TerminalWindow::Clock::now();
  EXPECT_TRUE(window.WaitForTimerStart(10s));
  EXPECT_LT(TerminalWindow::Clock::now() - before, 5s);
  worker.join();
  ASSERT_TRUE(window.TimerStartedAt());
  EXPECT_EQ(window.TimerPeriodMs(), 100u);
  window.StopTimer(kUpdateTimerId);
  EXPECT_FALSE(window.TimerStartedAt());
}

}  // namespace
}  // namespace orvik::cli
