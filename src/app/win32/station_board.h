// What the station window shows, kept from the engine's events: the tiles
// (one per slot of the slot map in its order; without a map one per unit as
// it arrives, a tile reused once its unit is gone), the counters of each
// tile and of the station, and the latest results. Portable: the window
// (station_window.cpp) draws it, and tests drive it without a window.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/station.h"

namespace orvik::win32 {

// The most characters of device text (a serial, a port) a tile shows; the
// rest is cut off with "…". The tile draws with an ellipsis too, so nothing
// device-supplied ever widens it.
inline constexpr std::size_t kMaxShownDeviceChars = 40;
// The most characters of a failure's message on a tile and in the list.
inline constexpr std::size_t kMaxShownMessageChars = 120;
// The result list keeps this many rows, newest first.
inline constexpr std::size_t kMaxResultRows = 500;

// Device text as a window shows it: escaped by the project's one policy
// (DeviceTextForTerminal) and cut to `maxChars` characters with "…".
std::string ShownDeviceText(std::string_view bytes, std::size_t maxChars = kMaxShownDeviceChars);
// Any text cut to `maxChars` characters with "…" (never inside a character).
std::string Elided(std::string_view utf8, std::size_t maxChars);

struct Tile {
  std::string slot;                        // the slot map's name; empty without a map
  std::optional<station::UnitView> view;   // its unit; none: empty
};

// The lines a tile shows, top to bottom, and how.
struct TileText {
  std::string name;      // slot name, else port, else path
  std::string serial;    // "serial ...", "no serial", or empty for an empty tile
  std::string word;      // StateWord: large
  std::string detail;    // running: phase and percent; finished: the dialog's message (a failure's names its number)
  std::string elapsed;   // "00:04.125" while running or finished; empty otherwise
  std::string unplug;    // "unplug to go on" once it had its turn
  std::string counters;  // CountersText of its slot (or port)
  int barPerMille = -1;  // 0..1000 while running; -1: no bar
  std::uint32_t colour = 0;  // 0xRRGGBB
  // All of it in one sentence, for a screen reader (the tile's window text).
  std::string accessibleName;
};

// One row of the result list.
struct ResultRow {
  std::string time;    // "14:03:27", local
  std::string slot;    // slot name, else port
  std::string serial;  // shown device text
  std::string result;  // "PASS", "FAIL 1345: ...", "ALREADY DONE at ..."
};

// "3 passed, 1 failed, yield 75.0%, 120 units/h": a tally with its yield,
// and units per hour once a minute has passed since `since`.
std::string CountersText(const station::Tally& tally, std::chrono::system_clock::time_point since,
                         std::chrono::system_clock::time_point now);

// "FAIL 1345: Check write usb code reply fail(1345)", "PASS", "ALREADY DONE
// at TIME": a result list's cell.
std::string ResultText(const station::UnitView& view);
// A failed unit's line on its tile: its message when that names the
// failure's number (as the dialog's do), else "failure 1345: message".
std::string FailureText(const station::UnitResult& result);

class StationBoard {
 public:
  // Starts from what a station is now (its slots, units and counters).
  void Load(const station::StationSnapshot& snapshot);

  // The engine's events. Each returns the index of the tile it changed, or
  // nothing when no tile shows the unit (a unit on no slot of the map).
  std::optional<std::size_t> UnitChanged(const station::UnitView& view);
  std::optional<std::size_t> Finished(const station::UnitView& view, const station::Tally& total,
                                      const station::Tally& slot, const std::string& timeText);
  std::optional<std::size_t> Gone(const station::UnitView& view);
  void CountersReset(const station::StationSnapshot& snapshot);

  const std::vector<Tile>& Tiles() const { return m_tiles; }
  const station::Tally& Total() const { return m_total; }
  std::chrono::system_clock::time_point CountingSince() const { return m_countingSince; }
  // Newest first, at most kMaxResultRows.
  const std::deque<ResultRow>& Results() const { return m_results; }
  // Units being updated now, as the board has heard.
  unsigned Running() const;

  TileText Describe(std::size_t tile, std::chrono::system_clock::time_point now) const;
  // "ORVIK Station - 12 passed, 1 failed"
  std::string Title() const;

 private:
  std::optional<std::size_t> TileOf(const station::UnitView& view, bool place);
  std::string TallyKey(const Tile& tile) const;

  bool m_slotMap = false;
  std::vector<Tile> m_tiles;
  station::Tally m_total;
  std::map<std::string, station::Tally> m_bySlot;  // by slot name, or by port without a map
  std::chrono::system_clock::time_point m_countingSince{};
  std::deque<ResultRow> m_results;
};

}  // namespace orvik::win32
