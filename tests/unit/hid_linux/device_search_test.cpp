// The device search over a fake sysfs tree laid out like the kernel's:
//
//   sys/devices/0003:VVVV:PPPP.000N/{uevent,report_descriptor}
//   sys/devices/0003:VVVV:PPPP.000N/hidraw/hidrawN/device -> ../..
//   sys/class/hidraw/hidrawN -> ../../devices/0003:VVVV:PPPP.000N/hidraw/hidrawN
//
// The /dev nodes are regular files: open() takes them with the node's flags,
// and the tests tell which node was opened from the descriptors the process
// holds (/proc/self/fd). Transfers are tested over socketpairs elsewhere.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "hid/hid_device_linux.h"
#include "hid/report_descriptor.h"
#include "support/test_support.h"
#include "unit/hid_linux/descriptors.h"
#include "unit/hid_linux/fake_hidraw.h"

namespace orvik {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using test::FakeHidraw;
using test::kProduct;
using test::kVendor;
using test::Uevent;

// How many descriptors this process holds open on `path`.
int OpenDescriptorsOn(const fs::path& path) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(entry.path(), ec);
    if (!ec && target == path) ++count;
  }
  return count;
}

TEST(HidrawSearch, FirstMatchInNumericOrderIsOpenedAndTheOtherLeftClosed) {
  FakeHidraw tree;
  tree.AddMatching(10);
  tree.AddMatching(9);  // by name "hidraw10" < "hidraw9"; by number 9 comes first
  tree.Add(2, Uevent(0x845E, 0x0001), test::kVendor32);
  CHIDDevice device = tree.Device();

  ASSERT_TRUE(device.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(device.DevicePath(), tree.Node(9));
  EXPECT_EQ(OpenDescriptorsOn(tree.Node(9)), 1);
  EXPECT_EQ(OpenDescriptorsOn(tree.Node(10)), 0);
  EXPECT_EQ(device.InputReportLength(), kReportSize);
  EXPECT_EQ(device.OutputReportLength(), kReportSize);
}

TEST(HidrawSearch, CompositeDeviceOpensTheInterfaceWith32ByteReports) {
  FakeHidraw tree;
  tree.AddMatching(0, test::kBootKeyboard);
  tree.AddMatching(1, test::kBootMouse);
  tree.AddMatching(2, test::kVendor32);
  CHIDDevice device = tree.Device();

  ASSERT_TRUE(device.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(device.DevicePath(), tree.Node(2));
  EXPECT_EQ(OpenDescriptorsOn(tree.Node(0)) + OpenDescriptorsOn(tree.Node(1)), 0);
}

TEST(HidrawSearch, MatchingIdsWithoutThe32ByteReportsAreSkipped) {
  FakeHidraw tree;
  tree.AddMatching(0, test::kVendor64);
  tree.AddMatching(1, test::kVendorNumbered);  // 32-byte reports, but numbered
  tree.AddMatching(2, test::kBootKeyboard);
  CHIDDevice device = tree.Device();

  EXPECT_FALSE(device.OpenDevice(kVendor, kProduct));
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(device.InputReportLength(), 0u);
}

TEST(HidrawSearch, MissingUnreadableOrMalformedDescriptorsAreSkipped) {
  FakeHidraw tree;
  tree.Add(0, Uevent(kVendor, kProduct), std::nullopt);                  // no descriptor file
  tree.Add(1, Uevent(kVendor, kProduct), std::nullopt);                  // a folder where the file should be
  fs::create_directory(tree.HidDevice(1) / "report_descriptor");
  tree.AddMatching(2, std::vector<std::uint8_t>(test::kVendor32.begin(), test::kVendor32.end() - 4));  // cut
  tree.AddMatching(3, std::vector<std::uint8_t>(kMaxReportDescriptorSize + 1, 0x00));  // longer than any
  tree.AddMatching(4);
  CHIDDevice device = tree.Device();

  ASSERT_TRUE(device.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(device.DevicePath(), tree.Node(4));
}

TEST(HidrawSearch, IdsAreTakenOnlyFromAWellFormedHidIdLine) {
  FakeHidraw tree;
  tree.Add(0, "DRIVER=hid-generic\nHID_NAME=no ids\n", test::kVendor32);
  tree.Add(1, "HID_ID=0003:00001209\n", test::kVendor32);             // product missing
  tree.Add(2, "HID_ID=0003:00001209:0000012G\n", test::kVendor32);    // not hex
  tree.Add(3, "XHID_ID=0003:00001209:00000121\n", test::kVendor32);   // another key
  tree.Add(4, "HID_ID=0003:00001209:00010121\n", test::kVendor32);    // product 0x10121, not 0x0121
  tree.Add(5, "HID_NAME=x\nHID_ID=0005:00001209:00000121", test::kVendor32);  // last line, no newline
  CHIDDevice device = tree.Device();

  ASSERT_TRUE(device.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(device.DevicePath(), tree.Node(5));
}

TEST(HidrawSearch, NoTreeOrNoMatchMeansFalse) {
  FakeHidraw tree;
  CHIDDevice missingRoot(milliseconds(50), tree.SysfsRoot() / "absent", tree.DevRoot());
  EXPECT_FALSE(missingRoot.OpenDevice(kVendor, kProduct));

  tree.AddMatching(0);
  tree.Add(1, "HID_ID=0003:00001209:00000121\n", test::kVendor32);
  fs::create_directory(tree.SysfsRoot() / "hidrawX");  // not a hidraw node name
  fs::create_directory(tree.SysfsRoot() / "hidraw");
  CHIDDevice device = tree.Device();
  EXPECT_FALSE(device.OpenDevice(kVendor, 0x0122));
  EXPECT_FALSE(device.IsOpen());
}

TEST(HidrawSearch, UnopenableNodeIsLoggedAndTheSearchGoesOn) {
  test::ScopedLog log;
  FakeHidraw tree;
  tree.Add(3, Uevent(kVendor, kProduct), test::kVendor32, /*withDevNode=*/false);
  CHIDDevice device = tree.Device();

  EXPECT_FALSE(device.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"Can't open " + tree.Node(3).string() + ": No such file or directory"});

  tree.AddMatching(4);
  ASSERT_TRUE(device.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(device.DevicePath(), tree.Node(4));
}

TEST(HidrawSearch, NodeWithoutPermissionNamesTheUdevRule) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens a node whatever its mode; run as a user to test EACCES";
  test::ScopedLog log;
  FakeHidraw tree;
  tree.AddMatching(0);
  fs::permissions(tree.Node(0), fs::perms::none);
  CHIDDevice device = tree.Device();

  EXPECT_FALSE(device.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"Can't open " + tree.Node(0).string() +
                                                  ": Permission denied (install the udev rule 70-orvik-updater.rules)"});
}

TEST(HidrawSearch, OpeningAgainClosesTheFirstDescriptor) {
  FakeHidraw tree;
  tree.AddMatching(0);
  CHIDDevice device = tree.Device();

  ASSERT_TRUE(device.OpenDevice(kVendor, kProduct));
  ASSERT_TRUE(device.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(OpenDescriptorsOn(tree.Node(0)), 1);

  // A search that finds nothing still closes what was open.
  EXPECT_FALSE(device.OpenDevice(kVendor, 0x0122));
  EXPECT_EQ(OpenDescriptorsOn(tree.Node(0)), 0);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_TRUE(device.DevicePath().empty());
}

TEST(HidrawSearch, DestructionClosesTheNode) {
  FakeHidraw tree;
  tree.AddMatching(0);
  {
    CHIDDevice device = tree.Device();
    ASSERT_TRUE(device.OpenDevice(kVendor, kProduct));
    ASSERT_EQ(OpenDescriptorsOn(tree.Node(0)), 1);
  }
  EXPECT_EQ(OpenDescriptorsOn(tree.Node(0)), 0);
}

}  // namespace
}  // namespace orvik

namespace orvik {
namespace {

namespace fs = std::filesystem;
using test::FakeHidraw;
using test::kProduct;
using test::kVendor;
using test::Uevent;

// The tree of the listing tests: two interfaces the updater can use, one
// whose node does not open (a folder where the node should be: EISDIR, even
// for root), one of another product, one of this product with the wrong
// report descriptor (a keyboard interface).
struct ListingTree {
  ListingTree() {
    tree.AddMatching(1);
    tree.Add(2, Uevent(kVendor, kProduct), test::kVendor32, /*withDevNode=*/false);
    fs::create_directory(tree.Node(2));
    tree.Add(3, Uevent(kVendor, 0x0122), test::kVendor32);
    tree.AddMatching(4, test::kBootKeyboard);
    tree.AddMatching(5);
  }
  FakeHidraw tree;
};

TEST(HidrawListing, ListsEveryNodeWithTheIdsWithLengthsAndWhyItCannotBeUsed) {
  test::ScopedLog log;
  ListingTree fixture;
  CHIDDevice device = fixture.tree.Device();

  const std::vector<HidInterfaceInfo> found = device.ListInterfaces(kVendor, kProduct);
  ASSERT_EQ(found.size(), 4u);  // not the other product
  EXPECT_EQ(found[0].path, fixture.tree.Node(1).string());
  EXPECT_TRUE(found[0].usable);
  EXPECT_EQ(found[0].problem, "");
  EXPECT_EQ(found[0].inputReportLength, 33u);
  EXPECT_EQ(found[0].outputReportLength, 33u);

  EXPECT_EQ(found[1].path, fixture.tree.Node(2).string());
  EXPECT_FALSE(found[1].usable);
  EXPECT_EQ(found[1].problem, "Is a directory");
  EXPECT_EQ(found[1].inputReportLength, 33u);

  EXPECT_EQ(found[2].path, fixture.tree.Node(4).string());
  EXPECT_FALSE(found[2].usable);
  EXPECT_NE(found[2].problem.find("not the updater's interface"), std::string::npos) << found[2].problem;
  EXPECT_EQ(found[2].inputReportLength, 9u);  // 8-byte keyboard report and the ID byte
  EXPECT_EQ(found[2].outputReportLength, 2u);

  EXPECT_EQ(found[3].path, fixture.tree.Node(5).string());
  EXPECT_TRUE(found[3].usable);
  // Each attachment has its own identity: the sysfs device folder.
  EXPECT_EQ(found[3].identity, fs::canonical(fixture.tree.HidDevice(5)).string());
  EXPECT_NE(found[0].identity, found[3].identity);

  // Listing opens nothing for longer than the call and writes no log line.
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(OpenDescriptorsOn(fixture.tree.Node(1)), 0);
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(device.ListInterfaces(kVendor, 0x0123).empty());
}

TEST(HidrawListing, RestrictedSearchOpensOnlyTheNamedNode) {
  test::ScopedLog log;
  ListingTree fixture;
  CHIDDevice device = fixture.tree.Device();

  // Unrestricted: the first usable node, as the dialog chooses.
  ASSERT_TRUE(device.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(device.OpenedPath(), fixture.tree.Node(1).string());

  device.RestrictToPath(fixture.tree.Node(5).string());
  ASSERT_TRUE(device.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(device.OpenedPath(), fixture.tree.Node(5).string());
  EXPECT_EQ(OpenDescriptorsOn(fixture.tree.Node(1)), 0);

  // A node that does not match, does not open, or does not exist is never
  // replaced by another.
  for (const fs::path& path : {fixture.tree.Node(2), fixture.tree.Node(3), fixture.tree.Node(4),
                               fixture.tree.Node(9), fs::path("hidraw1")}) {
    SCOPED_TRACE(path.string());
    device.RestrictToPath(path.string());
    EXPECT_FALSE(device.OpenDevice(kVendor, kProduct));
    EXPECT_EQ(device.OpenedPath(), "");
  }
  device.RestrictToPath("");
  EXPECT_TRUE(device.OpenDevice(kVendor, kProduct));
}

// A station's workers: each handle is a closed device on the same tree,
// restricted and opened on its own, while the first stays as it was.
TEST(HidrawListing, NewHandlesSearchTheSameTreeAndOpenUnitsSideBySide) {
  test::ScopedLog log;
  ListingTree fixture;
  CHIDDevice device = fixture.tree.Device();
  device.RestrictToPath(fixture.tree.Node(5).string());
  const std::unique_ptr<SearchableHidDevice> first = device.NewHandle();
  const std::unique_ptr<SearchableHidDevice> second = device.NewHandle();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->OpenedPath(), "");
  EXPECT_EQ(first->ListInterfaces(kVendor, kProduct).size(), 4u);

  // Not restricted: the first usable node, then each its own.
  ASSERT_TRUE(first->OpenDevice(kVendor, kProduct));
  EXPECT_EQ(first->OpenedPath(), fixture.tree.Node(1).string());
  second->RestrictToPath(fixture.tree.Node(5).string());
  ASSERT_TRUE(second->OpenDevice(kVendor, kProduct));
  EXPECT_EQ(OpenDescriptorsOn(fixture.tree.Node(1)), 1);
  EXPECT_EQ(OpenDescriptorsOn(fixture.tree.Node(5)), 1);
  // Each handle holds its unit's lock: the first device finds its node taken.
  EXPECT_FALSE(device.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(device.LastOpenRefusal().reason, kInUseByAnotherUpdater);
  second->Close();
  EXPECT_TRUE(device.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(first->OpenedPath(), fixture.tree.Node(1).string());
}

TEST(HidrawListing, NodesThatComeAndGoAreSeenByTheNextListing) {
  FakeHidraw tree;
  CHIDDevice device = tree.Device();
  EXPECT_TRUE(device.ListInterfaces(kVendor, kProduct).empty());
  tree.AddMatching(0);
  ASSERT_EQ(device.ListInterfaces(kVendor, kProduct).size(), 1u);
  tree.Remove(0);
  EXPECT_TRUE(device.ListInterfaces(kVendor, kProduct).empty());
  EXPECT_FALSE(device.OpenDevice(kVendor, kProduct));
}

// The serial is HID_UNIQ's value as the kernel wrote it, bytes untouched;
// a missing or empty line means none, and only the exact key counts.
TEST(HidrawListing, SerialIsTheHidDevicesUniqLine) {
  struct Case {
    std::string ueventTail;
    std::string serial;
  };
  const std::vector<Case> cases = {
      {"HID_UNIQ=0123456789AB\n", "0123456789AB"},
      {"HID_UNIQ=\n", ""},
      {"", ""},
      {"HID_UNIQUE=x\nXHID_UNIQ=y\n", ""},
      {"HID_UNIQ=SN 1=2\nHID_UNIQ=second\n", "SN 1=2"},
      {"HID_UNIQ=\x1b[31m\xff\xc3", "\x1b[31m\xff\xc3"},  // last line, no newline
  };
  FakeHidraw tree;
  for (unsigned n = 0; n < cases.size(); ++n) {
    tree.Add(n, Uevent(kVendor, kProduct) + cases[n].ueventTail, test::kVendor32);
  }
  CHIDDevice device = tree.Device();
  const std::vector<HidInterfaceInfo> found = device.ListInterfaces(kVendor, kProduct);
  ASSERT_EQ(found.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(found[i].serial, cases[i].serial) << i;
}

TEST(HidrawListing, PortIsTheKernelNameOfTheNearestUsbDeviceAbove) {
  struct Case {
    std::string port;     // where the HID device sits; empty: under no USB device
    std::string bus;      // HID_ID's bus
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"1-1.4.2", "0003", "1-1.4.2"},  // behind two hubs
      {"2-3", "0003", "2-3"},          // on a root port
      {"", "0003", ""},                // no USB ancestor (uhid)
      {"1-2", "0005", ""},             // Bluetooth, below its USB dongle: the dongle's port is not its own
  };
  FakeHidraw tree;
  for (unsigned n = 0; n < cases.size(); ++n) {
    const std::string uevent = "HID_ID=" + cases[n].bus + ":00001209:00000121\n";
    tree.Add(n, uevent, test::kVendor32, true, cases[n].port);
  }
  CHIDDevice device = tree.Device();
  const std::vector<HidInterfaceInfo> found = device.ListInterfaces(kVendor, kProduct);
  ASSERT_EQ(found.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(found[i].port, cases[i].expected) << i;
}

TEST(HidrawListing, PermissionProblemsNameTheUdevRule) {
  EXPECT_EQ(OpenFailureText(EACCES), "Permission denied (install the udev rule 70-orvik-updater.rules)");
  EXPECT_EQ(OpenFailureText(EPERM), "Operation not permitted (install the udev rule 70-orvik-updater.rules)");
  EXPECT_EQ(OpenFailureText(ENOENT), "No such file or directory");
}

}  // namespace
}  // namespace orvik
