#include "record/pg_connect.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "record/record.h"
#include "record/socket_wait.h"

namespace orvik::record {
namespace {

struct OptionsFree {
  void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};

}  // namespace

std::string PgMessage(const char* text) {
  std::string message = text != nullptr ? text : "";
  std::replace(message.begin(), message.end(), '\n', ' ');
  std::replace(message.begin(), message.end(), '\t', ' ');
  while (!message.empty() && message.back() == ' ') message.pop_back();
  return message;
}

PgConn PgConnect(const std::string& uri, const PgConnectRequest& request, std::string& host, std::string& error) {
  const auto scrubbed = [&uri](const std::string& text) { return WithoutCredentials(text, uri); };
  char* parseError = nullptr;
  const std::unique_ptr<PQconninfoOption, OptionsFree> parsed(PQconninfoParse(uri.c_str(), &parseError));
  if (!parsed) {
    error = "not a valid URI: " + scrubbed(PgMessage(parseError));
    PQfreemem(parseError);
    return nullptr;
  }
  std::vector<std::string> keys, values;
  std::string sslmode, rootcert, options;
  host = "localhost";
  int connectTimeout = kDefaultConnectTimeoutSeconds;
  for (const PQconninfoOption* option = parsed.get(); option->keyword != nullptr; ++option) {
    if (option->val == nullptr) continue;
    const std::string key = option->keyword;
    if (key == "password") {
      error = kPasswordRefusal;
      return nullptr;
    }
    if (key == "host" || key == "hostaddr") host = option->val;
    if (key == "sslmode") sslmode = option->val;
    if (key == "sslrootcert") rootcert = option->val;
    if (key == "connect_timeout") {
      connectTimeout = std::atoi(option->val);
      continue;
    }
    if (key == "options") {
      options = option->val;
      continue;
    }
    keys.push_back(key);
    values.push_back(option->val);
  }
  host = scrubbed(host);
  if (connectTimeout <= 0) connectTimeout = kDefaultConnectTimeoutSeconds;
  const auto setDefault = [&](const char* key, const std::string& value) {
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
      keys.push_back(key);
      values.push_back(value);
    }
  };
  setDefault("keepalives", "1");
  setDefault("keepalives_idle", std::to_string(kServerKeepaliveIdleSeconds));
  setDefault("keepalives_interval", std::to_string(kServerKeepaliveIntervalSeconds));
  setDefault("keepalives_count", std::to_string(kServerKeepaliveCount));
  setDefault("tcp_user_timeout", std::to_string(kServerTcpUserTimeoutMs));
  // The server ends a statement, or a wait for a lock, that runs longer.
  const std::string timeout = std::to_string(kServerStatementTimeout.count());
  keys.push_back("options");
  values.push_back(options + (options.empty() ? "" : " ") +
                   (request.readOnly ? std::string("-c default_transaction_read_only=on ")
                                     : "-c statement_timeout=" + timeout + " ") +
                   "-c lock_timeout=" + timeout);
  setDefault("application_name", request.application);
  // verify-full with no root certificate named: the system's, unless the
  // user keeps one where libpq looks first.
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
  PgConn conn(PQconnectStartParams(keyPointers.data(), valuePointers.data(), 0));
  if (!conn) {
    error = "out of memory";
    return nullptr;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(connectTimeout);
  PostgresPollingStatusType poll = PGRES_POLLING_WRITING;
  while (PQstatus(conn.get()) != CONNECTION_BAD && poll != PGRES_POLLING_OK && poll != PGRES_POLLING_FAILED) {
    if (WaitSocket(PQsocket(conn.get()), poll == PGRES_POLLING_WRITING, deadline) == SocketReady::TimedOut) {
      error = "no answer within " + std::to_string(connectTimeout) + " s";
      return nullptr;
    }
    poll = PQconnectPoll(conn.get());
  }
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    error = scrubbed(PgMessage(PQerrorMessage(conn.get())));
    return nullptr;
  }
  // The server's notices ("column ... already exists, skipping") are not
  // the operator's business; libpq would print them on standard error.
  PQsetNoticeProcessor(conn.get(), [](void*, const char*) {}, nullptr);
  if (PQsetnonblocking(conn.get(), 1) != 0) {
    error = scrubbed(PgMessage(PQerrorMessage(conn.get())));
    return nullptr;
  }
  return conn;
}

}  // namespace orvik::record
