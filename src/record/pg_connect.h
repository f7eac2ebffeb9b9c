// A connection to a record server, made the same way by every program that
// reaches one (the stations' record, --history, orvik-line): the URI's own
// settings, no password in it, and every wait bounded: the connection
// attempt, and a silent TCP connection (keepalives, tcp_user_timeout).
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <string>

namespace orvik::record {

struct PgConnFinish {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};
using PgConn = std::unique_ptr<PGconn, PgConnFinish>;

struct PgConnectRequest {
  std::string application;  // application_name, unless the URI names one
  // A reader: every transaction read-only, and no statement_timeout (a long
  // history is one long statement, bounded by the wait for each row).
  bool readOnly = false;
};

// libpq's text on one line, without its trailing newline.
std::string PgMessage(const char* text);

// Connects to the server `uri` names, within its connect_timeout (or
// kDefaultConnectTimeoutSeconds), without blocking beyond it: libpq's own
// connect_timeout is not applied to a connection made step by step. The
// connection is left non-blocking. Null with the reason on failure; `host`
// gets the server's name as shown (what stands for credentials removed).
// The reason is scrubbed of credentials too.
PgConn PgConnect(const std::string& uri, const PgConnectRequest& request, std::string& host, std::string& error);

}  // namespace orvik::record
