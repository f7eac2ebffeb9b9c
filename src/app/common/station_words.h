// How the windowed stations (Qt, Win32) word and colour the engine's states,
// so that both grids say the same. Colour is never the only sign: every
// state has its word.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "station/station.h"

namespace orvik::app {

// "PASS", "FAIL", "UPDATING", "WAITING", "EMPTY", ... (short, upper case, for
// a tile read from two metres).
const char* StateWord(station::UnitState state);
// "MCU", "USB", "starting", "ending".
const char* PhaseWord(station::Phase phase);
// A tile's background as 0xRRGGBB; dark text reads on each.
std::uint32_t StateColour(station::UnitState state);
// The line under a finished unit's word.
inline constexpr char kUnplugToGoOn[] = "unplug to go on";

// "00:04.125": minutes, seconds and milliseconds, as the dialog shows them.
std::string ElapsedText(std::chrono::milliseconds elapsed);
// "97.5%"; "-" before any unit.
std::string YieldText(const station::Tally& tally);
// Units (passed and failed) per hour since `since`, or nothing in the first minute.
std::optional<double> UnitsPerHour(const station::Tally& tally, std::chrono::system_clock::time_point since,
                                   std::chrono::system_clock::time_point now);
// "ORVIK Station - 12 passed, 1 failed"
std::string StationTitle(const station::Tally& tally);

}  // namespace orvik::app
