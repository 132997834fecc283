// The remote admin's HTTP transport: a connection listener whose
// connections each read exactly one request, hand it to the request
// handler, send the response the handler prepared, and close.
//
// The administrator's only control of a headless service must stay
// reachable while anonymous peers hold connections: one address holds at
// most kMaxPerAddress of them, a connection sends the first byte of its
// request (and ends its TLS handshake) within 5 s, and while every slot is
// taken a newcomer replaces the oldest connection that has not yet sent a
// whole request.
//
// Behind a load balancer (SetProxyRules), a connection from a trusted peer
// starts with a PROXY protocol header naming the client, who then counts as
// the peer (for the per-address limit, the log and the handler); any other
// peer, and a trusted one that sends no header within 5 s, is refused with
// "PROXY Header Refused: Reason=[...]" in the log.
//
// Thread-safety: as ConnectionListener; each connection runs on its own
// thread and the handler guards its own state.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "http/http_request.h"
#include "platform/clock.h"
#include "platform/tls.h"
#include "runtime/connection_listener.h"
#include "runtime/ip_range_list.h"
#include "runtime/limits.h"
#include "runtime/tcp_connection.h"
#include "settings/log_file.h"

namespace quillon::http {

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
  // One address holds at most this many of the connections at once (a
  // browser opens up to six to a server), so a few addresses cannot take
  // the slots.
  static constexpr std::uint32_t kMaxPerAddress = 8;

  // `temp_folder`: where request bodies are kept while a request lives.
  HttpServer(RequestHandler& handler, settings::LogFile& log, platform::Clock& clock,
             std::string temp_folder, std::size_t max_body = kMaxBodyBytes);
  ~HttpServer() override;

  // The certificate of the connections accepted from now on (those open
  // keep theirs): a non-null context makes the port speak HTTPS (and a
  // browser that comes in plain HTTP is redirected to it); null makes it
  // plain HTTP.
  void SetTlsContext(std::shared_ptr<const platform::TlsContext> context) {
    runtime::CriticalSection::Guard guard(tls_lock_);
    tls_context_ = std::move(context);
  }
  // With `on`, the connections accepted from now on take a PROXY protocol
  // header from the `trusted` peers and refuse every other peer.
  void SetProxyRules(bool on, runtime::IpRangeList trusted) {
    runtime::CriticalSection::Guard guard(tls_lock_);
    proxy_ = on;
    proxy_trusted_ = std::move(trusted);
  }

 protected:
  std::unique_ptr<runtime::TcpConnection> CreateConnection(
      std::unique_ptr<runtime::LineSocket> accepted) override;
  // A connection that has not yet sent a whole request gives way.
  bool MayGiveWayToNewcomer(runtime::TcpConnection& connection) override;

 private:
  RequestHandler& handler_;
  settings::LogFile& log_;
  platform::Clock& clock_;
  const std::string temp_folder_;
  const std::size_t max_body_;
  runtime::CriticalSection tls_lock_;
  std::shared_ptr<const platform::TlsContext> tls_context_;  // guarded by tls_lock_
  bool proxy_ = false;                                       // guarded by tls_lock_
  runtime::IpRangeList proxy_trusted_;                       // guarded by tls_lock_
  // Browsers may resume their TLS sessions with this server only.
  const platform::TlsSessionContext tls_session_ = platform::TlsSessionContext::MakeRandom();
};

// One browser connection: one request, one response.
class HttpConnection final : public runtime::TcpConnection {
 public:
  static constexpr std::size_t kMaxHeaderLine = 4096;
  // A request with more header lines is answered 400...
  static constexpr std::uint32_t kMaxHeaderLines = 100;
  // ...and one that has not arrived whole after this long is dropped.
  static constexpr std::uint32_t kRequestTimeLimitMs = limits::kRequestTimeLimitMs;
  // A connection whose request has not begun this long after the accept
  // (after the TLS handshake, over HTTPS) is dropped...
  static constexpr std::uint32_t kFirstByteLimitMs = limits::kRequestFirstByteLimitMs;
  // ...and so is one whose TLS handshake has not ended this long after the
  // accept.
  static constexpr std::uint32_t kTlsHandshakeLimitMs = limits::kAdminTlsHandshakeLimitMs;
  static constexpr std::size_t kReceiveChunk = 4096;
  static constexpr std::size_t kSendPiece = 16 * 1024;

  // With `tls` the connection is HTTPS, or answers a plain request with a
  // redirect to HTTPS.
  struct Tls {
    std::shared_ptr<const platform::TlsContext> context;
    const platform::TlsSessionContext* session = nullptr;
  };
  // What the connection expects before its request.
  enum class Proxy { kNone, kHeader, kRefuse };

  HttpConnection(std::unique_ptr<runtime::LineSocket> socket, RequestHandler& handler,
                 settings::LogFile& log, platform::Clock& clock, const std::string& temp_folder,
                 std::size_t max_body, Tls tls, Proxy proxy = Proxy::kNone);
  ~HttpConnection() override;

  // True until the whole request has arrived (or been refused): until then
  // the connection may give way to a newcomer. Any thread may ask.
  bool AwaitsRequest() const { return awaits_request_.load(); }

 private:
  void Serve() override;
  // Waits for the browser's first byte: a TLS handshake is run; anything
  // else marks the request for the redirect. False when the connection is
  // to end.
  bool StartTls();
  // Takes the PROXY protocol header; false (logged) when the connection is
  // to end.
  bool TakeProxyHeader();
  // The request's address over HTTPS on the address and port this
  // connection arrived on, which belong to the server, never on the Host
  // header, which the browser (or a page that sends it here) chooses. The
  // path is percent-encoded again; the query keeps its URL characters.
  std::string SecureAddress();
  // Reads the request; false when the connection is to end without an answer.
  bool ReadRequest();
  void SendResponse();
  void LogLine(const std::string& text);

  RequestHandler& handler_;
  settings::LogFile& log_;
  const std::size_t max_body_;
  const std::uint32_t accepted_ms_;  // the tick of the accept
  const Tls tls_;
  const Proxy proxy_;
  bool redirect_to_tls_ = false;  // plain HTTP on an HTTPS port
  // When the wait for the request's first byte began: the accept, or the
  // end of the TLS handshake. Serving thread only.
  std::uint32_t request_wait_ms_;
  std::atomic<bool> awaits_request_{true};
  HttpRequest request_;
};

}  // namespace quillon::http
