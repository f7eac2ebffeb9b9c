// What the station engine needs of a record, and what a record needs of the
// engine: the unit, the run, and the record's three calls. A header of its
// own so that the record depends on nothing above it and the engine on no
// back end.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace orvik::record {

// One unit, as the station knows it from the moment it arrives.
struct Unit {
  std::uint64_t id = 0;   // 1, 2, ... in arrival order; never reused by a station
  std::string path;       // /dev/hidraw3, a Windows interface path, emulated:2
  std::string identity;   // tells one attachment from the next (HidInterfaceInfo)
  std::string serial;     // device input: any bytes; empty when none
  std::string port;       // the physical USB port; empty when unknown
  std::string slot;       // the slot's name (a slot map); empty without one
  bool operator==(const Unit&) const = default;
};

// The record's side of a unit run. Every member may be called from any
// thread; the record serializes its writes.
class Recorder {
 public:
  virtual ~Recorder() = default;

  // What a run is recorded with.
  struct Run {
    std::string runId;      // unique per unit run; a retried write is the same run
    const Unit* unit = nullptr;
    bool mcu = true;        // the controllers to update
    bool usb = true;
    std::string time;       // when the run started: local ISO 8601 with UTC offset
    std::chrono::system_clock::time_point startedAt{};  // the same instant
    int status = 0;         // 0 complete, 1 failed (a started run has none yet)
    int failure = 0;
    std::string message;
    std::int64_t durationMs = 0;
  };

  // The time of the unit's latest completed run when it was a success with
  // this image and the same controllers; nothing when the unit is to be
  // updated (no such run, the latest never finished, no serial).
  virtual std::optional<std::string> UpdatedAt(const std::string& serial, bool mcu, bool usb) = 0;
  // Before the first command is sent: the run is in the record as started.
  // False, with the reason, when it could not be written (the unit is then
  // not run).
  virtual bool Started(const Run& run, std::string& error) = 0;
  // Its result, replacing or following the started entry. False, with the
  // reason, when the record did not take it (it is then not recorded).
  virtual bool Finished(const Run& run, std::string& error) = 0;
  // Where the record is, for messages: a file's path, a URI without credentials.
  virtual std::string Where() const = 0;
};

}  // namespace orvik::record
