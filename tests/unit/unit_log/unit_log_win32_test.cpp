// The held folder on Windows (run through Wine): what Windows makes of the
// folder's name, what the check asks, and a folder that cannot be swapped.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "log/log.h"
#include "log/native_path.h"
#include "station/unit_log.h"
#include "support/test_support.h"

namespace orvik::station {
namespace {

namespace fs = std::filesystem;

std::string Utf8(const fs::path& path) { return PathToUtf8(path); }

// Windows sets the read-only attribute on customised folders (Documents)
// and still lets files be made there: it does not refuse the folder.
TEST(UnitLogFolderWin32, AReadOnlyAttributeDoesNotRefuseAFolder) {
  test::TempDir dir;
  fs::create_directory(dir / "Documents");
  ASSERT_TRUE(SetFileAttributesW((dir / "Documents").c_str(), FILE_ATTRIBUTE_READONLY));
  std::string error;
  const auto folder = UnitLogFolder::Open(dir / "Documents", error);
  ASSERT_TRUE(folder) << error;
  std::shared_ptr<CLog> log = folder->LogFor("EMU-0001", "", error);
  ASSERT_TRUE(log) << error;
  log->Write("in Documents");
  EXPECT_EQ(test::StripTimeStamps(test::ReadLogLines(dir / "Documents" / "EMU-0001.log")),
            std::vector<std::string>{"in Documents"});
  SetFileAttributesW((dir / "Documents").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// While the station holds it, the folder cannot be renamed away (to put a
// link in its place); the check leaves no file behind.
TEST(UnitLogFolderWin32, AHeldFolderCannotBeSwapped) {
  test::TempDir dir;
  fs::create_directory(dir / "logs");
  std::string error;
  const auto folder = UnitLogFolder::Open(dir / "logs", error);
  ASSERT_TRUE(folder) << error;
  EXPECT_TRUE(fs::is_empty(dir / "logs")) << "the write check's file is gone";
  EXPECT_FALSE(MoveFileW((dir / "logs").c_str(), (dir / "moved").c_str()));
  const auto log = folder->LogFor("EMU-0001", "", error);
  ASSERT_TRUE(log) << error;
  log->Write("still here");
  EXPECT_EQ(test::StripTimeStamps(test::ReadLogLines(dir / "logs" / "EMU-0001.log")),
            std::vector<std::string>{"still here"});
}

// Names as a Windows user types them: a last name ending in a blank or dots
// is the folder without them, as every Win32 open takes it; a path deeper
// than MAX_PATH works. The logs land in the folder that was checked.
TEST(UnitLogFolderWin32, TakesTheFolderWindowsOpensForTheNameGiven) {
  test::TempDir dir;
  std::string deep = Utf8(dir.path());
  while (deep.size() < 300) deep += "\\" + std::string(40, 'd');
  ASSERT_TRUE(fs::create_directories(PathFromUtf8(deep)));
  fs::create_directory(dir / "L");
  fs::create_directory(dir / "dots");
  struct Case {
    std::string given;
    fs::path written;  // where the unit's log must be
  };
  const Case cases[] = {
      {Utf8(dir.path()) + "\\L ", PathFromUtf8(Utf8(dir.path()) + "\\L\\EMU-0001.log")},
      {Utf8(dir.path()) + "\\dots...", PathFromUtf8(Utf8(dir.path()) + "\\dots\\EMU-0001.log")},
      {Utf8(dir.path()) + "/L", PathFromUtf8(Utf8(dir.path()) + "\\L\\EMU-0001.log")},
      {deep, PathFromUtf8(deep + "\\EMU-0001.log")},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto folder = UnitLogFolder::Open(PathFromUtf8(c.given), error);
    ASSERT_TRUE(folder) << c.given << ": " << error;
    const auto log = folder->LogFor("EMU-0001", "", error);
    ASSERT_TRUE(log) << c.given << ": " << error;
    log->Write("given " + c.given);
    const auto lines = test::StripTimeStamps(test::ReadLogLines(c.written));
    ASSERT_FALSE(lines.empty()) << c.given;
    EXPECT_EQ(lines.back(), "given " + c.given);
  }
}

}  // namespace
}  // namespace orvik::station
