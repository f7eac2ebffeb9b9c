#include "app/cli/station_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace orvik::cli {
namespace {

const std::vector<std::string> kHeadings = {"Station: 30 updating, 4 waiting, 12 finished (1 failed)",
                                            "30 updating, 4 waiting, 12 finished (1 failed)",
                                            "30 updating, 4 waiting, 12 done, 1 failed"};

enum class Paths { Linux, Windows, Emulated };

// Unit n's path as each system names it. Windows: two units of one model
// differ only in the instance's hash, between a shared start and end.
std::string PathOf(Paths paths, int n) {
  char hash[16];
  std::snprintf(hash, sizeof hash, "%08x", 0x2f5e7a00u + static_cast<unsigned>(n));
  switch (paths) {
    case Paths::Linux:
      return "/dev/hidraw" + std::to_string(n);
    case Paths::Windows:
      return std::string("\\\\?\\hid#vid_1209&pid_0121&mi_00#8&") + hash +
             "&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    case Paths::Emulated:
      break;
  }
  return "emulated:" + std::to_string(n);
}

std::vector<TableRow> Units(Paths paths, int count, bool serials) {
  std::vector<TableRow> rows;
  for (int n = 1; n <= count; ++n) {
    char serial[32];
    std::snprintf(serial, sizeof serial, "0123456789%02d", n);
    rows.push_back({"", PathOf(paths, n), serials ? serial : "", n % 2 == 0 ? "USB" : "MCU", n * 33 % 1001,
                    "00:01.912"});
  }
  return rows;
}

bool IsHeading(const std::string& line) {
  for (const std::string& form : kHeadings) {
    if (line.rfind(form.substr(0, form.size() - 8), 0) == 0) return true;
  }
  return false;
}

// The terminals of the station's own test, and each kind of path: what every
// layout holds to.
struct FitCase {
  unsigned columns;
  int units;
  Paths paths;
  bool serials;
};

class TableFits : public ::testing::TestWithParam<FitCase> {};

TEST_P(TableFits, NoLineIsWiderThanTheTerminalAndTheRowsLeftOutAreCounted) {
  const FitCase c = GetParam();
  const std::vector<TableRow> rows = Units(c.paths, c.units, c.serials);
  const std::vector<std::string> lines = LayOutStationTable(kHeadings, rows, {c.columns, 10});

  ASSERT_FALSE(lines.empty());
  ASSERT_LE(lines.size(), 8u) << "a line above the table and the cursor's below it";
  EXPECT_TRUE(IsHeading(lines.front())) << lines.front();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_LT(TextColumns(lines[i]), c.columns) << "line " << i << ": " << lines[i];
    if (i > 0) {
      EXPECT_FALSE(IsHeading(lines[i])) << "a second heading: " << lines[i];
    }
  }
  // Every unit is either a row or counted in "+N more".
  std::size_t shown = lines.size() - 1;
  std::size_t more = 0;
  if (lines.back().front() == '+') {
    more = std::stoul(lines.back().substr(1));
    EXPECT_EQ(lines.back(), "+" + std::to_string(more) + " more");
    --shown;
  }
  EXPECT_EQ(shown + more, static_cast<std::size_t>(c.units));
  EXPECT_EQ(shown, std::min<std::size_t>(c.units, 6)) << "as many rows as fit";
  // Units told apart by their rows, even without serials (Windows paths
  // share their start and their end).
  const std::set<std::string> distinct(lines.begin() + 1, lines.begin() + 1 + static_cast<long>(shown));
  EXPECT_EQ(distinct.size(), shown);
}

std::vector<FitCase> FitCases() {
  std::vector<FitCase> cases;
  for (const unsigned columns : {40u, 80u, 200u}) {
    for (const int units : {3, 30}) {
      for (const Paths paths : {Paths::Linux, Paths::Windows, Paths::Emulated}) {
        for (const bool serials : {true, false}) cases.push_back({columns, units, paths, serials});
      }
    }
  }
  return cases;
}

std::string FitCaseName(const ::testing::TestParamInfo<FitCase>& info) {
  const char* const paths[] = {"linux", "windows", "emulated"};
  return std::to_string(info.param.columns) + "columns_" + std::to_string(info.param.units) + "units_" +
         paths[static_cast<int>(info.param.paths)] + (info.param.serials ? "" : "_noserial");
}

