// The Qt dialog's host: a QApplication (offscreen unless QT_QPA_PLATFORM says
// otherwise) whose event loop serves the worker's calls while a run lasts.
#include <QApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>

#include "app/qt/qt_dialog_window.h"
#include "bench_support.h"
#include "ui/updater_dlg.h"

namespace orvik::bench {
namespace {

// A run that has not ended after this long has gone wrong; the event loop is
// left so that the benchmark can report it.
constexpr int kRunBoundMs = 600'000;

class QtHost final : public UpdateHost {
 public:
  QtHost(TimingDevice& device, const Resources& resources)
      : m_application(m_argc, m_argv),
        m_device(device),
        m_observed(m_window, std::this_thread::get_id()),
        m_dialog(m_observed, device, resources, {"orvik-bench"}) {
    m_window.Attach(m_dialog);
    m_window.SetAutoAnswerMessageBoxes(true);
    m_window.Start();
  }

  // Pending calls are cancelled first, so that the dialog's destructor can
  // join a worker that is still waiting on one.
  ~QtHost() override { m_window.Shutdown(); }

  const char* Name() const override { return "Qt"; }

  RunSample Run(bool verboseLog) override {
    // On the user-interface thread these run directly, as the click would.
    m_window.SetCheck(IDC_LOG, verboseLog);
    m_dialog.OnClickedLog();
    m_device.Reset();
    m_observed.Reset();

    QEventLoop loop;
    m_observed.OnRunEnd([&loop] { QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection); });
    QTimer::singleShot(kRunBoundMs, &loop, &QEventLoop::quit);

    const Clock::time_point start = Clock::now();
    m_dialog.OnClickedUpdate();
    loop.exec();

    RunSample sample;
    sample.ended = m_observed.Ended();
    if (sample.ended) {
      // The worker's last window call has been answered: it needs this
      // thread no more, so the join returns at once.
      m_dialog.WaitForWorker();
    }
    m_observed.OnRunEnd({});
    sample.total = (sample.ended ? m_observed.EndTime() : Clock::now()) - start;
    sample.device = m_device.Spent();
    sample.window = m_observed.Spent();
    sample.exchanges = m_device.Writes();
    sample.result = m_dialog.LastRunResult();
    return sample;
  }

 private:
  int m_argc = 1;
  char m_name[12] = "orvik-bench";
  char* m_argv[2] = {m_name, nullptr};
  QApplication m_application;
  TimingDevice& m_device;
  qt::QtDialogWindow m_window;
  ObservedWindow m_observed;
  CORVIKUpdaterDlg m_dialog;
};

}  // namespace

std::unique_ptr<UpdateHost> MakeQtHost(TimingDevice& device, const Resources& resources, std::string& /*whyNot*/) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  return std::make_unique<QtHost>(device, resources);
}

}  // namespace orvik::bench
