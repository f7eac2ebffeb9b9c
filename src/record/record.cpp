#include "record/record.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <cstdio>
#include <random>

#include "record/append_file.h"
#include "record/backends.h"

#ifndef ORVIK_PROGRAM_VERSION
#error "ORVIK_PROGRAM_VERSION must be defined by the build"
#endif

namespace orvik::record {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
  return lower;
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

Backend BackendFor(std::string_view spec) {
  const std::string lower = Lower(spec);
  if (lower.rfind("postgresql://", 0) == 0 || lower.rfind("postgres://", 0) == 0) return Backend::Postgres;
  if (EndsWith(lower, ".db") || EndsWith(lower, ".sqlite") || EndsWith(lower, ".sqlite3")) return Backend::Sqlite;
  return Backend::Files;
}

std::string DisplayName(std::string_view spec) {
  if (BackendFor(spec) != Backend::Postgres) return std::string(spec);
  // postgresql://[user[:password]@]host[:port][/db][?key=value&...]
  const std::size_t scheme = spec.find("://") + 3;
  std::string shown(spec.substr(0, scheme));
  std::string_view rest = spec.substr(scheme);
  const std::size_t authorityEnd = std::min(rest.find_first_of("/?"), rest.size());
  std::string_view authority = rest.substr(0, authorityEnd);
  rest.remove_prefix(authorityEnd);
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    const std::string_view user = authority.substr(0, std::min(authority.find(':'), at));
    shown += std::string(user) + "@";
    authority.remove_prefix(at + 1);
  }
  shown += authority;
  const std::size_t query = rest.find('?');
  shown += rest.substr(0, query);
  if (query != std::string_view::npos) {
    std::string_view params = rest.substr(query + 1);
    std::string kept;
    while (!params.empty()) {
      const std::size_t amp = std::min(params.find('&'), params.size());
      const std::string_view param = params.substr(0, amp);
      params.remove_prefix(std::min(amp + 1, params.size()));
      if (Lower(param.substr(0, param.find('='))) == "password") continue;
      if (!kept.empty()) kept += '&';
      kept += param;
    }
    if (!kept.empty()) shown += "?" + kept;
  }
  return shown;
}

StationRecord::StationRecord(const RecordOptions& options) : m_options(options), m_host(HostName()) {
  if (m_options.station.empty()) m_options.station = m_host;
}

RecordLine StationRecord::LineFor(const Run& run, const char* state) const {
  RecordLine line;
  line.time = run.time;
  line.host = m_host;
  line.programVersion = ORVIK_PROGRAM_VERSION;
  if (run.unit != nullptr) {
    line.path = run.unit->path;
    line.serial = run.unit->serial;
    line.port = run.unit->port;
    line.slot = run.unit->slot;
  }
  line.mcu = run.mcu;
  line.usb = run.usb;
  line.mcuVersion = m_options.image.mcuVersion;
  line.usbVersion = m_options.image.usbVersion;
  line.mcuChecksum = m_options.image.mcuChecksum;
  line.usbChecksum = m_options.image.usbChecksum;
  line.status = run.status;
  line.failure = run.failure;
  line.message = run.message;
  line.durationMs = run.durationMs;
  line.station = m_options.station;
  line.operatorName = m_options.operatorName;
  line.runId = run.runId;
  line.state = state;
  return line;
}

std::unique_ptr<StationRecord> OpenRecord(const std::string& spec, const RecordOptions& options, std::string& error,
                                          std::string& notice) {
  switch (BackendFor(spec)) {
    case Backend::Sqlite: return OpenSqliteRecord(spec, options, error, notice);
    case Backend::Postgres: return OpenPostgresRecord(spec, options, error, notice);
    case Backend::Files: break;
  }
  return OpenFileRecord(spec, options, error, notice);
}

std::string NewRunId() {
  // 128 random bits, hex: unique across the stations of a line without a
  // counter they share.
  static std::atomic<std::uint64_t> counter{0};
  thread_local std::mt19937_64 generator([] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
           static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }());
  const std::uint64_t high = generator();
  const std::uint64_t low = generator() ^ counter.fetch_add(1);
  char text[40];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(high),
                static_cast<unsigned long long>(low));
  return text;
}

}  // namespace orvik::record
