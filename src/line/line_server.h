// orvik-line's web server: the page, its JSON API and the live stream, over
// two read-only connections to the record (one answers requests, one
// watches for stations' commits and feeds the stream of every browser).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "line/event_hub.h"
#include "line/line_db.h"

namespace httplib {
class Server;
}

namespace orvik::line {

inline constexpr int kDefaultPort = 8470;
inline constexpr char kDefaultHost[] = "127.0.0.1";
// The worker threads: every live stream holds one, and requests need a few.
inline constexpr std::size_t kWorkerThreads = kMaxStreams + 16;
// Bounds of a request and of a connection's silence.
inline constexpr std::size_t kMaxRequestBody = 4096;
inline constexpr int kIdleTimeoutSeconds = 5;
inline constexpr char kTokenCookie[] = "orvik_line_token";

struct LineOptions {
  std::string record;        // as given: an SQLite file or a postgresql:// URI
  std::string host = kDefaultHost;
  int port = kDefaultPort;   // 0: any free port (the tests)
  std::string token;         // empty: no token asked for
  std::string title = "Line";
};

// "HOST:PORT", "[IPV6]:PORT" or "HOST" (the default port). Nothing when it
// does not parse.
std::optional<std::pair<std::string, int>> ParseListen(std::string_view text);
// Whether `host` is a loopback address (only this machine reaches it).
bool IsLoopback(std::string_view host);
// Whether a request carries `token`, as "Authorization: Bearer TOKEN" or in
// the cookie the page set. The comparison takes the same time however much
// of the token matches.
bool CarriesToken(std::string_view token, std::string_view authorization, std::string_view cookies);
bool SameToken(std::string_view a, std::string_view b);

class LineServer {
 public:
  LineServer(LineOptions options, std::unique_ptr<LineDb> queries, std::unique_ptr<LineDb> watch);
  ~LineServer();
  LineServer(const LineServer&) = delete;
  LineServer& operator=(const LineServer&) = delete;

  // Binds the address; false with the reason.
  bool Bind(std::string& error);
  int Port() const { return m_port; }
  // Serves until Stop().
  void Run();
  void Stop();

 private:
  void Routes();
  void ReadChanges();

  LineOptions m_options;
  std::unique_ptr<httplib::Server> m_server;
  std::mutex m_queryMutex;
  std::unique_ptr<LineDb> m_queries;
  std::unique_ptr<LineDb> m_watch;
  EventHub m_hub;
  std::atomic<bool> m_stop{false};
  std::atomic<std::int64_t> m_lastRev{0};
  std::atomic<bool> m_live{true};
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_listenEnded{false};
  std::thread m_reader;
  int m_port = 0;
};

}  // namespace orvik::line
