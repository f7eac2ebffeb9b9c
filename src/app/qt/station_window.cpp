#include "app/qt/station_window.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMetaObject>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "app/common/station_words.h"
#include "app/qt/qt_dialog_window.h"
#include "log/device_text.h"
#include "log/log.h"

namespace orvik::qt {

namespace {

using station::RunState;
using station::UnitState;

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// A font `scale` times the window's, bold when asked: the state words and
// counters are read from two metres.
QFont Scaled(const QFont& base, double scale, bool bold) {
  QFont font = base;
  font.setPointSizeF(base.pointSizeF() * scale);
  font.setBold(bold);
  return font;
}

// Tiles per row: a square-ish grid, at most 8 wide.
int ColumnsFor(int tiles) {
  const int columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(std::max(tiles, 1)))));
  return std::clamp(columns, 1, 8);
}

}  // namespace

// --- ElidedLabel ------------------------------------------------------------

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setWordWrap(false);
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void ElidedLabel::SetFullText(const QString& text) {
  if (text == m_full) return;
  m_full = text;
  setToolTip(text);
  Elide();
}

QSize ElidedLabel::sizeHint() const { return QSize(0, fontMetrics().height()); }
QSize ElidedLabel::minimumSizeHint() const { return QSize(0, fontMetrics().height()); }

void ElidedLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  Elide();
}

void ElidedLabel::Elide() { setText(fontMetrics().elidedText(m_full, Qt::ElideRight, std::max(width(), 0))); }

// --- StationTile --------------------------------------------------------------

StationTile::StationTile(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::Box | QFrame::Plain);
  setLineWidth(2);
  setAutoFillBackground(true);
  // Tab reaches each tile, so a screen reader reads its name.
  setFocusPolicy(Qt::TabFocus);
  const QFont base = font();
  m_name.setFont(Scaled(base, 1.3, true));
  m_word.setFont(Scaled(base, 2.4, true));
  m_word.setAlignment(Qt::AlignCenter);
  m_word.setTextFormat(Qt::PlainText);
  m_detail.setFont(Scaled(base, 1.1, false));
  // A failure's message takes two lines at most and never widens the tile.
  m_detail.setTextFormat(Qt::PlainText);
  m_detail.setWordWrap(true);
  m_detail.setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_detail.setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  m_detail.setFixedHeight(QFontMetrics(m_detail.font()).lineSpacing() * 2 + 2);
  m_action.setFont(Scaled(base, 1.1, true));
  m_action.setAlignment(Qt::AlignCenter);
  m_elapsed.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  // The name beside it takes what is left, never the time's room.
  m_elapsed.setMinimumWidth(m_elapsed.fontMetrics().horizontalAdvance(QStringLiteral("00:00.000")) + 4);
  m_counters.setFont(Scaled(base, 1.1, false));
  m_bar.setRange(0, 1000);
  m_bar.setTextVisible(true);
  m_bar.setAlignment(Qt::AlignCenter);

  auto* top = new QHBoxLayout;
  top->addWidget(&m_name, 1);
  top->addWidget(&m_elapsed);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 6, 8, 6);
  layout->setSpacing(3);
  layout->addLayout(top);
  layout->addWidget(&m_serial);
  layout->addWidget(&m_word);
  layout->addWidget(&m_bar);
  layout->addWidget(&m_detail);
  layout->addWidget(&m_action);
  layout->addWidget(&m_counters);
  // The bar keeps its place when hidden, so tiles do not jump.
  QSizePolicy keep = m_bar.sizePolicy();
  keep.setRetainSizeWhenHidden(true);
  m_bar.setSizePolicy(keep);
  for (QWidget* line : {static_cast<QWidget*>(&m_detail), static_cast<QWidget*>(&m_action)}) {
    QSizePolicy policy = line->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    line->setSizePolicy(policy);
  }
  const QFontMetrics metrics(m_word.font());
  setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("UPDATING")) + 24);
  m_bar.hide();
  m_action.hide();
}

