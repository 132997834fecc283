#include "http/http_server.h"

#include <iterator>
#include <optional>
#include <string>

#include "fileutil/text.h"
#include "http/http_response.h"
#include "runtime/ip_address.h"
#include "runtime/proxy_header.h"

namespace quillon::http {

namespace {
// How long a wait for more of the request lasts before the state is looked at again.
constexpr std::uint32_t kWaitMs = 1000;
}  // namespace

std::string WithoutSessionIds(std::string_view request_line) {
  std::string out;
  out.reserve(request_line.size());
  const std::size_t query = request_line.find('?');
  if (query == std::string_view::npos) return std::string(request_line);
  out.append(request_line.substr(0, query));
  // Parameters run from '?' or '&' up to the next '&', blank or end.
  for (std::size_t at = query; at < request_line.size();) {
    const char separator = request_line[at];
    if (separator != '?' && separator != '&') {
      out.append(request_line.substr(at));
      break;
    }
    out.push_back(separator);
    ++at;
    std::size_t end = at;
    while (end < request_line.size() && request_line[end] != '&' && request_line[end] != ' ') ++end;
    const std::string_view parameter = request_line.substr(at, end - at);
    // "id=…", the ellipsis in UTF-8.
    out.append(parameter.starts_with("id=") ? std::string_view("id=\xE2\x80\xA6") : parameter);
    at = end;
  }
  return out;
}

HttpServer::HttpServer(RequestHandler& handler, settings::LogFile& log, platform::Clock& clock,
                       std::string temp_folder, std::size_t max_body)
    : ConnectionListener(kInitialCap, clock),
      handler_(handler),
      log_(log),
      clock_(clock),
      temp_folder_(std::move(temp_folder)),
      max_body_(max_body) {
  SetCap(kAdminCap);
}

HttpServer::~HttpServer() { Stop(); }

std::unique_ptr<runtime::TcpConnection> HttpServer::CreateConnection(
    std::unique_ptr<runtime::LineSocket> accepted) {
  // An IPv6 peer counts with the rest of its /64.
  const auto key_of = [](std::string_view address) {
    const std::optional<runtime::IpAddress> parsed = runtime::IpAddress::Parse(address);
    return parsed ? parsed->LimitKey() : runtime::IpAddress();
  };
  const runtime::IpAddress peer = key_of(accepted->PeerAddressText());
  HttpConnection::Tls tls;
  HttpConnection::Proxy proxy = HttpConnection::Proxy::kNone;
  {
    runtime::CriticalSection::Guard guard(tls_lock_);
    tls.context = tls_context_;
    if (proxy_)
      proxy = proxy_trusted_.Contains(peer) ? HttpConnection::Proxy::kHeader : HttpConnection::Proxy::kRefuse;
  }
  // A balancer's connections are counted by the clients they bring, once
  // their headers name them.
  if (proxy != HttpConnection::Proxy::kHeader) {
    std::uint32_t from_peer = 0;
    ForEachConnection([&](runtime::TcpConnection& connection) {
      if (!connection.IsFinished() && peer == key_of(connection.PeerAddress())) ++from_peer;
    });
    if (from_peer >= kMaxPerAddress) return nullptr;  // closed at once
  }
  tls.session = &tls_session_;
  auto connection = std::make_unique<HttpConnection>(std::move(accepted), handler_, log_, clock_,
                                                     temp_folder_, max_body_, std::move(tls), proxy);
  return connection;
}

bool HttpServer::MayGiveWayToNewcomer(runtime::TcpConnection& connection) {
  // Every connection of this listener is one of ours.
  return static_cast<HttpConnection&>(connection).AwaitsRequest();
}

HttpConnection::HttpConnection(std::unique_ptr<runtime::LineSocket> socket,
                               RequestHandler& handler, settings::LogFile& log,
                               platform::Clock& clock, const std::string& temp_folder,
                               std::size_t max_body, Tls tls, Proxy proxy)
    : TcpConnection(std::move(socket), HttpServer::kIdleTimeoutMs, clock),
      handler_(handler),
      log_(log),
      max_body_(max_body),
      accepted_ms_(clock.TickMs()),
      tls_(std::move(tls)),
      proxy_(proxy),
      request_wait_ms_(accepted_ms_),
      request_(Socket().PeerAddressText(), std::to_string(Socket().PeerPort()), temp_folder,
               clock) {
  request_.SetStopEvent(&StopEvent());
  [[maybe_unused]] bool started = Begin();  // a connection that did not start stays finished
}

HttpConnection::~HttpConnection() { Stop(kStopWaitMs); }

void HttpConnection::LogLine(const std::string& text) {
  [[maybe_unused]] bool written = log_.WriteLine(request_.PeerIp() + " -> " + text);
}

bool HttpConnection::TakeProxyHeader() {
  std::string reason = runtime::ProxyHeader::kUntrusted;
  if (proxy_ == Proxy::kHeader &&
      Socket().TakeProxyHeader(&StopEvent(), GetClock(), kFirstByteLimitMs, &reason)) {
    request_.SetPeer(Socket().PeerAddressText(), std::to_string(Socket().PeerPort()));
    return true;
  }
  LogLine(fileutil::FormatText(runtime::ProxyHeader::kLogRefused, reason.c_str()));
  return false;
}

void HttpConnection::Serve() {
  if (proxy_ != Proxy::kNone && !TakeProxyHeader()) return;
  LogLine("Connection Accepted.");
  if (tls_.context != nullptr && !StartTls()) return;
  const bool read = ReadRequest();
  awaits_request_.store(false);
  if (!read) return;
  if (redirect_to_tls_) {
    // Nothing of a plain request is handled: the browser asks again over TLS.
    if (request_.IsValid()) {
      request_.Response().Redirect(SecureAddress(), false);
    } else {
      request_.Response().BadRequest();
    }
  } else if (request_.IsComplete()) {
    // A handler may keep the browser waiting (a wrong password): that is
    // not the browser being idle.
    SetBusy(true);
    handler_.HandleRequest(request_);
    SetBusy(false);
    if (!request_.Response().IsReady()) return;
  } else {
    request_.Response().BadRequest();
  }
  SendResponse();
}

bool HttpConnection::StartTls() {
  // Every TLS connection opens with a handshake record.
  constexpr std::uint8_t kHandshakeRecord = 0x16;
  runtime::LineSocket& socket = Socket();
  std::uint8_t first = 0;
  platform::Clock& clock = GetClock();
  for (;;) {
    if (StopRequested() || socket.GetState() != runtime::TcpSocket::State::kConnected) return false;
    if (clock.TickMs() - accepted_ms_ >= kFirstByteLimitMs) return false;
    if (socket.PeekFirstByte(&first)) break;
    socket.WaitReadable(&StopEvent(), kWaitMs);
  }
  if (first != kHandshakeRecord) {
    redirect_to_tls_ = true;
    return true;
  }
  // The handshake ends within its limit of the accept, however late it began.
  const std::uint32_t spent = clock.TickMs() - accepted_ms_;
  const std::uint32_t left = spent < kTlsHandshakeLimitMs ? kTlsHandshakeLimitMs - spent : 1;
  std::string error;
  if (socket.AcceptTls(*tls_.context, *tls_.session, platform::TlsRole::kControl, &StopEvent(),
                       clock, left, &error)) {
    // Browsers that know the admin over HTTPS are told to come back over HTTPS only.
    request_.Response().SetStrictTransportSecurity(true);
    request_wait_ms_ = clock.TickMs();
    return true;
  }
  LogLine("TLS Failed: Reason=[" + error + "]");
  return false;
}

std::string HttpConnection::SecureAddress() {
  runtime::LineSocket& socket = Socket();
  // An IPv6 address goes in brackets in a URL.
  const std::string host = socket.IsIpv6() ? "[" + std::string(socket.LocalAddressText()) + "]"
                                           : std::string(socket.LocalAddressText());
  std::string address = "https://" + host + ":" + std::to_string(socket.LocalPort()) + EncodeUrlPath(request_.Path());
  if (request_.HasQuery()) address += "?" + EncodeUrlQuery(request_.RawQuery());
  return address;
}

bool HttpConnection::ReadRequest() {
  runtime::LineSocket& socket = Socket();
  char line[kMaxHeaderLine + 1];
  bool in_body = false;
  std::size_t body_total = 0;
  for (;;) {
    if (StopRequested() || socket.GetState() != runtime::TcpSocket::State::kConnected) return false;
    // A peer that trickles its request must not hold a slot for long.
    const std::uint32_t now = GetClock().TickMs();
    if (now - accepted_ms_ >= kRequestTimeLimitMs) return false;
    if (!in_body) {
      if (!socket.ReadLine(line, sizeof line)) {
        if (socket.LastStatus() != runtime::SocketStatus::kNoLine) return false;
        // Nor may a peer that has not begun it.
        const bool begun = request_.HeaderLines() > 0 || socket.BufferedBytes() > 0;
        if (!begun && now - request_wait_ms_ >= kFirstByteLimitMs) return false;
        socket.WaitReadable(&StopEvent(), kWaitMs);
        continue;
      }
      Touch();
      if (request_.HeaderLines() == 0) LogLine(WithoutSessionIds(line));
      const std::string_view text(line);
      if (!text.empty()) {
        request_.ParseHeaderLine(text);
        if (request_.HeaderLines() > kMaxHeaderLines) {
          request_.Refuse();  // answered 400
          return true;
        }
        continue;
      }
      request_.HeadersEnded();
      // GET, HEAD, an invalid request line, and a POST that can never
      // complete are answered now.
      if (!request_.HasBody() || request_.PostCannotComplete())
        return true;
      if (redirect_to_tls_ || !handler_.TakesBody(request_)) request_.DiscardBody();
      in_body = true;
    }
    if (request_.IsComplete()) return true;
    char chunk[kReceiveChunk];
    std::size_t length = sizeof chunk;
    if (!socket.Receive(chunk, &length)) return false;
    if (length == 0) {
      socket.WaitReadable(&StopEvent(), kWaitMs);
      continue;
    }
    Touch();
    body_total += length;
    if (body_total > max_body_) return false;
    if (!request_.FeedBody(chunk, length)) return false;
    if (request_.IsRefused()) return true;  // answered 400
  }
}

void HttpConnection::SendResponse() {
  HttpResponse& response = request_.Response();
  static constexpr const char* kLogTexts[] = {nullptr,
                                              "Response: OK",
                                              "Response: File Not Found",
                                              "Response: Bad Request",
                                              "Response: Redirection",
                                              "Response: Server Busy"};
  const auto kind = static_cast<std::size_t>(response.GetKind());
  if (kind >= 1 && kind < std::size(kLogTexts)) LogLine(kLogTexts[kind]);
  runtime::LineSocket& socket = Socket();
  if (!SendBuffer(socket, response.Header().data(), response.Header().size())) return;
  if (request_.GetMethod() != HttpRequest::Method::kHead) {
    char piece[kSendPiece];
    for (;;) {
      std::size_t length = 0;
      if (!response.NextBodyPiece(piece, sizeof piece, &length) || length == 0) break;
      if (!SendBuffer(socket, piece, length)) return;
    }
  }
  socket.Shutdown();
}

}  // namespace quillon::http
