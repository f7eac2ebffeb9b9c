// The benchmark's own process: CPU time used so far and memory resident now.
// One implementation per platform: process_usage_linux.cpp,
// process_usage_win32.cpp.
#pragma once

#include <chrono>
#include <cstdint>

namespace orvik::bench {

struct ProcessUsage {
  std::chrono::microseconds cpu{0};  // user and system time of every thread
  std::uint64_t residentBytes = 0;   // 0 when the system does not say
};

ProcessUsage CurrentProcessUsage();

}  // namespace orvik::bench
