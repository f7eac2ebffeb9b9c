// A station's per-unit logs: the file name each unit gets, and the held
// folder they are opened in. Runs on Linux and, through Wine, on Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "log/native_path.h"
#include "station/unit_log.h"
#include "support/test_support.h"

namespace orvik::station {
namespace {

std::string Folded(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
  return name;
}

// Names that are the serial itself, and the stems of those that carry a hash.
TEST(UnitLogName, KeepsAPlainSerialAndHashesEveryOtherName) {
  struct Case {
    std::string serial, path;
    std::string stem;  // the name before ".log", or before "~HASH.log" when hashed
    bool hashed;
  };
  const std::vector<Case> cases = {
      {"EMU-0001", "emulated:1", "EMU-0001", false},
      {"0123456789AB", "", "0123456789AB", false},
      {"ABC", "", "ABC", false},
      {"abc", "", "abc", true},  // lower case: could meet "ABC" on Windows
      {"", "/dev/hidraw3", "dev-hidraw3", true},
      {"", "emulated:2", "emulated_2", true},
      {"../../etc/passwd", "", "_._.._etc_passwd", true},
      {"a\x1b[2J\x07z", "", "a_[2J_z", true},
      {"C:\\x|y*?\"<>", "", "C__x_y_____", true},
      {"CON", "", "_CON", true},
      {"nul.txt", "", "_nul.txt", true},
      {"COM\xC2\xB9", "", "_COM\xC2\xB9", true},          // COM¹
      {"lpt\xC2\xB2.log", "", "_lpt\xC2\xB2.log", true},  // lpt².log
      {"COM10", "", "COM10", false},
      {"LPT1 ", "", "LPT1_", true},
      {"dots...", "", "dots___", true},
      {"A~1", "", "A~1", true},                         // '~': as Windows' short names
      {"a\xE2\x80\x8E" "b", "", "a_b", true},           // U+200E left-to-right mark
      {"\xEF\xBB\xBF" "AB", "", "_AB", true},           // U+FEFF
      {"x\xE2\x80\xAE" "gol.exe", "", "x_gol.exe", true},  // U+202E right-to-left override
      {"\xff\xfe\xc3", "", "___", true},
      {"\xc2\x85x", "", "_x", true},                    // C1 control
      {"\xC3\x9Cnit \xE2\x9C\x93", "", "\xC3\x9Cnit \xE2\x9C\x93", true},  // "Ünit ✓"
      {std::string(300, 'X'), "", std::string(kMaxLogStem, 'X'), true},
  };
  for (const Case& c : cases) {
    const std::string name = UnitLogFileName(c.serial, c.path);
    if (!c.hashed) {
      EXPECT_EQ(name, c.stem + ".log") << c.serial << " " << c.path;
      continue;
    }
    ASSERT_GT(name.size(), c.stem.size()) << name;
    EXPECT_EQ(name.substr(0, c.stem.size()), c.stem) << c.serial << " " << c.path;
    EXPECT_TRUE(std::regex_match(name.substr(c.stem.size()), std::regex("~[0-9a-f]{8}\\.log"))) << name;
  }
}

// Units that one safe name would have put into one file, and two
// attachments that are one unit.
TEST(UnitLogName, DistinctUnitsNeverShareANameEvenWithoutRegardToCase) {
  struct Unit {
    std::string serial, path;
  };
  const std::vector<std::pair<Unit, Unit>> pairs = {
      {{"a:b", ""}, {"a?b", ""}},
      {{"CON", ""}, {"_CON", ""}},
      {{"emulated_3", ""}, {"", "emulated:3"}},
      {{"abc", ""}, {"ABC", ""}},
      {{"abc", ""}, {"aBc", ""}},
      {{"dev-hidraw3", ""}, {"", "/dev/hidraw3"}},
      {{"", "/dev/hidraw3"}, {"", "/dev-hidraw3"}},
      {{"a\xE2\x80\x8E" "b", ""}, {"a\xEF\xBB\xBF" "b", ""}},
      {{"COM\xC2\xB9", ""}, {"_COM\xC2\xB9", ""}},
      {{"x.", ""}, {"x_", ""}},
      {{std::string(100, 'X') + "1", ""}, {std::string(100, 'X') + "2", ""}},
  };
  for (const auto& [first, second] : pairs) {
    EXPECT_NE(Folded(UnitLogFileName(first.serial, first.path)), Folded(UnitLogFileName(second.serial, second.path)))
        << first.serial << first.path << " / " << second.serial << second.path;
  }
  EXPECT_EQ(UnitLogFileName("EMU-0001", "emulated:1"), UnitLogFileName("EMU-0001", "emulated:9"));
}

// Whatever the serial, the name is one Windows and Linux both take as it is.
TEST(UnitLogName, NeverEndsInABlankOrADotNorNamesADevice) {
  const std::vector<std::string> serials = {"CON",    "con .",   "AUX.  ", "NUL",     "PRN.x",  "CONIN$",
                                            "COM0",   "LPT9",    "lpt\xC2\xB3", "x ", "x.",     " . ",
                                            "",       ".",       "..",     "-rf",     "~",      std::string(97, '.')};
  for (const std::string& serial : serials) {
    for (unsigned salt = 0; salt < 3; ++salt) {
      const std::string name = UnitLogFileName(serial, "", salt);
      const std::string stem = name.substr(0, name.size() - 4);
      EXPECT_TRUE(name.ends_with(".log")) << name;
      EXPECT_FALSE(IsReservedDeviceName(stem)) << name;
      EXPECT_FALSE(IsReservedDeviceName(name)) << name;
      EXPECT_NE(stem.back(), '.') << name;
      EXPECT_NE(stem.back(), ' ') << name;
      EXPECT_NE(stem.front(), '.') << name;
      EXPECT_NE(stem.front(), '-') << name;
    }
  }
}

// A unit keeps its file from one station to the next, and from one version
// to the next: the hash is fixed (these names are in the guide).
TEST(UnitLogName, TheHashIsStable) {
  EXPECT_EQ(UnitLogFileName("abc", ""), "abc~f0ba6767.log");
  EXPECT_EQ(UnitLogFileName("", "/dev/hidraw3"), "dev-hidraw3~0d760557.log");
}

TEST(UnitLogName, ASaltGivesAnotherName) {
  EXPECT_NE(UnitLogFileName("abc", "", 0), UnitLogFileName("abc", "", 1));
  EXPECT_NE(UnitLogFileName("ABC", "", 0), UnitLogFileName("ABC", "", 1));
}

// A folder only its owner may write, whatever the umask.
void OwnerOnly(const std::filesystem::path& folder) {
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
}

class UnitLogs : public ::testing::Test {
 protected:
  void SetUp() override { OwnerOnly(dir.path()); }
  std::shared_ptr<UnitLogFolder> Open() {
    std::string error;
    auto folder = UnitLogFolder::Open(dir.path(), error);
    EXPECT_TRUE(folder) << error;
    return folder;
  }
  std::set<std::string> FilesThere() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      const std::u8string name = entry.path().filename().u8string();
      names.insert(std::string(name.begin(), name.end()));
    }
    return names;
  }
  test::TempDir dir;
};

