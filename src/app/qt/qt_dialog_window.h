// The updater dialog as a Qt 6 Widgets QDialog: the controls of the Windows
// dialog template at the same places (in dialog units of the dialog's font),
// and the DialogWindow seam over them.
//
// Threads. Qt widgets may only be touched on the thread that owns them (the
// user-interface thread). A DialogWindow call from the update worker is posted
// to that thread as a queued call and the worker waits for its result, as a
// Win32 SendMessage would. A call made on the user-interface thread runs
// directly. Shutdown() (also run by Run() when the dialog has ended, and by
// the destructor) cancels every pending call: a worker waiting on one returns
// at once, and later calls return at once without effect. This is what lets
// the dialog's destructor join the worker without waiting on a call that the
// user-interface thread will never serve.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/common/update_hold.h"
#include "ui/dialog_window.h"

class QFontMetrics;
class QMessageBox;

namespace orvik {

class CORVIKUpdaterDlg;

namespace qt {

// Pixels per dialog unit, as Windows derives them from a dialog's font: the
// average character width (of the 52 Latin letters, rounded) horizontally per
// 4 units, the character height vertically per 8 units.
struct DialogBaseUnits {
  int x = 0;
  int y = 0;
};
DialogBaseUnits BaseUnitsOf(const QFontMetrics& metrics);
// A rectangle in dialog units converted to pixels (rounded like MulDiv).
QRect DialogUnitsToPixels(const QRect& du, DialogBaseUnits units);

// A control of the dialog template: identifier and place in dialog units.
struct TemplateControl {
  int id;
  QRect du;
};
inline constexpr TemplateControl kTemplateControls[] = {
    {IDC_UPDATE, {7, 24, 50, 14}}, {IDC_PROGRESS, {7, 7, 229, 14}}, {IDC_MCU, {70, 28, 31, 10}},
    {IDC_USB, {114, 28, 29, 10}},  {IDC_ELAPSED, {199, 27, 37, 11}}, {IDC_LOG, {156, 28, 29, 10}},
};

// The dialog's font: Tahoma 10 pt where installed, else the closest sans-serif
// face the font configuration offers at 10 pt.
QFont DialogFont();

// The program's icon (32 x 32).
QIcon ProgramIcon();

class QtDialogWindow final : public QDialog, public DialogWindow {
  Q_OBJECT

 public:
  QtDialogWindow();
  QtDialogWindow(const QtDialogWindow&) = delete;
  QtDialogWindow& operator=(const QtDialogWindow&) = delete;
  ~QtDialogWindow() override;

  // The dialog behaviour the window's events go to. Must be called before
  // Start() or Run(); `dialog` must outlive the window's modal run.
  void Attach(CORVIKUpdaterDlg& dialog);

  // Runs the dialog's start-up (OnInitDialog). Unless it ended the dialog,
  // shows the window and puts the focus on "Update". True when the window is
  // now up; false when start-up ended the dialog (the window never shows).
  bool Start();
  // Start(), then the modal run until the dialog ends; then Shutdown().
  // Returns the dialog's result.
  int Run();
  // Cancels pending and future calls from other threads (see above). Idempotent.
  void Shutdown();

  // A request to close the program from outside the window (SIGTERM,
  // Ctrl+C in the terminal, a closed terminal). While an update runs it
  // waits: the run goes on, and once it has ended the window closes (a
  // message box still open is answered first, its text written to standard
  // error). When idle the window closes at once. User-interface thread.
  void RequestClose();
  bool CloseRequested() const { return m_closeRequested; }
  // How often a waiting request checks whether the run has ended.
  static constexpr int kCloseRequestPollMs = 50;

  // True once EndDialog has been called (also during start-up).
  bool Ended() const { return m_ended; }
  int EndResult() const { return m_endResult; }

  // --- DialogWindow ----------------------------------------------------------
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
  // Holds what a running update holds (requests to end the program
  // deferred, stop signals held, sleep and the lid held off) from the click
  // until the worker's last step; the window's end lets go of it too.
  void UpdateWorkChanged(bool running) override;

  // --- For tests and the benchmark -------------------------------------------
  // The control with identifier `id` (null for an unknown id).
  QWidget* Control(int id);
  QPushButton& UpdateButton() { return m_update; }
  QProgressBar& ProgressBar() { return m_progress; }
  QLabel& ElapsedText() { return m_elapsed; }
  // Called on the user-interface thread with every message box once it is up
  // (inside its modal run); the hook may close it (box.accept()).
  void SetMessageBoxHook(std::function<void(QMessageBox&)> hook);
  // Closes every message box as soon as it is up (texts are still recorded).
  void SetAutoAnswerMessageBoxes(bool on) { m_autoAnswer = on; }
  struct ShownBox {
    std::string text;
    std::string title;
  };
  std::vector<ShownBox> ShownBoxes() const;
  // Calls from other threads posted and not yet answered or cancelled.
  std::size_t PendingCalls() const;

 protected:
  // Escape, the close box and the window manager's Close come here.
  void reject() override;
  void accept() override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // Runs `call` on the user-interface thread and returns its result; the
  // caller waits. After Shutdown() returns `R{}` without running it.
  template <typename R, typename F>
  R Send(F call);

  // Runs the calls queued by other threads, in order (user-interface thread).
  Q_INVOKABLE void RunQueuedCalls();

  // What waiting workers and the user-interface thread share; a worker keeps
  // it alive while it waits, so it may outlive the window. The calls travel in
  // `queue`, under `mutex`; the event posted to the window only says "look".
  struct CallGate {
    std::mutex mutex;
    std::condition_variable answered;
    std::deque<std::function<void()>> queue;
    bool cancelled = false;
    std::size_t pending = 0;
  };

  QCheckBox* CheckBox(int id);
  void LayOut();
  // One step of a pending RequestClose; see there.
  void ServeCloseRequest();

  CORVIKUpdaterDlg* m_dialog = nullptr;  // not owned
  std::shared_ptr<CallGate> m_gate = std::make_shared<CallGate>();

  QProgressBar m_progress;
  // The position last asked for by SetProgressPos (any thread).
  static constexpr int kNoPosition = std::numeric_limits<int>::min();
  std::atomic<int> m_requestedPosition{kNoPosition};
  QPushButton m_update;
  QCheckBox m_mcu;
  QCheckBox m_usb;
  QCheckBox m_log;
  QLabel m_elapsed;
  std::map<int, std::unique_ptr<QTimer>> m_timers;

  bool m_closeRequested = false;
  QTimer m_closeRequestPoll;

  app::HoldWhileBusy m_hold;  // user-interface thread only
  std::atomic<bool> m_workRunning{false};  // the latest UpdateWorkChanged

  bool m_running = false;  // inside exec()
  bool m_ended = false;
  int m_endResult = 0;

  std::function<void(QMessageBox&)> m_boxHook;
  bool m_autoAnswer = false;
  mutable std::mutex m_boxesMutex;
  std::vector<ShownBox> m_boxes;
};

}  // namespace qt
}  // namespace orvik
