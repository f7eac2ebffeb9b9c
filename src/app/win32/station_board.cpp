#include "app/win32/station_board.h"

#include <algorithm>
#include <cstdio>

#include "app/common/station_words.h"
#include "log/device_text.h"
#include "log/utf.h"

namespace orvik::win32 {

using station::Tally;
using station::UnitState;
using station::UnitView;

std::string Elided(std::string_view utf8, std::size_t maxChars) {
  std::size_t chars = 0;
  std::size_t at = 0;
  while (at < utf8.size()) {
    if (chars == maxChars) return std::string(utf8.substr(0, at)) + "\xE2\x80\xA6";  // U+2026
    at += DecodeUtf8(utf8.substr(at)).length;
    ++chars;
  }
  return std::string(utf8);
}

std::string ShownDeviceText(std::string_view bytes, std::size_t maxChars) {
  return Elided(DeviceTextForTerminal(bytes), maxChars);
}

std::string CountersText(const Tally& tally, std::chrono::system_clock::time_point since,
                         std::chrono::system_clock::time_point now) {
  std::string text = std::to_string(tally.passed) + " passed, " + std::to_string(tally.failed) + " failed, yield " +
                     app::YieldText(tally);
  // A station that has not said since when it counts has no rate.
  const std::optional<double> perHour =
      since == std::chrono::system_clock::time_point{} ? std::nullopt : app::UnitsPerHour(tally, since, now);
  if (perHour) {
    char rate[32];
    std::snprintf(rate, sizeof rate, ", %.0f units/h", *perHour);
    text += rate;
  }
  return text;
}

std::string FailureText(const station::UnitResult& result) {
  const std::string message = Elided(DeviceTextForTerminal(result.message), kMaxShownMessageChars);
  if (result.failure == 0) return message;
  const std::string number = std::to_string(result.failure);
  // The dialog's failure messages carry their number: "... fail(1345)".
  if (message.find(number) != std::string::npos) return message;
  return "failure " + number + (message.empty() ? std::string() : ": " + message);
}

std::string ResultText(const UnitView& view) {
  const char* word = app::StateWord(view.state);
  if (!view.result) return word;
  const station::UnitResult& result = *view.result;
  switch (result.outcome()) {
    case station::Outcome::Passed:
      return word;
    case station::Outcome::PassedOver:
      // The time comes from the record: shown as device text is.
      return std::string(word) + (result.updatedAt.empty() ? "" : " at " + ShownDeviceText(result.updatedAt));
    case station::Outcome::Failed:
      break;
  }
  std::string text = word;
  if (result.failure != 0) {
    text += ' ';
    text += std::to_string(result.failure);
  }
  if (!result.message.empty()) text += ": " + Elided(DeviceTextForTerminal(result.message), kMaxShownMessageChars);
  return text;
}

void StationBoard::Load(const station::StationSnapshot& snapshot) {
  m_slotMap = !snapshot.slots.empty();
  m_tiles.clear();
  for (const std::string& slot : snapshot.slots) m_tiles.push_back(Tile{slot, std::nullopt});
  m_total = snapshot.total;
  m_bySlot = snapshot.bySlot;
  m_countingSince = snapshot.countingSince;
  for (const UnitView& view : snapshot.units) UnitChanged(view);
}

std::optional<std::size_t> StationBoard::TileOf(const UnitView& view, bool place) {
  for (std::size_t i = 0; i < m_tiles.size(); ++i) {
    if (m_tiles[i].view && m_tiles[i].view->unit.id == view.unit.id) return i;
  }
  if (!place) return std::nullopt;
  if (m_slotMap) {
    // Its slot's tile; a unit on no slot of the map is not the station's.
    for (std::size_t i = 0; i < m_tiles.size(); ++i) {
      if (m_tiles[i].slot == view.unit.slot && !view.unit.slot.empty()) return i;
    }
    return std::nullopt;
  }
  // The first tile whose unit has gone, else a new one at the end.
  for (std::size_t i = 0; i < m_tiles.size(); ++i) {
    if (!m_tiles[i].view) return i;
  }
  m_tiles.push_back(Tile{});
  return m_tiles.size() - 1;
}

std::optional<std::size_t> StationBoard::UnitChanged(const UnitView& view) {
  const std::optional<std::size_t> tile = TileOf(view, true);
  if (tile) m_tiles[*tile].view = view;
  return tile;
}

std::optional<std::size_t> StationBoard::Finished(const UnitView& view, const Tally& total, const Tally& slot,
                                                  const std::string& timeText) {
  m_total = total;
  const std::string key = !view.unit.slot.empty() ? view.unit.slot : view.unit.port;
  m_bySlot[key] = slot;
  ResultRow row;
  row.time = timeText;
  row.slot = view.unit.slot.empty() ? ShownDeviceText(view.unit.port) : view.unit.slot;
  row.serial = ShownDeviceText(view.unit.serial);
  row.result = ResultText(view);
  m_results.push_front(std::move(row));
  while (m_results.size() > kMaxResultRows) m_results.pop_back();
  return UnitChanged(view);
}

std::optional<std::size_t> StationBoard::Gone(const UnitView& view) {
  const std::optional<std::size_t> tile = TileOf(view, false);
  if (tile) m_tiles[*tile].view.reset();
  return tile;
}

void StationBoard::CountersReset(const station::StationSnapshot& snapshot) {
  m_total = snapshot.total;
  m_bySlot = snapshot.bySlot;
  m_countingSince = snapshot.countingSince;
}

unsigned StationBoard::Running() const {
  unsigned running = 0;
  for (const Tile& tile : m_tiles) {
    if (tile.view && tile.view->state == UnitState::Running) ++running;
  }
  return running;
}

std::string StationBoard::TallyKey(const Tile& tile) const {
  if (m_slotMap) return tile.slot;
  return tile.view ? tile.view->unit.port : std::string();
}

TileText StationBoard::Describe(std::size_t index, std::chrono::system_clock::time_point now) const {
  TileText text;
  const Tile& tile = m_tiles.at(index);
  const UnitState state = tile.view ? tile.view->state : UnitState::EmptySlot;
  text.word = app::StateWord(state);
  text.colour = app::StateColour(state);
  if (!tile.slot.empty()) {
    text.name = tile.slot;
  } else if (tile.view) {
    text.name = ShownDeviceText(!tile.view->unit.port.empty() ? tile.view->unit.port : tile.view->unit.path);
  } else {
    text.name = "-";
  }
  if (tile.view) {
    const UnitView& view = *tile.view;
    text.serial = view.unit.serial.empty() ? std::string("no serial") : "serial " + ShownDeviceText(view.unit.serial);
    if (state == UnitState::Running) {
      text.barPerMille = std::clamp(view.progress.perMille, 0, 1000);
      text.detail = std::string(app::PhaseWord(view.progress.phase)) + "  " +
                    std::to_string(text.barPerMille / 10) + "%";
      text.elapsed = app::ElapsedText(view.progress.elapsed);
    } else if (view.result) {
      switch (view.result->outcome()) {
        case station::Outcome::Passed:
          text.detail = Elided(DeviceTextForTerminal(view.result->message), kMaxShownMessageChars);
          break;
        case station::Outcome::Failed:
          text.detail = FailureText(*view.result);
          break;
        case station::Outcome::PassedOver:
          if (!view.result->updatedAt.empty()) text.detail = "updated at " + ShownDeviceText(view.result->updatedAt);
          break;
      }
      if (view.result->outcome() != station::Outcome::PassedOver) text.elapsed = app::ElapsedText(view.result->duration);
    } else if (!view.problem.empty()) {
      text.detail = Elided(DeviceTextForTerminal(view.problem), kMaxShownMessageChars);
    }
    if (station::HadItsTurn(state)) text.unplug = app::kUnplugToGoOn;
  }
  const std::string key = TallyKey(tile);
  const auto found = m_bySlot.find(key);
  if (!key.empty() && found != m_bySlot.end()) text.counters = CountersText(found->second, m_countingSince, now);
  else if (!key.empty()) text.counters = CountersText(Tally{}, m_countingSince, now);

  std::string sentence = text.name + ": " + text.word;
  for (const std::string* part : {&text.detail, &text.serial, &text.elapsed, &text.unplug, &text.counters}) {
    if (!part->empty()) sentence += ", " + *part;
  }
  text.accessibleName = sentence;
  return text;
}

std::string StationBoard::Title() const { return app::StationTitle(m_total); }

}  // namespace orvik::win32
