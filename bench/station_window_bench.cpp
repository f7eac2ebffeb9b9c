// The station window's case: the same 16 emulated units through the command
// line's blocking station (events dropped, as a terminal that keeps up) and
// through the Qt window over the long-lived engine, and the window's event
// loop measured while 64 units run.
#include <QApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/common/app_common.h"
#include "app/qt/station_window.h"
#include "station/station.h"
#include "station_window_bench.h"

namespace orvik::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A station that has not ended after this long has gone wrong.
constexpr auto kRunBound = 600s;
// How often the probe posts a call to the window's event loop.
constexpr auto kProbePeriod = 5ms;

station::StationConfig ConfigFor(unsigned units) {
  station::StationConfig config;
  config.parallel = units;
  config.count = units;
  config.arguments = {"orvik-bench"};
  return config;
}

std::unique_ptr<SearchableHidDevice> UnitsOf(unsigned units) {
  app::DeviceChoice choice = app::ChooseDevice({"orvik-bench", "-Emulate:good*" + std::to_string(units)});
  return std::move(choice.device);
}

double CliSeconds(unsigned units, const Resources& resources) {
  const auto devices = UnitsOf(units);
  station::StationEvents events;
  station::StationHost host;
  const auto begin = Clock::now();
  const station::StationSummary summary =
      station::RunStation(*devices, resources, ConfigFor(units), events, host, [] { return false; });
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  if (summary.tally.passed != units) std::printf("  (command line: %u of %u passed)\n", summary.tally.passed, units);
  return seconds;
}

struct WindowRun {
  double seconds = 0;
  std::vector<double> lateMs;  // each probe's delay on the event loop
};

// The window over the engine until `units` had their turn; with `probe`,
// a second thread posts a call every kProbePeriod and the window's thread
// notes how late each runs.
WindowRun WindowStation(unsigned units, const Resources& resources, bool probe) {
  const auto devices = UnitsOf(units);
  qt::StationWindowSettings settings;
  settings.parallel = units;
  qt::StationWindow window(settings);
  station::Station engine(*devices, resources, ConfigFor(units), window.Poster(), window, window);
  window.Attach(engine);
  window.resize(1400, 1000);
  window.show();

  WindowRun run;
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (window.Total().Finished() >= units && engine.State() == station::RunState::Stopped) loop.quit();
  });
  check.start(10);
  QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(kRunBound), &loop, &QEventLoop::quit);

  std::atomic<bool> probing{probe};
  std::thread prober;
  if (probe) {
    prober = std::thread([&] {
      while (probing) {
        const auto posted = Clock::now();
        QMetaObject::invokeMethod(
            &window,
            [&run, posted] { run.lateMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - posted).count()); },
            Qt::QueuedConnection);
        std::this_thread::sleep_for(kProbePeriod);
      }
    });
  }
  const auto begin = Clock::now();
  engine.Start();
  loop.exec();
  run.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  probing = false;
  if (prober.joinable()) prober.join();
  // The probe's last calls are served before the window goes.
  QCoreApplication::processEvents();
  if (window.Total().passed != units) std::printf("  (window: %u of %u passed)\n", window.Total().passed, units);
  return run;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

}  // namespace

void BenchStationWindow(const StationWindowBenchOptions& options, const Resources& resources) {
  if (std::string("station window").find(options.only) == std::string::npos) return;
  std::unique_ptr<QApplication> application;
  static int argc = 1;
  static char name[] = "orvik-bench";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() == nullptr) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    application = std::make_unique<QApplication>(argc, argv);
  }

  constexpr unsigned kUnits = 16;
  std::vector<double> cli;
  std::vector<double> window;
  for (int i = 0; i < options.runs; ++i) {
    cli.push_back(CliSeconds(kUnits, resources));
    window.push_back(WindowStation(kUnits, resources, false).seconds);
  }
  const double cliMedian = Percentile(cli, 0.5);
  const double windowMedian = Percentile(window, 0.5);
  std::printf("station window, %u units at once (median of %d): command line %.3f s, window %.3f s, ratio %.3f "
              "(goal <= 1.02)\n",
              kUnits, options.runs, cliMedian, windowMedian, windowMedian / cliMedian);

  constexpr unsigned kManyUnits = 64;
  const WindowRun many = WindowStation(kManyUnits, resources, true);
  const auto over = [&many](double ms) {
    return std::count_if(many.lateMs.begin(), many.lateMs.end(), [ms](double late) { return late > ms; });
  };
  std::printf("station window, %u units at once: %.3f s; event-loop latency over %zu probes: median %.2f ms, "
              "p99 %.2f ms, max %.2f ms (goal p99 <= 16 ms, max <= 50 ms); %td probes over 16 ms, %td over 50 ms\n",
              kManyUnits, many.seconds, many.lateMs.size(), Percentile(many.lateMs, 0.5),
              Percentile(many.lateMs, 0.99), Percentile(many.lateMs, 1.0), over(16), over(50));
  std::fflush(stdout);
}

}  // namespace orvik::bench
