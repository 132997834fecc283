#include "runtime/tcp_socket.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "platform/event.h"
#include "runtime/proxy_header.h"
#include "runtime/socket_wait.h"

namespace quillon::runtime {

namespace {

// The pause between looks at a PROXY header that arrived in part.
constexpr std::uint32_t kProxyPauseMs = 10;

template <std::size_t N>
void FormatAddress(const platform::Endpoint& endpoint, char (&text)[N]) {
  std::snprintf(text, sizeof text, "%s", platform::AddressText(endpoint.address).c_str());
}

// A wait on the descriptor alone, for the handshake: what it wants next is
// always on the network.
void WaitForHandshake(platform::SocketHandle handle, bool write, const platform::Event* stop,
                      std::uint32_t timeout_ms) {
  platform::PollItem items[2];
  items[0].descriptor = handle;
  items[0].want_read = !write;
  items[0].want_write = write;
  items[1].descriptor = stop != nullptr ? stop->PollDescriptor() : -1;
  items[1].want_read = true;
  platform::Poll(items, 2, timeout_ms);
}

}  // namespace

TcpSocket::TcpSocket() { ResetFields(); }

TcpSocket::~TcpSocket() { platform::CloseSocket(handle_); }

void TcpSocket::ResetFields() {
  tls_.reset();
  handle_ = platform::kNoSocket;
  state_ = State::kClosed;
  peer_ = platform::Endpoint{};
  local_ = platform::Endpoint{};
  std::strcpy(peer_text_, "0.0.0.0");
  std::strcpy(local_text_, "0.0.0.0");
}

void TcpSocket::AssignFrom(TcpSocket& other) {
  if (&other == this) return;
  platform::CloseSocket(handle_);
  handle_ = other.handle_;
  std::memcpy(peer_text_, other.peer_text_, sizeof peer_text_);
  std::memcpy(local_text_, other.local_text_, sizeof local_text_);
  peer_ = other.peer_;
  local_ = other.local_;
  status_ = other.status_;
  state_ = other.state_;
  bytes_received_ = other.bytes_received_;
  bytes_sent_ = other.bytes_sent_;
  tls_ = std::move(other.tls_);
  other.Detach();
}

void TcpSocket::Close() {
  platform::CloseSocket(handle_);
  ResetFields();
}

void TcpSocket::FailAndClose(SocketStatus status) {
  Close();
  status_ = status;
}

bool TcpSocket::Create(bool ipv6) {
  Close();
  handle_ = platform::OpenTcpSocket(nullptr, ipv6);
  if (handle_ == platform::kNoSocket) {
    status_ = SocketStatus::kCreateFailed;
    return false;
  }
  status_ = SocketStatus::kOk;
  return true;
}

bool TcpSocket::Connect(const char* host, std::uint16_t port, const platform::Event* cancel,
                        std::uint32_t timeout_ms) {
  platform::Endpoint target;
  if (host == nullptr || host[0] == '\0' || !platform::ResolveHost(host, &target)) {
    status_ = SocketStatus::kUnresolved;
    return false;
  }
  target.port = port;
  if (!Create(!target.IsIpv4())) return false;
  if (!platform::ConnectWithin(handle_, target, cancel, timeout_ms, nullptr)) {
    FailAndClose(SocketStatus::kConnectFailed);
    return false;
  }
  FillAddresses();
  state_ = State::kConnected;
  return true;
}

bool TcpSocket::ListenOn(std::uint16_t port, int backlog) {
  listen_error_ = 0;
  // One IPv6 socket takes both families; a system without IPv6 refuses to
  // make it, and an IPv4 socket serves alone.
  if (!Create(true) && !Create(false)) return false;
  if (!platform::BindAnyAddress(handle_, port, &listen_error_)) {
    FailAndClose(SocketStatus::kBindFailed);
    return false;
  }
  return Listen(backlog);
}

bool TcpSocket::ListenOnAddress(const std::string& address, std::uint16_t port, int backlog) {
  listen_error_ = 0;
  platform::Endpoint local;
  if (!platform::ParseAddress(address, &local.address)) {
    Close();
    status_ = SocketStatus::kUnresolved;
    return false;
  }
  local.port = port;
  if (!Create(!local.IsIpv4())) return false;
  // "::" too serves IPv6 alone here, so that "0.0.0.0" can stand beside it.
  if (!platform::BindAddress(handle_, local, &listen_error_)) {
    FailAndClose(SocketStatus::kBindFailed);
    return false;
  }
  return Listen(backlog);
}

bool TcpSocket::Listen(int backlog) {
  if (!platform::ListenForConnections(handle_, backlog, &listen_error_)) {
    FailAndClose(SocketStatus::kListenFailed);
    return false;
  }
  listen_error_ = 0;
  FillAddresses();
  state_ = State::kListening;
  return true;
}

bool TcpSocket::AcceptInto(TcpSocket& target) {
  if (state_ != State::kListening) {
    status_ = SocketStatus::kNotListening;
    return false;
  }
  platform::SocketHandle accepted = platform::AcceptPending(handle_, &accept_error_);
  if (accepted == platform::kNoSocket) {
    status_ = accept_error_ != 0 ? SocketStatus::kAcceptFailed : SocketStatus::kNoConnection;
    return false;
  }
  accept_error_ = 0;
  status_ = SocketStatus::kOk;
  target.Close();
  target.handle_ = accepted;
  target.status_ = SocketStatus::kOk;
  target.state_ = State::kConnected;
  target.FillAddresses();
  return true;
}

bool TcpSocket::AcceptInPlace() { return AcceptInto(*this); }

bool TcpSocket::Send(const void* bytes, std::size_t* length) {
  if (state_ != State::kConnected) return FailIo(SocketStatus::kNotConnected, length, false);
  std::size_t sent = 0;
  const platform::IoStatus status = tls_ != nullptr
                                        ? tls_->Write(bytes, *length, &sent)
                                        : platform::SendSome(handle_, bytes, *length, &sent, nullptr);
  return CompleteIo(status, sent, &bytes_sent_, length);
}

bool TcpSocket::SendFromFile(int file, std::size_t* length, bool* file_ended) {
  *file_ended = false;
  if (!CanSendFile()) return FailIo(SocketStatus::kNotConnected, length, false);
  std::size_t sent = 0;
  const platform::IoStatus status = tls_ != nullptr
                                        ? tls_->SendFile(file, *length, &sent)
                                        : platform::SendFileSome(handle_, file, *length, &sent, nullptr);
  if (status == platform::IoStatus::kClosed) {
    *file_ended = true;
    *length = 0;
    status_ = SocketStatus::kOk;
    return true;
  }
  return CompleteIo(status, sent, &bytes_sent_, length);
}

bool TcpSocket::Receive(void* buffer, std::size_t* length) { return ReceiveRaw(buffer, length); }

bool TcpSocket::ReceiveRaw(void* buffer, std::size_t* length) {
  if (state_ != State::kConnected) return FailIo(SocketStatus::kNotConnected, length, false);
  std::size_t received = 0;
  if (tls_ != nullptr) {
    // A TLS read gives at most one record (16 KiB): the records that
    // read-ahead already holds are taken too, so a large buffer fills in one
    // call without another system call that would find nothing.
    platform::IoStatus status = tls_->Read(buffer, *length, &received);
    while (status == platform::IoStatus::kDone && received < *length && tls_->HasPending()) {
      std::size_t more = 0;
      if (tls_->Read(static_cast<char*>(buffer) + received, *length - received, &more) !=
          platform::IoStatus::kDone)
        break;  // the end or a failure shows again on the next call
      received += more;
    }
    return CompleteIo(status, received, &bytes_received_, length);
  }
  const platform::IoStatus status =
      platform::ReceiveSome(handle_, buffer, *length, &received, nullptr);
  return CompleteIo(status, received, &bytes_received_, length);
}

bool TcpSocket::PeekFirstByte(std::uint8_t* byte) {
  if (state_ != State::kConnected || tls_ != nullptr) {
    status_ = SocketStatus::kNotConnected;
    return false;
  }
  std::size_t length = 1;
  std::size_t peeked = 0;
  const platform::IoStatus status = platform::PeekSome(handle_, byte, length, &peeked, nullptr);
  if (status == platform::IoStatus::kDone) {
    status_ = SocketStatus::kOk;
    return true;
  }
  static_cast<void>(CompleteIo(status, 0, &bytes_received_, &length));
  return false;
}

bool TcpSocket::CompleteIo(platform::IoStatus status, std::size_t moved, std::uint64_t* counter,
                           std::size_t* length) {
  switch (status) {
    case platform::IoStatus::kDone:
      *counter += moved;
      *length = moved;
      status_ = SocketStatus::kOk;
      return true;
    case platform::IoStatus::kWantRead:
    case platform::IoStatus::kWantWrite:
      *length = 0;
      status_ = SocketStatus::kWouldBlock;
      return true;
    case platform::IoStatus::kClosed:
      // The peer's closing alert is answered with ours, as clients that
      // wait for it before they read the transfer's reply expect.
      if (tls_ != nullptr) tls_->Close();
      break;
    case platform::IoStatus::kFailed: return FailIo(SocketStatus::kBroken, length, true);
  }
  return FailIo(SocketStatus::kClosed, length, true);
}

bool TcpSocket::AcceptTls(const platform::TlsContext& context, const platform::TlsSessionContext& session,
                          platform::TlsRole role, const platform::Event* stop, platform::Clock& clock,
                          std::uint32_t timeout_ms, std::string* error) {
  if (state_ != State::kConnected) {
    *error = "not connected";
    return false;
  }
  tls_ = std::make_unique<platform::TlsChannel>(context, handle_, session, role);
  const std::uint32_t start = clock.TickMs();
  for (;;) {
    const platform::IoStatus status = tls_->Handshake();
    if (status == platform::IoStatus::kDone) return true;
    const std::uint32_t spent = clock.TickMs() - start;
    if (status == platform::IoStatus::kClosed) {
      *error = "the peer closed the connection";
    } else if (status == platform::IoStatus::kFailed) {
      *error = tls_->ErrorText();
    } else if (spent >= timeout_ms) {
      *error = "the handshake took too long";
    } else if (stop != nullptr && stop->IsSet()) {
      *error = "the server is stopping";
    } else {
      // Waits are bounded by a second too, so the test clock's limit counts.
      WaitForHandshake(handle_, status == platform::IoStatus::kWantWrite, stop,
                       std::min<std::uint32_t>(timeout_ms - spent, 1000));
      continue;
    }
    Close();
    return false;
  }
}

bool TcpSocket::TakeProxyHeader(const platform::Event* stop, platform::Clock& clock,
                                std::uint32_t timeout_ms, std::string* error) {
  if (state_ != State::kConnected || tls_ != nullptr) {
    *error = "not connected";
    return false;
  }
  std::array<char, ProxyHeader::kMaxBytes> bytes;
  const std::uint32_t start = clock.TickMs();
  for (;;) {
    std::size_t peeked = 0;
    const platform::IoStatus status = platform::PeekSome(handle_, bytes.data(), bytes.size(), &peeked, nullptr);
    if (status == platform::IoStatus::kClosed || status == platform::IoStatus::kFailed) {
      *error = "the peer closed the connection";
      break;
    }
    ProxyHeader header;
    const ProxyHeader::Result result = ProxyHeader::Parse(std::string_view(bytes.data(), peeked), &header);
    if (result == ProxyHeader::Result::kInvalid) {
      *error = "no PROXY protocol header";
      break;
    }
    if (result == ProxyHeader::Result::kDone) {
      // The header's bytes only: what follows is the client's.
      std::size_t taken = 0;
      while (taken < header.length) {
        std::size_t count = 0;
        if (platform::ReceiveSome(handle_, bytes.data(), header.length - taken, &count, nullptr) !=
                platform::IoStatus::kDone ||
            count == 0)
          break;
        taken += count;
      }
      if (taken < header.length) {
        *error = "the peer closed the connection";
        break;
      }
      if (header.has_client) {
        peer_.address = header.client.ToBytes();
        peer_.port = header.client_port;
        FormatAddress(peer_, peer_text_);
      }
      return true;
    }
    const std::uint32_t spent = clock.TickMs() - start;
    if (spent >= timeout_ms) {
      *error = "no whole PROXY protocol header in time";
      break;
    }
    if (stop != nullptr && stop->IsSet()) {
      *error = "the server is stopping";
      break;
    }
    // Part of a header stays readable while the rest is on its way: a short
    // pause, not a wait that would return at once.
    if (peeked > 0) {
      const std::uint32_t pause = std::min<std::uint32_t>(timeout_ms - spent, kProxyPauseMs);
      if (stop != nullptr) {
        static_cast<void>(stop->Wait(pause));
      } else {
        clock.SleepMs(pause);
      }
    } else {
      static_cast<void>(WaitReadable(stop, std::min<std::uint32_t>(timeout_ms - spent, 1000)));
    }
  }
  Close();
  return false;
}

bool TcpSocket::FailIo(SocketStatus status, std::size_t* length, bool close) {
  if (close) Close();
  status_ = status;
  *length = 0;
  return false;
}

void TcpSocket::Shutdown() {
  if (tls_ != nullptr) tls_->Close();
  if (state_ == State::kConnected) platform::ShutdownBoth(handle_);
  Close();
}

platform::SocketHandle TcpSocket::Detach() {
  platform::SocketHandle handle = handle_;
  ResetFields();
  return handle;
}

bool TcpSocket::WaitReadable(const platform::Event* stop, std::uint32_t timeout_ms) const {
  if (handle_ == platform::kNoSocket) return false;
  return SocketWait().Readable(*this).Until(stop).Wait(timeout_ms);
}

bool TcpSocket::WaitWritable(const platform::Event* stop, std::uint32_t timeout_ms) const {
  if (handle_ == platform::kNoSocket) return false;
  return SocketWait().Writable(*this).Until(stop).Wait(timeout_ms);
}

void TcpSocket::FillAddresses() {
  if (platform::PeerEndpoint(handle_, &peer_)) FormatAddress(peer_, peer_text_);
  if (platform::LocalEndpoint(handle_, &local_)) FormatAddress(local_, local_text_);
}

}  // namespace quillon::runtime
