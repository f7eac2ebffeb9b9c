// The command line's station and its JSON events, over several emulated
// devices in this process.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/test_support.h"
#include "unit/cli/command_run.h"

namespace orvik::cli {
namespace {

using namespace std::chrono_literals;

class EmulatedCommand : public EmulatedCommandTest {
 protected:
  std::vector<std::string> LinesWith(const std::string& part) const {
    std::vector<std::string> found;
    for (const std::string& line : test::SplitLines(out.str())) {
      if (line.find(part) != std::string::npos) found.push_back(line);
    }
    return found;
  }
};

constexpr char kThreeArrivals[] =
    "-Emulate:good/leave=150,badreply@MCUWrite/after=100/leave=150,good/after=100/leave=150";

TEST_F(EmulatedCommand, StationUpdatesThreeArrivalsOnceEachAndTallies) {
  EXPECT_EQ(Run(kThreeArrivals, {"--station=3"}), kExitUpdateFailed);

  const auto results = LinesWith("  emulated:");
  ASSERT_EQ(results.size(), 3u) << out.str();
  EXPECT_NE(results[0].find("  emulated:1  serial EMU-0001  Update complete  00:0"), std::string::npos) << results[0];
  EXPECT_NE(results[1].find("  emulated:2  serial EMU-0002  Check write mcu code reply fail(772)  00:0"),
            std::string::npos)
      << results[1];
  EXPECT_NE(results[2].find("  emulated:3  serial EMU-0003  Update complete  "), std::string::npos) << results[2];
  const auto lines = test::SplitLines(out.str());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Station: 3 devices, 2 updated, 1 failed");
  EXPECT_EQ(lines.back(), "  failure 772: 1");
  // Each unit's message is part of its result line: none stands alone.
  EXPECT_EQ(err.str(), "");

  // Each unit was updated once; the faulty one stayed attached a while after
  // its failure and was not taken again.
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(test::CountCommand(set->Unit(i).Record(), UpdateCommand::StartUpdate), 1u) << i;
  EXPECT_EQ(set->Unit(0).McuFlash()[0x4000], test::ShippedImage()[0x4000]);
  // Without --log-dir the program's log gets each unit's result line, and
  // none of the runs' own lines (they would interleave).
  const auto logLines = log.Lines();
  EXPECT_EQ(std::count(logLines.begin(), logLines.end(), "MCU = Y1-3, USB = Y1-1"), 0);
  EXPECT_EQ(std::count_if(logLines.begin(), logLines.end(),
                          [](const std::string& line) { return line.starts_with("Station: 20"); }),
            3);
}

// The last unit of a counted station never leaves: the station ends after
// its update rather than waiting for it to be unplugged.
TEST_F(EmulatedCommand, StationOfGoodUnitsExitsZeroWithoutWaitingForTheLastToLeave) {
  EXPECT_EQ(Run("-Emulate:good/leave=150,good/after=30", {"--station=2", "--no-mcu"}), kExitCompleted);
  EXPECT_EQ(LinesWith("Station: ").back(), "Station: 2 devices, 2 updated, 0 failed");
  EXPECT_TRUE(LinesWith("Unplug emulated:2").empty()) << out.str();
}

// Every line is one JSON object; each carries the texts the terminal shows.
TEST_F(EmulatedCommand, JsonCarriesEveryEventOfAFailedRunWithTheTerminalsTexts) {
  EXPECT_EQ(Run("-Emulate:noreply@MCUEnd", {"--no-usb"}, /*json=*/true), kExitUpdateFailed);
  const std::vector<Json> events = Events();
  ASSERT_GE(events.size(), 5u);
  EXPECT_EQ(events.front()["event"], "start");
  EXPECT_EQ(events.front()["mode"], "update");
  EXPECT_EQ(events.front()["program"], "orvik-updater-cli");
  const auto device = OfKind(events, "device");
  ASSERT_EQ(device.size(), 1u);
  EXPECT_EQ(device[0]["path"], "emulated:1");
  EXPECT_EQ(device[0]["caption"], "Firmware for Solvane ver1.3");

  // The bar's every change, in order, up to where the run stopped.
  const auto progress = OfKind(events, "progress");
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back()["position"], 500);
  EXPECT_EQ(progress.back()["upper"], 1000);
  for (std::size_t i = 1; i < progress.size(); ++i) {
    EXPECT_GT(progress[i]["position"].get<int>(), progress[i - 1]["position"].get<int>());
  }
  // The no-reply wait (200 ms here) spans at least one tick of the timer.
  EXPECT_FALSE(OfKind(events, "elapsed").empty());

