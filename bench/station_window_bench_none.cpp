// A build without the Qt station window: its case is not run.
#include <cstdio>
#include <string>

#include "station_window_bench.h"

namespace orvik::bench {

void BenchStationWindow(const StationWindowBenchOptions& options, const Resources& /*resources*/) {
  if (std::string("station window").find(options.only) == std::string::npos) return;
  std::puts("station window: not run (this build has no Qt station window)");
}

}  // namespace orvik::bench
