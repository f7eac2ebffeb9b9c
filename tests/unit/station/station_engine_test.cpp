// The station engine's contract over emulated units in this process: the
// order of a unit's states, the one tally (record failures included), Stop
// then Start, the hold around the units' commands, and the snapshot against
// the state the events build.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "emulator/emulated_device_set.h"
#include "station/station.h"
#include "station/unit_log.h"
#include "support/test_support.h"

namespace orvik::station {
namespace {

using namespace std::chrono_literals;

// A front end's thread: the engine's tasks run here, in order, as a window's
// event loop would run them.
class FrontEnd final : public StationEvents, public StationHost {
 public:
  explicit FrontEnd(EmulatedDeviceSet* units = nullptr) : m_units(units) {
    m_thread = std::jthread([this](std::stop_token stop) {
      std::unique_lock lock(m_lock);
      while (!stop.stop_requested()) {
        m_ready.wait_for(lock, 10ms, [this] { return !m_tasks.empty(); });
        while (!m_tasks.empty()) {
          auto task = std::move(m_tasks.front());
          m_tasks.pop_front();
          lock.unlock();
          task();
          lock.lock();
          m_changed.notify_all();
        }
      }
    });
  }
  ~FrontEnd() override { m_thread.request_stop(); }

  Poster MakePoster() {
    return [this](std::function<void()> task) {
      std::lock_guard lock(m_lock);
      m_tasks.push_back(std::move(task));
      m_ready.notify_all();
    };
  }
  // Waits (bounded) until `done` holds of what was heard.
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds bound = 20s) {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, bound, [&] {
      lock.unlock();
      const bool met = [&] {
        std::lock_guard heard(m_heardLock);
        return done();
      }();
      lock.lock();
      return met;
    });
  }
  template <typename F>
  auto Read(F read) {
    std::lock_guard heard(m_heardLock);
    return read();
  }

  // --- Heard, on this thread -------------------------------------------------
  void UnitChanged(const UnitView& view) override {
    std::lock_guard heard(m_heardLock);
    if (view.state == UnitState::Running && !held) runningWithoutHold = true;
    auto& states = statesOf[view.unit.id];
    if (states.empty() || states.back() != view.state) states.push_back(view.state);
    units[view.unit.id] = view;
  }
  void Finished(const UnitView& view, const Tally& total, const Tally&) override {
    std::lock_guard heard(m_heardLock);
    units[view.unit.id] = view;
    tally = total;
    results.push_back(*view.result);
  }
  void Gone(const UnitView& view) override {
    std::lock_guard heard(m_heardLock);
    units.erase(view.unit.id);
  }
  void Ended(const StationSummary& summary) override {
    std::lock_guard heard(m_heardLock);
    ended.push_back(summary);
  }
  void HoldMachine() override {
    std::lock_guard heard(m_heardLock);
    held = true;
    ++holds;
    // No unit has sent anything the hold does not cover yet.
    if (m_units != nullptr) {
      std::size_t sent = 0;
      for (std::size_t i = 0; i < m_units->UnitCount(); ++i) sent += m_units->Unit(i).RecordSize();
      commandsBeforeHold = std::max(commandsBeforeHold, sent - std::min(sent, commandsAtLastLetGo));
    }
  }
  void LetGo() override {
    std::lock_guard heard(m_heardLock);
    held = false;
    if (m_units != nullptr) {
      commandsAtLastLetGo = 0;
      for (std::size_t i = 0; i < m_units->UnitCount(); ++i) commandsAtLastLetGo += m_units->Unit(i).RecordSize();
    }
  }

  std::map<std::uint64_t, UnitView> units;
  std::map<std::uint64_t, std::vector<UnitState>> statesOf;
  std::vector<UnitResult> results;
  std::vector<StationSummary> ended;
  Tally tally;
  bool held = false;
  unsigned holds = 0;
  bool runningWithoutHold = false;
  std::size_t commandsBeforeHold = 0;
  std::size_t commandsAtLastLetGo = 0;

 private:
  EmulatedDeviceSet* m_units;
  std::mutex m_lock;  // owns m_tasks
  std::condition_variable m_ready, m_changed;
  std::deque<std::function<void()>> m_tasks;
  std::mutex m_heardLock;  // owns what was heard
  std::jthread m_thread;
};

// `paced`: 1 ms USB frames like the real device, so that runs overlap as real
// ones do; otherwise as fast as the emulator goes.
std::unique_ptr<EmulatedDeviceSet> Units(const std::vector<EmulatedUnit>& units, bool paced = true) {
  auto set = std::make_unique<EmulatedDeviceSet>(units, 500ms);
  if (paced) set->SetLatency(TransferLatency{std::chrono::microseconds{0}, true});
  return set;
}

std::unique_ptr<EmulatedDeviceSet> GoodUnits(std::size_t count, bool paced = true) {
  return Units(std::vector<EmulatedUnit>(count), paced);
}

StationConfig Config(unsigned parallel) {
  StationConfig config;
  config.parallel = parallel;
  config.arguments = {"orvik-updater-cli"};
  config.poll = 20ms;
  return config;
}