  const auto messages = OfKind(events, "message");
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0]["text"], "Update fail");
  EXPECT_EQ(messages[1]["text"], "Get write mcu end code reply fail(1021)");
  EXPECT_EQ(err.str(), "Update fail\nGet write mcu end code reply fail(1021)\n");

  const Json& result = events.back();
  EXPECT_EQ(result["event"], "result");
  EXPECT_EQ(result["status"], kExitUpdateFailed);
  EXPECT_EQ(result["failure"], 1021);
  EXPECT_EQ(result["message"], "Get write mcu end code reply fail(1021)");
}

TEST_F(EmulatedCommand, JsonOfStartUpFailureListAndStation) {
  EXPECT_EQ(Run("-Emulate:absent", {}, true), kExitStartupFailed);
  auto events = Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1]["text"], "Can't find device, Please connect before run this updater!");
  EXPECT_EQ(events[2]["status"], kExitStartupFailed);
  EXPECT_TRUE(events[2]["failure"].is_null());

  EXPECT_EQ(Run("-Emulate:good,good", {"--list"}, true), kExitCompleted);
  events = Events();
  const auto listed = OfKind(events, "interface");
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0]["chosen"], true);
  EXPECT_EQ(listed[1]["chosen"], false);
  EXPECT_EQ(listed[1]["input_report_length"], 33);
  EXPECT_EQ(events.back()["listed"], 2);

  EXPECT_EQ(Run(kThreeArrivals, {"--station=3", "--no-usb"}, true), kExitUpdateFailed);
  events = Events();
  const auto results = OfKind(events, "result");
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[1]["path"], "emulated:2");
  EXPECT_EQ(results[1]["failure"], 772);
  EXPECT_EQ(results[1]["message"], "Check write mcu code reply fail(772)");
  EXPECT_EQ(results[2]["message"], "Update complete");
  const Json& summary = events.back();
  EXPECT_EQ(summary["event"], "summary");
  EXPECT_EQ(summary["updated"], 2);
  EXPECT_EQ(summary["failed"], 1);
  EXPECT_EQ(summary["failures"], Json::parse(R"([{"failure":772,"count":1}])"));
  EXPECT_EQ(summary["status"], kExitUpdateFailed);
  EXPECT_EQ(summary["ended_by"], "count");
}

TEST(ParseOptions, TheNewOptionsAndTheirBounds) {
  const Options all = ParseOptions({"x", "--list", "--json", "--device", "/dev/hidraw3"});
  EXPECT_EQ(all.error, "");
  EXPECT_TRUE(all.list && all.json);
  EXPECT_EQ(all.device, "/dev/hidraw3");
  EXPECT_EQ(ParseOptions({"x", "--device=COM 3"}).device, "COM 3");
  EXPECT_EQ(ParseOptions({"x", "--wait"}).waitSeconds, kDefaultWaitSeconds);
  EXPECT_EQ(ParseOptions({"x", "--wait=0"}).waitSeconds, 0u);
  EXPECT_EQ(ParseOptions({"x", "--wait=86400"}).waitSeconds, 86400u);
  EXPECT_TRUE(ParseOptions({"x", "--station"}).station);
  EXPECT_FALSE(ParseOptions({"x", "--station"}).stationCount);
  EXPECT_EQ(ParseOptions({"x", "--station=5"}).stationCount, 5u);

  for (const std::vector<std::string>& bad : {
           std::vector<std::string>{"x", "--device"},
           {"x", "--device="},
           {"x", "--wait=86401"},
           {"x", "--wait=-1"},
           {"x", "--wait=1s"},
           {"x", "--wait="},
           {"x", "--station=0"},
           {"x", "--station=99999999999"},
           {"x", "--list", "--station"},
           {"x", "--list", "--wait"},
           {"x", "--station", "--device", "/dev/hidraw0"},
           {"x", "--station", "--wait=3"},
       }) {
    EXPECT_NE(ParseOptions(bad).error, "") << bad.back();
  }
}

TEST(UsageText, KeepsTheFormHelp2manReads) {
  const std::string text = UsageText();
  EXPECT_EQ(text.rfind("Usage: orvik-updater-cli ", 0), 0u);
  for (const char* part : {"\n  --list ", "\n  --device PATH ", "\n  --wait[=SECONDS] ", "\n  --station[=COUNT] ",
                           "\n  --json ", "\n  -Emulate:UNIT,... ", "\nExit status:\n", "\nExamples:\n"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part;
  }
}

}  // namespace
}  // namespace orvik::cli
