// What someone else may have put at the log's path, in a folder others can
// write to: the log neither follows it, nor blocks on it, nor empties it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "log/log.h"
#include "support/test_support.h"

namespace orvik {
namespace {

using namespace std::chrono_literals;
using test::ReadBytes;
using test::TempDir;

// Owner of the planted file in the root-only cases: the conventional "nobody".
constexpr uid_t kOtherUser = 65534;
constexpr gid_t kOtherGroup = 65534;

// Past the 20,480-byte bound, so that a followed path would be emptied.
const std::vector<std::uint8_t> kVictimBytes(30000, 'v');

enum class Planted { SymlinkToFile, DanglingSymlink, FifoWithoutReader, FifoWithReader, HardLink, OtherUsersFile, Device };

struct PlantedCase {
  Planted kind;
  const char* name;
  bool needsRoot;
};

void PrintTo(const PlantedCase& planted, std::ostream* out) { *out << planted.name; }

const PlantedCase kCases[] = {
    {Planted::SymlinkToFile, "SymlinkToFile", false},   {Planted::DanglingSymlink, "DanglingSymlink", false},
    {Planted::FifoWithoutReader, "FifoWithoutReader", false},
    {Planted::FifoWithReader, "FifoWithReader", false}, {Planted::HardLink, "HardLink", false},
    {Planted::OtherUsersFile, "OtherUsersFile", true},  {Planted::Device, "Device", true},
};

class PlantedLogPath : public ::testing::TestWithParam<PlantedCase> {
 protected:
  void SetUp() override {
    if (GetParam().needsRoot && ::geteuid() != 0) GTEST_SKIP() << "needs root to plant this";
    std::filesystem::create_directory(dir / "fallback");
    switch (GetParam().kind) {
      case Planted::SymlinkToFile:
        test::WriteBytes(victim, kVictimBytes);
        std::filesystem::create_symlink(victim, planted);
        break;
      case Planted::DanglingSymlink:  // the open must not create the file it names
        std::filesystem::create_symlink(victim, planted);
        break;
      case Planted::FifoWithoutReader:
        ASSERT_EQ(::mkfifo(planted.c_str(), 0666), 0);
        break;
      case Planted::FifoWithReader:
        ASSERT_EQ(::mkfifo(planted.c_str(), 0666), 0);
        reader = ::open(planted.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        break;
      case Planted::HardLink:
        test::WriteBytes(victim, kVictimBytes);
        std::filesystem::create_hard_link(victim, planted);
        break;
      case Planted::OtherUsersFile:
        test::WriteBytes(planted, kVictimBytes);
        ASSERT_EQ(::chown(planted.c_str(), kOtherUser, kOtherGroup), 0);
        victim = planted;
        break;
      case Planted::Device:
        ASSERT_EQ(::mknod(planted.c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);  // as /dev/null
        break;
    }
  }
  void TearDown() override {
    if (reader >= 0) ::close(reader);
  }

  // Open(planted) on a thread of its own: a FIFO that blocked the open would
  // otherwise hang the test. Past the bound, a reader releases it.
  bool OpenWithinASecond(CLog& log) {
    auto opened = std::async(std::launch::async, [&] { return log.Open(planted); });
    if (opened.wait_for(1s) == std::future_status::ready) return opened.get();
    ADD_FAILURE() << "Open did not return within a second";
    const int release = ::open(planted.c_str(), O_RDONLY | O_NONBLOCK);
    const bool result = opened.get();
    if (release >= 0) ::close(release);
    return result;
  }

  TempDir dir;
  std::filesystem::path planted = dir / "orvik-updater.log";
  std::filesystem::path victim = dir / "victim";
  std::filesystem::path fallback = dir / "fallback" / "orvik-updater.log";
  int reader = -1;
};

TEST_P(PlantedLogPath, IsRefusedAtOnceUnchangedAndTheLinesGoToTheNextFile) {
  const auto before = std::filesystem::symlink_status(planted).type();
  {
    CLog log;
    EXPECT_FALSE(OpenWithinASecond(log));
    EXPECT_TRUE(log.Write("through the planted path"));
    ASSERT_TRUE(log.Open(fallback));
    log.Write("in the fallback file");
  }
  EXPECT_EQ(std::filesystem::symlink_status(planted).type(), before);
  if (GetParam().kind == Planted::DanglingSymlink) {
    EXPECT_FALSE(std::filesystem::exists(victim)) << "created through the link";
  } else if (std::filesystem::exists(victim)) {
    EXPECT_EQ(ReadBytes(victim), kVictimBytes);
  }
  if (reader >= 0) {
    char byte = 0;
    EXPECT_LE(::read(reader, &byte, 1), 0) << "a byte went into the FIFO";
  }
  EXPECT_EQ(test::StripTimeStamps(test::ReadLogLines(fallback)), (std::vector<std::string>{"in the fallback file"}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, PlantedLogPath, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvik
