// The Qt dialog window, offscreen: its controls and layout, close requests
// while busy, calls from other threads, and a whole update of the emulated
// device through the real window.
#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/qt/qt_dialog_window.h"
#include "app/qt/quit_signals.h"
#include "emulator/emulated_device.h"
#include "image/resources.h"
#include "support/test_support.h"
#include "ui/updater_dlg.h"

namespace orvik::qt {
namespace {

using namespace std::chrono_literals;

constexpr char kCaption[] = "Firmware for Solvane ver1.3";
constexpr int kUpdateCommands = 2461;

// Runs a real event loop (not QTest::qWait, whose sleeps would slow a worker
// that waits on this thread) until `done` holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
  if (done()) return true;
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  poll.start(5);
  QTimer::singleShot(static_cast<int>(timeout.count()), &loop, &QEventLoop::quit);
  loop.exec();
  return done();
}

// An emulated device whose first completed write waits until the test lets it
// go: the worker stays busy for as long as the test needs.
class HeldDevice final : public HidDevice {
 public:
  bool OpenDevice(std::uint32_t vendorId, std::uint32_t productId) override {
    return m_device.OpenDevice(vendorId, productId);
  }
  void WriteReport(std::span<const std::uint8_t> report) override { m_device.WriteReport(report); }
  bool WaitWriteDone() override {
    std::unique_lock lock(m_mutex);
    m_released.wait(lock, [this] { return !m_held; });
    return m_device.WaitWriteDone();
  }
  void ReadReport(std::span<std::uint8_t> buffer) override { m_device.ReadReport(buffer); }
  bool WaitReadDone() override { return m_device.WaitReadDone(); }
  void DiscardQueuedInput() override { m_device.DiscardQueuedInput(); }

  void Release() {
    {
      std::lock_guard lock(m_mutex);
      m_held = false;
    }
    m_released.notify_all();
  }
  EmulatedDevice& Inner() { return m_device; }

 private:
  EmulatedDevice m_device;
  std::mutex m_mutex;
  std::condition_variable m_released;
  bool m_held = true;
};

std::vector<std::string> BoxTexts(const QtDialogWindow& window) {
  std::vector<std::string> texts;
  for (const auto& box : window.ShownBoxes()) texts.push_back(box.text);
  return texts;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class QtDialogTest : public ::testing::Test {
 protected:
  test::ScopedLog m_log;
  TableResources m_resources{EmbeddedResourceTable()};
};

TEST_F(QtDialogTest, ComesUpWithTheVersionCaptionAndTheTemplateLayout) {
  EmulatedDevice device;
  QtDialogWindow window;
  CORVIKUpdaterDlg dialog(window, device, m_resources, {"/usr/bin/orvik-updater"});
  window.Attach(dialog);
  ASSERT_TRUE(window.Start());

  EXPECT_EQ(window.windowTitle().toStdString(), kCaption);
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.Ended());
  // Without -AdvMode the expert boxes stay hidden, yet MCU and USB are checked.
  for (int id : {IDC_MCU, IDC_USB, IDC_LOG}) EXPECT_TRUE(window.Control(id)->isHidden()) << id;
  for (int id : {IDC_UPDATE, IDC_PROGRESS, IDC_ELAPSED}) EXPECT_TRUE(window.Control(id)->isVisible()) << id;
  EXPECT_EQ(window.GetCheck(IDC_MCU), 1);
  EXPECT_EQ(window.GetCheck(IDC_USB), 1);
  EXPECT_EQ(window.GetCheck(IDC_LOG), 0);
  EXPECT_EQ(window.ElapsedText().text().toStdString(), "00:00.000");
  EXPECT_EQ(window.ProgressBar().minimum(), 0);
  EXPECT_EQ(window.ProgressBar().maximum(), 1000);
  EXPECT_TRUE(window.UpdateButton().isEnabled());
  EXPECT_EQ(window.focusWidget(), &window.UpdateButton());
  EXPECT_TRUE(window.ShownBoxes().empty());

  // Every control sits at its template place, in units of the dialog's font.
  const DialogBaseUnits units = BaseUnitsOf(QFontMetrics(window.font()));
  ASSERT_GT(units.x, 0);
  ASSERT_GT(units.y, 0);
  for (const TemplateControl& control : kTemplateControls) {
    EXPECT_EQ(window.Control(control.id)->geometry(), DialogUnitsToPixels(control.du, units)) << control.id;
  }
  const QSize client = DialogUnitsToPixels(QRect(0, 0, kDialogWidthDu, kDialogHeightDu), units).size();
  EXPECT_EQ(window.size(), client);
  EXPECT_EQ(window.minimumSize(), client);
  EXPECT_EQ(window.maximumSize(), client);
  EXPECT_FALSE(window.windowIcon().isNull());
  EXPECT_EQ(window.windowIcon().availableSizes().value(0), QSize(32, 32));
}

TEST(DialogUnits, ConvertLikeWindowsDoes) {
  // Tahoma 8 pt at 96 dpi has base units 6 x 13: the template's 243 x 45
  // dialog becomes 365 x 73 pixels, rounded like MulDiv.
  const DialogBaseUnits tahoma8{6, 13};
  EXPECT_EQ(DialogUnitsToPixels(QRect(0, 0, 243, 45), tahoma8), QRect(0, 0, 365, 73));
  EXPECT_EQ(DialogUnitsToPixels(QRect(7, 24, 50, 14), tahoma8), QRect(11, 39, 75, 23));
  EXPECT_EQ(DialogUnitsToPixels(QRect(199, 27, 37, 11), {7, 16}), QRect(348, 54, 65, 22));
}

TEST_F(QtDialogTest, AdvModeShowsTheExpertBoxes) {
  EmulatedDevice device;
  QtDialogWindow window;
  CORVIKUpdaterDlg dialog(window, device, m_resources, {"orvik-updater", "-Emulate", "-AdvMode"});
  window.Attach(dialog);
  ASSERT_TRUE(window.Start());
  for (int id : {IDC_MCU, IDC_USB, IDC_LOG}) EXPECT_TRUE(window.Control(id)->isVisible()) << id;
  // A click on "Log" reaches the dialog after the box has changed its state.
  EXPECT_FALSE(dialog.IsVerboseLog());
  QTest::mouseClick(window.Control(IDC_LOG), Qt::LeftButton);
  EXPECT_EQ(window.GetCheck(IDC_LOG), 1);
  EXPECT_TRUE(dialog.IsVerboseLog());
  QTest::mouseClick(window.Control(IDC_LOG), Qt::LeftButton);
  EXPECT_FALSE(dialog.IsVerboseLog());
}

TEST_F(QtDialogTest, StartUpFailureEndsTheProgramWithoutShowingTheWindow) {
  EmulatedDevice device;
  device.SetPresent(false);
  QtDialogWindow window;
  window.SetAutoAnswerMessageBoxes(true);
  CORVIKUpdaterDlg dialog(window, device, m_resources, {"orvik-updater"});
  window.Attach(dialog);
  bool shown = false;
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, &window, [&] {
    shown = window.isVisible();
    window.done(99);
  });
  watchdog.start(5000);

