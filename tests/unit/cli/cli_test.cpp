#include "app/cli/cli.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "emulator/emulated_device.h"
#include "support/test_support.h"

namespace orvik::cli {
namespace {

using namespace std::chrono_literals;
using test::ScopedLog;

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// --- Options ---------------------------------------------------------------------

TEST(ParseOptions, EachOptionSetsItsBoxAndTheWindowedUpdatersSwitchesAreAccepted) {
  const Options none = ParseOptions({"orvik-updater-cli"});
  EXPECT_FALSE(none.noMcu || none.noUsb || none.log || none.help || none.version);
  EXPECT_EQ(none.error, "");

  const Options all = ParseOptions({"orvik-updater-cli", "--no-mcu", "-AdvMode", "--no-usb", "--log", "-Emulate",
                                    "-Emulate:badreply@MCUWrite#3", "--help", "--version", "--log"});
  EXPECT_EQ(all.error, "");
  EXPECT_TRUE(all.noMcu && all.noUsb && all.log && all.help && all.version);
  EXPECT_TRUE(ParseOptions({"x", "-h"}).help);
  // The program's own path is never taken for an option.
  EXPECT_EQ(ParseOptions({"--weird-path"}).error, "");
  EXPECT_EQ(ParseOptions({}).error, "");
}

TEST(ParseOptions, AnythingElseIsRefusedAndNamed) {
  for (const char* argument : {"--bogus", "-emulate", "-Emulate2", "--no-MCU", "--log=1", "-AdvMode2", "-advmode",
                               "/AdvMode", "", "update"}) {
    EXPECT_EQ(ParseOptions({"orvik-updater-cli", "--log", argument}).error,
              std::string("unknown option '") + argument + "'");
  }
}

// --- --version -------------------------------------------------------------------

// The shipped image and version text, with a byte of the image changed or an
// entry left out on request.
class VersionResources final : public Resources {
 public:
  VersionResources() : image(test::ShippedImage().begin(), test::ShippedImage().end()) {}
  ResourceLookup Find(std::string_view type, int id) const override {
    if (type == kBinResourceType && id == kBinResourceId && hasImage) return {ResourceStatus::Found, image};
    if (type == kVerResourceType && id == kVerResourceId && hasVersion) return {ResourceStatus::Found, version};
    return {};
  }
  std::vector<std::uint8_t> image;
  std::vector<std::uint8_t> version{'1', '.', '3'};
  bool hasImage = true;
  bool hasVersion = true;
};

TEST(PrintVersion, ShowsTheProgramsTheCaptionsAndTheFirmwaresVersionsWithoutLogging) {
  ScopedLog log;
  VersionResources resources;
  std::ostringstream out, err;
  EXPECT_EQ(PrintVersion(out, err, resources), kExitCompleted);
  EXPECT_EQ(out.str(), "orvik-updater-cli 2.0.0.6\nFirmware for Solvane ver1.3\nMCU = Y1-3, USB = Y1-1\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_TRUE(log.Lines().empty());
}

TEST(PrintVersion, AMissingOrDamagedPartIsReportedWithTheDialogsMessage) {
  ScopedLog log;
  {
    VersionResources resources;
    resources.image[0x100] ^= 0x01;  // the MCU checksum no longer matches
    std::ostringstream out, err;
    EXPECT_EQ(PrintVersion(out, err, resources), kExitStartupFailed);
    EXPECT_EQ(err.str(), "Update data is damage!\n");
    EXPECT_EQ(out.str().find("MCU ="), std::string::npos);
  }
  {
    VersionResources resources;
    resources.image.pop_back();
    std::ostringstream out, err;
    EXPECT_EQ(PrintVersion(out, err, resources), kExitStartupFailed);
    EXPECT_EQ(err.str(), "Update data is damage!\n");
  }
  {
    VersionResources resources;
    resources.hasImage = false;
    std::ostringstream out, err;
    EXPECT_EQ(PrintVersion(out, err, resources), kExitStartupFailed);
    EXPECT_EQ(err.str(), "Can't find update data, this updater is damage!\n");
  }
  {
    VersionResources resources;
    resources.hasVersion = false;
    std::ostringstream out, err;
    EXPECT_EQ(PrintVersion(out, err, resources), kExitStartupFailed);
    EXPECT_EQ(err.str(), "Can't find ver data, this updater is damage!\n");
    EXPECT_NE(out.str().find("MCU = Y1-3, USB = Y1-1"), std::string::npos);
  }
  EXPECT_TRUE(log.Lines().empty());
}

// --- A whole run of the command ----------------------------------------------------

// The command's dialog over the emulated device, in this process.
class RunDialogTest : public ::testing::Test {
 protected:
  static constexpr std::chrono::milliseconds kWaitBound{40};

  int Run(std::vector<std::string> arguments, bool interactive = false) {
    arguments.insert(arguments.begin(), "orvik-updater-cli");
    TerminalWindow window(out, err, interactive);
    CORVIKUpdaterDlg dialog(window, device, resources, arguments);
    const int status = RunDialog(dialog, window, ParseOptions(arguments));
    // The run is wholly over: no worker, no timer, "Update" usable again.
    EXPECT_FALSE(dialog.IsBusy());
    EXPECT_FALSE(window.TimerStartedAt());
    if (status != kExitStartupFailed) {
      EXPECT_TRUE(window.Enabled(IDC_UPDATE));
    }
    return status;
  }

  std::string LastStatusLine() const {
    const auto lines = test::SplitLines(out.str());
    return lines.empty() ? std::string() : lines.back();
  }

  ScopedLog log;
  EmulatedDevice device{kWaitBound};
  TableResources resources{EmbeddedResourceTable()};
  std::ostringstream out;
  std::ostringstream err;
};

TEST_F(RunDialogTest, AFullRunCompletesWithStatusZero) {
  EXPECT_EQ(Run({}), kExitCompleted);
  EXPECT_EQ(err.str(), "Update complete\n");
  const auto lines = test::SplitLines(out.str());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), "Firmware for Solvane ver1.3");
  EXPECT_NE(lines.back().find("] 1000/1000  "), std::string::npos) << lines.back();
  EXPECT_EQ(out.str().find('\r'), std::string::npos);
  EXPECT_EQ(device.McuFlash()[0x4000], test::ShippedImage()[0x4000]);
  const auto logLines = log.Lines();
  EXPECT_TRUE(Contains(logLines, "MCU = Y1-3, USB = Y1-1"));
  ASSERT_FALSE(logLines.empty());
  EXPECT_EQ(logLines.back(), "Update complete");
}

TEST_F(RunDialogTest, AFailedRunEndsWithStatusOneAndTheDialogsMessages) {
  struct Case {
    const char* fault;
    const char* messages;
  };
  for (const Case& c : {
           Case{"badreply@MCUWrite", "Check write mcu code reply fail(772)\n"},
           Case{"noreply@MCUEnd", "Update fail\nGet write mcu end code reply fail(1021)\n"},
           Case{"badreply@USBWrite", "Check write usb code reply fail(1345)\n"},
       }) {
    SCOPED_TRACE(c.fault);
    std::string error;
    const auto setting = ParseFaultSetting(c.fault, error);
    ASSERT_TRUE(setting) << error;
    device.ApplySetting(*setting);
    err.str("");
    EXPECT_EQ(Run({}), kExitUpdateFailed);
    EXPECT_EQ(err.str(), c.messages);
  }
}

TEST_F(RunDialogTest, NoDeviceEndsStartUpWithStatusTwoBeforeAnythingIsDrawn) {
  device.SetPresent(false);
  EXPECT_EQ(Run({"--log"}), kExitStartupFailed);
  EXPECT_EQ(err.str(), "Can't find device, Please connect before run this updater!\n");
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(device.RecordSize(), 0u);
  ASSERT_FALSE(log.Lines().empty());
  EXPECT_EQ(log.Lines().back(), "Can't find device");
}

TEST_F(RunDialogTest, NoMcuAndNoUsbClearTheirBoxes) {
  EXPECT_EQ(Run({"--no-mcu"}), kExitCompleted);
  ASSERT_GT(device.RecordSize(), 0u);
  EXPECT_EQ(CommandOfPacket(device.Record().front()), UpdateCommand::USBErase);  // no StartUpdate
  EXPECT_NE(LastStatusLine().find("  499/1000"), std::string::npos) << LastStatusLine();

  device.ClearRecord();
  out.str("");
  const std::size_t linesBefore = log.Lines().size();
  EXPECT_EQ(Run({"--no-usb"}), kExitCompleted);
  EXPECT_NE(LastStatusLine().find("  500/1000"), std::string::npos) << LastStatusLine();
  const auto lines = log.Lines();
  EXPECT_FALSE(Contains({lines.begin() + static_cast<long>(linesBefore), lines.end()}, "USB Section"));
  for (const ReportPacket& command : device.Record()) {
    EXPECT_EQ(InfoOf(*CommandOfPacket(command)).target, UpdateTarget::MCU);
  }

  device.ClearRecord();
  out.str("");
  err.str("");
  EXPECT_EQ(Run({"--no-usb", "--no-mcu"}), kExitCompleted);
  EXPECT_EQ(device.RecordSize(), 0u);
  EXPECT_EQ(err.str(), "Update complete\n");
}

TEST_F(RunDialogTest, LogChecksTheLogBoxForDetailedLines) {
  ASSERT_EQ(Run({"--no-usb"}), kExitCompleted);
  EXPECT_FALSE(Contains(log.Lines(), "MCU Section 1"));
  ASSERT_EQ(Run({"--no-usb", "--log"}), kExitCompleted);
  const auto lines = log.Lines();
  EXPECT_TRUE(Contains(lines, "MCU Section 1"));
  EXPECT_TRUE(Contains(lines, "Addr = 0x00002000"));
  EXPECT_TRUE(Contains(lines, "Block = 1515, BlockIdx = 3"));
}

TEST_F(RunDialogTest, TheTimerShowsTheElapsedTimeWhileARunLasts) {
  // About half a second of device time: several ticks of the 100 ms timer.
  device.SetLatency({.perTransfer = 600us, .usbFrames = false});
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(Run({"--no-mcu"}, true), kExitCompleted);
  const auto took = std::chrono::steady_clock::now() - before;
  const std::string text = out.str();
  // Redrawn in place, then ended by the message.
  EXPECT_GT(std::count(text.begin(), text.end(), '\r'), 10);
  ASSERT_EQ(text.back(), '\n');
  const std::string last = text.substr(text.rfind('\r') + 1);
  EXPECT_NE(last.find("  499/1000  "), std::string::npos) << last;
  // The last tick's time: at least the first tick's, at most the run's length.
  unsigned minutes = 0, seconds = 0, ms = 0;
  ASSERT_EQ(std::sscanf(last.c_str() + last.find("/1000  ") + 7, "%u:%u.%u", &minutes, &seconds, &ms), 3) << last;
  const long long shownMs = (minutes * 60 + seconds) * 1000LL + ms;
  EXPECT_GE(shownMs, 100) << last;
  EXPECT_LE(shownMs, std::chrono::duration_cast<std::chrono::milliseconds>(took).count()) << last;
}

}  // namespace
}  // namespace orvik::cli
