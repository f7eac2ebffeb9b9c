#include "app/win32/station_window.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>

#include "app/common/app_common.h"
#include "app/common/station_words.h"
#include "app/common/update_hold.h"
#include "app/win32/dialog_host.h"
#include "app/win32/station_board.h"
#include "app/cli/station_setup.h"
#include "image/resources.h"
#include "log/device_text.h"
#include "log/log.h"
#include "record/record.h"
#include "station/slots.h"
#include "station/station.h"
#include "station/unit_log.h"

namespace orvik::win32 {
namespace {

using station::RunState;
using station::UnitView;
using Clock = std::chrono::system_clock;

constexpr wchar_t kWindowClass[] = L"OrvikStationWindow";
constexpr wchar_t kGridClass[] = L"OrvikStationGrid";
constexpr wchar_t kTileClass[] = L"OrvikStationTile";
constexpr char kCaption[] = "ORVIK Station";

// Posted when the engine has queued tasks for the window.
constexpr UINT kRunTasksMessage = WM_APP + 1;
// Once a second: counters per hour move with the clock.
constexpr UINT_PTR kClockTimer = 1;
constexpr UINT kClockPeriodMs = 1000;

enum ControlId : int {
  kStart = 100,
  kStop,
  kParallelLabel,
  kParallel,
  kReset,
  kMcu,
  kUsb,
  kLog,
  kCounters,
  kInfo,
  kStatus,
  kGrid,
  kResultsLabel,
  kResults,
  kFirstTile = 1000,
};

// Layout in pixels at 96 DPI; scaled to the window's DPI.
constexpr int kMargin = 8;
constexpr int kRowHeight = 28;
constexpr int kTileWidth = 250;
constexpr int kTileHeight = 184;
constexpr int kTileGap = 8;
constexpr int kResultsHeight = 150;

// The result list's columns, widths at 96 DPI.
struct ResultColumn {
  const wchar_t* name;
  int width;
};
constexpr ResultColumn kResultColumns[] = {{L"Time", 80}, {L"Slot", 110}, {L"Serial", 200}, {L"Result", 560}};

std::wstring Wide(const std::string& utf8) { return Widen(utf8); }

COLORREF FromRgb(std::uint32_t rgb) { return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

// "14:03:27", local time.
std::string ClockText(Clock::time_point when) {
  const std::time_t t = Clock::to_time_t(when);
  std::tm local{};
  if (localtime_s(&local, &t) != 0) return "--:--:--";
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

// The window's DPI: GetDpiForWindow where the system has it (Windows 10),
// else the screen's.
UINT WindowDpi(HWND hwnd) {
  using GetDpi = UINT(WINAPI*)(HWND);
  static const auto getDpi = reinterpret_cast<GetDpi>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpi != nullptr && hwnd != nullptr) {
    if (const UINT dpi = getDpi(hwnd); dpi != 0) return dpi;
  }
  const HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

struct FontDeleter {
  void operator()(HFONT font) const {
    if (font != nullptr) DeleteObject(font);
  }
};
using Font = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

// The system's message font face at `points`, for `dpi`.
Font MakeFont(UINT dpi, int points, bool bold) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  LOGFONTW font{};
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    font = metrics.lfMessageFont;
  } else {
    lstrcpynW(font.lfFaceName, L"Tahoma", LF_FACESIZE);
  }
  font.lfHeight = -MulDiv(points, static_cast<int>(dpi), 72);
  font.lfWidth = 0;
  font.lfWeight = bold ? FW_BOLD : FW_NORMAL;
  font.lfQuality = CLEARTYPE_QUALITY;
  return Font(CreateFontIndirectW(&font));
}

// The engine's tasks for the window, and the wake-up that tells it so. The
// engine's threads push; the user-interface thread runs them. After Close
// (the window is gone) a task is dropped at once.
class TaskQueue {
 public:
  void Open(HWND hwnd) {
    std::lock_guard lock(m_mutex);
    m_hwnd = hwnd;
  }
  void Close() {
    std::deque<std::function<void()>> dropped;
    {
      std::lock_guard lock(m_mutex);
      m_hwnd = nullptr;
      dropped.swap(m_tasks);
    }
    // Destroyed outside the lock: a task may own what wakes a waiting engine.
  }
  void Post(std::function<void()> task) {
    std::unique_lock lock(m_mutex);
    if (m_hwnd == nullptr) {
      lock.unlock();
      return;  // `task` is destroyed here, unrun
    }
    const bool wake = m_tasks.empty();
    m_tasks.push_back(std::move(task));
    // One message wakes the window for every task queued before it runs.
    if (wake) PostMessageW(m_hwnd, kRunTasksMessage, 0, 0);
  }
  // User-interface thread: runs the tasks queued so far.
  void Run() {
    std::deque<std::function<void()>> tasks;
    {
      std::lock_guard lock(m_mutex);
      tasks.swap(m_tasks);
    }
    for (std::function<void()>& task : tasks) {
      // A task may end the window (the station ended after a close was
      // asked for): the rest are for a window that has gone.
      if (Closed()) return;
      task();
    }
  }
  bool Closed() {
    std::lock_guard lock(m_mutex);
    return m_hwnd == nullptr;
  }

 private:
  std::mutex m_mutex;
  HWND m_hwnd = nullptr;                     // guarded by m_mutex
  std::deque<std::function<void()>> m_tasks;  // guarded by m_mutex
};

// What the station is given at start-up and what must outlive it: the
// device set the units come from, and the command-line station's set-up.
struct StationStart {
  app::DeviceChoice device;
  std::unique_ptr<cli::StationSetup> setup;
};

// Why the station cannot start, or nothing. Fills `start`.
std::optional<std::string> PrepareStation(const std::vector<std::string>& arguments, StationStart& start) {
  start.device = app::ChooseDevice(arguments);
  if (!start.device.device) return start.device.error;
  start.setup = cli::PrepareStationWindow(arguments, ProgramResources(), start.device.emulated);
  if (!start.setup->error.empty()) return "The station cannot start: " + start.setup->error + ".";
  return std::nullopt;
}

class StationWindow final : public station::StationEvents, public station::StationHost {
 public:
  StationWindow(HINSTANCE instance, StationStart& start, std::vector<std::string> arguments)
      : m_instance(instance), m_device(start.device), m_setup(*start.setup), m_arguments(std::move(arguments)) {}
  StationWindow(const StationWindow&) = delete;
  StationWindow& operator=(const StationWindow&) = delete;
  ~StationWindow() override { m_queue->Close(); }

  bool Create();
  int Run();

  // --- StationEvents: on the user-interface thread, through the queue. ---
  void UnitChanged(const UnitView& view) override { MarkTile(m_board.UnitChanged(view)); }
  void Finished(const UnitView& view, const station::Tally& total, const station::Tally& slot) override;
  void Gone(const UnitView& view) override { MarkTile(m_board.Gone(view)); }
  void StateChanged(RunState state) override;
  void Ended(const station::StationSummary& summary) override;
  void Said(const station::Notice& notice) override;
  void CountersReset(const station::StationSnapshot& snapshot) override;

  // --- StationHost: on the user-interface thread, through the queue. ---
  void HoldMachine() override;
  void LetGo() override { m_unitHold.reset(); }

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK GridProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK TileProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  int Scale(int pixels) const { return MulDiv(pixels, static_cast<int>(m_dpi), 96); }
  void MakeControls();
  void MakeFonts();
  void Layout();
  void LayoutTiles();
  // A tile to be drawn again; drawn (and named) by FlushTiles, once for
  // every batch of events, so that 64 units' progress costs one paint per
  // tile per batch.
  void MarkTile(std::optional<std::size_t> tile);
  void MarkAllTiles();
  // Repaints the marked tiles. Their accessible names follow a change of
  // unit or state at once, and everything else (percent, elapsed time) with
  // `names`, once a second: a screen reader is not flooded.
  void FlushTiles(bool names);
  void EnsureTiles();
  void PaintTile(HWND tile, std::size_t index);
  void ShowCounters();
  void ShowButtons();
  void ShowInfo();
  void SetStatus(const std::string& text);
  void AddResultRow(const ResultRow& row);
  void OnCommand(int id, int code);
  // A request to close (close box, Alt+F4, Escape): refused with a sentence
  // while units are being updated.
  void RequestClose();
  // Delete on a waiting unit's tile: it is not run, and waits to be
  // unplugged. Not with --locked.
  void SkipTile(std::size_t index);
  bool Busy() const { return m_unitHold != nullptr || (m_station && m_station->Busy()); }
  station::UnitOptions BoxOptions() const;
  HWND Item(int id) const { return GetDlgItem(m_hwnd, id); }
  std::wstring TitleText() const { return Wide(m_board.Title()); }
  int MessageBoxText(const std::string& text, UINT type) {
    return MessageBoxW(m_hwnd, Wide(text).c_str(), TitleText().c_str(), type);
  }

  HINSTANCE m_instance;
  app::DeviceChoice& m_device;
  cli::StationSetup& m_setup;
  std::vector<std::string> m_arguments;
  HWND m_hwnd = nullptr;
  HWND m_grid = nullptr;
  HWND m_lastFocus = nullptr;  // the control that had the focus when the window was left
  std::vector<HWND> m_tiles;
  std::vector<bool> m_dirty;              // by tile: to be drawn again
  std::vector<std::string> m_namedAs;     // by tile: the unit and state its name was made for
  int m_scroll = 0;  // the grid's scroll position, in pixels
  UINT m_dpi = 96;
  Font m_uiFont, m_bigFont, m_tileNameFont, m_tileWordFont, m_tileTextFont;

  StationBoard m_board;
  RunState m_state = RunState::Stopped;
  bool m_closeWhenEnded = false;
  std::string m_endedText;

  app::HoldNotice m_holdNotice{[this](const std::string& text) {
    LogLine(text);
    SetStatus(text);
  }};
  std::unique_ptr<app::UpdateHold> m_stationHold;
  std::unique_ptr<app::UpdateHold> m_unitHold;
  std::shared_ptr<TaskQueue> m_queue = std::make_shared<TaskQueue>();
  // Last: destroyed first, while everything it calls is still there.
  std::unique_ptr<station::Station> m_station;
};

bool StationWindow::Create() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = m_instance;
  windowClass.hIcon = LoadIconW(m_instance, MAKEINTRESOURCEW(128));
  windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassExW(&windowClass);
  windowClass.lpfnWndProc = GridProc;
  windowClass.hIcon = nullptr;
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kGridClass;
  RegisterClassExW(&windowClass);
  windowClass.lpfnWndProc = TileProc;
  windowClass.hbrBackground = nullptr;
  windowClass.lpszClassName = kTileClass;
  RegisterClassExW(&windowClass);

  m_hwnd = CreateWindowExW(WS_EX_CONTROLPARENT | WS_EX_APPWINDOW, kWindowClass, Wide(kCaption).c_str(),
                           WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT, 800, 600, nullptr,
                           nullptr, m_instance, this);
  if (m_hwnd == nullptr) return false;
  m_dpi = WindowDpi(m_hwnd);
  MakeFonts();
  MakeControls();

  // The station: made stopped, shown as it is, then started at once.
  station::StationConfig config = m_setup.config;
  config.options = BoxOptions();
  config.arguments = m_arguments;
  m_queue->Open(m_hwnd);
  std::weak_ptr<TaskQueue> queue = m_queue;
  station::Poster poster = [queue](std::function<void()> task) {
    if (const std::shared_ptr<TaskQueue> open = queue.lock()) open->Post(std::move(task));
  };
  m_stationHold = std::make_unique<app::UpdateHold>(app::HoldScope::Station, &m_holdNotice);
  m_station = std::make_unique<station::Station>(*m_device.device, ProgramResources(), std::move(config),
                                                 std::move(poster), *this, *this);
  const station::StationSnapshot snapshot = m_station->Snapshot();
  m_board.Load(snapshot);
  m_state = snapshot.state;
  EnsureTiles();
  FlushTiles(true);
  SetWindowTextW(m_hwnd, TitleText().c_str());
  ShowCounters();
  ShowInfo();
  ShowButtons();
  if (!m_setup.recordNotice.empty()) SetStatus(m_setup.recordNotice);