INSTANTIATE_TEST_SUITE_P(Terminals, TableFits, ::testing::ValuesIn(FitCases()), FitCaseName);

// How one row gives way as the terminal narrows: the path first, then the
// serial, then bar cells; then columns go, the bar first.
TEST(TableRowLayout, ColumnsGiveWayInOrderAsTheTerminalNarrows) {
  struct Case {
    std::string path;
    unsigned columns;
    std::string row;
  };
  const std::string windows = "\\\\?\\hid#vid_1209&pid_0121&mi_00#8&2f5e7a1b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  const Case cases[] = {
      // Unknown width, and wide terminals: everything at its natural width.
      {"/dev/hidraw3", 0, "/dev/hidraw3  serial 0123456789AB  MCU  [######----------]   37.5%  00:01.912"},
      {"/dev/hidraw3", 200, "/dev/hidraw3  serial 0123456789AB  MCU  [######----------]   37.5%  00:01.912"},
      {"/dev/hidraw3", 80, "/dev/hidraw3  serial 0123456789AB  MCU  [######----------]   37.5%  00:01.912"},
      // The Windows path without its interface class.
      {windows, 200,
       "\\\\?\\hid#vid_1209&pid_0121&mi_00#8&2f5e7a1b&0&0000  serial 0123456789AB  MCU  [######----------]   37.5%  "
       "00:01.912"},
      // Cut from the left to its least before the serial loses its word;
      // what is left over goes back to it.
      {windows, 82, "\xE2\x80\xA6" "2f5e7a1b&0&0000  serial 0123456789AB  MCU  [######----------]   37.5%  00:01.912"},
      {windows, 81, "\xE2\x80\xA6" "_00#8&2f5e7a1b&0&0000  0123456789AB  MCU  [######----------]   37.5%  00:01.912"},
      // The serial cut from the left, then bar cells.
      {windows, 66, "\xE2\x80\xA6" "2f5e7a1b&0&0000  \xE2\x80\xA6" "3456789AB  MCU  [###------]   37.5%  00:01.912"},
      {windows, 64, "\xE2\x80\xA6" "2f5e7a1b&0&0000  \xE2\x80\xA6" "3456789AB  MCU  [##-----]   37.5%  00:01.912"},
      // Then the bar goes, the phase, the elapsed time.
      {windows, 61, "\xE2\x80\xA6" "_00#8&2f5e7a1b&0&0000  0123456789AB  MCU   37.5%  00:01.912"},
      {windows, 50, "\xE2\x80\xA6" "2f5e7a1b&0&0000  0123456789AB   37.5%  00:01.912"},
      {windows, 40, "\xE2\x80\xA6" "&2f5e7a1b&0&0000  0123456789AB   37.5%"},
      {"/dev/hidraw3", 40, "/dev/hidraw3  0123456789AB   37.5%"},
      {"/dev/hidraw3", 42, "/dev/hidraw3  serial 0123456789AB   37.5%"},
      // Last the serial; and a line that still does not fit is cut.
      {windows, 30, "\xE2\x80\xA6" "00#8&2f5e7a1b&0&0000   37.5%"},
      {windows, 12, "\xE2\x80\xA6" "2f5e7a1b&\xE2\x80\xA6" ""},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> lines =
        LayOutStationTable({"H"}, {{"", c.path, "0123456789AB", "MCU", 375, "00:01.912"}}, {c.columns, 0});
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], c.row) << c.columns << " columns";
  }
}

TEST(TableHeading, TheLongestFormThatFitsIsDrawnAndTheShortestCutOtherwise) {
  struct Case {
    unsigned columns;
    std::string heading;
  };
  const Case cases[] = {
      {0, kHeadings[0]},  {80, kHeadings[0]}, {56, kHeadings[0]}, {55, kHeadings[1]},
      {47, kHeadings[1]}, {46, kHeadings[2]}, {42, kHeadings[2]}, {20, "30 updating, 4 wai\xE2\x80\xA6"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LayOutStationTable(kHeadings, {}, {c.columns, 10}), std::vector<std::string>{c.heading})
        << c.columns << " columns";
  }
}

