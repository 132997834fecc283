// One TCP socket (IPv4 or IPv6) that never blocks on data: accept, send and receive
// look once and return at once with nothing done when the socket is not
// ready. Callers wait between attempts (see WaitReadable) and watch their
// thread's stop event.
//
// The object remembers its local and peer addresses, counts the bytes that
// passed through it, and keeps how its last call ended (LastStatus). A
// plain socket and one that speaks TLS answer every call alike.
//
// Thread-safety: used by one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/tls.h"
#include "runtime/socket_status.h"

namespace quillon::platform {
class Event;
}

namespace quillon::runtime {

class TcpSocket {
 public:
  enum class State { kClosed, kConnected, kListening };

  // The system's maximum: a burst of clients is queued, not dropped.
  static constexpr int kBacklog = platform::kSystemMaxBacklog;

  TcpSocket();
  virtual ~TcpSocket();
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Takes over every field of `other` (handle, addresses, ports, last
  // status, state, counters, TLS session); `other` is left closed without
  // closing the handle, so the handle has exactly one owner. Whatever this
  // socket held is closed.
  virtual void AssignFrom(TcpSocket& other);

  // Receives what is available, up to *length bytes (kOk). True with
  // *length 0 when nothing is readable (kWouldBlock). False with *length 0
  // when not connected (kNotConnected), and closed when the peer ended the
  // connection (kClosed) or it broke (kBroken).
  virtual bool Receive(void* buffer, std::size_t* length);

  // Releases the handle; state kClosed, addresses "0.0.0.0", ports and
  // octets 0. The last status stays.
  virtual void Close();

  // Closes any current socket and makes a new one, IPv6 when `ipv6`
  // (kCreateFailed on failure).
  [[nodiscard]] bool Create(bool ipv6 = false);

  // Connects to `host` (dotted address or name) and `port`, giving up after
  // `timeout_ms` or as soon as `cancel` (may be null) becomes set.
  // kUnresolved when the host does not resolve (or is empty), kConnectFailed
  // when the connect fails or gives up; the socket is closed on failure.
  [[nodiscard]] bool Connect(const char* host, std::uint16_t port, const platform::Event* cancel,
                             std::uint32_t timeout_ms);

  // Listens on all local addresses, IPv6 and IPv4 alike where the system
  // has IPv6 (port 0: the system chooses), with the system's maximum backlog
  // unless `backlog` says otherwise. kBindFailed or kListenFailed, and
  // closed, on failure.
  [[nodiscard]] bool ListenOn(std::uint16_t port, int backlog = kBacklog);
  // As ListenOn, on one local address (dotted IPv4 or IPv6 text; "::" and
  // "0.0.0.0" are every address of their family). kUnresolved when the
  // text is no address.
  [[nodiscard]] bool ListenOnAddress(const std::string& address, std::uint16_t port,
                                     int backlog = kBacklog);
  // errno of the last ListenOn that failed (EADDRINUSE, EACCES, ...); 0
  // after one that succeeded.
  int ListenErrorNumber() const { return listen_error_; }

  // Takes one pending connection into `target`, which closes what it held
  // and becomes connected with kOk. kNotListening when this socket does not
  // listen; kNoConnection when nothing is pending and kAcceptFailed when
  // accept failed (both still listening).
  [[nodiscard]] bool AcceptInto(TcpSocket& target);
  // errno of the last accept that failed outright (kAcceptFailed: no
  // descriptors, no buffers), for the log; 0 after a success or when nothing
  // was pending.
  int AcceptErrorNumber() const { return accept_error_; }
  // As AcceptInto with this socket as target: the listening handle is closed
  // and replaced by the accepted connection.
  [[nodiscard]] bool AcceptInPlace();

  // Sends what the socket takes now, up to *length bytes, and sets *length
  // to the bytes taken (kOk; 0 and kWouldBlock when not writable: still
  // true). False with *length 0 when not connected (kNotConnected) or when
  // the connection broke (kBroken; the socket is then closed).
  [[nodiscard]] bool Send(const void* bytes, std::size_t* length);
  // The socket can send straight from a file (SendFromFile): true for a
  // connected plain socket, and under TLS only where the kernel encrypts
  // for it; false when not connected.
  bool CanSendFile() const {
    return state_ == State::kConnected && (tls_ == nullptr || tls_->KernelSends());
  }
  // As Send, with up to *length bytes of an open file from its current
  // offset, sent without a copy through this process. *file_ended tells
  // that the file had no more bytes (true, *length 0). kNotConnected when
  // the socket cannot send files (CanSendFile).
  [[nodiscard]] bool SendFromFile(int file, std::size_t* length, bool* file_ended);

  // Makes this connected socket the server side of a TLS session serving as
  // `role` and runs the handshake to its end, waiting while it needs the
  // peer, at most `timeout_ms` in all (by `clock`) and not past a stop. From
  // then on Send, Receive and the waits move and count plain bytes through
  // TLS (CanSendFile only where the kernel encrypts). False with *error
  // saying why; the socket is then closed.
  [[nodiscard]] bool AcceptTls(const platform::TlsContext& context,
                               const platform::TlsSessionContext& session, platform::TlsRole role,
                               const platform::Event* stop, platform::Clock& clock,
                               std::uint32_t timeout_ms, std::string* error);
  bool IsTls() const { return tls_ != nullptr; }
  // Takes the PROXY protocol header (runtime::ProxyHeader) that a load
  // balancer sends before the client's bytes, and nothing after it, waiting
  // at most `timeout_ms` (by `clock`) and not past a stop. When it names the
  // client, the client's address and port become the peer's. False with
  // *error saying why when none came whole in time or the bytes are no
  // header; the socket is then closed.
  [[nodiscard]] bool TakeProxyHeader(const platform::Event* stop, platform::Clock& clock,
                                     std::uint32_t timeout_ms, std::string* error);
  // The first byte the peer sent, left in place, when it has arrived (a
  // server that speaks TLS and plain on one port tells them apart by it).
  // False when nothing has arrived yet (kWouldBlock); false and closed
  // (kClosed or kBroken) when the connection ended first; kNotConnected
  // under TLS or when not connected.
  [[nodiscard]] bool PeekFirstByte(std::uint8_t* byte);
  // The TLS handshake resumed a session of the same session context, or of
  // a control connection of the same group.
  bool TlsResumed() const { return tls_ != nullptr && tls_->Resumed(); }
  // Under TLS 1.3, the next send carries a fresh session ticket (see
  // platform::TlsChannel::OfferTicket); nothing otherwise.
  void OfferTlsTicket() {
    if (tls_ != nullptr) tls_->OfferTicket();
  }
  // A control connection over TLS joins `group` (platform::TlsChannel::
  // JoinGroup); nothing for a plain connection.
  void JoinTlsGroup(const std::string& group) {
    if (tls_ != nullptr) tls_->JoinGroup(group);
  }
  // "TLSv1.3" and the like; "" for a plain connection.
  std::string TlsVersionText() const { return tls_ != nullptr ? tls_->Version() : std::string(); }

  // Replies go out at once instead of waiting for the peer's acknowledgement
  // of the previous one (no Nagle delay).
  void SetNoDelay() { platform::SetNoDelay(handle_); }
  // Bytes the peer sends as urgent data stay in the stream in their place,
  // where Receive and ReadLine see them (an FTP client sends its abort that
  // way); otherwise the last of them would never be read.
  void SetUrgentInline() { platform::SetUrgentInline(handle_); }

  // Shuts both directions down if connected (after TLS's closing alert),
  // then closes.
  void Shutdown();

  // Hands the handle out and resets the object without closing the handle.
  platform::SocketHandle Detach();

  // Waits up to `timeout_ms` until the socket has something to read (or a
  // connection to accept), or until `stop` (may be null) is set. Returns
  // true when the socket is readable; bytes its TLS session already holds
  // count (see SocketWait, which watches several at once).
  bool WaitReadable(const platform::Event* stop, std::uint32_t timeout_ms) const;
  // Likewise for room to send.
  bool WaitWritable(const platform::Event* stop, std::uint32_t timeout_ms) const;

  State GetState() const { return state_; }
  // How the last call ended. A send or receive that closed the socket tells
  // an orderly end (kClosed: an end of stream, with or without TLS's closing
  // alert) from a broken connection (kBroken).
  SocketStatus LastStatus() const { return status_; }
  const char* PeerAddressText() const { return peer_text_; }
  const char* LocalAddressText() const { return local_text_; }
  std::uint16_t PeerPort() const { return peer_.port; }
  std::uint16_t LocalPort() const { return local_.port; }
  // The peer's address, an IPv4 one in its mapped form (platform::Endpoint).
  const std::array<std::uint8_t, 16>& PeerAddress() const { return peer_.address; }
  bool IsIpv6() const { return !local_.IsIpv4(); }
  // 64-bit, so traffic beyond 4 GiB is counted whole.
  std::uint64_t BytesReceived() const { return bytes_received_; }
  std::uint64_t BytesSent() const { return bytes_sent_; }
  platform::SocketHandle Handle() const { return handle_; }

 protected:
  // Reads straight from the network (the part of Receive before buffering).
  bool ReceiveRaw(void* buffer, std::size_t* length);
  void SetStatus(SocketStatus status) { status_ = status; }

 private:
  friend class SocketWait;
  // Received bytes already decrypted and waiting inside the TLS session,
  // which the system's readiness of the socket does not show.
  bool HasPendingInput() const { return tls_ != nullptr && tls_->HasPending(); }

  void FillAddresses();
  // Listens on the bound socket; kListenFailed, and closed, on failure.
  bool Listen(int backlog);
  void ResetFields();
  // Closes the handle and sets `status`; used by the failing operations.
  void FailAndClose(SocketStatus status);
  // The end of a send or receive, plain or TLS: counts what moved, or fails
  // (kClosed or kBroken, socket closed) when the connection ended.
  bool CompleteIo(platform::IoStatus status, std::size_t moved, std::uint64_t* counter,
                  std::size_t* length);
  // Fails a send or receive with `status`, closing the socket when `close`.
  bool FailIo(SocketStatus status, std::size_t* length, bool close);

  platform::SocketHandle handle_ = platform::kNoSocket;
  // The standard texts of the addresses (an IPv4-mapped one dotted).
  static constexpr std::size_t kAddressTextBytes = 46;
  char peer_text_[kAddressTextBytes];
  platform::Endpoint peer_;
  char local_text_[kAddressTextBytes];
  platform::Endpoint local_;
  SocketStatus status_ = SocketStatus::kOk;
  int accept_error_ = 0;
  int listen_error_ = 0;
  State state_ = State::kClosed;
  std::uint64_t bytes_received_ = 0;
  std::uint64_t bytes_sent_ = 0;
  std::unique_ptr<platform::TlsChannel> tls_;  // null for a plain connection
};

}  // namespace quillon::runtime
