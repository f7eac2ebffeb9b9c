#include "station/station.h"

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "image/image.h"
#include "log/log.h"
#include "station/shared_serials.h"
#include "station/unit_log.h"
#include "station/unit_recording.h"
#include "ui/updater_dlg.h"

namespace orvik::station {

bool HadItsTurn(UnitState state) {
  return state == UnitState::Passed || state == UnitState::Failed || state == UnitState::PassedOver ||
         state == UnitState::AwaitingRemoval;
}

void Tally::Count(const UnitResult& result) {
  switch (result.outcome()) {
    case Outcome::Passed:
      ++passed;
      return;
    case Outcome::PassedOver:
      ++passedOver;
      return;
    case Outcome::Failed:
      ++failed;
      if (result.failure != 0) ++failures[result.failure];
      return;
  }
}

std::optional<double> Tally::PassShare() const {
  if (passed + failed == 0) return std::nullopt;
  return static_cast<double>(passed) / static_cast<double>(passed + failed);
}

namespace {

using SteadyClock = std::chrono::steady_clock;
using SystemClock = std::chrono::system_clock;
using std::chrono::milliseconds;

// A unit whose open was refused as in use while the listing showed it free
// (two searches crossing) is tried again this many times.
constexpr int kInUseRetries = 3;
// How often a waiting engine looks at its commands and the hold's answer.
constexpr milliseconds kCommandPeriod{50};

// What a unit's worker tells the engine.
struct Post {
  enum class Kind { Started, Message, Notice, StartupFailed, Finished };
  Kind kind = Kind::Notice;
  std::uint64_t id = 0;
  std::string text;                   // Message
  Notice notice;                      // Notice
  std::vector<std::string> messages;  // StartupFailed: the dialog's message boxes
  OpenRefusal refusal;                // StartupFailed
  UnitResult result;                  // Finished
};

// Where a run is, from the command it is about to send.
Phase PhaseOf(UpdateCommand command, const UnitOptions& options) {
  switch (command) {
    case UpdateCommand::StartUpdate:
      return Phase::Starting;
    case UpdateCommand::MCUErase:
    case UpdateCommand::MCUWrite:
      return Phase::Mcu;
    case UpdateCommand::MCUEnd:
      return options.usb ? Phase::Mcu : Phase::Ending;
    case UpdateCommand::USBErase:
    case UpdateCommand::USBWrite:
      return Phase::Usb;
    case UpdateCommand::USBEnd:
      return Phase::Ending;
  }
  return Phase::Starting;
}

}  // namespace

class Station::Engine {
 public:
  Engine(SearchableHidDevice& devices, const Resources& resources, StationConfig config, Poster poster,
         StationEvents& events, StationHost& host)
      : m_devices(devices),
        m_resources(resources),
        m_config(std::move(config)),
        m_poster(std::move(poster)),
        m_events(events),
        m_host(host) {
    m_parallel = std::clamp(m_config.parallel, 1u, kMaxParallel);
    m_options = m_config.options;
    m_countingSince = SystemClock::now();
    m_thread = std::jthread([this] { Loop(); });
  }

