#include "station/station.h"

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <system_error>
#include <thread>

#include "image/image.h"
#include "log/device_text.h"
#include "log/log.h"
#include "record/record.h"
#include "station/unit_log.h"
#include "ui/updater_dlg.h"

namespace orvik::station {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often the engine hands on the units' latest progress at most.
constexpr milliseconds kProgressPeriod{50};
// A unit whose open was refused as in use while the listing showed it free
// (two searches crossing) is tried again this many times.
constexpr int kInUseRetries = 3;
// The progress bar's midpoint: the main controller's part ends there when
// both controllers are updated.
constexpr int kMcuPartEnd = kProgressMax / 2;

// What a unit's worker tells the engine.
struct Post {
  enum class Kind { Started, Message, Notice, StartupFailed, Finished };
  Kind kind = Kind::Notice;
  std::uint64_t id = 0;
  std::string text;                   // Message, Notice
  std::vector<std::string> messages;  // StartupFailed: the dialog's message boxes
  OpenRefusal refusal;                // StartupFailed
  UnitResult result;                  // Finished
  bool completed = false;             // Finished: the update itself completed
};

Post MakePost(Post::Kind kind, std::uint64_t id, std::string text = {}) {
  Post post;
  post.kind = kind;
  post.id = id;
  post.text = std::move(text);
  return post;
}

class Engine;

// One unit from its arrival until it is gone.
struct UnitState {
  enum class Stage { Queued, Running, Retry, Done, PassedOver, Unusable, NotASlot };
  Unit unit;
  Stage stage = Stage::Queued;
  bool announced = false;  // Arrived or Refused was said
  int inUseRetries = 0;
  // Set on the engine's thread before its worker starts: false when another
  // unit attached at the same time carries its serial (never passed over).
  bool mayPassOver = true;
  std::jthread worker;

  // Under the station's lock: the latest progress, not yet handed on.
  bool progressDirty = false;
  Phase phase = Phase::Starting;
  int position = 0;
  int upper = kProgressMax;
  std::string elapsed = "00:00.000";
  // The engine's thread: the unit counts as updating (the hold is held)
  // from its worker's start until its end.
  bool holding = false;
};

// The unit's dialog without a window: its calls go to the engine as posts.
class StationWindow final : public DialogWindow {
 public:
  StationWindow(Engine& engine, UnitState& state, bool mcu, bool usb);

  std::string GetCaption() override;
  void SetCaption(const std::string& text) override;
  void ShowControl(int) override {}
  int GetCheck(int id) override;
  void SetCheck(int id, bool checked) override;
  void SetItemText(int id, const std::string& text) override;
  void EnableControl(int, bool) override {}
  void SetProgressRange(int lower, int upper) override;
  void SetProgressPos(int position) override;
  void StartTimer(int id, unsigned periodMs) override;
  void StopTimer(int id) override;
  int MessageBox(const std::string& text, const std::string& title) override;
  void EndDialog(int result) override;

  // From here on message boxes are posted as they come; before, they are
  // kept for a start-up failure.
  void Begin();
  std::vector<std::string> TakeStartupMessages();
  bool Ended();
  std::string LastMessage();
  std::optional<Clock::time_point> TimerStartedAt();
  unsigned TimerPeriodMs();
  void WaitForTimerStart(milliseconds bound);

 private:
  Phase PhaseAt(int position) const;

