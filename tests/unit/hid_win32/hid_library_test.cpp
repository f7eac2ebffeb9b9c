// The table of hid.dll's functions: filled whole from the system's hid.dll,
// refused whole (with the reason) from a DLL that lacks any of them or that
// is not in the system folder. (That a hid.dll beside the program is never
// loaded is shown end to end by the planted-DLL tests under tests/wine.)
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

#include "hid/hid_device_win32.h"

namespace orvik {
namespace {

bool AnyEntryFilled(const HidLibrary& hid) {
  return hid.HidD_GetHidGuid != nullptr || hid.HidD_GetAttributes != nullptr ||
         hid.HidD_GetPreparsedData != nullptr || hid.HidD_FreePreparsedData != nullptr ||
         hid.HidP_GetCaps != nullptr || hid.HidD_FlushQueue != nullptr || hid.HidD_GetSerialNumberString != nullptr;
}

bool EveryEntryFilled(const HidLibrary& hid) {
  return hid.HidD_GetHidGuid != nullptr && hid.HidD_GetAttributes != nullptr &&
         hid.HidD_GetPreparsedData != nullptr && hid.HidD_FreePreparsedData != nullptr &&
         hid.HidP_GetCaps != nullptr && hid.HidD_FlushQueue != nullptr && hid.HidD_GetSerialNumberString != nullptr;
}

TEST(HidLibrary, IsFilledWholeOrRefusedWholeWithTheReason) {
  struct Case {
    const wchar_t* fileName;
    bool usable;
    std::string problem;  // the whole text, or its start when it ends in "..."
  };
  const Case cases[] = {
      {L"hid.dll", true, ""},
      // A system DLL without the HID functions: every missing name is told.
      {L"kernel32.dll", false,
       "kernel32.dll: no HidD_GetHidGuid, HidD_GetAttributes, HidD_GetPreparsedData, HidD_FreePreparsedData, "
       "HidP_GetCaps, HidD_FlushQueue, HidD_GetSerialNumberString"},
      {L"orvik-no-such-library.dll", false, "orvik-no-such-library.dll: ..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::filesystem::path(c.fileName).string());
    const HidLibrary hid = LoadHidLibrary(c.fileName);
    EXPECT_EQ(hid.Usable(), c.usable);
    EXPECT_EQ(EveryEntryFilled(hid), c.usable);
    EXPECT_EQ(AnyEntryFilled(hid), c.usable) << "a refused table keeps no entry that could be called";
    if (c.problem.ends_with("...")) {
      const std::string start = c.problem.substr(0, c.problem.size() - 3);
      EXPECT_TRUE(hid.problem.starts_with(start)) << hid.problem;
      EXPECT_GT(hid.problem.size(), start.size()) << "the system's reason follows";
    } else {
      EXPECT_EQ(hid.problem, c.problem);
    }
  }
}

}  // namespace
}  // namespace orvik