void StationTile::Show(const TileText& text) {
  if (text.colour != m_text.colour || m_text.word.empty()) {
    // Dark text on every state's colour, whatever the desktop's theme.
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor(static_cast<QRgb>(text.colour)));
    colours.setColor(QPalette::WindowText, Qt::black);
    setPalette(colours);
  }
  m_name.SetFullText(FromUtf8(text.name));
  m_serial.SetFullText(text.serial.empty() ? QString() : QStringLiteral("Serial ") + FromUtf8(text.serial));
  if (text.word != m_text.word) m_word.setText(FromUtf8(text.word));
  m_bar.setVisible(text.bar);
  if (text.bar) {
    m_bar.setValue(text.perMille);
    m_bar.setFormat(FromUtf8(text.phase));
  }
  if (text.detail != m_text.detail) {
    m_detail.setText(FromUtf8(text.detail));
    m_detail.setToolTip(FromUtf8(text.detail));
  }
  if (text.action != m_text.action) m_action.setText(FromUtf8(text.action));
  m_action.setVisible(!text.action.empty());
  if (text.elapsed != m_text.elapsed) m_elapsed.setText(FromUtf8(text.elapsed));
  m_counters.SetFullText(FromUtf8(text.counters));
  if (text.accessibleName != m_text.accessibleName) setAccessibleName(FromUtf8(text.accessibleName));
  m_text = text;
}

// --- StationWindow ------------------------------------------------------------

