// The updater dialog's behaviour, written once for every window toolkit: its
// start-up checks, its busy state and timer, and the update worker.
//
// The host (Win32, Qt, terminal, or the tests' scripted window) owns the
// window, implements DialogWindow over it, and calls the handlers below on
// its user-interface thread. The dialog never touches a toolkit itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hid/hid_device.h"
#include "image/image.h"
#include "image/resources.h"
#include "ui/dialog_window.h"
#include "update/protocol.h"

class CLog;

namespace orvik {

// The caption of the dialog template; the version text is appended to it.
inline constexpr char kDialogCaption[] = "Firmware for Solvane ver";
// The dialog's size in dialog units.
inline constexpr int kDialogWidthDu = 243;
inline constexpr int kDialogHeightDu = 45;
// Timer 0 of the dialog ticks every 100 ms while an update runs.
inline constexpr int kUpdateTimerId = 0;
inline constexpr unsigned kUpdateTimerPeriodMs = 100;
inline constexpr int kProgressMax = 1000;

// Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount.
using TickSource = std::function<std::uint32_t()>;
std::uint32_t SystemTickCount();

// "%02d:%02d.%03d" of the time from startTick to nowTick (unsigned 32-bit
// difference, so a wrap of the counter in between is harmless). Minutes are
// not limited to two digits.
std::string FormatElapsed(std::uint32_t startTick, std::uint32_t nowTick);

// The message box that follows "Can't find device" when the device is present
// but could not be opened: the reason, then the remedy on a line of its own.
std::string RefusalMessage(const OpenRefusal& refusal);

// True when any argument after the program's path is exactly "-AdvMode".
bool HasAdvModeSwitch(const std::vector<std::string>& arguments);

class CORVIKUpdaterDlg {
 public:
  // `arguments` is the command line split into arguments, the program's path
  // first (empty when the command line could not be split).
  CORVIKUpdaterDlg(DialogWindow& window, HidDevice& device, const Resources& resources,
                   std::vector<std::string> arguments, TickSource tickCount = SystemTickCount);
  CORVIKUpdaterDlg(const CORVIKUpdaterDlg&) = delete;
  CORVIKUpdaterDlg& operator=(const CORVIKUpdaterDlg&) = delete;
  // Waits for the last worker thread, if any, to end.
  ~CORVIKUpdaterDlg();

  // --- Handlers: the host calls these on the user-interface thread. ---------
  // Start-up: caption, -AdvMode, image, device. A failure shows its message,
  // logs, and ends the dialog through DialogWindow::EndDialog. Always true.
  bool OnInitDialog();
  // Disables "Update", marks the dialog busy and starts the worker.
  void OnClickedUpdate();
  // Follows the "Log" check box.
  void OnClickedLog();
  // Every tick of timer 0: the elapsed time while busy; otherwise re-enables
  // "Update" and stops the timer.
  void OnTimer(int timerId);
  // Requests to close (Enter, Escape, close box): ignored while busy.
  void OnOK();
  void OnCancel();

  // A modal message box with the dialog's caption as its title. Any thread.
  int ShowMessage(const std::string& text);

  bool IsBusy() const { return m_busy.load(); }
  bool IsVerboseLog() const { return m_verboseLog.load(); }
  bool AdvancedMode() const { return m_advancedMode; }
  const ImageInfo& Image() const { return m_info; }

  // Result of the last finished run: kNoRun before any has finished, 0 after a
  // completed one, otherwise the failure's number (440, 460, ...).
  static constexpr int kNoRun = -1;
  int LastRunResult() const { return m_lastRunResult.load(); }

  // Waits for the current worker thread to end. For hosts without a message
  // loop (the terminal) and for tests; the host must keep serving the
  // window's calls while it waits, or call it only once IsBusy() is false
  // and no window call can be pending.
  void WaitForWorker();

  // The worker's body; public so that tests can run a whole update on their
  // own thread.
  std::uint32_t RunUpdate();

  // Runs an update on the calling thread, as a click would on a worker of
  // its own: for a host whose thread is already the unit's (a station). The
  // dialog is busy meanwhile, and the host hears UpdateWorkChanged around it.
  // Returns LastRunResult(); kNoRun when a worker of the dialog still runs.
  int RunHere();

  // Hears every command the run is about to exchange, on the run's thread,
  // before it is sent: where the run is, from the run itself. Set before a
  // run starts.
  void SetRunObserver(std::function<void(UpdateCommand)> observer) { m_runObserver = std::move(observer); }

 private:
  void AppendVersionToTitle();
  bool LoadAndVerifyImage();
  void EndDialog();
  friend class UpdateRun;  // the body of RunUpdate (run_update.cpp)

  DialogWindow& m_window;
  HidDevice& m_device;
  const Resources& m_resources;
  std::vector<std::string> m_arguments;
  TickSource m_tickCount;
  // The log of the thread that made the dialog (ThreadLog()); its worker
  // writes there too.
  CLog* m_log;

  std::unique_ptr<FirmwareImage> m_image;
  ImageInfo m_info;
  bool m_advancedMode = false;

  std::atomic<bool> m_busy{false};
  std::atomic<bool> m_verboseLog{false};
  std::atomic<std::uint32_t> m_startTick{0};
  std::atomic<int> m_lastRunResult{kNoRun};
  // Set by a worker as its very last step; a click that lands before it is
  // set is ignored, so at most one worker exists and join() never waits on a
  // worker that still needs the user-interface thread.
  std::atomic<bool> m_workerFinished{true};
  std::thread m_worker;
  std::function<void(UpdateCommand)> m_runObserver;
};

// The worker thread's entry: runs the dialog's update; a null dialog returns
// 0 at once.
std::uint32_t UpdateThreadProc(void* dialog);

}  // namespace orvik
