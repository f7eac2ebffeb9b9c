#include "app/cli/station_view.h"

#include <algorithm>
#include <csignal>
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
  // Once the station ends, the units that wait will never start.
  const std::string waiting = std::to_string(m_waiting.size()) + (m_ending ? " not started, " : " waiting, ");
  const std::string finished = std::to_string(m_tally.Finished());
  const std::string failed = std::to_string(m_tally.failed) + " failed";
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

void StationView::UnitChanged(const station::UnitView& view) {
  using station::UnitState;
  // Whether the unit was in `state` when last heard of. (No std::optional
  // here: MinGW's GCC at -O3 takes its comparison for a read of an
  // uninitialized value.)
  const auto known = m_states.find(view.unit.id);
  const bool seen = known != m_states.end();
  const UnitState last = seen ? known->second : UnitState::EmptySlot;
  const auto was = [&](UnitState state) { return seen && last == state; };
  m_states[view.unit.id] = view.state;
  switch (view.state) {
    case UnitState::Waiting:
      if (!was(UnitState::Waiting)) Arrived(view.unit);
      return;
    case UnitState::InUse:
    case UnitState::Unusable:
      if (!was(view.state)) Refused(view);
      return;
    case UnitState::Running:
      if (!was(UnitState::Running)) {
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
  // While the station ends, or once the units attached make its count, no
  // further unit will be taken: the last units stay.
  const std::size_t attached = total.Finished() + m_rows.size() + m_waiting.size();
  if (!m_ending && (!m_count || attached < *m_count)) {
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
  if (m_mode == StationOutput::Table) {
    // The table goes; after Ctrl+C the terminal's "^C" echo stood where the
    // cursor was, and what follows starts at the start of that cleared line.
    if (m_tableShown || interrupted) m_output.Append(OutputStream::Out, kClearBelow);
    m_tableShown = false;
  }
  // The units that waited and never had their turn are closed with a word.
  for (const auto& [id, unit] : m_waiting) {
    const std::string line = SlotPrefix(unit) + unit.path + " (" + SerialText(unit.serial) + "): not started; the station ended";
    LogLine("Station: " + line);
    if (m_mode == StationOutput::Json) {
      Json fields = Who(unit);
      fields["reason"] = "station_ended";
      Event("not_started", fields);
    } else {
      m_output.Append(OutputStream::Out, line + '\n');
    }
  }
  m_rows.clear();
  m_waiting.clear();
}

void StationView::Interrupted(int signal) {
  m_ending = true;
  const bool table = m_mode == StationOutput::Table;
  // Where a "^C" was echoed: at the cursor, which the table keeps at its
  // first line; elsewhere after the last line written to the terminal.
  if (signal == SIGINT && TerminalEchoesCtrlC(!table)) {
    if (table) {
      // "^C" written over itself, the rest of its line (the heading) erased;
      // the rest of the table goes with what is written next.
      m_output.Append(OutputStream::Out, "\r^C\x1b[K\n");
    } else {
      m_output.Append(OutputStream::Err, "\n");
    }
  }
  if (Updating()) {
    const std::string notice = std::string(kProgramFileName) + ": the station ends once the units being updated are done";
    if (table) {
      Line(OutputStream::Err, notice);
    } else {
      m_output.Append(OutputStream::Err, notice + '\n');
    }
  } else if (table) {
    DrawTable(true);
  }
}

}  // namespace orvik::cli
