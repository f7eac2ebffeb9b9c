#include "support/scripted_window.h"

#include "ui/updater_dlg.h"

namespace orvik::test {

ScriptedWindow::ScriptedWindow(std::function<std::size_t()> logLineCount)
    : m_logLineCount(std::move(logLineCount)), m_caption(kDialogCaption) {
  // As in the dialog template: the check boxes start hidden; the rest shows.
  for (int id : {IDC_UPDATE, IDC_PROGRESS, IDC_ELAPSED}) m_visible.insert(id);
  m_texts[IDC_ELAPSED] = "00:00.000";
}

void ScriptedWindow::Record(std::string call) { m_calls.push_back(std::move(call)); }

std::string ScriptedWindow::GetCaption() {
  std::lock_guard lock(m_mutex);
  return m_caption;
}
void ScriptedWindow::SetCaption(const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_caption = text;
  Record("SetCaption " + text);
}
void ScriptedWindow::ShowControl(int id) {
  std::lock_guard lock(m_mutex);
  m_visible.insert(id);
  Record("ShowControl " + std::to_string(id));
}
int ScriptedWindow::GetCheck(int id) {
  std::lock_guard lock(m_mutex);
  const auto it = m_checks.find(id);
  return it == m_checks.end() ? 0 : it->second;
}
void ScriptedWindow::SetCheck(int id, bool checked) {
  std::lock_guard lock(m_mutex);
  m_checks[id] = checked ? 1 : 0;
  Record("SetCheck " + std::to_string(id) + " " + std::to_string(checked ? 1 : 0));
}
void ScriptedWindow::SetItemText(int id, const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_texts[id] = text;
}
void ScriptedWindow::EnableControl(int id, bool enable) {
  std::lock_guard lock(m_mutex);
  if (enable) {
    m_disabled.erase(id);
  } else {
    m_disabled.insert(id);
  }
  Record("EnableControl " + std::to_string(id) + " " + std::to_string(enable ? 1 : 0));
}
void ScriptedWindow::UpdateWorkChanged(bool running) {
  const std::size_t lines = m_logLineCount ? m_logLineCount() : 0;
  std::lock_guard lock(m_mutex);
  m_workChanges.push_back({running, lines});
  Record("UpdateWorkChanged " + std::to_string(running ? 1 : 0));
}
std::vector<ScriptedWindow::WorkChange> ScriptedWindow::WorkChanges() const {
  std::lock_guard lock(m_mutex);
  return m_workChanges;
}
void ScriptedWindow::SetProgressRange(int lower, int upper) {
  std::lock_guard lock(m_mutex);
  Record("SetProgressRange " + std::to_string(lower) + " " + std::to_string(upper));
}
void ScriptedWindow::SetProgressPos(int position) {
  std::function<void(int)> hook;
  {
    std::lock_guard lock(m_mutex);
    m_progress = position;
    m_progressHistory.push_back(position);
    hook = m_progressHook;
  }
  if (hook) hook(position);
}
void ScriptedWindow::StartTimer(int id, unsigned periodMs) {
  std::lock_guard lock(m_mutex);
  m_timer = true;
  Record("StartTimer " + std::to_string(id) + " " + std::to_string(periodMs));
}
void ScriptedWindow::StopTimer(int id) {
  std::lock_guard lock(m_mutex);
  m_timer = false;
  Record("StopTimer " + std::to_string(id));
}
int ScriptedWindow::MessageBox(const std::string& text, const std::string& title) {
  const std::size_t lines = m_logLineCount ? m_logLineCount() : 0;
  std::function<bool()> probe;
  {
    std::lock_guard lock(m_mutex);
    probe = m_busyProbe;
  }
  // Outside the lock: the probe reads the dialog, which may call the window.
  const std::optional<bool> busy = probe ? std::optional<bool>(probe()) : std::nullopt;
  std::lock_guard lock(m_mutex);
  m_boxes.push_back({text, title, lines, busy});
  Record("MessageBox " + text);
  return kMessageBoxOk;
}
void ScriptedWindow::EndDialog(int result) {
  const std::size_t lines = m_logLineCount ? m_logLineCount() : 0;
  std::lock_guard lock(m_mutex);
  m_ended = true;
  m_endResult = result;
  m_logLinesAtEnd = lines;
  Record("EndDialog " + std::to_string(result));
}

void ScriptedWindow::OnProgress(std::function<void(int)> hook) {
  std::lock_guard lock(m_mutex);
  m_progressHook = std::move(hook);
}
void ScriptedWindow::ProbeBusy(std::function<bool()> probe) {
  std::lock_guard lock(m_mutex);
  m_busyProbe = std::move(probe);
}
void ScriptedWindow::ToggleCheck(int id) {
  std::lock_guard lock(m_mutex);
  m_checks[id] = m_checks[id] == 1 ? 0 : 1;
}

std::vector<ScriptedWindow::Box> ScriptedWindow::Boxes() const {
  std::lock_guard lock(m_mutex);
  return m_boxes;
}
std::vector<std::string> ScriptedWindow::BoxTexts() const {
  std::lock_guard lock(m_mutex);
  std::vector<std::string> texts;
  for (const Box& box : m_boxes) texts.push_back(box.text);
  return texts;
}
std::vector<std::string> ScriptedWindow::Calls() const {
  std::lock_guard lock(m_mutex);
  return m_calls;
}
bool ScriptedWindow::Ended() const {
  std::lock_guard lock(m_mutex);
  return m_ended;
}
int ScriptedWindow::EndResult() const {
  std::lock_guard lock(m_mutex);
  return m_endResult;
}
std::size_t ScriptedWindow::LogLinesAtEnd() const {
  std::lock_guard lock(m_mutex);
  return m_logLinesAtEnd;
}
bool ScriptedWindow::Visible(int id) const {
  std::lock_guard lock(m_mutex);
  return m_visible.count(id) != 0;
}
bool ScriptedWindow::Enabled(int id) const {
  std::lock_guard lock(m_mutex);
  return m_disabled.count(id) == 0;
}
bool ScriptedWindow::TimerRunning() const {
  std::lock_guard lock(m_mutex);
  return m_timer;
}
int ScriptedWindow::Progress() const {
  std::lock_guard lock(m_mutex);
  return m_progress;
}
std::vector<int> ScriptedWindow::ProgressHistory() const {
  std::lock_guard lock(m_mutex);
  return m_progressHistory;
}
std::string ScriptedWindow::ItemText(int id) const {
  std::lock_guard lock(m_mutex);
  const auto it = m_texts.find(id);
  return it == m_texts.end() ? std::string() : it->second;
}

}  // namespace orvik::test