TEST(TableHeight, RowsThatDoNotFitAreCountedOnALineOfTheirOwn) {
  struct Case {
    unsigned rows;
    int units;
    std::vector<std::string> firstColumn;  // each line's start
  };
  const Case cases[] = {
      {0, 3, {"Station:", "/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3"}},
      {6, 3, {"Station:", "/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3"}},
      {5, 3, {"Station:", "/dev/hidraw1", "+2 more"}},
      {4, 3, {"Station:", "+3 more"}},
      {3, 3, {"Station:"}},
      {1, 3, {"Station:"}},
      {24, 30, {"Station:", "/dev/hidraw1", "/dev/hidraw2", "/dev/hidraw3", "/dev/hidraw4", "/dev/hidraw5",
                "/dev/hidraw6", "/dev/hidraw7", "/dev/hidraw8", "/dev/hidraw9", "/dev/hidraw10", "/dev/hidraw11",
                "/dev/hidraw12", "/dev/hidraw13", "/dev/hidraw14", "/dev/hidraw15", "/dev/hidraw16",
                "/dev/hidraw17", "/dev/hidraw18", "/dev/hidraw19", "/dev/hidraw20", "+10 more"}},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> lines = LayOutStationTable(kHeadings, Units(Paths::Linux, c.units, true), {80, c.rows});
    ASSERT_EQ(lines.size(), c.firstColumn.size()) << c.rows << " rows";
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].substr(0, lines[i].find(' ')), c.firstColumn[i].substr(0, c.firstColumn[i].find(' ')))
          << c.rows << " rows, line " << i;
      if (c.firstColumn[i][0] == '+') {
        EXPECT_EQ(lines[i], c.firstColumn[i]);
      }
    }
  }
}

TEST(TableText, DeviceTextIsEscapedAndMeasuredInColumns) {
  struct Case {
    std::string text;
    std::size_t columns;
  };
  const Case cases[] = {
      {"EMU-0001", 8},
      {"\xE2\x80\xA6", 1},                  // the ellipsis
      {"\xE8\xA3\xBD\xE5\x93\x81", 4},      // two CJK ideographs
      {"\xEF\xBC\xA1", 2},                  // a fullwidth A
      {"\xF0\x9F\x98\x80", 2},              // an emoji
      {"e\xCC\x81", 1},                     // e and a combining acute accent
      {"\xC3\xA9", 1},                      // a precomposed e acute
  };
  for (const Case& c : cases) EXPECT_EQ(TextColumns(c.text), c.columns) << c.text;

  // A serial of wide characters and one that moves the cursor: within the
  // width, and no control character reaches the terminal.
  std::string wide;
  for (int i = 0; i < 20; ++i) wide += "\xE8\xA3\xBD";
  for (const std::string& serial : {wide, std::string("\x1b[2J\x1b[H\r\nEVIL\xE2\x80\xAE")}) {
    for (const unsigned columns : {40u, 80u}) {
      const auto lines =
          LayOutStationTable({"H"}, {{"A\x1b]0;x\x07", "/dev/hidraw1", serial, "MCU", 500, "00:00.100"}}, {columns, 10});
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_LT(TextColumns(lines[1]), columns) << lines[1];
      for (const char ch : lines[1]) EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << lines[1];
      EXPECT_EQ(lines[1].find("\xE2\x80\xAE"), std::string::npos) << "a bidi override reached the terminal";
    }
  }
}

TEST(TablePath, TheInterfaceClassGoesAndBackslashesStay) {
  struct Case {
    std::string path;
    std::string shown;
  };
  const Case cases[] = {
      {"\\\\?\\hid#vid_1209&pid_0121#7&2a&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
       "\\\\?\\hid#vid_1209&pid_0121#7&2a&0&0000"},
      {"/dev/hidraw3", "/dev/hidraw3"},
      {"emulated:3#{4d1e55b2}", "emulated:3#{4d1e55b2}"},  // not a class: kept
      {"/dev/\x1b[2Jhidraw3", "/dev/\\x1b[2Jhidraw3"},
  };
  for (const Case& c : cases) EXPECT_EQ(TablePathText(c.path), c.shown);
}

}  // namespace
}  // namespace orvik::cli
