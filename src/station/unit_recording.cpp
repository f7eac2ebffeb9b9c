#include "station/unit_recording.h"

#include "log/local_time.h"
#include "record/record.h"

namespace orvik::station {

UnitRecording::UnitRecording(record::Recorder* record, record::Unit unit, bool mcu, bool usb)
    : m_record(record), m_unit(std::move(unit)) {
  m_run.runId = record::NewRunId();
  m_run.startedAt = std::chrono::system_clock::now();
  m_run.time = IsoLocalTime(std::chrono::system_clock::to_time_t(m_run.startedAt));
  m_run.mcu = mcu;
  m_run.usb = usb;
}

std::optional<std::string> UnitRecording::UpdatedAt() const {
  if (m_record == nullptr || m_unit.serial.empty()) return std::nullopt;
  return m_record->UpdatedAt(m_unit.serial, m_run.mcu, m_run.usb);
}

bool UnitRecording::Start(std::string& error) {
  if (m_record == nullptr) return true;
  m_run.unit = &m_unit;
  return m_record->Started(m_run, error);
}

bool UnitRecording::Finish(bool completed, int failure, const std::string& message,
                           std::chrono::milliseconds duration, std::string& error) {
  if (m_record == nullptr) return true;
  m_run.unit = &m_unit;
  m_run.status = completed ? 0 : 1;
  m_run.failure = failure;
  m_run.message = message;
  m_run.durationMs = duration.count();
  return m_record->Finished(m_run, error);
}

}  // namespace orvik::station
