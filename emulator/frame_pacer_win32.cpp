// Windows: a condition-variable wait ends on the system timer's tick, 15.6 ms
// by default, so a device that answers on 1 ms frames would answer on 16 ms
// ones. A high-resolution waitable timer (Windows 10 1803 and later) ends
// within about half a millisecond of its time without changing the system
// timer; where Windows refuses one, a plain waitable timer is used with the
// system timer raised to 1 ms for as long as the pacer lives (the emulated
// run), and set back after. Windows 7 to Windows 10 1709 are supported and
// have no high-resolution timer, so that fallback stays.
//
// winmm.dll, which sets the timer resolution, is not one of Windows' known
// DLLs: it is loaded from the system folder only, and only for the fallback;
// the program does not import it.
//
// Under Wine (the tests' and the benchmark's Windows), a waitable timer is
// kept by the Wine server, which sleeps in whole milliseconds counted from
// the last request it served, rounded up: a wait set 0.7 ms before a frame
// boundary ends 1 ms later, 0.3 ms past it. Each transfer then starts a
// little later in its frame than the one before, by the time the program
// and the server took in between, until a transfer misses its frame; the
// busier the machine, the more often. Under Wine the pacer therefore sleeps
// in ntdll's RtlWaitOnAddress on a word nobody changes: Wine waits for it in
// the process itself (a futex), to the microsecond, without the server and
// without giving up the processor first as its NtDelayExecution does. On
// Windows that wait ends on the system timer's tick, so there the timer
// stays.
#include <windows.h>
#include <timeapi.h>

#include <algorithm>
#include <bit>
#include <memory>

#include "emulator/frame_pacer.h"
#include "hid/system_library_win32.h"

namespace orvik {
namespace {

// mingw-w64 10's headers do not name the flag yet.
constexpr DWORD kHighResolutionTimer = 0x00000002;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION

// One slice of a wait at most: while the pacer sleeps on its timer the
// device's condition variable is not watched, so an unplug is seen at the
// end of the slice, within one frame.
constexpr std::chrono::microseconds kLongestSlice{1000};

// No wait on the timer outlasts this, even if it was never signalled.
constexpr DWORD kTimerWaitBoundMs = 1000;

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// timeBeginPeriod(1) held, and given back with timeEndPeriod(1). Without
// winmm.dll in the system folder nothing is held: the pacer's waits are
// only coarser.
class OneMillisecondPeriod {
 public:
  OneMillisecondPeriod() : m_winmm(LoadSystemLibrary(L"winmm.dll").module) {
    if (!m_winmm) return;
    const auto begin = std::bit_cast<decltype(&timeBeginPeriod)>(GetProcAddress(m_winmm.get(), "timeBeginPeriod"));
    m_end = std::bit_cast<decltype(&timeEndPeriod)>(GetProcAddress(m_winmm.get(), "timeEndPeriod"));
    m_held = begin != nullptr && m_end != nullptr && begin(1) == TIMERR_NOERROR;
  }
  OneMillisecondPeriod(const OneMillisecondPeriod&) = delete;
  OneMillisecondPeriod& operator=(const OneMillisecondPeriod&) = delete;
  ~OneMillisecondPeriod() {
    if (m_held) m_end(1);
  }

 private:
  UniqueModule m_winmm;  // declared first: freed after the period is given back
  decltype(&timeEndPeriod) m_end = nullptr;
  bool m_held = false;
};

// ntdll's RtlWaitOnAddress(address, compare with, size, timeout in 100 ns
// units, negative: relative) when the program runs under Wine, which names
// itself through ntdll's wine_get_version; null on Windows. ntdll is in
// every process.
using WaitOnAddress = LONG(NTAPI*)(const void*, const void*, SIZE_T, const LARGE_INTEGER*);
WaitOnAddress WineWaitOnAddress() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr) return nullptr;
  return std::bit_cast<WaitOnAddress>(GetProcAddress(ntdll, "RtlWaitOnAddress"));
}

class TimerPacer final : public FramePacer {
 public:
  TimerPacer() : m_waitOnAddress(WineWaitOnAddress()) {
    if (m_waitOnAddress) return;
    m_timer.reset(CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS));
    if (!m_timer) {
      m_period = std::make_unique<OneMillisecondPeriod>();
      m_timer.reset(CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS));
    }
  }

  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                 std::chrono::steady_clock::time_point due, const std::function<bool()>& stop) override {
    using Ticks = std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>;  // 100 ns units
    for (;;) {
      if (stop()) return true;
      const auto now = std::chrono::steady_clock::now();
      if (now >= due) return false;
      const auto slice = std::min<std::chrono::steady_clock::duration>(due - now, kLongestSlice);
      LARGE_INTEGER when;
      when.QuadPart = -std::max<LONGLONG>(1, std::chrono::ceil<Ticks>(slice).count());  // negative: relative
      if (m_waitOnAddress) {
        // Ends at the time, or earlier (a spurious wake): the loop looks again.
        lock.unlock();
        m_waitOnAddress(&m_unchanged, &kUnchanged, sizeof m_unchanged, &when);
        lock.lock();
        continue;
      }
      if (!m_timer || !SetWaitableTimer(m_timer.get(), &when, 0, nullptr, nullptr, FALSE)) {
        // No timer: the coarse wait, still correct, only slower.
        return changed.wait_until(lock, due, stop);
      }
      lock.unlock();
      WaitForSingleObject(m_timer.get(), kTimerWaitBoundMs);
      lock.lock();
    }
  }

 private:
  static constexpr LONG kUnchanged = 0;
  WaitOnAddress m_waitOnAddress = nullptr;  // under Wine only: no timer then
  LONG m_unchanged = kUnchanged;            // the word it waits on
  UniqueHandle m_timer;
  std::unique_ptr<OneMillisecondPeriod> m_period;  // only without a high-resolution timer
};

}  // namespace

std::unique_ptr<FramePacer> MakeFramePacer() { return std::make_unique<TimerPacer>(); }

}  // namespace orvik
