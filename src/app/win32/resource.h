// Identifiers of the resources in updater.rc. Plain #defines so that the
// resource compiler can read them; the C++ code uses the same numbers from
// ui/dialog_window.h, and resource_ids_check.cpp proves that they agree.
#pragma once

#define IDD_UPDATER 102
#define IDI_UPDATER 128
#define IDR_FIRMWARE_IMAGE 130
#define IDR_VERSION_TEXT 133

#define IDC_UPDATE 1000
#define IDC_PROGRESS 1001
#define IDC_MCU 1002
#define IDC_USB 1003
#define IDC_ELAPSED 1004
#define IDC_LOG 1005
