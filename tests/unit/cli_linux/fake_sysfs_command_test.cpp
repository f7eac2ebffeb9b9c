// The command line's listing, choice and waiting over the real hidraw search
// code and a fake sysfs tree (see unit/hid_linux/fake_hidraw.h). The /dev
// nodes are regular files: whatever an update sends lands in them, and an
// update over one fails at its first reply, which is all these tests need of
// it: it shows that the update started, on which node.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "app/cli/commands.h"
#include "support/test_support.h"
#include "unit/cli/command_run.h"
#include "unit/hid_linux/fake_hidraw.h"

namespace orvik::cli {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FakeHidraw;
using test::kProduct;
using test::kVendor;
using test::Uevent;

class FakeSysfsCommand : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> arguments, bool json = false) {
    arguments.insert(arguments.begin(), "orvik-updater-cli");
    return RunCommandLine(device, resources, arguments, out, err, json);
  }

  // Two nodes the updater can use (1 and 5), one that does not open (2),
  // one of another product (3), one with a keyboard's descriptor (4).
  void AddListingTree() {
    tree.AddMatching(1);
    tree.Add(2, Uevent(kVendor, kProduct), test::kVendor32, /*withDevNode=*/false);
    fs::create_directory(tree.Node(2));
    tree.Add(3, Uevent(kVendor, 0x0122), test::kVendor32);
    tree.AddMatching(4, test::kBootKeyboard);
    tree.Add(5, Uevent(kVendor, kProduct) + "HID_UNIQ=ORV-5\n", test::kVendor32, true, "1-1.4.2");
  }

  test::ScopedLog log;
  FakeHidraw tree;
  CHIDDevice device = tree.Device();
  TableResources resources{EmbeddedResourceTable()};
  std::ostringstream out;
  std::ostringstream err;
};

TEST_F(FakeSysfsCommand, ListShowsEveryMatchingInterfaceAndMarksTheFirstUsable) {
  AddListingTree();
  EXPECT_EQ(Run({"--list"}), kExitCompleted);
  const std::string n = tree.DevRoot().string() + "/hidraw";
  EXPECT_EQ(test::SplitLines(out.str()), (std::vector<std::string>{
                                  "* " + n + "1  no serial  no port  input 33  output 33  ready",
                                  "  " + n + "2  no serial  no port  input 33  output 33  can't open: Is a directory",
                                  "  " + n + "4  no serial  no port  input 9  output 2  can't open: not the updater's "
                                  "interface (no unnumbered 32-byte reports)",
                                  "  " + n + "5  serial ORV-5  port 1-1.4.2  input 33  output 33  ready",
                              }));
  EXPECT_EQ(err.str(), "");
  // No update ran: nothing was written to any node, and nothing logged.
  EXPECT_EQ(fs::file_size(tree.Node(1)), 0u);
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(FakeSysfsCommand, ListWithDeviceMarksThatOneAndAnEmptyTreeExitsTwo) {
  AddListingTree();
  EXPECT_EQ(Run({"--list", "--device", tree.Node(5).string()}), kExitCompleted);
  const auto lines = test::SplitLines(out.str());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].substr(0, 2), "  ");
  EXPECT_EQ(lines[3].substr(0, 2), "* ");

  FakeHidraw empty;
  CHIDDevice none = empty.Device();
  std::ostringstream o, e;
  CommandEnvironment env = TestEnvironment(none, resources, {"x", "--list"}, o, e);
  EXPECT_EQ(RunCommand(env), kExitStartupFailed);
  EXPECT_EQ(o.str(), "");
  EXPECT_NE(e.str(), "");
}

TEST_F(FakeSysfsCommand, DeviceUpdatesTheNamedNodeOnly) {
  AddListingTree();
  EXPECT_EQ(Run({"--device", tree.Node(5).string(), "--no-usb"}), kExitUpdateFailed);
  // The update began on node 5: its StartUpdate went there, not to node 1.
  EXPECT_EQ(fs::file_size(tree.Node(1)), 0u);
  EXPECT_EQ(fs::file_size(tree.Node(5)), kReportSize);
  EXPECT_EQ(err.str(), "Get start code reply fail(460)\n");
}