  // The window's size: as much of the work area as a station wants.
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoW(MonitorFromWindow(m_hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor);
  const RECT& work = monitor.rcWork;
  const int width = std::min<int>(Scale(1100), work.right - work.left);
  const int height = std::min<int>(Scale(760), work.bottom - work.top);
  SetWindowPos(m_hwnd, nullptr, work.left + (work.right - work.left - width) / 2,
               work.top + (work.bottom - work.top - height) / 2, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(m_hwnd, SW_SHOWNORMAL);
  UpdateWindow(m_hwnd);
  SetTimer(m_hwnd, kClockTimer, kClockPeriodMs, nullptr);
  m_lastFocus = Item(kStart);
  SetFocus(m_lastFocus);  // moves to Stop once the station runs

  LogLine("Station: at most " + std::to_string(m_setup.options.parallel) + " units at once");
  m_station->Start();
  return true;
}

int StationWindow::Run() {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    // Tab, the mnemonics, Enter and Escape, as in a dialog.
    if (m_hwnd != nullptr && IsDialogMessageW(m_hwnd, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}

station::UnitOptions StationWindow::BoxOptions() const {
  // --no-mcu, --no-usb and --log, or the boxes they set at the start.
  station::UnitOptions options = m_setup.config.options;
  if (!m_setup.advMode || m_hwnd == nullptr || Item(kMcu) == nullptr) return options;
  options.mcu = IsDlgButtonChecked(m_hwnd, kMcu) == BST_CHECKED;
  options.usb = IsDlgButtonChecked(m_hwnd, kUsb) == BST_CHECKED;
  options.verboseLog = IsDlgButtonChecked(m_hwnd, kLog) == BST_CHECKED;
  return options;
}

void StationWindow::MakeFonts() {
  m_uiFont = MakeFont(m_dpi, 9, false);
  m_bigFont = MakeFont(m_dpi, 16, true);
  m_tileNameFont = MakeFont(m_dpi, 12, true);
  m_tileWordFont = MakeFont(m_dpi, 22, true);
  m_tileTextFont = MakeFont(m_dpi, 9, false);
}

void StationWindow::MakeControls() {
  const auto make = [this](DWORD exStyle, const wchar_t* className, const wchar_t* text, DWORD style, int id) {
    const HWND control = CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10,
                                         m_hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), m_instance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(m_uiFont.get()), FALSE);
    return control;
  };
  // Creation order is the tab order.
  make(0, L"BUTTON", L"&Start", WS_TABSTOP | BS_PUSHBUTTON | WS_GROUP, kStart);
  make(0, L"BUTTON", L"S&top", WS_TABSTOP | BS_PUSHBUTTON, kStop);
  make(0, L"STATIC", L"&Parallel:", SS_RIGHT | SS_CENTERIMAGE | WS_GROUP, kParallelLabel);
  const HWND parallel = make(0, L"COMBOBOX", L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, kParallel);
  for (unsigned n = 1; n <= station::kMaxParallel; ++n) {
    SendMessageW(parallel, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(std::to_wstring(n).c_str()));
  }
  SendMessageW(parallel, CB_SETCURSEL, m_setup.options.parallel - 1, 0);
  make(0, L"BUTTON", L"&Reset counters...", WS_TABSTOP | BS_PUSHBUTTON | WS_GROUP, kReset);
  if (m_setup.advMode) {
    // As the dialog's (both controllers, no detailed log) unless the
    // options said otherwise.
    make(0, L"BUTTON", L"&MCU", WS_TABSTOP | BS_AUTOCHECKBOX | WS_GROUP, kMcu);
    make(0, L"BUTTON", L"&USB", WS_TABSTOP | BS_AUTOCHECKBOX, kUsb);
    make(0, L"BUTTON", L"&Log", WS_TABSTOP | BS_AUTOCHECKBOX, kLog);
    const station::UnitOptions& given = m_setup.config.options;
    CheckDlgButton(m_hwnd, kMcu, given.mcu ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(m_hwnd, kUsb, given.usb ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(m_hwnd, kLog, given.verboseLog ? BST_CHECKED : BST_UNCHECKED);
  }
  const HWND counters = make(0, L"STATIC", L"", SS_LEFTNOWORDWRAP | SS_NOPREFIX | WS_GROUP, kCounters);
  SendMessageW(counters, WM_SETFONT, reinterpret_cast<WPARAM>(m_bigFont.get()), FALSE);
  make(0, L"STATIC", L"", SS_LEFTNOWORDWRAP | SS_NOPREFIX, kInfo);
  make(0, L"STATIC", L"", SS_LEFTNOWORDWRAP | SS_NOPREFIX, kStatus);
  m_grid = CreateWindowExW(WS_EX_CONTROLPARENT | WS_EX_CLIENTEDGE, kGridClass, L"Slots",
                           WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_CLIPCHILDREN | WS_GROUP, 0, 0, 10, 10, m_hwnd,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(kGrid)), m_instance, this);
  make(0, L"STATIC", L"Latest r&esults:", SS_LEFTNOWORDWRAP | WS_GROUP, kResultsLabel);
  const HWND results =
      make(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"Latest results",
           WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER, kResults);
  SendMessageW(results, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
  for (int i = 0; i < static_cast<int>(std::size(kResultColumns)); ++i) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<wchar_t*>(kResultColumns[i].name);
    column.cx = Scale(kResultColumns[i].width);
    SendMessageW(results, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
  }
  if (m_setup.locked) {
    // The operator has Start and Stop; the settings stay as given.
    for (const int id : {kParallel, kReset, kMcu, kUsb, kLog}) {
      if (const HWND control = Item(id)) EnableWindow(control, FALSE);
    }
  }
}

void StationWindow::Layout() {
  RECT client;
  GetClientRect(m_hwnd, &client);
  if (client.right <= 0 || client.bottom <= 0) return;  // minimized: nothing to lay out
  const int margin = Scale(kMargin);
  const int row = Scale(kRowHeight);
  const int width = client.right - margin * 2;
  int x = margin;
  int y = margin;
  // Controls in a row wrap to the next when the window is too narrow.
  const auto place = [&](int id, int w, int h) {
    if (x > margin && x + w > margin + width) {
      x = margin;
      y += row + margin / 2;
    }
    if (const HWND control = Item(id)) MoveWindow(control, x, y, w, h, FALSE);
    x += w + margin;
  };
  place(kStart, Scale(90), row);
  place(kStop, Scale(90), row);
  place(kParallelLabel, Scale(70), row);
  place(kParallel, Scale(64), row + Scale(300));  // the drop-down's list height
  place(kReset, Scale(140), row);
  if (m_setup.advMode) {
    place(kMcu, Scale(64), row);
    place(kUsb, Scale(64), row);
    place(kLog, Scale(64), row);
  }
  x = margin;
  y += row + margin;
  place(kCounters, width, Scale(34));
  x = margin;
  y += Scale(34);
  place(kInfo, width, Scale(20));
  x = margin;
  y += Scale(20);
  place(kStatus, width, Scale(20));
  y += Scale(20) + margin / 2;
  // The result list takes at most a third of what is left for the grid.
  const int listHeight = std::min(Scale(kResultsHeight), std::max(Scale(60), static_cast<int>(client.bottom - y) / 3));
  const int listTop = client.bottom - margin - listHeight;
  const int labelTop = listTop - Scale(20);
  MoveWindow(m_grid, margin, y, width, std::max(labelTop - margin / 2 - y, Scale(40)), FALSE);
  x = margin;
  y = labelTop;
  place(kResultsLabel, width, Scale(20));
  x = margin;
  y = listTop;
  place(kResults, width, listHeight);
  // The last column takes the list's remaining width.
  SendMessageW(Item(kResults), LVM_SETCOLUMNWIDTH, std::size(kResultColumns) - 1, LVSCW_AUTOSIZE_USEHEADER);
  LayoutTiles();
  InvalidateRect(m_hwnd, nullptr, TRUE);
}

void StationWindow::LayoutTiles() {
  if (m_grid == nullptr) return;
  RECT area;
  GetClientRect(m_grid, &area);
  const int gap = Scale(kTileGap);
  const int tileWidth = Scale(kTileWidth);
  const int tileHeight = Scale(kTileHeight);
  const int columns = std::max(1, static_cast<int>((area.right - gap) / (tileWidth + gap)));
  const int rows = (static_cast<int>(m_tiles.size()) + columns - 1) / columns;
  const int content = gap + rows * (tileHeight + gap);
  const int view = area.bottom;
  m_scroll = std::clamp(m_scroll, 0, std::max(0, content - view));
  SCROLLINFO scroll{};
  scroll.cbSize = sizeof scroll;
  scroll.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
  scroll.nMin = 0;
  scroll.nMax = content > 0 ? content - 1 : 0;
  scroll.nPage = static_cast<UINT>(std::max(view, 0));
  scroll.nPos = m_scroll;
  SetScrollInfo(m_grid, SB_VERT, &scroll, TRUE);
  for (std::size_t i = 0; i < m_tiles.size(); ++i) {
    const int column = static_cast<int>(i) % columns;
    const int rowIndex = static_cast<int>(i) / columns;
    MoveWindow(m_tiles[i], gap + column * (tileWidth + gap), gap + rowIndex * (tileHeight + gap) - m_scroll, tileWidth,
               tileHeight, TRUE);
  }
}

void StationWindow::EnsureTiles() {
  const std::size_t before = m_tiles.size();
  while (m_tiles.size() < m_board.Tiles().size()) {
    const int id = kFirstTile + static_cast<int>(m_tiles.size());
    const HWND tile = CreateWindowExW(0, kTileClass, L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0, 0, 10, 10, m_grid,
                                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), m_instance, this);
    m_tiles.push_back(tile);
  }
  m_dirty.resize(m_tiles.size(), true);
  m_namedAs.resize(m_tiles.size());
  if (m_tiles.size() != before) LayoutTiles();
}

void StationWindow::MarkTile(std::optional<std::size_t> tile) {
  if (!tile) return;
  if (*tile >= m_tiles.size()) EnsureTiles();
  if (*tile < m_dirty.size()) m_dirty[*tile] = true;
}

void StationWindow::MarkAllTiles() { std::fill(m_dirty.begin(), m_dirty.end(), true); }

void StationWindow::FlushTiles(bool names) {
  const Clock::time_point now = Clock::now();
  for (std::size_t i = 0; i < m_tiles.size() && i < m_board.Tiles().size(); ++i) {
    if (!m_dirty[i]) continue;
    m_dirty[i] = false;
    const Tile& tile = m_board.Tiles()[i];
    const std::string namedAs =
        tile.view ? std::to_string(tile.view->unit.id) + ":" + std::to_string(static_cast<int>(tile.view->state)) : "";
    if (names || namedAs != m_namedAs[i]) {
      // The window's text is the tile's name for a screen reader.
      m_namedAs[i] = namedAs;
      SetWindowTextW(m_tiles[i], Wide(m_board.Describe(i, now).accessibleName).c_str());
    }
    InvalidateRect(m_tiles[i], nullptr, FALSE);
  }
}

void StationWindow::PaintTile(HWND tile, std::size_t index) {
  PAINTSTRUCT paint;
  const HDC target = BeginPaint(tile, &paint);
  RECT rect;
  GetClientRect(tile, &rect);
  // Drawn off screen, then copied: progress at 20 frames a second without flicker.
  const HDC dc = CreateCompatibleDC(target);
  const HBITMAP bitmap = CreateCompatibleBitmap(target, rect.right, rect.bottom);
  const HGDIOBJ oldBitmap = SelectObject(dc, bitmap);

  const TileText text = index < m_board.Tiles().size() ? m_board.Describe(index, Clock::now()) : TileText{};
  const HBRUSH background = CreateSolidBrush(FromRgb(text.colour));
  FillRect(dc, &rect, background);
  DeleteObject(background);
  const bool focused = GetFocus() == tile;
  const HBRUSH frame = CreateSolidBrush(focused ? RGB(0, 0, 0) : RGB(96, 96, 96));
  RECT edge = rect;
  for (int i = 0; i < (focused ? Scale(3) : 1); ++i) {
    FrameRect(dc, &edge, frame);
    InflateRect(&edge, -1, -1);
  }
  DeleteObject(frame);

  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));
  const int pad = Scale(8);
  int y = pad;
  // Every line is cut with an ellipsis at the tile's edge: nothing widens it.
  const auto line = [&](const std::string& value, HFONT font, int height, UINT align = DT_LEFT,
                        UINT form = DT_SINGLELINE | DT_VCENTER) {
    RECT box{pad, y, rect.right - pad, y + height};
    if (!value.empty()) {
      SelectObject(dc, font);
      const std::wstring wide = Wide(value);
      DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &box,
                align | form | DT_END_ELLIPSIS | DT_NOPREFIX);
    }
    y += height;
  };
  const HGDIOBJ oldFont = SelectObject(dc, m_tileNameFont.get());
  line(text.name, m_tileNameFont.get(), Scale(24));
  line(text.serial, m_tileTextFont.get(), Scale(18));
  line(text.word, m_tileWordFont.get(), Scale(42), DT_CENTER);
  if (text.barPerMille < 0) {
    // A result's message on up to two lines.
    line(text.detail, m_tileTextFont.get(), Scale(34), DT_LEFT, DT_WORDBREAK | DT_EDITCONTROL);
  } else {
    line(text.detail, m_tileTextFont.get(), Scale(16));
    RECT bar{pad, y + Scale(2), rect.right - pad, y + Scale(16)};
    FillRect(dc, &bar, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    RECT done = bar;
    done.right = bar.left + MulDiv(bar.right - bar.left, text.barPerMille, 1000);
    const HBRUSH fill = CreateSolidBrush(RGB(0x1F, 0x5F, 0xBF));
    FillRect(dc, &done, fill);
    DeleteObject(fill);
    FrameRect(dc, &bar, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    y += Scale(18);
  }
  line(text.elapsed + (text.elapsed.empty() || text.unplug.empty() ? "" : "  ") + text.unplug, m_tileTextFont.get(),
       Scale(18));
  line(text.counters, m_tileTextFont.get(), Scale(18));
  SelectObject(dc, oldFont);

  BitBlt(target, 0, 0, rect.right, rect.bottom, dc, 0, 0, SRCCOPY);
  SelectObject(dc, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(dc);
  EndPaint(tile, &paint);
}

void StationWindow::ShowCounters() {
  const std::string text = "Station: " + CountersText(m_board.Total(), m_board.CountingSince(), Clock::now()) +
                           (m_board.Total().passedOver != 0
                                ? ", " + std::to_string(m_board.Total().passedOver) + " already done"
                                : std::string());
  SetDlgItemTextW(m_hwnd, kCounters, Wide(text).c_str());
}

void StationWindow::ShowButtons() {
  const auto enable = [this](int id, bool on) {
    const HWND control = Item(id);
    if (control == nullptr) return;
    if (!on && GetFocus() == control) {
      // A disabled window loses the focus, and Escape and Tab would then do
      // nothing: hand it on to the next tab stop first.
      const HWND next = GetNextDlgTabItem(m_hwnd, control, FALSE);
      SetFocus(next != nullptr && next != control ? next : m_hwnd);
    }
    EnableWindow(control, on ? TRUE : FALSE);
  };
  // A Start while stopping goes on running. The button to be enabled is
  // enabled first, so that the focus can move to it from the other.
  const bool startable = m_state != RunState::Running;
  enable(startable ? kStart : kStop, true);
  enable(startable ? kStop : kStart, false);
}

void StationWindow::ShowInfo() {
  const char* state = m_state == RunState::Running    ? "running"
                      : m_state == RunState::Stopping ? "stopping: the units being updated finish"
                                                      : "stopped";
  std::string text = "State: " + std::string(state);
  if (!m_endedText.empty() && m_state == RunState::Stopped) text += " (" + m_endedText + ")";
  text += "   Record: " + (m_setup.record ? m_setup.record->Where() : std::string("none"));
  if (m_setup.slots) {
    text += "   Slots: " + m_setup.options.slots + " (" + std::to_string(m_setup.slots->Slots().size()) + ")";
  }
  if (m_setup.config.logFolder) text += "   Unit logs: " + m_setup.options.logDir;
  if (m_setup.locked) text += "   Locked";
  SetDlgItemTextW(m_hwnd, kInfo, Wide(text).c_str());
}

void StationWindow::SetStatus(const std::string& text) {
  if (m_hwnd != nullptr) SetDlgItemTextW(m_hwnd, kStatus, Wide(text).c_str());
}

void StationWindow::AddResultRow(const ResultRow& row) {
  const HWND list = Item(kResults);
  std::wstring cells[4] = {Wide(row.time), Wide(row.slot), Wide(row.serial), Wide(row.result)};
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.iItem = 0;
  item.pszText = cells[0].data();
  const LRESULT at = SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  if (at < 0) return;
  for (int column = 1; column < 4; ++column) {
    LVITEMW cell{};
    cell.iSubItem = column;
    cell.pszText = cells[column].data();
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(at), reinterpret_cast<LPARAM>(&cell));
  }
  while (SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) > static_cast<LRESULT>(kMaxResultRows)) {
    SendMessageW(list, LVM_DELETEITEM, SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) - 1, 0);
  }
}

// --- Events -------------------------------------------------------------------

void StationWindow::Finished(const UnitView& view, const station::Tally& total, const station::Tally& slot) {
  const Clock::time_point now = Clock::now();
  MarkTile(m_board.Finished(view, total, slot, ClockText(now)));
  const ResultRow& row = m_board.Results().front();
  AddResultRow(row);
  if (!m_setup.config.logFolder) {
    // The units' dialogs log nothing without --log-dir: the result is the
    // program log's line.
    LogLine("Station: " + (view.unit.slot.empty() ? std::string() : "slot " + view.unit.slot + ", ") +
            view.unit.path + " (" +
            (view.unit.serial.empty() ? std::string("no serial") : "serial " + DeviceTextForTerminal(view.unit.serial)) +
            (view.unit.port.empty() ? std::string() : ", port " + DeviceTextForTerminal(view.unit.port)) +
            "): " + ResultText(view));
  }
  if (view.result && !view.result->recorded) {
    SetStatus("The record did not take the result of " + row.serial + ": " +
              DeviceTextForTerminal(view.result->recordError));
  }
  SetWindowTextW(m_hwnd, TitleText().c_str());
  ShowCounters();
}

void StationWindow::StateChanged(RunState state) {
  m_state = state;
  if (state != RunState::Stopped) m_endedText.clear();
  ShowButtons();
  ShowInfo();
}

void StationWindow::Ended(const station::StationSummary& summary) {
  switch (summary.endedBy) {
    case station::EndReason::Stopped: m_endedText.clear(); break;
    case station::EndReason::CountReached: m_endedText = "the count of units is reached"; break;
    case station::EndReason::RecordFailure: m_endedText = "the record did not take a unit's result"; break;
    case station::EndReason::StartupFailure: m_endedText = "the devices cannot be opened one by one"; break;
  }
  m_state = RunState::Stopped;
  ShowButtons();
  ShowInfo();
  if (!m_endedText.empty()) SetStatus("The station has stopped: " + m_endedText + ".");
  LogLine("Station: " + std::to_string(summary.tally.passed) + " passed, " + std::to_string(summary.tally.failed) +
          " failed, " + std::to_string(summary.tally.passedOver) + " already updated");
  if (m_closeWhenEnded && !Busy()) DestroyWindow(m_hwnd);
}

void StationWindow::Said(const station::Notice& notice) {
  // Device text in a notice is raw: escaped as a serial is.
  const std::string text = DeviceTextForTerminal(notice.text);
  LogLine("Station: " + text);
  SetStatus(Elided(text, 200));
}

void StationWindow::CountersReset(const station::StationSnapshot& snapshot) {
  m_board.CountersReset(snapshot);
  SetWindowTextW(m_hwnd, TitleText().c_str());
  ShowCounters();
  MarkAllTiles();
  FlushTiles(true);
}

void StationWindow::HoldMachine() {
  // Before a unit's first command: until no unit runs, sleep, logoff and
  // shutdown are held off, and Windows names the station's window as the
  // program that blocks them, with the reason.
  if (!m_unitHold) m_unitHold = std::make_unique<app::UpdateHold>(app::HoldScope::Update, &m_holdNotice, m_hwnd);
}

// --- Commands -----------------------------------------------------------------

void StationWindow::RequestClose() {
  if (!Busy()) {
    DestroyWindow(m_hwnd);
    return;
  }
  const unsigned running = std::max(1u, m_board.Running());
  const std::string text =
      (running == 1 ? std::string("A unit is being updated") : std::to_string(running) + " units are being updated") +
      ": the station cannot be closed until " + (running == 1 ? "it is" : "they are") +
      " done.\n\nStop the station now and close it once the units being updated are done?";
  if (MessageBoxText(text, MB_YESNO | MB_DEFBUTTON2 | MB_ICONINFORMATION) != IDYES) return;
  m_closeWhenEnded = true;
  m_station->Stop();
  if (!Busy() && m_state == RunState::Stopped) DestroyWindow(m_hwnd);
}

void StationWindow::SkipTile(std::size_t index) {
  if (m_setup.locked || index >= m_board.Tiles().size()) return;
  const Tile& tile = m_board.Tiles()[index];
  if (tile.view && tile.view->state == station::UnitState::Waiting) m_station->Skip(tile.view->unit.id);
}

void StationWindow::OnCommand(int id, int code) {
  switch (id) {
    case kStart:
      if (code == BN_CLICKED) {
        m_closeWhenEnded = false;
        m_station->Start();
      }
      break;
    case kStop:
      if (code == BN_CLICKED) m_station->Stop();
      break;
    case kParallel:
      if (code == CBN_SELCHANGE && !m_setup.locked) {
        const LRESULT selected = SendMessageW(Item(kParallel), CB_GETCURSEL, 0, 0);
        if (selected >= 0) m_station->SetParallel(static_cast<unsigned>(selected) + 1);
      }
      break;
    case kReset:
      if (code == BN_CLICKED && !m_setup.locked &&
          MessageBoxText("Set the counters (passed, failed, yield, units per hour) back to zero?\n\n"
                         "The record is not changed.",
                         MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION) == IDYES) {
        m_station->ResetCounters();
      }
      break;
    case kMcu:
    case kUsb:
    case kLog:
      if (code == BN_CLICKED) m_station->SetOptions(BoxOptions());
      break;
    case IDCANCEL:
      RequestClose();
      break;
    default:
      break;
  }
}

// --- Window procedures ----------------------------------------------------------

LRESULT CALLBACK StationWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    static_cast<StationWindow*>(create->lpCreateParams)->m_hwnd = hwnd;
  }
  auto* self = reinterpret_cast<StationWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
  return self->Handle(hwnd, message, wParam, lParam);
}

