// orvik-bench: times whole updates of the emulated device through the dialog
// and compares them with a bare loop of the same exchanges.
//
// For each device model (no latency; one report per 1 ms USB frame) and each
// case (window toolkit x "Log" off / on), prints over several runs the
// minimum and the median of:
//   total     from the click on "Update" to the worker's last window call
//   overhead  (total - device time) / exchanges, where the device time is the
//             median of a bare write-then-read loop of the same reports over
//             the same device: what the updater adds to each exchange
//   ratio     total / device time
// and, per exchange (medians), where the run's time went: inside the device's
// transfer calls, inside the window's calls from the worker, and the rest
// (the updater's own code and the log). With the frame model the overhead
// and the ratio only move once the updater misses a frame; the split shows
// the updater's own time below that.
//
// Before the updates: reading a station record of 100,000 lines (JSON lines
// and CSV) as --record does at start, which must take well under a second;
// then gang stations of 1 to 16 emulated units at once (station_bench.h).
//
// The log is flushed to disk on every line. Its file goes into --log-dir (by
// default the folder of this program, so on the disk the build lives on);
// "Log" on is also run with the file in /dev/shm for comparison.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/cli/station_record.h"
#include "bench_line.h"
#include "bench_record_db.h"
#include "bench_support.h"
#include "station_bench.h"
#include "station_window_bench.h"
#include "emulator/emulated_device.h"
#include "image/resources.h"
#include "log/log.h"
#include "update/protocol.h"

namespace orvik::bench {
namespace {

namespace fs = std::filesystem;

// A good run of both controllers with the shipped image.
constexpr std::size_t kExpectedExchanges = 2461;

struct Options {
  int runs = 5;
  int diskLogRuns = 3;  // every verbose line is an fsync: these runs are long
  fs::path logDir;
  fs::path shmDir = "/dev/shm";
  bool zeroModel = true;
  bool frameModel = true;
  bool qt = true;
  bool win32 = true;
  std::string only;  // run only the cases whose name contains this
};

enum class LogMode { OffDisk, OffShm, OnDisk, OnShm };

struct Case {
  UpdateHost* host;
  LogMode log;
  std::string name;
  int runs;
  std::vector<RunSample> samples;
};

struct Stats {
  double min = 0;
  double median = 0;
};

Stats StatsOf(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return {values.front(), median};
}

double Micro(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "orvik-bench: %s\n", what.c_str());
  std::exit(1);
}

void Usage() {
  std::puts(
      "usage: orvik-bench [--runs N] [--disk-log-runs N] [--log-dir DIR] [--shm-dir DIR]\n"
      "                   [--model zero|frame|both] [--no-qt] [--no-win32] [--only TEXT]\n"
      "  --runs N           counted runs of each case (default 5, 1..100)\n"
      "  --disk-log-runs N  counted runs with \"Log\" on and the log on disk (default 3, 0..100)\n"
      "  --log-dir DIR      the log file's folder on disk (default: this program's folder)\n"
      "  --shm-dir DIR      a memory file system for comparison (default /dev/shm; skipped if absent)\n"
      "  --model M          device models to run (default both)\n"
      "  --no-qt            skip the Qt dialog\n"
      "  --no-win32         skip the Win32 dialog (Windows builds)\n"
      "  --only TEXT        only the cases whose name contains TEXT (\"station\": the gang stations)");
}

int ParseCount(const char* text, int lowest) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < lowest || value > 100) Fail(std::string("bad count: ") + text);
  return static_cast<int>(value);
}

Options ParseOptions(int argc, char* argv[]) {
  Options options;
  std::error_code error;
  options.logDir = fs::absolute(fs::path(argv[0]), error).parent_path();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> const char* {
      if (i + 1 >= argc) Fail("missing value after " + arg);
      return argv[++i];
    };
    if (arg == "--runs") {
      options.runs = ParseCount(value(), 1);
    } else if (arg == "--disk-log-runs") {
      options.diskLogRuns = ParseCount(value(), 0);
    } else if (arg == "--log-dir") {
      options.logDir = value();
    } else if (arg == "--shm-dir") {
      options.shmDir = value();
    } else if (arg == "--model") {
      const std::string model = value();
      if (model != "zero" && model != "frame" && model != "both") Fail("unknown model: " + model);
      options.zeroModel = model != "frame";
      options.frameModel = model != "zero";
    } else if (arg == "--no-qt") {
      options.qt = false;
    } else if (arg == "--no-win32") {
      options.win32 = false;
    } else if (arg == "--only") {
      options.only = value();
    } else if (arg == "-h" || arg == "--help") {
      Usage();
      std::exit(0);
    } else {
      Usage();
      Fail("unknown argument: " + arg);
    }
  }
  return options;
}

