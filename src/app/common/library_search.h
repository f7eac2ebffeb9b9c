// Where the program's later DLL loads may look. Called first thing in main.
#pragma once

namespace orvik::app {

// Windows: every later load of a DLL by name, including one a system DLL
// makes on the program's behalf, searches the system folder only, never the
// program's folder (often Downloads) or the current one. Nothing on Linux.
void RestrictLibrarySearchToSystem();

}  // namespace orvik::app
