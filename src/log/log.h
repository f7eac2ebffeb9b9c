// The process-wide log: one time-stamped line per event, UTF-16LE, flushed to
// disk before Write returns.
//
//   <2026-12-07 09:41:05> text\r\n
//
// A file the log creates starts with the byte-order mark FF FE. A file that has
// reached kTruncateSize bytes is emptied when it is opened (no mark then), so the
// log never grows without bound across runs; within one run it may grow past it.
//
// Text enters as UTF-8 and is written as UTF-16LE. Writes are serialised by the
// log's own lock, so lines from the user-interface thread and the update worker
// never interleave. Nothing is reported when the file cannot be opened or
// written: the log is a diagnostic record only.
//
// Only file output is built. The original design also had a console mode that
// no caller ever selected; Open() treats every mode as file output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace orvik {
class LogFile;
}

// Owns one mutex; the log's only lock.
class CCritSect {
 public:
  CCritSect() = default;
  CCritSect(const CCritSect&) = delete;
  CCritSect& operator=(const CCritSect&) = delete;
  virtual ~CCritSect() = default;

  void Enter() { m_cs.lock(); }
  void Leave() { m_cs.unlock(); }

 private:
  std::mutex m_cs;
};

// Scoped lock on a CCritSect: every path out of a locked region releases it.
class CLock {
 public:
  explicit CLock(CCritSect& critSect) : m_pCritSect(&critSect) { m_pCritSect->Enter(); }
  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;
  virtual ~CLock() { m_pCritSect->Leave(); }

 private:
  CCritSect* m_pCritSect;  // not owned
};

class CLog {
 public:
  // A file that has reached this size at Open() is emptied first.
  static constexpr std::uint64_t kTruncateSize = 20480;

  // Makes itself g_pLog when no log is registered yet.
  CLog();
  // A log of its own (a unit's at a station): never registered as g_pLog.
  struct Unregistered {};
  explicit CLog(Unregistered);
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;
  // Closes the file; unregisters itself from g_pLog if it is registered there.
  virtual ~CLog();

  // Opens (creating when missing) the log file; closes any file already open.
  // A file that cannot be opened, or that the platform refuses as a log (see
  // LogFile::OpenAlways), makes every later Write a no-op and gives false; it
  // is then neither emptied nor written.
  bool Open(const std::filesystem::path& path, std::uint8_t mode = 1);

  // Takes `file`, opened already (a unit's log in a held folder, see
  // LogFolder), as Open takes the file it opens: the size rule applies and
  // an empty file gets the byte-order mark. Closes any file open before.
  // False, with every later Write a no-op, when `file` is null.
  bool Adopt(std::unique_ptr<orvik::LogFile> file, std::uint8_t mode = 1);

  // Writes one line: time stamp, text (UTF-8), CR LF. False only when text is
  // null; true also when the file could not be written.
  bool Write(const char* text);
  bool Write(const std::string& text) { return Write(text.c_str()); }

 private:
  std::uint8_t m_mode = 1;
  std::unique_ptr<orvik::LogFile> m_hOutput;  // null: no output
  CCritSect m_lock;
};

// The process-wide log; null until the first CLog is constructed.
extern CLog* g_pLog;

namespace orvik {
// The log that LogLine writes to on the calling thread: set, it takes the
// lines instead of g_pLog (a station gives each unit's threads the unit's
// own log). Null: g_pLog.
CLog* ThreadLog();
void SetThreadLog(CLog* log);

// Sets the calling thread's log for its own lifetime, then restores it.
class ScopedThreadLog {
 public:
  explicit ScopedThreadLog(CLog* log) : m_previous(ThreadLog()) { SetThreadLog(log); }
  ~ScopedThreadLog() { SetThreadLog(m_previous); }
  ScopedThreadLog(const ScopedThreadLog&) = delete;
  ScopedThreadLog& operator=(const ScopedThreadLog&) = delete;

 private:
  CLog* m_previous;
};

// Writes a line to the thread's log, or to g_pLog when there is one.
// LogFormat formats printf-style.
void LogLine(const std::string& text);
void LogFormat(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
}  // namespace orvik
