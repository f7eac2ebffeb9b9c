// The Qt dialog, offscreen, over a hidraw node the kernel serves (FUSE) that
// is present but cannot be opened: "Can't find device" comes up first, then
// a second box with the reason and the remedy, and the program ends without
// showing its window.
//
// Needs a private mount namespace and FUSE (root): elsewhere the program
// exits 77 and CTest shows the tests as skipped.
#include <QApplication>
#include <QMessageBox>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/qt/qt_dialog_window.h"
#include "hid/hid_device_linux.h"
#include "image/resources.h"
#include "integration/fuse_hidraw.h"
#include "support/test_support.h"
#include "ui/updater_dlg.h"

namespace orvik::qt {
namespace {

std::string g_cannotMount;

struct RefusalCase {
  const char* name;
  bool heldByAnotherUpdater;  // otherwise the node refuses the user (EACCES)
  const char* secondBox;
};

class QtDeviceRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(QtDeviceRefusal, ShowsCantFindThenTheReasonAndEndsWithoutTheWindow) {
  if (!g_cannotMount.empty()) GTEST_SKIP() << g_cannotMount;
  const RefusalCase& c = GetParam();
  test::FuseHidrawTree tree(DeviceVendorId, DeviceProductId);
  if (!tree.Error().empty()) GTEST_SKIP() << tree.Error();
  test::ScopedLog log;
  CHIDDevice other(std::chrono::milliseconds(100), tree.SysfsRoot(), tree.DevRoot());
  if (c.heldByAnotherUpdater) {
    ASSERT_TRUE(other.OpenDevice(DeviceVendorId, DeviceProductId));
  } else {
    tree.Server().SetOpenError(EACCES);
  }

  CHIDDevice device(std::chrono::milliseconds(100), tree.SysfsRoot(), tree.DevRoot());
  const TableResources resources{EmbeddedResourceTable()};
  QtDialogWindow window;
  // The texts of the boxes as they come up, each a real box that is closed
  // before the next can come.
  std::vector<std::string> upInOrder;
  window.SetMessageBoxHook([&](QMessageBox& box) {
    upInOrder.push_back(box.text().toStdString());
    box.accept();
  });
  CORVIKUpdaterDlg dialog(window, device, resources, {"orvik-updater"});
  window.Attach(dialog);

  EXPECT_EQ(window.Run(), kDialogResultOk);
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(upInOrder,
            (std::vector<std::string>{"Can't find device, Please connect before run this updater!", c.secondBox}));
  const auto shown = window.ShownBoxes();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1].title, "Firmware for Solvane ver1.3");
  const auto lines = log.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Can't find device");
  EXPECT_TRUE(tree.Server().Written().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QtDeviceRefusal,
    ::testing::Values(
        RefusalCase{"PermissionDenied", false,
                    "The device is connected but cannot be opened: Permission denied.\n"
                    "Install the udev rule 70-orvik-updater.rules as the README says, then plug the device in again."},
        RefusalCase{"InUse", true,
                    "The device is connected but cannot be opened: in use by another updater.\n"
                    "Let the other updater finish its update and close it, then run this updater again."}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvik::qt

int main(int argc, char** argv) {
  // The mount namespace first: it must be made before any thread exists.
  orvik::qt::g_cannotMount = orvik::test::EnterPrivateMountNamespace();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  if (!orvik::qt::g_cannotMount.empty()) std::fprintf(stderr, "skipped: %s\n", orvik::qt::g_cannotMount.c_str());
  const int result = RUN_ALL_TESTS();
  return result == 0 && !orvik::qt::g_cannotMount.empty() ? 77 : result;
}
