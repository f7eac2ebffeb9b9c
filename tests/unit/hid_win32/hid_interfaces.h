// The HID interfaces the system shows, walked with SetupDi directly rather
// than through the updater's own search: what the tests compare it with.
#pragma once

#include <windows.h>

#include <setupapi.h>

#include <functional>
#include <new>
#include <vector>

// mingw-w64's hidsdi.h has no extern "C" guard of its own.
extern "C" {
#include <hidsdi.h>
}

#include "hid/hid_device_win32.h"

namespace orvik {

// Opens each HID interface that this process may open for reading and
// writing (overlapped, as the updater opens them), in enumeration order, and
// gives its handle to `visit` until `visit` returns false. The handle is
// closed when `visit` returns.
inline void ForEachOpenableHidInterface(const std::function<bool(HANDLE)>& visit) {
  GUID guid{};
  HidD_GetHidGuid(&guid);
  HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  for (DWORD index = 0; index < 1024; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
      continue;
    }
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    std::vector<DWORD> storage((required + 2 * sizeof(DWORD)) / sizeof(DWORD));
    auto* detail = new (storage.data()) SP_DEVICE_INTERFACE_DETAIL_DATA_W{};
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr)) continue;
    const OwnedHandle handle(CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OVERLAPPED, nullptr));
    if (handle.Valid() && !visit(handle.Get())) break;
  }
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace orvik
