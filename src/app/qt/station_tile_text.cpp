#include "app/qt/station_tile_text.h"

#include <cmath>

#include "app/common/station_words.h"
#include "log/device_text.h"

namespace orvik::qt {

using station::UnitState;

std::string CounterText(const station::Tally& tally, std::chrono::system_clock::time_point since,
                        std::chrono::system_clock::time_point now) {
  std::string text = std::to_string(tally.passed) + " passed, " + std::to_string(tally.failed) + " failed, " +
                     app::YieldText(tally);
  if (const std::optional<double> perHour = app::UnitsPerHour(tally, since, now)) {
    text += ", " + std::to_string(static_cast<long long>(std::lround(*perHour))) + "/h";
  }
  return text;
}

std::string ResultText(const station::UnitView& view) {
  if (!view.result) return app::StateWord(view.state);
  const station::UnitResult& result = *view.result;
  switch (result.outcome()) {
    case station::Outcome::Passed:
      return app::StateWord(UnitState::Passed);
    case station::Outcome::PassedOver:
      return std::string(app::StateWord(UnitState::PassedOver)) +
             (result.updatedAt.empty() ? "" : " (" + DeviceTextForTerminal(result.updatedAt) + ")");
    case station::Outcome::Failed:
      break;
  }
  std::string text = app::StateWord(UnitState::Failed);
  if (result.failure != 0) {
    text += ' ';
    text += std::to_string(result.failure);
  }
  if (!result.message.empty()) {
    text += ": ";
    text += DeviceTextForTerminal(result.message);
  }
  return text;
}

std::string TileName(const station::Unit& unit) {
  if (!unit.slot.empty()) return unit.slot;
  return DeviceTextForTerminal(unit.port.empty() ? unit.path : unit.port);
}

TileText TileTextFor(const std::string& name, const station::UnitView* view, const station::Tally& tally,
                     std::chrono::system_clock::time_point since, std::chrono::system_clock::time_point now) {
  TileText text;
  text.name = name;
  text.counters = CounterText(tally, since, now);
  const UnitState state = view != nullptr ? view->state : UnitState::EmptySlot;
  text.word = app::StateWord(state);
  text.colour = app::StateColour(state);
  if (view != nullptr) {
    text.serial = DeviceTextForTerminal(view->unit.serial);
    switch (state) {
      case UnitState::Running:
        text.bar = true;
        text.perMille = view->progress.perMille;
        text.phase = app::PhaseWord(view->progress.phase);
        text.elapsed = app::ElapsedText(view->progress.elapsed);
        break;
      case UnitState::Passed:
      case UnitState::Failed:
      case UnitState::PassedOver:
        if (view->result) {
          const std::string result = ResultText(*view);
          // The word is the tile's first line; the rest of the result below it.
          if (result.size() > text.word.size()) text.detail = result.substr(text.word.size() + 1);
          if (state != UnitState::PassedOver) text.elapsed = app::ElapsedText(view->result->duration);
        }
        break;
      case UnitState::InUse:
      case UnitState::Unusable:
      case UnitState::AwaitingRemoval:
        text.detail = DeviceTextForTerminal(view->problem);
        break;
      case UnitState::Waiting:
      case UnitState::EmptySlot:
        break;
    }
    if (station::HadItsTurn(state)) text.action = app::kUnplugToGoOn;
  }

  text.accessibleName = "Slot " + text.name + ": " + text.word;
  if (text.bar) text.accessibleName += ", " + text.phase + " " + std::to_string(text.perMille / 10) + "%";
  if (!text.detail.empty()) text.accessibleName += ", " + text.detail;
  if (!text.serial.empty()) text.accessibleName += ", serial " + text.serial;
  if (!text.action.empty()) text.accessibleName += ", " + text.action;
  text.accessibleName += "; " + text.counters;
  return text;
}

}  // namespace orvik::qt
