// Pieces of the update benchmark: a device and a window that pass every call
// through and add up the time spent inside, and the hosts that run one whole
// update through the dialog.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>

#include "hid/hid_device.h"
#include "image/resources.h"
#include "ui/dialog_window.h"

namespace orvik::bench {

using Clock = std::chrono::steady_clock;

// Passes every call to `inner` and adds up the time spent inside the transfer
// calls. The counters are written by the thread doing the transfers and read
// once it has been joined.
class TimingDevice final : public HidDevice {
 public:
  explicit TimingDevice(HidDevice& inner) : m_inner(inner) {}

  bool OpenDevice(std::uint32_t vendorId, std::uint32_t productId) override;
  void WriteReport(std::span<const std::uint8_t> report) override;
  bool WaitWriteDone() override;
  void ReadReport(std::span<std::uint8_t> buffer) override;
  bool WaitReadDone() override;
  void DiscardQueuedInput() override;

  void Reset();
  Clock::duration Spent() const { return m_spent; }
  std::size_t Writes() const { return m_writes; }

 private:
  HidDevice& m_inner;
  Clock::duration m_spent{};
  std::size_t m_writes = 0;
};

// Passes every call to `inner`. Calls from threads other than the
// user-interface thread (the worker's) are timed. The worker's last call of a
// good run, re-enabling "Update", marks the end of the run: the dialog's
// timer re-enables the button too, but only ever on the user-interface thread.
class ObservedWindow final : public DialogWindow {
 public:
  ObservedWindow(DialogWindow& inner, std::thread::id uiThread) : m_inner(inner), m_uiThread(uiThread) {}

  // Runs on the worker thread right after the end of a run is recorded.
  void OnRunEnd(std::function<void()> hook) { m_onRunEnd = std::move(hook); }
  void Reset();
  bool Ended() const { return m_ended.load(); }
  Clock::time_point EndTime() const { return m_end; }
  Clock::duration Spent() const { return m_spent; }

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

 private:
  template <typename F>
  auto Timed(F call);

  DialogWindow& m_inner;
  const std::thread::id m_uiThread;
  std::function<void()> m_onRunEnd;
  Clock::duration m_spent{};
  Clock::time_point m_end{};
  std::atomic<bool> m_ended{false};
};

// One finished update.
struct RunSample {
  Clock::duration total{};   // from the click to the worker's last window call
  Clock::duration device{};  // inside the device's transfer calls
  Clock::duration window{};  // inside the window's calls from the worker
  std::size_t exchanges = 0;
  int result = 0;  // the dialog's LastRunResult: 0 for a good run
  bool ended = false;
};

// A window toolkit with a dialog on it, ready to run updates.
class UpdateHost {
 public:
  virtual ~UpdateHost() = default;
  virtual const char* Name() const = 0;
  // Sets "Log" (as a click on it would), clicks "Update" and returns when the
  // worker has ended.
  virtual RunSample Run(bool verboseLog) = 0;
};

// The tests' scripted window: answers every call at once under a lock.
std::unique_ptr<UpdateHost> MakeScriptedHost(TimingDevice& device, const Resources& resources);

// The Qt dialog, offscreen unless QT_QPA_PLATFORM says otherwise. Null, with
// the reason in `whyNot`, when the Qt front end is not part of this build.
std::unique_ptr<UpdateHost> MakeQtHost(TimingDevice& device, const Resources& resources, std::string& whyNot);

// The Win32 dialog, run modally on a user-interface thread of its own: the
// worker's calls cross threads as in orvik-updater.exe. Null, with the reason
// in `whyNot`, outside Windows builds or when no window can be shown.
std::unique_ptr<UpdateHost> MakeWin32Host(TimingDevice& device, const Resources& resources, std::string& whyNot);

}  // namespace orvik::bench
