// The record on a PostgreSQL server, read with SELECT only. Stations' writes
// fire the table's trigger, which notifies channel "orvik_units" with the
// row's id; this connection LISTENs there, so that a new row reaches the
// page without the table being polled.
#include <libpq-fe.h>
#include <sys/select.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "line/line_db.h"
#include "record/pg_connect.h"
#include "record/record.h"
#include "record/record_text.h"
#include "record/socket_wait.h"

namespace orvik::line {
namespace {

constexpr unsigned kByteaOid = 17;
constexpr unsigned kBoolOid = 16;

using Clock = std::chrono::steady_clock;

struct ResultClear {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClear>;

std::string Message(const char* text) { return record::PgMessage(text); }

// How long any wait for the server's answer may take: the stations' bound,
// or ORVIK_LINE_SERVER_WAIT_MS (100 ms to 10 minutes) for tests.
std::chrono::milliseconds ServerWait() {
  if (const char* given = std::getenv("ORVIK_LINE_SERVER_WAIT_MS")) {
    const long long value = std::atoll(given);
    if (value >= 100 && value <= 600000) return std::chrono::milliseconds(value);
  }
  return record::kServerWaitBound;
}

// "?" placeholders as PostgreSQL's "$1", "$2", ... (the queries hold no "?"
// inside a literal).
std::string Numbered(std::string_view sql) {
  std::string out;
  int n = 0;
  for (const char c : sql) {
    if (c == '?') {
      out += '$';
      out += std::to_string(++n);
    } else {
      out += c;
    }
  }
  return out;
}

class PostgresLineDb final : public LineDb {
 public:
  bool Open(const std::string& uri, std::string& error) {
    m_uri = uri;
    if (record::HoldsPassword(uri)) {
      error = record::kPasswordRefusal;
      return false;
    }
    m_conn = record::PgConnect(uri, record::PgConnectRequest{"orvik-line", true}, m_host, error);
    if (!m_conn) {
      error = "cannot reach the record server " + m_host + ": " + error;
      return false;
    }
    m_lastHeard = Clock::now();
    return true;
  }