  Engine& m_engine;
  UnitState& m_state;
  const bool m_mcu;
  const bool m_usb;
  // Under the station's lock.
  std::condition_variable m_timerChanged;
  std::string m_caption = kDialogCaption;
  std::map<int, int> m_checks;
  int m_lower = 0;
  int m_upper = kProgressMax;
  bool m_begun = false;
  std::vector<std::string> m_startupMessages;
  std::string m_lastMessage;
  std::optional<Clock::time_point> m_timerStart;
  unsigned m_timerPeriodMs = 0;
  bool m_ended = false;
};

class Engine {
 public:
  Engine(SearchableHidDevice& devices, const Resources& resources, const StationConfig& config,
         StationEvents& events)
      : m_devices(devices), m_resources(resources), m_config(config), m_events(events) {
    std::random_device random;
    m_runPrefix = std::to_string(random()) + std::to_string(random());
  }
  ~Engine() {
    // Every worker is joined before the states it uses go.
    for (auto& [id, state] : m_units) {
      if (state->worker.joinable()) state->worker.join();
    }
  }

  StationSummary Run();

  // --- For the workers and their windows -------------------------------------
  std::mutex& Lock() { return m_stationLock; }
  // Under the lock.
  void PostLocked(Post post) {
    m_posts.push_back(std::move(post));
    m_wake.notify_one();
  }
  void Send(Post post) {
    std::lock_guard lock(m_stationLock);
    PostLocked(std::move(post));
  }

 private:
  struct OpenLog {
    std::weak_ptr<CLog> log;
  };

  void RunUnit(UnitState& state, std::unique_ptr<SearchableHidDevice> handle, std::shared_ptr<CLog> log);
  void ServeTimer(CORVIKUpdaterDlg& dialog, StationWindow& window);

  void Poll();
  void StartQueued();
  void Handle(struct Post& post);
  void Finish(UnitState& state, const UnitResult& result, bool completed);
  void EndWith(const char* endedBy, int status);
  bool Ending() const { return !m_endedBy.empty(); }
  std::shared_ptr<CLog> LogFor(const Unit& unit);
  UnitState* Find(std::uint64_t id) {
    const auto it = m_units.find(id);
    return it == m_units.end() ? nullptr : it->second.get();
  }

  SearchableHidDevice& m_devices;
  const Resources& m_resources;
  const StationConfig& m_config;
  StationEvents& m_events;
  std::string m_runPrefix;

  // The station's one lock: the posts, each unit's progress, and the
  // windows' state.
  std::mutex m_stationLock;
  std::condition_variable m_wake;  // the engine waits for posts
  std::deque<struct Post> m_posts;

