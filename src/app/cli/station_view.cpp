#include "app/cli/station_view.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "app/cli/cli.h"
#include "app/cli/console.h"
#include "app/cli/device_text.h"
#include "app/cli/station_table.h"
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
// The cursor's line is erased alone, and the screen below it from the next
// line (the cursor saved and put back around it: ESC 7, ESC 8), never with
// one erase from the line's start: after a terminal grew shorter the table
// may start on the screen's first line, and an erase from the top-left
// corner clears the whole screen, which some terminals (tmux) then keep in
// their scrollback, a copy of the table each time.
constexpr char kClearBelow[] = "\r\x1b" "7\x1b[K\x1b[B\x1b[J\x1b" "8";

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

const char* RefusalName(station::Refusal why) {
  switch (why) {
    case station::Refusal::NotASlot:
      return "not_a_slot";
    case station::Refusal::InUse:
      return "in_use";
    case station::Refusal::Unusable:
      break;
  }
  return "unusable";
}

// "2026-12-08 09:41:05": a result line's time, in the local time zone.
std::string LocalTimeText() {
  std::tm local{};
  if (!BreakDownTime(std::time(nullptr), true, local)) return "0000-00-00 00:00:00";
  char text[32] = "";
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace

StationView::StationView(OutputWriter& output, StationOutput mode, bool interactive, std::optional<unsigned> count)
    : m_output(output), m_mode(mode), m_interactive(interactive), m_count(count) {
  if (m_mode == StationOutput::Table) FollowTerminalResizes();
}

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
  // A resized terminal gets the table at its new size at once.
  if (TerminalResized()) force = true;
  if (!force && now - m_lastDraw < kTableRedrawPeriod) return;
  m_lastDraw = now;
  if (m_rows.empty() && m_waiting.empty()) {
    if (m_tableShown) m_output.Update(OutputStream::Out, OutputSlot::StationTable, kClearBelow);
    m_tableShown = false;
    return;
  }
  const std::string updating = std::to_string(m_rows.size()) + " updating, ";
  const std::string waiting = std::to_string(m_waiting.size()) + " waiting, ";
  const std::string finished = std::to_string(m_finished);
  const std::string failed = std::to_string(m_failed) + " failed";
  const std::vector<std::string> headings = {
      "Station: " + updating + waiting + finished + " finished (" + failed + ")",
      updating + waiting + finished + " finished (" + failed + ")",
      updating + waiting + finished + " done, " + failed,
  };
  std::vector<TableRow> rows;
  for (const auto& [id, row] : m_rows) {
    const long long span = std::max(row.upper, 1);
    const long long done = std::clamp<long long>(row.position, 0, span);
    rows.push_back({row.unit.slot, row.unit.path, row.unit.serial, PhaseText(row.phase),
                    static_cast<int>(done * 1000 / span), row.elapsed});
  }
  // Drawn from its first line with the cursor left there again: the lines
  // drawn, never wider than the terminal, are the lines to go back up.
  const std::vector<std::string> lines = LayOutStationTable(headings, rows, TerminalWindowSize());
  std::string table = kClearBelow;
  for (const std::string& line : lines) table += line + '\n';
  table += "\x1b[" + std::to_string(lines.size()) + "A\r";
  m_output.Update(OutputStream::Out, OutputSlot::StationTable, std::move(table));
  m_tableShown = true;
}

void StationView::Waiting() {
  Say("Waiting for a device...", "waiting", {{"for", "device"}, {"path", ""}, {"port", ""}});
}

void StationView::Arrived(const station::Unit& unit) {
  m_waiting[unit.id] = 0;
  if (m_mode == StationOutput::Json) {
    Event("arrived", Who(unit));
  }
  DrawTable(true);
}

void StationView::Refused(const station::Unit& unit, station::Refusal why, const std::string& text) {
  m_waiting.erase(unit.id);
  // A unit on a port that is no slot is said once, and left alone.
  const std::string reason = why == station::Refusal::NotASlot ? std::string("not a slot; left alone")
                             : why == station::Refusal::InUse
                                 ? TerminalText(text) + "; passed over until it is unplugged"
                                 : TerminalText(text);
  const std::string line = SlotPrefix(unit) + unit.path + " (" + SerialText(unit.serial) + ", " +
                           PortText(unit.port) + "): " + reason;
  LogLine("Station: " + line);
  if (m_mode == StationOutput::Json) {
    Json fields = Who(unit);
    fields["reason"] = RefusalName(why);
    fields["text"] = why == station::Refusal::NotASlot ? std::string("not a slot") : ValidUtf8(text);
    Event("refused", fields);
    return;
  }
  Line(OutputStream::Out, line);
}

