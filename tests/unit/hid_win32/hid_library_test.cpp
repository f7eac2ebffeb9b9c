// The table of hid.dll's functions: filled whole from the system's hid.dll,
// refused whole (with the reason) from a DLL that lacks any of them or that
// is not in the system folder, even when a DLL of that name lies in the
// current folder.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

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

// A DLL that ends the process with 77 when it is loaded (the tests' planted
// hid.dll), copied into a scratch folder under `name`, with that folder made
// the current one for the life of this object.
class PlantedInCurrentFolder {
 public:
  explicit PlantedInCurrentFolder(const std::wstring& name) {
    const char* planted = std::getenv("ORVIK_PLANTED_DLLS");  // "hid.dll,winmm.dll"
    if (planted == nullptr) return;
    std::string hid = planted;
    hid = hid.substr(0, hid.find(','));
    if (!hid.empty() && hid.front() == '/') hid.insert(0, "Z:");  // Wine: drive Z: is the root
    m_folder = std::filesystem::temp_directory_path() / ("orvik-planted-" + std::to_string(GetCurrentProcessId()));
    std::error_code error;
    std::filesystem::create_directories(m_folder, error);
    std::filesystem::copy_file(hid, m_folder / name, std::filesystem::copy_options::overwrite_existing, error);
    if (error) return;
    m_previous = std::filesystem::current_path();
    std::filesystem::current_path(m_folder);
    m_ready = true;
  }
  ~PlantedInCurrentFolder() {
    std::error_code error;
    if (m_ready) std::filesystem::current_path(m_previous, error);
    if (!m_folder.empty()) std::filesystem::remove_all(m_folder, error);
  }
  PlantedInCurrentFolder(const PlantedInCurrentFolder&) = delete;
  PlantedInCurrentFolder& operator=(const PlantedInCurrentFolder&) = delete;
  bool Ready() const { return m_ready; }

 private:
  std::filesystem::path m_folder;
  std::filesystem::path m_previous;
  bool m_ready = false;
};

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

TEST(HidLibrary, ADllOfThatNameInTheCurrentFolderIsNotLoaded) {
  // Were it loaded, its DllMain would end this test program with 77.
  const PlantedInCurrentFolder planted(L"orvik-planted-hid.dll");
  ASSERT_TRUE(planted.Ready()) << "ORVIK_PLANTED_DLLS not set, or the copy failed";
  const HidLibrary hid = LoadHidLibrary(L"orvik-planted-hid.dll");
  EXPECT_FALSE(hid.Usable());
  EXPECT_TRUE(hid.problem.starts_with("orvik-planted-hid.dll: ")) << hid.problem;
}

}  // namespace
}  // namespace orvik
