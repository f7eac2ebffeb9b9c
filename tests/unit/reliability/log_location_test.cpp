// A log that cannot be written (a directory where the file should be, a
// folder that cannot exist, a file system that takes no new files) changes
// nothing for the user: updates complete and fail as they do with a log, with
// "Log" checked so that every line is attempted.
#include <gtest/gtest.h>

#include "emulator/emulated_device.h"
#include "image/resources.h"
#include "support/test_support.h"
#include "ui/updater_dlg.h"
#include "unit/reliability/reliability_support.h"

namespace orvik::test {
namespace {

enum class Location { Directory, UnderARegularFile, ProcFileSystem };

class UnwritableLog : public ::testing::TestWithParam<Location> {
 protected:
  void SetUp() override {
    ASSERT_EQ(g_pLog, &log) << "another log is registered";
    std::filesystem::path path;
    switch (GetParam()) {
      case Location::Directory:
        path = dir.path();
        break;
      case Location::UnderARegularFile:
        WriteBytes(dir / "file", {'x'});
        path = dir / "file" / "orvik-updater.log";
        break;
      case Location::ProcFileSystem:
        path = "/proc/orvik-updater.log";  // not even root creates files there
        break;
    }
    log.Open(path);
  }

  TempDir dir;
  CLog log;
  SoakWindow window;
  EmulatedDevice device{std::chrono::milliseconds(20)};
  const TableResources resources{EmbeddedResourceTable()};
};

TEST_P(UnwritableLog, UpdatesStillCompleteAndFailAsUsual) {
  CORVIKUpdaterDlg dlg(window, device, resources, {"orvik-updater", "-AdvMode"});
  ASSERT_TRUE(dlg.OnInitDialog());
  ASSERT_EQ(window.Ends(), 0u);
  window.SetCheck(IDC_LOG, true);
  dlg.OnClickedLog();
  ASSERT_TRUE(dlg.IsVerboseLog());

  dlg.OnClickedUpdate();
  dlg.WaitForWorker();
  EXPECT_EQ(dlg.LastRunResult(), 0);
  EXPECT_EQ(window.LastBox(), "Update complete");
  EXPECT_EQ(device.RecordSize(), kFullRunExchanges);

  device.SetFault(Fault{FaultKind::NoReply, UpdateCommand::USBWrite, 3});
  dlg.OnTimer(kUpdateTimerId);
  dlg.OnClickedUpdate();
  dlg.WaitForWorker();
  EXPECT_EQ(dlg.LastRunResult(), 1293);
  EXPECT_FALSE(dlg.IsBusy());
  dlg.OnTimer(kUpdateTimerId);
  EXPECT_TRUE(window.UpdateEnabled());
  dlg.OnCancel();
  EXPECT_EQ(window.Ends(), 1u);
  // Nothing was created where the log could not go.
  if (GetParam() == Location::Directory) {
    EXPECT_TRUE(std::filesystem::is_directory(dir.path()));
  }
}

INSTANTIATE_TEST_SUITE_P(Locations, UnwritableLog,
                         ::testing::Values(Location::Directory, Location::UnderARegularFile, Location::ProcFileSystem),
                         [](const auto& info) {
                           switch (info.param) {
                             case Location::Directory: return "Directory";
                             case Location::UnderARegularFile: return "UnderARegularFile";
                             case Location::ProcFileSystem: return "ProcFileSystem";
                           }
                           return "";
                         });

}  // namespace
}  // namespace orvik::test
