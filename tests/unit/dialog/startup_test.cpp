#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <span>

#include "dialog_fixture.h"
#include "pack.h"

namespace orvik::test {
namespace {

const char kCaption[] = "Firmware for Solvane ver1.3";
const std::vector<std::string> kImageLines = {
    "MCU End write address = 0x00009ec0", "MCU VID = 0x1209 PID = 0x0121", "CheckSum = 0x02ae",
    "VerifyCheckSum = 0x02ae",           "USB End write address = 0x00011ac0", "USB VID = 0x1209 PID = 0x0121",
    "CheckSum = 0x63ed",                 "VerifyCheckSum = 0x63ed"};

std::vector<std::string> With(std::vector<std::string> lines, const std::vector<std::string>& more) {
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

using StartupTest = DialogFixture;

TEST_F(StartupTest, GoodStartShowsVersionLogsVersionsAndSetsDefaults) {
  Start();
  EXPECT_FALSE(window.Ended());
  EXPECT_TRUE(window.Boxes().empty());
  EXPECT_EQ(window.GetCaption(), kCaption);
  EXPECT_EQ(log.Lines(), With(kImageLines, {"MCU = Y1-3, USB = Y1-1"}));
  EXPECT_TRUE(device.IsOpen());
  EXPECT_EQ(window.GetCheck(IDC_MCU), 1);
  EXPECT_EQ(window.GetCheck(IDC_USB), 1);
  EXPECT_EQ(window.GetCheck(IDC_LOG), 0);
  for (int id : {IDC_MCU, IDC_USB, IDC_LOG}) EXPECT_FALSE(window.Visible(id));
  const auto calls = window.Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "SetProgressRange 0 1000"), calls.end());
  EXPECT_FALSE(dlg->IsBusy());
}

TEST_F(StartupTest, VersionBytesAreShownAsLowerCaseNibbles) {
  resources.SetImage(*mkimage::Synthetic(0x9EC0, 0x11AC0, 0x12, 0x0A));
  Start();
  EXPECT_EQ(log.Lines().back(), "MCU = Y1-2, USB = Y0-a");
}

TEST_F(StartupTest, MissingVersionTextEndsTheDialogButLaterStepsStillRun) {
  resources.versionStatus = ResourceStatus::NotFound;
  Start();
  ASSERT_EQ(window.Boxes().size(), 1u);
  const auto box = window.Boxes()[0];
  EXPECT_EQ(box.text, "Can't find ver data, this updater is damage!");
  EXPECT_EQ(box.title, "Firmware for Solvane ver");  // the version was never appended
  EXPECT_EQ(box.logLinesBefore, 0u);
  EXPECT_EQ(log.Lines(), With({"Find ver resource fail"}, With(kImageLines, {"MCU = Y1-3, USB = Y1-1"})));
  EXPECT_TRUE(window.Ended());
  EXPECT_EQ(window.EndResult(), kDialogResultOk);
  EXPECT_EQ(window.LogLinesAtEnd(), 1u) << "message, log, end";
  EXPECT_TRUE(device.IsOpen()) << "the device is still looked for";
}

TEST_F(StartupTest, UnloadableVersionTextAndMissingDeviceGiveTwoBoxes) {
  resources.versionStatus = ResourceStatus::LoadFailed;
  device.SetPresent(false);
  Start();
  EXPECT_EQ(window.BoxTexts(), (std::vector<std::string>{"Can't find ver data, this updater is damage!",
                                                         "Can't find device, Please connect before run this updater!"}));
  for (const auto& box : window.Boxes()) EXPECT_EQ(box.title, "Firmware for Solvane ver");
  EXPECT_EQ(log.Lines(), With({"Load ver resource fail"}, With(kImageLines, {"Can't find device"})));
}

TEST_F(StartupTest, VersionTextStopsAtItsFirstZeroByte) {
  resources.SetVersion({'2', '.', '0', 0, 'x'});
  Start();
  EXPECT_EQ(window.GetCaption(), "Firmware for Solvane ver2.0");
}

TEST_F(StartupTest, OverlongVersionTextKeepsTheCaptionWithinItsBound) {
  resources.SetVersion(std::vector<std::uint8_t>(5000, 'v'));
  Start();
  EXPECT_EQ(window.GetCaption().size(), 24u + (4095u)) << "caption plus the converted text, cut to its buffer";
  // Message boxes read the caption into 260 units.
  device.SetPresent(false);
  ScriptedWindow other;
  EmulatedDevice absent(kWaitBound);
  absent.SetPresent(false);
  CORVIKUpdaterDlg second(other, absent, resources, {"x"});
  ASSERT_TRUE(second.OnInitDialog());
  ASSERT_EQ(other.Boxes().size(), 1u);
  EXPECT_EQ(other.Boxes()[0].title.size(), 259u);
}

struct ImageCase {
  const char* name;
  ResourceStatus status;
  std::size_t size;       // bytes of the resource
  bool corrupt;           // flip a byte of the MCU section
  const char* message;
  const char* logLine;
  bool logBeforeEnd;
  std::size_t imageLines;  // verification lines before the failure line
};

class ImageFailureTest : public DialogFixture, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(ImageFailureTest, ShowsLogsAndEndsInItsOrderAndSkipsTheDevice) {
  const ImageCase& c = GetParam();
  resources.imageStatus = c.status;
  if (c.size != kImageSize) resources.SetImageBytes(std::vector<std::uint8_t>(c.size, 0xFF));
  if (c.corrupt) {
    FirmwareImage image = ShippedImage();
    image[0x10] ^= 0x40;
    resources.SetImage(image);
  }
  Start();
  ASSERT_EQ(window.BoxTexts(), std::vector<std::string>{c.message});
  EXPECT_EQ(window.Boxes()[0].title, kCaption);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), c.imageLines + 1);
  EXPECT_EQ(lines.back(), c.logLine);
  EXPECT_EQ(window.Boxes()[0].logLinesBefore, c.imageLines);
  EXPECT_TRUE(window.Ended());
  EXPECT_EQ(window.LogLinesAtEnd(), c.logBeforeEnd ? c.imageLines + 1 : c.imageLines);
  EXPECT_FALSE(device.IsOpen()) << "no device search after a bad image";
  const auto calls = window.Calls();
  EXPECT_EQ(std::find(calls.begin(), calls.end(), "SetProgressRange 0 1000"), calls.end());
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ImageFailureTest,
    ::testing::Values(
        ImageCase{"NotFound", ResourceStatus::NotFound, kImageSize, false,
                  "Can't find update data, this updater is damage!", "Find Bin resource fail", true, 0},
        ImageCase{"LoadFailed", ResourceStatus::LoadFailed, kImageSize, false,
                  "Can't find update data, this updater is damage!", "Load Bin resource fail", true, 0},
        ImageCase{"Short", ResourceStatus::Found, kImageSize - 1, false, "Update data is damage!",
                  "Bin resource size error", true, 0},
        ImageCase{"Long", ResourceStatus::Found, kImageSize + 1, false, "Update data is damage!",
                  "Bin resource size error", true, 0},
        ImageCase{"Corrupt", ResourceStatus::Found, kImageSize, true, "Update data is damage!", "Verify fail", false,
                  4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StartupTest, NoDeviceShowsOneBoxLogsAndEnds) {
  device.SetPresent(false);
  Start();
  ASSERT_EQ(window.BoxTexts(), std::vector<std::string>{"Can't find device, Please connect before run this updater!"});
  EXPECT_EQ(window.Boxes()[0].title, kCaption);
  EXPECT_EQ(log.Lines(), With(kImageLines, {"Can't find device"}));
  EXPECT_EQ(window.Boxes()[0].logLinesBefore, 8u);
  EXPECT_EQ(window.LogLinesAtEnd(), 9u) << "message, log, end";
}

TEST(AdvMode, OnlyTheExactSwitchAfterTheProgramPathCounts) {
  EXPECT_FALSE(HasAdvModeSwitch({}));
  EXPECT_FALSE(HasAdvModeSwitch({"-AdvMode"})) << "the program's own path is not an argument";
  EXPECT_FALSE(HasAdvModeSwitch({"p", "-advmode"}));
  EXPECT_FALSE(HasAdvModeSwitch({"p", "/AdvMode"}));
  EXPECT_FALSE(HasAdvModeSwitch({"p", "-AdvMode2"}));
  EXPECT_FALSE(HasAdvModeSwitch({"p", " -AdvMode"}));
  EXPECT_TRUE(HasAdvModeSwitch({"p", "-AdvMode"}));
  EXPECT_TRUE(HasAdvModeSwitch({"p", "x", "-Emulate", "-AdvMode"}));
  EXPECT_TRUE(HasAdvModeSwitch({"p", "-AdvMode", "-AdvMode"}));
}

TEST_F(StartupTest, AdvModeShowsTheThreeBoxesInOrder) {
  Start({"C:\\Tools\\Updater.exe", "-AdvMode"});
  EXPECT_TRUE(dlg->AdvancedMode());
  std::vector<std::string> shows;
  for (const auto& call : window.Calls()) {
    if (call.rfind("ShowControl", 0) == 0) shows.push_back(call);
  }
  EXPECT_EQ(shows, (std::vector<std::string>{"ShowControl 1002", "ShowControl 1003", "ShowControl 1005"}));
}

TEST(Elapsed, FormatsMinutesSecondsMillisecondsAcrossAWrap) {
  EXPECT_EQ(FormatElapsed(0, 0), "00:00.000");
  EXPECT_EQ(FormatElapsed(5, 5 + 61001), "01:01.001");
  EXPECT_EQ(FormatElapsed(0, 3599999), "59:59.999");
  EXPECT_EQ(FormatElapsed(0, 6000000), "100:00.000");
  EXPECT_EQ(FormatElapsed(0xFFFFFFFFu - 255, 256), "00:00.512");
  EXPECT_EQ(FormatElapsed(1, 0), "71582:47.295") << "the largest difference";
}

// Forwards to another device; once armed, holds the next write until the test
// releases it, so that the test acts while the run is certainly under way.
class HoldingDevice final : public HidDevice {
 public:
  explicit HoldingDevice(HidDevice& inner) : m_inner(inner) {}

  bool OpenDevice(std::uint32_t vendorId, std::uint32_t productId) override {
    return m_inner.OpenDevice(vendorId, productId);
  }
  void WriteReport(std::span<const std::uint8_t> report) override {
    {
      std::unique_lock lock(m_mutex);
      if (m_armed) {
        m_armed = false;
        m_held = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_held; });
      }
    }
    m_inner.WriteReport(report);
  }
  bool WaitWriteDone() override { return m_inner.WaitWriteDone(); }
  void ReadReport(std::span<std::uint8_t> buffer) override { m_inner.ReadReport(buffer); }
  bool WaitReadDone() override { return m_inner.WaitReadDone(); }
  void DiscardQueuedInput() override { m_inner.DiscardQueuedInput(); }

  void Arm() {
    std::lock_guard lock(m_mutex);
    m_armed = true;
  }
  void WaitUntilHeld() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_held; });
  }
  void Release() {
    std::lock_guard lock(m_mutex);
    m_held = false;
    m_changed.notify_all();
  }

 private:
  HidDevice& m_inner;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_armed = false;
  bool m_held = false;
};

