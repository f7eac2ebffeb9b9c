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
#include "record/record.h"
#include "record/record_text.h"

namespace orvik::line {
namespace {

constexpr int kConnectTimeoutSeconds = 10;
constexpr unsigned kByteaOid = 17;
constexpr unsigned kBoolOid = 16;

struct ConnFinish {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};
struct ResultClear {
  void operator()(PGresult* result) const { PQclear(result); }
};
struct OptionsFree {
  void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};
using Result = std::unique_ptr<PGresult, ResultClear>;

std::string Message(const char* text) {
  std::string message = text != nullptr ? text : "";
  std::replace(message.begin(), message.end(), '\n', ' ');
  while (!message.empty() && message.back() == ' ') message.pop_back();
  return message;
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
    char* parseError = nullptr;
    const std::unique_ptr<PQconninfoOption, OptionsFree> parsed(PQconninfoParse(uri.c_str(), &parseError));
    if (!parsed) {
      error = "not a valid URI: " + Message(parseError);
      PQfreemem(parseError);
      return false;
    }
    std::vector<std::string> keys, values;
    std::string host = "localhost", sslmode, rootcert;
    bool timeout = false;
    for (const PQconninfoOption* option = parsed.get(); option->keyword != nullptr; ++option) {
      if (option->val == nullptr) continue;
      const std::string key = option->keyword;
      if (key == "password") {
        error = "a password in the URI would show in the process list, the shell's history and the log; "
                "give it in PGPASSWORD, ~/.pgpass or a service file instead";
        return false;
      }
      if (key == "host" || key == "hostaddr") host = option->val;
      if (key == "sslmode") sslmode = option->val;
      if (key == "sslrootcert") rootcert = option->val;
      if (key == "connect_timeout") timeout = true;
      keys.push_back(key);
      values.push_back(option->val);
    }
    if (!timeout) {
      keys.push_back("connect_timeout");
      values.push_back(std::to_string(kConnectTimeoutSeconds));
    }
    keys.push_back("application_name");
    values.push_back("orvik-line");
    // Every statement of this connection reads only.
    keys.push_back("options");
    values.push_back("-c default_transaction_read_only=on");
    if ((sslmode == "verify-full" || sslmode == "verify-ca") && rootcert.empty()) {
      const char* home = std::getenv("HOME");
      std::error_code ignored;
      if (home == nullptr || !std::filesystem::exists(std::filesystem::path(home) / ".postgresql" / "root.crt", ignored)) {
        keys.push_back("sslrootcert");
        values.push_back("/etc/ssl/certs/ca-certificates.crt");
      }
    }
    std::vector<const char*> keyPointers, valuePointers;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      keyPointers.push_back(keys[i].c_str());
      valuePointers.push_back(values[i].c_str());
    }
    keyPointers.push_back(nullptr);
    valuePointers.push_back(nullptr);
    m_conn.reset(PQconnectdbParams(keyPointers.data(), valuePointers.data(), 0));
    if (!m_conn || PQstatus(m_conn.get()) != CONNECTION_OK) {
      error = "cannot reach the record server " + host + ": " +
              (m_conn ? Message(PQerrorMessage(m_conn.get())) : "out of memory");
      return false;
    }
    return true;
  }

  bool Query(std::string_view sql, const std::vector<Param>& params, const std::function<bool(const Row&)>& row,
             std::string& error) override {
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
    const Result result(PQexecParams(m_conn.get(), numbered.c_str(), static_cast<int>(params.size()), types.data(),
                                     values.data(), lengths.data(), formats.data(), 0));
    if (!result || PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
      error = Message(PQerrorMessage(m_conn.get()));
      if (PQstatus(m_conn.get()) != CONNECTION_OK) PQreset(m_conn.get());
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
    const Result result(PQexec(m_conn.get(), "LISTEN orvik_units"));
    if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
      error = Message(PQerrorMessage(m_conn.get()));
      return false;
    }
    return true;
  }

  WaitResult WaitForChange(std::chrono::milliseconds wait, std::vector<std::int64_t>& ids,
                           std::string& error) override {
    ids.clear();
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
    return TakeNotifications(ids) ? WaitResult::Changed : WaitResult::Quiet;
  }

  bool NotifiesIds() const override { return true; }

 private:
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

  std::unique_ptr<PGconn, ConnFinish> m_conn;
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
