// A station window's set-up from the command line's options: what it takes,
// and what it refuses with a reason before anything is sent to a unit.

#include "app/cli/station_setup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "image/resources.h"
#include "support/test_support.h"

namespace orvik::cli {
namespace {

struct SetupCase {
  const char* name;
  std::vector<std::string> arguments;  // after the program's path
  const char* error;                   // the start of the reason; "" for none
};

TEST(StationSetup, BadInputIsRefusedWithItsReasonBeforeTheStationStarts) {
  const test::TempDir temp;
  const std::filesystem::path folder = temp.path();
  const std::filesystem::path badSlots = folder / "bad.slots";
  std::ofstream(badSlots) << "A1 emu-1\nA2 emu-1\n";
  const std::filesystem::path goodSlots = folder / "good.slots";
  std::ofstream(goodSlots) << "A1 emu-1\nA2 emu-2\n";
  const std::string missingRecord = (folder / "no-such-folder" / "runs.jsonl").string();
  const TableResources resources{EmbeddedResourceTable()};

  const SetupCase cases[] = {
      {"parallel out of range", {"--station", "--parallel=65"}, "bad number in --parallel '65'"},
      {"parallel zero", {"--station", "--parallel=0"}, "bad number in --parallel '0'"},
      {"parallel without a number", {"--station", "--parallel"}, "--parallel needs a NUMBER"},
      {"count zero", {"--station=0"}, "bad count in '--station=0'"},
      {"a count as a word of its own", {"--station", "5"}, "unknown option '5': --station takes its value"},
      {"skip without a record", {"--station", "--skip-updated"}, "--skip-updated passes over units"},
      {"a slot file that does not parse", {"--station", "--slots", badSlots.string()}, "the slot file "},
      {"a missing slot file", {"--station", "--slots", (folder / "none").string()}, "the slot file "},
      {"a record that cannot open", {"--station", "--record", missingRecord}, "cannot open the record "},
      {"a log folder that is not one", {"--station", "--log-dir", (folder / "none").string()}, "--log-dir "},
      {"a terminal option", {"--station", "--json"}, "--json is an option of orvik-updater-cli"},
      {"another mode", {"--station", "--history", "--record", missingRecord}, "--history only reads the record"},
      {"an option of the dialog's, in another case", {"--station", "-advmode"}, "unknown option '-advmode'"},
      {"good", {"--station=3", "--parallel=2", "--slots", goodSlots.string(), "--log-dir", folder.string()}, ""},
  };
  for (const SetupCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> arguments{"orvik-updater"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const auto setup = PrepareStationWindow(arguments, resources, true);
    EXPECT_EQ(setup->error.rfind(c.error, 0), 0u) << setup->error;
    if (*c.error != '\0') {
      EXPECT_FALSE(setup->error.empty());
    }
  }
  const auto good = PrepareStationWindow({"orvik-updater", "--station=3", "--parallel=2", "--slots",
                                          goodSlots.string(), "--no-usb", "--locked", "-AdvMode"},
                                         resources, true);
  ASSERT_EQ(good->error, "");
  EXPECT_EQ(good->config.parallel, 2u);
  EXPECT_EQ(good->config.count, 3u);
  EXPECT_EQ(good->config.slots, (std::vector<std::string>{"A1", "A2"}));
  EXPECT_TRUE(good->config.options.mcu);
  EXPECT_FALSE(good->config.options.usb);
  EXPECT_TRUE(good->locked);
  EXPECT_TRUE(good->advMode);
  HidInterfaceInfo onA2;
  onA2.port = "emu-2";
  EXPECT_EQ(good->config.slotOf(onA2), "A2");
  onA2.port = "emu-9";
  EXPECT_EQ(good->config.slotOf(onA2), std::nullopt);
}

TEST(StationSetup, OnlyStationAsksForTheWindow) {
  EXPECT_TRUE(WantsStationWindow({"orvik-updater", "--station"}));
  EXPECT_TRUE(WantsStationWindow({"orvik-updater", "-AdvMode", "--station=4"}));
  EXPECT_FALSE(WantsStationWindow({"orvik-updater", "-AdvMode", "-Emulate"}));
  EXPECT_FALSE(WantsStationWindow({"--station"}));  // the program's own path
  EXPECT_FALSE(WantsStationWindow({"orvik-updater", "--stations", "-station"}));
}

}  // namespace
}  // namespace orvik::cli