// A record whose start or result fails for chosen serials, and that shows
// chosen serials updated.
class FakeRecord final : public Record {
 public:
  std::set<std::string> refuseStart, refuseResult, updated;
  std::optional<std::string> UpdatedAt(const std::string& serial, bool, bool) override {
    if (updated.count(serial) != 0) return "2026-12-08T09:00:00+00:00";
    return std::nullopt;
  }
  bool Started(const Run& run, std::string& error) override {
    if (refuseStart.count(run.unit->serial) == 0) return true;
    error = "disk full";
    return false;
  }
  bool Finished(const Run& run, std::string& error) override {
    if (refuseResult.count(run.unit->serial) == 0) return true;
    error = "disk full";
    return false;
  }
  std::string Where() const override { return "fake"; }
};

// Four good units and a faulty one: each goes Waiting, Running, then its
// result; the tally counts 4 passed and the failure by its number; the
// hold covers every command and is let go at the end; the snapshot is what
// the events built.
TEST(StationEngine, EventsTallyHoldAndSnapshotAgree) {
  test::ScopedLog log;
  const TableResources resources{EmbeddedResourceTable()};
  std::vector<EmulatedUnit> list(4);
  std::string error;
  const std::optional<EmulatedUnit> faulty = ParseEmulatedUnit("badreply@USBWrite", error);
  ASSERT_TRUE(faulty) << error;
  list.push_back(*faulty);
  const auto set = Units(list);
  FrontEnd front(set.get());
  {
    Station station(*set, resources, Config(8), front.MakePoster(), front, front);
    station.Start();
    ASSERT_TRUE(front.WaitFor([&] { return front.results.size() == 5 && !front.held; }));
    station.Stop();
    ASSERT_TRUE(front.WaitFor([&] { return front.ended.size() == 1; }));

    const StationSnapshot snapshot = station.Snapshot();
    front.Read([&] {
      EXPECT_EQ(front.tally.passed, 4u);
      EXPECT_EQ(front.tally.failed, 1u);
      EXPECT_EQ(front.tally.failures, (std::map<int, unsigned>{{1345, 1}}));
      EXPECT_EQ(snapshot.total, front.tally);
      EXPECT_EQ(snapshot.state, RunState::Stopped);
      ASSERT_EQ(snapshot.units.size(), front.units.size());
      for (const UnitView& view : snapshot.units) EXPECT_EQ(view, front.units.at(view.unit.id)) << view.unit.path;
      for (const auto& [id, states] : front.statesOf) {
        const UnitState last = id == 5 ? UnitState::Failed : UnitState::Passed;
        EXPECT_EQ(states, (std::vector<UnitState>{UnitState::Waiting, UnitState::Running, last})) << id;
      }
      EXPECT_FALSE(front.runningWithoutHold);
      EXPECT_EQ(front.commandsBeforeHold, 0u);
      EXPECT_FALSE(front.held);
      EXPECT_EQ(front.ended.front().endedBy, EndReason::Stopped);
    });
  }
}

// A unit that had its turn is not flashed again after Stop and Start while it
// stays attached.
TEST(StationEngine, StopThenStartNeverFlashesAnAttachedUnitAgain) {
  test::ScopedLog log;
  const TableResources resources{EmbeddedResourceTable()};
  const auto set = GoodUnits(3, false);
  FrontEnd front;
  Station station(*set, resources, Config(3), front.MakePoster(), front, front);
  station.Start();
  ASSERT_TRUE(front.WaitFor([&] { return front.results.size() == 3; }));
  station.Stop();
  ASSERT_TRUE(front.WaitFor([&] { return front.ended.size() == 1; }));
  station.Start();
  std::this_thread::sleep_for(300ms);  // several looks at the units
  station.Stop();
  ASSERT_TRUE(front.WaitFor([&] { return front.ended.size() == 2; }));
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(test::CountCommand(set->Unit(i).Record(), UpdateCommand::StartUpdate), 1u) << i;
  }
  for (const UnitView& view : station.Snapshot().units) EXPECT_EQ(view.state, UnitState::Passed);
}

