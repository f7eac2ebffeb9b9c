#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "log/log_file.h"
#include "log/utf.h"

CLog* g_pLog = nullptr;

CLog::CLog() {
  if (g_pLog == nullptr) g_pLog = this;
}

CLog::CLog(Unregistered) {}

CLog::~CLog() {
  // The program's one log lives until process exit; unregistering keeps a
  // shorter-lived log (a test's) from leaving a dangling g_pLog behind.
  if (g_pLog == this) g_pLog = nullptr;
}

bool CLog::Open(const std::filesystem::path& path, std::uint8_t mode) {
  m_hOutput.reset();
  // The size rule runs only on a file OpenAlways has accepted.
  return Adopt(orvik::LogFile::OpenAlways(path), mode);
}

bool CLog::Adopt(std::unique_ptr<orvik::LogFile> file, std::uint8_t mode) {
  m_mode = mode;
  m_hOutput = std::move(file);
  if (!m_hOutput) return false;
  const std::uint64_t size = m_hOutput->Size();
  if (size >= kTruncateSize) {
    m_hOutput->Truncate();  // emptied; no byte-order mark in front of the new lines
  } else if (size == 0) {
    static constexpr unsigned char kByteOrderMark[] = {0xFF, 0xFE};
    m_hOutput->Write(kByteOrderMark, sizeof kByteOrderMark);
  } else {
    m_hOutput->SeekToEnd();
  }
  return true;
}

namespace {

void AppendUtf16Le(std::vector<unsigned char>& out, std::u16string_view text) {
  for (const char16_t unit : text) {
    out.push_back(static_cast<unsigned char>(unit & 0xFF));
    out.push_back(static_cast<unsigned char>(unit >> 8));
  }
}

}  // namespace

bool CLog::Write(const char* text) {
  CLock lock(m_lock);
  if (text == nullptr) return false;

  const orvik::LocalTime now = orvik::LocalTimeNow();
  char prefix[64] = {};
  std::snprintf(prefix, sizeof prefix, "<%4d-%02d-%02d %02d:%02d:%02d> ", now.year, now.month,
                now.day, now.hour, now.minute, now.second);

  // The whole line goes out in one write, so a reader never sees half a line.
  std::vector<unsigned char> line;
  const std::u16string body = orvik::Utf8ToUtf16(text);
  line.reserve(2 * (sizeof prefix + body.size() + 2));
  AppendUtf16Le(line, orvik::Utf8ToUtf16(prefix));
  AppendUtf16Le(line, body);
  AppendUtf16Le(line, u"\r\n");

  if (m_hOutput) {
    // Other processes may share the file: always append at its current end.
    m_hOutput->SeekToEnd();
    m_hOutput->Write(line.data(), line.size());
    m_hOutput->Flush();
  }
  return true;
}

namespace orvik {
namespace {
thread_local CLog* t_threadLog = nullptr;
}  // namespace

CLog* ThreadLog() { return t_threadLog; }

void SetThreadLog(CLog* log) { t_threadLog = log; }

void LogLine(const std::string& text) {
  if (CLog* log = t_threadLog != nullptr ? t_threadLog : g_pLog) log->Write(text);
}

void LogFormat(const char* format, ...) {
  char buffer[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  LogLine(buffer);
}

}  // namespace orvik
