// --json: one JSON object per line on standard output for every event of a
// command, for scripts and production-line software. The field names are
// part of the program's interface (README, "Machine-readable output"); add
// fields, never rename one.
//
//   {"event":"start","program":"orvik-updater-cli","version":"2.0.0.6","mode":"update"}
//   {"event":"interface","path":"/dev/hidraw3","input_report_length":33,...}
//   {"event":"device","path":"/dev/hidraw3","caption":"Firmware for Solvane ver1.3"}
//   {"event":"progress","position":652,"upper":1000}
//   {"event":"elapsed","elapsed":"00:03.412"}
//   {"event":"message","text":"Update complete"}
//   {"event":"result","status":0,"failure":0,"message":"Update complete",...}
//
// Lines are written whole and flushed at once; any thread may write. While an
// update runs, its window writes the update's events through its own
// OutputWriter instead (terminal_window.h).
#pragma once

#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

namespace orvik::cli {

using Json = nlohmann::ordered_json;

class EventStream {
 public:
  // `out` must outlive the stream.
  explicit EventStream(std::ostream& out) : m_out(out) {}
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  // Writes {"event": name, ...fields} as one line. `fields` must be an
  // object (or null for none).
  void Emit(const std::string& name, const Json& fields = Json::object());

  // The line Emit writes, without its line end.
  static std::string Line(const std::string& name, const Json& fields = Json::object());

 private:
  std::mutex m_mutex;
  std::ostream& m_out;
};

}  // namespace orvik::cli