LRESULT StationWindow::Handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kRunTasksMessage:
      m_queue->Run();
      FlushTiles(false);
      return 0;
    case WM_SIZE:
      Layout();
      return 0;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize = {Scale(640), Scale(480)};
      return 0;
    }
    case WM_DPICHANGED: {
      // Moved to a monitor of another DPI: fonts and layout for it, at the
      // size and place Windows suggests.
      m_dpi = LOWORD(wParam);
      MakeFonts();
      for (HWND child = GetWindow(hwnd, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(m_uiFont.get()), FALSE);
      }
      SendMessageW(Item(kCounters), WM_SETFONT, reinterpret_cast<WPARAM>(m_bigFont.get()), FALSE);
      for (int i = 0; i < static_cast<int>(std::size(kResultColumns)); ++i) {
        SendMessageW(Item(kResults), LVM_SETCOLUMNWIDTH, i, Scale(kResultColumns[i].width));
      }
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      Layout();
      return 0;
    }
    case WM_TIMER:
      if (wParam == kClockTimer) {
        ShowCounters();
        MarkAllTiles();
        FlushTiles(true);
      }
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_CLOSE:
      RequestClose();
      return 0;
    case WM_ACTIVATE:
      // The focus comes back where it was when the window is activated again.
      if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus != nullptr && IsChild(hwnd, focus)) m_lastFocus = focus;
      }
      break;
    case WM_SETFOCUS: {
      HWND target = m_lastFocus;
      if (target == nullptr || !IsWindow(target) || !IsWindowEnabled(target)) {
        target = GetNextDlgTabItem(hwnd, nullptr, FALSE);
      }
      if (target != nullptr) SetFocus(target);
      return 0;
    }
    case WM_QUERYENDSESSION:
      // A logoff or shutdown asks first: refused while units are updated.
      return Busy() ? FALSE : TRUE;
    case WM_ENDSESSION:
      // The session ends now, whatever was answered: an idle station closes.
      if (wParam != FALSE && !Busy()) DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      KillTimer(hwnd, kClockTimer);
      m_queue->Close();
      m_unitHold.reset();
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      m_hwnd = nullptr;
      break;
    default:
      break;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK StationWindow::GridProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<StationWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self != nullptr) {
    switch (message) {
      case WM_SIZE:
        self->LayoutTiles();
        return 0;
      case WM_VSCROLL:
      case WM_MOUSEWHEEL: {
        SCROLLINFO scroll{};
        scroll.cbSize = sizeof scroll;
        scroll.fMask = SIF_ALL;
        GetScrollInfo(hwnd, SB_VERT, &scroll);
        int position = scroll.nPos;
        const int line = self->Scale(kTileHeight + kTileGap) / 4;
        if (message == WM_MOUSEWHEEL) {
          position -= GET_WHEEL_DELTA_WPARAM(wParam) * line / WHEEL_DELTA;
        } else {
          switch (LOWORD(wParam)) {
            case SB_LINEUP: position -= line; break;
            case SB_LINEDOWN: position += line; break;
            case SB_PAGEUP: position -= static_cast<int>(scroll.nPage); break;
            case SB_PAGEDOWN: position += static_cast<int>(scroll.nPage); break;
            case SB_THUMBTRACK: position = scroll.nTrackPos; break;
            case SB_TOP: position = 0; break;
            case SB_BOTTOM: position = scroll.nMax; break;
            default: break;
          }
        }
        self->m_scroll = position;
        self->LayoutTiles();
        return 0;
      }
      case WM_COMMAND:
        // Escape and Enter reach the grid first when a tile has the focus.
        return SendMessageW(GetParent(hwnd), message, wParam, lParam);
      default:
        break;
    }
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK StationWindow::TileProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<StationWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self != nullptr) {
    const auto index = static_cast<std::size_t>(GetDlgCtrlID(hwnd) - kFirstTile);
    switch (message) {
      case WM_PAINT:
        self->PaintTile(hwnd, index);
        return 0;
      case WM_ERASEBKGND:
        return 1;  // painted whole in WM_PAINT
      case WM_SETFOCUS:
      case WM_KILLFOCUS:
        InvalidateRect(hwnd, nullptr, FALSE);
        if (message == WM_SETFOCUS) {
          // Scrolled into view when reached with Tab.
          RECT tile;
          RECT grid;
          GetWindowRect(hwnd, &tile);
          GetClientRect(self->m_grid, &grid);
          MapWindowPoints(nullptr, self->m_grid, reinterpret_cast<POINT*>(&tile), 2);
          if (tile.top < 0 || tile.bottom > grid.bottom) {
            self->m_scroll += tile.top < 0 ? tile.top - self->Scale(kTileGap)
                                           : tile.bottom - grid.bottom + self->Scale(kTileGap);
            self->LayoutTiles();
          }
        }
        return 0;
      case WM_LBUTTONDOWN:
        SetFocus(hwnd);
        return 0;
      case WM_KEYDOWN:
        if (wParam == VK_DELETE) self->SkipTile(index);
        return 0;
      case WM_GETDLGCODE:
        return DLGC_WANTARROWS;
      default:
        break;
    }
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

int RunStationWindow(HINSTANCE instance, const std::vector<std::string>& arguments) {
  const std::string caption = kCaption;
  StationStart start;
  if (const std::optional<std::string> problem = PrepareStation(arguments, start)) {
    LogLine(*problem);
    MessageBoxW(nullptr, Widen(*problem).c_str(), Widen(caption).c_str(), MB_OK | MB_ICONERROR);
    return 2;
  }
  if (!start.setup->recordNotice.empty()) LogLine(start.setup->recordNotice);
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  StationWindow window(instance, start, arguments);
  if (!window.Create()) {
    LogLine("The station's window could not be created.");
    return 2;
  }
  return window.Run();
}

}  // namespace orvik::win32
