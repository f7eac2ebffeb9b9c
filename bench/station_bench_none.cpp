// A build without the station engine: the station cases are not run.
#include <cstdio>
#include <string>

#include "station_bench.h"

namespace orvik::bench {

void BenchStation(const StationBenchOptions& options, const Resources& /*resources*/) {
  if (std::string("station, Log off / per-unit logs (disk)").find(options.only) == std::string::npos) return;
  std::puts("station: not run (this build has no station engine)");
}

}  // namespace orvik::bench
