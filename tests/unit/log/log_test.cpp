#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <thread>

#include "log/log.h"
#include "support/test_support.h"

namespace orvik {
namespace {

using test::ReadBytes;
using test::ReadLogLines;
using test::StripTimeStamps;
using test::TempDir;

std::vector<std::uint8_t> Utf16Le(const std::u16string& s) {
  std::vector<std::uint8_t> out;
  for (char16_t c : s) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

TEST(Log, NewFileStartsWithByteOrderMarkThenTimeStampedLine) {
  TempDir dir;
  {
    CLog log;
    log.Open(dir / "a.log", 1);
    EXPECT_TRUE(log.Write("ORVIK Updater"));
  }
  const auto bytes = ReadBytes(dir / "a.log");
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0xFE);
  // "<yyyy-mm-dd hh:mm:ss> " is 22 units, then the text, then CR LF.
  EXPECT_EQ(bytes.size(), 2u + 2 * (22 + 13 + 2));
  const auto lines = ReadLogLines(dir / "a.log");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(<\d{4}-(0[1-9]|1[0-2])-\d{2} \d{2}:\d{2}:\d{2}> ORVIK Updater)")))
      << lines[0];
}

TEST(Log, SizeBoundAppliesOnlyAtOpen) {
  TempDir dir;
  const auto path = dir / "b.log";
  // Just under the bound: appended to, unchanged.
  std::vector<std::uint8_t> below(CLog::kTruncateSize - 1, 'x');
  test::WriteBytes(path, below);
  {
    CLog log;
    log.Open(path, 1);
    log.Write("next");
  }
  auto bytes = ReadBytes(path);
  ASSERT_GT(bytes.size(), below.size());
  EXPECT_TRUE(std::equal(below.begin(), below.end(), bytes.begin()));
  EXPECT_NE(bytes[below.size()], 0xFF) << "no byte-order mark in the middle of a file";

  // At the bound: emptied, the new line from offset 0 without a mark.
  test::WriteBytes(path, std::vector<std::uint8_t>(CLog::kTruncateSize, 'y'));
  {
    CLog log;
    log.Open(path, 1);
    log.Write("fresh");
    // Within one run the file may grow past the bound.
    for (int i = 0; i < 400; ++i) log.Write("a line long enough to pass the bound quickly..........");
  }
  bytes = ReadBytes(path);
  EXPECT_EQ(bytes[0], '<');
  EXPECT_EQ(bytes[1], 0);
  EXPECT_GT(bytes.size(), CLog::kTruncateSize);
  EXPECT_EQ(StripTimeStamps(ReadLogLines(path)).front(), "fresh");
}

// A log that grew past the bound during a run, in lines of its own, is
// emptied at the next open like any file at or over the bound; the run after
// that appends to the fresh file again.
TEST(Log, ALogGrownPastTheBoundIsEmptiedAtTheNextOpenOnly) {
  TempDir dir;
  const auto path = dir / "g.log";
  {
    CLog log;
    log.Open(path, 1);
    while (std::filesystem::file_size(path) <= CLog::kTruncateSize + 1000) log.Write("one more line of a long run");
  }
  {
    CLog log;
    log.Open(path, 1);
    log.Write("second run");
  }
  {
    CLog log;
    log.Open(path, 1);
    log.Write("third run");
  }
  const auto bytes = ReadBytes(path);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes[0], '<') << "emptied: no byte-order mark";
  EXPECT_EQ(StripTimeStamps(ReadLogLines(path)), (std::vector<std::string>{"second run", "third run"}));
}

TEST(Log, EmptyTextNullTextAndNonAscii) {
  TempDir dir;
  const auto path = dir / "c.log";
  {
    CLog log;
    log.Open(path, 1);
    EXPECT_TRUE(log.Write(""));
    EXPECT_FALSE(log.Write(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(log.Write("Gerät für Ω — 中文 \xF0\x9F\x98\x80"));
  }
  const auto bytes = ReadBytes(path);
  // BOM + empty line (22 + 2 units) + second line.
  const auto text = u"Gerät für Ω — 中文 \U0001F600\r\n";
  const auto expected = Utf16Le(text);
  ASSERT_GE(bytes.size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.end() - static_cast<long>(expected.size())));
  EXPECT_EQ(bytes.size(), 2 + 2 * (22 + 2) + 2 * 22 + expected.size());
  EXPECT_EQ(StripTimeStamps(ReadLogLines(path)), (std::vector<std::string>{"", "Gerät für Ω — 中文 \xF0\x9F\x98\x80"}));
}

TEST(Log, InvalidUtf8IsReplacedNotDropped) {
  TempDir dir;
  {
    CLog log;
    log.Open(dir / "d.log", 1);
    log.Write("a\xC3(b\xFF");
  }
  EXPECT_EQ(StripTimeStamps(ReadLogLines(dir / "d.log")), (std::vector<std::string>{"a\xEF\xBF\xBD(b\xEF\xBF\xBD"}));
}

TEST(Log, TwoThreadsWriteOnlyWholeLines) {
  TempDir dir;
  const auto path = dir / "e.log";
  constexpr int kLines = 300;
  {
    CLog log;
    log.Open(path, 1);
    auto writer = [&log](char tag) {
      const std::string text(40, tag);
      for (int i = 0; i < kLines; ++i) log.Write(text);
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
  }
  const auto lines = StripTimeStamps(ReadLogLines(path));
  ASSERT_EQ(lines.size(), 2u * kLines);
  for (const auto& line : lines) {
    EXPECT_TRUE(line == std::string(40, 'a') || line == std::string(40, 'b')) << line;
  }
}

// Two programs sharing one log (the same program run twice from one folder)
// each hold their own handle: every line of both must arrive whole.
TEST(Log, TwoLogsOnOneFileLoseNoLine) {
  TempDir dir;
  const auto path = dir / "shared.log";
  constexpr int kLines = 3000;
  {
    CLog first;
    CLog second;
    first.Open(path, 1);
    second.Open(path, 1);
    auto writer = [](CLog& log, char tag) {
      const std::string text(40, tag);
      for (int i = 0; i < kLines; ++i) log.Write(text);
    };
    std::thread a(writer, std::ref(first), 'a');
    std::thread b(writer, std::ref(second), 'b');
    a.join();
    b.join();
  }
  const auto lines = StripTimeStamps(ReadLogLines(path));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(40, 'a')), kLines);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(40, 'b')), kLines);
  EXPECT_EQ(lines.size(), 2u * kLines);
}

TEST(Log, UnopenablePathMakesWritesHarmless) {
  TempDir dir;
  CLog log;
  log.Open(dir.path(), 1);  // a directory where the file should be
  EXPECT_TRUE(log.Write("lost"));
  log.Open(dir / "missing-folder" / "x.log", 1);
  EXPECT_TRUE(log.Write("lost too"));
  CLog unopened;
  EXPECT_TRUE(unopened.Write("before Open"));
}

TEST(Log, FirstLogRegistersItselfAndUnregistersOnDestruction) {
  ASSERT_EQ(g_pLog, nullptr);
  {
    CLog first;
    CLog second;
    EXPECT_EQ(g_pLog, &first);
  }
  EXPECT_EQ(g_pLog, nullptr);
}

}  // namespace
}  // namespace orvik
