#include "line/line_server.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <ctime>

#include <nlohmann/json.hpp>

#include "line/line_queries.h"
#include "line/page_files.h"
#include "record/record.h"

#ifndef ORVIK_PROGRAM_VERSION
#error "ORVIK_PROGRAM_VERSION must be defined by the build"
#endif

namespace orvik::line {
namespace {

using nlohmann::json;

// How long the watcher waits for a change before it looks at the stop flag.
constexpr std::chrono::milliseconds kWatchWait{250};
// A stream with nothing to say sends a comment this often, so that a
// browser (and anything between) sees the link alive.
constexpr std::chrono::milliseconds kStreamKeepAlive{15000};
// The default range: the last shift of 8 hours.
constexpr std::time_t kDefaultRangeSeconds = 8 * 3600;
// The default look-back of the stations' tiles.
constexpr std::time_t kDefaultTilesSeconds = 7 * 24 * 3600;

// Text that device bytes may hold, for JSON that is valid UTF-8 whatever a
// device sent (bytes that are not UTF-8 become U+FFFD).
std::string JsonText(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

void SendJson(httplib::Response& res, const json& value) {
  res.set_header("Cache-Control", "no-store");
  res.set_content(JsonText(value), "application/json; charset=utf-8");
}

void SendError(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(JsonText(json{{"error", message}}), "application/json; charset=utf-8");
}

std::string UnitEvent(const UnitRow& unit) { return "event: unit\ndata: " + JsonText(UnitJson(unit)) + "\n\n"; }

std::string LiveEvent(bool live, const std::string& error) {
  json body = {{"live", live}};
  if (!error.empty()) body["error"] = error;
  return "event: record\ndata: " + JsonText(body) + "\n\n";
}

// The range of a request: ?from=&to= in the record's UTC form; the last 8
// hours by default. False with the reason when it is malformed.
bool RangeOf(const httplib::Request& req, Range& range, std::string& error) {
  const std::time_t now = std::time(nullptr);
  range.to = req.has_param("to") ? req.get_param_value("to") : UtcText(now + 3600);
  range.from = req.has_param("from") ? req.get_param_value("from") : UtcText(now - kDefaultRangeSeconds);
  const auto from = ParseUtc(range.from), to = ParseUtc(range.to);
  if (!from || !to) {
    error = "from and to take the form YYYY-MM-DDTHH:MM:SSZ (UTC)";
    return false;
  }
  if (*to <= *from) {
    error = "to must come after from";
    return false;
  }
  if ((*to - *from) / 3600 > kMaxRangeHours) {
    error = "a range spans at most " + std::to_string(kMaxRangeHours) + " hours";
    return false;
  }
  return true;
}

std::string CookieValue(std::string_view cookies, std::string_view name) {
  while (!cookies.empty()) {
    const std::size_t semicolon = std::min(cookies.find(';'), cookies.size());
    std::string_view pair = cookies.substr(0, semicolon);
    cookies.remove_prefix(std::min(semicolon + 1, cookies.size()));
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) return std::string(pair.substr(equals + 1));
  }
  return {};
}

}  // namespace

std::optional<std::pair<std::string, int>> ParseListen(std::string_view text) {
  std::string host;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = std::string(text.substr(1, close - 1));
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      port = rest.substr(1);
    }
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon != std::string_view::npos && text.find(':') != colon) return std::nullopt;  // IPv6 without brackets
    host = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) port = text.substr(colon + 1);
  }
  if (host.empty()) return std::nullopt;
  int number = kDefaultPort;
  if (port.data() != nullptr) {
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return std::nullopt;
    number = std::stoi(std::string(port));
    if (number > 65535) return std::nullopt;
  }
  return std::make_pair(host, number);
}

bool IsLoopback(std::string_view host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

bool SameToken(std::string_view a, std::string_view b) {
  // Every byte of the longer is looked at, whatever matches.
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  const std::size_t length = std::max(a.size(), b.size());
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    difference |= static_cast<unsigned char>(x ^ y);
  }
  return difference == 0;
}

bool CarriesToken(std::string_view token, std::string_view authorization, std::string_view cookies) {
  constexpr std::string_view kBearer = "Bearer ";
  if (authorization.substr(0, kBearer.size()) == kBearer && SameToken(authorization.substr(kBearer.size()), token))
    return true;
  const std::string cookie = CookieValue(cookies, kTokenCookie);
  return !cookie.empty() && SameToken(cookie, token);
}