  // The engine's thread only (the states' stage, announced, retries).
  std::map<std::uint64_t, std::unique_ptr<UnitState>> m_units;
  std::deque<std::uint64_t> m_queue;  // waiting their turn, in arrival order
  std::uint64_t m_nextId = 0;
  unsigned m_running = 0;   // workers started and not yet finished
  unsigned m_updating = 0;  // units whose worker runs: the hold is held
  bool m_waitingSaid = false;
  bool m_threadNoticeSaid = false;
  std::map<std::filesystem::path, OpenLog> m_logs;
  std::string m_endedBy;  // empty while the station goes on
  int m_endStatus = 0;
  StationSummary m_summary;
  std::map<int, unsigned> m_failures;
  bool m_recordFailed = false;
  record::SharedSerials m_shared;  // serials two units attached at once carry
  // A log that writes nothing: a unit's dialog lines without --log-dir.
  std::shared_ptr<CLog> m_silent = std::make_shared<CLog>(CLog::Unregistered{});
};

StationWindow::StationWindow(Engine& engine, UnitState& state, bool mcu, bool usb)
    : m_engine(engine), m_state(state), m_mcu(mcu), m_usb(usb) {}

std::string StationWindow::GetCaption() {
  std::lock_guard lock(m_engine.Lock());
  return m_caption;
}

void StationWindow::SetCaption(const std::string& text) {
  std::lock_guard lock(m_engine.Lock());
  m_caption = text;
}

int StationWindow::GetCheck(int id) {
  std::lock_guard lock(m_engine.Lock());
  const auto it = m_checks.find(id);
  return it == m_checks.end() ? 0 : it->second;
}

void StationWindow::SetCheck(int id, bool checked) {
  std::lock_guard lock(m_engine.Lock());
  m_checks[id] = checked ? 1 : 0;
}

void StationWindow::SetItemText(int id, const std::string& text) {
  if (id != IDC_ELAPSED) return;
  std::lock_guard lock(m_engine.Lock());
  m_state.elapsed = text;
  m_state.progressDirty = true;
}

void StationWindow::SetProgressRange(int lower, int upper) {
  std::lock_guard lock(m_engine.Lock());
  m_lower = lower;
  m_upper = upper;
  m_state.upper = upper;
}

Phase StationWindow::PhaseAt(int position) const {
  if (!m_usb) return Phase::Mcu;
  if (!m_mcu) return Phase::Usb;
  return position < kMcuPartEnd ? Phase::Mcu : Phase::Usb;
}

void StationWindow::SetProgressPos(int position) {
  std::lock_guard lock(m_engine.Lock());
  m_state.position = position;
  m_state.phase = PhaseAt(position);
  m_state.progressDirty = true;
}

void StationWindow::StartTimer(int /*id*/, unsigned periodMs) {
  {
    std::lock_guard lock(m_engine.Lock());
    m_timerStart = Clock::now();
    m_timerPeriodMs = periodMs;
    m_state.phase = PhaseAt(m_state.position);
    m_state.progressDirty = true;
  }
  m_timerChanged.notify_all();
}

void StationWindow::StopTimer(int /*id*/) {
  {
    std::lock_guard lock(m_engine.Lock());
    m_timerStart.reset();
  }
  m_timerChanged.notify_all();
}

int StationWindow::MessageBox(const std::string& text, const std::string& /*title*/) {
  std::lock_guard lock(m_engine.Lock());
  m_lastMessage = text;
  if (!m_begun) {
    m_startupMessages.push_back(text);
  } else {
    m_engine.PostLocked(MakePost(Post::Kind::Message, m_state.unit.id, text));
  }
  return kMessageBoxOk;
}

void StationWindow::EndDialog(int /*result*/) {
  std::lock_guard lock(m_engine.Lock());
  m_ended = true;
}

void StationWindow::Begin() {
  std::lock_guard lock(m_engine.Lock());
  m_begun = true;
}

std::vector<std::string> StationWindow::TakeStartupMessages() {
  std::lock_guard lock(m_engine.Lock());
  return std::move(m_startupMessages);
}

bool StationWindow::Ended() {
  std::lock_guard lock(m_engine.Lock());
  return m_ended;
}

std::string StationWindow::LastMessage() {
  std::lock_guard lock(m_engine.Lock());
  return m_lastMessage;
}

std::optional<Clock::time_point> StationWindow::TimerStartedAt() {
  std::lock_guard lock(m_engine.Lock());
  return m_timerStart;
}

unsigned StationWindow::TimerPeriodMs() {
  std::lock_guard lock(m_engine.Lock());
  return m_timerPeriodMs;
}

void StationWindow::WaitForTimerStart(milliseconds bound) {
  std::unique_lock lock(m_engine.Lock());
  m_timerChanged.wait_for(lock, bound, [this] { return m_timerStart.has_value(); });
}

// The unit's own timer service, as a message loop would give the dialog:
// OnTimer every period while timer 0 runs, until the run is over.
void Engine::ServeTimer(CORVIKUpdaterDlg& dialog, StationWindow& window) {
  bool following = false;
  Clock::time_point followedStart{};
  Clock::time_point nextTick{};
  for (;;) {
    const std::optional<Clock::time_point> started = window.TimerStartedAt();
    if (!started) {
      if (!dialog.IsBusy()) return;
      following = false;
      window.WaitForTimerStart(milliseconds(10));
      continue;
    }
    const milliseconds period(std::max(window.TimerPeriodMs(), 1u));
    if (!following || *started != followedStart) {
      following = true;
      followedStart = *started;
      nextTick = *started + period;
    }
    std::this_thread::sleep_until(nextTick);
    // Ticks missed while this thread was held up are not made up one by one.
    nextTick += period;
    const Clock::time_point now = Clock::now();
    if (nextTick <= now) nextTick = now + period;
    if (window.TimerStartedAt()) dialog.OnTimer(kUpdateTimerId);
  }
}

void Engine::RunUnit(UnitState& state, std::unique_ptr<SearchableHidDevice> handle, std::shared_ptr<CLog> log) {
  const Unit& unit = state.unit;
  const Clock::time_point begin = Clock::now();
  UnitResult result;
  result.time = record::IsoLocalTime(std::time(nullptr));
  const auto finish = [&](bool completed) {
    result.duration = std::chrono::duration_cast<milliseconds>(Clock::now() - begin);
    Post post = MakePost(Post::Kind::Finished, unit.id);
    post.result = result;
    post.completed = completed;
    Send(std::move(post));
  };

  if (m_config.skipUpdated && state.mayPassOver && m_config.record != nullptr && !unit.serial.empty()) {
    if (const std::optional<std::string> at = m_config.record->UpdatedAt(unit.serial, m_config.mcu, m_config.usb)) {
      result.status = 0;
      result.passedOver = true;
      result.message = "already updated at " + *at + "; run without --skip-updated to flash it again";
      finish(false);
      return;
    }
  }

  // Every log line of this unit's dialog, its worker's included, goes to
  // the unit's own log.
  const ScopedThreadLog threadLog(log.get());
  handle->RestrictToPath(unit.path);
  StationWindow window(*this, state, m_config.mcu, m_config.usb);
  Record::Run run;
  run.runId = m_runPrefix + "-" + std::to_string(unit.id);
  run.unit = &unit;
  run.mcu = m_config.mcu;
  run.usb = m_config.usb;
  run.time = result.time;
  bool completed = false;
  {
    CORVIKUpdaterDlg dialog(window, *handle, m_resources, m_config.arguments);
    dialog.OnInitDialog();
    if (window.Ended()) {
      const OpenRefusal refusal = handle->LastOpenRefusal();
      handle->Close();
      Post post = MakePost(Post::Kind::StartupFailed, unit.id);
      post.messages = window.TakeStartupMessages();
      post.refusal = refusal;
      Send(std::move(post));
      return;
    }
    std::string error;
    if (m_config.record != nullptr && !m_config.record->Started(run, error)) {
      handle->Close();
      result.status = 1;
      result.recorded = false;
      result.recordError = error;
      result.message = "not updated: the record could not take its start";
      finish(false);
      return;
    }
    window.Begin();
    Send(MakePost(Post::Kind::Started, unit.id));

    // The check boxes as the options set them, then the click.
    if (!m_config.mcu) window.SetCheck(IDC_MCU, false);
    if (!m_config.usb) window.SetCheck(IDC_USB, false);
    if (m_config.verboseLog) {
      window.SetCheck(IDC_LOG, true);
      dialog.OnClickedLog();
    }
    dialog.OnClickedUpdate();
    ServeTimer(dialog, window);
    dialog.WaitForWorker();
    const int last = dialog.LastRunResult();
    completed = last == 0;
    result.status = completed ? 0 : 1;
    result.failure = std::max(last, 0);
    result.message = window.LastMessage();
  }
  handle->Close();
  result.duration = std::chrono::duration_cast<milliseconds>(Clock::now() - begin);

  if (m_config.record != nullptr) {
    run.status = result.status;
    run.failure = result.failure;
    run.message = result.message;
    run.durationMs = result.duration.count();
    std::string error;
    if (!m_config.record->Finished(run, error)) {
      result.status = 1;
      result.recorded = false;
      result.recordError = error;
    }
  }
  finish(completed);
}

std::shared_ptr<CLog> Engine::LogFor(const Unit& unit) {
  if (m_config.logDir.empty()) return m_silent;
  const std::string name = UnitLogFileName(unit.serial, unit.path);
  const std::filesystem::path path =
      m_config.logDir / std::filesystem::path(std::u8string(name.begin(), name.end()));
  // Two units with one serial share the file while both write it: opening
  // it again could empty it (the size rule) under the other's lines.
  OpenLog& open = m_logs[path];
  if (std::shared_ptr<CLog> shared = open.log.lock()) return shared;
  auto log = std::make_shared<CLog>(CLog::Unregistered{});
  if (!log->Open(path)) {
    const std::u8string where = path.u8string();
    m_events.Notice("cannot write the log of " + unit.path + " to " + std::string(where.begin(), where.end()));
  }
  open.log = log;
  return log;
}

void Engine::Poll() {
  const std::vector<HidInterfaceInfo> found = m_devices.ListInterfaces(DeviceVendorId, DeviceProductId);
  // Units with one serial: --skip-updated cannot tell them apart.
  std::vector<record::SharedSerials::Attached> attached;
  for (const HidInterfaceInfo& info : found) {
    if (info.inputReportLength == kReportSize && info.outputReportLength == kReportSize) {
      attached.push_back({info.serial, info.identity});
    }
  }
  for (const std::string& serial : m_shared.Look(attached)) {
    // Said only where it changes what happens: a record that passes over
    // units it shows updated.
    if (m_config.record == nullptr || !m_config.skipUpdated) continue;
    m_events.Notice("several units carry the serial " + DeviceTextForTerminal(serial) +
                    ": each is updated, none is passed over, and the record cannot tell them apart");
  }
  std::set<std::string> present;
  for (const HidInterfaceInfo& info : found) {
    present.insert(info.identity);
    auto known = std::find_if(m_units.begin(), m_units.end(),
                              [&](const auto& entry) { return entry.second->unit.identity == info.identity; });
    if (known != m_units.end()) {
      UnitState& state = *known->second;
      if (state.stage == UnitState::Stage::Retry) {
        if (info.usable) {
          state.stage = UnitState::Stage::Queued;
          m_queue.push_back(state.unit.id);
        } else {
          state.stage = UnitState::Stage::PassedOver;
          m_events.Refused(state.unit, Refusal::InUse, info.problem);
        }
        continue;
      }
      // Present but not openable before (permissions): taken once it opens.
      if (state.stage != UnitState::Stage::Unusable || !info.usable) continue;
      state.stage = UnitState::Stage::Queued;
      m_events.Arrived(state.unit);
      m_waitingSaid = false;
      m_queue.push_back(state.unit.id);
      continue;
    }
    auto state = std::make_unique<UnitState>();
    state->unit.id = ++m_nextId;
    state->unit.path = info.path;
    state->unit.identity = info.identity;
    state->unit.serial = info.serial;
    state->unit.port = info.port;
    if (m_config.slotOf) {
      const std::optional<std::string> slot = m_config.slotOf(info);
      if (!slot) {
        state->stage = UnitState::Stage::NotASlot;
        m_events.Refused(state->unit, Refusal::NotASlot, "not on a slot of the station");
        m_units.emplace(state->unit.id, std::move(state));
        continue;
      }
      state->unit.slot = *slot;
    }
    if (!info.usable) {
      const bool inUse = info.problem == kInUseByAnotherUpdater;
      state->stage = inUse ? UnitState::Stage::PassedOver : UnitState::Stage::Unusable;
      m_events.Refused(state->unit, inUse ? Refusal::InUse : Refusal::Unusable, info.problem);
      m_units.emplace(state->unit.id, std::move(state));
      continue;
    }
    state->stage = UnitState::Stage::Queued;
    m_events.Arrived(state->unit);
    m_waitingSaid = false;
    m_queue.push_back(state->unit.id);
    m_units.emplace(state->unit.id, std::move(state));
  }

  // The units no longer listed: gone, unless a run of theirs is still on
  // (it ends by itself, and the next look finds them gone).
  for (auto it = m_units.begin(); it != m_units.end();) {
    UnitState& state = *it->second;
    if (present.count(state.unit.identity) != 0 || state.stage == UnitState::Stage::Running) {
      ++it;
      continue;
    }
    if (state.worker.joinable()) state.worker.join();
    std::erase(m_queue, state.unit.id);
    m_events.Gone(state.unit);
    it = m_units.erase(it);
  }
}

void Engine::StartQueued() {
  while (!Ending() && !m_queue.empty() && m_running < m_config.parallel &&
         (!m_config.count || m_summary.devices + m_running < *m_config.count)) {
    UnitState& state = *m_units.at(m_queue.front());
    if (state.worker.joinable()) state.worker.join();  // a refused try before
    std::unique_ptr<SearchableHidDevice> handle = m_devices.NewHandle();
    if (!handle) {
      m_events.Notice("the devices give no handle per unit; the station cannot run units of its own");
      EndWith("startup_failure", 2);
      return;
    }
    std::shared_ptr<CLog> log = LogFor(state.unit);
    // Held before the worker opens the unit, so that its first command
    // never waits for the hold.
    if (m_updating++ == 0) m_events.Busy(true);
    state.holding = true;
    state.mayPassOver = !m_shared.Shared(state.unit.serial);
    {
      std::lock_guard lock(m_stationLock);
      state.progressDirty = false;
      state.phase = Phase::Starting;
      state.position = 0;
      state.elapsed = "00:00.000";
    }
    try {
      state.worker = std::jthread([this, &state, handle = std::move(handle), log = std::move(log)]() mutable {
        RunUnit(state, std::move(handle), std::move(log));
      });
    } catch (const std::system_error&) {
      // No thread to be had now (a process at its limit): the unit keeps its
      // place and is started when a running unit has finished.
      if (!m_threadNoticeSaid) m_events.Notice("no thread for another unit now; it waits for a running one");
      m_threadNoticeSaid = true;
      state.holding = false;
      if (--m_updating == 0) m_events.Busy(false);
      return;
    }
    m_queue.pop_front();
    state.stage = UnitState::Stage::Running;
    ++m_running;
  }
}

void Engine::EndWith(const char* endedBy, int status) {
  if (Ending()) return;
  m_endedBy = endedBy;
  m_endStatus = status;
}

void Engine::Finish(UnitState& state, const UnitResult& result, bool completed) {
  ++m_summary.devices;
  if (result.passedOver) {
    ++m_summary.passedOver;
  } else if (result.failure != 0 || (!completed && result.recorded)) {
    ++m_summary.failed;
    if (result.failure != 0) ++m_failures[result.failure];
  } else if (completed) {
    ++m_summary.updated;
  } else {
    // Not run: the record could not take its start.
    ++m_summary.failed;
  }
  state.stage = UnitState::Stage::Done;
  m_events.Finished(state.unit, result);
  if (!result.recorded) {
    m_recordFailed = true;
    EndWith("record_failure", 1);
  }
  if (m_config.count && m_summary.devices >= *m_config.count) EndWith("count", 0);
}

void Engine::Handle(struct Post& post) {
  UnitState* state = Find(post.id);
  if (state == nullptr) return;
  switch (post.kind) {
    case Post::Kind::Started:
      m_events.Started(state->unit);
      return;
    case Post::Kind::Message:
      m_events.Message(state->unit, post.text);
      return;
    case Post::Kind::Notice:
      m_events.Notice(post.text);
      return;
    case Post::Kind::Finished:
      --m_running;
      Finish(*state, post.result, post.completed);
      return;
    case Post::Kind::StartupFailed: {
      --m_running;
      const std::vector<HidInterfaceInfo> found = m_devices.ListInterfaces(DeviceVendorId, DeviceProductId);
      const auto listed = std::find_if(found.begin(), found.end(),
                                       [&](const HidInterfaceInfo& info) { return info.identity == state->unit.identity; });
      if (listed == found.end()) {
        // Gone before it could be opened: never this station's unit.
        state->stage = UnitState::Stage::Done;
        return;  // the next look says it is gone
      }
      if (post.refusal.reason == kInUseByAnotherUpdater || listed->problem == kInUseByAnotherUpdater) {
        // Two searches that crossed refuse each other for a moment: a unit
        // the listing shows free is tried again; one another updater has is
        // passed over until it is unplugged, so it is never updated twice.
        if (listed->usable && state->inUseRetries++ < kInUseRetries) {
          state->stage = UnitState::Stage::Retry;  // queued again at the next look
          return;
        }
        state->stage = UnitState::Stage::PassedOver;
        m_events.Refused(state->unit, Refusal::InUse, kInUseByAnotherUpdater);
        return;
      }
      // Anything else (a damaged image) would fail every unit the same way.
      for (const std::string& text : post.messages) m_events.Message(state->unit, text);
      state->stage = UnitState::Stage::Done;
      EndWith("startup_failure", 2);
      return;
    }
  }
}

StationSummary Engine::Run() {
  Clock::time_point nextPoll = Clock::now();
  for (;;) {
    // The latest progress of each unit, then what the workers posted.
    std::vector<std::tuple<UnitState*, Phase, int, int, std::string>> progress;
    std::deque<struct Post> posts;
    {
      std::lock_guard lock(m_stationLock);
      for (auto& [id, state] : m_units) {
        if (!state->progressDirty) continue;
        state->progressDirty = false;
        progress.emplace_back(state.get(), state->phase, state->position, state->upper, state->elapsed);
      }
      posts.swap(m_posts);
    }
    for (const auto& [state, phase, position, upper, elapsed] : progress) {
      m_events.Progress(state->unit, phase, position, upper, elapsed);
    }
    for (struct Post& post : posts) {
      const bool ended = post.kind == Post::Kind::Finished || post.kind == Post::Kind::StartupFailed;
      UnitState* state = Find(post.id);
      Handle(post);
      if (ended && state != nullptr) {
        if (state->worker.joinable()) state->worker.join();
        if (state->holding && --m_updating == 0) m_events.Busy(false);
        state->holding = false;
      }
    }

    if (!Ending() && m_config.stopRequested && m_config.stopRequested()) EndWith("interrupt", 0);
    const Clock::time_point now = Clock::now();
    if (!Ending() && now >= nextPoll) {
      Poll();
      nextPoll = now + m_config.poll;
    }
    StartQueued();
    if (Ending() && m_running == 0) break;
    if (!Ending() && m_running == 0 && m_queue.empty() && !m_waitingSaid) {
      m_events.Waiting();
      m_waitingSaid = true;
    }

    std::unique_lock lock(m_stationLock);
    const Clock::time_point until = Ending() ? Clock::now() + kProgressPeriod
                                             : std::min(nextPoll, Clock::now() + kProgressPeriod);
    m_wake.wait_until(lock, until, [this] { return !m_posts.empty(); });
  }

  m_summary.failures.assign(m_failures.begin(), m_failures.end());
  m_summary.endedBy = m_endedBy;
  if (m_endStatus == 2) {
    m_summary.status = 2;
  } else {
    m_summary.status = m_summary.failed != 0 || m_recordFailed ? 1 : 0;
  }
  return m_summary;
}

}  // namespace

StationSummary RunStation(SearchableHidDevice& devices, const Resources& resources, const StationConfig& config,
                          StationEvents& events) {
  StationConfig bounded = config;
  bounded.parallel = std::clamp(config.parallel, 1u, kMaxParallel);
  Engine engine(devices, resources, bounded, events);
  return engine.Run();
}

}  // namespace orvik::station
