#include "platform/postgres.h"

#include <libpq-fe.h>

#include <string_view>

namespace quillon::platform {

namespace {

PGconn* Conn(void* conn) { return static_cast<PGconn*>(conn); }

// libpq's messages end in a line feed; log lines must not.
std::string Trimmed(const char* text) {
  std::string out = text == nullptr ? "" : text;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
  for (char& c : out)
    if (c == '\n' || c == '\r') c = ' ';
  return out;
}

}  // namespace

PgConnection::~PgConnection() { Close(); }

bool PgConnection::Connect(const std::string& url, std::string* error) {
  Close();
  const std::string connect = std::to_string(kConnectSeconds);
  const std::string silent_ms = std::to_string(kSilentSeconds * 1000);
  // The URL is expanded first; the keys after it add the time limits.
  const char* keys[] = {"dbname", "connect_timeout", "tcp_user_timeout", "keepalives", "keepalives_idle",
                        "keepalives_interval", "keepalives_count", "application_name", nullptr};
  const char* values[] = {url.c_str(), connect.c_str(), silent_ms.c_str(), "1", "5", "2", "3", "quillon",
                          nullptr};
  conn_ = PQconnectdbParams(keys, values, 1);
  if (conn_ == nullptr) {
    *error = "out of memory";
    return false;
  }
  if (PQstatus(Conn(conn_)) != CONNECTION_OK) {
    *error = LastError();
    Close();
    return false;
  }
  // Notices ("relation already exists, skipping") are no one's business;
  // libpq would print them on standard error.
  PQsetNoticeProcessor(Conn(conn_), [](void*, const char*) {}, nullptr);
  return true;
}

void PgConnection::Close() {
  if (conn_ != nullptr) PQfinish(Conn(conn_));
  conn_ = nullptr;
}

bool PgConnection::IsOpen() const { return conn_ != nullptr && PQstatus(Conn(conn_)) == CONNECTION_OK; }

std::string PgConnection::LastError() const {
  std::string text = conn_ == nullptr ? "not connected" : Trimmed(PQerrorMessage(Conn(conn_)));
  return text.empty() ? "the connection to the database broke" : text;
}

bool PgConnection::Exec(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
                        std::string* error) {
  if (!IsOpen()) {
    *error = LastError();
    return false;
  }
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const Value& value : params) values.push_back(value ? value->c_str() : nullptr);
  PGresult* result = PQexecParams(Conn(conn_), sql.c_str(), static_cast<int>(values.size()), nullptr,
                                  values.data(), nullptr, nullptr, 0);
  const ExecStatusType status = result == nullptr ? PGRES_FATAL_ERROR : PQresultStatus(result);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    *error = result != nullptr ? Trimmed(PQresultErrorMessage(result)) : LastError();
    if (error->empty()) *error = LastError();
    PQclear(result);
    return false;
  }
  if (rows != nullptr) {
    rows->clear();
    const int count = PQntuples(result);
    const int fields = PQnfields(result);
    rows->reserve(static_cast<std::size_t>(count));
    for (int r = 0; r < count; ++r) {
      Row row;
      row.reserve(static_cast<std::size_t>(fields));
      for (int f = 0; f < fields; ++f) {
        if (PQgetisnull(result, r, f)) {
          row.emplace_back(std::nullopt);
        } else {
          row.emplace_back(std::string(PQgetvalue(result, r, f), static_cast<std::size_t>(PQgetlength(result, r, f))));
        }
      }
      rows->push_back(std::move(row));
    }
  }
  PQclear(result);
  return true;
}

bool PgConnection::ExecScript(const std::string& sql, std::string* error) {
  if (!IsOpen()) {
    *error = LastError();
    return false;
  }
  PGresult* result = PQexec(Conn(conn_), sql.c_str());
  const ExecStatusType status = result == nullptr ? PGRES_FATAL_ERROR : PQresultStatus(result);
  const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  if (!ok) *error = result != nullptr && *PQresultErrorMessage(result) != '\0' ? Trimmed(PQresultErrorMessage(result)) : LastError();
  PQclear(result);
  return ok;
}

int PgConnection::Descriptor() const { return conn_ == nullptr ? -1 : PQsocket(Conn(conn_)); }

bool PgConnection::TakeNotification(std::string* channel, std::string* payload, std::string* error) {
  error->clear();
  if (!IsOpen()) {
    *error = LastError();
    return false;
  }
  if (PQconsumeInput(Conn(conn_)) == 0 || PQstatus(Conn(conn_)) != CONNECTION_OK) {
    *error = LastError();
    return false;
  }
  PGnotify* notify = PQnotifies(Conn(conn_));
  if (notify == nullptr) return false;
  *channel = notify->relname;
  *payload = notify->extra;
  PQfreemem(notify);
  return true;
}

}  // namespace quillon::platform