  ~Engine() {
    {
      std::lock_guard lock(m_lock);
      m_closing = true;
      m_wantRunning = false;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
    for (auto& [id, unit] : m_units) {
      if (unit->worker.joinable()) unit->worker.join();
    }
  }

  void Command(const std::function<void()>& change) {
    {
      std::lock_guard lock(m_lock);
      change();
    }
    m_wake.notify_all();
  }

  // --- Shared with the front end's calls, under m_lock -----------------------
  bool m_wantRunning = false;
  bool m_closing = false;
  bool m_resetAsked = false;
  unsigned m_parallel = kDefaultParallel;
  UnitOptions m_options;
  std::set<std::uint64_t> m_skipAsked;

  StationSnapshot SnapshotLocked() const;
  mutable std::mutex m_lock;  // the engine's one lock; the engine's thread is its owner
  RunState m_state = RunState::Stopped;
  unsigned m_updating = 0;  // units whose worker runs (the hold is held)

 private:
  // One unit from its arrival until it is gone.
  struct UnitRec {
    enum class Stage { Queued, Running, Retry, Done, Idle };
    // The engine's thread.
    Stage stage = Stage::Queued;
    bool hidden = false;  // not a slot of the station: never shown
    int inUseRetries = 0;
    bool mayPassOver = true;
    bool holding = false;
    std::jthread worker;
    // Under m_lock.
    UnitView view;
    bool dirty = false;  // progress not yet handed on
    SteadyClock::time_point runBegin{};
  };

  void Loop();
  void RunUnit(UnitRec& rec, Unit unit, std::unique_ptr<SearchableHidDevice> handle, UnitOptions options);
  void Send(Post post) {
    {
      std::lock_guard lock(m_lock);
      m_posts.push_back(std::move(post));
    }
    m_wake.notify_all();
  }
  void Poll();
  void StartQueued();
  void Handle(Post& post);
  void Finish(UnitRec& rec, const UnitResult& result);
  void EndWith(EndReason reason);
  void AskHold();
  bool Closing() {
    std::lock_guard lock(m_lock);
    return m_closing;
  }
  // Sets a shown unit's state (under the lock) and tells the front end.
  void SetState(UnitRec& rec, UnitState state, std::string problem = {},
                std::optional<UnitResult> result = std::nullopt);
  void Changed(const UnitRec& rec);
  void Emit(std::function<void(StationEvents&)> call) {
    m_poster([events = &m_events, call = std::move(call)] { call(*events); });
  }
  UnitRec* Find(std::uint64_t id) {
    const auto it = m_units.find(id);
    return it == m_units.end() ? nullptr : it->second.get();
  }
  std::string TallyKey(const Unit& unit) const {
    if (!unit.slot.empty()) return unit.slot;
    return unit.port.empty() ? unit.path : unit.port;
  }

  SearchableHidDevice& m_devices;
  const Resources& m_resources;
  const StationConfig m_config;
  const Poster m_poster;
  StationEvents& m_events;
  StationHost& m_host;

  // Under m_lock.
  std::condition_variable m_wake;
  std::deque<Post> m_posts;
  Tally m_total;
  std::map<std::string, Tally> m_bySlot;
  SystemClock::time_point m_countingSince;

  // The engine's thread only.
  std::map<std::uint64_t, std::unique_ptr<UnitRec>> m_units;
  std::deque<std::uint64_t> m_queue;  // waiting their turn, in arrival order
  std::uint64_t m_nextId = 0;
  unsigned m_running = 0;  // workers started and not yet finished
  unsigned m_turns = 0;    // units that had their turn (for the count)
  bool m_waitingSaid = false;
  bool m_threadNoticeSaid = false;
  std::optional<EndReason> m_endReason;
  bool m_recordFailed = false;
  SharedSerials m_shared;
  // A log that writes nothing: a unit's dialog lines without a log folder.
  std::shared_ptr<CLog> m_silent = std::make_shared<CLog>(CLog::Unregistered{});
  std::jthread m_thread;  // last: started once everything above is made
};

// The unit's dialog without a window: every call comes on the unit's own
// thread (the run is made there), so nothing here needs a lock but the
// progress, which the engine reads.
class HeadlessWindow final : public DialogWindow {
 public:
  using Report = std::function<void(int perMille)>;
  using Say = std::function<void(const std::string&)>;
  HeadlessWindow(Report progress, Say message) : m_progress(std::move(progress)), m_message(std::move(message)) {}

  std::string GetCaption() override { return m_caption; }
  void SetCaption(const std::string& text) override { m_caption = text; }
  void ShowControl(int) override {}
  int GetCheck(int id) override {
    const auto it = m_checks.find(id);
    return it == m_checks.end() ? 0 : it->second;
  }
  void SetCheck(int id, bool checked) override { m_checks[id] = checked ? 1 : 0; }
  void SetItemText(int, const std::string&) override {}
  void EnableControl(int, bool) override {}
  void SetProgressRange(int lower, int upper) override {
    m_lower = lower;
    m_upper = std::max(upper, lower + 1);
  }
  void SetProgressPos(int position) override {
    const long long span = m_upper - m_lower;
    const long long at = std::clamp<long long>(position - m_lower, 0, span);
    m_progress(static_cast<int>(at * kProgressMax / span));
  }
  void StartTimer(int, unsigned) override {}
  void StopTimer(int) override {}
  int MessageBox(const std::string& text, const std::string&) override {
    m_last = text;
    if (m_begun) {
      m_message(text);
    } else {
      m_startup.push_back(text);
    }
    return kMessageBoxOk;
  }
  void EndDialog(int) override { m_ended = true; }

