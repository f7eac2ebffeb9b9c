// A station with a slot map: only units on its slots are updated, under
// their slots' names; a unit on any other port is left alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "unit/cli/command_run.h"

namespace orvik::cli {
namespace {

class SlotsStation : public EmulatedCommandTest {
 protected:
  std::string WriteFile(const std::string& name, const std::string& text) {
    const std::string path = (dir.path() / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  std::vector<std::string> LinesWith(const std::string& text, const std::string& part) const {
    std::vector<std::string> found;
    for (const std::string& line : test::SplitLines(text)) {
      if (line.find(part) != std::string::npos) found.push_back(line);
    }
    return found;
  }
  test::TempDir dir;
};

std::string ReadText(const std::string& path) {
  const std::vector<std::uint8_t> bytes = test::ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST_F(SlotsStation, OnlyUnitsOnSlotsAreUpdatedUnderTheirNamesAndTheOthersAreNotASlot) {
  const std::string slots = WriteFile("fixture.slots", "# three of five ports\nA 1-1\nB 1-3\r\nC 1-5\n");
  const std::string record = (dir.path() / "units.jsonl").string();
  ASSERT_EQ(Run("-Emulate:good/port=1-1,good/port=1-2,good/port=1-3,good/port=1-4,good/port=1-5",
                {"--station=3", "--slots", slots, "--record", record}),
            kExitCompleted)
      << err.str();

  for (std::size_t unit : {0u, 2u, 4u}) EXPECT_GT(set->Unit(unit).RecordSize(), 0u) << unit;
  for (std::size_t unit : {1u, 3u}) EXPECT_EQ(set->Unit(unit).RecordSize(), 0u) << unit;
  const std::string said = out.str();
  const std::vector<std::pair<std::string, std::string>> updated = {
      {"A", "emulated:1"}, {"B", "emulated:3"}, {"C", "emulated:5"}};
  for (const auto& [slot, path] : updated) {
    const std::vector<std::string> results = LinesWith(said, "  slot " + slot + "  " + path + "  serial ");
    ASSERT_EQ(results.size(), 1u) << said;
    EXPECT_NE(results[0].find("Update complete"), std::string::npos) << results[0];
  }
  for (const std::string unit : {"emulated:2 (serial EMU-0002, port 1-2)", "emulated:4 (serial EMU-0004, port 1-4)"}) {
    EXPECT_EQ(LinesWith(said, unit + ": not a slot; left alone").size(), 1u) << said;
  }
  EXPECT_NE(said.find("Station: 3 devices, 3 updated, 0 failed"), std::string::npos) << said;

  // Each run's started line, then its result.
  std::vector<Json> lines = JsonLines(ReadText(record));
  ASSERT_EQ(lines.size(), 6u);
  std::erase_if(lines, [](const Json& line) { return line["state"] != "finished"; });
  ASSERT_EQ(lines.size(), 3u);
  std::sort(lines.begin(), lines.end(), [](const Json& a, const Json& b) { return a["slot"] < b["slot"]; });
  for (std::size_t i = 0; i < updated.size(); ++i) {
    EXPECT_EQ(lines[i]["slot"], updated[i].first);
    EXPECT_EQ(lines[i]["path"], updated[i].second);
    EXPECT_EQ(lines[i]["port"], "1-" + std::to_string(2 * i + 1));
  }
}

TEST_F(SlotsStation, ABadSlotFileEndsTheStartUpNamingTheLineAndNothingIsSent) {
  const std::string slots = WriteFile("bad.slots", "A 1-1\nB 1-1\n");
  EXPECT_EQ(Run("-Emulate:good/port=1-1", {"--station", "--slots", slots}), kExitStartupFailed);
  EXPECT_EQ(err.str(), "orvik-updater-cli: the slot file " + slots +
                           " is refused: line 2: the port 1-1 is already slot A (line 1)\n");
  EXPECT_EQ(set->Unit(0).RecordSize(), 0u);
}

}  // namespace
}  // namespace orvik::cli