// Every update starts with a fresh log file, so that its growth over the runs
// does not change the cost of a line.
class BenchLog {
 public:
  BenchLog(fs::path diskDir, std::optional<fs::path> shmDir)
      : m_disk(std::move(diskDir) / "orvik-bench.log"),
        m_shm(shmDir ? std::optional<fs::path>(*shmDir / "orvik-bench.log") : std::nullopt) {
    if (g_pLog != &m_log) Fail("another log is registered");
    UseDisk();
  }
  ~BenchLog() {
    std::error_code ignored;
    m_log.Open(fs::path());  // closes the file
    fs::remove(m_disk, ignored);
    if (m_shm) fs::remove(*m_shm, ignored);
  }
  void UseDisk() { Reopen(m_disk); }
  void UseShm() { Reopen(*m_shm); }

 private:
  void Reopen(const fs::path& path) {
    std::error_code ignored;
    fs::remove(path, ignored);
    m_log.Open(path);
  }

  CLog m_log;  // registers itself as g_pLog
  fs::path m_disk;
  std::optional<fs::path> m_shm;
};

// A record as a long-running line leaves it: 100,000 units, each serial seen
// twice (a failure, then a success, for one in ten), read as --record reads
// it at start.
constexpr std::size_t kRecordLines = 100000;

void BenchRecordRead(const fs::path& dir, const std::string& only, const TableResources& resources) {
  const cli::RecordImage image = cli::DescribeImage(resources);
  for (const cli::RecordFormat format : {cli::RecordFormat::JsonLines, cli::RecordFormat::Csv}) {
    const bool csv = format == cli::RecordFormat::Csv;
    const std::string name = csv ? "record read, CSV" : "record read, JSON lines";
    if (name.find(only) == std::string::npos) continue;
    const fs::path path = dir / (csv ? "orvik-bench-record.csv" : "orvik-bench-record.jsonl");
    std::error_code ignored;
    fs::remove(path, ignored);
    {
      std::string text = csv ? cli::CsvHeader() : std::string();
      cli::RecordLine line;
      line.time = "2026-12-08T09:41:05+01:00";
      line.host = "line-3";
      line.programVersion = "2.0.0.6";
      line.mcu = line.usb = true;
      line.mcuVersion = image.mcuVersion;
      line.usbVersion = image.usbVersion;
      line.mcuChecksum = image.mcuChecksum;
      line.usbChecksum = image.usbChecksum;
      for (std::size_t i = 0; i < kRecordLines; ++i) {
        char serial[32];
        std::snprintf(serial, sizeof serial, "SN%08zu", i / 10 * 10 + (i % 10 == 1 ? 0 : i % 10));
        line.path = "/dev/hidraw" + std::to_string(i % 8);
        line.serial = serial;
        line.status = i % 10 == 0 ? 1 : 0;
        line.failure = line.status == 0 ? 0 : 1345;
        line.message = line.status == 0 ? "Update complete" : "Check write usb code reply fail(1345)";
        line.durationMs = 5000 + static_cast<std::int64_t>(i % 100);
        text += cli::FormatRecordLine(format, line);
      }
      std::FILE* file = std::fopen(path.string().c_str(), "wb");
      if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size()) Fail("cannot write " + path.string());
      std::fclose(file);
    }
    // The start (the file's end only) and the skip look-up of a serial the
    // record does not hold, which reads back over the whole look-back window.
    std::vector<double> times, lookups;
    for (int run = 0; run < 5; ++run) {
      std::string error, warning;
      const Clock::time_point start = Clock::now();
      const std::unique_ptr<cli::FileRecord> record = cli::FileRecord::Open(path.string(), image, error, warning);
      times.push_back(Micro(Clock::now() - start) / 1000);
      if (!record) Fail(name + ": " + error);
      const Clock::time_point lookup = Clock::now();
      if (record->UpdatedAt("NOT-IN-THE-RECORD", true, true)) Fail(name + ": an unknown serial was found");
      lookups.push_back(Micro(Clock::now() - lookup) / 1000);
    }
    const Stats stats = StatsOf(times);
    const Stats lookup = StatsOf(lookups);
    std::printf("%-30s %zu lines (%ju bytes): start %.1f / %.1f ms, look-up of an unknown serial %.1f / %.1f ms "
                "(min / median of %zu)\n",
                name.c_str(), kRecordLines, static_cast<std::uintmax_t>(fs::file_size(path, ignored)), stats.min,
                stats.median, lookup.min, lookup.median, times.size());
    std::fflush(stdout);
    fs::remove(path, ignored);
  }
}