  bool Query(std::string_view sql, const std::vector<Param>& params, const std::function<bool(const Row&)>& row,
             std::string& error) override {
    // A connection given up (a server that did not answer) is made anew.
    if (!m_conn && !Open(m_uri, error)) return false;
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size());
    std::vector<int> lengths(params.size()), formats(params.size());
    std::vector<unsigned> types(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
      switch (params[i].kind) {
        case Param::Kind::Text: texts[i] = record::EscapeBytes(params[i].text, true); break;
        case Param::Kind::Int: texts[i] = std::to_string(params[i].number); types[i] = 20; break;
        case Param::Kind::Bytes:
          texts[i] = params[i].text;
          formats[i] = 1;
          types[i] = kByteaOid;
          break;
      }
      values[i] = texts[i].data();
      lengths[i] = static_cast<int>(texts[i].size());
    }
    const std::string numbered = Numbered(sql);
    Result result;
    if (!Exec(numbered, params.size(), types.data(), values.data(), lengths.data(), formats.data(), result, error)) {
      return false;
    }
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
      error = Message(PQresultErrorMessage(result.get()));
      return false;
    }
    PGresult* r = result.get();
    const int columns = PQnfields(r);
    Row cells(static_cast<std::size_t>(columns));
    for (int rowIndex = 0; rowIndex < PQntuples(r); ++rowIndex) {
      for (int column = 0; column < columns; ++column) {
        Cell& cell = cells[static_cast<std::size_t>(column)];
        if (PQgetisnull(r, rowIndex, column)) {
          cell.reset();
          continue;
        }
        const char* value = PQgetvalue(r, rowIndex, column);
        const unsigned type = PQftype(r, column);
        if (type == kByteaOid) {
          std::size_t length = 0;
          unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(value), &length);
          cell = bytes == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(bytes), length);
          PQfreemem(bytes);
        } else if (type == kBoolOid) {
          cell.emplace(1, value[0] == 't' ? '1' : '0');
        } else {
          // Text columns hold what the station could not store as text
          // (bytes that are not UTF-8, NUL) escaped; given back as written.
          cell = record::UnescapeBytes(value);
        }
      }
      if (!row(cells)) break;
    }
    return true;
  }

  bool SchemaVersion(int& version, std::string& error) override {
    version = 0;
    bool units = false, schema = false;
    if (!Query("SELECT to_regclass('units') IS NOT NULL, to_regclass('orvik_schema') IS NOT NULL", {},
               [&](const Row& row) {
                 units = row[0] == "1";
                 schema = row[1] == "1";
                 return false;
               },
               error))
      return false;
    if (!units) return true;
    version = 1;
    if (!schema) return true;
    return Query("SELECT MAX(version) FROM orvik_schema", {}, [&](const Row& row) {
      if (row[0]) version = std::stoi(*row[0]);
      return false;
    }, error);
  }

  bool Watch(std::string& error) override {
    if (!m_conn && !Open(m_uri, error)) return false;
    Result result;
    if (!Exec("LISTEN orvik_units", 0, nullptr, nullptr, nullptr, nullptr, result, error)) return false;
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
      error = Message(PQresultErrorMessage(result.get()));
      return false;
    }
    return true;
  }

  WaitResult WaitForChange(std::chrono::milliseconds wait, std::vector<std::int64_t>& ids,
                           std::string& error) override {
    ids.clear();
    if (!m_conn) {
      error = "the connection to the record server is lost";
      return WaitResult::Failed;
    }
    if (TakeNotifications(ids)) return WaitResult::Changed;
    const int socket = PQsocket(m_conn.get());
    if (socket < 0) {
      error = "the connection to the record server is lost";
      return WaitResult::Failed;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval timeout{static_cast<time_t>(wait.count() / 1000), static_cast<suseconds_t>((wait.count() % 1000) * 1000)};
    if (select(socket + 1, &readable, nullptr, nullptr, &timeout) < 0) return WaitResult::Quiet;
    if (PQconsumeInput(m_conn.get()) == 0 || PQstatus(m_conn.get()) != CONNECTION_OK) {
      error = "the connection to the record server is lost: " + Message(PQerrorMessage(m_conn.get()));
      return WaitResult::Failed;
    }
    if (TakeNotifications(ids)) return WaitResult::Changed;
    // A server that stopped answering keeps its connection open and sends
    // nothing, as a quiet line does: after a quiet spell, a bounded question
    // tells the two apart.
    if (Clock::now() - m_lastHeard >= m_wait) {
      Result probe;
      if (!Exec("SELECT 1", 0, nullptr, nullptr, nullptr, nullptr, probe, error)) return WaitResult::Failed;
      if (TakeNotifications(ids)) return WaitResult::Changed;
    }
    return WaitResult::Quiet;
  }

  bool NotifiesIds() const override { return true; }

 private:
  // Sends one statement and waits for its results, each wait bounded by
  // m_wait; `result` gets the last. A server that does not answer in time is
  // given up: the connection is closed, and made anew by the next call.
  bool Exec(const std::string& sql, std::size_t count, const unsigned* types, const char* const* values,
            const int* lengths, const int* formats, Result& result, std::string& error) {
    PGconn* conn = m_conn.get();
    if (PQsendQueryParams(conn, sql.c_str(), static_cast<int>(count), types, values, lengths, formats, 0) != 1) {
      return Lost(error);
    }
    Clock::time_point deadline = Clock::now() + m_wait;
    for (;;) {
      const int flushed = PQflush(conn);
      if (flushed == 0) break;
      if (flushed < 0) return Lost(error);
      if (record::WaitSocket(PQsocket(conn), true, deadline) != record::SocketReady::Ready) return TimedOut(error);
    }
    for (;;) {
      while (PQisBusy(conn)) {
        if (record::WaitSocket(PQsocket(conn), false, deadline) != record::SocketReady::Ready) return TimedOut(error);
        if (PQconsumeInput(conn) != 1) return Lost(error);
      }
      Result next(PQgetResult(conn));
      if (!next) break;
      deadline = Clock::now() + m_wait;
      result = std::move(next);
    }
    if (!result || PQstatus(conn) == CONNECTION_BAD) return Lost(error);
    m_lastHeard = Clock::now();
    return true;
  }

  bool TimedOut(std::string& error) {
    error = "the record server " + m_host + " did not answer within " + std::to_string(m_wait.count()) + " ms";
    m_conn.reset();
    return false;
  }

  bool Lost(std::string& error) {
    error = "the connection to the record server " + m_host + " is lost: " + Message(PQerrorMessage(m_conn.get()));
    if (PQstatus(m_conn.get()) == CONNECTION_BAD) m_conn.reset();
    return false;
  }

  bool TakeNotifications(std::vector<std::int64_t>& ids) {
    PQconsumeInput(m_conn.get());
    bool any = false;
    while (PGnotify* notify = PQnotifies(m_conn.get())) {
      any = true;
      char* end = nullptr;
      const long long id = std::strtoll(notify->extra != nullptr ? notify->extra : "", &end, 10);
      if (end != nullptr && *end == '\0' && id > 0) ids.push_back(id);
      PQfreemem(notify);
    }
    // A notification without a row id (a trigger made by hand) still says
    // that something changed: the caller then reads by the change counter.
    return any;
  }

  std::string m_uri;
  std::string m_host;
  record::PgConn m_conn;  // null once given up, until made anew
  std::chrono::milliseconds m_wait = ServerWait();
  Clock::time_point m_lastHeard = Clock::now();
};

}  // namespace

std::unique_ptr<LineDb> OpenPostgresLineDb(const std::string& uri, std::string& error) {
  auto db = std::make_unique<PostgresLineDb>();
  if (!db->Open(uri, error)) {
    // libpq's own texts (a URI it cannot parse, a refused connection) may
    // repeat the URI: what stands for credentials in it never reaches the
    // program's output, as with the stations' record.
    error = record::WithoutCredentials(error, uri);
    return nullptr;
  }
  return db;
}

}  // namespace orvik::line
