#include "bench_support.h"

#include <utility>

#include "support/scripted_window.h"
#include "ui/updater_dlg.h"

namespace orvik::bench {

// --- TimingDevice ------------------------------------------------------------

bool TimingDevice::OpenDevice(std::uint32_t vendorId, std::uint32_t productId) {
  return m_inner.OpenDevice(vendorId, productId);
}

void TimingDevice::WriteReport(std::span<const std::uint8_t> report) {
  const Clock::time_point start = Clock::now();
  m_inner.WriteReport(report);
  ++m_writes;
  m_spent += Clock::now() - start;
}

bool TimingDevice::WaitWriteDone() {
  const Clock::time_point start = Clock::now();
  const bool done = m_inner.WaitWriteDone();
  m_spent += Clock::now() - start;
  return done;
}

void TimingDevice::ReadReport(std::span<std::uint8_t> buffer) {
  const Clock::time_point start = Clock::now();
  m_inner.ReadReport(buffer);
  m_spent += Clock::now() - start;
}

bool TimingDevice::WaitReadDone() {
  const Clock::time_point start = Clock::now();
  const bool done = m_inner.WaitReadDone();
  m_spent += Clock::now() - start;
  return done;
}

void TimingDevice::DiscardQueuedInput() {
  const Clock::time_point start = Clock::now();
  m_inner.DiscardQueuedInput();
  m_spent += Clock::now() - start;
}

void TimingDevice::Reset() {
  m_spent = {};
  m_writes = 0;
}

// --- ObservedWindow ------------------------------------------------------------

void ObservedWindow::Reset() {
  m_spent = {};
  m_end = {};
  m_ended = false;
}

template <typename F>
auto ObservedWindow::Timed(F call) {
  if (std::this_thread::get_id() == m_uiThread) return call();
  const Clock::time_point start = Clock::now();
  struct AddOnExit {
    ObservedWindow& window;
    Clock::time_point start;
    ~AddOnExit() { window.m_spent += Clock::now() - start; }
  } add{*this, start};
  return call();
}

std::string ObservedWindow::GetCaption() {
  return Timed([&] { return m_inner.GetCaption(); });
}
void ObservedWindow::SetCaption(const std::string& text) {
  Timed([&] { m_inner.SetCaption(text); });
}
void ObservedWindow::ShowControl(int id) {
  Timed([&] { m_inner.ShowControl(id); });
}
int ObservedWindow::GetCheck(int id) {
  return Timed([&] { return m_inner.GetCheck(id); });
}
void ObservedWindow::SetCheck(int id, bool checked) {
  Timed([&] { m_inner.SetCheck(id, checked); });
}
void ObservedWindow::SetItemText(int id, const std::string& text) {
  Timed([&] { m_inner.SetItemText(id, text); });
}
void ObservedWindow::EnableControl(int id, bool enable) {
  Timed([&] { m_inner.EnableControl(id, enable); });
  if (id == IDC_UPDATE && enable && std::this_thread::get_id() != m_uiThread) {
    m_end = Clock::now();
    m_ended = true;
    if (m_onRunEnd) m_onRunEnd();
  }
}
void ObservedWindow::SetProgressRange(int lower, int upper) {
  Timed([&] { m_inner.SetProgressRange(lower, upper); });
}
void ObservedWindow::SetProgressPos(int position) {
  Timed([&] { m_inner.SetProgressPos(position); });
}
void ObservedWindow::StartTimer(int id, unsigned periodMs) {
  Timed([&] { m_inner.StartTimer(id, periodMs); });
}
void ObservedWindow::StopTimer(int id) {
  Timed([&] { m_inner.StopTimer(id); });
}
int ObservedWindow::MessageBox(const std::string& text, const std::string& title) {
  return Timed([&] { return m_inner.MessageBox(text, title); });
}
void ObservedWindow::EndDialog(int result) {
  Timed([&] { m_inner.EndDialog(result); });
}

// --- The scripted window's host ------------------------------------------------------

namespace {

class ScriptedHost final : public UpdateHost {
 public:
  ScriptedHost(TimingDevice& device, const Resources& resources)
      : m_device(device),
        m_observed(m_window, std::this_thread::get_id()),
        m_dialog(m_observed, device, resources, {"orvik-bench"}) {
    m_dialog.OnInitDialog();
  }

  const char* Name() const override { return "scripted"; }

  RunSample Run(bool verboseLog) override {
    m_window.SetCheck(IDC_LOG, verboseLog);
    m_dialog.OnClickedLog();
    m_device.Reset();
    m_observed.Reset();

    const Clock::time_point start = Clock::now();
    m_dialog.OnClickedUpdate();
    m_dialog.WaitForWorker();
    const Clock::time_point joined = Clock::now();

    RunSample sample;
    sample.ended = m_observed.Ended();
    sample.total = (sample.ended ? m_observed.EndTime() : joined) - start;
    sample.device = m_device.Spent();
    sample.window = m_observed.Spent();
    sample.exchanges = m_device.Writes();
    sample.result = m_dialog.LastRunResult();
    return sample;
  }

 private:
  TimingDevice& m_device;
  test::ScriptedWindow m_window;
  ObservedWindow m_observed;
  CORVIKUpdaterDlg m_dialog;
};

}  // namespace

std::unique_ptr<UpdateHost> MakeScriptedHost(TimingDevice& device, const Resources& resources) {
  return std::make_unique<ScriptedHost>(device, resources);
}

}  // namespace orvik::bench
