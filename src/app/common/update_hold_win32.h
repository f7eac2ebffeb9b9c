// Windows: the calls the hold makes to keep the machine awake, gathered so
// that a test can watch them (Wine's power functions are stubs that show
// nothing). The program uses the system's.
#pragma once

#include <windows.h>

namespace orvik::app {

struct PowerCalls {
  // Null where the system has no power requests.
  HANDLE(WINAPI* createRequest)(PREASON_CONTEXT) = nullptr;
  BOOL(WINAPI* setRequest)(HANDLE, POWER_REQUEST_TYPE) = nullptr;
  BOOL(WINAPI* clearRequest)(HANDLE, POWER_REQUEST_TYPE) = nullptr;
  BOOL(WINAPI* closeHandle)(HANDLE) = nullptr;
  EXECUTION_STATE(WINAPI* setThreadExecutionState)(EXECUTION_STATE) = nullptr;
};

// The system's calls, looked up in kernel32.dll.
PowerCalls SystemPowerCalls();

// The calls HoldOffSleep makes from now on; returns those it made before.
// Main thread, while no hold is taken.
PowerCalls UsePowerCalls(const PowerCalls& calls);

}  // namespace orvik::app