TEST_F(FakeSysfsCommand, DeviceRejectsANodeThatIsNotAUsableMatchAndSendsNothing) {
  AddListingTree();
  for (const fs::path& path : {tree.Node(2), tree.Node(3), tree.Node(4), tree.Node(7)}) {
    SCOPED_TRACE(path.string());
    out.str("");
    err.str("");
    EXPECT_EQ(Run({"--device", path.string()}), kExitStartupFailed);
    const std::string text = err.str();
    EXPECT_NE(text.find(path.string() + " is not a usable interface"), std::string::npos) << text;
    // What was found instead, with why each cannot be used.
    EXPECT_NE(text.find("found: " + tree.Node(1).string() + " (ready), " + tree.Node(2).string() +
                        " (can't open: Is a directory)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(tree.Node(5).string() + " (ready)"), std::string::npos) << text;
    EXPECT_EQ(out.str(), "");
    ASSERT_FALSE(log.Lines().empty());
    EXPECT_EQ(log.Lines().back(), text.substr(0, text.size() - 1));
  }
  for (unsigned n : {1u, 5u}) EXPECT_EQ(fs::file_size(tree.Node(n)), 0u);
}

// Two units that share a serial, told apart by the ports they are plugged
// into: --port updates the one there and sends nothing to the other; a port
// with no unit ends the start-up naming what is where.
TEST_F(FakeSysfsCommand, PortPicksEachOfTwoUnitsWithOneSerialAndAnEmptyPortSendsNothing) {
  const std::string shared = Uevent(kVendor, kProduct) + "HID_UNIQ=SAME\n";
  tree.AddOnPort(1, "1-1.4.2", shared);
  tree.AddOnPort(2, "1-1.4.3", shared);
  struct Case {
    std::string port;
    int status;
    std::uintmax_t node1Size;  // bytes sent to each node so far
    std::uintmax_t node2Size;
    std::string error;
  };
  const std::string n = tree.DevRoot().string() + "/hidraw";
  for (const Case& c : {
           Case{"1-1.4.3", kExitUpdateFailed, 0, kReportSize, "Get start code reply fail(460)\n"},
           Case{"1-1.4.2", kExitUpdateFailed, kReportSize, kReportSize, "Get start code reply fail(460)\n"},
           Case{"1-1.4", kExitStartupFailed, kReportSize, kReportSize,
                "orvik-updater-cli: no attached interface of the device is on the port 1-1.4; found: " + n +
                    "1 (serial SAME, port 1-1.4.2, ready), " + n + "2 (serial SAME, port 1-1.4.3, ready)\n"},
       }) {
    SCOPED_TRACE(c.port);
    err.str("");
    EXPECT_EQ(Run({"--port", c.port, "--no-usb"}), c.status);
    EXPECT_EQ(err.str(), c.error);
    EXPECT_EQ(fs::file_size(tree.Node(1)), c.node1Size);
    EXPECT_EQ(fs::file_size(tree.Node(2)), c.node2Size);
  }
}

TEST_F(FakeSysfsCommand, WaitFindsANodeThatAppearsLater) {
  std::thread plug([this] {
    std::this_thread::sleep_for(1s);
    tree.AddMatching(6);
  });
  const auto begin = std::chrono::steady_clock::now();
  const int status = Run({"--wait=10", "--no-usb"}, /*json=*/true);
  const auto took = std::chrono::steady_clock::now() - begin;
  plug.join();

  // The update started on the node that came: its first reply is missing.
  EXPECT_EQ(status, kExitUpdateFailed);
  EXPECT_EQ(fs::file_size(tree.Node(6)), kReportSize);
  EXPECT_GE(took, 1s);
  EXPECT_LT(took, 5s);
  const auto lines = test::SplitLines(out.str());
  // Said once that it waits, whatever the number of looks.
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("\"event\":\"waiting\"") != std::string::npos; }),
            1);
  const auto device = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("\"event\":\"device\"") != std::string::npos;
  });
  ASSERT_NE(device, lines.end());
  EXPECT_NE(device->find(Json(tree.Node(6).string()).dump()), std::string::npos) << *device;
}

TEST_F(FakeSysfsCommand, WaitGivesUpAtItsBoundWithTheDialogsMessage) {
  tree.AddMatching(4, test::kBootKeyboard);  // matching IDs, not usable: still nothing to wait for
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(Run({"--wait=1"}), kExitStartupFailed);
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(took, 1s);
  EXPECT_LT(took, 3s);
  EXPECT_EQ(test::SplitLines(out.str()), std::vector<std::string>{"Waiting for the device (at most 1 s)..."});
  EXPECT_EQ(err.str(), "Can't find device, Please connect before run this updater!\n");
  ASSERT_FALSE(log.Lines().empty());
  EXPECT_EQ(log.Lines().back(), "Can't find device");
}

}  // namespace
}  // namespace orvik::cli
