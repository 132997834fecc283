#include "runtime/tcp_socket.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/event.h"

namespace quillon::runtime {

namespace {

void FormatAddress(const platform::Endpoint& endpoint, char (&text)[16]) {
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", endpoint.octets[0], endpoint.octets[1],
                endpoint.octets[2], endpoint.octets[3]);
}

bool WaitFor(platform::SocketHandle handle, bool write, const platform::Event* stop,
             std::uint32_t timeout_ms) {
  platform::PollItem items[2];
  items[0].descriptor = handle;
  items[0].want_read = !write;
  items[0].want_write = write;
  items[1].descriptor = stop != nullptr ? stop->PollDescriptor() : -1;
  items[1].want_read = true;
  platform::Poll(items, 2, timeout_ms);
  return write ? items[0].writable : items[0].readable;
}

}  // namespace

TcpSocket::TcpSocket() { ResetFields(); }

TcpSocket::~TcpSocket() { platform::CloseSocket(handle_); }

void TcpSocket::ResetFields() {
  tls_.reset();
  handle_ = platform::kNoSocket;
  state_ = kClosed;
  broken_ = false;
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
  last_error_ = other.last_error_;
  broken_ = other.broken_;
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

void TcpSocket::FailAndClose(std::int32_t code) {
  Close();
  last_error_ = code;
}

bool TcpSocket::Create() {
  Close();
  handle_ = platform::OpenTcpSocket(nullptr);
  if (handle_ == platform::kNoSocket) {
    last_error_ = kErrorCreate;
    return false;
  }
  return true;
}

bool TcpSocket::Connect(const char* host, std::uint16_t port, const platform::Event* cancel,
                        std::uint32_t timeout_ms) {
  platform::Endpoint target;
  if (host == nullptr || host[0] == '\0' || !platform::ResolveIpv4(host, &target)) {
    last_error_ = kErrorResolve;
    return false;
  }
  target.port = port;
  if (!Create()) return false;
  if (!platform::ConnectWithin(handle_, target, cancel, timeout_ms, nullptr)) {
    FailAndClose(kErrorConnect);
    return false;
  }
  FillAddresses();
  state_ = kConnected;
  return true;
}

bool TcpSocket::ListenOn(std::uint16_t port, int backlog) {
  if (!Create()) return false;
  if (!platform::BindAnyAddress(handle_, port, nullptr)) {
    FailAndClose(kErrorBind);
    return false;
  }
  if (!platform::ListenForConnections(handle_, backlog, nullptr)) {
    FailAndClose(kErrorListen);
    return false;
  }
  FillAddresses();
  state_ = kListening;
  return true;
}

bool TcpSocket::AcceptInto(TcpSocket& target) {
  if (state_ != kListening) {
    last_error_ = kErrorNotListening;
    return false;
  }
  platform::SocketHandle accepted = platform::AcceptPending(handle_, &accept_error_);
  if (accepted == platform::kNoSocket) {
    last_error_ = kErrorNoConnection;
    return false;
  }
  accept_error_ = 0;
  target.Close();
  target.handle_ = accepted;
  target.last_error_ = 0;
  target.state_ = kConnected;
  target.FillAddresses();
  return true;
}

bool TcpSocket::AcceptInPlace() { return AcceptInto(*this); }

bool TcpSocket::Send(const void* bytes, std::size_t* length) {
  if (state_ != kConnected) return FailIo(kErrorNotConnected, length, false);
  std::size_t sent = 0;
  if (tls_ != nullptr) {
    const platform::TlsStatus status = tls_->Write(bytes, *length, &sent);
    return CompleteTls(status, sent, &bytes_sent_, length);
  }
  const platform::IoStatus status = platform::SendSome(handle_, bytes, *length, &sent, nullptr);
  return CompleteIo(status, sent, &bytes_sent_, length);
}

bool TcpSocket::SendFromFile(int file, std::size_t* length, bool* file_ended) {
  *file_ended = false;
  if (state_ != kConnected || tls_ != nullptr) return FailIo(kErrorNotConnected, length, false);
  std::size_t sent = 0;
  const platform::IoStatus status = platform::SendFileSome(handle_, file, *length, &sent, nullptr);
  if (status == platform::IoStatus::kClosed) {
    *file_ended = true;
    *length = 0;
    return true;
  }
  return CompleteIo(status, sent, &bytes_sent_, length);
}

bool TcpSocket::Receive(void* buffer, std::size_t* length) { return ReceiveRaw(buffer, length); }

bool TcpSocket::ReceiveRaw(void* buffer, std::size_t* length) {
  if (state_ != kConnected) return FailIo(kErrorNotConnected, length, false);
  std::size_t received = 0;
  if (tls_ != nullptr) {
    // A TLS read gives at most one record (16 KiB): the records that
    // read-ahead already holds are taken too, so a large buffer fills in one
    // call without another system call that would find nothing.
    platform::TlsStatus status = tls_->Read(buffer, *length, &received);
    while (status == platform::TlsStatus::kDone && received < *length && tls_->HasPending()) {
      std::size_t more = 0;
      if (tls_->Read(static_cast<char*>(buffer) + received, *length - received, &more) !=
          platform::TlsStatus::kDone)
        break;  // the end or a failure shows again on the next call
      received += more;
    }
    return CompleteTls(status, received, &bytes_received_, length);
  }
  const platform::IoStatus status =
      platform::ReceiveSome(handle_, buffer, *length, &received, nullptr);
  return CompleteIo(status, received, &bytes_received_, length);
}

bool TcpSocket::PeekFirstByte(std::uint8_t* byte) {
  if (state_ != kConnected || tls_ != nullptr) {
    last_error_ = kErrorNotConnected;
    return false;
  }
  std::size_t length = 1;
  std::size_t peeked = 0;
  const platform::IoStatus status = platform::PeekSome(handle_, byte, length, &peeked, nullptr);
  if (status == platform::IoStatus::kWouldBlock) return false;
  if (status == platform::IoStatus::kDone) return true;
  return FailIo(kErrorClosed, &length, true, status == platform::IoStatus::kFailed);
}

bool TcpSocket::CompleteIo(platform::IoStatus status, std::size_t moved, std::uint64_t* counter,
                           std::size_t* length) {
  switch (status) {
    case platform::IoStatus::kDone:
      *counter += moved;
      *length = moved;
      return true;
    case platform::IoStatus::kWouldBlock:
      *length = 0;
      return true;
    case platform::IoStatus::kClosed: break;
    case platform::IoStatus::kFailed: return FailIo(kErrorClosed, length, true, true);
  }
  return FailIo(kErrorClosed, length, true);
}

bool TcpSocket::CompleteTls(platform::TlsStatus status, std::size_t moved, std::uint64_t* counter,
                            std::size_t* length) {
  switch (status) {
    case platform::TlsStatus::kDone: return CompleteIo(platform::IoStatus::kDone, moved, counter, length);
    case platform::TlsStatus::kWantRead:
    case platform::TlsStatus::kWantWrite: return CompleteIo(platform::IoStatus::kWouldBlock, 0, counter, length);
    case platform::TlsStatus::kClosed:
      // The peer's closing alert is answered with ours, as clients that
      // wait for it before they read the transfer's reply expect.
      tls_->Close();
      break;
    case platform::TlsStatus::kFailed: return FailIo(kErrorClosed, length, true, true);
  }
  return FailIo(kErrorClosed, length, true);
}

bool TcpSocket::AcceptTls(const platform::TlsContext& context, const platform::TlsSessionContext& session,
                          platform::TlsRole role, const platform::Event* stop, platform::Clock& clock,
                          std::uint32_t timeout_ms, std::string* error) {
  if (state_ != kConnected) {
    *error = "not connected";
    return false;
  }
  tls_ = std::make_unique<platform::TlsChannel>(context, handle_, session, role);
  const std::uint32_t start = clock.TickMs();
  for (;;) {
    const platform::TlsStatus status = tls_->Handshake();
    if (status == platform::TlsStatus::kDone) return true;
    const std::uint32_t spent = clock.TickMs() - start;
    if (status == platform::TlsStatus::kClosed) {
      *error = "the peer closed the connection";
    } else if (status == platform::TlsStatus::kFailed) {
      *error = tls_->ErrorText();
    } else if (spent >= timeout_ms) {
      *error = "the handshake took too long";
    } else if (stop != nullptr && stop->IsSet()) {
      *error = "the server is stopping";
    } else {
      // Waits are bounded by a second too, so the test clock's limit counts.
      WaitFor(handle_, status == platform::TlsStatus::kWantWrite, stop,
              std::min<std::uint32_t>(timeout_ms - spent, 1000));
      continue;
    }
    Close();
    return false;
  }
}

bool TcpSocket::FailIo(std::int32_t code, std::size_t* length, bool close, bool broken) {
  if (close) Close();
  last_error_ = code;
  broken_ = broken;
  *length = 0;
  return false;
}

void TcpSocket::Shutdown() {
  if (tls_ != nullptr) tls_->Close();
  if (state_ == kConnected) platform::ShutdownBoth(handle_);
  Close();
}

platform::SocketHandle TcpSocket::Detach() {
  platform::SocketHandle handle = handle_;
  ResetFields();
  return handle;
}

bool TcpSocket::WaitReadable(const platform::Event* stop, std::uint32_t timeout_ms) const {
  if (HasPendingInput()) return true;
  return handle_ != platform::kNoSocket && WaitFor(handle_, false, stop, timeout_ms);
}

bool TcpSocket::WaitWritable(const platform::Event* stop, std::uint32_t timeout_ms) const {
  return handle_ != platform::kNoSocket && WaitFor(handle_, true, stop, timeout_ms);
}

void TcpSocket::FillAddresses() {
  if (platform::PeerEndpoint(handle_, &peer_)) FormatAddress(peer_, peer_text_);
  if (platform::LocalEndpoint(handle_, &local_)) FormatAddress(local_, local_text_);
}

}  // namespace quillon::runtime
