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

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

#include "hid/hid_device_linux.h"
#include "hid/report_descriptor.h"
#include "support/test_support.h"
#include "unit/hid_linux/descriptors.h"

namespace orvik {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr std::uint32_t kVendor = 0x1209;
constexpr std::uint32_t kProduct = 0x0121;

std::string Uevent(std::uint32_t vendor, std::uint32_t product) {
  char line[64];
  std::snprintf(line, sizeof line, "HID_ID=0003:%08X:%08X\n", vendor, product);
  return "DRIVER=hid-generic\n" + std::string(line) + "HID_NAME=Orvik Solvane\nHID_PHYS=usb-0000:00:14.0-1/input0\n";
}

class FakeHidraw {
 public:
  FakeHidraw() {
    fs::create_directories(SysfsRoot());
    fs::create_directories(DevRoot());
  }
  fs::path SysfsRoot() const { return m_dir / "sys/class/hidraw"; }
  fs::path DevRoot() const { return m_dir / "dev"; }
  fs::path Node(unsigned n) const { return DevRoot() / ("hidraw" + std::to_string(n)); }
  fs::path HidDevice(unsigned n) const { return m_dir / ("sys/devices/0003:1209:0121.000" + std::to_string(n)); }

  // A hidraw node; a missing descriptor leaves the sysfs file out.
  void Add(unsigned n, const std::string& uevent, const std::optional<std::vector<std::uint8_t>>& descriptor,
           bool withDevNode = true) {
    const fs::path device = HidDevice(n);
    const fs::path hidraw = device / "hidraw" / ("hidraw" + std::to_string(n));
    fs::create_directories(hidraw);
    std::ofstream(device / "uevent") << uevent;
    if (descriptor) test::WriteBytes(device / "report_descriptor", *descriptor);
    fs::create_directory_symlink("../..", hidraw / "device");
    fs::create_directory_symlink(hidraw, SysfsRoot() / hidraw.filename());
    if (withDevNode) std::ofstream(Node(n)) << "";
  }
  void AddMatching(unsigned n, const std::vector<std::uint8_t>& descriptor = test::kVendor32) {
    Add(n, Uevent(kVendor, kProduct), descriptor);
  }

  CHIDDevice Device() const { return CHIDDevice(milliseconds(50), SysfsRoot(), DevRoot()); }

 private:
  test::TempDir m_temp;
  fs::path m_dir = m_temp.path();
};

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
