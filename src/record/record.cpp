#include "record/record.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <vector>
#include <cstdio>
#include <random>

#include "log/native_path.h"
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
  std::string lower = Lower(spec);
  if (lower.rfind("postgresql://", 0) == 0 || lower.rfind("postgres://", 0) == 0) return Backend::Postgres;
  // By the name of the file the system opens ("units.db." is "units.db" on
  // Windows): a database is never appended to as lines.
  lower = Lower(FileNameAsOpened(spec));
  if (EndsWith(lower, ".db") || EndsWith(lower, ".sqlite") || EndsWith(lower, ".sqlite3")) return Backend::Sqlite;
  return Backend::Files;
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX escapes undone, as the client library reads a URI's parts.
std::string PercentDecoded(std::string_view text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

// A query parameter's start: "key=" with a key of letters and underscores,
// as every connection keyword is.
bool IsParameterStart(std::string_view param) {
  const std::size_t equals = param.find('=');
  if (equals == 0 || equals == std::string_view::npos) return false;
  const std::string key = PercentDecoded(param.substr(0, equals));
  return std::all_of(key.begin(), key.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; });
}

bool IsPasswordParameter(std::string_view param) {
  return IsParameterStart(param) && Lower(PercentDecoded(param.substr(0, param.find('=')))) == "password";
}

// A server URI taken apart where credentials may sit. The user information
// ends at the URI's LAST "@": a password may hold "/", "?", "#" or "@", and
// cutting at the first of those would show the rest of it.
struct UriParts {
  std::string_view scheme;    // "postgresql://"
  std::string_view userInfo;  // between the scheme and the last "@"; empty without one
  bool hasUserInfo = false;
  std::string_view rest;      // host, database and parameters
};

UriParts SplitUri(std::string_view spec) {
  UriParts parts;
  const std::size_t schemeEnd = spec.find("://") + 3;
  parts.scheme = spec.substr(0, schemeEnd);
  parts.rest = spec.substr(schemeEnd);
  if (const std::size_t at = parts.rest.rfind('@'); at != std::string_view::npos) {
    parts.userInfo = parts.rest.substr(0, at);
    parts.hasUserInfo = true;
    parts.rest.remove_prefix(at + 1);
  }
  return parts;
}

// The user name of the user information when it is plainly one; empty when
// the text holds anything a user name would not ("/", "?", "=", ...).
std::string_view ShownUser(std::string_view userInfo) {
  const std::string_view user = userInfo.substr(0, userInfo.find(':'));
  if (user.find_first_of("/?#&=") != std::string_view::npos) return {};
  return user;
}

// The parameters of `rest` with every password parameter left out. A
// password parameter runs up to the next "&" that starts another parameter:
// a password may hold "&" too.
std::string WithoutPasswordParameters(std::string_view rest, std::vector<std::string>* values) {
  const std::size_t query = rest.find('?');
  std::string shown(rest.substr(0, query));
  if (query == std::string_view::npos) return shown;
  std::string_view params = rest.substr(query + 1);
  std::string kept;
  bool inPassword = false;
  std::string password;
  const auto endPassword = [&] {
    if (inPassword && values != nullptr) values->push_back(password);
    inPassword = false;
    password.clear();
  };
  while (!params.empty()) {
    const std::size_t amp = std::min(params.find('&'), params.size());
    const std::string_view param = params.substr(0, amp);
    params.remove_prefix(std::min(amp + 1, params.size()));
    if (inPassword && !IsParameterStart(param)) {
      password += '&';
      password += param;
      continue;
    }
    endPassword();
    if (IsPasswordParameter(param)) {
      inPassword = true;
      password = std::string(param.substr(param.find('=') + 1));
      continue;
    }
    if (!kept.empty()) kept += '&';
    kept += param;
  }
  endPassword();
  if (!kept.empty()) shown += "?" + kept;
  return shown;
}

}  // namespace

std::string DisplayName(std::string_view spec) {
  if (BackendFor(spec) != Backend::Postgres) return std::string(spec);
  // postgresql://[user[:password]@]host[:port][/db][?key=value&...]
  const UriParts parts = SplitUri(spec);
  std::string shown(parts.scheme);
  if (parts.hasUserInfo && !ShownUser(parts.userInfo).empty()) shown += std::string(ShownUser(parts.userInfo)) + "@";
  return shown + WithoutPasswordParameters(parts.rest, nullptr);
}

bool HoldsPassword(std::string_view spec) {
  if (BackendFor(spec) != Backend::Postgres) return false;
  const UriParts parts = SplitUri(spec);
  std::vector<std::string> passwords;
  WithoutPasswordParameters(parts.rest, &passwords);
  return !passwords.empty() || parts.userInfo.find(':') != std::string_view::npos ||
         (!parts.userInfo.empty() && ShownUser(parts.userInfo).empty());
}

std::string WithoutCredentials(std::string_view text, std::string_view spec) {
  if (BackendFor(spec) != Backend::Postgres) return std::string(text);
  const UriParts parts = SplitUri(spec);
  std::vector<std::string> secrets;
  WithoutPasswordParameters(parts.rest, &secrets);
  if (parts.hasUserInfo) {
    const std::string_view user = ShownUser(parts.userInfo);
    secrets.emplace_back(parts.userInfo.substr(user.size()));
  }
  // The client library quotes what it read, decoded.
  for (std::size_t i = 0, n = secrets.size(); i < n; ++i) secrets.push_back(PercentDecoded(secrets[i]));
  std::sort(secrets.begin(), secrets.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  std::string scrubbed(text);
  const auto replaceAll = [&](std::string_view from, std::string_view to) {
    if (from.empty()) return;
    for (std::size_t at = scrubbed.find(from); at != std::string::npos; at = scrubbed.find(from, at + to.size())) {
      scrubbed.replace(at, from.size(), to);
    }
  };
  const std::string shown = DisplayName(spec);
  replaceAll(spec, shown);
  replaceAll(PercentDecoded(spec), shown);
  for (const std::string& secret : secrets) {
    // A leading ":" is the separator, not the secret.
    std::string_view value = secret;
    if (!value.empty() && value.front() == ':') value.remove_prefix(1);
    replaceAll(value, "***");
  }
  return scrubbed;
}

StationRecord::StationRecord(const RecordOptions& options) : m_options(options), m_host(HostName()) {
  if (m_options.station.empty()) m_options.station = m_host;
}

RecordLine StationRecord::LineFor(const Run& run, const char* state) const {
  RecordLine line;
  line.time = run.time;
  line.timeUtc = UtcTimeOf(run.time);
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

bool StationRecord::History(const std::optional<std::string>& serial, std::vector<RecordLine>& lines,
                            std::string& error) {
  return History(
      serial,
      [&lines](const RecordLine& line) {
        lines.push_back(line);
        return true;
      },
      error);
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
  // 128 random bits from the system's source, as 32 lowercase hex digits:
  // unique across the stations of a line without a counter they share.
  std::random_device device;
  std::string id;
  for (int word = 0; word < 4; ++word) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(device()));
    id += text;
  }
  return id;
}

}  // namespace orvik::record