StationWindow::StationWindow(StationWindowSettings settings)
    : QWidget(nullptr),
      m_settings(std::move(settings)),
      m_start(QStringLiteral("&Start")),
      m_stop(QStringLiteral("S&top")),
      m_reset(QStringLiteral("&Reset counters...")),
      m_parallelLabel(QStringLiteral("&Parallel:")),
      m_mcu(QStringLiteral("MCU")),
      m_usb(QStringLiteral("USB")),
      m_log(QStringLiteral("Log")),
      m_holdNotice([this](const std::string& notHeld) { SetStatus(notHeld); }) {
  setWindowTitle(FromUtf8(app::StationTitle(m_total)));
  setWindowIcon(ProgramIcon());
  QFont base = font();
  base.setPointSizeF(std::max(base.pointSizeF(), 11.0));
  setFont(base);

  m_totals.setFont(Scaled(base, 1.8, true));
  m_totals.setTextFormat(Qt::PlainText);
  m_totals.setAccessibleName(QStringLiteral("Station counters"));
  m_status.setTextFormat(Qt::PlainText);
  m_status.setWordWrap(true);
  m_status.setFont(Scaled(base, 1.15, true));
  m_status.setAccessibleName(QStringLiteral("Station status"));
  m_where.setTextFormat(Qt::PlainText);
  m_where.setWordWrap(true);

  m_parallel.setRange(1, static_cast<int>(station::kMaxParallel));
  m_parallel.setValue(static_cast<int>(std::clamp(m_settings.parallel, 1u, station::kMaxParallel)));
  m_parallel.setAccessibleName(QStringLiteral("Units updated at once"));
  m_parallelLabel.setBuddy(&m_parallel);
  m_mcu.setChecked(m_settings.options.mcu);
  m_usb.setChecked(m_settings.options.usb);
  m_log.setChecked(m_settings.options.verboseLog);
  m_mcu.setVisible(m_settings.advMode);
  m_usb.setVisible(m_settings.advMode);
  m_log.setVisible(m_settings.advMode);

  m_results.setColumnCount(4);
  m_results.setHeaderLabels({QStringLiteral("Time"), QStringLiteral("Slot"), QStringLiteral("Serial"),
                             QStringLiteral("Result")});
  m_results.setRootIsDecorated(false);
  m_results.setUniformRowHeights(true);
  m_results.setTextElideMode(Qt::ElideRight);
  m_results.setAccessibleName(QStringLiteral("Latest results"));
  m_results.header()->setStretchLastSection(true);
  m_results.setMinimumHeight(QFontMetrics(base).height() * 7);

  m_grid = new QWidget;
  m_gridLayout = new QGridLayout(m_grid);
  m_gridLayout->setSpacing(6);
  m_scroll.setWidget(m_grid);
  m_scroll.setWidgetResizable(true);
  m_scroll.setFrameShape(QFrame::NoFrame);

  auto* controls = new QHBoxLayout;
  controls->addWidget(&m_start);
  controls->addWidget(&m_stop);
  controls->addSpacing(12);
  controls->addWidget(&m_parallelLabel);
  controls->addWidget(&m_parallel);
  controls->addWidget(&m_mcu);
  controls->addWidget(&m_usb);
  controls->addWidget(&m_log);
  controls->addStretch(1);
  controls->addWidget(&m_reset);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(controls);
  layout->addWidget(&m_totals);
  layout->addWidget(&m_where);
  layout->addWidget(&m_scroll, 3);
  layout->addWidget(&m_status);
  layout->addWidget(&m_results, 1);

  std::string where = "Record: " + (m_settings.recordShown.empty() ? std::string("none") : m_settings.recordShown);
  where += "    Slots: " + (m_settings.slotsFile.empty()
                                ? std::string("every unit as it arrives")
                                : m_settings.slotsFile + " (" + std::to_string(m_settings.slots.size()) + ")");
  if (!m_settings.logDir.empty()) where += "    Unit logs: " + m_settings.logDir;
  if (m_settings.count) where += "    Ends after " + std::to_string(*m_settings.count) + " units";
  m_where.setText(FromUtf8(where));

  for (const std::string& slot : m_settings.slots) AddTile(slot);
  LayOutGrid();

  connect(&m_start, &QPushButton::clicked, this, [this] {
    if (m_station != nullptr) m_station->Start();
  });
  connect(&m_stop, &QPushButton::clicked, this, [this] {
    if (m_station != nullptr) m_station->Stop();
  });
  connect(&m_reset, &QPushButton::clicked, this, &StationWindow::AskResetCounters);
  connect(&m_parallel, &QSpinBox::valueChanged, this, [this](int value) {
    if (m_station != nullptr) m_station->SetParallel(static_cast<unsigned>(value));
  });
  for (QCheckBox* box : {&m_mcu, &m_usb, &m_log}) {
    connect(box, &QCheckBox::toggled, this, [this] {
      if (m_station == nullptr) return;
      m_station->SetOptions(
          station::UnitOptions{.mcu = m_mcu.isChecked(), .usb = m_usb.isChecked(), .verboseLog = m_log.isChecked()});
    });
  }
  m_refresh.setSingleShot(true);
  connect(&m_refresh, &QTimer::timeout, this, [this] { Redraw(true); });
  connect(&m_clock, &QTimer::timeout, this, [this] {
    for (const auto& tile : m_tiles) tile->dirty = true;
    Redraw(true);
    if (m_closeRequested) ServeCloseRequest();
  });
  m_clock.start(1000);

  // Idle sleep held off for the station's whole life, requests to end the
  // program deferred to the window.
  m_stationHold = std::make_unique<app::UpdateHold>(app::HoldScope::Station, &m_holdNotice);
  ShowControls();
  Refresh();
  resize(QFontMetrics(base).horizontalAdvance(QLatin1Char('M')) * 70, QFontMetrics(base).height() * 40);
}

StationWindow::~StationWindow() {
  m_tiles.clear();
  m_updateHold.reset();
  m_stationHold.reset();
}

station::Poster StationWindow::Poster() {
  return [this, queue = m_posted](std::function<void()> task) {
    bool wake = false;
    {
      std::lock_guard lock(queue->mutex);
      queue->tasks.push_back(std::move(task));
      wake = !queue->wakePending;
      queue->wakePending = true;
    }
    // One wake-up serves every task queued before it runs.
    if (wake) QMetaObject::invokeMethod(this, "RunPosted", Qt::QueuedConnection);
  };
}

