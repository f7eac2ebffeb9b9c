// A unit run's way through the record, the same for a station's units and a
// single update: the look-up that may pass it over, its start before the
// first command, and its result. One object per run; its run id and start
// time are made with it.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "record/record_port.h"

namespace orvik::station {

class UnitRecording {
 public:
  // `record` may be null: every call then succeeds and writes nothing.
  UnitRecording(record::Recorder* record, record::Unit unit, bool mcu, bool usb);

  // The time of the unit's latest completed run with this image and these
  // controllers; nothing without a record, a serial or such a run.
  std::optional<std::string> UpdatedAt() const;
  // The run as started. False, with the reason, when the record did not
  // take it: the unit must then not be flashed.
  bool Start(std::string& error);
  // The run's result. False, with the reason, when the record did not take
  // it; true with `error` set when it was taken with a word to say (a lost
  // server's row kept in the spool).
  bool Finish(bool completed, int failure, const std::string& message, std::chrono::milliseconds duration,
              std::string& error);

  const std::string& RunId() const { return m_run.runId; }
  const std::string& Time() const { return m_run.time; }
  std::chrono::system_clock::time_point StartedAt() const { return m_run.startedAt; }
  const record::Unit& Unit() const { return m_unit; }
  void SetUnit(record::Unit unit) { m_unit = std::move(unit); }

 private:
  record::Recorder* m_record;
  record::Unit m_unit;
  record::Recorder::Run m_run;
};

}  // namespace orvik::station
