// Loading a DLL that is not one of Windows' known DLLs (hid.dll, winmm.dll)
// from the system folder only. Windows looks for such a DLL in the program's
// own folder first, so a program that imports one at load time, or loads it
// by name, runs whatever file of that name lies beside it (a browser's
// download, another archive unpacked into the same folder). Loaded from
// here, only the system's copy ever runs.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

namespace orvik {

struct ModuleFreer {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;

struct SystemLibrary {
  UniqueModule module;  // null when it could not be loaded
  DWORD error = ERROR_SUCCESS;  // GetLastError() of the failed load
};

// Loads `fileName` (a bare file name such as L"hid.dll") from the system
// folder only.
inline SystemLibrary LoadSystemLibrary(const std::wstring& fileName) {
  SystemLibrary loaded;
  loaded.module.reset(LoadLibraryExW(fileName.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (loaded.module) return loaded;
  loaded.error = GetLastError();
  if (loaded.error != ERROR_INVALID_PARAMETER) return loaded;

  // Windows 7 without update KB2533623 does not know the flag: load the
  // file by its full path in the system folder instead, its own imports
  // searched from there (LOAD_WITH_ALTERED_SEARCH_PATH). A folder longer
  // than MAX_PATH is asked for once more with the length Windows reported.
  std::wstring folder(MAX_PATH, L'\0');
  UINT length = GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
  if (length >= folder.size()) {
    folder.assign(length, L'\0');
    length = GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
  }
  if (length == 0 || length >= folder.size()) {
    loaded.error = length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW;
    return loaded;
  }
  folder.resize(length);
  loaded.module.reset(LoadLibraryExW((folder + L'\\' + fileName).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  loaded.error = loaded.module ? ERROR_SUCCESS : GetLastError();
  return loaded;
}

}  // namespace orvik
