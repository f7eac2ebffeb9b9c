// The tests' stand-in for a window toolkit: records every call the dialog
// makes, keeps the controls' state, answers message boxes at once, and lets a
// test fire timer ticks and clicks.
//
// Calls may come from the worker thread; each runs under the window's lock and
// returns at once, as a SendMessage to an idle user-interface thread would.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ui/dialog_window.h"

namespace orvik::test {

class ScriptedWindow final : public DialogWindow {
 public:
  struct Box {
    std::string text;
    std::string title;
    std::size_t logLinesBefore;  // log lines written when the box was shown
    std::optional<bool> busy;    // the dialog's busy state then (with a probe)
  };

  // `logLineCount`, when given, is asked at each message box and at the end of
  // the dialog, so tests can check the order of boxes, log lines and ending.
  explicit ScriptedWindow(std::function<std::size_t()> logLineCount = {});

  // DialogWindow
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
  void UpdateWorkChanged(bool running) override;

  // Runs on every SetProgressPos with the new position, outside the lock: a
  // test can act in the middle of a run (clear a check box, say).
  void OnProgress(std::function<void(int)> hook);
  // Asked at each message box, from the thread that shows it: whether the
  // dialog is busy then. A box must never be shown while it is, or the user
  // could not close the dialog while the box is open.
  void ProbeBusy(std::function<bool()> probe);
  // The user clicks a check box: its state flips.
  void ToggleCheck(int id);

  // Observations (copies, under the lock).
  std::vector<Box> Boxes() const;
  std::vector<std::string> BoxTexts() const;
  std::vector<std::string> Calls() const;  // "SetProgressRange 0 1000", ...
  struct WorkChange {
    bool running;
    std::size_t logLines;  // log lines written by then
    bool operator==(const WorkChange&) const = default;
  };
  std::vector<WorkChange> WorkChanges() const;
  bool Ended() const;
  int EndResult() const;
  std::size_t LogLinesAtEnd() const;
  bool Visible(int id) const;
  bool Enabled(int id) const;
  bool TimerRunning() const;
  int Progress() const;
  std::vector<int> ProgressHistory() const;
  std::string ItemText(int id) const;

 private:
  void Record(std::string call);

  mutable std::mutex m_mutex;
  std::function<std::size_t()> m_logLineCount;
  std::function<void(int)> m_progressHook;
  std::function<bool()> m_busyProbe;
  std::string m_caption;
  std::set<int> m_visible;
  std::set<int> m_disabled;
  std::map<int, int> m_checks;
  std::map<int, std::string> m_texts;
  int m_progress = 0;
  std::vector<int> m_progressHistory;
  bool m_timer = false;
  bool m_ended = false;
  int m_endResult = 0;
  std::size_t m_logLinesAtEnd = 0;
  std::vector<Box> m_boxes;
  std::vector<std::string> m_calls;
  std::vector<WorkChange> m_workChanges;
};

}  // namespace orvik::test
