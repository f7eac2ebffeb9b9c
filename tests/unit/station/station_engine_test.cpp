// The station's engine over emulated units in this process: several units at
// once, an ending request with units in flight, two stations on one set of
// units, and the names of the units' own logs.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "emulator/emulated_device_set.h"
#include "station/station.h"
#include "station/unit_log.h"
#include "support/test_support.h"

namespace orvik::station {
namespace {

using namespace std::chrono_literals;

// What a front end heard; every call comes on the engine's thread.
struct Heard final : StationEvents {
  void Arrived(const Unit& unit) override { arrived.push_back(unit.path); }
  void Refused(const Unit& unit, Refusal why, const std::string&) override {
    if (why == Refusal::InUse) inUse.push_back(unit.path);
  }
  void Started(const Unit& unit) override { started.push_back(unit.path); }
  void Finished(const Unit& unit, const UnitResult& result) override {
    finished.push_back(unit.path);
    results.push_back(result);
    if (finishedTotal != nullptr) ++*finishedTotal;
  }
  void Busy(bool busy) override { busyChanges.push_back(busy); }

  std::vector<std::string> arrived, inUse, started, finished;
  std::vector<UnitResult> results;
  std::vector<bool> busyChanges;
  std::atomic<unsigned>* finishedTotal = nullptr;
};

std::unique_ptr<EmulatedDeviceSet> GoodUnits(std::size_t count) {
  auto set = std::make_unique<EmulatedDeviceSet>(std::vector<EmulatedUnit>(count), 500ms);
  // Paced like the real device, so that the runs overlap as real ones do.
  set->SetLatency(TransferLatency{std::chrono::microseconds{0}, true});
  return set;
}

StationConfig Config(unsigned parallel) {
  StationConfig config;
  config.parallel = parallel;
  config.arguments = {"orvik-updater-cli"};
  config.poll = 20ms;
  return config;
}

// An ending request while four units are updated: those four complete, no
// fifth starts, and the hold is let go once they are done.
TEST(StationEngine, AStopWithFourUnitsInFlightLetsThemFinishAndStartsNoOther) {
  test::ScopedLog log;
  const TableResources resources{EmbeddedResourceTable()};
  const auto set = GoodUnits(6);
  Heard heard;
  StationConfig config = Config(4);
  config.stopRequested = [&] { return heard.started.size() == 4; };

  const StationSummary summary = RunStation(*set, resources, config, heard);

  EXPECT_EQ(summary.endedBy, "interrupt");
  EXPECT_EQ(summary.status, 0);
  EXPECT_EQ(summary.devices, 4u);
  EXPECT_EQ(summary.updated, 4u);
  ASSERT_EQ(heard.results.size(), 4u);
  for (const UnitResult& result : heard.results) EXPECT_EQ(result.message, "Update complete");
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(test::CountCommand(set->Unit(i).Record(), UpdateCommand::StartUpdate), i < 4 ? 1u : 0u) << i;
  }
  ASSERT_FALSE(heard.busyChanges.empty());
  EXPECT_TRUE(heard.busyChanges.front());
  EXPECT_FALSE(heard.busyChanges.back());
}

// Two stations that see the same units: each unit is updated by one of them
// exactly once; the other finds it in use and passes it over.
TEST(StationEngine, TwoStationsOnOneSetOfUnitsUpdateEachUnitOnce) {
  test::ScopedLog log;
  const TableResources resources{EmbeddedResourceTable()};
  constexpr std::size_t kUnits = 4;
  const auto set = GoodUnits(kUnits);
  const std::unique_ptr<SearchableHidDevice> other = set->NewHandle();
  ASSERT_NE(other, nullptr);
  std::atomic<unsigned> finished{0};
  Heard first, second;
  first.finishedTotal = &finished;
  second.finishedTotal = &finished;
  StationConfig config = Config(kUnits);
  config.stopRequested = [&] { return finished.load() == kUnits; };

  StationSummary secondSummary;
  std::thread secondStation([&] { secondSummary = RunStation(*other, resources, config, second); });
  const StationSummary firstSummary = RunStation(*set, resources, config, first);
  secondStation.join();

  EXPECT_EQ(firstSummary.devices + secondSummary.devices, kUnits);
  EXPECT_EQ(firstSummary.status, 0);
  EXPECT_EQ(secondSummary.status, 0);
  EXPECT_EQ(first.inUse.size() + second.inUse.size(), kUnits) << "each unit passed over by the station without it";
  for (std::size_t i = 0; i < kUnits; ++i) {
    EXPECT_EQ(test::CountCommand(set->Unit(i).Record(), UpdateCommand::StartUpdate), 1u) << i;
  }
}

}  // namespace
}  // namespace orvik::station
