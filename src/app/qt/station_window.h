// The station window: a grid of slot tiles over the station engine, with
// the station's counters in the title and under the grid the latest results.
//
// One tile per slot of the slot map, in its order, an empty slot shown
// empty; without a map one per unit as it arrives, a tile reused once its
// unit is gone (by preference the tile of the same port). Each tile shows
// its name, the unit's serial (escaped, elided, never widening the grid),
// the state as a large word on the state's colour, a bar with the
// controller being written, the elapsed time, a finished unit's result with
// "unplug to go on", and the slot's counters.
//
// Threads. The window lives on the user-interface thread and never waits on
// a unit: the engine's events come through the Poster (a queued call), and
// a tile is redrawn at most every kRefreshMs however often its unit reports.
// The one synchronous call, HoldMachine, only takes the update's hold.
//
// Closing: refused with a sentence while units are being updated. When
// none is, a close stops the station and the window ends once the engine
// says it has ended. RequestClose (a signal) stops the station at once and
// ends the window once the units in flight are done.
#pragma once

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/common/update_hold.h"
#include "app/qt/station_tile_text.h"
#include "station/station.h"

class QGridLayout;
class QMessageBox;

namespace orvik::qt {

// What the window shows besides the engine's state.
struct StationWindowSettings {
  std::vector<std::string> slots;  // the slot map's names in its order; empty without one
  std::string slotsFile;           // the slot map's file, as given
  std::string recordShown;         // the record, as shown; empty without one
  std::string logDir;              // --log-dir, as given
  unsigned parallel = station::kDefaultParallel;
  station::UnitOptions options;
  std::optional<unsigned> count;   // --station=COUNT
  bool advMode = false;            // the MCU, USB and Log boxes
  bool locked = false;             // Start and Stop only
};

// A label that shows as much of its text as fits and ends it with "...":
// never asks for more width than the grid gives it. The whole text is its
// tooltip.
class ElidedLabel final : public QLabel {
 public:
  explicit ElidedLabel(QWidget* parent = nullptr);
  void SetFullText(const QString& text);
  const QString& FullText() const { return m_full; }
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Elide();
  QString m_full;
};

// One slot's tile.
class StationTile final : public QFrame {
 public:
  explicit StationTile(QWidget* parent = nullptr);
  void Show(const TileText& text);
  const TileText& Text() const { return m_text; }
  // The unit shown; 0 when the tile is free.
  std::uint64_t unit = 0;
  // The tile's slot (a slot map) or the port it was last given; fixed in a
  // slot map.
  std::string key;
  std::optional<station::UnitView> view;  // the latest, while `unit` is set
  bool dirty = false;

 private:
  TileText m_text;
  ElidedLabel m_name;
  ElidedLabel m_serial;
  QLabel m_word;
  QProgressBar m_bar;
  QLabel m_detail;  // two lines, wrapped; the rest in its tooltip
  QLabel m_action;
  QLabel m_elapsed;
  ElidedLabel m_counters;
};

class StationWindow final : public QWidget, public station::StationEvents, public station::StationHost {
  Q_OBJECT

 public:
  explicit StationWindow(StationWindowSettings settings);
  ~StationWindow() override;
  StationWindow(const StationWindow&) = delete;
  StationWindow& operator=(const StationWindow&) = delete;

  // The engine's poster: each task runs on this window's thread, in order.
  // The tasks wait in a queue of the window's own, under its lock; only a
  // wake-up travels through Qt's event queue (which the thread checker
  // cannot see into). Must not be called once the window is gone: the
  // station is destroyed first.
  station::Poster Poster();
  // The station the buttons drive; must outlive the window's use of it (the
  // station is destroyed before the window). Reads its snapshot.
  void Attach(station::Station& station);

  // A request to end the program from outside (a signal): the station
  // stops, and the window closes once no unit is being updated.
  void RequestClose();
  // Whether units are being updated (closing is refused).
  bool Busy() const;
  // Whether the hold of a unit's update is taken.
  bool Holding() const { return m_updateHold != nullptr; }

  // How often tiles and counters are redrawn at most.
  static constexpr int kRefreshMs = 50;
  // The engine's tasks, and the tiles' redraws, run in one go for at most
  // this long or this many; the rest come after the window's other events,
  // so that a burst (64 units arriving or ending at once) never holds up
  // input for long.
  static constexpr std::chrono::milliseconds kSlice{6};
  static constexpr int kMaxTasksPerWake = 256;
  // The latest results kept in the list.
  static constexpr int kMaxResults = 500;

  // --- StationEvents --------------------------------------------------------
  void UnitChanged(const station::UnitView& view) override;
  void Finished(const station::UnitView& view, const station::Tally& total, const station::Tally& slot) override;
  void Gone(const station::UnitView& view) override;
  void Waiting() override;
  void StateChanged(station::RunState state) override;
  void Ended(const station::StationSummary& summary) override;
  void Said(const station::Notice& notice) override;
  void CountersReset(const station::StationSnapshot& snapshot) override;
  // --- StationHost ----------------------------------------------------------
  void HoldMachine() override;
  void LetGo() override;

  // --- For tests and the benchmark ------------------------------------------
  int TileCount() const { return static_cast<int>(m_tiles.size()); }
  StationTile& Tile(int index) { return *m_tiles.at(static_cast<std::size_t>(index)); }
  QTreeWidget& Results() { return m_results; }
  QLabel& Status() { return m_status; }
  QLabel& Totals() { return m_totals; }
  QPushButton& StartButton() { return m_start; }
  QPushButton& StopButton() { return m_stop; }
  QPushButton& ResetButton() { return m_reset; }
  QSpinBox& ParallelBox() { return m_parallel; }
  QCheckBox& McuBox() { return m_mcu; }
  QCheckBox& UsbBox() { return m_usb; }
  QCheckBox& LogBox() { return m_log; }
  station::RunState State() const { return m_state; }
  const station::Tally& Total() const { return m_total; }
  // Answers the reset's confirmation without showing it (tests).
  void SetConfirmHook(std::function<bool()> hook) { m_confirmHook = std::move(hook); }
  // Redraws every tile and counter now.
  void Refresh();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // Runs the tasks posted so far (user-interface thread).
  Q_INVOKABLE void RunPosted();

  // Redraws the tiles changed since the last redraw, and the counters;
  // `sliced`: for at most kSlice, the rest next.
  void Redraw(bool sliced);
  StationTile& TileFor(const station::UnitView& view);
  StationTile* FindTile(std::uint64_t unit);
  StationTile& AddTile(const std::string& key);
  void LayOutGrid();
  void ScheduleRefresh();
  void ShowControls();
  void SetStatus(const std::string& text);
  void AskResetCounters();
  void AddResult(const station::UnitView& view);
  void ServeCloseRequest();
  station::Tally SlotTally(const std::string& key) const;

  StationWindowSettings m_settings;
  station::Station* m_station = nullptr;  // not owned
  station::RunState m_state = station::RunState::Stopped;
  station::Tally m_total;
  std::map<std::string, station::Tally> m_bySlot;
  std::chrono::system_clock::time_point m_countingSince = std::chrono::system_clock::now();

  // The tiles are children of the grid; the window deletes them first.
  std::vector<std::unique_ptr<StationTile>> m_tiles;
  QScrollArea m_scroll;
  QWidget* m_grid = nullptr;            // owned by m_scroll
  QGridLayout* m_gridLayout = nullptr;  // owned by m_grid
  QLabel m_totals;
  QLabel m_status;
  QLabel m_where;
  QPushButton m_start;
  QPushButton m_stop;
  QPushButton m_reset;
  QLabel m_parallelLabel;
  QSpinBox m_parallel;
  QCheckBox m_mcu;
  QCheckBox m_usb;
  QCheckBox m_log;
  QTreeWidget m_results;
  QTimer m_refresh;  // single shot: a redraw pending
  QTimer m_clock;    // each second: elapsed times and units per hour

  bool m_layoutPending = false;   // tiles added since the grid was laid out
  bool m_closeRequested = false;  // a signal asked; close once no unit runs
  bool m_closeWhenEnded = false;  // a close while idle: stopped, closing on Ended
  std::function<bool()> m_confirmHook;

  // The engine's tasks on their way to this thread.
  struct PostQueue {
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
    bool wakePending = false;  // a RunPosted is queued and has not taken the tasks yet
  };
  std::shared_ptr<PostQueue> m_posted = std::make_shared<PostQueue>();

  std::unique_ptr<app::UpdateHold> m_stationHold;  // the window's life
  std::unique_ptr<app::UpdateHold> m_updateHold;   // while units are updated
  app::HoldNotice m_holdNotice;
};

}  // namespace orvik::qt
