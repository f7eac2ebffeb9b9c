// The station window, offscreen: what a tile says for each state, the
// set-up's refusals before anything is sent, the grid's tiles (slot map,
// units as they arrive, hostile serials), closing while units update, and a
// whole station of emulated units through the real engine: four good units
// and one that fails, their counts in the title and the result list, and
// Stop then Start without a second update. Screenshots of the window go to
// the build folder's artifacts.
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/common/app_common.h"
#include "app/common/station_words.h"
#include "app/cli/station_setup.h"
#include "app/qt/station_tile_text.h"
#include "app/qt/station_window.h"
#include "image/resources.h"
#include "support/test_support.h"

namespace orvik::qt {
namespace {

using namespace std::chrono_literals;
using station::UnitState;
using station::UnitView;

// Runs a real event loop (QTest::qWait would slow the engine's posted calls)
// until `done` holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 60s) {
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

void Spin(std::chrono::milliseconds span) {
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(span.count()), &loop, &QEventLoop::quit);
  loop.exec();
}

// Keeps a picture of the window for a person to look at.
void Screenshot(QWidget& window, const std::string& name) {
  const QString folder = QStringLiteral(ORVIK_ARTIFACTS_DIR);
  QDir().mkpath(folder);
  window.grab().save(folder + QStringLiteral("/") + QString::fromStdString(name) + QStringLiteral(".png"));
}

std::string Text(const QString& text) { return text.toStdString(); }

UnitView ViewOf(std::uint64_t id, UnitState state, std::string serial = "SN-1", std::string port = "1-1.2",
                std::string slot = {}) {
  UnitView view;
  view.unit.id = id;
  view.unit.path = "emulated:" + std::to_string(id);
  view.unit.serial = std::move(serial);
  view.unit.port = std::move(port);
  view.unit.slot = std::move(slot);
  view.state = state;
  return view;
}

station::UnitResult Failure(int number, std::string message) {
  station::UnitResult result;
  result.flashed = true;
  result.failure = number;
  result.message = std::move(message);
  result.duration = 4321ms;
  return result;
}

// --- What a tile says ---------------------------------------------------------

struct TileCase {
  const char* name;
  UnitView view;
  bool empty;
  const char* word;
  const char* detail;
  bool unplug;
  bool bar;
};

TEST(StationTileText, EachStateIsAWordWithWhatTheOperatorNeeds) {
  UnitView running = ViewOf(1, UnitState::Running);
  running.progress = {.phase = station::Phase::Usb, .perMille = 640, .elapsed = 3500ms};
  UnitView failed = ViewOf(2, UnitState::Failed);
  failed.result = Failure(1345, "Check write usb code reply fail(1345)");
  UnitView passed = ViewOf(3, UnitState::Passed);
  passed.result.emplace();
  passed.result->flashed = true;
  passed.result->completed = true;
  passed.result->duration = 5200ms;
  UnitView over = ViewOf(4, UnitState::PassedOver);
  over.result.emplace();
  over.result->passedOver = true;
  over.result->updatedAt = "2026-12-08T10:00:00+01:00";
  UnitView inUse = ViewOf(5, UnitState::InUse);
  inUse.problem = "another updater holds it";

  const TileCase cases[] = {
      {"an empty slot", {}, true, "EMPTY", "", false, false},
      {"waiting", ViewOf(6, UnitState::Waiting), false, "WAITING", "", false, false},
      {"running", running, false, "UPDATING", "", false, true},
      {"failed", failed, false, "FAIL", "1345: Check write usb code reply fail(1345)", true, false},
      {"passed", passed, false, "PASS", "", true, false},
      {"passed over", over, false, "ALREADY DONE", "(2026-12-08T10:00:00+01:00)", true, false},
      {"in use", inUse, false, "IN USE", "another updater holds it", false, false},
  };
  const auto now = std::chrono::system_clock::now();
  for (const TileCase& c : cases) {
    SCOPED_TRACE(c.name);
    const TileText text = TileTextFor("A1", c.empty ? nullptr : &c.view, {}, now, now);
    EXPECT_EQ(text.word, c.word);
    EXPECT_EQ(text.detail, c.detail);
    EXPECT_EQ(text.action, c.unplug ? "unplug to go on" : "");
    EXPECT_EQ(text.bar, c.bar);
    EXPECT_EQ(text.colour, app::StateColour(c.empty ? UnitState::EmptySlot : c.view.state));
    // A screen reader hears the slot and the word.
    EXPECT_EQ(text.accessibleName.rfind(std::string("Slot A1: ") + c.word, 0), 0u) << text.accessibleName;
  }
  const TileText bar = TileTextFor("A1", &running, {}, now, now);
  EXPECT_EQ(bar.phase, "USB");
  EXPECT_EQ(bar.perMille, 640);
  EXPECT_EQ(bar.elapsed, "00:03.500");
  EXPECT_EQ(TileTextFor("A1", &failed, {}, now, now).elapsed, "00:04.321");
}

TEST(StationTileText, DeviceTextIsEscapedWherever_ItIsShown) {
  // A serial with a terminal escape, a right-to-left override and a line break.
  UnitView hostile = ViewOf(1, UnitState::Failed, "AB\x1b[2J\xe2\x80\xae" "CD\n", "1-1.\x07");
  hostile.result = Failure(1345, "fail");
  const auto now = std::chrono::system_clock::now();
  const TileText text = TileTextFor(TileName(hostile.unit), &hostile, {}, now, now);
  EXPECT_EQ(text.serial, "AB\\x1b[2J\\u{202e}CD\\x0a");
  EXPECT_EQ(text.name, "1-1.\\x07");
  EXPECT_NE(text.accessibleName.find("serial AB\\x1b[2J\\u{202e}CD\\x0a"), std::string::npos);
}

TEST(StationTileText, CountersSayPassedFailedYieldAndUnitsPerHourAfterAMinute) {
  station::Tally tally;
  tally.passed = 3;
  tally.failed = 1;
  const auto now = std::chrono::system_clock::now();
  EXPECT_EQ(CounterText(tally, now - 30s, now), "3 passed, 1 failed, 75.0%");
  EXPECT_EQ(CounterText(tally, now - 2h, now), "3 passed, 1 failed, 75.0%, 2/h");
  EXPECT_EQ(CounterText({}, now - 2h, now), "0 passed, 0 failed, -, 0/h");
}

// --- The grid, fed events directly ---------------------------------------------

TEST(StationWindowGrid, ASlotMapShowsEverySlotInItsOrderAndEmptySlotsEmpty) {
  StationWindowSettings settings;
  settings.slots = {"A1", "A2", "B1"};
  settings.slotsFile = "line3.slots";
  StationWindow window(settings);
  window.show();
  window.Refresh();
  ASSERT_EQ(window.TileCount(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(window.Tile(i).Text().word, "EMPTY");
  EXPECT_EQ(window.Tile(2).Text().name, "B1");

  window.UnitChanged(ViewOf(7, UnitState::Waiting, "SN-7", "1-1.3", "A2"));
  window.Refresh();
  EXPECT_EQ(window.Tile(0).Text().word, "EMPTY");
  EXPECT_EQ(window.Tile(1).Text().word, "WAITING");
  EXPECT_EQ(window.Tile(1).Text().serial, "SN-7");
  window.Gone(ViewOf(7, UnitState::Waiting, "SN-7", "1-1.3", "A2"));
  window.Refresh();
  EXPECT_EQ(window.Tile(1).Text().word, "EMPTY");
  EXPECT_EQ(window.Tile(1).Text().serial, "");
  EXPECT_EQ(window.TileCount(), 3);
}

TEST(StationWindowGrid, WithoutAMapATileIsReusedOnceItsUnitIsGoneTheSamePortFirst) {
  StationWindow window(StationWindowSettings{});
  window.show();
  window.UnitChanged(ViewOf(1, UnitState::Waiting, "SN-1", "1-1.1"));
  window.UnitChanged(ViewOf(2, UnitState::Waiting, "SN-2", "1-1.2"));
  ASSERT_EQ(window.TileCount(), 2);
  window.Gone(ViewOf(1, UnitState::Waiting, "SN-1", "1-1.1"));
  window.Gone(ViewOf(2, UnitState::Waiting, "SN-2", "1-1.2"));
  // The next unit on port 1-1.2 takes that port's tile, not the first free one.
  window.UnitChanged(ViewOf(3, UnitState::Waiting, "SN-3", "1-1.2"));
  window.UnitChanged(ViewOf(4, UnitState::Waiting, "SN-4", "1-1.9"));
  window.Refresh();
  ASSERT_EQ(window.TileCount(), 2);
  EXPECT_EQ(window.Tile(1).Text().serial, "SN-3");
  EXPECT_EQ(window.Tile(0).Text().serial, "SN-4");
  EXPECT_EQ(window.Tile(0).Text().name, "1-1.9");
  window.UnitChanged(ViewOf(5, UnitState::Waiting, "SN-5", "1-1.5"));
  EXPECT_EQ(window.TileCount(), 3);
}

TEST(StationWindowGrid, AHostileSerialIsEscapedAndElidedWithoutWideningTheGrid) {
  StationWindow window(StationWindowSettings{});
  window.resize(900, 700);
  window.show();
  window.UnitChanged(ViewOf(1, UnitState::Waiting, "SN-1", "1-1.1"));
  window.UnitChanged(ViewOf(2, UnitState::Waiting, "SN-2", "1-1.2"));
  window.Refresh();
  Spin(50ms);
  const int before = window.Tile(1).width();
  const std::string hostile = "\xe2\x80\xae" + std::string(2000, 'W') + "\x1b[31m";
  window.UnitChanged(ViewOf(2, UnitState::Waiting, hostile, "1-1.2"));
  window.Refresh();
  Spin(50ms);
  EXPECT_EQ(window.Tile(1).width(), before);
  EXPECT_EQ(window.width(), 900);
  EXPECT_EQ(window.Tile(1).Text().serial.rfind("\\u{202e}WWW", 0), 0u);
  EXPECT_EQ(window.Tile(0).Text().serial, "SN-1");
  Screenshot(window, "station-hostile-serial");
}

TEST(StationWindowGrid, ClosingIsRefusedWithASentenceWhileAUnitIsUpdated) {
  StationWindow window(StationWindowSettings{});
  window.show();
  window.HoldMachine();
  EXPECT_TRUE(window.Holding());
  EXPECT_FALSE(window.close());
  EXPECT_TRUE(window.isVisible());
  EXPECT_NE(Text(window.Status().text()).find("cannot be closed"), std::string::npos);
  window.LetGo();
  EXPECT_FALSE(window.Holding());
  EXPECT_TRUE(window.close());
}

TEST(StationWindowGrid, LockedLeavesStartAndStopOnly) {
  for (const bool locked : {false, true}) {
    SCOPED_TRACE(locked);
    StationWindowSettings settings;
    settings.advMode = true;
    settings.locked = locked;
    StationWindow window(settings);
    EXPECT_TRUE(window.StartButton().isEnabled());
    EXPECT_EQ(window.ParallelBox().isEnabled(), !locked);
    EXPECT_EQ(window.McuBox().isEnabled(), !locked);
    EXPECT_EQ(window.LogBox().isEnabled(), !locked);
    EXPECT_EQ(window.ResetButton().isEnabled(), !locked);
  }
  StationWindow plain(StationWindowSettings{});
  plain.show();
  EXPECT_FALSE(plain.McuBox().isVisible());
  EXPECT_TRUE(plain.ParallelBox().isVisible());
}

// --- A whole station of emulated units ----------------------------------------------

class EmulatedStation : public ::testing::Test {
 protected:
  void Open(const std::vector<std::string>& arguments) {
    m_device = app::ChooseDevice(arguments);
    ASSERT_TRUE(m_device.device) << m_device.error;
    m_setup = cli::PrepareStationWindow(arguments, ProgramResources(), true);
    ASSERT_EQ(m_setup->error, "");
    StationWindowSettings settings;
    settings.parallel = m_setup->config.parallel;
    settings.options = m_setup->config.options;
    settings.advMode = true;
    m_window = std::make_unique<StationWindow>(settings);
    m_station = std::make_unique<station::Station>(*m_device.device, ProgramResources(), m_setup->config,
                                                   m_window->Poster(), *m_window, *m_window);
    m_window->Attach(*m_station);
    m_window->resize(1100, 800);
    m_window->show();
  }
  void TearDown() override {
    if (m_station) m_station->Stop();
    m_station.reset();
    m_window.reset();
  }
  int Rows() const { return m_window->Results().topLevelItemCount(); }

  app::DeviceChoice m_device;
  std::unique_ptr<cli::StationSetup> m_setup;
  std::unique_ptr<StationWindow> m_window;  // outlives the station
  std::unique_ptr<station::Station> m_station;
};

TEST_F(EmulatedStation, FourGoodUnitsAndAFaultyOneShowTheirResultsCountsAndTitle) {
  Open({"orvik-updater", "--station", "-Emulate:good*4,badreply@USBWrite"});
  m_station->Start();

  // While they update, closing is refused with a sentence.
  ASSERT_TRUE(WaitUntil([&] { return m_window->Busy(); }));
  ASSERT_TRUE(WaitUntil([&] {
    m_window->Refresh();
    return m_window->TileCount() == 5 && m_window->Tile(0).Text().word == "UPDATING";
  }));
  Screenshot(*m_window, "station-updating");
  EXPECT_FALSE(m_window->close());
  EXPECT_TRUE(m_window->isVisible());
  EXPECT_NE(Text(m_window->Status().text()).find("cannot be closed"), std::string::npos);
  EXPECT_TRUE(m_window->Tile(0).Text().bar);

  ASSERT_TRUE(WaitUntil([&] { return m_window->Total().Finished() == 5 && !m_window->Busy(); }));
  m_window->Refresh();
  Screenshot(*m_window, "station-done");
  EXPECT_EQ(Text(m_window->windowTitle()), "ORVIK Station - 4 passed, 1 failed");
  EXPECT_NE(Text(m_window->Totals().text()).find("Passed 4"), std::string::npos);
  EXPECT_NE(Text(m_window->Totals().text()).find("Yield 80.0%"), std::string::npos);
  ASSERT_EQ(m_window->TileCount(), 5);
  int pass = 0;
  int fail = 0;
  for (int i = 0; i < 5; ++i) {
    const TileText& text = m_window->Tile(i).Text();
    pass += text.word == "PASS";
    fail += text.word == "FAIL";
    EXPECT_EQ(text.action, "unplug to go on");
    if (text.word == "FAIL") {
      EXPECT_EQ(text.serial, "EMU-0005");
      EXPECT_EQ(text.detail.rfind("1345: ", 0), 0u) << text.detail;
    }
  }
  EXPECT_EQ(pass, 4);
  EXPECT_EQ(fail, 1);
  ASSERT_EQ(Rows(), 5);
  int failedRows = 0;
  for (int i = 0; i < Rows(); ++i) {
    const QTreeWidgetItem* row = m_window->Results().topLevelItem(i);
    EXPECT_FALSE(row->text(0).isEmpty());
    EXPECT_EQ(Text(row->text(2)).rfind("EMU-000", 0), 0u);
    if (Text(row->text(3)).rfind("FAIL 1345: ", 0) == 0) ++failedRows;
  }
  EXPECT_EQ(failedRows, 1);

  // Stop, then Start: the units still attached had their turn and are not
  // updated again.
  m_window->StopButton().click();
  ASSERT_TRUE(WaitUntil([&] { return m_window->State() == station::RunState::Stopped; }));
  EXPECT_TRUE(m_window->StartButton().isEnabled());
  EXPECT_FALSE(m_window->StopButton().isEnabled());
  m_window->StartButton().click();
  ASSERT_TRUE(WaitUntil([&] { return m_window->State() == station::RunState::Running; }));
  Spin(1500ms);  // several of the engine's looks at the units
  EXPECT_FALSE(m_window->Busy());
  EXPECT_EQ(m_window->Total().Finished(), 5u);
  EXPECT_EQ(Rows(), 5);
  m_window->Refresh();
  for (int i = 0; i < 5; ++i) EXPECT_NE(m_window->Tile(i).Text().word, "UPDATING");

  // Closing while idle stops the station; the window ends once it has.
  m_window->close();
  ASSERT_TRUE(WaitUntil([&] { return !m_window->isVisible(); }, 10s));
  EXPECT_EQ(m_station->State(), station::RunState::Stopped);
}

TEST_F(EmulatedStation, DeleteOnAWaitingUnitsTilePassesItOverUntilItIsUnplugged) {
  Open({"orvik-updater", "--station", "--parallel=1", "-Emulate:good*2"});
  m_station->Start();
  // One at a time: the second unit waits its turn.
  ASSERT_TRUE(WaitUntil([&] {
    m_window->Refresh();
    return m_window->TileCount() == 2 && m_window->Tile(1).Text().word == "WAITING";
  }));
  m_window->activateWindow();
  m_window->Tile(1).setFocus(Qt::TabFocusReason);
  QTest::keyClick(&m_window->Tile(1), Qt::Key_Delete);
  ASSERT_TRUE(WaitUntil([&] {
    m_window->Refresh();
    return m_window->Tile(1).Text().word == "SKIPPED";
  }, 10s));
  EXPECT_EQ(m_window->Tile(1).Text().action, "unplug to go on");
  ASSERT_TRUE(WaitUntil([&] { return m_window->Total().Finished() == 1 && !m_window->Busy(); }));
  m_window->Refresh();
  EXPECT_EQ(m_window->Tile(0).Text().word, "PASS");
  EXPECT_EQ(m_window->Tile(1).Text().word, "SKIPPED");
}

TEST_F(EmulatedStation, ResettingTheCountersAsksAndStartsThemAtZero) {
  Open({"orvik-updater", "--station", "-Emulate:good"});
  m_station->Start();
  ASSERT_TRUE(WaitUntil([&] { return m_window->Total().Finished() == 1 && !m_window->Busy(); }));
  int asked = 0;
  m_window->SetConfirmHook([&] { return ++asked == 2; });
  m_window->ResetButton().click();  // answered No
  Spin(200ms);
  EXPECT_EQ(m_window->Total().passed, 1u);
  m_window->ResetButton().click();  // answered Yes
  ASSERT_TRUE(WaitUntil([&] { return m_window->Total().passed == 0; }, 5s));
  m_window->Refresh();
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(Text(m_window->windowTitle()), "ORVIK Station - 0 passed, 0 failed");
  EXPECT_EQ(m_window->Tile(0).Text().counters.rfind("0 passed, 0 failed", 0), 0u);
  EXPECT_EQ(Rows(), 1);  // the results stay listed
}

}  // namespace
}  // namespace orvik::qt

int main(int argc, char** argv) {
  // Offscreen unless the caller chose a platform (xvfb-run gives a display).
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
