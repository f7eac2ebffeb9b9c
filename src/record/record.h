// The station's record of units, in one of three forms chosen by --record:
// files (JSON lines, or CSV for a name ending in ".csv"), an SQLite database
// (".db", ".sqlite", ".sqlite3") on one machine, or a PostgreSQL server
// ("postgresql://...") that every station of a line reaches. Each records a
// run as started before its first command and completes it with its result,
// answers the --skip-updated look-up, and lists its runs for --history.
#pragma once

#include <chrono>
#include <filesystem>
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
// without credentials (a password, were one given, never appears).
std::string DisplayName(std::string_view spec);

// How long a write waits for another station's lock on an SQLite record.
inline constexpr std::chrono::milliseconds kDefaultBusyTimeout{10000};
// How long a PostgreSQL connection attempt may take when the URI sets no
// connect_timeout.
inline constexpr int kDefaultConnectTimeoutSeconds = 10;

struct RecordOptions {
  RecordImage image;             // the firmware this program writes
  std::string station;           // --station-name; empty: the host name
  std::string operatorName;      // --operator
  std::filesystem::path spoolFolder;  // where a lost server's rows are kept
  std::chrono::milliseconds busyTimeout = kDefaultBusyTimeout;
  bool readOnly = false;         // --history: read, never create or write
};

class StationRecord : public Recorder {
 public:
  // Every run in the record (a run's finished line standing for its started
  // one), newest first; only those of `serial` when it is given. False with
  // the reason when the record cannot be read.
  virtual bool History(const std::optional<std::string>& serial, std::vector<RecordLine>& lines,
                       std::string& error) = 0;

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

// A unit run's id: unique across processes and machines.
std::string NewRunId();

}  // namespace orvik::record
