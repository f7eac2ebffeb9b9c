// The updater dialog as a real Win32 dialog: the template IDD_UPDATER from
// updater.rc, run modally, with CORVIKUpdaterDlg as its behaviour.
//
// Win32DialogWindow is both the DialogWindow that the behaviour talks to and
// the dialog procedure that feeds it the window's messages. A call from the
// worker thread is handed to the user-interface thread by a posted private
// message and waits there until it has run, like SendMessage; unlike
// SendMessage it is cancelled when the window is destroyed, so a worker that
// calls in while the dialog is closing never waits on a thread that has gone
// on to join it.
#pragma once

#include "app/win32/win32_api.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <string>

#include "app/common/update_hold.h"
#include "ui/dialog_window.h"
#include "ui/updater_dlg.h"

namespace orvik::win32 {

// UTF-8 (the core's text) to UTF-16 (the W functions) and back.
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);

class Win32DialogWindow final : public DialogWindow {
 public:
  explicit Win32DialogWindow(HINSTANCE instance);
  Win32DialogWindow(const Win32DialogWindow&) = delete;
  Win32DialogWindow& operator=(const Win32DialogWindow&) = delete;
  ~Win32DialogWindow() override;

  // Creates the dialog from its template and runs it modally over `dialog`
  // until it ends. Returns the dialog's result, or -1 when it could not be
  // created. Call once, on the user-interface thread.
  INT_PTR RunModal(CORVIKUpdaterDlg& dialog);

  // --- DialogWindow: any thread. ----------------------------------------
  std::string GetCaption() override;
  void SetCaption(const std::string& text) override;
  void ShowControl(int id) override;
  int GetCheck(int id) override;
  void SetCheck(int id, bool checked) override;
  void SetItemText(int id, const std::string& text) override;
  void EnableControl(int id, bool enable) override;
  void SetProgressRange(int lower, int upper) override;
  void SetProgressPos(int position) override;
  void StartTimer(int id, unsigned periodMs) override;
  void StopTimer(int id) override;
  int MessageBox(const std::string& text, const std::string& title) override;
  void EndDialog(int result) override;
  // Holds what a running update holds (the power request, and a shutdown
  // block reason so that Windows names the running update when the user
  // logs off or shuts down) from the click until the worker's last step;
  // the window's end lets go of it too.
  void UpdateWorkChanged(bool running) override;

 private:
  // Posted to the dialog when a call from another thread is waiting.
  static constexpr UINT kRunCallsMessage = WM_APP + 1;
  // Posted when the update's work has ended: the hold follows m_workRunning.
  static constexpr UINT kFollowWorkMessage = WM_APP + 2;

  // The position last asked of the progress bar, so that asking the same
  // again skips the round trip to the user-interface thread.
  static constexpr int kNoPosition = std::numeric_limits<int>::min();
  std::atomic<int> m_requestedPosition{kNoPosition};

  // One call waiting for the user-interface thread; lives on the caller's
  // stack until `done`.
  struct PendingCall {
    const std::function<void(HWND)>* body;
    bool done = false;
  };

  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(int id, int code);
  bool PaintIconic(HWND hwnd);

  // Runs `body` with the dialog's window on the user-interface thread and
  // returns when it has run; at once and without running it when there is
  // no window (not yet created, or destroyed).
  void Invoke(const std::function<void(HWND)>& body);
  void RunPendingCalls();
  void Attach(HWND hwnd);
  void Detach();

  HINSTANCE m_instance;
  HICON m_icon;  // shared icon from the executable: never destroyed
  CORVIKUpdaterDlg* m_dialog = nullptr;  // during RunModal only
  app::HoldWhileBusy m_hold;             // user-interface thread only
  std::atomic<bool> m_workRunning{false};  // the latest UpdateWorkChanged

  std::mutex m_mutex;
  std::condition_variable m_callDone;
  HWND m_hwnd = nullptr;              // guarded by m_mutex
  DWORD m_uiThreadId = 0;             // guarded by m_mutex
  std::deque<PendingCall*> m_pending;  // guarded by m_mutex
};

}  // namespace orvik::win32
