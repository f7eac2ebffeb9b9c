#include <gtest/gtest.h>

#include "dialog_fixture.h"
#include "pack.h"
#include "update/protocol.h"

namespace orvik::test {
namespace {

using UpdateTest = DialogFixture;

// The device holds the image: MCU Section 1 moved up by 0x2000, Section 2 and
// the USB section at their own addresses; the boot loader untouched.
void ExpectDeviceHolds(const EmulatedDevice& device, const FirmwareImage& image, std::uint32_t mcuEnd,
                       std::uint32_t usbEnd) {
  const auto mcu = device.McuFlash();
  const auto usb = device.UsbFlash();
  for (std::uint32_t a = 0; a < 0x2000; ++a) ASSERT_EQ(mcu[a], EmulatedDevice::BootLoaderByte(a)) << std::hex << a;
  for (std::uint32_t a = 0x2000; a < 0x4000; ++a) ASSERT_EQ(mcu[a], image[a - 0x2000]) << std::hex << a;
  for (std::uint32_t a = 0x4000; a < 0x10000; ++a) {
    ASSERT_EQ(mcu[a], a < mcuEnd / 16 * 16 ? image[a] : 0xFF) << std::hex << a;
  }
  for (std::uint32_t a = 0x10000; a < 0x12000; ++a) {
    ASSERT_EQ(usb[a - 0x10000], a < usbEnd / 16 * 16 ? image[a] : 0xFF) << std::hex << a;
  }
}

TEST_F(UpdateTest, FullRunSendsTheWholeConversationAndTheDeviceHoldsTheImage) {
  Start();
  RunOnce();
  const auto record = device.Record();
  ASSERT_EQ(record.size(), 2461u);
  // The conversation in order: start, erase, 2,028 blocks, end, erase, 428 blocks, end.
  std::vector<UpdateCommand> expected = {UpdateCommand::StartUpdate, UpdateCommand::MCUErase};
  expected.insert(expected.end(), 512 + 1516, UpdateCommand::MCUWrite);
  expected.insert(expected.end(), {UpdateCommand::MCUEnd, UpdateCommand::USBErase});
  expected.insert(expected.end(), 428, UpdateCommand::USBWrite);
  expected.push_back(UpdateCommand::USBEnd);
  for (std::size_t i = 0; i < record.size(); ++i) ASSERT_EQ(CommandOfPacket(record[i]), expected[i]) << i;

  // StartUpdate carries the MCU trailer: product ID and end address in place.
  EXPECT_EQ(record[0][11], 0x01);
  EXPECT_EQ(record[0][12], 0x21);
  EXPECT_EQ(record[0][20], 0x00);
  EXPECT_EQ(record[0][21], 0x9E);
  EXPECT_EQ(record[0][22], 0xC0);
  // Block addresses and indexes: first of Section 1, fifth, first of Section 2, last, first USB.
  auto header = [](const ReportPacket& p) { return std::vector<int>(p.begin() + 5, p.begin() + 10); };
  EXPECT_EQ(header(record[2]), (std::vector<int>{0x00, 0x20, 0x00, 0, 0}));
  EXPECT_EQ(header(record[6]), (std::vector<int>{0x00, 0x20, 0x40, 0, 0}));
  EXPECT_EQ(header(record[2 + 511]), (std::vector<int>{0x00, 0x3F, 0xF0, 0, 3}));
  EXPECT_EQ(header(record[2 + 512]), (std::vector<int>{0x00, 0x40, 0x00, 0, 0})) << "indexes restart per section";
  EXPECT_EQ(header(record[2 + 2027]), (std::vector<int>{0x00, 0x9E, 0xB0, 0, 3}));
  EXPECT_EQ(header(record[2032]), (std::vector<int>{0x01, 0x00, 0x00, 0, 0}));
  EXPECT_EQ(header(record[2032 + 427]), (std::vector<int>{0x01, 0x1A, 0xB0, 0, 3}));

  ExpectDeviceHolds(device, ShippedImage(), 0x9EC0, 0x11AC0);
  EXPECT_EQ(window.Progress(), 1000);
  EXPECT_EQ(window.BoxTexts(), std::vector<std::string>{"Update complete"});
  EXPECT_EQ(window.Boxes()[0].title, "Firmware for Solvane ver1.3");
  EXPECT_EQ(window.Boxes()[0].busy, std::optional<bool>(false)) << "closable while the box is open";
  EXPECT_EQ(dlg->LastRunResult(), 0);
  // "Log" clear: exactly three lines, the last after the box was closed.
  EXPECT_EQ(RunLines(), (std::vector<std::string>{"USB Section", "USB  write size = 0x00001ac0", "Update complete"}));
  EXPECT_EQ(window.Boxes()[0].logLinesBefore, startupLines + 2);
  EXPECT_TRUE(window.Enabled(IDC_UPDATE)) << "a good run gives the button back itself";
  EXPECT_FALSE(dlg->IsBusy());
}

// The window hears the work begin on the click, before the worker sends
// anything, and end as the worker's last step, after its last log line: what
// a windowed host holds spans the whole run, a failed one too.
TEST_F(UpdateTest, TheWindowHearsTheWorkBeginFirstAndEndAfterTheLastLogLine) {
  Start();
  for (bool fail : {false, true}) {
    SCOPED_TRACE(fail ? "failed run" : "good run");
    if (fail) device.SetFault(Fault{FaultKind::BadEcho, UpdateCommand::MCUWrite, 3});
    const std::size_t before = log.Lines().size();
    const std::size_t changes = window.WorkChanges().size();
    dlg->OnClickedUpdate();
    EXPECT_EQ(window.WorkChanges().at(changes), (ScriptedWindow::WorkChange{true, before}));
    dlg->WaitForWorker();
    ASSERT_EQ(window.WorkChanges().size(), changes + 2);
    EXPECT_EQ(window.WorkChanges().back(), (ScriptedWindow::WorkChange{false, log.Lines().size()}));
    EXPECT_EQ(window.Calls().back(), "UpdateWorkChanged 0");
  }
}

TEST_F(UpdateTest, ProgressSteps) {
  Start();
  RunOnce();
  const auto history = window.ProgressHistory();
  ASSERT_EQ(history.size(), 512u + 1516u + 428u);
  EXPECT_EQ(history[511], 250) << "Section 1 adds exactly 250";
  EXPECT_EQ(history[512 + 1515], 500);
  EXPECT_TRUE(std::is_sorted(history.begin(), history.end()));
  EXPECT_EQ(history.back(), 1000);
}

TEST_F(UpdateTest, OneControllerAtATime) {
  Start();
  window.SetCheck(IDC_USB, false);
  RunOnce();
  EXPECT_EQ(window.Progress(), 500);
  EXPECT_EQ(device.RecordSize(), 2u + 2028u + 1u);
  EXPECT_EQ(RunLines(), std::vector<std::string>{"Update complete"}) << "no USB lines without the USB part";

  device.ClearRecord();
  window.SetCheck(IDC_USB, true);
  window.SetCheck(IDC_MCU, false);
  dlg->OnTimer(kUpdateTimerId);  // the button comes back between runs
  RunOnce();
  const auto record = device.Record();
  ASSERT_FALSE(record.empty());
  EXPECT_EQ(CommandOfPacket(record.front()), UpdateCommand::USBErase) << "no start command before the USB part";
  EXPECT_EQ(CountCommand(record, UpdateCommand::StartUpdate), 0u);
  EXPECT_EQ(record.size(), 1u + 428u + 1u);
  // 428 steps of 500/428 fall just short of 500: the second run continues from 500.
  EXPECT_EQ(window.Progress(), 499);
}

TEST_F(UpdateTest, NothingCheckedSendsNothingAndCompletes) {
  Start();
  window.SetCheck(IDC_MCU, false);
  window.SetCheck(IDC_USB, false);
  RunOnce();
  EXPECT_EQ(device.RecordSize(), 0u);
  EXPECT_EQ(window.BoxTexts(), std::vector<std::string>{"Update complete"});
  EXPECT_EQ(RunLines(), std::vector<std::string>{"Update complete"});
  EXPECT_TRUE(window.TimerRunning()) << "the timer was started all the same";
  EXPECT_TRUE(window.Enabled(IDC_UPDATE));
}

TEST_F(UpdateTest, ClearingUsbDuringTheMcuPartSkipsIt) {
  Start();
  window.OnProgress([this](int position) {
    if (position == 250) window.SetCheck(IDC_USB, false);
  });
  RunOnce();
  EXPECT_EQ(CountCommand(device.Record(), UpdateCommand::USBErase), 0u);
  EXPECT_EQ(window.Progress(), 500);
}

TEST_F(UpdateTest, ClearingMcuDuringTheMcuPartFinishesIt) {
  // "MCU" is read once, when the run begins: clearing it in Section 1 or in
  // Section 2 skips no block and not MCUEnd, and the USB part follows.
  for (const int at : {100, 250, 400}) {
    SCOPED_TRACE(at);
    device.ClearRecord();
    Start();
    window.OnProgress([this, at](int position) {
      if (position == at) window.SetCheck(IDC_MCU, false);
    });
    RunOnce();
    EXPECT_EQ(window.GetCheck(IDC_MCU), 0) << "the box was cleared during the run";
    const auto record = device.Record();
    EXPECT_EQ(record.size(), 2461u);
    EXPECT_EQ(CountCommand(record, UpdateCommand::MCUWrite), 2028u);
    EXPECT_EQ(CountCommand(record, UpdateCommand::MCUEnd), 1u);
    EXPECT_EQ(CountCommand(record, UpdateCommand::USBEnd), 1u);
    EXPECT_EQ(dlg->LastRunResult(), 0);
    ExpectDeviceHolds(device, ShippedImage(), 0x9EC0, 0x11AC0);
    window.OnProgress({});
    dlg.reset();
  }
}

TEST_F(UpdateTest, VerboseLogTracesEveryBlockInOrder) {
  Start();
  ClickLog();
  ASSERT_TRUE(dlg->IsVerboseLog());
  RunOnce();
  const auto lines = RunLines();
  const auto record = device.Record();
  // MCU Section 1 header, 4 lines per block, Section 2 header and size, blocks,
  // USB header and size, blocks, completion.
  ASSERT_EQ(lines.size(), 1u + 4 * 512 + 2 + 4 * 1516 + 2 + 4 * 428 + 1);
  EXPECT_EQ(lines[0], "MCU Section 1");
  EXPECT_EQ(lines[1], "Addr = 0x00002000");
  EXPECT_EQ(lines[2], "Block = 0, BlockIdx = 0");
  EXPECT_EQ(lines[3], "Write = " + FormatReportDump(record[2]));
  EXPECT_EQ(lines[4], "MCUWrite Reply = " + FormatReportDump([&] {
              ReportPacket reply = record[2];
              reply[2] = 0x49;
              reply[4] = 0xF2;
              std::fill(reply.begin() + 26, reply.end(), 0);
              return reply;
            }()));
  EXPECT_EQ(lines[1 + 4 * 3 + 1], "Block = 3, BlockIdx = 3");
  EXPECT_EQ(lines[1 + 4 * 4 + 1], "Block = 4, BlockIdx = 0");
  const std::size_t s2 = 1 + 4 * 512;
  EXPECT_EQ(lines[s2], "MCU Section 2");
  EXPECT_EQ(lines[s2 + 1], "MCU section 2 write size = 0x00005ec0");
  EXPECT_EQ(lines[s2 + 2], "Addr = 0x00004000");
  EXPECT_EQ(lines[s2 + 3], "Block = 0, BlockIdx = 0");
  const std::size_t lastMcu = s2 + 2 + 4 * 1515;
  EXPECT_EQ(lines[lastMcu], "Addr = 0x00009eb0");
  EXPECT_EQ(lines[lastMcu + 1], "Block = 1515, BlockIdx = 3");
  const std::size_t usb = s2 + 2 + 4 * 1516;
  EXPECT_EQ(lines[usb], "USB Section");
  EXPECT_EQ(lines[usb + 1], "USB  write size = 0x00001ac0");
  EXPECT_EQ(lines[usb + 2], "Addr = 0x00010000");
  EXPECT_EQ(lines[usb + 3], "Block = 0, BlockIdx = 0");
  EXPECT_EQ(lines[usb + 5].rfind("USBWrite Reply = 0x00 0x55 0x49 0x02 0xf2 0x01 0x00 0x00", 0), 0u);
  EXPECT_EQ(lines.back(), "Update complete");
}

TEST_F(UpdateTest, ShortMcuSectionsSendNoSecondSectionBlock) {
  for (const std::uint32_t end : {0x4000u, 0x400Fu}) {
    SCOPED_TRACE(end);
    resources.SetImage(*mkimage::Synthetic(end, 0x11AC0, 0x13, 0x11));
    device.ClearRecord();
    window.SetCheck(IDC_USB, false);
    Start();
    window.SetCheck(IDC_USB, false);
    ClickLog();
    RunOnce();
    const auto record = device.Record();
    ASSERT_EQ(record.size(), 2u + 512u + 1u);
    EXPECT_EQ(CommandOfPacket(record.back()), UpdateCommand::MCUEnd) << "MCUEnd follows Section 1 directly";
    const auto lines = RunLines();
    char size[64];
    std::snprintf(size, sizeof size, "MCU section 2 write size = 0x%08x", end - 0x4000);
    EXPECT_NE(std::find(lines.begin(), lines.end(), size), lines.end());
    EXPECT_EQ(window.Progress(), 250);
    dlg.reset();
  }
}

TEST_F(UpdateTest, LogCanBeFlippedDuringARun) {
  Start();
  window.OnProgress([this](int position) {
    if (position == 250 && !dlg->IsVerboseLog()) ClickLog();  // switched on from the UI thread's side
  });
  RunOnce();
  const auto lines = RunLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "MCU Section 2") << "verbose lines start from the next logging point";
  EXPECT_EQ(lines.back(), "Update complete");
}

TEST_F(UpdateTest, AStaleReplyFromAnAbandonedRunIsDiscarded) {
  Start();
  ReportPacket stale{};
  stale[1] = 0x55;
  stale[2] = 0x49;
  stale[3] = 0x01;
  stale[4] = 0xF3;  // an MCUEnd reply nobody read
  device.QueueStaleReply(stale);
  RunOnce();
  EXPECT_EQ(dlg->LastRunResult(), 0);
  ExpectDeviceHolds(device, ShippedImage(), 0x9EC0, 0x11AC0);
}

TEST_F(UpdateTest, ASecondRunStartsFromTheBarWhereTheFirstLeftIt) {
  Start();
  window.SetCheck(IDC_USB, false);
  RunOnce();
  ASSERT_EQ(window.Progress(), 500);
  std::vector<int> first;
  window.OnProgress([&first](int position) {
    if (first.empty()) first.push_back(position);
  });
  dlg->OnTimer(kUpdateTimerId);
  RunOnce();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0], 0) << "the run's own accumulator starts again at 0";
}

TEST_F(UpdateTest, OnlyOneWorkerAtATime) {
  Start();
  device.SetFault(Fault{FaultKind::NoReply, UpdateCommand::MCUErase, 0});
  dlg->OnClickedUpdate();
  dlg->OnClickedUpdate();  // a click that lands while busy starts nothing
  dlg->WaitForWorker();
  EXPECT_EQ(device.RecordSize(), 2u);
  EXPECT_EQ(window.BoxTexts().size(), 1u);
}

}  // namespace
}  // namespace orvik::test