  EXPECT_EQ(window.Run(), kDialogResultOk);
  EXPECT_FALSE(shown) << "the modal run started although start-up had ended the dialog";
  EXPECT_FALSE(window.isVisible());
  ASSERT_EQ(window.ShownBoxes().size(), 1u);
  EXPECT_EQ(window.ShownBoxes()[0].text, "Can't find device, Please connect before run this updater!");
  EXPECT_EQ(window.ShownBoxes()[0].title, kCaption);
  const auto lines = m_log.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Can't find device");
}

TEST_F(QtDialogTest, CloseRequestsAreIgnoredWhileBusyAndAcceptedAfter) {
  HeldDevice device;
  QtDialogWindow window;
  window.SetAutoAnswerMessageBoxes(true);
  CORVIKUpdaterDlg dialog(window, device, m_resources, {"orvik-updater"});
  window.Attach(dialog);
  ASSERT_TRUE(window.Start());
  QTest::mouseClick(&window.UpdateButton(), Qt::LeftButton);
  ASSERT_TRUE(dialog.IsBusy());
  EXPECT_FALSE(window.UpdateButton().isEnabled());

  // The worker waits on its first write; keep it there long enough for the
  // timer to tick, and try every way to close meanwhile.
  ASSERT_TRUE(WaitUntil([&] { return window.ElapsedText().text() != "00:00.000"; }, 5s));
  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_FALSE(window.close());
  QTest::keyClick(&window, Qt::Key_Return);
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.Ended());

  device.Release();
  ASSERT_TRUE(WaitUntil([&] { return dialog.LastRunResult() == 0 && window.UpdateButton().isEnabled(); }));
  EXPECT_EQ(BoxTexts(window), std::vector<std::string>{"Update complete"});
  EXPECT_EQ(window.ProgressBar().value(), 1000);

  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_TRUE(window.Ended());
  EXPECT_EQ(window.EndResult(), kDialogResultCancel);
  EXPECT_FALSE(window.isVisible());
}

