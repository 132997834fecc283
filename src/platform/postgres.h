// One connection to a PostgreSQL server through libpq: statements with
// text parameters and text results, and the notifications of LISTEN.
// Values always travel as parameters, never inside the SQL text.
//
// Connecting takes at most kConnectSeconds; a peer that stops answering is
// given up after kSilentSeconds (TCP user time-out and keep-alives), so a
// statement never waits longer than that on a dead network.
//
// Thread-safety: none; one thread at a time uses a connection.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillon::platform {

class PgConnection {
 public:
  static constexpr int kConnectSeconds = 5;
  static constexpr int kSilentSeconds = 10;

  using Value = std::optional<std::string>;  // nullopt: SQL NULL
  using Row = std::vector<Value>;

  PgConnection() = default;
  ~PgConnection();
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // Connects to `url` (a postgresql:// URL or key=value text). False with
  // *error; an open connection is closed first.
  [[nodiscard]] bool Connect(const std::string& url, std::string* error);
  void Close();
  // Open and not known to be broken.
  bool IsOpen() const;

  // Runs one statement; `rows` (may be null) gets the rows of its result.
  // False with *error when it fails or the connection broke.
  [[nodiscard]] bool Exec(const std::string& sql, const std::vector<Value>& params,
                          std::vector<Row>* rows, std::string* error);
  // Runs statements without parameters (several may be separated by ";").
  [[nodiscard]] bool ExecScript(const std::string& sql, std::string* error);

  // The socket, to poll for notifications; -1 when closed.
  int Descriptor() const;
  // Reads what the server sent (after the socket polled readable) and takes
  // the next notification that arrived, if any: true with its channel and
  // payload. False with an empty *error when none waits; with *error when
  // the connection broke.
  [[nodiscard]] bool TakeNotification(std::string* channel, std::string* payload, std::string* error);

 private:
  std::string LastError() const;

  void* conn_ = nullptr;  // PGconn
};

}  // namespace quillon::platform
