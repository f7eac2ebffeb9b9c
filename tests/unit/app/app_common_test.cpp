#include "app/common/app_common.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hid/hid_device.h"
#include "image/image.h"

namespace orvik::app {
namespace {

using std::filesystem::path;

TEST(WholePathLogPath, CutsAtTheLastDotOfTheWholePath) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\Tools\\Updater.exe", "C:\\Tools\\Updater.log"},
      {"C:\\My.Tools\\Updater", "C:\\My.log"},
      {"C:\\My.Tools\\Updater.exe", "C:\\My.Tools\\Updater.log"},
      {"C:\\Tools\\Updater", "C:\\Tools\\Updater.log"},
      {"C:\\Tools\\orvik.updater.exe", "C:\\Tools\\orvik.updater.log"},
      // A "." in any folder counts, hidden folders too.
      {"/opt/orvik-1.3/orvik-updater", "/opt/orvik-1.log"},
      {"/home/ann/.local/bin/orvik-updater", "/home/ann/.log"},
      {"/srv/build/orvik-updater.", "/srv/build/orvik-updater.log"},
      // Unreadable executable path: a bare ".log" in the current folder.
      {"", ".log"},
  };
  for (const auto& [exe, log] : cases) {
    EXPECT_EQ(WholePathLogPath(path(exe)).string(), log) << exe;
  }
}

TEST(FileNameLogPath, CutsOnlyTheFileNameAndStaysInItsFolder) {
  const std::pair<const char*, const char*> cases[] = {
      {"/usr/local/bin/orvik-updater", "/usr/local/bin/orvik-updater.log"},
      // Dotted folders decide nothing.
      {"/home/ann/.local/bin/orvik-updater", "/home/ann/.local/bin/orvik-updater.log"},
      {"/home/ann/.local/bin/orvik-updater-cli", "/home/ann/.local/bin/orvik-updater-cli.log"},
      {"/opt/orvik-2.0.0.6/bin/orvik-updater-cli", "/opt/orvik-2.0.0.6/bin/orvik-updater-cli.log"},
      {"/tmp/tmp.Xa81Qz/orvik-updater", "/tmp/tmp.Xa81Qz/orvik-updater.log"},
      {"/tmp/a.b/build/app_tests", "/tmp/a.b/build/app_tests.log"},
      {"/tmp/a b.c/orvik updater", "/tmp/a b.c/orvik updater.log"},
      // The file name's own last "." is cut.
      {"/opt/x.y/orvik.updater.bin", "/opt/x.y/orvik.updater.log"},
      {"/opt/x.y/orvik-updater.", "/opt/x.y/orvik-updater.log"},
      // A hidden name keeps its leading ".": it is the name, not an extension.
      {"/opt/x.y/.orvik", "/opt/x.y/.orvik.log"},
      {"/opt/x.y/.orvik.bin", "/opt/x.y/.orvik.log"},
      // A relative path stays relative, beside the same file.
      {"bin.d/orvik-updater", "bin.d/orvik-updater.log"},
      {"orvik-updater", "orvik-updater.log"},
      // Unreadable executable path: a bare ".log" in the current folder.
      {"", ".log"},
  };
  for (const auto& [exe, log] : cases) {
    EXPECT_EQ(FileNameLogPath(path(exe)).string(), log) << exe;
  }
  // Two programs in one folder never share a log.
  EXPECT_NE(FileNameLogPath(path("/home/ann/.local/bin/orvik-updater")),
            FileNameLogPath(path("/home/ann/.local/bin/orvik-updater-cli")));
}

TEST(LogPathBeside, LongPathsAreNeitherCutNorOverrun) {
  // Longer than the 520-unit buffer the Windows program once used.
  const std::string folder = "/" + std::string(600, 'a') + ".d/" + std::string(300, 'b');
  EXPECT_EQ(WholePathLogPath(path(folder + "/orvik-updater.bin")).string(), folder + "/orvik-updater.log");
  EXPECT_EQ(WholePathLogPath(path(folder + "/orvik-updater")).string(), "/" + std::string(600, 'a') + ".log");
  EXPECT_EQ(FileNameLogPath(path(folder + "/orvik-updater")).string(), folder + "/orvik-updater.log");
  const std::string longName(4000, 'n');
  EXPECT_EQ(FileNameLogPath(path(folder + "/" + longName + ".x")).string(), folder + "/" + longName + ".log");
}