// The same exchanges as an update, written and read back to back with nothing
// in between but the reply check.
class BareLoop {
 public:
  BareLoop(TimingDevice& device, const std::vector<ReportPacket>& packets) : m_device(device) {
    for (const ReportPacket& packet : packets) {
      const std::optional<UpdateCommand> command = CommandOfPacket(packet);
      if (!command) Fail("the recorded conversation holds a report that is no command");
      m_exchanges.emplace_back(*command, packet);
    }
  }

  RunSample Run() {
    m_device.Reset();
    ReportPacket reply{};
    RunSample sample;
    const Clock::time_point start = Clock::now();
    m_device.DiscardQueuedInput();
    for (const auto& [command, packet] : m_exchanges) {
      if (ExchangeReport(m_device, command, packet, reply) != ExchangeOutcome::Accepted) {
        sample.result = 1;
        break;
      }
    }
    sample.total = Clock::now() - start;
    sample.device = m_device.Spent();
    sample.exchanges = m_device.Writes();
    sample.ended = true;
    return sample;
  }

 private:
  TimingDevice& m_device;
  std::vector<std::pair<UpdateCommand, ReportPacket>> m_exchanges;
};

void Check(const RunSample& sample, const std::string& what) {
  if (!sample.ended) Fail(what + ": the run did not end");
  if (sample.result != 0) Fail(what + ": the run failed with " + std::to_string(sample.result));
  if (sample.exchanges != kExpectedExchanges) {
    Fail(what + ": " + std::to_string(sample.exchanges) + " exchanges instead of " +
         std::to_string(kExpectedExchanges));
  }
}

RunSample RunCase(Case& c, BenchLog& log) {
  if (c.log == LogMode::OffShm || c.log == LogMode::OnShm) {
    log.UseShm();
  } else {
    log.UseDisk();
  }
  RunSample sample = c.host->Run(c.log == LogMode::OnDisk || c.log == LogMode::OnShm);
  Check(sample, c.name);
  return sample;
}

void PrintModel(const char* title, const std::vector<RunSample>& bare, const std::vector<Case>& cases) {
  std::vector<double> bareTotals;
  std::vector<double> bareDevice;
  for (const RunSample& s : bare) {
    bareTotals.push_back(Micro(s.total));
    bareDevice.push_back(Micro(s.device));
  }
  const Stats bareStats = StatsOf(bareTotals);
  const double n = static_cast<double>(kExpectedExchanges);

  std::printf("\n== %s ==\n", title);
  std::printf("device time = bare loop of the same %zu exchanges: %.2f / %.2f ms (min / median), %.2f us per exchange\n",
              kExpectedExchanges, bareStats.min / 1000, bareStats.median / 1000, bareStats.median / n);
  std::printf("  of which inside the device's calls: %.2f ms (median)\n", StatsOf(bareDevice).median / 1000);
  std::printf("%-30s %4s  %19s  %21s  %15s  %s\n", "case", "runs", "total ms min / med", "overhead us/exch",
              "ratio min / med", "per exchange, median us: device / window / rest");
  for (const Case& c : cases) {
    if (c.samples.empty()) continue;
    std::vector<double> totals, device, window, rest;
    for (const RunSample& s : c.samples) {
      totals.push_back(Micro(s.total));
      device.push_back(Micro(s.device) / n);
      window.push_back(Micro(s.window) / n);
      rest.push_back(Micro(s.total - s.device - s.window) / n);
    }
    const Stats total = StatsOf(totals);
    std::printf("%-30s %4zu  %8.2f / %8.2f  %9.2f / %9.2f  %6.3f / %6.3f  %8.2f / %8.2f / %8.2f\n", c.name.c_str(),
                c.samples.size(), total.min / 1000, total.median / 1000, (total.min - bareStats.median) / n,
                (total.median - bareStats.median) / n, total.min / bareStats.min, total.median / bareStats.median,
                StatsOf(device).median, StatsOf(window).median, StatsOf(rest).median);
  }
}

