// orvik-line: a live web page of a line's stations, from the record they
// share (an SQLite file or a PostgreSQL server). Reads only.
#include <csignal>
#include <pthread.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "line/line_db.h"
#include "line/line_server.h"
#include "record/record.h"

#ifndef ORVIK_PROGRAM_VERSION
#error "ORVIK_PROGRAM_VERSION must be defined by the build"
#endif

namespace {

using namespace orvik::line;

constexpr char kUsage[] =
    "Usage: orvik-line --record DB [--listen HOST:PORT] [--token-file FILE] [--title TEXT]\n"
    "       orvik-line --version | --help\n";

constexpr char kHelp[] =
    "Shows a line's stations live in a web browser, from the record they share:\n"
    "a tile per station and slot with the unit running there or its last result,\n"
    "the shift's counters (passed, failed, yield, units per hour), passed and\n"
    "failed units per hour, the failures' Pareto, every run of a serial, and a\n"
    "CSV export. It reads the record and never writes it.\n"
    "\n"
    "Options:\n"
    "  --record DB          the stations' record: an SQLite file (.db, .sqlite,\n"
    "                       .sqlite3) or a postgresql:// URI (the password from\n"
    "                       PGPASSWORD, ~/.pgpass or a service file, never the URI)\n"
    "  --listen HOST:PORT   where the page is served (default 127.0.0.1:8470);\n"
    "                       [::1]:PORT for IPv6\n"
    "  --token-file FILE    a file holding the token a browser must give (at least\n"
    "                       16 characters): open the page once as /?token=TOKEN, or\n"
    "                       send Authorization: Bearer TOKEN\n"
    "  --title TEXT         the page's heading (default \"Line\")\n"
    "  --help               show this help and exit\n"
    "  --version            show the version and exit\n"
    "\n"
    "Listening beyond this machine (not 127.0.0.1, ::1 or localhost) without\n"
    "--token-file lets anyone on that network read the record: the program says\n"
    "so when it starts.\n"
    "\n"
    "Exit status: 0 stopped by SIGINT or SIGTERM; 2 not started (bad option, a\n"
    "record that is not a database or cannot be read, an address in use).\n"
    "\n"
    "The page and its API: /usr/share/doc/orvik-updater/line-view.md\n";

int Fail(const std::string& message) {
  std::cerr << "orvik-line: " << message << "\n";
  return 2;
}

int BadOption(const std::string& message) {
  std::cerr << "orvik-line: " << message << "\nTry 'orvik-line --help'.\n";
  return 2;
}

bool ReadToken(const std::string& path, std::string& token, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot read the token file " + path;
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  token = text.str();
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) token.pop_back();
  if (token.size() < 16) {
    error = "the token in " + path + " is shorter than 16 characters";
    return false;
  }
  for (const char c : token) {
    if (c <= ' ' || c > '~' || c == ';' || c == ',') {
      error = "the token in " + path + " holds a character other than printable ASCII (no blank, ';' or ',')";
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  LineOptions options;
  bool haveRecord = false;
  std::string tokenFile;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](const char* name, std::string& into) {
      const std::string prefix = std::string(name) + "=";
      if (arg.rfind(prefix, 0) == 0) {
        into = arg.substr(prefix.size());
        return true;
      }
      if (arg == name && i + 1 < argc) {
        into = argv[++i];
        return true;
      }
      return false;
    };
    std::string listen;
    if (arg == "--help") {
      std::cout << kUsage << "\n" << kHelp;
      return 0;
    }
    if (arg == "--version") {
      std::cout << "orvik-line " << ORVIK_PROGRAM_VERSION << "\n";
      return 0;
    }
    if (value("--record", options.record)) {
      haveRecord = true;
    } else if (value("--listen", listen)) {
      const auto parsed = ParseListen(listen);
      if (!parsed) return BadOption("--listen takes HOST:PORT, e.g. 127.0.0.1:8470 or [::1]:8470");
      options.host = parsed->first;
      options.port = parsed->second;
    } else if (value("--token-file", tokenFile)) {
    } else if (value("--title", options.title)) {
    } else if (arg == "--record" || arg == "--listen" || arg == "--token-file" || arg == "--title") {
      return BadOption(arg + " needs a value");
    } else {
      return BadOption("unknown option '" + arg + "'");
    }
  }
  if (!haveRecord || options.record.empty()) return BadOption("--record DB is needed");
  if (!tokenFile.empty()) {
    std::string error;
    if (!ReadToken(tokenFile, options.token, error)) return Fail(error);
  }

  const std::string shown = orvik::record::DisplayName(options.record);
  std::string error;
  std::unique_ptr<LineDb> queries = OpenLineDb(options.record, error);
  if (!queries) return Fail(shown + ": " + error);
  std::unique_ptr<LineDb> watch = OpenLineDb(options.record, error);
  if (!watch) return Fail(shown + ": " + error);

  // SIGINT and SIGTERM are taken by a thread of their own (sigwait), which
  // stops the server; every other thread has them blocked.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  LineServer server(options, std::move(queries), std::move(watch));
  if (!server.Bind(error)) return Fail(error);
  const std::string shownHost = options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
  if (!IsLoopback(options.host) && options.token.empty()) {
    std::cerr << "orvik-line: listening on " << shownHost << ":" << server.Port()
              << " without --token-file: anyone on that network can read the record\n";
  }
  std::cout << "orvik-line: serving " << shown << " at http://" << shownHost << ":" << server.Port() << "/"
            << std::endl;

  std::thread waiter([&] {
    int signal = 0;
    sigwait(&signals, &signal);
    server.Stop();
  });
  server.Run();
  // Run ended by a signal: the waiter has returned. Ended otherwise: wake it.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  return 0;
}