// What a record's failure, a passed-over unit and a Stop with units in flight
// count, and how the station ends.
TEST(StationEngine, RecordFailuresPassedOverAndStopAreCountedByOneRule) {
  struct Case {
    const char* name;
    std::set<std::string> refuseStart, refuseResult, updated;
    bool skipUpdated;
    Tally tally;
    std::vector<bool> flashed;  // by unit, in order
    EndReason endedBy;
  };
  const std::vector<Case> cases = {
      {"start refused: not flashed, failed, the station goes on", {"EMU-0001"}, {}, {}, false,
       Tally{1, 1, 0, {}}, {false, true}, EndReason::CountReached},
      {"result refused: flashed and passed, the station ends", {}, {"EMU-0001"}, {}, false,
       Tally{1, 0, 0, {}}, {true}, EndReason::RecordFailure},
      {"shown updated: passed over", {}, {}, {"EMU-0001"}, true, Tally{1, 0, 1, {}}, {false, true},
       EndReason::CountReached},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScopedLog log;
    const TableResources resources{EmbeddedResourceTable()};
    const auto set = GoodUnits(2, false);
    FakeRecord record;
    record.refuseStart = c.refuseStart;
    record.refuseResult = c.refuseResult;
    record.updated = c.updated;
    FrontEnd front;
    StationConfig config = Config(1);
    config.record = &record;
    config.skipUpdated = c.skipUpdated;
    config.count = 2;
    Station station(*set, resources, config, front.MakePoster(), front, front);
    station.Start();
    ASSERT_TRUE(front.WaitFor([&] { return front.ended.size() == 1; }));
    front.Read([&] {
      EXPECT_EQ(front.tally, c.tally);
      EXPECT_EQ(front.ended.front().tally, c.tally);
      EXPECT_EQ(front.ended.front().endedBy, c.endedBy);
      ASSERT_EQ(front.results.size(), c.flashed.size());
      for (std::size_t i = 0; i < c.flashed.size(); ++i) EXPECT_EQ(front.results[i].flashed, c.flashed[i]) << i;
    });
  }
}

// An ending request while four units are updated: those four complete, no
// fifth starts, and the hold is let go once they are done.
TEST(StationEngine, AStopWithFourUnitsInFlightLetsThemFinishAndStartsNoOther) {
  test::ScopedLog log;
  const TableResources resources{EmbeddedResourceTable()};
  const auto set = GoodUnits(6);
  FrontEnd front;
  // RunStation calls the front end on this thread; the stop is asked once
  // four units run.
  const auto running = [&] {
    return front.Read([&] {
      return std::count_if(front.units.begin(), front.units.end(),
                           [](const auto& unit) { return unit.second.state == UnitState::Running; });
    });
  };
  const StationSummary summary = RunStation(*set, resources, Config(4), front, front, [&] { return running() >= 4; });
  EXPECT_EQ(summary.endedBy, EndReason::Stopped);
  front.Read([&] {
    EXPECT_EQ(front.results.size(), 4u);
    for (const UnitResult& result : front.results) EXPECT_EQ(result.message, "Update complete");
    EXPECT_FALSE(front.held);
    return 0;
  });
  EXPECT_EQ(summary.tally.passed, 4u);
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(test::CountCommand(set->Unit(i).Record(), UpdateCommand::StartUpdate), i < 4 ? 1u : 0u) << i;
  }
}

// Two stations that see the same units: each unit is updated by one of them
// exactly once; the other finds it in use.
TEST(StationEngine, TwoStationsOnOneSetOfUnitsUpdateEachUnitOnce) {
  test::ScopedLog log;
  const TableResources resources{EmbeddedResourceTable()};
  constexpr std::size_t kUnits = 4;
  const auto set = GoodUnits(kUnits);
  const std::unique_ptr<SearchableHidDevice> other = set->NewHandle();
  ASSERT_NE(other, nullptr);
  FrontEnd first, second;
  {
    Station one(*set, resources, Config(kUnits), first.MakePoster(), first, first);
    Station two(*other, resources, Config(kUnits), second.MakePoster(), second, second);
    one.Start();
    two.Start();
    const auto finished = [&] {
      return first.Read([&] { return first.results.size(); }) + second.Read([&] { return second.results.size(); });
    };
    for (int i = 0; i < 400 && finished() < kUnits; ++i) std::this_thread::sleep_for(50ms);
    ASSERT_EQ(finished(), kUnits);
  }
  for (std::size_t i = 0; i < kUnits; ++i) {
    EXPECT_EQ(test::CountCommand(set->Unit(i).Record(), UpdateCommand::StartUpdate), 1u) << i;
  }
}

TEST(UnitLogName, IsSafeOnEverySystem) {
  struct Case {
    std::string serial, path, name;
  };
  const std::vector<Case> cases = {
      {"EMU-0001", "emulated:1", "EMU-0001.log"},
      {"", "/dev/hidraw3", "dev-hidraw3.log"},
      {"", "emulated:2", "emulated_2.log"},
      {"../../etc/passwd", "", "_._.._etc_passwd.log"},
      {"a\x1b[2J\x07z", "", "a_[2J_z.log"},
      {"C:\\x|y*?\"<>", "", "C__x_y_____.log"},
      {"CON", "", "_CON.log"},
      {"nul.txt", "", "_nul.txt.log"},
      {"com7", "", "_com7.log"},
      {"LPT1 ", "", "LPT1_.log"},
      {"COM10", "", "COM10.log"},
      {"dots...", "", "dots___.log"},
      {"\xff\xfe\xc3", "", "___.log"},
      {"\xc2\x85x", "", "__x.log"},
      {"Ünit ✓", "", "Ünit ✓.log"},
      {std::string(300, 'x'), "", std::string(kMaxLogStem, 'x') + ".log"},
  };
  for (const Case& c : cases) EXPECT_EQ(UnitLogFileName(c.serial, c.path), c.name) << c.serial << " " << c.path;
}

}  // namespace
}  // namespace orvik::station
