#include "app/common/app_common.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hid/hid_device.h"
#include "image/image.h"

namespace orvik::app {
namespace {

using std::filesystem::path;

TEST(LogPathBeside, CutsAtTheLastDotOfTheWholePath) {
  const std::pair<const char*, const char*> cases[] = {
      // Windows executables.
      {"C:\\Tools\\Updater.exe", "C:\\Tools\\Updater.log"},
      {"C:\\My.Tools\\Updater", "C:\\My.log"},
      {"C:\\Tools\\Updater", "C:\\Tools\\Updater.log"},
      {"C:\\Tools\\orvik.updater.exe", "C:\\Tools\\orvik.updater.log"},
      // Linux executables: a "." in any folder counts, hidden folders too.
      {"/usr/local/bin/orvik-updater", "/usr/local/bin/orvik-updater.log"},
      {"/opt/orvik-1.3/orvik-updater", "/opt/orvik-1.log"},
      {"/home/ann/.local/bin/orvik-updater", "/home/ann/.log"},
      {"/srv/build/orvik-updater.", "/srv/build/orvik-updater.log"},
      // Unreadable executable path: a bare ".log" in the current folder.
      {"", ".log"},
  };
  for (const auto& [exe, log] : cases) {
    EXPECT_EQ(LogPathBeside(path(exe)).string(), log) << exe;
  }
}

TEST(LogPathBeside, LongPathsAreNeitherCutNorOverrun) {
  // Longer than the 520-unit buffer the Windows program once used.
  const std::string folder = "/" + std::string(600, 'a') + ".d/" + std::string(300, 'b');
  EXPECT_EQ(LogPathBeside(path(folder + "/orvik-updater.bin")).string(), folder + "/orvik-updater.log");
  EXPECT_EQ(LogPathBeside(path(folder + "/orvik-updater")).string(), "/" + std::string(600, 'a') + ".log");
}

TEST(LogPathBeside, RunningExecutableGivesAnAbsoluteLogPath) {
  const path exe = ExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_TRUE(exe.is_absolute());
  EXPECT_TRUE(std::filesystem::exists(exe));
  const path log = ChooseLogPath();
  EXPECT_EQ(log.extension(), ".log");
  EXPECT_TRUE(log.is_absolute());
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
