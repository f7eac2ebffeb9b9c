// The Win32 dialog's host: the real dialog (template IDD_UPDATER, linked into
// this program) run modally on a user-interface thread of its own. The
// benchmark's thread clicks "Log" and "Update" with the messages a click
// sends and waits for each run's end, while the worker's calls cross to the
// user-interface thread through the dialog host's posted-message marshalling,
// as in orvik-updater.exe.
#include "app/win32/win32_api.h"

#include <atomic>
#include <future>
#include <string_view>

#include "app/win32/dialog_host.h"
#include "bench_support.h"
#include "ui/updater_dlg.h"

namespace orvik::bench {
namespace {

// A run that has not ended after this long has gone wrong; it is reported
// as not ended.
constexpr std::chrono::minutes kRunBound{10};
// The dialog appears within this long of the thread's start, or not at all.
constexpr std::chrono::seconds kShowBound{30};

// Passes every call to the Win32 window, except message boxes: those are
// answered at once, as a user pressing OK would, so that a run's ending does
// not wait for a person. One box per run: its cost is not what is measured.
class AnsweringWindow final : public DialogWindow {
 public:
  explicit AnsweringWindow(DialogWindow& inner) : m_inner(inner) {}

  std::string GetCaption() override { return m_inner.GetCaption(); }
  void SetCaption(const std::string& text) override { m_inner.SetCaption(text); }
  void ShowControl(int id) override { m_inner.ShowControl(id); }
  int GetCheck(int id) override { return m_inner.GetCheck(id); }
  void SetCheck(int id, bool checked) override { m_inner.SetCheck(id, checked); }
  void SetItemText(int id, const std::string& text) override { m_inner.SetItemText(id, text); }
  void EnableControl(int id, bool enable) override { m_inner.EnableControl(id, enable); }
  void SetProgressRange(int lower, int upper) override { m_inner.SetProgressRange(lower, upper); }
  void SetProgressPos(int position) override { m_inner.SetProgressPos(position); }
  void StartTimer(int id, unsigned periodMs) override { m_inner.StartTimer(id, periodMs); }
  void StopTimer(int id) override { m_inner.StopTimer(id); }
  int MessageBox(const std::string& /*text*/, const std::string& /*title*/) override { return kMessageBoxOk; }
  void EndDialog(int result) override { m_inner.EndDialog(result); }

 private:
  DialogWindow& m_inner;
};

// The dialog's window among the thread's top-level windows: of the dialog
// class "#32770". Wine gives a thread windows of its own (an IME window), so
// the first one found is not necessarily the dialog.
BOOL CALLBACK TakeDialogWindow(HWND hwnd, LPARAM found) {
  wchar_t name[16] = {};
  if (GetClassNameW(hwnd, name, 16) > 0 && std::wstring_view(name) == L"#32770") {
    *reinterpret_cast<HWND*>(found) = hwnd;
    return FALSE;
  }
  return TRUE;
}

class Win32Host final : public UpdateHost {
 public:
  Win32Host(TimingDevice& device, const Resources& resources) : m_device(device) {
    m_thread = std::thread([this, &resources] { UserInterfaceThread(resources); });
    const DWORD threadId = m_threadId.get_future().get();
    const Clock::time_point deadline = Clock::now() + kShowBound;
    while (m_hwnd == nullptr && !m_threadEnded && Clock::now() < deadline) {
      EnumThreadWindows(threadId, TakeDialogWindow, reinterpret_cast<LPARAM>(&m_hwnd));
      if (m_hwnd == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds{1});
    }
    // Answered once WM_INITDIALOG (and so OnInitDialog) is over and the
    // dialog's message loop runs.
    if (m_hwnd != nullptr) SendMessageW(m_hwnd, WM_NULL, 0, 0);
  }

  ~Win32Host() override {
    if (m_hwnd != nullptr) PostMessageW(m_hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    m_thread.join();
  }

  bool Shown() const { return m_hwnd != nullptr && m_dialog.load() != nullptr; }

  const char* Name() const override { return "Win32"; }

  RunSample Run(bool verboseLog) override {
    CORVIKUpdaterDlg& dialog = *m_dialog.load();
    ObservedWindow& observed = *m_observed.load();
    const HWND log = GetDlgItem(m_hwnd, IDC_LOG);
    SendMessageW(log, BM_SETCHECK, verboseLog ? BST_CHECKED : BST_UNCHECKED, 0);
    SendMessageW(m_hwnd, WM_COMMAND, MAKEWPARAM(IDC_LOG, BN_CLICKED), reinterpret_cast<LPARAM>(log));
    m_device.Reset();
    observed.Reset();

    std::promise<void> ended;
    std::future<void> end = ended.get_future();
    observed.OnRunEnd([&ended] { ended.set_value(); });

    const Clock::time_point start = Clock::now();
    // Answered once OnClickedUpdate has started the worker.
    SendMessageW(m_hwnd, WM_COMMAND, MAKEWPARAM(IDC_UPDATE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(m_hwnd, IDC_UPDATE)));
    RunSample sample;
    sample.ended = end.wait_for(kRunBound) == std::future_status::ready;
    if (sample.ended) {
      // The worker's last window call has been answered: it needs the
      // user-interface thread no more, so the join returns at once, and the
      // next click (sent after it) finds the worker finished.
      dialog.WaitForWorker();
    }
    observed.OnRunEnd({});
    sample.total = (sample.ended ? observed.EndTime() : Clock::now()) - start;
    sample.device = m_device.Spent();
    sample.window = observed.Spent();
    sample.exchanges = m_device.Writes();
    sample.result = dialog.LastRunResult();
    return sample;
  }

 private:
  void UserInterfaceThread(const Resources& resources) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    win32::Win32DialogWindow window(GetModuleHandleW(nullptr));
    AnsweringWindow answering(window);
    ObservedWindow observed(answering, std::this_thread::get_id());
    CORVIKUpdaterDlg dialog(observed, m_device, resources, {"orvik-bench"});
    m_observed = &observed;
    m_dialog = &dialog;
    m_threadId.set_value(GetCurrentThreadId());
    window.RunModal(dialog);
    m_dialog = nullptr;
    m_observed = nullptr;
    m_threadEnded = true;
  }

  TimingDevice& m_device;
  std::promise<DWORD> m_threadId;
  std::atomic<CORVIKUpdaterDlg*> m_dialog{nullptr};
  std::atomic<ObservedWindow*> m_observed{nullptr};
  std::atomic<bool> m_threadEnded{false};
  HWND m_hwnd = nullptr;
  std::thread m_thread;  // last: started once the members above exist
};

}  // namespace

std::unique_ptr<UpdateHost> MakeWin32Host(TimingDevice& device, const Resources& resources, std::string& whyNot) {
  auto host = std::make_unique<Win32Host>(device, resources);
  if (!host->Shown()) {
    whyNot = "the dialog did not appear (no display?)";
    return nullptr;
  }
  return host;
}

}  // namespace orvik::bench
