// What one tile of the station window says, as text: worked out apart from
// the widgets so that the rules (device text escaped, the state always as a
// word, a finished unit's result and "unplug to go on", the counters) are
// one function.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "station/station.h"

namespace orvik::qt {

struct TileText {
  std::string name;        // the slot's name, else the unit's port, else its path
  std::string serial;      // escaped by the device-text policy; "" without a unit or serial
  std::string word;        // the state's word: PASS, FAIL, UPDATING, ...
  std::string detail;      // the failure's number and message; why a unit is not run
  std::string action;      // "unplug to go on" once the unit had its turn
  bool bar = false;        // running: the bar shows perMille with `phase` on it
  int perMille = 0;
  std::string phase;       // "MCU", "USB", ...
  std::string elapsed;     // running: time so far; finished: its duration
  std::string counters;    // "3 passed, 1 failed, 75.0%, 12/h"
  std::uint32_t colour = 0;  // 0xRRGGBB (never the only sign: `word` says it too)
  std::string accessibleName;  // all of the above in one sentence, for a screen reader
};

// The tile of slot (or port) `name` showing `view` (null: the slot is
// empty), with the slot's counters `tally` counted since `since`.
TileText TileTextFor(const std::string& name, const station::UnitView* view, const station::Tally& tally,
                     std::chrono::system_clock::time_point since, std::chrono::system_clock::time_point now);

// "3 passed, 1 failed, 75.0%, 12/h" (units per hour only after a minute).
std::string CounterText(const station::Tally& tally, std::chrono::system_clock::time_point since,
                        std::chrono::system_clock::time_point now);

// A finished unit's result in the list under the grid: "PASS", "FAIL 1345:
// message", "ALREADY DONE (2026-12-08T10:00:00+01:00)".
std::string ResultText(const station::UnitView& view);

// The name a tile goes by: the slot's, else the port, else the path; device
// text escaped.
std::string TileName(const station::Unit& unit);

}  // namespace orvik::qt
