// Several emulated devices: the "-Emulate:UNIT,..." grammar and the set's
// schedule of arrivals and departures.
#include "emulator/emulated_device_set.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace orvik {
namespace {

using namespace std::chrono_literals;

EmulateOption Parse(const std::string& argument) {
  const std::vector<std::string> args{"orvik-updater-cli", argument};
  return ParseEmulateOption(args);
}

TEST(EmulateUnits, TodaysFormsAreOneUnitEach) {
  EXPECT_EQ(Parse("-Emulate").units, std::vector<EmulatedUnit>{EmulatedUnit{}});
  const EmulateOption absent = Parse("-Emulate:absent");
  ASSERT_EQ(absent.units.size(), 1u);
  EXPECT_TRUE(absent.units[0].setting.absent);
  EXPECT_TRUE(absent.setting.absent);
  const EmulateOption faulty = Parse("-Emulate:badreply@MCUWrite#3");
  ASSERT_EQ(faulty.units.size(), 1u);
  EXPECT_EQ(faulty.setting.fault, (Fault{FaultKind::BadReply, UpdateCommand::MCUWrite, 3}));
  EXPECT_FALSE(faulty.units[0].afterMs || faulty.units[0].leaveMs);
}

TEST(EmulateUnits, SeveralUnitsWithTimingParseInOrder) {
  const EmulateOption option = Parse("-Emulate:good/leave=300,badreply@USBWrite/after=1000/leave=0,good/after=3600000");
  ASSERT_EQ(option.error, "");
  ASSERT_EQ(option.units.size(), 3u);
  EXPECT_EQ(option.units[0], (EmulatedUnit{{}, std::nullopt, 300u, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(option.units[1].setting.fault, (Fault{FaultKind::BadReply, UpdateCommand::USBWrite, 0}));
  EXPECT_EQ(option.units[1].afterMs, 1000u);
  EXPECT_EQ(option.units[1].leaveMs, 0u);
  EXPECT_EQ(option.units[2].afterMs, kMaxEmulatedDelayMs);
  EXPECT_FALSE(option.setting.fault);  // the first unit's
}

TEST(EmulateUnits, MalformedUnitsAreRejectedNamingWhatIsWrong) {
  struct Case {
    std::string argument;
    const char* part;
  };
  for (const Case& c : {
           Case{"-Emulate:good,", "empty fault"},
           Case{"-Emulate:,good", "empty fault"},
           Case{"-Emulate:Good", "'Good'"},
           Case{"-Emulate:good/after=", "bad time ''"},
           Case{"-Emulate:good/after=-1", "bad time '-1'"},
           Case{"-Emulate:good/after=3600001", "bad time '3600001'"},
           Case{"-Emulate:good/after=99999999", "bad time"},
           Case{"-Emulate:good/after=1/after=2", "'after' given more than once"},
           Case{"-Emulate:good/stay=1", "unknown unit option 'stay=1'"},
           Case{"-Emulate:good/", "unknown unit option ''"},
           Case{"-Emulate:good/leave", "unknown unit option 'leave'"},
           Case{"-Emulate:good*64,good", "65 emulated devices, more than 64"},
           Case{"-Emulate:good*40,good*20,absent*5,good*x", "66 emulated devices, more than 64"},
           Case{"-Emulate:good*0", "bad repeat count '0' after '*' (expected a whole number from 1 to 64)"},
           Case{"-Emulate:good*65", "bad repeat count '65'"},
           Case{"-Emulate:good*", "bad repeat count ''"},
           Case{"-Emulate:good*-2", "bad repeat count '-2'"},
           Case{"-Emulate:good*1.5", "bad repeat count '1.5'"},
           Case{"-Emulate:good* 2", "bad repeat count ' 2'"},
           Case{"-Emulate:nowrite@Foo*2", "unknown command 'Foo'"},
           Case{"-Emulate:good/serial=A/serial=B", "'serial' given more than once"},
           Case{"-Emulate:good/serial=\x7f", "not printable ASCII"},
           Case{"-Emulate:good/serial=a\tb", "not printable ASCII"},
           Case{"-Emulate:good/serial=\xc3\xa9", "not printable ASCII"},
           Case{"-Emulate:good/serial=12345678901234567890123456789012345678901234567890123456789012345",
                "longer than 64 characters"},
           Case{"-Emulate:good/serial", "unknown unit option 'serial'"},
           Case{"-Emulate:good/port=1-1/port=1-2", "'port' given more than once"},
           Case{"-Emulate:good/port=a b", "not printable ASCII or is a blank"},
           Case{"-Emulate:good/port=\x1b[2J", "not printable ASCII or is a blank"},
           Case{"-Emulate:good/port=\xc3\xa9", "not printable ASCII or is a blank"},
           Case{"-Emulate:good/port=" + std::string(65, 'p'), "longer than 64 characters"},
       }) {
    SCOPED_TRACE(c.argument);
    const EmulateOption option = Parse(c.argument);
    EXPECT_TRUE(option.emulate);
    EXPECT_NE(option.error.find(c.part), std::string::npos) << option.error;
    EXPECT_EQ(option.error.rfind(c.argument, 0), 0u) << option.error;
  }
  EXPECT_EQ(Parse("-Emulate:good,good,good,good,good,good,good,good,good,good,good,good,good,good,good,good").error,
            "");
}

// "*N" writes a unit out N times, each copy a device of its own.
TEST(EmulateUnits, ARepeatedUnitIsThatManyDevicesInListOrder) {
  const EmulateOption option = Parse("-Emulate:good*15,badreply@USBWrite,good/leave=5*2,good/serial=A*B*1");
  ASSERT_EQ(option.error, "");
  ASSERT_EQ(option.units.size(), 19u);
  EXPECT_EQ(option.units[14], EmulatedUnit{});
  EXPECT_EQ(option.units[15].setting.fault, (Fault{FaultKind::BadReply, UpdateCommand::USBWrite, 0}));
  EXPECT_EQ(option.units[16].leaveMs, 5u);
  EXPECT_EQ(option.units[17], option.units[16]);
  EXPECT_EQ(option.units[18].serial, "A*B");
  EXPECT_EQ(Parse("-Emulate:good*64").units.size(), kMaxEmulatedUnits);

  EmulatedDeviceSet set(Parse("-Emulate:good*3").units, 50ms);
  std::vector<std::string> serials;
  for (const HidInterfaceInfo& info : set.ListInterfaces(DeviceVendorId, DeviceProductId)) {
    serials.push_back(info.path + " " + info.serial);
  }
  EXPECT_EQ(serials, (std::vector<std::string>{"emulated:1 EMU-0001", "emulated:2 EMU-0002", "emulated:3 EMU-0003"}));
}

// Each unit keeps its own 1 ms frame clock: unit i's transfers end on
// boundaries 618 us x i (modulo 1 ms) after the first unit's, never before.
TEST(EmulatedDeviceSet, EachUnitEndsItsTransfersOnItsOwnFrameBoundaries) {
  EmulatedDeviceSet set(Parse("-Emulate:good*3").units, 50ms);
  set.SetLatency({.perTransfer = 0us, .usbFrames = true});
  for (const auto& [index, phase] : {std::pair{0, 0us}, std::pair{1, 618us}, std::pair{2, 236us}}) {
    SCOPED_TRACE(index);
    EmulatedDevice& unit = set.Unit(index);
    ASSERT_TRUE(unit.OpenDevice(DeviceVendorId, DeviceProductId));
    const ReportPacket command = MakeCommand(UpdateCommand::MCUEnd);
    for (int i = 0; i < 10; ++i) {
      const auto start = std::chrono::steady_clock::now().time_since_epoch();
      unit.WriteReport(command);
      ASSERT_TRUE(unit.WaitWriteDone());
      const auto boundary = std::chrono::floor<std::chrono::milliseconds>(start - phase) + 1ms + phase;
      EXPECT_GE(std::chrono::steady_clock::now().time_since_epoch(), boundary);
      ReportPacket reply{};
      unit.ReadReport(reply);
      ASSERT_TRUE(unit.WaitReadDone());
    }
  }
}

// A unit's port is its own text, none when empty, or emu-N by its place in
// the list.
TEST(EmulateUnits, PortsAreGivenOrNumberedInListOrder) {
  const std::string longest(kMaxEmulatedPortLength, '~');
  const EmulateOption option = Parse("-Emulate:good,good/port=1-1.4.2/serial=S,good/port=,good/port=" + longest);
  ASSERT_EQ(option.error, "");
  EmulatedDeviceSet set(option.units, 50ms);
  std::vector<std::string> ports;
  for (const HidInterfaceInfo& info : set.ListInterfaces(DeviceVendorId, DeviceProductId)) ports.push_back(info.port);
  EXPECT_EQ(ports, (std::vector<std::string>{"emu-1", "1-1.4.2", "", longest}));
}

// A unit's serial is its own text, none when empty, or EMU-NNNN by its place
// in the list; it ends at the next '/' or ','.
TEST(EmulateUnits, SerialsAreGivenOrNumberedInListOrder) {
  const std::string longest(kMaxEmulatedSerialLength, '~');
  const EmulateOption option =
      Parse("-Emulate:good,good/serial=SN 7=x/leave=5,absent/serial=,good/serial=" + longest + ",good");
  ASSERT_EQ(option.error, "");
  ASSERT_EQ(option.units.size(), 5u);
  EXPECT_EQ(option.units[1].serial, "SN 7=x");
  EXPECT_EQ(option.units[1].leaveMs, 5u);
  EXPECT_EQ(option.units[2].serial, "");
  EXPECT_FALSE(option.units[0].serial);

  EmulatedDeviceSet set(option.units, 50ms);
  std::vector<std::string> serials;
  for (const HidInterfaceInfo& info : set.ListInterfaces(DeviceVendorId, DeviceProductId)) {
    serials.push_back(info.serial);
  }
  // The absent third unit is not listed; the fifth keeps its place's number.
  EXPECT_EQ(serials, (std::vector<std::string>{"EMU-0001", "SN 7=x", longest, "EMU-0005"}));
  EXPECT_EQ(DefaultEmulatedSerial(0), "EMU-0001");
  EXPECT_EQ(DefaultEmulatedSerial(15), "EMU-0016");
  EXPECT_EQ(DefaultEmulatedSerial(12344), "EMU-12345");

  // The tests' seam: any bytes, unchecked.
  const std::string hostile("\x1b[2J\xff\xfe\0x", 8);
  set.SetUnitSerial(3, hostile);
  EXPECT_EQ(set.ListInterfaces(DeviceVendorId, DeviceProductId)[2].serial, hostile);
}

std::vector<std::string> Paths(EmulatedDeviceSet& set) {
  std::vector<std::string> paths;
  for (const HidInterfaceInfo& info : set.ListInterfaces(DeviceVendorId, DeviceProductId)) paths.push_back(info.path);
  return paths;
}

EmulatedDeviceSet MakeSet(const std::string& argument) {
  const EmulateOption option = Parse(argument);
  EXPECT_EQ(option.error, "");
  return EmulatedDeviceSet(option.units, 50ms);
}

TEST(EmulatedDeviceSet, ListsThePresentUnitsAndOpensTheFirstOrTheNamedOne) {
  EmulatedDeviceSet set = MakeSet("-Emulate:good,absent,badreply@MCUWrite");
  EXPECT_EQ(Paths(set), (std::vector<std::string>{"emulated:1", "emulated:3"}));
  EXPECT_TRUE(set.ListInterfaces(DeviceVendorId, DeviceProductId + 1).empty());
  const auto info = set.ListInterfaces(DeviceVendorId, DeviceProductId).front();
  EXPECT_TRUE(info.usable);
  EXPECT_EQ(info.inputReportLength, kReportSize);

  ASSERT_TRUE(set.OpenDevice(DeviceVendorId, DeviceProductId));
  EXPECT_EQ(set.OpenedPath(), "emulated:1");
  set.RestrictToPath("emulated:3");
  ASSERT_TRUE(set.OpenDevice(DeviceVendorId, DeviceProductId));
  EXPECT_EQ(set.OpenedPath(), "emulated:3");
  EXPECT_FALSE(set.Unit(0).IsOpen());
  // The transfers go to the unit opened.
  const ReportPacket start = MakeCommand(UpdateCommand::StartUpdate);
  set.WriteReport(start);
  EXPECT_TRUE(set.WaitWriteDone());
  EXPECT_EQ(set.Unit(2).RecordSize(), 1u);
  EXPECT_EQ(set.Unit(0).RecordSize(), 0u);

  for (const char* path : {"emulated:2", "emulated:4", "/dev/hidraw0"}) {
    set.RestrictToPath(path);
    EXPECT_FALSE(set.OpenDevice(DeviceVendorId, DeviceProductId)) << path;
    EXPECT_EQ(set.OpenedPath(), "");
    set.WriteReport(start);
    EXPECT_FALSE(set.WaitWriteDone());  // nothing is open
  }
}

TEST(EmulatedDeviceSet, UnitsArriveAfterTheOneBeforeHasLeftAndLeaveWhenIdle) {
  EmulatedDeviceSet set = MakeSet("-Emulate:good/after=100/leave=100,good/after=100");
  EXPECT_TRUE(Paths(set).empty());
  EXPECT_FALSE(set.OpenDevice(DeviceVendorId, DeviceProductId));
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(Paths(set), std::vector<std::string>{"emulated:1"});
  // Not opened yet: an unused unit stays.
  std::this_thread::sleep_for(150ms);
  ASSERT_EQ(Paths(set), std::vector<std::string>{"emulated:1"});

  ASSERT_TRUE(set.OpenDevice(DeviceVendorId, DeviceProductId));
  const ReportPacket start = MakeCommand(UpdateCommand::StartUpdate);
  set.WriteReport(start);
  EXPECT_TRUE(set.WaitWriteDone());
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Paths(set), std::vector<std::string>{"emulated:1"});  // idle for less than 100 ms
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(Paths(set).empty());  // gone, and the next comes 100 ms after that
  set.WriteReport(start);
  EXPECT_FALSE(set.WaitWriteDone());  // the unplugged unit takes nothing
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(Paths(set), std::vector<std::string>{"emulated:2"});
  ASSERT_TRUE(set.OpenDevice(DeviceVendorId, DeviceProductId));
  EXPECT_EQ(set.OpenedPath(), "emulated:2");
}

TEST(EmulatedDeviceSet, AnUnplugFaultEndsTheUnitLikeALeave) {
  EmulatedDeviceSet set = MakeSet("-Emulate:unplug@StartUpdate,good/after=0");
  ASSERT_TRUE(set.OpenDevice(DeviceVendorId, DeviceProductId));
  const ReportPacket start = MakeCommand(UpdateCommand::StartUpdate);
  set.WriteReport(start);
  EXPECT_FALSE(set.WaitWriteDone());
  EXPECT_EQ(Paths(set), std::vector<std::string>{"emulated:2"});
}

// A unit the station passes over is never opened: /pull takes it away
// counted from its arrival, used or not, and the next arrives after it.
TEST(EmulatedDeviceSet, APulledUnitLeavesAfterItsTimeWhetherUsedOrNot) {
  EmulatedDeviceSet set = MakeSet("-Emulate:good/pull=100,good/after=300/pull=600/leave=100000");
  EXPECT_EQ(Paths(set), std::vector<std::string>{"emulated:1"});
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(Paths(set).empty());  // from 100 ms until the next comes at 400 ms
  EXPECT_TRUE(test::WaitUntil([&] { return Paths(set) == std::vector<std::string>{"emulated:2"}; }, 2000ms));
  // Used, it still goes at its time, long before its /leave.
  ASSERT_TRUE(set.OpenDevice(DeviceVendorId, DeviceProductId));
  EXPECT_TRUE(test::WaitUntil([&] { return Paths(set).empty(); }, 2000ms));
}

}  // namespace
}  // namespace orvik
