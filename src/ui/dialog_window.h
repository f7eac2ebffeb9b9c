// What the updater dialog needs of a window toolkit, and no more. Hosts: the
// Win32 dialog (app/win32), the Qt 6 dialog (app/qt), the terminal (app/cli),
// and the tests' scripted window.
//
// Every call may come from the update worker thread. It must behave like a
// Win32 SendMessage: run on the user-interface thread while the caller waits,
// and return once the effect has happened. A call made after the window has
// gone away returns at once without effect (MessageBox then returns 0).
#pragma once

#include <string>

namespace orvik {

enum ControlId : int {
  IDC_UPDATE = 1000,    // push button "Update"
  IDC_PROGRESS = 1001,  // progress bar, range 0..1000
  IDC_MCU = 1002,       // check box "MCU", hidden unless -AdvMode
  IDC_USB = 1003,       // check box "USB", hidden unless -AdvMode
  IDC_ELAPSED = 1004,   // static text "00:00.000"
  IDC_LOG = 1005,       // check box "Log", hidden unless -AdvMode
};

inline constexpr int IDD_UPDATER = 102;
inline constexpr int IDI_UPDATER = 128;
inline constexpr int kDialogResultOk = 1;      // IDOK
inline constexpr int kDialogResultCancel = 2;  // IDCANCEL
inline constexpr int kMessageBoxOk = 1;        // IDOK

class DialogWindow {
 public:
  virtual ~DialogWindow() = default;

  virtual std::string GetCaption() = 0;
  virtual void SetCaption(const std::string& text) = 0;
  virtual void ShowControl(int id) = 0;
  // 1 when checked, 0 when not.
  virtual int GetCheck(int id) = 0;
  virtual void SetCheck(int id, bool checked) = 0;
  virtual void SetItemText(int id, const std::string& text) = 0;
  virtual void EnableControl(int id, bool enable) = 0;
  virtual void SetProgressRange(int lower, int upper) = 0;
  virtual void SetProgressPos(int position) = 0;
  // Timer `id` of the dialog; its ticks call CORVIKUpdaterDlg::OnTimer on the
  // user-interface thread every `periodMs` until stopped.
  virtual void StartTimer(int id, unsigned periodMs) = 0;
  virtual void StopTimer(int id) = 0;
  // A modal message box owned by the dialog: the text, `title` as its title,
  // one OK button, no icon. Returns when it is closed.
  virtual int MessageBox(const std::string& text, const std::string& title) = 0;
  // Ends the dialog's modal run with `result` once the current handler returns.
  virtual void EndDialog(int result) = 0;
  // An update's work begins (true: on the click, before its worker sends
  // anything) or ends (false: the worker's last step, after its last log
  // line). A windowed host holds what an update needs in between: requests
  // to end the program deferred, sleep and shutdown held off. Unlike the
  // other calls, the end need not wait for the user-interface thread: a
  // host that has stopped serving calls (one joining the worker) must not
  // hold the worker's last step up, so it may act on it a moment later.
  virtual void UpdateWorkChanged(bool running) { (void)running; }
};

}  // namespace orvik
