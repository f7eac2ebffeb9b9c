// Units told apart by their USB serial numbers: the listing, the choice of
// one unit with --serial, the station's result lines, and device text that
// is not safe to print as it came.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "app/cli/device_text.h"
#include "support/test_support.h"
#include "unit/cli/command_run.h"

namespace orvik::cli {
namespace {

using namespace std::chrono_literals;

// Invalid UTF-8 (a lone 0xFF, a cut-off sequence), a screen-clearing escape,
// a backslash and a valid accented letter.
const std::string kHostileSerial = "\x1b[2J\xff" "A\\\xc3\xa9\xe2\x82";
const std::string kHostileOnTerminal = "\\x1b[2J\\xffA\\x5c\xc3\xa9\\xe2\\x82";
const std::string kHostileInJson = kHostileOnTerminal;

class SerialCommand : public EmulatedCommandTest {
 protected:
  // Reports the unit was sent.
  std::size_t Sent(std::size_t unit) const { return set->Unit(unit).RecordSize(); }
};

TEST(DeviceText, TerminalEscapesEveryByteThatIsNotPrintableUtf8) {
  struct Case {
    std::string bytes;
    std::string shown;
  };
  for (const Case& c : {
           Case{"SN-0123 abc~", "SN-0123 abc~"},
           Case{"\xc3\xa9\xe2\x82\xac\xf0\x9f\x94\x8b", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x94\x8b"},  // é € 🔋
           Case{std::string("a\0b", 3), "a\\x00b"},
           Case{"\r\n\t\x1b\x7f", "\\x0d\\x0a\\x09\\x1b\\x7f"},
           Case{"\\x41", "\\x5cx41"},                                      // an escape stands for one byte only
           Case{"\xc2\x9b" "31m", "\\u{9b}31m"},                             // C1 control sequence introducer
           Case{"ab\xe2\x80\xae" "cd", "ab\\u{202e}cd"},                      // right-to-left override
           Case{"\xc0\xaf", "\\xc0\\xaf"},                                 // overlong '/'
           Case{"\xed\xa0\x80", "\\xed\\xa0\\x80"},                        // a surrogate
           Case{"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},               // above U+10FFFF
           Case{"\xe2\x82", "\\xe2\\x82"},                                 // cut off
           Case{"\x80\xff\xfe", "\\x80\\xff\\xfe"},
       }) {
    EXPECT_EQ(TerminalText(c.bytes), c.shown);
  }
}

TEST(DeviceText, JsonTextIsValidUtf8WithTheInvalidReplaced) {
  struct Case {
    std::string bytes;
    std::string valid;
  };
  const std::string r = "\xef\xbf\xbd";  // U+FFFD
  for (const Case& c : {
           Case{"SN-0123", "SN-0123"},
           Case{"\x1b\x7f\xc3\xa9\xf0\x9f\x94\x8b", "\x1b\x7f\xc3\xa9\xf0\x9f\x94\x8b"},
           Case{"a\xff" "b", "a" + r + "b"},
           Case{"\xc0\xaf", r + r},
           Case{"\xed\xa0\x80", r + r + r},
           Case{"x\xe2\x82", "x" + r + r},
       }) {
    EXPECT_EQ(ValidUtf8(c.bytes), c.valid);
    // The JSON writer takes it without complaint and reads it back the same.
    const std::string line = Json{{"serial", ValidUtf8(c.bytes)}}.dump();
    EXPECT_EQ(Json::parse(line)["serial"], c.valid);
  }
}

TEST(ParseOptions, SerialTakesOneValueAndNoOtherChoiceOfInterface) {
  EXPECT_EQ(ParseOptions({"x", "--serial", "SN 1"}).serial, "SN 1");
  EXPECT_EQ(ParseOptions({"x", "--serial=--list"}).serial, "--list");
  EXPECT_EQ(ParseOptions({"x", "--serial", "A", "--wait=5", "--json"}).error, "");
  struct Case {
    std::vector<std::string> arguments;
    std::string error;
  };
  for (const Case& c : {
           Case{{"x", "--serial"}, "--serial needs a SERIAL"},
           Case{{"x", "--serial="}, "--serial needs a SERIAL"},
           Case{{"x", "--serial", "A", "--device", "/dev/hidraw0"},
                "--serial and --device each choose the interface to update; give only one of them"},
           Case{{"x", "--list", "--serial=A"},
                "--list shows every interface with its serial; it cannot be combined with --serial"},
           Case{{"x", "--serial=A", "--station=2"},
                "--station takes every device in turn; it cannot be combined with --serial"},
       }) {
    EXPECT_EQ(ParseOptions(c.arguments).error, c.error) << c.arguments.back();
  }
}

TEST_F(SerialCommand, ListShowsEachSerialOnTheLineAndInJson) {
  EXPECT_EQ(Run("-Emulate:good,good/serial=,good/serial=SN 3", {"--list"}), kExitCompleted);
  EXPECT_EQ(test::SplitLines(out.str()), (std::vector<std::string>{
                                             "* emulated:1  serial EMU-0001  port emu-1  input 33  output 33  ready",
                                             "  emulated:2  no serial  port emu-2  input 33  output 33  ready",
                                             "  emulated:3  serial SN 3  port emu-3  input 33  output 33  ready",
                                         }));

  EXPECT_EQ(Run("-Emulate:good,good/serial=,good/serial=SN 3", {"--list"}, /*json=*/true), kExitCompleted);
  const std::vector<Json> listed = Events("interface");
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0]["serial"], "EMU-0001");
  EXPECT_EQ(listed[1]["serial"], "");
  EXPECT_EQ(listed[2]["serial"], "SN 3");
}

TEST_F(SerialCommand, SerialChoosesTheSecondOfThreeAndItsEventsCarryIt) {
  EXPECT_EQ(Run("-Emulate:good,good/serial=B-2,good", {"--serial", "B-2", "--no-mcu"}, /*json=*/true),
            kExitCompleted);
  EXPECT_EQ(Sent(0), 0u);
  EXPECT_GT(Sent(1), 0u);
  EXPECT_EQ(Sent(2), 0u);
  const std::vector<Json> device = Events("device");
  ASSERT_EQ(device.size(), 1u);
  EXPECT_EQ(device[0]["path"], "emulated:2");
  EXPECT_EQ(device[0]["serial"], "B-2");
  const std::vector<Json> result = Events("result");
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result[0]["serial"], "B-2");
  EXPECT_EQ(result[0]["status"], kExitCompleted);
}

TEST_F(SerialCommand, WithWaitItWaitsForThatUnitPassingOverOthers) {
  // emulated:2 is there from the start; emulated:1 arrives after 300 ms.
  EXPECT_EQ(Run("-Emulate:good/serial=LATE/after=300,good", {"--serial", "LATE", "--wait=5", "--no-mcu"}),
            kExitCompleted);
  EXPECT_EQ(test::SplitLines(out.str()).front(), "Waiting for the device with serial LATE (at most 5 s)...");
  EXPECT_GT(Sent(0), 0u);
  EXPECT_EQ(Sent(1), 0u);
}

// An absent or shared serial ends the start-up as a missing --device path
// does: a message naming what was found, in the log too, status 2, and
// nothing sent to any unit.
TEST_F(SerialCommand, AnAbsentOrSharedSerialIsRefusedBeforeAnythingIsSent) {
  struct Case {
    std::string emulate;
    std::vector<std::string> arguments;
    std::string message;
  };
  for (const Case& c : {
           Case{"-Emulate:good,good/serial=B",
                {"--serial", "C"},
                "orvik-updater-cli: no attached interface of the device has the serial C; found: emulated:1 "
                "(serial EMU-0001, port emu-1, ready), emulated:2 (serial B, port emu-2, ready)"},
           Case{"-Emulate:absent", {"--serial", "C"},
                "orvik-updater-cli: no attached interface of the device has the serial C; none is attached"},
           Case{"-Emulate:good/serial=C/after=3000", {"--serial", "C", "--wait=1"},
                "orvik-updater-cli: no attached interface of the device has the serial C; none is attached"},
           Case{"-Emulate:good/serial=D,good,good/serial=D",
                {"--serial=D"},
                "orvik-updater-cli: 2 attached interfaces have the serial D: emulated:1 and emulated:3; choose one "
                "with --device"},
           Case{"-Emulate:good/serial=D,good/serial=D,good/serial=D",
                {"--serial=D", "--wait"},
                "orvik-updater-cli: 3 attached interfaces have the serial D: emulated:1, emulated:2 and emulated:3; "
                "choose one with --device"},
       }) {
    SCOPED_TRACE(c.emulate);
    EXPECT_EQ(Run(c.emulate, c.arguments), kExitStartupFailed);
    EXPECT_EQ(err.str(), c.message + "\n");
    EXPECT_EQ(log.Lines().back(), c.message);
    for (std::size_t i = 0; i < set->UnitCount(); ++i) EXPECT_EQ(set->Unit(i).RecordSize(), 0u) << i;
  }

  EXPECT_EQ(Run("-Emulate:good/serial=D,good/serial=D", {"--serial=D"}, /*json=*/true), kExitStartupFailed);
  const std::vector<Json> error = Events("error");
  ASSERT_EQ(error.size(), 1u);
  EXPECT_EQ(error[0]["paths"], Json::parse(R"(["emulated:1","emulated:2"])"));
  EXPECT_EQ(Events("result").at(0)["status"], kExitStartupFailed);
}

TEST_F(SerialCommand, HostileSerialIsEscapedOnTheTerminalAndValidInJson) {
  prepare = [](EmulatedDeviceSet& units) { units.SetUnitSerial(0, kHostileSerial); };
  EXPECT_EQ(Run("-Emulate:good", {"--list"}), kExitCompleted);
  EXPECT_EQ(out.str(), "* emulated:1  serial " + kHostileOnTerminal + "  port emu-1  input 33  output 33  ready\n");

  EXPECT_EQ(Run("-Emulate:good", {"--list"}, /*json=*/true), kExitCompleted);
  EXPECT_EQ(Events("interface").at(0)["serial"], kHostileInJson);

  EXPECT_EQ(Run("-Emulate:good", {"--station=1", "--no-mcu"}), kExitCompleted);
  const std::string station = out.str();
  EXPECT_NE(station.find("  emulated:1  serial " + kHostileOnTerminal + "  Update complete  "), std::string::npos)
      << station;
  EXPECT_EQ(station.find('\x1b'), std::string::npos);

  EXPECT_EQ(Run("-Emulate:good", {"--no-mcu"}, /*json=*/true), kExitCompleted);
  EXPECT_EQ(Events("device").at(0)["serial"], kHostileInJson);
  EXPECT_EQ(Events("result").at(0)["serial"], kHostileInJson);

  // Asking for it by a serial it does not have: the message shows it escaped.
  EXPECT_EQ(Run("-Emulate:good", {"--serial", "X\x07"}), kExitStartupFailed);
  EXPECT_EQ(err.str(), "orvik-updater-cli: no attached interface of the device has the serial X\\x07; found: "
                       "emulated:1 (serial " + kHostileOnTerminal + ", port emu-1, ready)\n");
}

// Held open, a gone unit's node could not be given to the next unit.
TEST_F(SerialCommand, StationLetsGoOfAGoneUnitBeforeTheNextArrives) {
  std::thread watcher;
  bool closedWhileGone = false;
  prepare = [&](EmulatedDeviceSet& units) {
    watcher = std::thread([&units, &closedWhileGone] {
      // The first unit leaves 100 ms after its update; the second comes
      // 1,500 ms after that.
      if (!test::WaitUntil([&] { return !units.Unit(0).IsPresent(); }, 10s)) return;
      closedWhileGone = test::WaitUntil([&] { return units.OpenedPath().empty(); }, 1s) && !units.Unit(1).IsPresent();
    });
  };
  EXPECT_EQ(Run("-Emulate:good/leave=100,good/after=1500", {"--station=2", "--no-mcu"}), kExitCompleted);
  watcher.join();
  EXPECT_TRUE(closedWhileGone);
  EXPECT_GT(Sent(1), 0u);
}

}  // namespace
}  // namespace orvik::cli
