#include "station_bench.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "emulator/emulated_device_set.h"
#include "emulator/fault.h"
#include "process_usage.h"
#include "station/station.h"
#include "station/unit_log.h"

namespace orvik::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::array<unsigned, 5> kUnitCounts{1, 2, 4, 8, 16};
// A good run of both controllers with the shipped image.
constexpr double kExchangesPerUnit = 2461;
// Resident memory is looked at on the engine's events, at most this often.
constexpr auto kResidentSamplePeriod = 20ms;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "orvik-bench: station: %s\n", what.c_str());
  std::exit(1);
}

// Hears the engine: the results, and the resident memory while units run.
class BenchEvents final : public station::StationEvents, public station::StationHost {
 public:
  void UnitChanged(const station::UnitView&) override { Sample(); }
  void Finished(const station::UnitView& view, const station::Tally&, const station::Tally&) override {
    Sample();
    if (view.result && !view.result->completed) failure = view.unit.path + ": " + view.result->message;
  }
  std::uint64_t peakResident = 0;
  std::string failure;

 private:
  void Sample() {
    const Clock::time_point now = Clock::now();
    if (now - m_sampled < kResidentSamplePeriod) return;
    m_sampled = now;
    peakResident = std::max(peakResident, CurrentProcessUsage().residentBytes);
  }
  Clock::time_point m_sampled{};
};

struct Sample {
  double wallMs = 0;
  double cpuMs = 0;  // the whole process's, all units together
  double residentMiB = 0;
};

struct Case {
  std::string name;
  bool unitLogs;
  std::array<std::vector<Sample>, kUnitCounts.size()> samples;
};

// One station of `units` good emulated units, all there from the start, run
// until every one has finished.
Sample RunOneStation(unsigned units, const fs::path& unitLogDir, const Resources& resources) {
  const std::vector<std::string> arguments{"orvik-bench", "-Emulate:good*" + std::to_string(units)};
  const EmulateOption option = ParseEmulateOption(arguments);
  if (!option.error.empty()) Fail(option.error);
  EmulatedDeviceSet devices(option.units);
  devices.SetLatency({.perTransfer = 0us, .usbFrames = true});

  station::StationConfig config;
  config.parallel = units;
  config.count = units;
  config.arguments = {"orvik-bench"};
  std::error_code ignored;
  if (!unitLogDir.empty()) {
    fs::remove_all(unitLogDir, ignored);
    if (!fs::create_directory(unitLogDir, ignored)) Fail("cannot make " + unitLogDir.string());
    std::string error;
    config.logFolder = station::UnitLogFolder::Open(unitLogDir, error);
    if (!config.logFolder) Fail("cannot use " + unitLogDir.string() + ": " + error);
  }

  BenchEvents events;
  const ProcessUsage before = CurrentProcessUsage();
  const Clock::time_point start = Clock::now();
  const station::StationSummary summary = station::RunStation(devices, resources, config, events, events, {});
  const Clock::duration wall = Clock::now() - start;
  const ProcessUsage after = CurrentProcessUsage();
  if (!events.failure.empty()) Fail(events.failure);
  if (summary.tally.passed != units) {
    Fail(std::to_string(summary.tally.passed) + " of " + std::to_string(units) + " units updated");
  }
  if (!unitLogDir.empty()) {
    const auto files = std::distance(fs::directory_iterator(unitLogDir), fs::directory_iterator());
    if (files != static_cast<std::ptrdiff_t>(units)) {
      Fail(std::to_string(files) + " unit logs for " + std::to_string(units) + " units");
    }
    fs::remove_all(unitLogDir, ignored);
  }
  Sample sample;
  sample.wallMs = std::chrono::duration<double, std::milli>(wall).count();
  sample.cpuMs = std::chrono::duration<double, std::milli>(after.cpu - before.cpu).count();
  sample.residentMiB = static_cast<double>(std::max(events.peakResident, after.residentBytes)) / (1024.0 * 1024.0);
  return sample;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

void BenchStation(const StationBenchOptions& options, const Resources& resources) {
  std::vector<Case> cases{{"station, Log off", false, {}}, {"station, per-unit logs (disk)", true, {}}};
  std::erase_if(cases, [&](const Case& c) { return c.name.find(options.only) == std::string::npos; });
  if (cases.empty()) return;
  const fs::path unitLogDir = options.logDir / "orvik-bench-unit-logs";

  // Warm-up, not counted: first-time allocations, page faults, the log file.
  RunOneStation(1, {}, resources);
  // Rounds of one run of each case and count, so a drift of the machine's
  // speed hits every one alike.
  for (int round = 0; round < options.runs; ++round) {
    for (std::size_t i = 0; i < kUnitCounts.size(); ++i) {
      for (Case& c : cases) {
        c.samples[i].push_back(RunOneStation(kUnitCounts[i], c.unitLogs ? unitLogDir : fs::path(), resources));
      }
    }
  }

  std::printf("\n== station: N emulated units at once, each on its own 1 ms USB frames; %d runs each ==\n",
              options.runs);
  std::printf("%-30s %3s  %18s  %11s  %12s  %12s  %12s\n", "case", "N", "wall ms min / med", "med / N=1",
              "CPU ms/unit", "CPU us/exch", "resident MiB");
  for (const Case& c : cases) {
    const double one = Median([&] {
      std::vector<double> walls;
      for (const Sample& s : c.samples[0]) walls.push_back(s.wallMs);
      return walls;
    }());
    for (std::size_t i = 0; i < kUnitCounts.size(); ++i) {
      std::vector<double> walls, cpu, resident;
      for (const Sample& s : c.samples[i]) {
        walls.push_back(s.wallMs);
        cpu.push_back(s.cpuMs / kUnitCounts[i]);
        resident.push_back(s.residentMiB);
      }
      const double wall = Median(walls);
      const double cpuPerUnit = Median(cpu);
      std::printf("%-30s %3u  %8.1f / %8.1f  %11.3f  %12.2f  %12.2f  %12.1f\n", c.name.c_str(), kUnitCounts[i],
                  *std::min_element(walls.begin(), walls.end()), wall, wall / one, cpuPerUnit,
                  cpuPerUnit * 1000 / kExchangesPerUnit, *std::max_element(resident.begin(), resident.end()));
    }
  }
  std::fflush(stdout);
}

}  // namespace orvik::bench
