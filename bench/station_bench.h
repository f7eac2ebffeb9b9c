// Gang stations of emulated units, timed: 1, 2, 4, 8 and 16 units at once
// through the station engine, each unit on its own 1 ms USB frames, with the
// "Log" box off, and again with a log of its own per unit in a folder on disk.
#pragma once

#include <filesystem>
#include <string>

#include "image/resources.h"

namespace orvik::bench {

struct StationBenchOptions {
  int runs = 3;                  // counted runs of each case and unit count
  std::filesystem::path logDir;  // on disk: the per-unit log folder goes below it
  std::string only;              // run only the cases whose name contains this
};

// Runs the cases whose name contains options.only ("station, Log off" and
// "station, per-unit logs (disk)") and prints for each unit count the wall
// time, its ratio to one unit's, the CPU time per unit and per exchange, and
// the resident memory. Says so, and runs nothing, where this build has no
// station engine.
void BenchStation(const StationBenchOptions& options, const Resources& resources);

}  // namespace orvik::bench