// A real SIGTERM to this process, as `kill` sends it to the program.
TEST_F(QtDialogTest, SigtermWhileBusyLetsTheRunFinishAndThenCloses) {
  HeldDevice device;
  QtDialogWindow window;
  CORVIKUpdaterDlg dialog(window, device, m_resources, {"orvik-updater"});
  window.Attach(dialog);
  std::vector<int> requests;
  const QuitSignals quitSignals([&](int signal) {
    requests.push_back(signal);
    window.RequestClose();
  });
  ASSERT_TRUE(window.Start());
  QTest::mouseClick(&window.UpdateButton(), Qt::LeftButton);
  ASSERT_TRUE(dialog.IsBusy());

  ASSERT_EQ(kill(getpid(), SIGTERM), 0);
  ASSERT_TRUE(WaitUntil([&] { return !requests.empty(); }, 5s)) << "the signal did not reach the event loop";
  EXPECT_EQ(requests, std::vector<int>{SIGTERM});
  // Several polls of the pending request go by: the run is left alone.
  WaitUntil([] { return false; }, std::chrono::milliseconds(4 * QtDialogWindow::kCloseRequestPollMs));
  EXPECT_TRUE(dialog.IsBusy());
  EXPECT_FALSE(window.Ended());
  EXPECT_TRUE(window.isVisible());

  // The run ends; its "Update complete" box is answered and the window closes.
  device.Release();
  ASSERT_TRUE(WaitUntil([&] { return window.Ended(); })) << "the window did not close after the run";
  EXPECT_EQ(dialog.LastRunResult(), 0);
  EXPECT_EQ(device.Inner().RecordSize(), static_cast<std::size_t>(kUpdateCommands));
  window.Shutdown();
  dialog.WaitForWorker();
  ASSERT_FALSE(m_log.Lines().empty());
  EXPECT_EQ(m_log.Lines().back(), "Update complete");
}

TEST_F(QtDialogTest, SignalsWhileIdleCloseTheWindowAtOnce) {
  for (const int signal : {SIGINT, SIGHUP, SIGQUIT, SIGUSR1}) {
    EmulatedDevice device;
    QtDialogWindow window;
    CORVIKUpdaterDlg dialog(window, device, m_resources, {"orvik-updater"});
    window.Attach(dialog);
    const QuitSignals quitSignals([&](int) { window.RequestClose(); });
    ASSERT_TRUE(window.Start());
    ASSERT_EQ(kill(getpid(), signal), 0);
    ASSERT_TRUE(WaitUntil([&] { return window.Ended(); }, 5s)) << signal;
    EXPECT_EQ(window.EndResult(), kDialogResultCancel);
    EXPECT_FALSE(window.isVisible());
  }
}

TEST_F(QtDialogTest, EnterPressesTheFocusedUpdateButtonAndOtherwiseCloses) {
  EmulatedDevice device;
  QtDialogWindow window;
  window.SetAutoAnswerMessageBoxes(true);
  CORVIKUpdaterDlg dialog(window, device, m_resources, {"orvik-updater", "-AdvMode"});
  window.Attach(dialog);
  ASSERT_TRUE(window.Start());
  ASSERT_EQ(window.focusWidget(), &window.UpdateButton());
  QTest::keyClick(&window, Qt::Key_Return);
  EXPECT_FALSE(window.Ended());
  ASSERT_TRUE(WaitUntil([&] { return dialog.LastRunResult() == 0 && window.UpdateButton().isEnabled(); }));
  EXPECT_EQ(device.RecordSize(), static_cast<std::size_t>(kUpdateCommands));

  window.Control(IDC_USB)->setFocus();
  QTest::keyClick(&window, Qt::Key_Return);
  EXPECT_TRUE(window.Ended());
  EXPECT_EQ(window.EndResult(), kDialogResultOk);
}

