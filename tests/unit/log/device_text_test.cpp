// The one policy for device text: what a spoofing serial number looks like
// on a terminal, in JSON and in a CSV cell, and that each reads back exactly.
#include <gtest/gtest.h>

#include <string>

#include "log/device_text.h"

namespace {

using orvik::DeviceTextForCsv;
using orvik::DeviceTextForJson;
using orvik::DeviceTextForTerminal;
using orvik::DeviceTextFromCsv;
using orvik::DeviceTextFromEscaped;

TEST(DeviceTextPolicy, CharactersThatHideOrReorderTextAreEscapedAlikeInAllThreeOutputsAndReadBackExactly) {
  struct Case {
    std::string bytes;
    std::string shown;  // terminal and JSON; the CSV cell quotes it
  };
  for (const Case& c : {
           Case{"SN-0001", "SN-0001"},
           Case{"\xc3\xa9\xe2\x82\xac", "\xc3\xa9\xe2\x82\xac"},                 // é € shown as they are
           Case{"A\xe2\x80\x8b" "B", "A\\u{200b}B"},                              // zero-width space
           Case{"A\xe2\x80\x8c\xe2\x80\x8d" "B", "A\\u{200c}\\u{200d}B"},           // zero-width (non-)joiner
           Case{"A\xe2\x81\xa0" "B\xef\xbb\xbf", "A\\u{2060}B\\u{feff}"},          // word joiner, BOM
           Case{"\xe2\x80\x8e" "1\xe2\x80\x8f", "\\u{200e}1\\u{200f}"},            // LRM, RLM
           Case{"\xe2\x80\xaa\xe2\x80\xae", "\\u{202a}\\u{202e}"},                 // embedding, override
           Case{"\xe2\x81\xa6" "x\xe2\x81\xa9", "\\u{2066}x\\u{2069}"},            // isolates
           Case{"1\xe2\x80\xa8" "2\xe2\x80\xa9", "1\\u{2028}2\\u{2029}"},          // line, paragraph separator
           Case{"\xc2\x85\xc2\x9b", "\\u{85}\\u{9b}"},                             // C1: NEL, CSI
           Case{"\x1b[2J\x7f\r\n", "\\x1b[2J\\x7f\\x0d\\x0a"},                     // C0, DEL
           Case{"C:\\x41\\", "C:\\x5cx41\\x5c"},                                  // a backslash is one too
           Case{"\xff\xe2\x82", "\\xff\\xe2\\x82"},                                // invalid, cut off
       }) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(DeviceTextForTerminal(c.bytes), c.shown);
    EXPECT_EQ(DeviceTextForJson(c.bytes), c.shown);
    EXPECT_EQ(DeviceTextForCsv(c.bytes), "\"" + c.shown + "\"");
    EXPECT_EQ(DeviceTextFromEscaped(c.shown), c.bytes);
    EXPECT_EQ(DeviceTextFromCsv(c.shown), c.bytes);
  }
}

TEST(DeviceTextPolicy, CsvCellsNeutraliseFormulasAndQuotesAndMalformedEscapesAreRefused) {
  struct Case {
    std::string bytes;
    std::string cell;
  };
  for (const Case& c : {Case{"=1+1", "\"'=1+1\""}, Case{"'x", "\"''x\""}, Case{"a\"b", "\"a\"\"b\""},
                        Case{"@\xe2\x80\x8b", "\"'@\\u{200b}\""}}) {
    EXPECT_EQ(DeviceTextForCsv(c.bytes), c.cell);
    std::string content = c.cell.substr(1, c.cell.size() - 2);
    for (std::size_t at = 0; (at = content.find("\"\"", at)) != std::string::npos; ++at) content.erase(at, 1);
    EXPECT_EQ(DeviceTextFromCsv(content), c.bytes);
  }
  for (const char* bad : {"\\", "a\\q", "\\x4", "\\u{}", "\\u{110000}", "\\u{d800}", "\\u{1234567}", "\\u{12"}) {
    EXPECT_FALSE(DeviceTextFromEscaped(bad)) << bad;
  }
}

}  // namespace
