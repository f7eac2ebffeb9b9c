// The station's front end on the command line, fed the engine's events
// directly: what it writes while units finish and while the station ends.
#include "app/cli/station_view.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sstream>

#include "support/test_support.h"

namespace orvik::cli {
namespace {

station::Unit UnitNumber(std::uint64_t n) {
  station::Unit unit;
  unit.id = n;
  unit.path = "emulated:" + std::to_string(n);
  unit.serial = "EMU-000" + std::to_string(n);
  return unit;
}

station::UnitView ViewOf(std::uint64_t n, station::UnitState state) {
  station::UnitView view;
  view.unit = UnitNumber(n);
  view.state = state;
  return view;
}

class StationViewTest : public ::testing::Test {
 protected:
  void Make(StationOutput mode, std::optional<unsigned> count = std::nullopt) {
    view = std::make_unique<StationView>(output, mode, mode == StationOutput::Table, count);
  }
  void Arrive(std::uint64_t n) { view->UnitChanged(ViewOf(n, station::UnitState::Waiting)); }
  void Start(std::uint64_t n) { view->UnitChanged(ViewOf(n, station::UnitState::Running)); }
  // Unit n completes with "Update complete", its dialog's message first.
  void Complete(std::uint64_t n) {
    station::UnitView done = ViewOf(n, station::UnitState::Passed);
    view->Message(done, "Update complete");
    station::UnitResult result;
    result.flashed = result.completed = true;
    result.message = "Update complete";
    done.result = result;
    tally.Count(result);
    view->Finished(done, tally, tally);
  }
  std::vector<std::string> Lines() const { return test::SplitLines(out.str()); }
  std::size_t Count(const std::string& text) const {
    std::size_t found = 0;
    for (std::size_t at = out.str().find(text); at != std::string::npos; at = out.str().find(text, at + 1)) ++found;
    return found;
  }

  std::ostringstream out;
  std::ostringstream err;
  OutputWriter output{out, err};
  station::Tally tally;
  std::unique_ptr<StationView> view;
};

// "Unplug PATH to go on." only while the station will take another unit.
TEST_F(StationViewTest, AFinishedUnitIsToldToBeUnpluggedOnlyWhileFurtherUnitsWillBeTaken) {
  struct Case {
    const char* name;
    std::optional<unsigned> count;
    int others;   // units attached besides the one that finishes
    bool ending;  // Ctrl+C came before it finished
    bool unplug;
  };
  const Case cases[] = {
      {"no count", std::nullopt, 0, false, true},
      {"no count, ending", std::nullopt, 0, true, false},
      {"count not yet covered", 3u, 1, false, true},
      {"count covered by the units attached", 3u, 2, false, false},
      {"count reached", 1u, 0, false, false},
  };
  for (const Case& c : cases) {
    out.str("");
    tally = {};
    Make(StationOutput::Lines, c.count);
    Arrive(1);
    Start(1);
    for (int i = 0; i < c.others; ++i) Arrive(2 + static_cast<std::uint64_t>(i));
    if (c.ending) view->Interrupted(SIGINT);
    Complete(1);
    EXPECT_EQ(Count("Unplug emulated:1 to go on."), c.unplug ? 1u : 0u) << c.name << ":\n" << out.str();
  }
}

// The dialog's message is the result line's, never a bare line; with
// --json it stays an event of its unit.
TEST_F(StationViewTest, TheDialogsMessageIsPartOfTheResultLine) {
  for (const StationOutput mode : {StationOutput::Lines, StationOutput::Table}) {
    out.str("");
    err.str("");
    Make(mode, 1u);
    Arrive(1);
    Start(1);
    Complete(1);
    EXPECT_EQ(Count("Update complete"), 1u) << out.str();
    EXPECT_NE(out.str().find("  emulated:1  serial EMU-0001  Update complete  00:00.000"), std::string::npos)
        << out.str();
    EXPECT_EQ(err.str(), "");
  }
  out.str("");
  Make(StationOutput::Json, 1u);
  Arrive(1);
  Start(1);
  Complete(1);
  const std::vector<std::string> lines = Lines();
  std::size_t messages = 0;
  for (const std::string& line : lines) {
    const Json event = Json::parse(line);
    if (event["event"] != "message") continue;
    ++messages;
    EXPECT_EQ(event["path"], "emulated:1");
    EXPECT_EQ(event["serial"], "EMU-0001");
    EXPECT_EQ(event["text"], "Update complete");
  }
  EXPECT_EQ(messages, 1u) << out.str();
  EXPECT_EQ(err.str(), "");
}

// Units that waited when the station ended are closed, in every output, and
// the table says they will not start once the station ends.
TEST_F(StationViewTest, UnitsThatWaitedWhenTheStationEndedAreClosedAsNotStarted) {
  struct Case {
    StationOutput mode;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {StationOutput::Lines,
       {"emulated:2 (serial EMU-0002): not started; the station ended",
        "emulated:3 (serial EMU-0003): not started; the station ended"}},
      {StationOutput::Table,
       {"emulated:2 (serial EMU-0002): not started; the station ended",
        "emulated:3 (serial EMU-0003): not started; the station ended"}},
      {StationOutput::Json,
       {R"({"event":"not_started","path":"emulated:2","serial":"EMU-0002","port":"","reason":"station_ended"})",
        R"({"event":"not_started","path":"emulated:3","serial":"EMU-0003","port":"","reason":"station_ended"})"}},
  };
  for (const Case& c : cases) {
    out.str("");
    tally = {};
    Make(c.mode);
    Arrive(1);
    Start(1);
    Arrive(2);
    Arrive(3);
    view->Interrupted(SIGTERM);
    if (c.mode == StationOutput::Table) {
      EXPECT_NE(out.str().rfind("1 updating, 2 not started, 0 finished"), std::string::npos) << out.str();
    }
    Complete(1);
    out.str("");
    view->End(true);
    std::vector<std::string> lines = Lines();
    if (c.mode == StationOutput::Table) {
      ASSERT_FALSE(lines.empty());
      // The table is cleared first, on the line the cursor waits on.
      EXPECT_EQ(lines.front().rfind("\r\x1b", 0), 0u);
      lines.front() = lines.front().substr(lines.front().find(']') == std::string::npos ? 0 : 0);
      const std::size_t text = lines.front().find("emulated:");
      ASSERT_NE(text, std::string::npos);
      lines.front() = lines.front().substr(text);
    }
    EXPECT_EQ(lines, c.expected);
  }
}

}  // namespace
}  // namespace orvik::cli
