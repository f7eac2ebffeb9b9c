// The held folder on POSIX: what may not take units' logs, and a folder
// swapped for a symbolic link while the station runs.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "log/log.h"
#include "station/unit_log.h"
#include "support/test_support.h"

namespace orvik::station {
namespace {

namespace fs = std::filesystem;

// What each folder is refused for. Another user's folder needs root to make.
TEST(UnitLogFolderPosix, RefusesAFolderOthersMayChange) {
  test::TempDir dir;
  fs::create_directory(dir / "real");
  fs::create_symlink(dir / "real", dir / "link");
  struct Case {
    const char* name;
    mode_t mode;   // 0: as made
    uid_t owner;   // -1: as made
    const char* problem;
  };
  const Case cases[] = {
      {"link", 0, static_cast<uid_t>(-1), "is a symbolic link"},
      {"open", 0777, static_cast<uid_t>(-1), "may be written by others"},
      {"sticky", 01777, static_cast<uid_t>(-1), "may be written by others"},
      {"group", 0775, static_cast<uid_t>(-1), "may be written by others"},
      {"others", 0755, 65534, "is not your own"},
      {"mine", 0700, static_cast<uid_t>(-1), ""},
  };
  for (const Case& c : cases) {
    if (c.owner != static_cast<uid_t>(-1) && ::geteuid() != 0) continue;
    const fs::path folder = dir / c.name;
    if (!fs::exists(folder)) fs::create_directory(folder);
    if (c.mode != 0) {
      ASSERT_EQ(::chmod(folder.c_str(), c.mode), 0);
    }
    if (c.owner != static_cast<uid_t>(-1)) {
      ASSERT_EQ(::chown(folder.c_str(), c.owner, c.owner), 0);
    }
    std::string error;
    const auto opened = UnitLogFolder::Open(folder, error);
    EXPECT_EQ(opened != nullptr, std::string(c.problem).empty()) << c.name;
    EXPECT_EQ(error, c.problem) << c.name;
  }
}

// Swapped after the check, mid-station: the folder renamed away and a link
// to another folder put in its place. Every later unit's log still goes
// into the folder that was checked; nothing reaches the link's target.
TEST(UnitLogFolderPosix, AFolderSwappedForALinkIsNeverWrittenThrough) {
  test::TempDir dir;
  fs::create_directory(dir / "logs");
  fs::permissions(dir / "logs", fs::perms::owner_all, fs::perm_options::replace);
  fs::create_directory(dir / "elsewhere");
  std::string error;
  const auto folder = UnitLogFolder::Open(dir / "logs", error);
  ASSERT_TRUE(folder) << error;
  ASSERT_TRUE(folder->LogFor("EMU-0001", "", error)) << error;
  fs::rename(dir / "logs", dir / "moved");
  fs::create_directory_symlink(dir / "elsewhere", dir / "logs");
  const auto log = folder->LogFor("EMU-0002", "", error);
  ASSERT_TRUE(log) << error;
  log->Write("after the swap");
  EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));
  EXPECT_EQ(test::StripTimeStamps(test::ReadLogLines(dir / "moved" / "EMU-0002.log")),
            std::vector<std::string>{"after the swap"});
}

// A link planted under a unit's log name is not followed: that unit's log
// is refused, the link's target untouched.
TEST(UnitLogFolderPosix, ALinkUnderAUnitsNameIsNotFollowed) {
  test::TempDir dir;
  fs::create_directory(dir / "logs");
  fs::permissions(dir / "logs", fs::perms::owner_all, fs::perm_options::replace);
  test::WriteBytes(dir / "target", {'k', 'e', 'e', 'p'});
  fs::create_symlink(dir / "target", dir / "logs" / "EMU-0001.log");
  std::string error;
  const auto folder = UnitLogFolder::Open(dir / "logs", error);
  ASSERT_TRUE(folder) << error;
  EXPECT_FALSE(folder->LogFor("EMU-0001", "", error));
  EXPECT_NE(error.find("EMU-0001.log"), std::string::npos) << error;
  EXPECT_EQ(test::ReadBytes(dir / "target"), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
}

}  // namespace
}  // namespace orvik::station
