// Ctrl+C at a flashing station: the request is held while a unit is being
// updated and ends the station at once while it waits between units.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "app/cli/commands.h"
#include "app/common/interrupt.h"
#include "emulator/emulated_device_set.h"
#include "support/test_support.h"
#include "unit/cli/command_run.h"

namespace orvik::cli {
namespace {

using namespace std::chrono_literals;

TEST(StationInterrupt, EndsTheWaitForAFailedUnitToLeaveWithTheSummary) {
  test::ScopedLog log;
  const std::vector<std::string> arguments{"orvik-updater-cli", "-Emulate:badreply@MCUWrite", "--station"};
  // A faulty unit that is never unplugged: the station must wait for it,
  // however often it looks, and never update it again.
  EmulatedDeviceSet set(ParseEmulateOption(arguments).units, 200ms);
  TableResources resources{EmbeddedResourceTable()};
  std::ostringstream out, err;
  CommandEnvironment env = TestEnvironment(set, resources, arguments, out, err, nullptr, 250ms);

  app::InstallInterruptHandlers();
  app::ClearPendingInterrupt();
  std::chrono::steady_clock::time_point raised{};
  // Well after the unit's short run, while the station waits for it to go.
  std::thread ctrlC([&] {
    std::this_thread::sleep_for(700ms);
    raised = std::chrono::steady_clock::now();
    ::kill(::getpid(), SIGINT);
  });
  const int status = RunStation(env);
  const auto ended = std::chrono::steady_clock::now();
  ctrlC.join();

  EXPECT_EQ(status, kExitUpdateFailed);
  // The request cut the 250 ms sleep short.
  EXPECT_LT(ended - raised, 200ms);
  const std::string text = out.str();
  EXPECT_NE(text.find("  emulated:1  serial EMU-0001  Check write mcu code reply fail(772)  "), std::string::npos)
      << text;
  EXPECT_NE(text.find("Station: 1 device, 0 updated, 1 failed\n  failure 772: 1\n"), std::string::npos) << text;
  EXPECT_EQ(test::CountCommand(set.Unit(0).Record(), UpdateCommand::StartUpdate), 1u);
  // The station leaves the policy as it found it, with no request pending.
  EXPECT_EQ(app::PendingInterrupt(), 0);
}

}  // namespace
}  // namespace orvik::cli