// Each pair of distinct units writes two files of its own, each with only
// its own lines, on a file system that ignores case (Windows) or not.
TEST_F(UnitLogs, DistinctUnitsThatOneSafeNameWouldJoinGetTwoFiles) {
  const auto folder = Open();
  ASSERT_TRUE(folder);
  const std::vector<std::pair<std::string, std::string>> units = {
      {"a:b", ""}, {"a?b", ""}, {"CON", ""}, {"_CON", ""}, {"emulated_3", ""}, {"", "emulated:3"},
      {"abc", ""}, {"ABC", ""}, {"a\xE2\x80\x8E" "b", ""}, {"a\xEF\xBB\xBF" "b", ""}};
  std::vector<std::shared_ptr<CLog>> logs;
  for (const auto& [serial, path] : units) {
    std::string error;
    logs.push_back(folder->LogFor(serial, path, error));
    ASSERT_TRUE(logs.back()) << serial << path << ": " << error;
    logs.back()->Write("unit " + serial + path);
  }
  EXPECT_EQ(FilesThere().size(), units.size());
  for (const auto& [serial, path] : units) {
    const std::string name = UnitLogFileName(serial, path);
    const auto lines = test::StripTimeStamps(
        test::ReadLogLines(dir.path() / std::filesystem::path(std::u8string(name.begin(), name.end()))));
    EXPECT_EQ(lines, std::vector<std::string>{"unit " + serial + path}) << serial << path;
  }
}

TEST_F(UnitLogs, TwoAttachmentsWithOneSerialShareTheOpenLogOnly) {
  const auto folder = Open();
  ASSERT_TRUE(folder);
  std::string error;
  auto first = folder->LogFor("EMU-0001", "emulated:1", error);
  auto second = folder->LogFor("EMU-0001", "emulated:2", error);
  ASSERT_TRUE(first && second) << error;
  EXPECT_EQ(first, second);
  auto other = folder->LogFor("EMU-0002", "emulated:3", error);
  EXPECT_NE(other, first);
  EXPECT_EQ(folder->OpenLogs(), 2u);
  first.reset();
  second.reset();
  EXPECT_EQ(folder->OpenLogs(), 1u) << "a closed log leaves the table";
}

