// The command line's station with several units at once, over emulated
// units paced like real ones: results, record, per-unit logs, failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <chrono>
#include <regex>
#include <set>

#include "station/unit_log.h"
#include "support/test_support.h"
#include "unit/cli/command_run.h"

namespace orvik::cli {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class GangStation : public EmulatedCommandTest {
 protected:
  GangStation() {
    prepare = [this](EmulatedDeviceSet& units) {
      units.SetLatency(TransferLatency{std::chrono::microseconds{0}, true});
      for (const auto& [index, serial] : serials) units.SetUnitSerial(index, serial);
    };
  }
  std::vector<std::string> ResultLines() const {
    std::vector<std::string> found;
    for (const std::string& line : test::SplitLines(out.str())) {
      if (line.find("  emulated:") != std::string::npos) found.push_back(line);
    }
    return found;
  }
  std::vector<std::pair<std::size_t, std::string>> serials;
  test::TempDir dir;
};

// Eight units at once: every conversation is the one a unit alone has, byte
// for byte; eight result lines and eight record lines; and the eight take
// about the time of one.
TEST_F(GangStation, EightUnitsAtOnceEachGetTheWholeConversationInAboutTheTimeOfOne) {
  Clock::time_point begin = Clock::now();
  ASSERT_EQ(Run("-Emulate", {}), kExitCompleted);
  const auto alone = Clock::now() - begin;
  const std::vector<ReportPacket> reference = set->Unit(0).Record();
  ASSERT_EQ(test::CountCommand(reference, UpdateCommand::USBEnd), 1u);

  const std::string record = (dir / "units.jsonl").string();
  begin = Clock::now();
  ASSERT_EQ(Run("-Emulate:good,good,good,good,good,good,good,good", {"--station=8", "--record", record}),
            kExitCompleted)
      << err.str();
  const auto eight = Clock::now() - begin;

  for (std::size_t i = 0; i < 8; ++i) EXPECT_TRUE(set->Unit(i).Record() == reference) << "unit " << i + 1;
  const std::vector<std::string> results = ResultLines();
  ASSERT_EQ(results.size(), 8u) << out.str();
  std::set<std::string> paths;
  for (const std::string& line : results) {
    EXPECT_NE(line.find("  Update complete  00:0"), std::string::npos) << line;
    paths.insert(line.substr(line.find("emulated:"), 10));
  }
  EXPECT_EQ(paths.size(), 8u);
  EXPECT_EQ(test::SplitLines(out.str()).back(), "Station: 8 devices, 8 updated, 0 failed");
  const std::vector<std::uint8_t> bytes = test::ReadBytes(record);
  // Each run twice: started before its first command, then finished.
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 16);
  // Generous: the benchmark holds the real goal.
  EXPECT_LT(eight, alone * 3) << "one unit " << alone.count() << " ns, eight " << eight.count() << " ns";
}

// A reply that is wrong, a unit pulled out mid-update and one that falls
// silent: each fails with its own number, the others complete.
TEST_F(GangStation, OneUnitsFailureRemovalOrSilenceLeavesTheOthersToComplete) {
  EXPECT_EQ(Run("-Emulate:good,badreply@MCUWrite,good/pull=1500,noreply@USBWrite,good", {"--station=5"}),
            kExitUpdateFailed);
  const std::vector<std::string> results = ResultLines();
  ASSERT_EQ(results.size(), 5u) << out.str();
  const auto resultOf = [&](const std::string& path) {
    const auto it = std::find_if(results.begin(), results.end(),
                                 [&](const std::string& line) { return line.find("  " + path + "  ") != std::string::npos; });
    return it == results.end() ? std::string() : *it;
  };
  for (const char* good : {"emulated:1", "emulated:5"}) EXPECT_NE(resultOf(good).find("Update complete"), std::string::npos);
  EXPECT_NE(resultOf("emulated:2").find("Check write mcu code reply fail(772)"), std::string::npos);
  // Pulled while the main controller's blocks go out: its write or its
  // reply fails, in whichever section the moment falls.
  EXPECT_TRUE(std::regex_search(resultOf("emulated:3"), std::regex("mcu code (reply )?fail\\((703|723|887|907)\\)")))
      << resultOf("emulated:3");
  EXPECT_NE(resultOf("emulated:4").find("Get write usb code reply fail(1293)"), std::string::npos);
  const std::string text = out.str();
  EXPECT_NE(text.find("Station: 5 devices, 2 updated, 3 failed\n"), std::string::npos) << text;
  for (const char* tally : {"\n  failure 772: 1\n", "\n  failure 1293: 1\n"}) EXPECT_NE(text.find(tally), std::string::npos);
  EXPECT_TRUE(std::regex_search(text, std::regex("\n  failure (703|723|887|907): 1\n"))) << text;
}

// --log-dir: each unit's dialog lines in a file of its own, named for its
// serial (made safe, with a hash when that changed it); the program's log
// gets a line per unit and no trace.
TEST_F(GangStation, EachUnitLogsToAFileNamedForItsSerial) {
  serials = {{1, "../CON\x1b[2J"}};
  // A folder only its owner may write, whatever the umask.
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
  ASSERT_EQ(Run("-Emulate:good,good,good", {"--station=3", "--no-usb", "--log-dir", dir.path().string()}),
            kExitCompleted)
      << err.str();
  for (const std::string& name :
       {std::string("EMU-0001.log"), station::UnitLogFileName("../CON\x1b[2J", ""), std::string("EMU-0003.log")}) {
    ASSERT_TRUE(name.starts_with("EMU-") || name.starts_with("_._CON_[2J~")) << name;
    ASSERT_TRUE(std::filesystem::is_regular_file(dir / name)) << name;
    const auto lines = test::StripTimeStamps(test::ReadLogLines(dir / name));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Update complete"), 1) << name;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "MCU = Y1-3, USB = Y1-1"), 1) << name;
  }
  const auto program = log.Lines();
  EXPECT_EQ(std::count(program.begin(), program.end(), "Update complete"), 0);
  EXPECT_EQ(std::count_if(program.begin(), program.end(),
                          [](const std::string& line) { return line.find("  Update complete  ") != std::string::npos; }),
            3);
}

// --json: every event of a unit names it, progress included, so that a
// reader can follow several at once.
TEST_F(GangStation, JsonEventsOfEachUnitCarryItsPathAndSerial) {
  ASSERT_EQ(Run("-Emulate:good,badreply@USBEnd", {"--station=2", "--no-mcu"}, /*json=*/true), kExitUpdateFailed);
  std::map<std::string, std::set<std::string>> kindsPerUnit;
  for (const Json& event : Events()) {
    const std::string kind = event["event"];
    if (kind == "start" || kind == "station" || kind == "waiting" || kind == "summary") continue;
    ASSERT_TRUE(event.contains("path") && event.contains("serial")) << event.dump();
    kindsPerUnit[event["path"].get<std::string>() + " " + event["serial"].get<std::string>()].insert(kind);
  }
  const std::set<std::string> kinds = {"arrived", "device", "progress", "elapsed", "message", "result"};
  EXPECT_EQ(kindsPerUnit["emulated:1 EMU-0001"], kinds);
  EXPECT_EQ(kindsPerUnit["emulated:2 EMU-0002"], kinds);
  EXPECT_EQ(Events("summary").back()["failed"], 1);
}

}  // namespace
}  // namespace orvik::cli
