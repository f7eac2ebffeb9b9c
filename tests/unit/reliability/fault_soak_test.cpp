// Hundreds of updates in one dialog, each with a random fault (or none) at a
// random exchange: every run must end cleanly and leave the dialog as it
// found it. The seed is printed; ORVIK_SOAK_SEED=<n> repeats a sequence.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <random>

#include "emulator/emulated_device.h"
#include "image/resources.h"
#include "support/test_support.h"
#include "ui/updater_dlg.h"
#include "unit/reliability/reliability_support.h"

namespace orvik::test {
namespace {

using namespace std::chrono_literals;

constexpr int kRuns = 200;
// Short, so that nowrite and noreply runs stay fast.
constexpr std::chrono::milliseconds kWaitBound{20};
// The heap may differ a little between run 20 and the last (allocator caches,
// a longer message text); a leak of any per-run object shows far above this.
constexpr std::size_t kHeapSlack = 512 * 1024;

std::uint32_t Seed() {
  if (const char* text = std::getenv("ORVIK_SOAK_SEED")) return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
  return std::random_device{}();
}

// A fault at a random exchange of a full run, or none; write faults favour
// the first and last block of each section.
std::optional<Fault> RandomFault(std::mt19937& random) {
  std::uniform_int_distribution<int> kindPick(0, 5);
  const int kindIndex = kindPick(random);
  if (kindIndex == 5) return std::nullopt;
  const auto kind = static_cast<FaultKind>(kindIndex);

  UpdateCommand command;
  if (kind == FaultKind::BadEcho) {
    command = std::bernoulli_distribution(0.7)(random) ? UpdateCommand::MCUWrite : UpdateCommand::USBWrite;
  } else {
    command = static_cast<UpdateCommand>(std::uniform_int_distribution<int>(0, kUpdateCommandCount - 1)(random));
  }
  std::uint32_t occurrence = 0;
  if (command == UpdateCommand::MCUWrite || command == UpdateCommand::USBWrite) {
    const std::uint32_t blocks = command == UpdateCommand::MCUWrite ? kMcuBlocks : kUsbBlocks;
    switch (std::uniform_int_distribution<int>(0, 5)(random)) {
      case 0: occurrence = 0; break;
      case 1: occurrence = blocks - 1; break;
      case 2: occurrence = command == UpdateCommand::MCUWrite ? kMcuSection1Blocks : 1; break;
      default: occurrence = std::uniform_int_distribution<std::uint32_t>(0, blocks - 1)(random); break;
    }
  }
  return Fault{kind, command, occurrence};
}

TEST(FaultSoak, TwoHundredRunsWithRandomFaultsLeaveTheDialogUsableAndTheHeapFlat) {
  const std::uint32_t seed = Seed();
  std::cout << "fault soak seed: " << seed << " (ORVIK_SOAK_SEED=" << seed << " repeats it)" << std::endl;
  RecordProperty("seed", std::to_string(seed));
  std::mt19937 random(seed);

  ScopedLog log;
  TempDir runLogs;
  SoakWindow window;
  EmulatedDevice device(kWaitBound);
  const TableResources resources(EmbeddedResourceTable());
  CORVIKUpdaterDlg dlg(window, device, resources, {"orvik-updater", "-AdvMode"});
  ASSERT_TRUE(dlg.OnInitDialog());
  ASSERT_EQ(window.Ends(), 0u);

  std::size_t heapAtRun20 = 0;
  int completed = 0;
  for (int run = 0; run < kRuns; ++run) {
    const std::optional<Fault> fault = RandomFault(random);
    const bool verbose = std::bernoulli_distribution(0.25)(random);
    const std::string what = "run " + std::to_string(run) + " (seed " + std::to_string(seed) + "): " +
                             (fault ? FaultText(*fault) : std::string("no fault")) + (verbose ? ", Log on" : "");
    SCOPED_TRACE(what);

    // Each run logs into a fresh file, so it can be read back whole.
    const auto logPath = runLogs / "run.log";
    std::filesystem::remove(logPath);
    g_pLog->Open(logPath);
    window.SetCheck(IDC_LOG, verbose);
    dlg.OnClickedLog();

    device.SetFault(fault);
    device.ClearRecord();
    const std::size_t boxesBefore = window.Boxes();
    const std::size_t endsBefore = window.Ends();

    dlg.OnClickedUpdate();
    dlg.WaitForWorker();

    ASSERT_FALSE(dlg.IsBusy());
    // Nothing is sent after the failing exchange.
    const std::size_t sent = device.RecordSize();
    if (fault) {
      const std::size_t index = ConversationIndex(fault->command, fault->occurrence);
      const int kind = FailureKind(fault->kind);
      const int code = FailureCode(fault->command, fault->occurrence, kind);
      // The write an unplug fails is never taken by the device.
      ASSERT_EQ(sent, fault->kind == FaultKind::Unplug ? index : index + 1);
      ASSERT_EQ(dlg.LastRunResult(), code);
      ASSERT_TRUE(window.LastBox().ends_with("(" + std::to_string(code) + ")")) << window.LastBox();
      const bool updateFailBox = kind == 1 && (fault->command == UpdateCommand::MCUEnd ||
                                               fault->command == UpdateCommand::USBErase);
      ASSERT_EQ(window.Boxes() - boxesBefore, updateFailBox ? 2u : 1u);
    } else {
      ASSERT_EQ(sent, kFullRunExchanges);
      ASSERT_EQ(dlg.LastRunResult(), 0);
      ASSERT_EQ(window.LastBox(), "Update complete");
      ASSERT_EQ(window.Boxes() - boxesBefore, 1u);
      ++completed;
    }

    // "Update" is back at the next tick, and the timer stops.
    dlg.OnTimer(kUpdateTimerId);
    ASSERT_TRUE(window.UpdateEnabled());
    ASSERT_FALSE(window.TimerRunning());
    // The dialog can be closed.
    dlg.OnCancel();
    ASSERT_EQ(window.Ends(), endsBefore + 1);
    ASSERT_EQ(window.EndResult(), kDialogResultCancel);

    // Every log line is whole and time-stamped (ReadLogLines fails the test
    // on a partial line).
    const auto lines = StripTimeStamps(ReadLogLines(logPath));
    if (!fault) {
      ASSERT_FALSE(lines.empty());
      ASSERT_EQ(lines.back(), "Update complete");
    }

    if (fault && fault->kind == FaultKind::Unplug) {
      // Plugged in again for the next run.
      device.SetPresent(true);
      ASSERT_TRUE(device.OpenDevice(DeviceVendorId, DeviceProductId));
    }
    if (run == 19) heapAtRun20 = LiveHeapBytes();
  }
  g_pLog->Open(runLogs / "after.log");

  const std::size_t heapAtEnd = LiveHeapBytes();
  std::cout << "completed runs: " << completed << " of " << kRuns << "; live heap after run 20: " << heapAtRun20
            << " bytes, after run " << kRuns << ": " << heapAtEnd << " bytes" << std::endl;
  EXPECT_LE(heapAtEnd, heapAtRun20 + kHeapSlack);
}

}  // namespace
}  // namespace orvik::test
