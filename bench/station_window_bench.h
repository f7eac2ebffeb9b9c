// The station window against the command line's station: 16 emulated units
// through each (wall time, and the ratio), and the window's user-interface
// thread with 64 units running (how late a call posted to its event loop
// runs: median, 99th percentile, largest).
#pragma once

#include <string>

#include "image/resources.h"

namespace orvik::bench {

struct StationWindowBenchOptions {
  int runs = 3;      // counted runs of the 16-unit case
  std::string only;  // run only when "station window" contains this
};

// Prints the figures; says so, and runs nothing, where this build has no
// Qt station window.
void BenchStationWindow(const StationWindowBenchOptions& options, const Resources& resources);

}  // namespace orvik::bench