LineServer::LineServer(LineOptions options, std::unique_ptr<LineDb> queries, std::unique_ptr<LineDb> watch)
    : m_options(std::move(options)),
      m_server(std::make_unique<httplib::Server>()),
      m_queries(std::move(queries)),
      m_watch(std::move(watch)) {
  // httplib's task queue interface hands over a new pool it then owns.
  m_server->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  m_server->set_payload_max_length(kMaxRequestBody);
  m_server->set_read_timeout(kIdleTimeoutSeconds, 0);
  m_server->set_write_timeout(kIdleTimeoutSeconds, 0);
  m_server->set_keep_alive_timeout(kIdleTimeoutSeconds);
  m_server->set_keep_alive_max_count(100);
  m_server->set_default_headers({
      {"Content-Security-Policy",
       "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
       "object-src 'none'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
  });
  Routes();
}

LineServer::~LineServer() {
  Stop();
  if (m_reader.joinable()) m_reader.join();
}

bool LineServer::Bind(std::string& error) {
  if (m_options.port == 0) {
    m_port = m_server->bind_to_any_port(m_options.host);
  } else {
    m_port = m_server->bind_to_port(m_options.host, m_options.port) ? m_options.port : -1;
  }
  if (m_port <= 0) {
    error = "cannot listen on " + m_options.host + ":" + std::to_string(m_options.port);
    return false;
  }
  std::string watchError;
  std::int64_t rev = 0;
  if (!LatestRev(*m_watch, rev, watchError) || !m_watch->Watch(watchError)) {
    error = "cannot watch the record: " + watchError;
    return false;
  }
  m_lastRev = rev;
  return true;
}

void LineServer::Run() {
  m_running = true;
  m_reader = std::thread([this] { ReadChanges(); });
  if (!m_stop) m_server->listen_after_bind();
  m_listenEnded = true;
  m_stop = true;
  m_hub.Shutdown();
  if (m_reader.joinable()) m_reader.join();
}

void LineServer::Stop() {
  m_stop = true;
  m_hub.Shutdown();
  // httplib's stop() does nothing before the server runs: a stop asked for
  // while it starts waits until it runs (or has given up).
  while (m_running && !m_listenEnded && !m_server->is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  m_server->stop();
}

void LineServer::ReadChanges() {
  std::vector<std::int64_t> ids;
  std::vector<UnitRow> rows;
  std::string error;
  while (!m_stop) {
    const WaitResult result = m_watch->WaitForChange(kWatchWait, ids, error);
    if (result == WaitResult::Failed) {
      if (m_live.exchange(false)) m_hub.Publish(LiveEvent(false, error));
      // The record (or its server) is away: try again, a second at a time.
      for (int i = 0; i < 4 && !m_stop; ++i) std::this_thread::sleep_for(kWatchWait);
      std::string openError;
      if (auto watch = OpenLineDb(m_options.record, openError); watch && watch->Watch(openError)) {
        m_watch = std::move(watch);
        ids.clear();
        // Rows missed meanwhile come by their change counter.
        if (ChangesSince(*m_watch, m_lastRev, rows, error)) {
          for (const UnitRow& row : rows) {
            m_lastRev = std::max<std::int64_t>(m_lastRev, row.rev);
            m_hub.Publish(UnitEvent(row));
          }
        }
        m_live = true;
        m_hub.Publish(LiveEvent(true, {}));
      }
      continue;
    }
    if (result == WaitResult::Quiet) continue;
    for (;;) {
      const bool byRev = ids.empty();
      const bool ok = byRev ? ChangesSince(*m_watch, m_lastRev, rows, error) : RowsById(*m_watch, ids, rows, error);
      if (!ok) break;
      for (const UnitRow& row : rows) {
        m_lastRev = std::max<std::int64_t>(m_lastRev, row.rev);
        m_hub.Publish(UnitEvent(row));
      }
      if (!byRev || rows.size() < static_cast<std::size_t>(kMaxPageSize)) break;
    }
  }
}

void LineServer::Routes() {
  httplib::Server& server = *m_server;

  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (req.method != "GET" && req.method != "HEAD") {
      res.set_header("Allow", "GET, HEAD");
      SendError(res, 405, "only GET and HEAD");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (m_options.token.empty()) return httplib::Server::HandlerResponse::Unhandled;
    // The page opened once as /?token=TOKEN sets a cookie, and the address
    // bar loses the token.
    if (req.has_param("token")) {
      if (!SameToken(req.get_param_value("token"), m_options.token)) {
        SendError(res, 401, "wrong token");
        return httplib::Server::HandlerResponse::Handled;
      }
      res.status = 303;
      res.set_header("Set-Cookie", std::string(kTokenCookie) + "=" + m_options.token +
                                       "; Path=/; HttpOnly; SameSite=Strict; Max-Age=31536000");
      res.set_header("Location", "/");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (!CarriesToken(m_options.token, req.get_header_value("Authorization"), req.get_header_value("Cookie"))) {
      res.set_header("WWW-Authenticate", "Bearer");
      if (req.path.rfind("/api/", 0) == 0) {
        SendError(res, 401, "a token is needed: Authorization: Bearer TOKEN, or open the page once with ?token=TOKEN");
      } else {
        res.status = 401;
        res.set_content("This line view needs its token: open it once as /?token=TOKEN.\n", "text/plain; charset=utf-8");
      }
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  server.Get(R"(/([a-z0-9._-]*))", [](const httplib::Request& req, httplib::Response& res) {
    const std::string path = req.path == "/" ? "/index.html" : req.path;
    const PageFile* file = FindPageFile(path);
    if (file == nullptr) {
      res.status = 404;
      res.set_content("Not found\n", "text/plain; charset=utf-8");
      return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_content(std::string(file->body), std::string(file->type));
  });

  server.Get("/api/info", [this](const httplib::Request&, httplib::Response& res) {
    SendJson(res, {{"title", m_options.title},
                   {"record", record::DisplayName(m_options.record)},
                   {"version", ORVIK_PROGRAM_VERSION},
                   {"max_page", kMaxPageSize},
                   {"live", m_live.load()}});
  });

  server.Get("/api/stations", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string since =
        req.has_param("since") ? req.get_param_value("since") : UtcText(std::time(nullptr) - kDefaultTilesSeconds);
    if (!ParseUtc(since)) return SendError(res, 400, "since takes the form YYYY-MM-DDTHH:MM:SSZ (UTC)");
    json out;
    std::string error;
    const std::lock_guard lock(m_queryMutex);
    if (!StationsState(*m_queries, since, out, error)) return SendError(res, 503, "the record: " + error);
    SendJson(res, out);
  });

  server.Get("/api/summary", [this](const httplib::Request& req, httplib::Response& res) {
    Range range;
    std::string error;
    if (!RangeOf(req, range, error)) return SendError(res, 400, error);
    json out;
    const std::lock_guard lock(m_queryMutex);
    if (!Summary(*m_queries, range, std::time(nullptr), out, error)) return SendError(res, 503, "the record: " + error);
    SendJson(res, out);
  });

  server.Get("/api/units", [this](const httplib::Request& req, httplib::Response& res) {
    UnitsQuery query;
    std::string error;
    if (req.has_param("serial")) {
      query.serial = req.get_param_value("serial");
    } else {
      Range range;
      if (!RangeOf(req, range, error)) return SendError(res, 400, error);
      query.range = range;
    }
    query.cursor = req.get_param_value("cursor");
    if (req.has_param("limit")) {
      const std::string limit = req.get_param_value("limit");
      if (limit.empty() || limit.size() > 9 || !std::all_of(limit.begin(), limit.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return SendError(res, 400, "limit is a whole number");
      query.limit = std::stoi(limit);
    }
    json out;
    bool badRequest = false;
    const std::lock_guard lock(m_queryMutex);
    if (!Units(*m_queries, query, out, error, badRequest))
      return SendError(res, badRequest ? 400 : 503, badRequest ? error : "the record: " + error);
    SendJson(res, out);
  });

  server.Get("/api/export.csv", [this](const httplib::Request& req, httplib::Response& res) {
    Range range;
    std::string error;
    if (!RangeOf(req, range, error)) return SendError(res, 400, error);
    // An export reads batch after batch on a connection of its own, so that
    // a long one holds up no other request.
    std::shared_ptr<LineDb> db = OpenLineDb(m_options.record, error);
    if (!db) return SendError(res, 503, "the record: " + error);
    std::string name = "units-" + range.from + ".csv";
    std::replace(name.begin(), name.end(), ':', '-');
    res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider("text/csv; charset=utf-8", [db, range](std::size_t, httplib::DataSink& sink) {
      std::string exportError;
      ExportCsv(*db, range, [&](const std::string& text) { return sink.write(text.data(), text.size()); }, exportError);
      sink.done();
      return true;
    });
  });

  server.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
    if (req.method == "HEAD") {
      // No stream for a HEAD: its headers only, and no place taken.
      res.set_header("Cache-Control", "no-store");
      res.set_content("", "text/event-stream");
      return;
    }
    std::shared_ptr<StreamClient> client = m_hub.Join();
    if (!client) {
      res.set_header("Retry-After", "10");
      return SendError(res, 503, "too many live streams (at most " + std::to_string(kMaxStreams) + ")");
    }
    res.set_header("Cache-Control", "no-store");
    auto first = std::make_shared<bool>(true);
    const bool live = m_live;
    const std::int64_t rev = m_lastRev;
    res.set_chunked_content_provider(
        "text/event-stream",
        [client, first, live, rev](std::size_t, httplib::DataSink& sink) {
          if (*first) {
            *first = false;
            const std::string hello = "retry: 2000\nevent: hello\ndata: " +
                                      JsonText(json{{"rev", rev}, {"live", live}}) + "\n\n";
            return sink.write(hello.data(), hello.size());
          }
          std::vector<std::string> events;
          switch (client->Next(kStreamKeepAlive, events)) {
            case StreamClient::Status::Closed: return false;
            case StreamClient::Status::Idle: return sink.write(": alive\n\n", 9);
            case StreamClient::Status::Events: break;
          }
          std::string text;
          for (const std::string& event : events) text += event;
          return sink.write(text.data(), text.size());
        },
        [this, client](bool) { m_hub.Leave(client); });
  });
}

}  // namespace orvik::line
