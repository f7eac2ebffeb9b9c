#include <windows.h>

#include <bit>

#include "app/common/library_search.h"

namespace orvik::app {

void RestrictLibrarySearchToSystem() {
  // Looked up rather than imported: Windows 7 without update KB2533623 has no
  // SetDefaultDllDirectories, and an import of it would keep the program from
  // starting there.
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const auto setDefaultDllDirectories =
      kernel32 == nullptr ? nullptr
                          : std::bit_cast<decltype(&SetDefaultDllDirectories)>(
                                GetProcAddress(kernel32, "SetDefaultDllDirectories"));
  if (setDefaultDllDirectories != nullptr && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // There, at least the current folder leaves the search.
  SetDllDirectoryW(L"");
}

}  // namespace orvik::app