void StationWindow::RunPosted() {
  const auto begin = std::chrono::steady_clock::now();
  for (int served = 0;; ++served) {
    std::function<void()> task;
    {
      std::lock_guard lock(m_posted->mutex);
      if (m_posted->tasks.empty()) {
        m_posted->wakePending = false;
        return;
      }
      if (served == kMaxTasksPerWake || std::chrono::steady_clock::now() - begin > kSlice) {
        // The rest after the events that came meanwhile (input, paint).
        QMetaObject::invokeMethod(this, "RunPosted", Qt::QueuedConnection);
        return;
      }
      task = std::move(m_posted->tasks.front());
      m_posted->tasks.pop_front();
    }
    // Without the lock: the engine may post meanwhile; in order, after this.
    task();
  }
}

void StationWindow::Attach(station::Station& station) {
  m_station = &station;
  const station::StationSnapshot snapshot = station.Snapshot();
  m_state = snapshot.state;
  m_total = snapshot.total;
  m_bySlot = snapshot.bySlot;
  m_countingSince = snapshot.countingSince;
  for (const station::UnitView& view : snapshot.units) UnitChanged(view);
  ShowControls();
  Refresh();
}

bool StationWindow::Busy() const {
  if (m_updateHold != nullptr) return true;
  if (m_station != nullptr && m_station->Busy()) return true;
  return std::any_of(m_tiles.begin(), m_tiles.end(),
                     [](const auto& tile) { return tile->view && tile->view->state == UnitState::Running; });
}

void StationWindow::ShowControls() {
  const bool running = m_state == RunState::Running;
  m_start.setEnabled(m_state != RunState::Running);
  m_stop.setEnabled(running);
  const bool unlocked = !m_settings.locked;
  m_parallel.setEnabled(unlocked);
  m_mcu.setEnabled(unlocked);
  m_usb.setEnabled(unlocked);
  m_log.setEnabled(unlocked);
  m_reset.setEnabled(unlocked);
}

void StationWindow::SetStatus(const std::string& text) { m_status.setText(FromUtf8(text)); }

StationTile* StationWindow::FindTile(std::uint64_t unit) {
  for (const auto& tile : m_tiles) {
    if (tile->unit == unit) return tile.get();
  }
  return nullptr;
}

StationTile& StationWindow::AddTile(const std::string& key) {
  auto tile = std::make_unique<StationTile>(m_grid);
  tile->key = key;
  tile->dirty = true;
  m_tiles.push_back(std::move(tile));
  return *m_tiles.back();
}

StationTile& StationWindow::TileFor(const station::UnitView& view) {
  if (StationTile* tile = FindTile(view.unit.id)) return *tile;
  const std::string key = TileName(view.unit);
  StationTile* chosen = nullptr;
  if (!m_settings.slots.empty()) {
    // A slot map: the slot's own tile.
    for (const auto& tile : m_tiles) {
      if (tile->key == view.unit.slot) chosen = tile.get();
    }
  } else {
    // The free tile of the same port first, then any free tile.
    for (const auto& tile : m_tiles) {
      if (tile->unit == 0 && tile->key == key) chosen = tile.get();
    }
    for (const auto& tile : m_tiles) {
      if (chosen == nullptr && tile->unit == 0) chosen = tile.get();
    }
  }
  if (chosen == nullptr) {
    // Laid out with the next redraw: a burst of arrivals costs one layout.
    chosen = &AddTile(key);
    m_layoutPending = true;
  }
  if (m_settings.slots.empty()) chosen->key = key;
  chosen->unit = view.unit.id;
  return *chosen;
}

void StationWindow::LayOutGrid() {
  const int columns = ColumnsFor(TileCount());
  for (int i = 0; i < TileCount(); ++i) {
    m_gridLayout->addWidget(m_tiles[static_cast<std::size_t>(i)].get(), i / columns, i % columns);
    m_tiles[static_cast<std::size_t>(i)]->show();
  }
  for (int c = 0; c < 8; ++c) m_gridLayout->setColumnStretch(c, c < columns ? 1 : 0);
  // The tab order follows the grid.
  QWidget* previous = &m_reset;
  for (const auto& tile : m_tiles) {
    setTabOrder(previous, tile.get());
    previous = tile.get();
  }
  setTabOrder(previous, &m_results);
}

