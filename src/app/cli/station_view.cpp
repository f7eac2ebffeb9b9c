#include "app/cli/station_view.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "app/cli/cli.h"
#include "app/cli/device_text.h"
#include "log/log.h"
#include "log/log_file.h"
#include "ui/updater_dlg.h"

namespace orvik::cli {
namespace {

using Clock = std::chrono::steady_clock;

// Erases from the cursor to the end of the screen. The table is drawn with
// the cursor left at its first line, so whatever is written next (a result
// line, the next table) starts there and clears the rest of the old table:
// each piece of output stands on its own, and a table that a stalled output
// dropped leaves nothing behind.
// "\r" first: a "^C" the terminal echoed at the cursor is overwritten too.
constexpr char kClearBelow[] = "\r\x1b[J";

// `text` cut or padded to `width` characters (code points: the escaped
// serial and the paths are printable).
std::string Fit(const std::string& text, std::size_t width) {
  std::string fitted;
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = 1;
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead >= 0xF0) {
      length = 4;
    } else if (lead >= 0xE0) {
      length = 3;
    } else if (lead >= 0xC0) {
      length = 2;
    }
    if (count == width) break;
    fitted.append(text, i, length);
    i += length;
    ++count;
  }
  fitted.append(width - count, ' ');
  return fitted;
}

const char* PhaseText(station::Phase phase) {
  switch (phase) {
    case station::Phase::Mcu:
      return "MCU";
    case station::Phase::Usb:
      return "USB";
    case station::Phase::Ending:
      return "end";
    case station::Phase::Starting:
      break;
  }
  return "...";
}

// Who a unit is, for the events: its path, serial, port, and its slot when
// the station has a slot map.
Json Who(const station::Unit& unit) {
  Json who = {{"path", unit.path}, {"serial", JsonText(unit.serial)}, {"port", JsonText(unit.port)}};
  if (!unit.slot.empty()) who["slot"] = unit.slot;
  return who;
}

// "slot A1  " before a unit's path on a line, when it has a slot.
std::string SlotPrefix(const station::Unit& unit) { return unit.slot.empty() ? std::string() : "slot " + unit.slot + "  "; }

