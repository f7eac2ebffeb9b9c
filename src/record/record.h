// The station's record of units, in one of three forms chosen by --record:
// files (JSON lines, or CSV for a name ending in ".csv"), an SQLite database
// (".db", ".sqlite", ".sqlite3") on one machine, or a PostgreSQL server
// ("postgresql://...") that every station of a line reaches. Each records a
// run as started before its first command and completes it with its result,
// answers the --skip-updated look-up, and lists its runs for --history.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "record/record_text.h"
#include "record/record_port.h"

namespace orvik::record {

enum class Backend { Files, Sqlite, Postgres };

// The form --record's argument names.
Backend BackendFor(std::string_view spec);

// Whether this build has the SQLite and PostgreSQL back ends (the Windows
// cross build keeps the record in files only).
bool DatabasesBuilt();

// How a record is shown and logged: a file's path as given; a server's URI
// without credentials: the user information up to the URI's last "@" (all
// but a plain user name) and every password parameter are left out, whatever
// characters they hold.
std::string DisplayName(std::string_view spec);

// Whether a server's URI may carry a password: a password parameter, or
// user information with a ":" (or that is not plainly a user name). Such a
// URI is refused before the client library reads it.
bool HoldsPassword(std::string_view spec);

// What a URI that HoldsPassword is refused with.
inline constexpr char kPasswordRefusal[] =
    "a password in the URI would show in the process list, the shell's history and the log; give it in "
    "PGPASSWORD, ~/.pgpass or a service file instead (an \"@\" or \":\" that is part of a name is written %40 or "
    "%3A)";

// `text`, a message about the record `spec` (the client library's included,
// which may quote the URI or parts of it), with the URI shown as DisplayName
// shows it and any credential it holds, raw or percent-decoded, replaced by
// "***".
std::string WithoutCredentials(std::string_view text, std::string_view spec);

// How long a write waits for another station's lock on an SQLite record.
inline constexpr std::chrono::milliseconds kDefaultBusyTimeout{10000};
// Every wait on a PostgreSQL record server is bounded, so that a server that
// stops answering (a hung host, a pulled cable) is a lost server within a few
// seconds, never a station that hangs:
// - a connection attempt, when the URI sets no connect_timeout;
inline constexpr int kDefaultConnectTimeoutSeconds = 5;
// - a statement, on the server (statement_timeout, lock_timeout);
inline constexpr std::chrono::milliseconds kServerStatementTimeout{5000};
// - any wait for the server's answer, on this side (the server's own
//   time-out normally answers first; this one holds when the server or the
//   network says nothing at all);
inline constexpr std::chrono::milliseconds kServerWaitBound{7000};
// - a silent TCP connection: keepalive probes after 5 s idle, every 2 s, 3
//   unanswered ones end it; data unacknowledged for 10 s ends it too.
inline constexpr int kServerKeepaliveIdleSeconds = 5;
inline constexpr int kServerKeepaliveIntervalSeconds = 2;
inline constexpr int kServerKeepaliveCount = 3;
inline constexpr int kServerTcpUserTimeoutMs = 10000;
// How often a station tries again to reach a lost server before a unit.
inline constexpr std::chrono::milliseconds kServerRetryInterval{10000};
// How long a station waits for another one that is writing the spool.
inline constexpr std::chrono::milliseconds kSpoolLockBound{3000};

struct RecordOptions {
  RecordImage image;             // the firmware this program writes
  std::string station;           // --station-name; empty: the host name
  std::string operatorName;      // --operator
  std::filesystem::path spoolFolder;  // where a lost server's rows are kept
  std::chrono::milliseconds busyTimeout = kDefaultBusyTimeout;
  std::chrono::milliseconds serverWait = kServerWaitBound;  // shorter in tests
  bool readOnly = false;         // --history: read, never create or write
};

// Called with each run that History reads; false stops the reading.
using RunVisitor = std::function<bool(const RecordLine&)>;

// The back ends keep Recorder's calls as they are, with one addition:
// Finished() returns true with `error` holding a notice when the server was
// lost and the result was kept in the local spool instead (it reaches the
// server later; the unit's result stands). An empty `error` means nothing to
// say.
class StationRecord : public Recorder {
 public:
  // Every run in the record (a run's finished line standing for its started
  // one), newest first, each given to `each` as soon as it is read: memory
  // stays bounded whatever the record's size. Only the runs of `serial` when
  // it is given. False with the reason when the record cannot be read.
  virtual bool History(const std::optional<std::string>& serial, const RunVisitor& each, std::string& error) = 0;
  // The same, collected.
  bool History(const std::optional<std::string>& serial, std::vector<RecordLine>& lines, std::string& error);

  // The record's line for `run` in `state`: host, station, operator, program
  // version and the image's firmware filled in.
  RecordLine LineFor(const Run& run, const char* state) const;

 protected:
  explicit StationRecord(const RecordOptions& options);
  RecordOptions m_options;
  std::string m_host;
};

// Opens the record `spec` names. Null, with the reason in `error`, when it
// cannot be opened (a missing folder, not a regular file, not a database, a
// schema newer than this program's, a server that cannot be reached, a
// password in the URI). `notice` is set when there is something to say that
// is not fatal (lines that do not parse, a spool delivered).
std::unique_ptr<StationRecord> OpenRecord(const std::string& spec, const RecordOptions& options, std::string& error,
                                          std::string& notice);

// A unit run's id: 128 random bits from the system's random source, as 32
// lowercase hex digits; unique across processes and machines.
std::string NewRunId();

}  // namespace orvik::record
