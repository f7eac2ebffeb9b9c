// The updater dialog on a terminal: a DialogWindow that draws the progress
// bar and the elapsed time as one status line and turns message boxes into
// lines on standard error.
//
//   [##########################--------------]  652/1000  00:03.412
//
// On a terminal the status line is redrawn in place ("\r"); into a pipe or a
// file it is written as plain lines, one each time the bar passes another
// tenth of its range, so logs of scripted runs stay short and readable.
//
// With an EventStream (--json) nothing of this is drawn: each change of the
// progress position, each tick's elapsed time and each message box becomes
// an event line instead; message boxes still go to standard error.
//
// Every call runs directly on the calling thread under the window's lock, so
// the update worker never waits for the main thread, and a message box waits
// for no key: its text is written and it counts as closed with OK. What the
// window writes goes through its OutputWriter: while the update runs
// (RunDialog starts the writer's thread) the worker never waits for the
// terminal or a pipe either, and the progress line and the progress and
// elapsed-time events are states that a stalled output holds only the
// latest of.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <functional>
#include <ostream>
#include <set>
#include <string>

#include "app/cli/output_writer.h"
#include "ui/dialog_window.h"

namespace orvik::cli {

class EventStream;

// Characters of the bar between the brackets.
inline constexpr int kBarWidth = 40;
// Plain output writes a line each time the position passes this many parts
// of the range.
inline constexpr int kPlainLineSteps = 10;

// The fewest bar cells worth drawing; a narrower terminal gets no bar.
inline constexpr int kMinBarWidth = 5;

// "[####----]  652/1000  00:03.412": the bar for `position` within
// [lower, upper] (clamped to it), the position out of `upper`, and `elapsed`.
// With `columns` (the terminal's width; 0: unknown) the line stays shorter
// than the terminal, so that it never wraps: the bar loses cells down to
// kMinBarWidth, below that the bar goes, and a line that still does not fit
// is cut.
std::string StatusLine(int position, int lower, int upper, const std::string& elapsed, unsigned columns = 0);

class TerminalWindow final : public DialogWindow {
 public:
  using Clock = std::chrono::steady_clock;

  // `interactive`: `out` is a terminal, and the status line is redrawn in
  // place. The streams must outlive the window.
  TerminalWindow(std::ostream& out, std::ostream& err, bool interactive, EventStream* events = nullptr);
  TerminalWindow(const TerminalWindow&) = delete;
  TerminalWindow& operator=(const TerminalWindow&) = delete;

  // Where an interactive status line learns the terminal's width, asked at
  // each redraw (a window may be resized meanwhile); 0: unknown. Without a
  // source the line has its full width.
  void SetColumnsSource(std::function<unsigned()> columns);

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

  // Writes `text` as a line of its own on standard output (not with
  // events: they carry it in their own fields).
  void WriteLine(const std::string& text);
  // Writes `text` as a line of its own on standard error, after what
  // standard output holds so far (a status line being redrawn is ended).
  void WriteError(const std::string& text);

  // The text of the last message box; empty before the first.
  std::string LastMessage() const;

  // Where the window's text goes.
  OutputWriter& Output() { return m_output; }

  // --- For the host's timer loop ---------------------------------------------
  // When timer 0 was last started, or nothing while it is stopped.
  std::optional<Clock::time_point> TimerStartedAt() const;
  unsigned TimerPeriodMs() const;
  // Waits at most `timeout` for the timer to be started; true when it runs.
  bool WaitForTimerStart(std::chrono::milliseconds timeout);

  bool Ended() const;
  int EndResult() const;
  bool Enabled(int id) const;

 private:
  // Under the lock.
  void DrawStatus();
  void EndStatusLine();

  OutputWriter m_output;
  const bool m_interactive;
  EventStream* const m_events;
  std::function<unsigned()> m_columns;  // under the lock

  mutable std::mutex m_mutex;
  std::condition_variable m_timerChanged;
  std::string m_caption;
  std::map<int, int> m_checks;
  std::set<int> m_disabled;
  int m_lower = 0;
  int m_upper = 100;  // a progress bar's range until it is set
  int m_position = 0;
  std::string m_elapsed = "00:00.000";
  std::string m_lastMessage;
  std::optional<Clock::time_point> m_timerStart;
  unsigned m_timerPeriodMs = 0;
  bool m_ended = false;
  int m_endResult = 0;

  // The status line is drawn from the first start of the timer on.
  bool m_statusShown = false;
  // Interactive: the status line is on screen with no newline after it yet,
  // what it shows, and the widest it has been drawn (a shorter redraw blanks
  // the rest: the widest, as a redraw that a later one replaced while the
  // output stalled may never have been shown).
  bool m_lineOpen = false;
  std::string m_drawnLine;
  std::size_t m_drawnWidth = 0;
  // Plain: the last line written, and the step of the range it was for.
  std::string m_lastPlainLine;
  int m_lastPlainStep = -1;
};

}  // namespace orvik::cli
