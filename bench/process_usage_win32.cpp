// Windows: GetProcessTimes for the CPU time, the working set for the
// resident memory.
#include <windows.h>

#include <psapi.h>

#include "process_usage.h"

namespace orvik::bench {

ProcessUsage CurrentProcessUsage() {
  ProcessUsage usage;
  FILETIME created{}, exited{}, kernel{}, user{};
  if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
    const auto ticks = [](const FILETIME& t) {
      return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;  // 100 ns units
    };
    usage.cpu = std::chrono::microseconds{(ticks(kernel) + ticks(user)) / 10};
  }
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
    usage.residentBytes = counters.WorkingSetSize;
  }
  return usage;
}

}  // namespace orvik::bench
