// Every exchange of a run can fail three ways; each of the 24 sites has its
// own number, message and log lines. Driven through the emulated device's
// fault injection, with "Log" set and clear.
#include <gtest/gtest.h>

#include "dialog_fixture.h"
#include "update/protocol.h"

namespace orvik::test {
namespace {

struct Site {
  const char* name;
  FaultKind kind;
  UpdateCommand command;
  std::uint32_t occurrence;
  bool usbOnly;        // run the USB part alone (keeps the verbose cases short)
  std::size_t index;   // position of the failing command in the conversation
  int code;
  const char* message;  // the box, with the code in it
  const char* logText;
};

constexpr auto W = FaultKind::NoWrite;
constexpr auto R = FaultKind::NoReply;
constexpr auto C = FaultKind::BadReply;
using U = UpdateCommand;

const Site kSites[] = {
    {"StartWrite", W, U::StartUpdate, 0, false, 0, 440, "Write start code fail(440)", "Write StartUpdate code fail"},
    {"StartReply", R, U::StartUpdate, 0, false, 0, 460, "Get start code reply fail(460)",
     "Get StartUpdate Reply code fail"},
    {"StartCompare", C, U::StartUpdate, 0, false, 0, 498, "Check start code reply fail(498)",
     "Compare StartUpdate Reply code fail"},
    {"McuEraseWrite", W, U::MCUErase, 0, false, 1, 533, "Write mcu erase code fail(533)", "Write MCUErase code fail"},
    {"McuEraseReply", R, U::MCUErase, 0, false, 1, 551, "Get mcu erase code reply fail(551)",
     "Get MCUErase Reply code fail"},
    {"McuEraseCompare", C, U::MCUErase, 0, false, 1, 585, "Check mcu erase code reply fail(585)",
     "Compare MCUErase Reply code fail"},
    {"Section1Write", W, U::MCUWrite, 100, false, 102, 703, "Write mcu code fail(703)", "Write MCUWrite code fail"},
    {"Section1Reply", R, U::MCUWrite, 100, false, 102, 723, "Get write mcu code reply fail(723)",
     "Get MCUWrite Reply code fail"},
    {"Section1Compare", C, U::MCUWrite, 100, false, 102, 772, "Check write mcu code reply fail(772)",
     "Compare MCUWrite Reply code fail"},
    {"Section2Write", W, U::MCUWrite, 600, false, 602, 887, "Write mcu code fail(887)", "Write MCUWrite code fail"},
    {"Section2Reply", R, U::MCUWrite, 600, false, 602, 907, "Get write mcu code reply fail(907)",
     "Get MCUWrite Reply code fail"},
    {"Section2Compare", C, U::MCUWrite, 512, false, 514, 959, "Check write mcu code reply fail(959)",
     "Compare MCUWrite Reply code fail"},
    {"McuEndWrite", W, U::MCUEnd, 0, false, 2030, 999, "Write mcu end code fail(999)", "Write MCUEnd code fail"},
    {"McuEndReply", R, U::MCUEnd, 0, false, 2030, 1021, "Get write mcu end code reply fail(1021)",
     "Get MCUEnd Reply code fail"},
    {"McuEndCompare", C, U::MCUEnd, 0, false, 2030, 1058, "Check write mcu end code reply fail(1058)",
     "Compare MCUEnd Reply code fail"},
    {"UsbEraseWrite", W, U::USBErase, 0, true, 0, 1099, "Write usb erase code fail(1099)", "Write USBErase code fail"},
    {"UsbEraseReply", R, U::USBErase, 0, true, 0, 1121, "Get write usb erase code reply fail(1121)",
     "Get USBErase Reply code fail"},
    {"UsbEraseCompare", C, U::USBErase, 0, true, 0, 1158, "Check write usb earse code reply fail(1158)",
     "Compare USBErase Reply code fail"},
    {"UsbSectionWrite", W, U::USBWrite, 200, true, 201, 1273, "Write usb code fail(1273)", "Write USBWrite code fail"},
    {"UsbSectionReply", R, U::USBWrite, 200, true, 201, 1293, "Get write usb code reply fail(1293)",
     "Get USBWrite Reply code fail"},
    {"UsbSectionCompare", C, U::USBWrite, 200, true, 201, 1345, "Check write usb code reply fail(1345)",
     "Compare USBWrite Reply code fail"},
    {"UsbEndWrite", W, U::USBEnd, 0, true, 429, 1388, "Write usb end code fail(1388)", "Write USBEnd code fail"},
    {"UsbEndReply", R, U::USBEnd, 0, true, 429, 1409, "Get write usb end code reply fail(1409)",
     "Get USBEnd Reply code fail"},
    {"UsbEndCompare", C, U::USBEnd, 0, true, 429, 1446, "Check write usb end code reply fail(1446)",
     "Compare USBEnd Reply code fail"},
};

const std::string kZeroDump = FormatReportDump(ReportPacket{});

class FailureTest : public DialogFixture, public ::testing::WithParamInterface<std::tuple<Site, bool>> {};

TEST_P(FailureTest, ReportsItsNumberLogsOnlyWithLogAndSendsNothingAfter) {
  const auto& [site, verbose] = GetParam();
  Start();
  if (site.usbOnly) window.SetCheck(IDC_MCU, false);
  if (verbose) ClickLog();
  device.SetFault(Fault{site.kind, site.command, site.occurrence});
  RunOnce();

  // Nothing is sent after the failed exchange, and nothing is retried.
  const auto record = device.Record();
  ASSERT_EQ(record.size(), site.index + 1);
  EXPECT_EQ(CommandOfPacket(record.back()), site.command);

  EXPECT_EQ(dlg->LastRunResult(), site.code);
  std::vector<std::string> boxes;
  if (site.code == 1021 || site.code == 1121) boxes.push_back("Update fail");
  boxes.push_back(site.message);
  EXPECT_EQ(window.BoxTexts(), boxes);
  for (const auto& box : window.Boxes()) {
    EXPECT_EQ(box.title, "Firmware for Solvane ver1.3");
    // The run is over before its boxes: the user can close the dialog while
    // one is open.
    EXPECT_EQ(box.busy, std::optional<bool>(false)) << box.text;
  }

  const auto lines = RunLines();
  const bool pastUsbHeader = site.command == U::USBWrite || site.command == U::USBEnd;
  if (!verbose) {
    // The message box is the only report of the failure.
    const auto expected = pastUsbHeader ? std::vector<std::string>{"USB Section", "USB  write size = 0x00001ac0"}
                                        : std::vector<std::string>{};
    EXPECT_EQ(lines, expected);
  } else {
    // The failure's lines come after its boxes were closed, last in the log.
    EXPECT_EQ(window.Boxes().back().logLinesBefore + 1 + (site.kind == W ? 0 : 1), log.Lines().size())
        << "log lines follow the boxes";
    const bool block = InfoOf(site.command).echoesBlock;
    const std::string replyPrefix = std::string(InfoOf(site.command).name) + " Reply = ";
    if (site.kind == W) {
      EXPECT_EQ(lines.back(), site.logText) << "no dump after a failed write";
    } else if (site.kind == R) {
      ASSERT_GE(lines.size(), 2u);
      EXPECT_EQ(lines[lines.size() - 2], site.logText);
      EXPECT_EQ(lines.back(), (block ? replyPrefix : std::string()) + kZeroDump);
    } else {
      ASSERT_GE(lines.size(), block ? 3u : 2u);
      EXPECT_EQ(lines[lines.size() - 2], site.logText);
      const std::string& dump = lines.back();
      EXPECT_EQ(dump.size(), kReportDumpLength);
      EXPECT_EQ(dump.rfind("0x00 0x55 0x49 ", 0), 0u) << dump;
      if (block) {
        // The rejected reply was logged once after its block, once alone.
        EXPECT_EQ(lines[lines.size() - 3], replyPrefix + dump);
      }
    }
  }

  // The dialog is idle again: the next tick gives the button back and stops
  // the timer, and it can be closed.
  EXPECT_FALSE(dlg->IsBusy());
  EXPECT_FALSE(window.Enabled(IDC_UPDATE)) << "after a failure only the timer gives the button back";
  dlg->OnTimer(kUpdateTimerId);
  EXPECT_TRUE(window.Enabled(IDC_UPDATE));
  EXPECT_FALSE(window.TimerRunning());
  dlg->OnOK();
  EXPECT_TRUE(window.Ended());
}

INSTANTIATE_TEST_SUITE_P(AllSites, FailureTest, ::testing::Combine(::testing::ValuesIn(kSites), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_Log" : "_NoLog");
                         });

TEST_F(DialogFixture, AFailedRunCanBeFollowedByAGoodOne) {
  Start();
  device.SetFault(Fault{FaultKind::BadEcho, UpdateCommand::MCUWrite, 3});
  RunOnce();
  EXPECT_EQ(dlg->LastRunResult(), 772);
  device.SetFault(std::nullopt);
  dlg->OnTimer(kUpdateTimerId);
  RunOnce();
  EXPECT_EQ(dlg->LastRunResult(), 0);
  EXPECT_EQ(window.BoxTexts().back(), "Update complete");
}

TEST(RealWaitBound, ASilentDeviceEndsTheRunAfterFiveSeconds) {
  ScopedLog log;
  ScriptedWindow window;
  EmulatedDevice device;  // the real 5,000 ms bound
  TableResources resources(EmbeddedResourceTable());
  CORVIKUpdaterDlg dlg(window, device, resources, {"p"});
  ASSERT_TRUE(dlg.OnInitDialog());
  device.SetFault(Fault{FaultKind::NoReply, UpdateCommand::StartUpdate, 0});
  const auto start = std::chrono::steady_clock::now();
  dlg.OnClickedUpdate();
  dlg.WaitForWorker();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(dlg.LastRunResult(), 460);
  EXPECT_GE(took, 5000ms);
  EXPECT_LT(took, 8000ms);
}

}  // namespace
}  // namespace orvik::test
