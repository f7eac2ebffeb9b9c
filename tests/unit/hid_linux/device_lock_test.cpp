// One updater per hidraw node: the node is locked while an updater has it
// open, and a node another updater holds is passed over and listed as in use.
// The /dev nodes of the fake tree are regular files, which flock() locks as it
// locks a device node.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>

#include "hid/hid_device_linux.h"
#include "support/test_support.h"
#include "unit/hid_linux/fake_hidraw.h"

namespace orvik {
namespace {

using test::FakeHidraw;
using test::kProduct;
using test::kVendor;

TEST(HidrawLock, NodeHeldByAnotherUpdaterIsPassedOverUntilItIsClosed) {
  test::ScopedLog log;
  FakeHidraw tree;
  tree.AddMatching(0);
  tree.AddMatching(1);
  CHIDDevice first = tree.Device();
  CHIDDevice second = tree.Device();
  CHIDDevice third = tree.Device();

  ASSERT_TRUE(first.OpenDevice(kVendor, kProduct));
  ASSERT_EQ(first.DevicePath(), tree.Node(0));
  // The search goes on to the next node, as for a node that does not open.
  ASSERT_TRUE(second.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(second.DevicePath(), tree.Node(1));
  EXPECT_EQ(second.LastOpenRefusal().reason, "");
  EXPECT_FALSE(third.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"Can't open " + tree.Node(0).string() + ": in use by another updater",
                                      "Can't open " + tree.Node(0).string() + ": in use by another updater",
                                      "Can't open " + tree.Node(1).string() + ": in use by another updater"}));

  // Closing (here: a search for another product) releases the lock.
  EXPECT_FALSE(first.OpenDevice(kVendor, 0x0122));
  ASSERT_TRUE(third.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(third.DevicePath(), tree.Node(0));
}

TEST(HidrawLock, ListingShowsNodesOthersHoldAsInUseAndItsOwnAsUsable) {
  FakeHidraw tree;
  tree.AddMatching(0);
  tree.AddMatching(1);
  CHIDDevice holder = tree.Device();
  CHIDDevice lister = tree.Device();
  ASSERT_TRUE(holder.OpenDevice(kVendor, kProduct));
  ASSERT_TRUE(lister.OpenDevice(kVendor, kProduct));  // node 1

  for (int round = 0; round < 2; ++round) {  // the listing itself leaves no lock behind
    const auto found = lister.ListInterfaces(kVendor, kProduct);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_FALSE(found[0].usable);
    EXPECT_EQ(found[0].problem, "in use by another updater");
    EXPECT_TRUE(found[1].usable) << found[1].problem;
  }
  // A listing does not lock: the holder still opens its node again.
  EXPECT_TRUE(holder.OpenDevice(kVendor, kProduct));
  EXPECT_EQ(holder.DevicePath(), tree.Node(0));
}

// What the last search says about why it opened nothing.
struct RefusalCase {
  const char* name;
  // 0: a usable node; ENOENT: a node without its /dev file; EWOULDBLOCK: a
  // node another updater holds; -1: no node at all.
  int node0;
  std::optional<int> node1;
  const char* reason;
  const char* remedyPart;
};

class HidrawRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(HidrawRefusal, NamesTheFirstRefusedNodesReasonAndRemedy) {
  const RefusalCase& c = GetParam();
  test::ScopedLog log;
  FakeHidraw tree;
  CHIDDevice holder = tree.Device();
  const auto add = [&](unsigned n, int kind) {
    if (kind < 0) return;
    tree.Add(n, test::Uevent(kVendor, kProduct), test::kVendor32, /*withDevNode=*/kind != ENOENT);
    if (kind == EWOULDBLOCK) {
      holder.RestrictToPath(tree.Node(n).string());
      ASSERT_TRUE(holder.OpenDevice(kVendor, kProduct));
    }
  };
  add(0, c.node0);
  if (c.node1) add(1, *c.node1);

  CHIDDevice device = tree.Device();
  device.OpenDevice(kVendor, kProduct);
  const OpenRefusal refusal = device.LastOpenRefusal();
  EXPECT_EQ(refusal.reason, c.reason);
  EXPECT_NE(refusal.remedy.find(c.remedyPart), std::string::npos) << refusal.remedy;
}

INSTANTIATE_TEST_SUITE_P(Cases, HidrawRefusal,
                         ::testing::Values(RefusalCase{"NothingPresent", -1, std::nullopt, "", ""},
                                           RefusalCase{"Opened", 0, std::nullopt, "", ""},
                                           RefusalCase{"OpenedAfterARefusal", ENOENT, 0, "", ""},
                                           RefusalCase{"InUse", EWOULDBLOCK, std::nullopt, "in use by another updater",
                                                       "Let the other updater finish"},
                                           RefusalCase{"FirstOfTwo", ENOENT, EWOULDBLOCK, "No such file or directory",
                                                       "plug it in again"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HidrawRefusal, PermissionRefusalPointsToTheUdevRule) {
  const OpenRefusal refusal = OpenRefusalFor(EACCES);
  EXPECT_EQ(refusal.reason, "Permission denied");
  EXPECT_EQ(refusal.remedy,
            "Install the udev rule 70-orvik-updater.rules as the README says, then plug the device in again.");
  EXPECT_EQ(OpenRefusalFor(EPERM).remedy, refusal.remedy);
  EXPECT_EQ(OpenRefusalFor(ENXIO).remedy.find("udev"), std::string::npos);
}

}  // namespace
}  // namespace orvik
