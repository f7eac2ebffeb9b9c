#include "app/common/station_words.h"

#include <cstdio>

namespace orvik::app {

using station::Phase;
using station::UnitState;

const char* StateWord(UnitState state) {
  switch (state) {
    case UnitState::EmptySlot: return "EMPTY";
    case UnitState::Waiting: return "WAITING";
    case UnitState::Running: return "UPDATING";
    case UnitState::Passed: return "PASS";
    case UnitState::Failed: return "FAIL";
    case UnitState::PassedOver: return "ALREADY DONE";
    case UnitState::InUse: return "IN USE";
    case UnitState::Unusable: return "UNUSABLE";
    case UnitState::AwaitingRemoval: return "SKIPPED";
  }
  return "?";
}

const char* PhaseWord(Phase phase) {
  switch (phase) {
    case Phase::Starting: return "starting";
    case Phase::Mcu: return "MCU";
    case Phase::Usb: return "USB";
    case Phase::Ending: return "ending";
  }
  return "?";
}

std::uint32_t StateColour(UnitState state) {
  switch (state) {
    case UnitState::EmptySlot: return 0xE6E6E6;
    case UnitState::Waiting: return 0xDCE6F2;
    case UnitState::Running: return 0xBFD9FF;
    case UnitState::Passed: return 0x8FD694;
    case UnitState::Failed: return 0xF28B82;
    case UnitState::PassedOver: return 0xC9E7C9;
    case UnitState::InUse: return 0xFFD98C;
    case UnitState::Unusable: return 0xF6B26B;
    case UnitState::AwaitingRemoval: return 0xD0D0D0;
  }
  return 0xFFFFFF;
}

std::string ElapsedText(std::chrono::milliseconds elapsed) {
  const long long ms = elapsed.count() < 0 ? 0 : elapsed.count();
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld.%03lld", ms / 60000, ms / 1000 % 60, ms % 1000);
  return text;
}

std::string YieldText(const station::Tally& tally) {
  const std::optional<double> yield = tally.PassShare();
  if (!yield) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%.1f%%", *yield * 100.0);
  return text;
}

std::optional<double> UnitsPerHour(const station::Tally& tally, std::chrono::system_clock::time_point since,
                                   std::chrono::system_clock::time_point now) {
  const auto span = std::chrono::duration<double>(now - since).count();
  if (span < 60.0) return std::nullopt;
  return (tally.passed + tally.failed) * 3600.0 / span;
}

std::string StationTitle(const station::Tally& tally) {
  return "ORVIK Station - " + std::to_string(tally.passed) + " passed, " + std::to_string(tally.failed) + " failed";
}

}  // namespace orvik::app
