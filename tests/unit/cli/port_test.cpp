// Units told apart by the USB port they are plugged into: --port, its
// options, waiting for a unit on a port, and the port in the JSON events.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/cli/cli.h"
#include "unit/cli/command_run.h"

namespace orvik::cli {
namespace {

class PortCommand : public EmulatedCommandTest {
 protected:
  std::size_t Sent(std::size_t unit) const { return set->Unit(unit).RecordSize(); }
};

TEST(ParseOptions, PortTakesOneValueAndNoOtherChoiceOfUnit) {
  EXPECT_EQ(ParseOptions({"x", "--port", "1-1.4.2"}).port, "1-1.4.2");
  EXPECT_EQ(ParseOptions({"x", "--port=PCIROOT(0)#USB(4)", "--wait=5", "--json"}).port, "PCIROOT(0)#USB(4)");
  struct Case {
    std::vector<std::string> arguments;
    const char* error;
  };
  for (const Case& c : {
           Case{{"x", "--port"}, "--port needs a PORT"},
           Case{{"x", "--port="}, "--port needs a PORT"},
           Case{{"x", "--port", "1-1", "--device", "/dev/hidraw0"},
                "--port and --device each choose the interface to update; give only one of them"},
           Case{{"x", "--port=1-1", "--serial=A"},
                "--port and --serial each choose the unit to update; give only one of them"},
           Case{{"x", "--list", "--port=1-1"},
                "--list shows every interface with its port; it cannot be combined with --port"},
           Case{{"x", "--station", "--port=1-1"},
                "--station takes every device in turn; it cannot be combined with --port"},
       }) {
    EXPECT_EQ(ParseOptions(c.arguments).error, c.error) << c.arguments.back();
  }
}

TEST(ParseOptions, SlotsNeedAStationAndTeachIsAModeOfItsOwn) {
  EXPECT_EQ(ParseOptions({"x", "--station", "--slots", "f"}).slots, "f");
  const Options teach = ParseOptions({"x", "--teach=f", "--force", "--json", "-Emulate"});
  EXPECT_EQ(teach.error, "");
  EXPECT_EQ(teach.teach, "f");
  EXPECT_TRUE(teach.force);
  const std::string teachAlone = "--teach learns the slots and updates nothing; it takes only --force, --json and -Emulate";
  struct Case {
    std::vector<std::string> arguments;
    std::string error;
  };
  for (const Case& c : {
           Case{{"x", "--slots=f"}, "--slots names a station's slots; it needs --station"},
           Case{{"x", "--station", "--slots"}, "--slots needs a FILE"},
           Case{{"x", "--teach"}, "--teach needs a FILE"},
           Case{{"x", "--force"}, "--force lets --teach replace its FILE; it needs --teach"},
           Case{{"x", "--teach=f", "--station"}, teachAlone},
           Case{{"x", "--teach=f", "--list"}, teachAlone},
           Case{{"x", "--teach=f", "--port=1-1"}, teachAlone},
           Case{{"x", "--teach=f", "--wait"}, teachAlone},
           Case{{"x", "--teach=f", "--record=r"}, teachAlone},
       }) {
    EXPECT_EQ(ParseOptions(c.arguments).error, c.error) << c.arguments.back();
  }
}

// The unit on the port arrives after the start; one on another port (with
// the same serial) is there all along and is passed over. Every event that
// names a unit names its port.
TEST_F(PortCommand, WithWaitItWaitsForTheUnitOnThatPortAndItsEventsCarryIt) {
  EXPECT_EQ(Run("-Emulate:good/serial=S/port=1-2/after=300,good/serial=S/port=1-1",
                {"--port", "1-2", "--wait=5", "--no-mcu"}, /*json=*/true),
            kExitCompleted);
  EXPECT_GT(Sent(0), 0u);
  EXPECT_EQ(Sent(1), 0u);
  const std::vector<Json> waiting = Events("waiting");
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(waiting[0]["port"], "1-2");
  for (const char* kind : {"device", "result"}) {
    const std::vector<Json> events = Events(kind);
    ASSERT_EQ(events.size(), 1u) << kind;
    EXPECT_EQ(events[0]["port"], "1-2") << kind;
    EXPECT_EQ(events[0]["path"], "emulated:1") << kind;
  }

  EXPECT_EQ(Run("-Emulate:good/port=1-2,good/port=", {"--list"}, /*json=*/true), kExitCompleted);
  const std::vector<Json> listed = Events("interface");
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0]["port"], "1-2");
  EXPECT_EQ(listed[1]["port"], "");
  EXPECT_EQ(Run("-Emulate:good/port=1-2,good/port=", {"--list"}), kExitCompleted);
  EXPECT_EQ(test::SplitLines(out.str()), (std::vector<std::string>{
                                             "* emulated:1  serial EMU-0001  port 1-2  input 33  output 33  ready",
                                             "  emulated:2  serial EMU-0002  no port  input 33  output 33  ready",
                                         }));
}

}  // namespace
}  // namespace orvik::cli