TEST(LogPathBeside, RunningExecutableLogsBesideItselfUnderItsOwnName) {
  // Holds in any build folder, a dotted one (/tmp/a.b/build, ~/.cache/...)
  // included: the test program is "app_tests" on Linux, "app_tests.exe" on
  // Windows, and either platform's rule gives app_tests.log beside it.
  const path exe = ExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_TRUE(exe.is_absolute());
  EXPECT_TRUE(std::filesystem::exists(exe));
  EXPECT_EQ(LogPathBeside(exe), exe.parent_path() / "app_tests.log");
  const path log = ChooseLogPath();
  EXPECT_TRUE(log.is_absolute()) << log;
  EXPECT_EQ(log.filename(), "app_tests.log");
  // Beside the program, or (a read-only build folder on Linux) in the user's
  // state folder.
  EXPECT_TRUE(log.parent_path() == exe.parent_path() || log.parent_path().filename() == kStateFolderName) << log;
}

TEST(StateDirLogPath, PrefersAnAbsoluteXdgStateHomeThenHome) {
  const path base = std::filesystem::temp_directory_path();
  const path state = base / "state";
  const path home = base / "home";
  const path beside = base / "bin" / "orvik-updater.log";
  const path homeResult = home / ".local" / "state" / "orvik-updater" / "orvik-updater.log";

  EXPECT_EQ(StateDirLogPath(beside, state.string().c_str(), home.string().c_str()),
            state / "orvik-updater" / "orvik-updater.log");
  // A relative or empty XDG_STATE_HOME is not a valid setting.
  EXPECT_EQ(StateDirLogPath(beside, "relative/state", home.string().c_str()), homeResult);
  EXPECT_EQ(StateDirLogPath(beside, "", home.string().c_str()), homeResult);
  EXPECT_EQ(StateDirLogPath(beside, nullptr, home.string().c_str()), homeResult);
  // No usable folder at all.
  EXPECT_EQ(StateDirLogPath(beside, nullptr, nullptr), path());
  EXPECT_EQ(StateDirLogPath(beside, "relative", ""), path());
}

TEST(SingleInstance, SecondAcquireFailsUntilTheFirstIsReleased) {
  auto first = SingleInstance::Acquire();
  if (!first) {
    GTEST_SKIP() << "an orvik-updater instance is running on this machine";
  }
  EXPECT_EQ(SingleInstance::Acquire(), nullptr);
  EXPECT_EQ(SingleInstance::Acquire(), nullptr);
  first.reset();
  auto again = SingleInstance::Acquire();
  EXPECT_NE(again, nullptr);
}

TEST(ChooseDevice, EmulateSwitchIsAWholeCaseSensitiveArgument) {
  const std::string program = "/opt/orvik/orvik-updater";
  {
    DeviceChoice choice = ChooseDevice({program, "-AdvMode", "-Emulate"});
    ASSERT_NE(choice.device, nullptr);
    EXPECT_TRUE(choice.emulated);
    EXPECT_TRUE(choice.error.empty());
    EXPECT_TRUE(choice.device->OpenDevice(DeviceVendorId, DeviceProductId));
  }
  for (const char* other : {"-emulate", "/Emulate", "-Emulate2", "Emulate", "--Emulate"}) {
    DeviceChoice choice = ChooseDevice({program, other});
    EXPECT_FALSE(choice.emulated) << other;
    EXPECT_NE(choice.device, nullptr) << other;
    EXPECT_TRUE(choice.error.empty()) << other;
  }
  {
    DeviceChoice choice = ChooseDevice({program});
    EXPECT_FALSE(choice.emulated);
    EXPECT_NE(choice.device, nullptr);
  }
}

TEST(ChooseDevice, FaultSettingReachesTheEmulatedDevice) {
  DeviceChoice absent = ChooseDevice({"orvik-updater", "-Emulate:absent"});
  ASSERT_NE(absent.device, nullptr);
  EXPECT_TRUE(absent.emulated);
  EXPECT_FALSE(absent.device->OpenDevice(DeviceVendorId, DeviceProductId));

  DeviceChoice faulty = ChooseDevice({"orvik-updater", "-Emulate:nowrite@MCUErase"});
  ASSERT_NE(faulty.device, nullptr);
  EXPECT_TRUE(faulty.device->OpenDevice(DeviceVendorId, DeviceProductId));
}

TEST(ChooseDevice, MalformedSwitchGivesAnErrorAndNoDevice) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"p", "-Emulate:bogus"},
                                              std::vector<std::string>{"p", "-Emulate", "-Emulate"},
                                              std::vector<std::string>{"p", "-Emulate:"}}) {
    DeviceChoice choice = ChooseDevice(args);
    EXPECT_EQ(choice.device, nullptr) << args[1];
    EXPECT_TRUE(choice.emulated) << args[1];
    EXPECT_FALSE(choice.error.empty()) << args[1];
  }
}

}  // namespace
}  // namespace orvik::app
