// The station window's model and options, without a window: which tile shows
// which unit, what each tile and the result list say, the counters, device
// text made safe and short, and the options the window takes or refuses.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/win32/station_board.h"

namespace {

using orvik::station::StationSnapshot;
using orvik::station::Tally;
using orvik::station::UnitResult;
using orvik::station::UnitState;
using orvik::station::UnitView;
using orvik::win32::StationBoard;
using orvik::win32::TileText;
using Clock = std::chrono::system_clock;

UnitView Unit(std::uint64_t id, UnitState state, std::string slot = {}) {
  UnitView view;
  view.unit.id = id;
  view.unit.path = "emulated:" + std::to_string(id);
  view.unit.serial = "EMU-000" + std::to_string(id);
  view.unit.port = "emu-" + std::to_string(id);
  view.unit.slot = std::move(slot);
  view.state = state;
  return view;
}

UnitView Finished(UnitView view, bool completed, int failure = 0, std::string message = {}) {
  UnitResult result;
  result.flashed = true;
  result.completed = completed;
  result.failure = failure;
  result.message = std::move(message);
  result.duration = std::chrono::milliseconds(5123);
  view.state = completed ? UnitState::Passed : UnitState::Failed;
  view.result = result;
  return view;
}

Tally Counted(unsigned passed, unsigned failed) {
  Tally tally;
  tally.passed = passed;
  tally.failed = failed;
  return tally;
}

std::vector<std::string> TileWords(const StationBoard& board) {
  std::vector<std::string> words;
  for (std::size_t i = 0; i < board.Tiles().size(); ++i) words.push_back(board.Describe(i, Clock::now()).word);
  return words;
}

// --- Tiles ------------------------------------------------------------------

TEST(StationBoard, ASlotMapGivesATilePerSlotInItsOrderAndAUnitLandsInItsSlot) {
  StationSnapshot snapshot;
  snapshot.slots = {"A1", "A2", "B1"};
  StationBoard board;
  board.Load(snapshot);
  EXPECT_EQ(TileWords(board), (std::vector<std::string>{"EMPTY", "EMPTY", "EMPTY"}));
  EXPECT_EQ(board.UnitChanged(Unit(1, UnitState::Running, "B1")), 2u);
  EXPECT_EQ(board.UnitChanged(Unit(2, UnitState::Waiting, "A1")), 0u);
  // A unit on no slot of the map is not the station's: no tile shows it.
  EXPECT_EQ(board.UnitChanged(Unit(3, UnitState::Waiting, "")), std::nullopt);
  EXPECT_EQ(TileWords(board), (std::vector<std::string>{"WAITING", "EMPTY", "UPDATING"}));
  EXPECT_EQ(board.Describe(2, Clock::now()).name, "B1");
  EXPECT_EQ(board.Gone(Unit(1, UnitState::Passed, "B1")), 2u);
  EXPECT_EQ(TileWords(board), (std::vector<std::string>{"WAITING", "EMPTY", "EMPTY"}));
  EXPECT_EQ(board.Describe(2, Clock::now()).name, "B1");  // an empty slot keeps its name
}

TEST(StationBoard, WithoutAMapEachUnitGetsATileAndAGoneUnitsTileIsReused) {
  StationBoard board;
  board.Load(StationSnapshot{});
  EXPECT_TRUE(board.Tiles().empty());
  EXPECT_EQ(board.UnitChanged(Unit(1, UnitState::Running)), 0u);
  EXPECT_EQ(board.UnitChanged(Unit(2, UnitState::Running)), 1u);
  EXPECT_EQ(board.UnitChanged(Unit(1, UnitState::Running)), 0u);  // the same unit stays on its tile
  EXPECT_EQ(board.Gone(Unit(1, UnitState::Passed)), 0u);
  EXPECT_EQ(board.UnitChanged(Unit(3, UnitState::Waiting)), 0u);  // the first free tile
  EXPECT_EQ(board.UnitChanged(Unit(4, UnitState::Waiting)), 2u);  // none free: a new one
  EXPECT_EQ(board.Tiles().size(), 3u);
  EXPECT_EQ(board.Describe(0, Clock::now()).name, "emu-3");
}

TEST(StationBoard, ASnapshotShowsTheUnitsAndCountersAWindowOpenedLaterMustShow) {
  StationSnapshot snapshot;
  snapshot.units = {Unit(1, UnitState::Running), Finished(Unit(2, UnitState::Failed), false, 1345, "x")};
  snapshot.total = Counted(4, 1);
  StationBoard board;
  board.Load(snapshot);
  EXPECT_EQ(TileWords(board), (std::vector<std::string>{"UPDATING", "FAIL"}));
  EXPECT_EQ(board.Title(), "ORVIK Station - 4 passed, 1 failed");
  EXPECT_EQ(board.Running(), 1u);
}

struct TileCase {
  const char* behaviour;
  UnitView view;
  TileText expected;  // only the fields compared below
};

TEST(StationBoard, EachStateIsAWordWithItsLines) {
  UnitView running = Unit(1, UnitState::Running);
  running.progress.phase = orvik::station::Phase::Usb;
  running.progress.perMille = 875;
  running.progress.elapsed = std::chrono::milliseconds(4125);
  UnitView passedOver = Unit(4, UnitState::PassedOver);
  passedOver.result = UnitResult{};
  passedOver.result->passedOver = true;
  passedOver.result->updatedAt = "2026-12-08T10:00:00+01:00";
  UnitView inUse = Unit(5, UnitState::InUse);
  inUse.problem = "another updater holds it";
  const TileCase cases[] = {
      {"running: phase, percent, a bar, elapsed", running,
       {.name = "emu-1", .serial = "serial EMU-0001", .word = "UPDATING", .detail = "USB  87%", .elapsed = "00:04.125",
        .barPerMille = 875}},
      {"passed: the dialog's message, unplug to go on", Finished(Unit(2, UnitState::Passed), true, 0, "Update complete"),
       {.name = "emu-2", .serial = "serial EMU-0002", .word = "PASS", .detail = "Update complete",
        .elapsed = "00:05.123", .unplug = "unplug to go on"}},
      {"failed: the message naming its number", Finished(Unit(3, UnitState::Failed), false, 1345,
                                                         "Check write usb code reply fail(1345)"),
       {.name = "emu-3", .serial = "serial EMU-0003", .word = "FAIL",
        .detail = "Check write usb code reply fail(1345)", .elapsed = "00:05.123", .unplug = "unplug to go on"}},
      {"failed with a message without its number", Finished(Unit(3, UnitState::Failed), false, 772, "Lost"),
       {.name = "emu-3", .serial = "serial EMU-0003", .word = "FAIL", .detail = "failure 772: Lost",
        .elapsed = "00:05.123", .unplug = "unplug to go on"}},
      {"passed over: when the record shows it updated", passedOver,
       {.name = "emu-4", .serial = "serial EMU-0004", .word = "ALREADY DONE",
        .detail = "updated at 2026-12-08T10:00:00+01:00", .unplug = "unplug to go on"}},
      {"in use: why", inUse,
       {.name = "emu-5", .serial = "serial EMU-0005", .word = "IN USE", .detail = "another updater holds it"}},
  };
  for (const TileCase& c : cases) {
    SCOPED_TRACE(c.behaviour);
    StationBoard board;
    board.Load(StationSnapshot{});
    ASSERT_EQ(board.UnitChanged(c.view), 0u);
    const TileText text = board.Describe(0, Clock::now());
    EXPECT_EQ(text.name, c.expected.name);
    EXPECT_EQ(text.serial, c.expected.serial);
    EXPECT_EQ(text.word, c.expected.word);
    EXPECT_EQ(text.detail, c.expected.detail);
    EXPECT_EQ(text.elapsed, c.expected.elapsed);
    EXPECT_EQ(text.unplug, c.expected.unplug);
    EXPECT_EQ(text.barPerMille, c.expected.barPerMille);
    // The accessible name says the word and the message.
    EXPECT_NE(text.accessibleName.find(c.expected.word), std::string::npos) << text.accessibleName;
    EXPECT_NE(text.accessibleName.find(c.expected.detail), std::string::npos) << text.accessibleName;
  }
}

TEST(StationBoard, AnEmptyTileHasNoBarNoSerialAndNoUnplugLine) {
  StationSnapshot snapshot;
  snapshot.slots = {"A1"};
  StationBoard board;
  board.Load(snapshot);
  const TileText text = board.Describe(0, Clock::now());
  EXPECT_EQ(text.word, "EMPTY");
  EXPECT_EQ(text.barPerMille, -1);
  EXPECT_TRUE(text.serial.empty());
  EXPECT_TRUE(text.unplug.empty());
  EXPECT_EQ(text.counters, "0 passed, 0 failed, yield -");
}

// --- Counters, title and results --------------------------------------------

TEST(StationBoard, FinishedUnitsCountOnTheirTileOnTheStationAndInTheTitle) {
  StationSnapshot snapshot;
  snapshot.slots = {"A1", "A2"};
  StationBoard board;
  board.Load(snapshot);
  board.Finished(Finished(Unit(1, UnitState::Passed, "A1"), true), Counted(1, 0), Counted(1, 0), "10:00:01");
  board.Finished(Finished(Unit(2, UnitState::Failed, "A2"), false, 1345, "Check write usb code reply fail(1345)"),
                 Counted(1, 1), Counted(0, 1), "10:00:02");
  EXPECT_EQ(board.Title(), "ORVIK Station - 1 passed, 1 failed");
  EXPECT_EQ(board.Describe(0, Clock::now()).counters, "1 passed, 0 failed, yield 100.0%");
  EXPECT_EQ(board.Describe(1, Clock::now()).counters, "0 passed, 1 failed, yield 0.0%");
  ASSERT_EQ(board.Results().size(), 2u);
  EXPECT_EQ(board.Results()[0].time, "10:00:02");  // newest first
  EXPECT_EQ(board.Results()[0].slot, "A2");
  EXPECT_EQ(board.Results()[0].serial, "EMU-0002");
  EXPECT_EQ(board.Results()[0].result, "FAIL 1345: Check write usb code reply fail(1345)");
  EXPECT_EQ(board.Results()[1].result, "PASS");
}

TEST(StationBoard, ResettingTheCountersZeroesTilesAndTitleButKeepsTheResultList) {
  StationBoard board;
  board.Load(StationSnapshot{});
  board.Finished(Finished(Unit(1, UnitState::Passed), true), Counted(1, 0), Counted(1, 0), "10:00:01");
  StationSnapshot reset;
  reset.countingSince = Clock::now();
  board.CountersReset(reset);
  EXPECT_EQ(board.Title(), "ORVIK Station - 0 passed, 0 failed");
  EXPECT_EQ(board.Describe(0, Clock::now()).counters, "0 passed, 0 failed, yield -");
  EXPECT_EQ(board.Results().size(), 1u);
}

TEST(StationBoard, UnitsPerHourAppearOnceAMinuteHasPassed) {
  const Clock::time_point since = Clock::now();
  EXPECT_EQ(orvik::win32::CountersText(Counted(3, 1), since, since + std::chrono::seconds(59)),
            "3 passed, 1 failed, yield 75.0%");
  EXPECT_EQ(orvik::win32::CountersText(Counted(3, 1), since, since + std::chrono::minutes(2)),
            "3 passed, 1 failed, yield 75.0%, 120 units/h");
}

TEST(StationBoard, TheResultListKeepsOnlyTheLatestRows) {
  StationBoard board;
  board.Load(StationSnapshot{});
  const std::size_t many = orvik::win32::kMaxResultRows + 5;
  for (std::size_t i = 1; i <= many; ++i) {
    board.Finished(Finished(Unit(i, UnitState::Passed), true), Counted(static_cast<unsigned>(i), 0), Counted(1, 0),
                   std::to_string(i));
    board.Gone(Unit(i, UnitState::Passed));
  }
  ASSERT_EQ(board.Results().size(), orvik::win32::kMaxResultRows);
  EXPECT_EQ(board.Results().front().time, std::to_string(many));
  EXPECT_EQ(board.Results().back().time, "6");
  EXPECT_EQ(board.Tiles().size(), 1u);  // each unit left before the next came
}

// --- Device text --------------------------------------------------------------

TEST(StationBoard, AHostileSerialIsEscapedAndCutOnItsTileAndInTheList) {
  // Control characters, a right-to-left override, a zero-width space, bytes
  // that are not UTF-8, and far too long.
  const std::string hostile = "\x1b[2J\xE2\x80\xAE" "evil\xE2\x80\x8B\xFF" + std::string(300, 'W');
  UnitView view = Unit(1, UnitState::Running);
  view.unit.serial = hostile;
  view.unit.port.clear();
  view.unit.path = "emulated:1";
  StationBoard board;
  board.Load(StationSnapshot{});
  board.UnitChanged(view);
  const TileText text = board.Describe(0, Clock::now());
  EXPECT_EQ(text.serial.rfind("serial \\x1b[2J\\u{202e}evil\\u{200b}\\xff", 0), 0u) << text.serial;
  EXPECT_EQ(text.serial.substr(text.serial.size() - 3), "\xE2\x80\xA6");  // cut with "…"
  EXPECT_LE(text.serial.size(), std::string("serial ").size() + orvik::win32::kMaxShownDeviceChars + 3);
  for (const std::string* shown : {&text.serial, &text.accessibleName}) {
    for (const char c : *shown) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << *shown;
    EXPECT_EQ(shown->find("\xE2\x80\xAE"), std::string::npos);
  }
  board.Finished(Finished(view, true), Counted(1, 0), Counted(1, 0), "t");
  EXPECT_EQ(board.Results().front().serial.rfind("\\x1b[2J", 0), 0u);
  EXPECT_EQ(board.Results().front().slot, "");
}

struct ElideCase {
  const char* text;
  std::size_t max;
  const char* expected;
};

TEST(Elided, CutsWholeCharactersAndMarksTheCut) {
  const ElideCase cases[] = {
      {"short", 10, "short"},
      {"exactly10!", 10, "exactly10!"},
      {"eleven chars", 10, "eleven cha\xE2\x80\xA6"},
      {"\xC3\xA9\xC3\xA9\xC3\xA9", 2, "\xC3\xA9\xC3\xA9\xE2\x80\xA6"},  // never inside "é"
      {"", 0, ""},
  };
  for (const ElideCase& c : cases) EXPECT_EQ(orvik::win32::Elided(c.text, c.max), c.expected) << c.text;
}

}  // namespace