TEST_F(StartupTest, TimerShowsElapsedWhileBusyThenRestoresTheButton) {
  HoldingDevice holding(device);
  Start({"orvik-updater.exe"}, &holding);
  device.SetFault(Fault{FaultKind::NoReply, UpdateCommand::StartUpdate, 0});
  holding.Arm();  // after start-up, whose version queries must pass
  // The tick counter wraps 256 ms after the run starts.
  tick = 0xFFFFFFFFu - 255;
  dlg->OnClickedUpdate();
  EXPECT_FALSE(window.Enabled(IDC_UPDATE));
  // The worker took its start tick and started the timer before its first
  // write, where it is held now: the run is under way, the dialog busy.
  holding.WaitUntilHeld();
  tick = 256;
  dlg->OnTimer(kUpdateTimerId);
  EXPECT_TRUE(dlg->IsBusy());
  EXPECT_EQ(window.ItemText(IDC_ELAPSED), "00:00.512");
  EXPECT_FALSE(window.Enabled(IDC_UPDATE));
  EXPECT_TRUE(window.TimerRunning());
  holding.Release();
  dlg->WaitForWorker();
  EXPECT_EQ(dlg->LastRunResult(), 460);
  EXPECT_FALSE(dlg->IsBusy());
  EXPECT_TRUE(window.TimerRunning());
  dlg->OnTimer(kUpdateTimerId);
  EXPECT_TRUE(window.Enabled(IDC_UPDATE));
  EXPECT_FALSE(window.TimerRunning());
  dlg.reset();  // before the holding device goes
}

TEST_F(StartupTest, CloseRequestsAreRefusedWhileBusyAndHonouredAfter) {
  Start();
  device.SetFault(Fault{FaultKind::NoReply, UpdateCommand::MCUErase, 0});
  dlg->OnClickedUpdate();
  // Busy until the bound of the silent erase runs out.
  while (dlg->IsBusy()) {
    dlg->OnOK();
    dlg->OnCancel();
    EXPECT_TRUE(!window.Ended() || !dlg->IsBusy());
    std::this_thread::sleep_for(1ms);
  }
  dlg->WaitForWorker();
  EXPECT_FALSE(window.Ended());
  dlg->OnCancel();
  EXPECT_TRUE(window.Ended());
  EXPECT_EQ(window.EndResult(), kDialogResultCancel);
}

TEST(UpdateThreadProc, NullDialogReturnsAtOnce) { EXPECT_EQ(UpdateThreadProc(nullptr), 0u); }

}  // namespace
}  // namespace orvik::test
