#include "app/cli/terminal_window.h"

#include <algorithm>
#include <cstdio>

#include "app/cli/json_events.h"
#include "ui/updater_dlg.h"

namespace orvik::cli {
namespace {

// How many of `parts` equal parts of [lower, upper] `position` has passed,
// 0 to `parts`. In 64 bits: the products need not fit an int.
long long PartsDone(int position, int lower, int upper, int parts) {
  const long long low = lower;
  const long long high = std::max<long long>(upper, low);
  const long long span = std::max<long long>(high - low, 1);
  const long long done = std::clamp<long long>(position, low, high) - low;
  return done * parts / span;
}

}  // namespace

std::string StatusLine(int position, int lower, int upper, const std::string& elapsed, unsigned columns) {
  char numbers[48];
  std::snprintf(numbers, sizeof numbers, " %4d/%d  ", position, upper);
  const std::string tail = numbers + elapsed;

  std::size_t cells = kBarWidth;
  // The last column stays free: a character there makes some terminals wrap.
  const std::size_t room = columns == 0 ? std::string::npos : columns - 1;
  if (columns != 0) {
    const std::size_t frame = tail.size() + 2;  // the brackets
    cells = room >= frame ? std::min<std::size_t>(cells, room - frame) : 0;
    if (cells < static_cast<std::size_t>(kMinBarWidth)) {
      std::string line = tail.substr(1);
      if (line.size() > room) line.resize(room);
      return line;
    }
  }
  const auto filled = static_cast<std::size_t>(PartsDone(position, lower, upper, static_cast<int>(cells)));
  std::string line = "[";
  line.append(filled, '#');
  line.append(cells - filled, '-');
  line += ']';
  line += tail;
  return line;
}

TerminalWindow::TerminalWindow(std::ostream& out, std::ostream& err, bool interactive, EventStream* events)
    : m_output(out, err), m_interactive(interactive), m_events(events), m_caption(kDialogCaption) {}

void TerminalWindow::SetColumnsSource(std::function<unsigned()> columns) {
  std::lock_guard lock(m_mutex);
  m_columns = std::move(columns);
}

std::string TerminalWindow::GetCaption() {
  std::lock_guard lock(m_mutex);
  return m_caption;
}

void TerminalWindow::SetCaption(const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_caption = text;
}

// The check boxes have no picture here; options set their state instead.
void TerminalWindow::ShowControl(int /*id*/) {}

int TerminalWindow::GetCheck(int id) {
  std::lock_guard lock(m_mutex);
  const auto it = m_checks.find(id);
  return it == m_checks.end() ? 0 : it->second;
}

void TerminalWindow::SetCheck(int id, bool checked) {
  std::lock_guard lock(m_mutex);
  m_checks[id] = checked ? 1 : 0;
}

void TerminalWindow::SetItemText(int id, const std::string& text) {
  std::lock_guard lock(m_mutex);
  if (id != IDC_ELAPSED) return;
  m_elapsed = text;
  if (m_events != nullptr) {
    m_output.Update(OutputStream::Out, OutputSlot::Elapsed, EventStream::Line("elapsed", {{"elapsed", text}}) + '\n');
    return;
  }
  DrawStatus();
}

void TerminalWindow::EnableControl(int id, bool enable) {
  std::lock_guard lock(m_mutex);
  if (enable) {
    m_disabled.erase(id);
  } else {
    m_disabled.insert(id);
  }
}

void TerminalWindow::SetProgressRange(int lower, int upper) {
  std::lock_guard lock(m_mutex);
  m_lower = lower;
  m_upper = upper;
}

void TerminalWindow::SetProgressPos(int position) {
  std::lock_guard lock(m_mutex);
  if (m_events != nullptr) {
    if (position != m_position) {
      m_output.Update(OutputStream::Out, OutputSlot::Progress,
                      EventStream::Line("progress", {{"position", position}, {"upper", m_upper}}) + '\n');
    }
    m_position = position;
    return;
  }
  m_position = position;
  DrawStatus();
}

void TerminalWindow::StartTimer(int /*id*/, unsigned periodMs) {
  {
    std::lock_guard lock(m_mutex);
    m_timerStart = Clock::now();
    m_timerPeriodMs = periodMs;
    // The update has begun: from now on the status line is shown.
    m_statusShown = true;
    DrawStatus();
  }
  m_timerChanged.notify_all();
}

void TerminalWindow::StopTimer(int /*id*/) {
  {
    std::lock_guard lock(m_mutex);
    m_timerStart.reset();
    EndStatusLine();
  }
  m_timerChanged.notify_all();
}

int TerminalWindow::MessageBox(const std::string& text, const std::string& /*title*/) {
  std::lock_guard lock(m_mutex);
  m_lastMessage = text;
  if (m_events != nullptr) {
    m_output.Write(OutputStream::Out, EventStream::Line("message", {{"text", text}}) + '\n');
    m_output.Write(OutputStream::Err, text + '\n');
    return kMessageBoxOk;
  }
  // The state the bar stood at when the message came, then the message on a
  // line of its own.
  if (!m_interactive && m_statusShown) {
    const std::string line = StatusLine(m_position, m_lower, m_upper, m_elapsed);
    if (line != m_lastPlainLine) {
      m_output.Write(OutputStream::Out, line + '\n');
      m_lastPlainLine = line;
    }
  }
  EndStatusLine();
  m_output.Write(OutputStream::Err, text + '\n');
  return kMessageBoxOk;
}

void TerminalWindow::EndDialog(int result) {
  std::lock_guard lock(m_mutex);
  m_ended = true;
  m_endResult = result;
}

void TerminalWindow::WriteLine(const std::string& text) {
  std::lock_guard lock(m_mutex);
  if (m_events != nullptr) return;
  EndStatusLine();
  m_output.Write(OutputStream::Out, text + '\n');
}

std::string TerminalWindow::LastMessage() const {
  std::lock_guard lock(m_mutex);
  return m_lastMessage;
}

void TerminalWindow::WriteError(const std::string& text) {
  std::lock_guard lock(m_mutex);
  EndStatusLine();
  m_output.Write(OutputStream::Err, text + '\n');
}

void TerminalWindow::DrawStatus() {
  if (!m_statusShown || m_events != nullptr) return;
  if (m_interactive) {
    const unsigned columns = m_columns ? m_columns() : 0;
    const std::string line = StatusLine(m_position, m_lower, m_upper, m_elapsed, columns);
    // Most progress steps move the bar by less than one position: nothing
    // to redraw.
    if (m_lineOpen && line == m_drawnLine) return;
    std::string redraw = '\r' + line;
    // Blanks over the rest of a wider line drawn before, but never into the
    // last column of a terminal that has narrowed since.
    std::size_t blank = m_lineOpen && m_drawnWidth > line.size() ? m_drawnWidth - line.size() : 0;
    if (columns != 0) {
      const std::size_t room = columns - 1 - std::min<std::size_t>(line.size(), columns - 1);
      blank = std::min(blank, room);
    }
    redraw.append(blank, ' ');
    m_output.Update(OutputStream::Out, OutputSlot::StatusLine, std::move(redraw));
    m_drawnWidth = m_lineOpen ? std::max(m_drawnWidth, line.size()) : line.size();
    m_lineOpen = true;
    m_drawnLine = line;
    return;
  }
  const std::string line = StatusLine(m_position, m_lower, m_upper, m_elapsed);
  const auto step = static_cast<int>(PartsDone(m_position, m_lower, m_upper, kPlainLineSteps));
  if (step == m_lastPlainStep) return;
  m_lastPlainStep = step;
  m_lastPlainLine = line;
  m_output.Update(OutputStream::Out, OutputSlot::StatusLine, line + '\n');
}

void TerminalWindow::EndStatusLine() {
  if (!m_lineOpen) return;
  m_output.Write(OutputStream::Out, "\n");
  m_lineOpen = false;
  m_drawnLine.clear();
  m_drawnWidth = 0;
}

std::optional<TerminalWindow::Clock::time_point> TerminalWindow::TimerStartedAt() const {
  std::lock_guard lock(m_mutex);
  return m_timerStart;
}

unsigned TerminalWindow::TimerPeriodMs() const {
  std::lock_guard lock(m_mutex);
  return m_timerPeriodMs;
}

bool TerminalWindow::WaitForTimerStart(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  return m_timerChanged.wait_for(lock, timeout, [this] { return m_timerStart.has_value(); });
}

bool TerminalWindow::Ended() const {
  std::lock_guard lock(m_mutex);
  return m_ended;
}

int TerminalWindow::EndResult() const {
  std::lock_guard lock(m_mutex);
  return m_endResult;
}

bool TerminalWindow::Enabled(int id) const {
  std::lock_guard lock(m_mutex);
  return m_disabled.count(id) == 0;
}

}  // namespace orvik::cli