void StationView::Started(const station::Unit& unit) {
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

void StationView::Progress(const station::Unit& unit, station::Phase phase, int position, int upper,
                           const std::string& elapsed) {
  const auto it = m_rows.find(unit.id);
  if (it == m_rows.end()) return;
  Row& row = it->second;
  if (m_mode == StationOutput::Json) {
    const Json who = Who(unit);
    if (position != row.position) {
      Json fields = who;
      fields["position"] = position;
      fields["upper"] = upper;
      fields["phase"] = phase == station::Phase::Usb ? "usb" : phase == station::Phase::Mcu ? "mcu" : "start";
      m_output.Update(OutputStream::Out, OutputSlot::Progress, EventStream::Line("progress", fields) + '\n', unit.id);
    }
    if (elapsed != row.elapsed) {
      Json fields = who;
      fields["elapsed"] = elapsed;
      m_output.Update(OutputStream::Out, OutputSlot::Elapsed, EventStream::Line("elapsed", fields) + '\n', unit.id);
    }
  }
  row.phase = phase;
  row.position = position;
  row.upper = upper;
  row.elapsed = elapsed;
  DrawTable(false);
}

void StationView::Message(const station::Unit& unit, const std::string& text) {
  if (m_mode == StationOutput::Json) {
    Json fields = Who(unit);
    fields["text"] = text;
    Event("message", fields);
    m_output.Append(OutputStream::Err, text + '\n');
    return;
  }
  Line(OutputStream::Err, text);
}

void StationView::Finished(const station::Unit& unit, const station::UnitResult& result) {
  std::string when = LocalTimeText();
  std::string iso = result.time.empty() ? IsoLocalTime(std::time(nullptr)) : result.time;
  if (const auto it = m_rows.find(unit.id); it != m_rows.end()) {
    when = it->second.when;
    iso = it->second.iso;
    m_rows.erase(it);
  }
  m_waiting.erase(unit.id);
  ++m_finished;
  if (result.status != 0) ++m_failed;
  // The passed-over unit's time comes from the record: shown as device text is.
  const std::string message = result.passedOver ? TerminalText(result.message) : result.message;
  const std::string duration = FormatElapsed(0, static_cast<std::uint32_t>(result.duration.count()));
  const std::string line = when + "  " + SlotPrefix(unit) + unit.path + "  " + SerialText(unit.serial) + "  " +
                           message + (result.passedOver ? "" : "  " + duration);
  // The program's log: one line per finished unit.
  LogLine("Station: " + line);
  Json fields = {{"status", result.status},
                 {"failure", result.failure},
                 {"message", ValidUtf8(result.message)},
                 {"path", unit.path},
                 {"serial", JsonText(unit.serial)},
                 {"port", JsonText(unit.port)},
                 {"time", iso},
                 {"duration", duration},
                 {"duration_ms", result.duration.count()},
                 {"already_updated", result.passedOver},
                 {"recorded", result.recorded}};
  if (!unit.slot.empty()) fields["slot"] = unit.slot;
  Say(line, "result", fields);
  if (!result.recorded) {
    const std::string text = std::string(kProgramFileName) + ": the record line of " + unit.path + " (" +
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
  // With its count reached the station ends: the last units may stay.
  if (result.recorded && (!m_count || m_finished < *m_count)) {
    Json fields = Who(unit);
    fields["for"] = "removal";
    Say("Unplug " + unit.path + " to go on.", "waiting", fields);
  }
}

void StationView::Gone(const station::Unit& unit) {
  m_waiting.erase(unit.id);
  if (m_mode == StationOutput::Json) Event("gone", Who(unit));
  DrawTable(true);
}

void StationView::Busy(bool busy) {
  if (!busy) {
    m_hold.reset();
    return;
  }
  if (m_hold) return;
  m_hold = std::make_unique<app::UpdateHold>(app::HoldScope::Update, [this](const std::string& notHeld) {
    m_output.Append(OutputStream::Err, std::string(kProgramFileName) + ": " + notHeld + '\n');
  });
}

void StationView::Notice(const std::string& text) {
  const std::string line = std::string(kProgramFileName) + ": " + text;
  LogLine(line);
  if (m_mode == StationOutput::Json) Event("warning", {{"text", ValidUtf8(line)}});
  Line(OutputStream::Err, line);
}

void StationView::End(bool interrupted) {
  m_rows.clear();
  m_waiting.clear();
  if (m_mode != StationOutput::Table) return;
  // The table goes; after Ctrl+C the terminal's "^C" echo stood where the
  // cursor was, and the summary starts at the start of that cleared line.
  if (m_tableShown || interrupted) m_output.Append(OutputStream::Out, kClearBelow);
  m_tableShown = false;
}

}  // namespace orvik::cli
