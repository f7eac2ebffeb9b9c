// Linux: getrusage for the CPU time, /proc/self/statm for the resident pages.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "process_usage.h"

namespace orvik::bench {

ProcessUsage CurrentProcessUsage() {
  ProcessUsage usage;
  rusage self{};
  if (getrusage(RUSAGE_SELF, &self) == 0) {
    const auto micro = [](const timeval& t) {
      return std::chrono::seconds{t.tv_sec} + std::chrono::microseconds{t.tv_usec};
    };
    usage.cpu = micro(self.ru_utime) + micro(self.ru_stime);
  }
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    unsigned long long size = 0, resident = 0;
    if (std::fscanf(statm, "%llu %llu", &size, &resident) == 2) {
      usage.residentBytes = resident * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    }
    std::fclose(statm);
  }
  return usage;
}

}  // namespace orvik::bench
