// The system's text for a Windows error code (GetLastError's), as UTF-8
// without its line break or final full stop; "error N" when the system has
// none. Windows only (system_error_win32.cpp); the code is a DWORD.
#pragma once

#include <string>

namespace orvik {

std::string SystemErrorText(unsigned long code);

}  // namespace orvik
