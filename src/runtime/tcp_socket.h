// One IPv4 TCP socket that never blocks on data: accept, send and receive
// look once and return at once with nothing done when the socket is not
// ready. Callers wait between attempts (see WaitReadable) and watch their
// thread's stop event.
//
// The object remembers its local and peer addresses, counts the bytes that
// passed through it, and keeps the code of its last failure (LastError).
//
// Thread-safety: used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/tls.h"

namespace quillon::platform {
class Event;
}

namespace quillon::runtime {

class TcpSocket {
 public:
  enum State : std::int32_t { kClosed = 0, kConnected = 1, kListening = 2 };

  // Last-error codes.
  static constexpr std::int32_t kErrorCreate = 1;        // socket() failed
  static constexpr std::int32_t kErrorResolve = 2;       // host did not resolve
  static constexpr std::int32_t kErrorConnect = 3;       // connect() failed
  static constexpr std::int32_t kErrorListen = 4;        // listen() failed
  static constexpr std::int32_t kErrorBind = 5;          // bind() failed
  static constexpr std::int32_t kErrorNotListening = 6;  // accept on a non-listening socket
  static constexpr std::int32_t kErrorNoConnection = 7;  // nothing pending, or accept() failed
  static constexpr std::int32_t kErrorNotConnected = 8;  // send/receive while not connected
  static constexpr std::int32_t kErrorClosed = 10;       // send/receive failed or peer closed
  static constexpr std::int32_t kErrorLineBuffer = 11;   // read line buffer below 2 bytes
  static constexpr std::int32_t kErrorNoLine = 12;       // read line found no complete line

  // The system's maximum: a burst of clients is queued, not dropped.
  static constexpr int kBacklog = platform::kSystemMaxBacklog;

