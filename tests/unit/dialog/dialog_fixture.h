// A dialog over the scripted window and the emulated device, with resources
// a test can change.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "emulator/emulated_device.h"
#include "support/scripted_window.h"
#include "support/test_support.h"
#include "ui/updater_dlg.h"

namespace orvik::test {

using namespace std::chrono_literals;

// Resources whose entries a test can drop, replace or make unloadable.
class TestResources final : public Resources {
 public:
  TestResources() : m_image(ShippedImage().begin(), ShippedImage().end()), m_version{'1', '.', '3'} {}
  ResourceLookup Find(std::string_view type, int id) const override {
    const bool bin = type == kBinResourceType && id == kBinResourceId;
    const bool ver = type == kVerResourceType && id == kVerResourceId;
    if (!bin && !ver) return {ResourceStatus::NotFound, {}};
    const ResourceStatus status = bin ? imageStatus : versionStatus;
    if (status != ResourceStatus::Found) return {status, {}};
    return {status, bin ? std::span<const std::uint8_t>(m_image) : std::span<const std::uint8_t>(m_version)};
  }
  void SetImage(const FirmwareImage& image) { m_image.assign(image.begin(), image.end()); }
  void SetImageBytes(std::vector<std::uint8_t> bytes) { m_image = std::move(bytes); }
  void SetVersion(std::vector<std::uint8_t> bytes) { m_version = std::move(bytes); }

  ResourceStatus imageStatus = ResourceStatus::Found;
  ResourceStatus versionStatus = ResourceStatus::Found;

 private:
  std::vector<std::uint8_t> m_image;
  std::vector<std::uint8_t> m_version;
};

class DialogFixture : public ::testing::Test {
 protected:
  // Short bounds keep the "no answer" cases fast; one test elsewhere keeps the
  // real 5,000 ms.
  static constexpr std::chrono::milliseconds kWaitBound{40};

  ScopedLog log;
  ScriptedWindow window{[this] { return log.Lines().size(); }};
  EmulatedDevice device{kWaitBound};
  TestResources resources;
  std::atomic<std::uint32_t> tick{100000};
  std::unique_ptr<CORVIKUpdaterDlg> dlg;

  // `over` is the device the dialog talks to: the emulated one, or a test's
  // wrapper around it.
  CORVIKUpdaterDlg& Start(std::vector<std::string> arguments = {"orvik-updater.exe"}, HidDevice* over = nullptr) {
    dlg = std::make_unique<CORVIKUpdaterDlg>(window, over != nullptr ? *over : device, resources,
                                             std::move(arguments), [this] { return tick.load(); });
    window.ProbeBusy([this] { return dlg->IsBusy(); });
    EXPECT_TRUE(dlg->OnInitDialog());
    startupLines = log.Lines().size();
    return *dlg;
  }

  // Every box a test's dialog showed came while it was not busy: an ending's
  // box must leave the dialog closable.
  void TearDown() override {
    if (dlg) dlg->WaitForWorker();
    for (const auto& box : window.Boxes()) {
      ASSERT_TRUE(box.busy.has_value()) << box.text;
      EXPECT_FALSE(*box.busy) << "shown while busy: " << box.text;
    }
  }

  // Clicks "Update" and waits for the worker to end.
  void RunOnce() {
    dlg->OnClickedUpdate();
    dlg->WaitForWorker();
  }

  void ClickLog() {
    window.ToggleCheck(IDC_LOG);
    dlg->OnClickedLog();
  }

  // Log lines written after start-up.
  std::vector<std::string> RunLines() const {
    auto lines = log.Lines();
    return {lines.begin() + static_cast<long>(startupLines), lines.end()};
  }

  std::size_t startupLines = 0;
};

}  // namespace orvik::test
