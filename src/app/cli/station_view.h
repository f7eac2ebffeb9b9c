// The command line's face of a flashing station: the engine's events as
// result lines (a pipe, a file), a live table of the units in flight above
// which each result is printed once (a terminal), or JSON lines (--json).
//
// Everything goes through an OutputWriter whose thread runs for the
// station's life, so a stalled reader never holds up the engine: result
// lines and messages queue, and the table and each unit's progress are
// states of which a stalled output keeps only the latest.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/cli/json_events.h"
#include "app/cli/output_writer.h"
#include "app/cli/station_record.h"
#include "app/common/update_hold.h"
#include "station/station.h"

namespace orvik::cli {

// The table is redrawn at most this often.
inline constexpr std::chrono::milliseconds kTableRedrawPeriod{100};
// Characters of a table row's bar between the brackets.
inline constexpr int kTableBarWidth = 16;

enum class StationOutput { Lines, Table, Json };

// One row of the live table:
//   emulated:3          serial EMU-0003   MCU  [######----------]   37.5%  00:01.912
std::string StationTableRow(const std::string& path, const std::string& serial, station::Phase phase, int position,
                            int upper, const std::string& elapsed);

class StationView final : public station::StationEvents, public station::StationHost {
 public:
  // `count`: the station's COUNT, when given. `interactive`: standard
  // output is a terminal (a summary after Ctrl+C starts on a line of its
  // own there).
  StationView(OutputWriter& output, StationOutput mode, bool interactive, std::optional<unsigned> count);

  // Where the record is (--record), for the message naming a unit whose
  // line could not be written; `skipUpdated`: how a passed-over unit is said.
  void SetRecordWhere(std::string where) { m_recordWhere = std::move(where); }
  ~StationView() override;

  // The engine's events, on the command line's thread.
  void UnitChanged(const station::UnitView& view) override;
  void Finished(const station::UnitView& view, const station::Tally& total, const station::Tally& slot) override;
  void Message(const station::UnitView& view, const std::string& text) override;
  void Gone(const station::UnitView& view) override;
  void Waiting() override;
  void StateChanged(station::RunState state) override;
  void Said(const station::Notice& notice) override;

  // The hold, asked by the engine around the units' updates.
  void HoldMachine() override;
  void LetGo() override;

  // A line of the station's own on standard output (a JSON event instead
  // with --json): the opening line, the summary.
  void Say(const std::string& text, const std::string& event, const Json& fields);
  // Whether a unit is being updated now.
  bool Updating() const { return m_hold != nullptr; }
  // Clears the table before the summary and closes the units that waited
  // and never started; after Ctrl+C on a terminal the summary then starts on
  // a line of its own.
  void End(bool interrupted);

 private:
  struct Row {
    station::Unit unit;
    station::Phase phase = station::Phase::Starting;
    int position = 0;
    int upper = 1000;
    std::string elapsed = "00:00.000";
    std::string when;  // local time the run started
    std::string iso;   // the same with its UTC offset, for JSON
  };

  void Line(OutputStream stream, const std::string& text);
  void Event(const std::string& name, Json fields);
  void DrawTable(bool force);
  void Arrived(const station::Unit& unit);
  void Refused(const station::UnitView& view);
  void Started(const station::UnitView& view);
  void Progress(const station::UnitView& view);

  OutputWriter& m_output;
  const StationOutput m_mode;
  const bool m_interactive;
  const std::optional<unsigned> m_count;
  std::map<std::uint64_t, Row> m_rows;   // the units in flight
  std::map<std::uint64_t, station::Unit> m_waiting;  // arrived, not yet started
  std::map<std::uint64_t, station::UnitState> m_states;  // each attached unit's last state heard
  station::Tally m_tally;  // the engine's, as of the last result
  bool m_ending = false;   // the station ends: no unit starts any more
  std::chrono::steady_clock::time_point m_lastDraw{};
  bool m_tableShown = false;
  std::unique_ptr<app::UpdateHold> m_hold;
  std::string m_recordWhere;
};

}  // namespace orvik::cli