TEST_F(QtDialogTest, WorkerCallsRunOnTheUserInterfaceThreadAndReturnTheirResults) {
  EmulatedDevice device;
  QtDialogWindow window;
  CORVIKUpdaterDlg dialog(window, device, m_resources, {"orvik-updater"});
  window.Attach(dialog);
  ASSERT_TRUE(window.Start());

  const QThread* uiThread = QThread::currentThread();
  std::atomic<bool> boxOnUiThread{false};
  std::string boxText;
  std::string boxTitle;
  window.SetMessageBoxHook([&](QMessageBox& box) {
    boxOnUiThread = QThread::currentThread() == uiThread && box.isVisible();
    boxText = box.text().toStdString();
    boxTitle = box.windowTitle().toStdString();
    box.accept();
  });

  struct Results {
    int checkAfterSet = -1;
    int uncheckedLog = -1;
    std::string caption;
    int box = -1;
  } results;
  std::atomic<bool> finished{false};
  std::thread worker([&] {
    results.uncheckedLog = window.GetCheck(IDC_LOG);
    window.SetCheck(IDC_LOG, true);
    results.checkAfterSet = window.GetCheck(IDC_LOG);
    window.SetItemText(IDC_ELAPSED, "12:34.567");
    window.SetProgressPos(1234);  // clamped to the range, as Win32 does
    results.caption = window.GetCaption();
    results.box = window.MessageBox("Update fail, code = 440", "custom title");
    // Timer 0 ticks on this window's thread: idle, the dialog re-enables
    // "Update" and stops the timer at the first tick.
    window.EnableControl(IDC_UPDATE, false);
    window.StartTimer(kUpdateTimerId, 20);
    finished = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return finished.load() && window.UpdateButton().isEnabled(); }));
  worker.join();

  EXPECT_EQ(results.uncheckedLog, 0);
  EXPECT_EQ(results.checkAfterSet, 1);
  EXPECT_EQ(results.caption, kCaption);
  EXPECT_EQ(results.box, kMessageBoxOk);
  EXPECT_TRUE(boxOnUiThread);
  EXPECT_EQ(boxText, "Update fail, code = 440");
  EXPECT_EQ(boxTitle, "custom title");
  EXPECT_EQ(window.ElapsedText().text().toStdString(), "12:34.567");
  EXPECT_EQ(window.ProgressBar().value(), 1000);
  EXPECT_EQ(window.PendingCalls(), 0u);
}

TEST(QtDialogWindowShutdown, CallsFromOtherThreadsReturnAtOnceOnceTheWindowIsGone) {
  auto window = std::make_unique<QtDialogWindow>();
  window->SetCheck(IDC_LOG, true);

  // A call posted while this thread serves no events stays pending until the
  // window goes away; then the caller returns at once with nothing.
  std::string caption = "not yet";
  std::thread waiting([&] { caption = window->GetCaption(); });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (window->PendingCalls() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(window->PendingCalls(), 1u);
  window->Shutdown();
  waiting.join();
  EXPECT_EQ(caption, "");
  EXPECT_EQ(window->PendingCalls(), 0u);

  // Later calls do not wait at all, and a message box returns 0.
  int box = -1;
  int check = -1;
  std::thread late([&] {
    box = window->MessageBox("Update complete", "title");
    check = window->GetCheck(IDC_LOG);
    window->SetProgressPos(500);
  });
  late.join();
  EXPECT_EQ(box, 0);
  EXPECT_EQ(check, 0);

  // The queued call of the cancelled caller may still sit in the event queue:
  // it must do nothing once the window is destroyed.
  window.reset();
  QCoreApplication::processEvents();
}

TEST(QtDialogWindowShutdown, DestroyingTheWindowReleasesAWaitingWorker) {
  auto window = std::make_unique<QtDialogWindow>();
  std::atomic<int> box{-1};
  std::thread waiting([&] { box = window->MessageBox("late", "title"); });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (window->PendingCalls() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  window.reset();
  waiting.join();
  EXPECT_EQ(box.load(), 0);
  QCoreApplication::processEvents();
}

TEST_F(QtDialogTest, UpdatesTheEmulatedDeviceEndToEnd) {
  EmulatedDevice device;
  QtDialogWindow window;
  window.SetAutoAnswerMessageBoxes(true);
  CORVIKUpdaterDlg dialog(window, device, m_resources, {"orvik-updater", "-Emulate"});
  window.Attach(dialog);
  ASSERT_TRUE(window.Start());

  const auto started = std::chrono::steady_clock::now();
  QTest::mouseClick(&window.UpdateButton(), Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return !window.ShownBoxes().empty(); }));
  EXPECT_EQ(BoxTexts(window), std::vector<std::string>{"Update complete"});
  EXPECT_EQ(window.ShownBoxes()[0].title, kCaption);
  ASSERT_TRUE(WaitUntil([&] { return window.UpdateButton().isEnabled() && !dialog.IsBusy(); }));
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(window.ProgressBar().value(), 1000);
  EXPECT_EQ(dialog.LastRunResult(), 0);
  EXPECT_EQ(device.RecordSize(), static_cast<std::size_t>(kUpdateCommands));
  ASSERT_TRUE(WaitUntil([&] { return !m_log.Lines().empty() && m_log.Lines().back() == "Update complete"; }));
  EXPECT_TRUE(Contains(m_log.Lines(), "USB  write size = 0x00001ac0"));
  // A zero-latency device: what remains is the updater and the window.
  EXPECT_LT(elapsed, 10s);
  std::printf("[          ] update through the Qt window: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));

  // Idle again: the close box ends the dialog.
  EXPECT_TRUE(window.close());
  EXPECT_TRUE(window.Ended());
  EXPECT_EQ(window.EndResult(), kDialogResultCancel);
}

}  // namespace
}  // namespace orvik::qt

int main(int argc, char** argv) {
  // Offscreen unless the caller chose a platform.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
