// --teach: units plugged in one after another become slots 1, 2, ... in the
// order they came; Ctrl+C writes the file; an existing file is kept.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/cli/commands.h"
#include "app/common/interrupt.h"
#include "emulator/emulated_device_set.h"
#include "support/test_support.h"
#include "unit/cli/command_run.h"

namespace orvik::cli {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadText(const fs::path& path) {
  const std::vector<std::uint8_t> bytes = test::ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST(Teach, UnitsArrivingOneByOneAreWrittenAsSlotsInOrderAndAnExistingFileIsKept) {
  test::ScopedLog log;
  const test::TempDir dir;
  const std::string file = (dir.path() / "fixture.slots").string();
  // One unit there from the start (not taught), then three that come one
  // after another, each pulled out 200 ms after it came; one without a port.
  const std::string emulate =
      "-Emulate:good/port=9-9/pull=300,good/port=1-1.3/after=50/pull=200,good/port=/after=50/pull=200,"
      "good/port=1-1.1/after=50/pull=200,good/port=1-1.2/after=50/pull=200";
  const std::vector<std::string> arguments{"orvik-updater-cli", emulate, "--teach", file};
  EmulatedDeviceSet set(ParseEmulateOption(arguments).units, 200ms);
  TableResources resources{EmbeddedResourceTable()};
  std::ostringstream out, err;
  CommandEnvironment env = TestEnvironment(set, resources, arguments, out, err, nullptr, 20ms);

  app::InstallInterruptHandlers();
  app::ClearPendingInterrupt();
  // Well after the last unit came (at about 1,100 ms).
  std::thread ctrlC([] {
    std::this_thread::sleep_for(2000ms);
    ::kill(::getpid(), SIGINT);
  });
  const int status = RunCommand(env);
  ctrlC.join();

  EXPECT_EQ(status, kExitCompleted) << err.str();
  const std::vector<std::string> lines = test::SplitLines(ReadText(file));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("# Slots taught by orvik-updater-cli --teach at ", 0), 0u) << lines[0];
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
            (std::vector<std::string>{"1 1-1.3", "2 1-1.1", "3 1-1.2"}));
  const std::string said = out.str();
  EXPECT_EQ(said.rfind("emulated:1, serial EMU-0001 was attached before teaching began and is not taught", 0), 0u)
      << said;
  EXPECT_NE(said.find("Plug a unit into slot 1 (Ctrl+C when all slots are done)\nSlot 1: port 1-1.3 (emulated:2, "
                      "serial EMU-0002)\nPlug a unit into slot 2 (Ctrl+C when all slots are done)\nemulated:3, "
                      "serial EMU-0003 has no port (not on USB); plug it into the next slot.\n"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("Wrote 3 slots to " + file + ".\n"), std::string::npos) << said;
  for (std::size_t unit = 0; unit < set.UnitCount(); ++unit) EXPECT_EQ(set.Unit(unit).RecordSize(), 0u) << unit;
  EXPECT_EQ(app::PendingInterrupt(), 0);

  // Taught again without --force: the file stays as it is.
  const std::string before = ReadText(file);
  std::ostringstream out2, err2;
  CommandEnvironment again = TestEnvironment(set, resources, arguments, out2, err2, nullptr, 20ms);
  EXPECT_EQ(RunCommand(again), kExitStartupFailed);
  EXPECT_EQ(err2.str(), "orvik-updater-cli: " + file + " exists already; --force replaces it\n");
  EXPECT_EQ(ReadText(file), before);
}

}  // namespace
}  // namespace orvik::cli