// Two serials whose names collide (the same stem, and a 32-bit hash that
// happens to be equal: found by search): while the first's log is open,
// the second gets a name of its own, never the first's file.
TEST_F(UnitLogs, ANameHeldByAnotherUnitIsPassedOver) {
  const std::string first = "Q<<\x03?\n";
  const std::string second = "Q<:\"\x12\x0c";
  ASSERT_EQ(UnitLogFileName(first, ""), UnitLogFileName(second, "")) << "the two serials collide";
  const auto folder = Open();
  ASSERT_TRUE(folder);
  std::string error;
  const auto firstLog = folder->LogFor(first, "", error);
  const auto secondLog = folder->LogFor(second, "", error);
  ASSERT_TRUE(firstLog && secondLog) << error;
  EXPECT_NE(firstLog, secondLog);
  firstLog->Write("first");
  secondLog->Write("second");
  const std::string secondName = UnitLogFileName(second, "", 1);
  EXPECT_EQ(test::StripTimeStamps(test::ReadLogLines(dir / UnitLogFileName(first, ""))),
            std::vector<std::string>{"first"});
  EXPECT_EQ(test::StripTimeStamps(test::ReadLogLines(dir / secondName)), std::vector<std::string>{"second"});
}

// The engine opens logs on units' worker threads: many at once, some with
// one serial, lose no line and share only within a serial.
TEST_F(UnitLogs, ManyThreadsOpenAndWriteAtOnce) {
  const auto folder = Open();
  ASSERT_TRUE(folder);
  constexpr int kThreads = 16;
  constexpr int kSerials = 4;
  constexpr int kLines = 20;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::string error;
      const std::string serial = "UNIT-" + std::to_string(t % kSerials);
      const auto log = folder->LogFor(serial, "path:" + std::to_string(t), error);
      if (!log) {
        ++failures;
        return;
      }
      for (int i = 0; i < kLines; ++i) log->Write(serial + " thread " + std::to_string(t));
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(FilesThere().size(), static_cast<std::size_t>(kSerials));
  for (int s = 0; s < kSerials; ++s) {
    const std::string serial = "UNIT-" + std::to_string(s);
    const auto lines = test::StripTimeStamps(test::ReadLogLines(dir / (serial + ".log")));
    EXPECT_EQ(lines.size(), static_cast<std::size_t>(kThreads / kSerials * kLines)) << serial;
    for (const std::string& line : lines) EXPECT_TRUE(line.starts_with(serial + " thread ")) << line;
  }
  EXPECT_EQ(folder->OpenLogs(), 0u);
}

TEST(UnitLogFolderCheck, RefusesWhatIsNotAFolder) {
  test::TempDir dir;
  test::WriteBytes(dir / "file", {'x'});
  struct Case {
    std::filesystem::path path;
    std::string problem;
  };
  for (const Case& c : {Case{dir / "none", "does not exist"}, Case{dir / "file", "is not a folder"}}) {
    std::string error;
    EXPECT_FALSE(UnitLogFolder::Open(c.path, error)) << c.path;
    EXPECT_EQ(error, c.problem) << c.path;
  }
}

// A folder named with characters outside ASCII, given as UTF-8 text, as
// the command line gives it.
TEST(UnitLogFolderCheck, TakesAFolderWithANonAsciiName) {
  test::TempDir dir;
  const std::string name = "Ger\xC3\xA4t \xE6\x97\xA5\xE6\x9C\xAC";  // "Gerät 日本"
  std::filesystem::create_directory(dir.path() / std::filesystem::path(std::u8string(name.begin(), name.end())));
  OwnerOnly(dir.path() / std::filesystem::path(std::u8string(name.begin(), name.end())));
  std::string error;
  const auto folder = UnitLogFolder::Open(PathFromUtf8(PathToUtf8(dir.path()) + "/" + name), error);
  ASSERT_TRUE(folder) << error;
  const auto log = folder->LogFor("EMU-0001", "", error);
  ASSERT_TRUE(log) << error;
  log->Write("written");
  EXPECT_EQ(test::StripTimeStamps(test::ReadLogLines(dir.path() / std::filesystem::path(std::u8string(
                                                                      name.begin(), name.end())) /
                                                     "EMU-0001.log")),
            std::vector<std::string>{"written"});
}

}  // namespace
}  // namespace orvik::station
