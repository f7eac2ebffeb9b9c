// orvik-updater.exe --station: the flashing station as a Win32 window. A
// grid of slot tiles (state as a word and a colour, bar, elapsed time, PASS
// or FAIL with the failure's number and message, "unplug to go on", the
// tile's counters), the station's counters and title, Start and Stop, the
// parallel count, the counters' reset, and the latest results, all drawn from
// the station engine's events.
//
// Threads: the engine's events reach the window through a queue of its own:
// the engine's thread pushes a task and posts a wake-up message, the
// user-interface thread runs the tasks. The user-interface thread never waits
// on a unit; once the window is gone, tasks are dropped.
#pragma once

#include "app/win32/win32_api.h"

#include <string>
#include <vector>

namespace orvik::win32 {

// Runs the station window over the program's arguments (its path first,
// "--station" among them) until it is closed. Options, a slot map or a
// record that cannot be used are refused with a message box before anything
// is sent to a unit. Returns the program's exit status: 0, or 2 when it did
// not start.
int RunStationWindow(HINSTANCE instance, const std::vector<std::string>& arguments);

}  // namespace orvik::win32