void StationWindow::ScheduleRefresh() {
  if (!m_refresh.isActive()) m_refresh.start(kRefreshMs);
}

station::Tally StationWindow::SlotTally(const std::string& key) const {
  const auto found = m_bySlot.find(key);
  return found == m_bySlot.end() ? station::Tally{} : found->second;
}

void StationWindow::Refresh() { Redraw(false); }

void StationWindow::Redraw(bool sliced) {
  m_refresh.stop();
  if (m_layoutPending) {
    m_layoutPending = false;
    LayOutGrid();
  }
  const auto now = std::chrono::system_clock::now();
  const auto begin = std::chrono::steady_clock::now();
  for (const auto& tile : m_tiles) {
    if (!tile->dirty) continue;
    if (sliced && std::chrono::steady_clock::now() - begin > kSlice) {
      // The rest once the events that came meanwhile are served.
      m_refresh.start(0);
      break;
    }
    tile->dirty = false;
    const station::UnitView* view = tile->unit != 0 && tile->view ? &*tile->view : nullptr;
    tile->Show(TileTextFor(tile->key, view, SlotTally(tile->key), m_countingSince, now));
  }
  std::string totals = "Passed " + std::to_string(m_total.passed) + "    Failed " + std::to_string(m_total.failed) +
                       "    Yield " + app::YieldText(m_total);
  if (const std::optional<double> perHour = app::UnitsPerHour(m_total, m_countingSince, now)) {
    totals += "    " + std::to_string(static_cast<long long>(std::lround(*perHour))) + " units/h";
  }
  if (m_total.passedOver != 0) totals += "    Already done " + std::to_string(m_total.passedOver);
  const QString text = FromUtf8(totals);
  if (m_totals.text() != text) m_totals.setText(text);
  const QString title = FromUtf8(app::StationTitle(m_total));
  if (windowTitle() != title) setWindowTitle(title);
}

// --- Events -------------------------------------------------------------------

void StationWindow::UnitChanged(const station::UnitView& view) {
  StationTile& tile = TileFor(view);
  tile.view = view;
  tile.dirty = true;
  ScheduleRefresh();
}

void StationWindow::Finished(const station::UnitView& view, const station::Tally& total, const station::Tally& slot) {
  m_total = total;
  m_bySlot[TileName(view.unit)] = slot;
  UnitChanged(view);
  AddResult(view);
}

