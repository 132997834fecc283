// The remote admin's HTTP transport: a connection listener whose
// connections each read exactly one request, hand it to the request
// handler, send the response the handler prepared, and close.
//
// Thread-safety: as ConnectionListener; each connection runs on its own
// thread and the handler guards its own state.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "admin/http_request.h"
#include "platform/clock.h"
#include "runtime/connection_listener.h"
#include "runtime/limits.h"
#include "runtime/tcp_connection.h"
#include "settings/log_file.h"

namespace quillon::admin {

// Answers complete requests by preparing request.Response(); a request left
// without a response is closed without an answer.
class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  virtual void HandleRequest(HttpRequest& request) = 0;
  // Whether the body of this POST (its headers read) is worth parsing; a
  // body that is not is read and dropped.
  virtual bool TakesBody(const HttpRequest& /*request*/) const { return true; }
};

// The request line as the log may keep it: the value of every "id"
// parameter of its query (an administrator's live session id) written as
// "…".
std::string WithoutSessionIds(std::string_view request_line);

class HttpServer final : public runtime::ConnectionListener {
 public:
  static constexpr std::uint32_t kInitialCap = 200;
  static constexpr std::uint32_t kAdminCap = 100;
  static constexpr std::uint32_t kIdleTimeoutMs = 120'000;
  static constexpr std::size_t kMaxBodyBytes = 1'048'576;
  // One address holds at most this many of the connections at once, so a
  // single peer can never take more than half of the slots.
  static constexpr std::uint32_t kMaxPerAddress = kAdminCap / 2;

  // `temp_folder`: where request bodies are kept while a request lives.
  HttpServer(RequestHandler& handler, settings::LogFile& log, platform::Clock& clock,
             std::string temp_folder, std::size_t max_body = kMaxBodyBytes);
  ~HttpServer() override;

 protected:
  std::unique_ptr<runtime::TcpConnection> CreateConnection(
      std::unique_ptr<runtime::LineSocket> accepted) override;

 private:
  RequestHandler& handler_;
  settings::LogFile& log_;
  platform::Clock& clock_;
  const std::string temp_folder_;
  const std::size_t max_body_;
};

// One browser connection: one request, one response.
class HttpConnection final : public runtime::TcpConnection {
 public:
  static constexpr std::size_t kMaxHeaderLine = 4096;
  // A request with more header lines is answered 400...
  static constexpr std::uint32_t kMaxHeaderLines = 100;
  // ...and one that has not arrived whole after this long is dropped.
  static constexpr std::uint32_t kRequestTimeLimitMs = limits::kRequestTimeLimitMs;
  static constexpr std::size_t kReceiveChunk = 4096;
  static constexpr std::size_t kSendPiece = 16 * 1024;

  HttpConnection(std::unique_ptr<runtime::LineSocket> socket, RequestHandler& handler,
                 settings::LogFile& log, platform::Clock& clock, const std::string& temp_folder,
                 std::size_t max_body);
  ~HttpConnection() override;

 private:
  void Serve() override;
  // Reads the request; false when the connection is to end without an answer.
  bool ReadRequest();
  void SendResponse();
  void LogLine(const std::string& text);

  RequestHandler& handler_;
  settings::LogFile& log_;
  const std::size_t max_body_;
  const std::uint32_t accepted_ms_;  // the tick of the accept
  HttpRequest request_;
};

}  // namespace quillon::admin
