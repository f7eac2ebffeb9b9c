// Linux: which folder takes the log, the fallback to the state folder when
// the file beside the program is refused, and the lock file's checks.
#include "app/common/app_common_linux.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "log/log.h"
#include "support/test_support.h"

namespace orvik::app {
namespace {

using std::filesystem::path;
using test::TempDir;

constexpr uid_t kOtherUser = 65534;  // "nobody", for the root-only cases
constexpr gid_t kOtherGroup = 65534;
const std::vector<std::uint8_t> kVictimBytes(30000, 'v');

unsigned ModeOf(const path& file) {
  struct stat st {};
  EXPECT_EQ(::lstat(file.c_str(), &st), 0) << file;
  return st.st_mode & 07777;
}

// A folder that is not the user's to take: another user's where the test
// runs as root, otherwise one the user cannot write.
void MakeForeign(const path& folder) {
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(folder.c_str(), kOtherUser, kOtherGroup), 0);
  } else {
    std::filesystem::permissions(folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  }
}

TEST(FolderTakesTheLog, OnlyAnOwnWritableFolderOutsideTheSystem) {
  TempDir dir;
  std::filesystem::create_directory(dir / "foreign");
  MakeForeign(dir / "foreign");
  const std::pair<path, bool> cases[] = {
      {dir.path(), true},
      {dir / "foreign", false},
      // Root owns and may write these, and still does not log there; the
      // rule goes by the path, on systems with a separate /usr too.
      {"/usr/bin", false},
      {"/usr/local/bin", false},
      {"/sbin", false},
      {dir / "missing", false},
  };
  for (const auto& [folder, takes] : cases) EXPECT_EQ(FolderTakesTheLog(folder), takes) << folder;
}

// Where the lines went for each thing found beside the program.
enum class LogLands { Beside, InState, Nowhere };

struct PlacementCase {
  const char* name;
  std::function<void(const TempDir&)> plant;  // in "bin" (beside) and "state home"
  LogLands lands;
};

void PrintTo(const PlacementCase& placement, std::ostream* out) { *out << placement.name; }

const PlacementCase kPlacements[] = {
    {"NothingThere", [](const TempDir&) {}, LogLands::Beside},
    {"SymlinkBeside", [](const TempDir& dir) { std::filesystem::create_symlink(dir / "victim", dir / "bin" / "p.log"); },
     LogLands::InState},
    {"ForeignFolder", [](const TempDir& dir) { MakeForeign(dir / "bin"); }, LogLands::InState},
    {"SymlinkBesideAndInState",
     [](const TempDir& dir) {
       std::filesystem::create_symlink(dir / "victim", dir / "bin" / "p.log");
       std::filesystem::create_directories(dir / "state home" / "orvik-updater");
       std::filesystem::create_symlink(dir / "victim", dir / "state home" / "orvik-updater" / "p.log");
     },
     LogLands::Nowhere},
    // The state folder's parent a link that someone who may write the folder
    // around it planted: the fallback neither follows it nor creates
    // anything behind it.
    {"SymlinkedStateParentInAFolderOthersWrite",
     [](const TempDir& dir) {
       std::filesystem::create_symlink(dir / "victim", dir / "bin" / "p.log");
       std::filesystem::create_directory(dir / "elsewhere");
       std::filesystem::create_symlink(dir / "elsewhere", dir / "state home");
       std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
     },
     LogLands::Nowhere},
    // The same link in a folder only the user writes is the user's own: followed.
    {"SymlinkedStateParentInAnOwnFolder",
     [](const TempDir& dir) {
       std::filesystem::create_symlink(dir / "victim", dir / "bin" / "p.log");
       std::filesystem::create_directory(dir / "elsewhere");
       std::filesystem::permissions(dir / "elsewhere", std::filesystem::perms::owner_all);
       std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
       std::filesystem::create_symlink(dir / "elsewhere", dir / "state home");
     },
     LogLands::InState},
};

class LogPlacement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(LogPlacement, RefusedFileBesideSendsTheLinesToTheStateFolderAndNoWhereElse) {
  TempDir dir;
  std::filesystem::create_directory(dir / "bin");
  test::WriteBytes(dir / "victim", kVictimBytes);
  GetParam().plant(dir);
  const path beside = dir / "bin" / "p.log";
  const path state = dir / "state home" / "orvik-updater" / "p.log";
  {
    CLog log;
    EXPECT_EQ(OpenLogBesideOrInState(log, beside, state), GetParam().lands != LogLands::Nowhere);
    log.Write("the line");
  }
  EXPECT_EQ(test::ReadBytes(dir / "victim"), kVictimBytes);
  const std::vector<std::string> line{"the line"};
  switch (GetParam().lands) {
    case LogLands::Beside:
      EXPECT_EQ(test::StripTimeStamps(test::ReadLogLines(beside)), line);
      EXPECT_FALSE(std::filesystem::exists(dir / "state home")) << "a state folder nobody needed";
      break;
    case LogLands::InState:
      EXPECT_EQ(test::StripTimeStamps(test::ReadLogLines(state)), line);
      // Every folder the fallback created is private.
      if (!std::filesystem::is_symlink(dir / "state home")) {
        EXPECT_EQ(ModeOf(dir / "state home"), 0700u);
      }
      EXPECT_EQ(ModeOf(state.parent_path()), 0700u);
      break;
    case LogLands::Nowhere:
      EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere" / "orvik-updater")) << "created behind a planted link";
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Planted, LogPlacement, ::testing::ValuesIn(kPlacements),
                         [](const auto& info) { return std::string(info.param.name); });

// What may already be at the lock file's path (in /tmp, anyone's).
struct LockCase {
  const char* name;
  std::function<void(const path& lock, const path& victim)> plant;
  bool usable;  // held by this instance; otherwise it runs without a lock
  bool needsRoot;
};

void PrintTo(const LockCase& lock, std::ostream* out) { *out << lock.name; }

const LockCase kLocks[] = {
    {"Nothing", [](const path&, const path&) {}, true, false},
    {"OwnFileOpenToOthers",
     [](const path& lock, const path&) {
       test::WriteBytes(lock, {});
       std::filesystem::permissions(lock, std::filesystem::perms(0666));
     },
     true, false},
    {"Symlink", [](const path& lock, const path& victim) { std::filesystem::create_symlink(victim, lock); }, false,
     false},
    {"Fifo", [](const path& lock, const path&) { ASSERT_EQ(::mkfifo(lock.c_str(), 0666), 0); }, false, false},
    {"HardLink", [](const path& lock, const path& victim) { std::filesystem::create_hard_link(victim, lock); }, false,
     false},
    {"OtherUsersFile",
     [](const path& lock, const path&) {
       test::WriteBytes(lock, {});
       std::filesystem::permissions(lock, std::filesystem::perms(0666));
       ASSERT_EQ(::chown(lock.c_str(), kOtherUser, kOtherGroup), 0);
     },
     false, true},
};

class LockFile : public ::testing::TestWithParam<LockCase> {};

TEST_P(LockFile, OnlyAPrivateFileOfTheUsersOwnIsLocked) {
  if (GetParam().needsRoot && ::geteuid() != 0) GTEST_SKIP() << "needs root to plant this";
  TempDir dir;
  const path lock = dir / "orvik-updater.lock";
  const path victim = dir / "victim";
  test::WriteBytes(victim, kVictimBytes);
  std::filesystem::permissions(victim, std::filesystem::perms(0644));
  GetParam().plant(lock, victim);

  const auto start = std::chrono::steady_clock::now();
  const std::unique_ptr<SingleInstance> instance = AcquireLockFile(lock);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  ASSERT_NE(instance, nullptr);
  if (GetParam().usable) {
    EXPECT_EQ(instance->Note(), "");
    EXPECT_EQ(ModeOf(lock), 0600u);
    EXPECT_EQ(AcquireLockFile(lock), nullptr) << "the lock is not held";
  } else {
    EXPECT_NE(instance->Note().find(lock.string()), std::string::npos) << instance->Note();
    // Nothing was locked or changed through the planted name.
    EXPECT_EQ(ModeOf(victim), 0644u);
    EXPECT_EQ(test::ReadBytes(victim), kVictimBytes);
    const int fd = ::open(victim.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
  }
}

INSTANTIATE_TEST_SUITE_P(Planted, LockFile, ::testing::ValuesIn(kLocks),
                         [](const auto& info) { return std::string(info.param.name); });

// Who may run beside whom: stations share the lock, a lone updater (a
// single update, the window) runs beside nothing.
struct RoleCase {
  const char* name;
  InstanceRole holder;
  InstanceRole second;
  bool secondRuns;
};

constexpr RoleCase kRoles[] = {
    {"LoneBesideLone", InstanceRole::Alone, InstanceRole::Alone, false},
    {"StationBesideLone", InstanceRole::Alone, InstanceRole::Shared, false},
    {"LoneBesideStation", InstanceRole::Shared, InstanceRole::Alone, false},
    {"StationBesideStation", InstanceRole::Shared, InstanceRole::Shared, true},
};

class LockRole : public ::testing::TestWithParam<RoleCase> {};

TEST_P(LockRole, ASecondInstanceRunsOnlyBesideWhatItMay) {
  TempDir dir;
  const path lock = dir / "orvik-updater.lock";
  std::unique_ptr<SingleInstance> holder = AcquireLockFile(lock, GetParam().holder);
  ASSERT_NE(holder, nullptr);
  ASSERT_EQ(holder->Note(), "");
  std::unique_ptr<SingleInstance> second = AcquireLockFile(lock, GetParam().second);
  EXPECT_EQ(second != nullptr, GetParam().secondRuns);
  // Once the holder has ended, whoever was refused runs.
  holder.reset();
  if (!second) {
    EXPECT_NE(AcquireLockFile(lock, GetParam().second), nullptr);
  }
}

// The last of several stations keeps a lone updater off until it ends.
TEST(LockRole, ALoneUpdaterWaitsForTheLastStation) {
  TempDir dir;
  const path lock = dir / "orvik-updater.lock";
  std::unique_ptr<SingleInstance> first = AcquireLockFile(lock, InstanceRole::Shared);
  std::unique_ptr<SingleInstance> second = AcquireLockFile(lock, InstanceRole::Shared);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  first.reset();
  EXPECT_EQ(AcquireLockFile(lock, InstanceRole::Alone), nullptr);
  second.reset();
  EXPECT_NE(AcquireLockFile(lock, InstanceRole::Alone), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Roles, LockRole, ::testing::ValuesIn(kRoles),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvik::app
