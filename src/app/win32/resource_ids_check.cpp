// The resource compiler reads the identifiers from resource.h; the C++ code
// reads them from ui/dialog_window.h. They must agree, or the dialog would
// look for controls that the template does not have.
#include "app/win32/resource.h"

namespace {
constexpr int kRcDialog = IDD_UPDATER;
constexpr int kRcIcon = IDI_UPDATER;
constexpr int kRcUpdate = IDC_UPDATE;
constexpr int kRcProgress = IDC_PROGRESS;
constexpr int kRcMcu = IDC_MCU;
constexpr int kRcUsb = IDC_USB;
constexpr int kRcElapsed = IDC_ELAPSED;
constexpr int kRcLog = IDC_LOG;
constexpr int kRcImage = IDR_FIRMWARE_IMAGE;
constexpr int kRcVersion = IDR_VERSION_TEXT;
}  // namespace

#undef IDD_UPDATER
#undef IDI_UPDATER
#undef IDC_UPDATE
#undef IDC_PROGRESS
#undef IDC_MCU
#undef IDC_USB
#undef IDC_ELAPSED
#undef IDC_LOG

#include "image/resources.h"
#include "ui/dialog_window.h"

static_assert(kRcDialog == orvik::IDD_UPDATER);
static_assert(kRcIcon == orvik::IDI_UPDATER);
static_assert(kRcUpdate == orvik::IDC_UPDATE);
static_assert(kRcProgress == orvik::IDC_PROGRESS);
static_assert(kRcMcu == orvik::IDC_MCU);
static_assert(kRcUsb == orvik::IDC_USB);
static_assert(kRcElapsed == orvik::IDC_ELAPSED);
static_assert(kRcLog == orvik::IDC_LOG);
static_assert(kRcImage == orvik::kBinResourceId);
static_assert(kRcVersion == orvik::kVerResourceId);