// "2026-12-08 09:41:05": a result line's time, in the local time zone.
std::string LocalTimeText() {
  std::tm local{};
  if (!BreakDownTime(std::time(nullptr), true, local)) return "0000-00-00 00:00:00";
  char text[32] = "";
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace

std::string StationTableRow(const std::string& path, const std::string& serial, station::Phase phase, int position,
                            int upper, const std::string& elapsed) {
  const long long span = std::max(upper, 1);
  const long long done = std::clamp<long long>(position, 0, span);
  const auto filled = static_cast<std::size_t>(done * kTableBarWidth / span);
  std::string bar(filled, '#');
  bar.append(static_cast<std::size_t>(kTableBarWidth) - filled, '-');
  char share[16];
  std::snprintf(share, sizeof share, "%5.1f%%", static_cast<double>(done) * 100.0 / static_cast<double>(span));
  return Fit(TerminalText(path), 18) + "  " + Fit(SerialText(serial), 20) + "  " + PhaseText(phase) + "  [" + bar +
         "]  " + share + "  " + elapsed;
}

StationView::StationView(OutputWriter& output, StationOutput mode, bool interactive, std::optional<unsigned> count)
    : m_output(output), m_mode(mode), m_interactive(interactive), m_count(count) {}

StationView::~StationView() = default;

void StationView::Line(OutputStream stream, const std::string& text) {
  if (m_mode == StationOutput::Table) {
    if (m_tableShown) m_output.Append(OutputStream::Out, kClearBelow);
    m_tableShown = false;
  }
  m_output.Append(stream, text + '\n');
  if (m_mode == StationOutput::Table) DrawTable(true);
}

void StationView::Event(const std::string& name, Json fields) {
  m_output.Append(OutputStream::Out, EventStream::Line(name, fields) + '\n');
}

void StationView::Say(const std::string& text, const std::string& event, const Json& fields) {
  if (m_mode == StationOutput::Json) {
    Event(event, fields);
  } else {
    Line(OutputStream::Out, text);
  }
}

void StationView::DrawTable(bool force) {
  if (m_mode != StationOutput::Table) return;
  const Clock::time_point now = Clock::now();
  if (!force && now - m_lastDraw < kTableRedrawPeriod) return;
  m_lastDraw = now;
  if (m_rows.empty() && m_waiting.empty()) {
    if (m_tableShown) m_output.Update(OutputStream::Out, OutputSlot::StationTable, kClearBelow);
    m_tableShown = false;
    return;
  }
  std::string table = kClearBelow;
  table += "Station: " + std::to_string(m_rows.size()) + " updating, " + std::to_string(m_waiting.size()) +
           " waiting, " + std::to_string(m_tally.Finished()) + " finished (" + std::to_string(m_tally.failed) +
           " failed)\n";
  for (const auto& [id, row] : m_rows) {
    table += SlotPrefix(row.unit) +
             StationTableRow(row.unit.path, row.unit.serial, row.phase, row.position, row.upper, row.elapsed) + '\n';
  }
  table += "\x1b[" + std::to_string(m_rows.size() + 1) + "A\r";
  m_output.Update(OutputStream::Out, OutputSlot::StationTable, std::move(table));
  m_tableShown = true;
}

void StationView::Waiting() {
  Say("Waiting for a device...", "waiting", {{"for", "device"}, {"path", ""}, {"port", ""}});
}

void StationView::UnitChanged(const station::UnitView& view) {
  using station::UnitState;
  // EmptySlot stands for "not heard of before": a unit is never in it.
  const auto known = m_states.find(view.unit.id);
  const UnitState before = known == m_states.end() ? UnitState::EmptySlot : known->second;
  m_states[view.unit.id] = view.state;
  switch (view.state) {
    case UnitState::Waiting:
      if (before != UnitState::Waiting) Arrived(view.unit);
      return;
    case UnitState::InUse:
    case UnitState::Unusable:
      if (before != view.state) Refused(view);
      return;
    case UnitState::Running:
      if (before != UnitState::Running) {
        Started(view);
      } else {
        Progress(view);
      }
      return;
    case UnitState::AwaitingRemoval:
      m_waiting.erase(view.unit.id);
      DrawTable(true);
      return;
    case UnitState::Passed:
    case UnitState::Failed:
    case UnitState::PassedOver:
    case UnitState::EmptySlot:
      return;  // results come with Finished
  }
}

void StationView::Arrived(const station::Unit& unit) {
  m_waiting[unit.id] = unit;
  if (m_mode == StationOutput::Json) {
    Event("arrived", Who(unit));
  }
  DrawTable(true);
}

void StationView::Refused(const station::UnitView& view) {
  const station::Unit& unit = view.unit;
  m_waiting.erase(unit.id);
  const bool inUse = view.state == station::UnitState::InUse;
  const std::string reason =
      inUse ? TerminalText(view.problem) + "; passed over until it is unplugged" : TerminalText(view.problem);
  const std::string line = SlotPrefix(unit) + unit.path + " (" + SerialText(unit.serial) + ", " +
                           PortText(unit.port) + "): " + reason;
  LogLine("Station: " + line);
  if (m_mode == StationOutput::Json) {
    Json fields = Who(unit);
    fields["reason"] = inUse ? "in_use" : "unusable";
    fields["text"] = ValidUtf8(view.problem);
    Event("refused", fields);
    return;
  }
  Line(OutputStream::Out, line);
}

void StationView::Started(const station::UnitView& view) {
  const station::Unit& unit = view.unit;
  m_waiting.erase(unit.id);
  Row& row = m_rows[unit.id];
  row.unit = unit;
  row.when = LocalTimeText();
  row.iso = IsoLocalTime(std::time(nullptr));
  if (m_mode == StationOutput::Json) {
    Json fields = Who(unit);
    fields["time"] = row.iso;
    Event("device", fields);
  }
  DrawTable(true);
}

void StationView::Progress(const station::UnitView& view) {
  const auto it = m_rows.find(view.unit.id);
  if (it == m_rows.end()) return;
  Row& row = it->second;
  const int position = view.progress.perMille;
  const station::Phase phase = view.progress.phase;
  const std::string elapsed = FormatElapsed(0, static_cast<std::uint32_t>(view.progress.elapsed.count()));
  if (m_mode == StationOutput::Json) {
    const Json who = Who(view.unit);
    if (position != row.position) {
      Json fields = who;
      fields["position"] = position;
      fields["upper"] = kProgressMax;
      fields["phase"] = phase == station::Phase::Usb   ? "usb"
                        : phase == station::Phase::Mcu ? "mcu"
                        : phase == station::Phase::Ending ? "end"
                                                           : "start";
      m_output.Update(OutputStream::Out, OutputSlot::Progress, EventStream::Line("progress", fields) + '\n',
                      view.unit.id);
    }
    if (elapsed != row.elapsed) {
      Json fields = who;
      fields["elapsed"] = elapsed;
      m_output.Update(OutputStream::Out, OutputSlot::Elapsed, EventStream::Line("elapsed", fields) + '\n',
                      view.unit.id);
    }
  }
  row.phase = phase;
  row.position = position;
  row.upper = kProgressMax;
  row.elapsed = elapsed;
  DrawTable(false);
}

void StationView::Message(const station::UnitView& view, const std::string& text) {
  // On a terminal or in a file, the message is part of the unit's result
  // line; JSON keeps it as an event of its unit.
  if (m_mode != StationOutput::Json) return;
  Json fields = Who(view.unit);
  fields["text"] = text;
  Event("message", fields);
}

void StationView::Finished(const station::UnitView& view, const station::Tally& total, const station::Tally&) {
  const station::Unit& unit = view.unit;
  if (!view.result) return;
  const station::UnitResult& result = *view.result;
  m_tally = total;
  std::string when = LocalTimeText();
  std::string iso = result.time.empty() ? IsoLocalTime(std::time(nullptr)) : result.time;
  if (const auto it = m_rows.find(unit.id); it != m_rows.end()) {
    when = it->second.when;
    iso = it->second.iso;
    m_rows.erase(it);
  }
  m_waiting.erase(unit.id);
  // The passed-over unit's time comes from the record: shown as device text is.
  const std::string message =
      result.passedOver ? "already updated at " + TerminalText(result.updatedAt) +
                              "; run without --skip-updated to flash it again"
                        : result.message;
  const std::string duration = FormatElapsed(0, static_cast<std::uint32_t>(result.duration.count()));
  const std::string line = when + "  " + SlotPrefix(unit) + unit.path + "  " + SerialText(unit.serial) + "  " +
                           message + (result.passedOver ? "" : "  " + duration);
  // The program's log: one line per finished unit.
  LogLine("Station: " + line);
  const int status = result.passedOver || (result.completed && result.recorded) ? 0 : 1;
  Json fields = {{"status", status},
                 {"failure", result.failure},
                 {"message", ValidUtf8(message)},
                 {"path", unit.path},
                 {"serial", JsonText(unit.serial)},
                 {"port", JsonText(unit.port)},
                 {"time", iso},
                 {"duration", duration},
                 {"duration_ms", result.duration.count()},
                 {"already_updated", result.passedOver},
                 {"flashed", result.flashed}};
  if (!m_recordWhere.empty()) fields["recorded"] = result.recorded;
  if (!unit.slot.empty()) fields["slot"] = unit.slot;
  Say(line, "result", fields);
  if (!result.recorded) {
    const std::string what = result.flashed ? "the record line of " : "the record of the start of ";
    const std::string text = std::string(kProgramFileName) + ": " + what + unit.path + " (" +
                             SerialText(unit.serial) + ") could not be written to " + m_recordWhere + ": " +
                             result.recordError;
    LogLine(text);
    if (m_mode == StationOutput::Json) {
      Json error = Who(unit);
      error["text"] = ValidUtf8(text);
      Event("error", error);
      m_output.Append(OutputStream::Err, text + '\n');
    } else {
      Line(OutputStream::Err, text);
    }
  }
  // While the station ends, or with its count reached, the last units stay.
  if (!m_ending && (!m_count || total.Finished() < *m_count)) {
    Json fields = Who(unit);
    fields["for"] = "removal";
    Say("Unplug " + unit.path + " to go on.", "waiting", fields);
  }
}

void StationView::Gone(const station::UnitView& view) {
  m_waiting.erase(view.unit.id);
  m_states.erase(view.unit.id);
  if (m_mode == StationOutput::Json) Event("gone", Who(view.unit));
  DrawTable(true);
}

void StationView::StateChanged(station::RunState state) {
  if (state == station::RunState::Stopping) m_ending = true;
}

void StationView::HoldMachine() {
  if (m_hold) return;
  m_hold = std::make_unique<app::UpdateHold>(app::HoldScope::Update, [this](const std::string& notHeld) {
    m_output.Append(OutputStream::Err, std::string(kProgramFileName) + ": " + notHeld + '\n');
  });
}

void StationView::LetGo() { m_hold.reset(); }

void StationView::Said(const station::Notice& notice) {
  using Kind = station::Notice::Kind;
  if (notice.kind == Kind::NotASlot) {
    const station::Unit& unit = notice.unit;
    const std::string line =
        unit.path + " (" + SerialText(unit.serial) + ", " + PortText(unit.port) + "): " + notice.text;
    LogLine("Station: " + line);
    if (m_mode == StationOutput::Json) {
      Json fields = Who(unit);
      fields["reason"] = "not_a_slot";
      fields["text"] = "not a slot";
      Event("refused", fields);
      return;
    }
    Line(OutputStream::Out, line);
    return;
  }
  std::string line = std::string(kProgramFileName) + ": ";
  if (notice.kind == Kind::SharedSerial) {
    line += "several units carry the " + SerialText(notice.serial) + ": " + notice.text;
  } else if (notice.unit.id != 0) {
    line += notice.unit.path + " (" + SerialText(notice.unit.serial) + "): " + TerminalText(notice.text);
  } else {
    line += notice.text;
  }
  LogLine(line);
  if (m_mode == StationOutput::Json) {
    if (notice.kind == Kind::SharedSerial) {
      Event("notice", {{"text", ValidUtf8(line)}, {"serial", JsonText(notice.serial)}});
    } else {
      Event("warning", {{"text", ValidUtf8(line)}});
    }
    m_output.Append(OutputStream::Err, line + '\n');
    return;
  }
  Line(OutputStream::Err, line);
}

void StationView::End(bool interrupted) {
  // The units that waited and never had their turn are closed with a word.
  for (const auto& [id, unit] : m_waiting) {
    const std::string line = SlotPrefix(unit) + unit.path + " (" + SerialText(unit.serial) + "): not started; the station ended";
    LogLine("Station: " + line);
    if (m_mode == StationOutput::Json) {
      Json fields = Who(unit);
      fields["reason"] = "station_ended";
      Event("not_started", fields);
    } else if (m_mode == StationOutput::Lines) {
      m_output.Append(OutputStream::Out, line + '\n');
    }
  }
  m_rows.clear();
  m_waiting.clear();
  if (m_mode != StationOutput::Table) return;
  // The table goes; after Ctrl+C the terminal's "^C" echo stood where the
  // cursor was, and the summary starts at the start of that cleared line.
  if (m_tableShown || interrupted) m_output.Append(OutputStream::Out, kClearBelow);
  m_tableShown = false;
}

}  // namespace orvik::cli
