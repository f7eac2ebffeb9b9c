// Command-line text to Windows paths (run through Wine): UTF-16 from the
// UTF-8 bytes, Win32's normalisation, the long-path prefix, and the names
// Windows keeps for devices.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "log/native_path.h"
#include "support/test_support.h"

namespace orvik {
namespace {

namespace fs = std::filesystem;

TEST(PathFromUtf8, ReadsTheBytesAsUtf8) {
  struct Case {
    std::string utf8;
    std::wstring name;  // the last name of the path made
  };
  const Case cases[] = {
      {"Ger\xC3\xA4t", L"Ger\u00E4t"},
      {"\xE6\x97\xA5\xE6\x9C\xAC", L"\u65E5\u672C"},
      {"a\xF0\x9F\x98\x80", L"a\U0001F600"},
      {"rec.csv.", L"rec.csv"},
      {"L ", L"L"},
      {"dots...", L"dots"},
      {"x\\y\\..\\z", L"z"},
  };
  for (const Case& c : cases) {
    const fs::path path = PathFromUtf8(c.utf8);
    EXPECT_TRUE(path.is_absolute()) << c.utf8;
    EXPECT_EQ(path.filename().wstring(), c.name) << c.utf8;
  }
  EXPECT_TRUE(PathFromUtf8("").empty());
}

// A file made through the path of a folder with such a name is found by
// its UTF-16 name.
TEST(PathFromUtf8, OpensTheFolderOfThatName) {
  test::TempDir dir;
  const std::wstring wide = (dir.path() / L"Ger\u00E4t").wstring();
  ASSERT_TRUE(CreateDirectoryW(wide.c_str(), nullptr));
  std::ofstream(PathFromUtf8(PathToUtf8(dir.path()) + "\\Ger\xC3\xA4t\\r.txt")) << "x";
  EXPECT_NE(GetFileAttributesW((wide + L"\\r.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

// Deeper than MAX_PATH: the prefix is added, and the file can be made.
TEST(PathFromUtf8, GivesALongPathThePrefix) {
  test::TempDir dir;
  std::string deep = PathToUtf8(dir.path());
  while (deep.size() < 400) deep += "\\" + std::string(50, 'x');
  const fs::path path = PathFromUtf8(deep);
  EXPECT_EQ(path.wstring().rfind(L"\\\\?\\", 0), 0u) << PathToUtf8(path);
  ASSERT_TRUE(fs::create_directories(path));
  std::ofstream(path / "deep.txt") << "x";
  EXPECT_TRUE(fs::exists(path / "deep.txt"));
  EXPECT_EQ(PathFromUtf8(PathToUtf8(dir.path())).wstring().rfind(L"\\\\?\\", 0), std::wstring::npos)
      << "a short path stays as it is";
  EXPECT_EQ(ReachablePath(PathFromUtf8(deep)), path) << "a prefix is added once";
}

TEST(FileNameAsOpened, DropsWhatWindowsDrops) {
  const std::pair<const char*, const char*> cases[] = {
      {"rec.csv.", "rec.csv"}, {"C:\\x\\rec.CSV. . ", "rec.CSV"}, {"a/b.jsonl", "b.jsonl"},
      {"units.db...", "units.db"}, {"plain", "plain"}, {"..", ".."},
  };
  for (const auto& [given, opened] : cases) EXPECT_EQ(FileNameAsOpened(given), opened) << given;
}

TEST(PathNameProblem, NamesADeviceAnywhereInThePath) {
  const std::pair<const char*, bool> cases[] = {
      {"COM\xC2\xB9", true},        {"C:\\logs\\LPT\xC2\xB2\\x", true}, {"nul.csv", true},
      {"x/CON/y", true},            {"conin$", true},                   {"COM10", false},
      {"units\\COMPANY.csv", false}, {"Ger\xC3\xA4t", false},             {"C:\\logs", false},
  };
  for (const auto& [path, device] : cases) EXPECT_EQ(!PathNameProblem(path).empty(), device) << path;
}

}  // namespace
}  // namespace orvik