  TcpSocket();
  virtual ~TcpSocket();
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Takes over every field of `other` (handle, addresses, ports, last error,
  // state, counters); `other` is left closed without closing the handle, so
  // the handle has exactly one owner. Whatever this socket held is closed.
  virtual void AssignFrom(TcpSocket& other);

  // Receives what is available, up to *length bytes. True with *length 0
  // when nothing is readable. False with *length 0 when not connected
  // (code 8) or when the peer closed or the connection broke (code 10; the
  // socket is then closed, and Broken() tells the two apart).
  virtual bool Receive(void* buffer, std::size_t* length);

  // Releases the handle; state 0, addresses "0.0.0.0", ports and octets 0.
  virtual void Close();

  // Closes any current socket and makes a new one (code 1 on failure).
  [[nodiscard]] bool Create();

  // Connects to `host` (dotted address or name) and `port`, giving up after
  // `timeout_ms` or as soon as `cancel` (may be null) becomes set. Code 2
  // when the host does not resolve (or is empty), code 3 when the connect
  // fails; the socket is closed on failure.
  [[nodiscard]] bool Connect(const char* host, std::uint16_t port, const platform::Event* cancel,
                             std::uint32_t timeout_ms);

  // Listens on all local addresses (port 0: the system chooses), with the
  // system's maximum backlog unless `backlog` says otherwise.
  // Code 5 when bind fails, 4 when listen fails; closed on failure.
  [[nodiscard]] bool ListenOn(std::uint16_t port, int backlog = kBacklog);

  // Takes one pending connection into `target`, which closes what it held
  // and becomes connected with code 0. Code 6 when this socket does not
  // listen, 7 when nothing is pending or accept failed (still listening);
  // AcceptErrorNumber() tells the two apart.
  [[nodiscard]] bool AcceptInto(TcpSocket& target);
  // errno of the last accept that failed outright (no descriptors, no
  // buffers); 0 after a success or when nothing was pending.
  int AcceptErrorNumber() const { return accept_error_; }
  // As AcceptInto with this socket as target: the listening handle is closed
  // and replaced by the accepted connection.
  [[nodiscard]] bool AcceptInPlace();

  // Sends what the socket takes now, up to *length bytes, and sets *length
  // to the bytes taken (0 when not writable: still true). False with
  // *length 0 when not connected (code 8) or on a send error (code 10; the
  // socket is then closed).
  [[nodiscard]] bool Send(const void* bytes, std::size_t* length);
  // As Send, with up to *length bytes of an open file from its current
  // offset, sent without a copy through this process. *file_ended tells
  // that the file had no more bytes (true, *length 0).
  [[nodiscard]] bool SendFromFile(int file, std::size_t* length, bool* file_ended);

  // Makes this connected socket the server side of a TLS session serving as
  // `role` and runs the handshake to its end, waiting while it needs the
  // peer, at most `timeout_ms` in all (by `clock`) and not past a stop. From
  // then on Send and Receive move plain bytes through TLS (SendFromFile is
  // not for TLS sockets). False with *error saying why; the socket is then
  // closed.
  [[nodiscard]] bool AcceptTls(const platform::TlsContext& context,
                               const platform::TlsSessionContext& session, platform::TlsRole role,
                               const platform::Event* stop, platform::Clock& clock,
                               std::uint32_t timeout_ms, std::string* error);
  bool IsTls() const { return tls_ != nullptr; }
  // The first byte the peer sent, left in place, when it has arrived (a
  // server that speaks TLS and plain on one port tells them apart by it).
  // False when nothing has arrived yet; false and closed (code 10) when the
  // connection ended first.
  [[nodiscard]] bool PeekFirstByte(std::uint8_t* byte);
  // The TLS handshake resumed a session of the same session context, or of
  // a control connection of the same group.
  bool TlsResumed() const { return tls_ != nullptr && tls_->Resumed(); }
  // A control connection over TLS joins `group` (platform::TlsChannel::
  // JoinGroup); nothing for a plain connection.
  void JoinTlsGroup(const std::string& group) {
    if (tls_ != nullptr) tls_->JoinGroup(group);
  }
  // Received bytes already decrypted and waiting inside the TLS session, which
  // a wait on the socket would not see.
  bool HasPendingInput() const { return tls_ != nullptr && tls_->HasPending(); }
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
  // true when the socket is readable.
  bool WaitReadable(const platform::Event* stop, std::uint32_t timeout_ms) const;
  // Likewise for room to send.
  bool WaitWritable(const platform::Event* stop, std::uint32_t timeout_ms) const;

  State GetState() const { return state_; }
  std::int32_t LastError() const { return last_error_; }
  // The send or receive that closed the socket (code 10) found the
  // connection broken: reset, failed, or its TLS session failed. False when
  // the peer ended it in order (an end of stream, with or without TLS's
  // closing alert), and again once the socket is closed or used anew.
  bool Broken() const { return broken_; }
  const char* PeerAddressText() const { return peer_text_; }
  const char* LocalAddressText() const { return local_text_; }
  std::uint16_t PeerPort() const { return peer_.port; }
  std::uint16_t LocalPort() const { return local_.port; }
  const std::uint8_t* PeerAddressBytes() const { return peer_.octets; }
  const std::uint8_t* LocalAddressBytes() const { return local_.octets; }
  // 64-bit, so traffic beyond 4 GiB is counted whole.
  std::uint64_t BytesReceived() const { return bytes_received_; }
  std::uint64_t BytesSent() const { return bytes_sent_; }
  platform::SocketHandle Handle() const { return handle_; }

 protected:
  // Reads straight from the network (the part of Receive before buffering).
  bool ReceiveRaw(void* buffer, std::size_t* length);
  void SetLastError(std::int32_t code) { last_error_ = code; }

 private:
  void FillAddresses();
  void ResetFields();
  // Closes the handle and sets `code`; used by the failing operations.
  void FailAndClose(std::int32_t code);
  // The end of a send or receive: counts what moved, or fails (code 10,
  // socket closed) when the connection broke.
  bool CompleteIo(platform::IoStatus status, std::size_t moved, std::uint64_t* counter,
                  std::size_t* length);
  bool FailIo(std::int32_t code, std::size_t* length, bool close, bool broken = false);
  // As CompleteIo for a TLS step.
  bool CompleteTls(platform::TlsStatus status, std::size_t moved, std::uint64_t* counter,
                   std::size_t* length);

  platform::SocketHandle handle_ = platform::kNoSocket;
  char peer_text_[16];
  platform::Endpoint peer_;
  char local_text_[16];
  platform::Endpoint local_;
  std::int32_t last_error_ = 0;
  bool broken_ = false;
  int accept_error_ = 0;
  State state_ = kClosed;
  std::uint64_t bytes_received_ = 0;
  std::uint64_t bytes_sent_ = 0;
  std::unique_ptr<platform::TlsChannel> tls_;  // null for a plain connection
};

}  // namespace quillon::runtime