  void Begin() { m_begun = true; }
  bool Ended() const { return m_ended; }
  const std::string& LastMessage() const { return m_last; }
  std::vector<std::string> TakeStartupMessages() { return std::move(m_startup); }

 private:
  Report m_progress;
  Say m_message;
  std::string m_caption = kDialogCaption;
  std::map<int, int> m_checks;
  int m_lower = 0;
  int m_upper = kProgressMax;
  bool m_begun = false;
  bool m_ended = false;
  std::string m_last;
  std::vector<std::string> m_startup;
};

StationSnapshot Station::Engine::SnapshotLocked() const {
  StationSnapshot snapshot;
  snapshot.state = m_state;
  snapshot.parallel = m_parallel;
  snapshot.slots = m_config.slots;
  for (const auto& [id, rec] : m_units) {
    if (!rec->hidden) snapshot.units.push_back(rec->view);
  }
  snapshot.total = m_total;
  snapshot.bySlot = m_bySlot;
  snapshot.countingSince = m_countingSince;
  return snapshot;
}

void Station::Engine::Changed(const UnitRec& rec) {
  if (rec.hidden) return;
  UnitView view;
  {
    std::lock_guard lock(m_lock);
    view = rec.view;
  }
  Emit([view](StationEvents& events) { events.UnitChanged(view); });
}

void Station::Engine::SetState(UnitRec& rec, UnitState state, std::string problem,
                               std::optional<UnitResult> result) {
  {
    std::lock_guard lock(m_lock);
    rec.view.state = state;
    rec.view.problem = std::move(problem);
    if (result) rec.view.result = std::move(result);
    if (state != UnitState::Running) rec.view.progress = Progress{};
    rec.view.since = SystemClock::now();
    rec.dirty = false;
  }
  Changed(rec);
}

void Station::Engine::AskHold() {
  // The front end holds the machine on its own thread; the engine waits for
  // it, looking at its own ending meanwhile. A poster that drops the task
  // breaks the promise, which ends the wait too.
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> held = done->get_future();
  m_poster([host = &m_host, done] {
    host->HoldMachine();
    done->set_value();
  });
  while (held.wait_for(kCommandPeriod) != std::future_status::ready) {
    if (Closing()) return;
  }
}

void Station::Engine::RunUnit(UnitRec& rec, Unit unit, std::unique_ptr<SearchableHidDevice> handle,
                              UnitOptions options) {
  const SteadyClock::time_point begin = SteadyClock::now();
  UnitRecording recording(m_config.record, unit, options.mcu, options.usb);
  UnitResult result;
  result.runId = recording.RunId();
  result.startedAt = recording.StartedAt();
  result.time = recording.Time();
  const auto finish = [&] {
    Post post;
    post.kind = Post::Kind::Finished;
    post.id = unit.id;
    post.result = result;
    Send(std::move(post));
  };
  const auto notice = [&](Notice::Kind kind, std::string text) {
    Post post;
    post.kind = Post::Kind::Notice;
    post.id = unit.id;
    post.notice.kind = kind;
    post.notice.text = std::move(text);
    post.notice.unit = unit;
    Send(std::move(post));
  };
  bool opened = false;
  try {
    if (m_config.skipUpdated && rec.mayPassOver) {
      if (std::optional<std::string> at = recording.UpdatedAt()) {
        result.passedOver = true;
        result.updatedAt = std::move(*at);
        result.message = "already updated at " + result.updatedAt;
        finish();
        return;
      }
    }

    // Every log line of this unit's dialog goes to the unit's own log,
    // opened here, off the engine's thread.
    std::shared_ptr<CLog> log = m_silent;
    if (m_config.logFolder) {
      std::string error;
      if (std::shared_ptr<CLog> own = m_config.logFolder->LogFor(unit.serial, unit.path, error)) {
        log = std::move(own);
      } else {
        notice(Notice::Kind::LogNotWritten, "its own log cannot be written: " + error);
      }
    }
    const ScopedThreadLog threadLog(log.get());
    handle->RestrictToPath(unit.path);
    opened = true;
    HeadlessWindow window(
        [this, &rec](int perMille) {
          std::lock_guard lock(m_lock);
          rec.view.progress.perMille = perMille;
          rec.dirty = true;
        },
        [&](const std::string& text) {
          Post post;
          post.kind = Post::Kind::Message;
          post.id = unit.id;
          post.text = text;
          Send(std::move(post));
        });
    {
      CORVIKUpdaterDlg dialog(window, *handle, m_resources, m_config.arguments);
      dialog.OnInitDialog();
      if (window.Ended()) {
        Post post;
        post.kind = Post::Kind::StartupFailed;
        post.id = unit.id;
        post.refusal = handle->LastOpenRefusal();
        post.messages = window.TakeStartupMessages();
        handle->Close();
        Send(std::move(post));
        return;
      }
      std::string error;
      if (!recording.Start(error)) {
        handle->Close();
        result.recorded = false;
        result.recordError = error;
        result.message = "not updated: the record could not take its start";
        result.duration = std::chrono::duration_cast<milliseconds>(SteadyClock::now() - begin);
        notice(Notice::Kind::RecordNotStarted, "not updated: the record could not take its start: " + error);
        finish();
        return;
      }
      window.Begin();
      {
        // The run's clock and progress start with its first command.
        std::lock_guard lock(m_lock);
        rec.runBegin = SteadyClock::now();
        rec.view.progress = Progress{};
      }
      Post started;
      started.kind = Post::Kind::Started;
      started.id = unit.id;
      Send(std::move(started));

      // The check boxes as the options set them, then the run, here.
      if (!options.mcu) window.SetCheck(IDC_MCU, false);
      if (!options.usb) window.SetCheck(IDC_USB, false);
      if (options.verboseLog) {
        window.SetCheck(IDC_LOG, true);
        dialog.OnClickedLog();
      }
      dialog.SetRunObserver([this, &rec, options](UpdateCommand command) {
        const Phase phase = PhaseOf(command, options);
        std::lock_guard lock(m_lock);
        if (rec.view.progress.phase == phase) return;
        rec.view.progress.phase = phase;
        rec.dirty = true;
      });
      result.flashed = true;
      const int last = dialog.RunHere();
      result.completed = last == 0;
      result.failure = std::max(last, 0);
      result.message = window.LastMessage();
    }
    handle->Close();
    // One duration per run: the one recorded is the one shown.
    result.duration = std::chrono::duration_cast<milliseconds>(SteadyClock::now() - begin);
    std::string error;
    if (!recording.Finish(result.completed, result.failure, result.message, result.duration, error)) {
      result.recorded = false;
      result.recordError = error;
    } else if (!error.empty()) {
      // Taken, with a word: a lost server's row kept in the spool.
      notice(Notice::Kind::Record, error);
    }
    finish();
  } catch (const std::exception& error) {
    // Whatever went wrong ends this unit with a failure, never the station.
    if (opened) handle->Close();
    result.completed = false;
    result.message = std::string("the unit's run ended with an error: ") + error.what();
    result.duration = std::chrono::duration_cast<milliseconds>(SteadyClock::now() - begin);
    finish();
  }
}

void Station::Engine::Poll() {
  const std::vector<HidInterfaceInfo> found = m_devices.ListInterfaces(DeviceVendorId, DeviceProductId);
  // Units with one serial: a record that passes over updated units cannot
  // tell them apart.
  std::vector<SharedSerials::Attached> attached;
  for (const HidInterfaceInfo& info : found) {
    if (info.inputReportLength == kReportSize && info.outputReportLength == kReportSize) {
      attached.push_back({info.serial, info.identity});
    }
  }
  for (const std::string& serial : m_shared.Look(attached)) {
    if (m_config.record == nullptr || !m_config.skipUpdated) continue;
    Notice notice;
    notice.kind = Notice::Kind::SharedSerial;
    notice.serial = serial;
    notice.text = "each is updated, none is passed over, and the record cannot tell them apart";
    Emit([notice](StationEvents& events) { events.Said(notice); });
  }
  std::set<std::string> present;
  for (const HidInterfaceInfo& info : found) {
    present.insert(info.identity);
    auto known = std::find_if(m_units.begin(), m_units.end(),
                              [&](const auto& entry) { return entry.second->view.unit.identity == info.identity; });
    if (known != m_units.end()) {
      UnitRec& rec = *known->second;
      if (rec.stage == UnitRec::Stage::Retry) {
        if (info.usable) {
          rec.stage = UnitRec::Stage::Queued;
          m_queue.push_back(rec.view.unit.id);
        } else {
          rec.stage = UnitRec::Stage::Idle;
          SetState(rec, UnitState::InUse, info.problem);
        }
        continue;
      }
      // Present but not openable before (permissions): taken once it opens.
      // One another updater held stays passed over until it is unplugged:
      // the other has updated it.
      if (rec.stage != UnitRec::Stage::Idle || rec.view.state != UnitState::Unusable || !info.usable || rec.hidden) {
        continue;
      }
      rec.stage = UnitRec::Stage::Queued;
      SetState(rec, UnitState::Waiting);
      m_waitingSaid = false;
      m_queue.push_back(rec.view.unit.id);
      continue;
    }
    auto rec = std::make_unique<UnitRec>();
    Unit& unit = rec->view.unit;
    unit.id = ++m_nextId;
    unit.path = info.path;
    unit.identity = info.identity;
    unit.serial = info.serial;
    unit.port = info.port;
    rec->view.since = SystemClock::now();
    if (m_config.slotOf) {
      const std::optional<std::string> slot = m_config.slotOf(info);
      if (!slot) {
        // Not on a slot of the station: left alone, and not shown.
        rec->hidden = true;
        Notice notice;
        notice.kind = Notice::Kind::NotASlot;
        notice.text = "not a slot; left alone";
        notice.unit = unit;
        Emit([notice](StationEvents& events) { events.Said(notice); });
        rec->stage = UnitRec::Stage::Idle;
        m_units.emplace(unit.id, std::move(rec));
        continue;
      }
      unit.slot = *slot;
    }
    UnitRec& added = *rec;
    m_units.emplace(unit.id, std::move(rec));
    if (!info.usable) {
      added.stage = UnitRec::Stage::Idle;
      const bool inUse = info.problem == kInUseByAnotherUpdater;
      SetState(added, inUse ? UnitState::InUse : UnitState::Unusable, info.problem);
      continue;
    }
    added.stage = UnitRec::Stage::Queued;
    SetState(added, UnitState::Waiting);
    m_waitingSaid = false;
    m_queue.push_back(added.view.unit.id);
  }

  // The units no longer listed: gone, unless a run of theirs is still on
  // (it ends by itself, and the next look finds them gone).
  for (auto it = m_units.begin(); it != m_units.end();) {
    UnitRec& rec = *it->second;
    if (present.count(rec.view.unit.identity) != 0 || rec.stage == UnitRec::Stage::Running) {
      ++it;
      continue;
    }
    if (rec.worker.joinable()) rec.worker.join();
    std::erase(m_queue, rec.view.unit.id);
    if (!rec.hidden) {
      UnitView view;
      {
        std::lock_guard lock(m_lock);
        view = rec.view;
        it = m_units.erase(it);
      }
      Emit([view](StationEvents& events) { events.Gone(view); });
    } else {
      std::lock_guard lock(m_lock);
      it = m_units.erase(it);
    }
  }
}

void Station::Engine::StartQueued() {
  for (;;) {
    unsigned parallel = 0;
    UnitOptions options;
    {
      std::lock_guard lock(m_lock);
      if (m_state != RunState::Running || m_closing) return;
      parallel = m_parallel;
      options = m_options;
    }
    if (m_queue.empty() || m_running >= parallel) return;
    if (m_config.count && m_turns + m_running >= *m_config.count) return;
    UnitRec& rec = *m_units.at(m_queue.front());
    if (rec.worker.joinable()) rec.worker.join();  // a refused try before
    std::unique_ptr<SearchableHidDevice> handle = m_devices.NewHandle();
    if (!handle) {
      EndWith(EndReason::StartupFailure);
      return;
    }
    // Held before the worker opens the unit, so that its first command
    // never waits for the hold.
    if (m_updating == 0) AskHold();
    {
      std::lock_guard lock(m_lock);
      ++m_updating;
      if (m_closing) {
        --m_updating;
        return;
      }
    }
    rec.holding = true;
    rec.mayPassOver = !m_shared.Shared(rec.view.unit.serial);
    const Unit unit = rec.view.unit;
    {
      // Before its worker exists: from here on only the worker moves them.
      std::lock_guard lock(m_lock);
      rec.runBegin = SteadyClock::now();
      rec.view.progress = Progress{};
      rec.dirty = false;
    }
    try {
      rec.worker = std::jthread([this, &rec, unit, handle = std::move(handle), options]() mutable {
        RunUnit(rec, unit, std::move(handle), options);
      });
    } catch (const std::system_error&) {
      // No thread to be had now (a process at its limit): the unit keeps its
      // place and is started when a running unit has finished, or at the
      // next look.
      if (!m_threadNoticeSaid) {
        Notice notice;
        notice.kind = Notice::Kind::NoThread;
        notice.text = "no thread for another unit now; it waits for a running one";
        Emit([notice](StationEvents& events) { events.Said(notice); });
      }
      m_threadNoticeSaid = true;
      rec.holding = false;
      bool letGo = false;
      {
        std::lock_guard lock(m_lock);
        letGo = --m_updating == 0;
      }
      if (letGo) m_poster([host = &m_host] { host->LetGo(); });
      return;
    }
    m_queue.pop_front();
    rec.stage = UnitRec::Stage::Running;
    SetState(rec, UnitState::Running);
    ++m_running;
  }
}

void Station::Engine::EndWith(EndReason reason) {
  if (!m_endReason) m_endReason = reason;
  std::lock_guard lock(m_lock);
  m_wantRunning = false;
}

void Station::Engine::Finish(UnitRec& rec, const UnitResult& result) {
  ++m_turns;
  Tally total;
  Tally slot;
  {
    std::lock_guard lock(m_lock);
    m_total.Count(result);
    Tally& bySlot = m_bySlot[TallyKey(rec.view.unit)];
    bySlot.Count(result);
    total = m_total;
    slot = bySlot;
  }
  rec.stage = UnitRec::Stage::Done;
  const UnitState state = result.outcome() == Outcome::Passed   ? UnitState::Passed
                          : result.outcome() == Outcome::Failed ? UnitState::Failed
                                                                : UnitState::PassedOver;
  SetState(rec, state, {}, result);
  UnitView view;
  {
    std::lock_guard lock(m_lock);
    view = rec.view;
  }
  Emit([view, total, slot](StationEvents& events) { events.Finished(view, total, slot); });
  if (!result.recorded) {
    m_recordFailed = true;
    // A result the record did not take ends the station; a start it did not
    // take leaves that unit unflashed and the station goes on.
    if (result.flashed) EndWith(EndReason::RecordFailure);
  }
  if (m_config.count && m_turns >= *m_config.count) EndWith(EndReason::CountReached);
}

void Station::Engine::Handle(Post& post) {
  if (post.kind == Post::Kind::Notice) {
    Emit([notice = post.notice](StationEvents& events) { events.Said(notice); });
    return;
  }
  UnitRec* rec = Find(post.id);
  if (rec == nullptr) return;
  switch (post.kind) {
    case Post::Kind::Notice:
      return;
    case Post::Kind::Started:
      Changed(*rec);
      return;
    case Post::Kind::Message: {
      UnitView view;
      {
        std::lock_guard lock(m_lock);
        view = rec->view;
      }
      Emit([view, text = post.text](StationEvents& events) { events.Message(view, text); });
      return;
    }
    case Post::Kind::Finished:
      --m_running;
      Finish(*rec, post.result);
      return;
    case Post::Kind::StartupFailed: {
      --m_running;
      const std::vector<HidInterfaceInfo> found = m_devices.ListInterfaces(DeviceVendorId, DeviceProductId);
      const auto listed = std::find_if(found.begin(), found.end(), [&](const HidInterfaceInfo& info) {
        return info.identity == rec->view.unit.identity;
      });
      if (listed == found.end()) {
        // Gone before it could be opened: the next look says it is gone.
        rec->stage = UnitRec::Stage::Done;
        return;
      }
      if (post.refusal.reason == kInUseByAnotherUpdater || listed->problem == kInUseByAnotherUpdater) {
        // Two searches that crossed refuse each other for a moment: a unit
        // the listing shows free is tried again; one another updater has is
        // left until it is free, so it is never updated twice.
        if (listed->usable && rec->inUseRetries++ < kInUseRetries) {
          rec->stage = UnitRec::Stage::Retry;  // queued again at the next look
          return;
        }
        rec->stage = UnitRec::Stage::Idle;
        SetState(*rec, UnitState::InUse, kInUseByAnotherUpdater);
        return;
      }
      // Its start-up failed: this unit cannot be run; the others go on.
      std::string why;
      for (const std::string& text : post.messages) why += (why.empty() ? "" : "\n") + text;
      rec->stage = UnitRec::Stage::Done;  // not tried again until it is plugged in again
      SetState(*rec, UnitState::Unusable, why.empty() ? "its start-up failed" : why);
      return;
    }
  }
}

void Station::Engine::Loop() {
  SteadyClock::time_point nextPoll = SteadyClock::now();
  for (;;) {
    // The front end's commands, each unit's latest progress, and what the
    // workers posted.
    std::deque<Post> posts;
    std::vector<UnitView> progress;
    bool want = false;
    bool closing = false;
    bool reset = false;
    std::set<std::uint64_t> skips;
    {
      std::lock_guard lock(m_lock);
      want = m_wantRunning;
      closing = m_closing;
      reset = std::exchange(m_resetAsked, false);
      skips.swap(m_skipAsked);
      posts.swap(m_posts);
      const SteadyClock::time_point now = SteadyClock::now();
      for (auto& [id, rec] : m_units) {
        if (!rec->dirty || rec->hidden) continue;
        rec->dirty = false;
        rec->view.progress.elapsed = std::chrono::duration_cast<milliseconds>(now - rec->runBegin);
        progress.push_back(rec->view);
      }
    }
    for (const UnitView& view : progress) {
      Emit([view](StationEvents& events) { events.UnitChanged(view); });
    }
    for (Post& post : posts) {
      const bool ended = post.kind == Post::Kind::Finished || post.kind == Post::Kind::StartupFailed;
      UnitRec* rec = Find(post.id);
      Handle(post);
      if (ended && rec != nullptr) {
        if (rec->worker.joinable()) rec->worker.join();
        if (rec->holding) {
          rec->holding = false;
          bool letGo = false;
          {
            std::lock_guard lock(m_lock);
            letGo = --m_updating == 0;
          }
          if (letGo) m_poster([host = &m_host] { host->LetGo(); });
        }
      }
    }
    if (reset) {
      StationSnapshot snapshot;
      {
        std::lock_guard lock(m_lock);
        m_total = Tally{};
        m_bySlot.clear();
        m_countingSince = SystemClock::now();
        snapshot = SnapshotLocked();
      }
      Emit([snapshot](StationEvents& events) { events.CountersReset(snapshot); });
    }
    for (const std::uint64_t id : skips) {
      UnitRec* rec = Find(id);
      if (rec == nullptr || rec->stage != UnitRec::Stage::Queued) continue;
      std::erase(m_queue, id);
      rec->stage = UnitRec::Stage::Done;
      SetState(*rec, UnitState::AwaitingRemoval, "skipped by the operator");
    }

    // The run's state.
    RunState state;
    {
      std::lock_guard lock(m_lock);
      want = m_wantRunning;
      state = m_state;
    }
    const auto setState = [&](RunState next) {
      {
        std::lock_guard lock(m_lock);
        m_state = next;
      }
      state = next;
      Emit([next](StationEvents& events) { events.StateChanged(next); });
    };
    if (state == RunState::Stopped && want && !closing) {
      m_endReason.reset();
      m_recordFailed = false;
      m_waitingSaid = false;
      setState(RunState::Running);
    } else if (state == RunState::Stopping && want && !closing) {
      m_endReason.reset();
      setState(RunState::Running);
    } else if (state == RunState::Running && (!want || closing)) {
      setState(RunState::Stopping);
    }
    if (state == RunState::Stopping && m_running == 0) {
      StationSummary summary;
      summary.endedBy = m_endReason.value_or(EndReason::Stopped);
      summary.recordFailed = m_recordFailed;
      {
        std::lock_guard lock(m_lock);
        summary.tally = m_total;
      }
      setState(RunState::Stopped);
      Emit([summary](StationEvents& events) { events.Ended(summary); });
    }
    if (closing && m_running == 0) return;

    const SteadyClock::time_point now = SteadyClock::now();
    if (!closing && now >= nextPoll) {
      Poll();
      nextPoll = now + m_config.poll;
    }
    StartQueued();
    if (state == RunState::Running && m_running == 0 && m_queue.empty() && !m_waitingSaid) {
      Emit([](StationEvents& events) { events.Waiting(); });
      m_waitingSaid = true;
    }

    std::unique_lock lock(m_lock);
    const SteadyClock::time_point until = std::min(nextPoll, SteadyClock::now() + kProgressPeriod);
    m_wake.wait_until(lock, until, [&] {
      return !m_posts.empty() || m_resetAsked || !m_skipAsked.empty() || m_wantRunning != want ||
             m_closing != closing;
    });
  }
}

Station::Station(SearchableHidDevice& devices, const Resources& resources, StationConfig config, Poster poster,
                 StationEvents& events, StationHost& host)
    : m_engine(std::make_unique<Engine>(devices, resources, std::move(config), std::move(poster), events, host)) {}

Station::~Station() = default;

void Station::Start() {
  m_engine->Command([this] { m_engine->m_wantRunning = true; });
}

void Station::Stop() {
  m_engine->Command([this] { m_engine->m_wantRunning = false; });
}

void Station::SetParallel(unsigned parallel) {
  m_engine->Command([this, parallel] { m_engine->m_parallel = std::clamp(parallel, 1u, kMaxParallel); });
}

void Station::SetOptions(const UnitOptions& options) {
  m_engine->Command([this, options] { m_engine->m_options = options; });
}

bool Station::Skip(std::uint64_t unit) {
  const StationSnapshot snapshot = Snapshot();
  const auto it = std::find_if(snapshot.units.begin(), snapshot.units.end(),
                               [&](const UnitView& view) { return view.unit.id == unit; });
  if (it == snapshot.units.end() || it->state != UnitState::Waiting) return false;
  m_engine->Command([this, unit] { m_engine->m_skipAsked.insert(unit); });
  return true;
}

void Station::ResetCounters() {
  m_engine->Command([this] { m_engine->m_resetAsked = true; });
}

StationSnapshot Station::Snapshot() const {
  std::lock_guard lock(m_engine->m_lock);
  return m_engine->SnapshotLocked();
}

RunState Station::State() const {
  std::lock_guard lock(m_engine->m_lock);
  return m_engine->m_state;
}

bool Station::Busy() const {
  std::lock_guard lock(m_engine->m_lock);
  return m_engine->m_updating != 0;
}

namespace {

// The calling thread's loop for RunStation: tasks posted by the engine, run
// in order.
class TaskQueue {
 public:
  void Push(std::function<void()> task) {
    {
      std::lock_guard lock(m_lock);
      m_tasks.push_back(std::move(task));
    }
    m_ready.notify_one();
  }
  // Runs the tasks there are, waiting up to `bound` for the first.
  void RunFor(milliseconds bound) {
    std::deque<std::function<void()>> tasks;
    {
      std::unique_lock lock(m_lock);
      m_ready.wait_for(lock, bound, [this] { return !m_tasks.empty(); });
      tasks.swap(m_tasks);
    }
    for (auto& task : tasks) task();
  }