void StationWindow::AddResult(const station::UnitView& view) {
  auto* item = new QTreeWidgetItem;
  item->setText(0, QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")));
  item->setText(1, FromUtf8(TileName(view.unit)));
  item->setText(2, FromUtf8(DeviceTextForTerminal(view.unit.serial)));
  item->setText(3, FromUtf8(ResultText(view)));
  item->setForeground(3, QColor(view.state == UnitState::Failed ? 0xB00000 : 0x000000));
  m_results.insertTopLevelItem(0, item);
  while (m_results.topLevelItemCount() > kMaxResults) delete m_results.takeTopLevelItem(kMaxResults);
}

void StationWindow::Gone(const station::UnitView& view) {
  if (StationTile* tile = FindTile(view.unit.id)) {
    tile->unit = 0;
    tile->view.reset();
    tile->dirty = true;
    ScheduleRefresh();
  }
}

void StationWindow::Waiting() {
  if (m_state == RunState::Running) SetStatus("Waiting for units: connect them; each is updated as it arrives.");
}

void StationWindow::StateChanged(RunState state) {
  m_state = state;
  ShowControls();
  switch (state) {
    case RunState::Running:
      SetStatus("Running: each unit is updated as it arrives, at most " + std::to_string(m_parallel.value()) +
                " at once.");
      break;
    case RunState::Stopping:
      SetStatus("Stopping: no unit starts; the units being updated finish.");
      break;
    case RunState::Stopped:
      break;
  }
}

void StationWindow::Ended(const station::StationSummary& summary) {
  m_state = RunState::Stopped;
  m_total = summary.tally;
  ShowControls();
  switch (summary.endedBy) {
    case station::EndReason::Stopped:
      SetStatus("Stopped: press Start to go on.");
      break;
    case station::EndReason::CountReached:
      SetStatus("Done: " + std::to_string(summary.tally.Finished()) + " units had their turn.");
      break;
    case station::EndReason::RecordFailure:
      SetStatus("Stopped: the record " + m_settings.recordShown + " did not take a unit's result.");
      break;
    case station::EndReason::StartupFailure:
      SetStatus("Stopped: the devices cannot be opened one by one.");
      break;
  }
  ScheduleRefresh();
  if (m_closeWhenEnded || m_closeRequested) ServeCloseRequest();
}

void StationWindow::Said(const station::Notice& notice) {
  std::string text;
  if (notice.kind == station::Notice::Kind::SharedSerial) {
    text = "Several units carry the serial " + DeviceTextForTerminal(notice.serial) + ": " + notice.text;
  } else if (notice.unit.id != 0) {
    text = TileName(notice.unit) + " (serial " + DeviceTextForTerminal(notice.unit.serial) + "): " +
           DeviceTextForTerminal(notice.text);
  } else {
    text = DeviceTextForTerminal(notice.text);
  }
  SetStatus(text);
  LogLine("Station: " + text);
}

void StationWindow::CountersReset(const station::StationSnapshot& snapshot) {
  m_total = snapshot.total;
  m_bySlot = snapshot.bySlot;
  m_countingSince = snapshot.countingSince;
  for (const auto& tile : m_tiles) tile->dirty = true;
  Refresh();
  SetStatus("The counters were reset; the record is untouched.");
}

void StationWindow::HoldMachine() {
  if (!m_updateHold) m_updateHold = std::make_unique<app::UpdateHold>(app::HoldScope::Update, &m_holdNotice);
}

void StationWindow::LetGo() {
  m_updateHold.reset();
  if (m_closeRequested) ServeCloseRequest();
}

// --- Operator -------------------------------------------------------------------

void StationWindow::AskResetCounters() {
  if (m_settings.locked || m_station == nullptr) return;
  bool yes = false;
  if (m_confirmHook) {
    yes = m_confirmHook();
  } else {
    QMessageBox box(QMessageBox::Question, windowTitle(),
                    QStringLiteral("Start the counters again at zero? The record is left as it is."),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    yes = box.exec() == QMessageBox::Yes;
  }
  if (yes) m_station->ResetCounters();
}

void StationWindow::RequestClose() {
  m_closeRequested = true;
  if (m_station != nullptr) m_station->Stop();
  ServeCloseRequest();
}

void StationWindow::ServeCloseRequest() {
  if (Busy() || m_state != RunState::Stopped) {
    if (m_closeRequested) SetStatus("Ending once the units being updated are done.");
    return;
  }
  m_closeRequested = false;
  m_closeWhenEnded = false;
  m_clock.stop();
  // Closed while shown, so that the application sees its last window close.
  QWidget::close();
}

void StationWindow::closeEvent(QCloseEvent* event) {
  if (Busy()) {
    event->ignore();
    SetStatus("Units are being updated: the window cannot be closed until they are done. Press Stop to take no "
              "more units.");
    return;
  }
  if (m_station != nullptr && m_state != RunState::Stopped) {
    // No unit starts once stopped; the window ends when the engine says so.
    event->ignore();
    m_closeWhenEnded = true;
    m_station->Stop();
    return;
  }
  event->accept();
}

void StationWindow::keyPressEvent(QKeyEvent* event) {
  // Delete on a waiting unit's tile: it is not run, and awaits its removal.
  if (event->key() == Qt::Key_Delete && !m_settings.locked && m_station != nullptr) {
    for (const auto& tile : m_tiles) {
      if (tile.get() == focusWidget() && tile->unit != 0) m_station->Skip(tile->unit);
    }
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace orvik::qt