int Main(int argc, char* argv[]) {
  const Options options = ParseOptions(argc, argv);
  std::error_code error;
  const bool haveShm = fs::is_directory(options.shmDir, error);
  BenchLog log(options.logDir, haveShm ? std::optional<fs::path>(options.shmDir) : std::nullopt);

  EmulatedDevice emulated;
  TimingDevice device(emulated);
  const TableResources resources(EmbeddedResourceTable());

  BenchRecordRead(options.logDir, options.only, resources);
  BenchStation({.runs = options.runs, .logDir = options.logDir, .only = options.only}, resources);
  BenchStationWindow({.runs = options.runs, .only = options.only}, resources);
  bench::BenchRecordDatabases(options.logDir, options.only, cli::DescribeImage(resources));
  bench::BenchLineView(options.logDir, options.only);

  std::vector<std::unique_ptr<UpdateHost>> hosts;
  hosts.push_back(MakeScriptedHost(device, resources));
  std::string qtStatus = "skipped (--no-qt)";
  if (options.qt) {
    std::string whyNot;
    std::unique_ptr<UpdateHost> qtHost = MakeQtHost(device, resources, whyNot);
    if (qtHost) {
      qtStatus = std::string("QT_QPA_PLATFORM=") + std::getenv("QT_QPA_PLATFORM");
      hosts.push_back(std::move(qtHost));
    } else {
      qtStatus = "not run: " + whyNot;
    }
  }

  std::string win32Status = "skipped (--no-win32)";
  if (options.win32) {
    std::string whyNot;
    std::unique_ptr<UpdateHost> win32Host = MakeWin32Host(device, resources, whyNot);
    if (win32Host) {
      win32Status = "run";
      hosts.push_back(std::move(win32Host));
    } else {
      win32Status = "not run: " + whyNot;
    }
  }

  // The conversation of one good run, replayed by the bare loop.
  emulated.ClearRecord();
  Check(hosts.front()->Run(false), "recording run");
  const std::vector<ReportPacket> packets = emulated.Record();
  BareLoop bareLoop(device, packets);

  std::vector<Case> cases;
  for (const auto& host : hosts) {
    const std::string name = host->Name();
    cases.push_back({host.get(), LogMode::OffDisk, name + ", Log off (disk)", options.runs, {}});
    if (haveShm) cases.push_back({host.get(), LogMode::OffShm, name + ", Log off (memory fs)", options.runs, {}});
    cases.push_back({host.get(), LogMode::OnDisk, name + ", Log on (disk)", options.diskLogRuns, {}});
    if (haveShm) cases.push_back({host.get(), LogMode::OnShm, name + ", Log on (memory fs)", options.runs, {}});
  }
  std::erase_if(cases, [&](const Case& c) { return c.name.find(options.only) == std::string::npos; });
  if (cases.empty()) return 0;  // --only chose none of the update cases

  std::printf("orvik-bench: %zu exchanges per update; log file in %s%s%s; Qt dialog: %s; Win32 dialog: %s\n",
              packets.size(), options.logDir.string().c_str(), haveShm ? ", memory fs " : "",
              haveShm ? options.shmDir.string().c_str() : "", qtStatus.c_str(), win32Status.c_str());
  std::fflush(stdout);

  struct Model {
    bool wanted;
    const char* title;
    TransferLatency latency;
  };
  const Model models[] = {
      {options.zeroModel, "device model: no latency", TransferLatency{}},
      {options.frameModel, "device model: one report per 1 ms USB frame", TransferLatency{{}, true}},
  };
  for (const Model& model : models) {
    if (!model.wanted) continue;
    emulated.SetLatency(model.latency);
    for (Case& c : cases) c.samples.clear();
    std::vector<RunSample> bare;

    // Warm-up, not counted: the first run of each host pays for first-time
    // allocations and page faults.
    Check(bareLoop.Run(), "bare loop");
    for (const auto& host : hosts) {
      log.UseDisk();
      Check(host->Run(false), std::string(host->Name()) + " warm-up");
    }

    // Rounds of one run of each case, so a drift of the machine's speed hits
    // every case alike.
    const int rounds = std::max(options.runs, options.diskLogRuns);
    for (int round = 0; round < rounds; ++round) {
      if (round < options.runs) {
        emulated.ClearRecord();
        const RunSample sample = bareLoop.Run();
        Check(sample, "bare loop");
        bare.push_back(sample);
      }
      for (Case& c : cases) {
        if (round >= c.runs) continue;
        emulated.ClearRecord();
        c.samples.push_back(RunCase(c, log));
      }
    }
    PrintModel(model.title, bare, cases);
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace
}  // namespace orvik::bench

int main(int argc, char* argv[]) { return orvik::bench::Main(argc, argv); }