 private:
  std::mutex m_lock;  // owns m_tasks
  std::condition_variable m_ready;
  std::deque<std::function<void()>> m_tasks;
};

// Hands every event on, and notes the end.
class EndWatch final : public StationEvents {
 public:
  explicit EndWatch(StationEvents& events) : m_events(events) {}
  void UnitChanged(const UnitView& view) override { m_events.UnitChanged(view); }
  void Finished(const UnitView& view, const Tally& total, const Tally& slot) override {
    m_events.Finished(view, total, slot);
  }
  void Message(const UnitView& view, const std::string& text) override { m_events.Message(view, text); }
  void Gone(const UnitView& view) override { m_events.Gone(view); }
  void Waiting() override { m_events.Waiting(); }
  void StateChanged(RunState state) override { m_events.StateChanged(state); }
  void Ended(const StationSummary& summary) override {
    m_summary = summary;
    m_ended = true;
    m_events.Ended(summary);
  }
  void Said(const Notice& notice) override { m_events.Said(notice); }
  void CountersReset(const StationSnapshot& snapshot) override { m_events.CountersReset(snapshot); }

  bool ended() const { return m_ended; }
  const StationSummary& summary() const { return m_summary; }

 private:
  StationEvents& m_events;
  bool m_ended = false;
  StationSummary m_summary;
};

}  // namespace

StationSummary RunStation(SearchableHidDevice& devices, const Resources& resources, const StationConfig& config,
                          StationEvents& events, StationHost& host, const std::function<bool()>& stopRequested) {
  TaskQueue tasks;
  EndWatch watch(events);
  {
    Station station(devices, resources, config, [&tasks](std::function<void()> task) { tasks.Push(std::move(task)); },
                    watch, host);
    station.Start();
    bool stopAsked = false;
    while (!watch.ended()) {
      tasks.RunFor(kCommandPeriod * 2);
      if (!stopAsked && !watch.ended() && stopRequested && stopRequested()) {
        station.Stop();
        stopAsked = true;
      }
    }
  }
  return watch.summary();
}

}  // namespace orvik::station
