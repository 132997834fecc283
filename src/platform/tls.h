// TLS on top of non-blocking sockets (server side), and the making of a
// self-signed certificate.
//
// A TlsContext holds the certificate, the key and the protocol rules (TLS
// 1.2 or 1.3 at least, nothing older) that every connection of a server
// shares; it also keeps the server's session cache, so that a data
// connection can resume the session of its control connection, and the
// groups of control connections whose data connections may resume each
// other's sessions. A TlsChannel is one connection's TLS state over a socket
// handle it does not own: every step looks once and reports what it would
// wait for, like the socket calls of net.h.
//
// Thread-safety: a TlsContext may be shared by any number of threads once
// made (its groups are guarded by a lock of its own); a TlsChannel is used
// by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/net.h"

namespace quillon::platform {

enum class TlsVersion { k1_2, k1_3 };

class TlsContext {
 public:
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // Reads the certificate chain and the private key (PEM files) and checks
  // that they belong together. Null with *error naming the file and the
  // reason when either cannot be used.
  static std::unique_ptr<TlsContext> Create(const std::string& certificate_file,
                                            const std::string& key_file, TlsVersion minimum,
                                            std::string* error);
  // As Create, from the PEM bytes of the chain and the key, read elsewhere
  // (by a root helper, say); the names only label the errors.
  static std::unique_ptr<TlsContext> CreateFromPem(const std::string& certificate_pem,
                                                   const std::string& certificate_name,
                                                   const std::string& key_pem,
                                                   const std::string& key_name, TlsVersion minimum,
                                                   std::string* error);
  // The DER bytes of the certificate and of the key: equal for contexts
  // made from the same certificate and key.
  std::string Identity() const;

 private:
  friend class TlsChannel;
  friend struct TlsHooks;
  explicit TlsContext(void* native) : native_(native) {}
  // A context with this server's protocol rules and no certificate yet.
  static std::unique_ptr<TlsContext> NewContext(TlsVersion minimum, std::string* error);
  // Checks that the loaded key belongs to the loaded certificate.
  bool KeyMatches(const std::string& certificate_name, const std::string& key_name,
                  std::string* error) const;

  // A control channel that joined a group.
  struct Member {
    std::string group;
    std::string session_id;  // of its TLS 1.2 session, which a client may offer instead of a ticket
  };
  void Join(const std::string& session_context, Member member) const;
  void Leave(const std::string& session_context) const;
  // Whether the control channels of both session contexts joined one group.
  bool SameGroup(const std::string& own, const std::string& other) const;
  // The session context of the member whose TLS 1.2 session has `session_id`,
  // when it shares a group with `own`; "" otherwise.
  std::string SiblingBySessionId(const std::string& own, const std::string& session_id) const;

  void* native_;  // SSL_CTX
  mutable std::mutex groups_lock_;
  mutable std::map<std::string, Member> members_;               // by session context; guarded by groups_lock_
  mutable std::map<std::string, std::string> by_session_id_;   // session id -> session context; likewise
};

// What a channel serves.
enum class TlsRole {
  // A conversation: an FTP control connection or an HTTPS connection. Its
  // clients may resume its session later, so it hands out session tickets.
  kControl,
  // An FTP data connection: it resumes its control connection's session and
  // sends nothing after the handshake, no session tickets either. A client
  // that writes an upload and closes without reading would otherwise have
  // those unread tickets turn its close into a reset, which throws away the
  // bytes it has not sent yet.
  kData,
};

// Sessions of one TLS "session context" may resume each other; no other
// session can be resumed under it, except that of a control channel that
// joined the same group (TlsChannel::JoinGroup). A control connection makes
// a new one and hands it to its data connections.
struct TlsSessionContext {
  static constexpr std::size_t kBytes = 16;
  std::uint8_t bytes[kBytes] = {};
  // Fills the bytes from the system's random source.
  static TlsSessionContext MakeRandom();
};

class TlsChannel {
 public:
  // A server-side channel over `socket` (not owned), in `context`, whose
  // sessions belong to `session_context`, serving as `role`. The context
  // must outlive it.
  TlsChannel(const TlsContext& context, SocketHandle socket, const TlsSessionContext& session_context,
             TlsRole role);
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // One step of the server's handshake: kDone once it is complete. Every
  // step reports as the socket calls of net.h do, except that a read may
  // want the socket writable and a write may want it readable; a kFailed
  // leaves its reason in ErrorText() instead of an errno.
  IoStatus Handshake();
  // As ReceiveSome/SendSome. A send that returned kWantRead/kWantWrite must
  // be repeated with the same first bytes (at least as many). Once a read
  // returned kClosed or kFailed, every later read returns the same.
  IoStatus Read(void* buffer, std::size_t length, std::size_t* count);
  IoStatus Write(const void* bytes, std::size_t length, std::size_t* count);
  // The kernel encrypts what this channel sends (a data channel, after its
  // handshake, where the kernel offers TLS): SendFile may be used.
  bool KernelSends() const;
  // As SendFileSome of net.h: up to `length` bytes of `file` from its
  // current offset, which moves on, encrypted by the kernel. kClosed when
  // the file has no more bytes; kFailed when the kernel does not send
  // (KernelSends).
  IoStatus SendFile(int file, std::size_t length, std::size_t* count);
  // Decrypted bytes wait inside the channel: the socket may not show them.
  bool HasPending() const;
  // The handshake resumed an earlier session of the same session context,
  // or of a control channel of the same group.
  bool Resumed() const;
  // A control channel whose handshake is done joins `group` (the client's
  // account and address, say): from now on the data channels of every
  // control channel of that group may resume this channel's session, and
  // this channel's data channels theirs. Until then, and for channels that
  // never join, nothing is shared. The channel leaves when it is destroyed.
  // Does nothing for a data channel, before the handshake, or a second time.
  void JoinGroup(const std::string& group);
  // A TLS 1.3 control channel hands the client one more session ticket
  // with its next write. Clients that keep only the newest session of a
  // server (curl, say) offer it to their next data connection: the session
  // of a data connection resumes nothing, as it never carries a ticket, so a
  // fresh one with each transfer's reply keeps them resuming. Does nothing
  // for a data channel, before the handshake or under TLS 1.2.
  void OfferTicket();
  // "TLSv1.3" and the like, for the log.
  std::string Version() const;
  // Sends the closing alert if the socket takes it now; never waits.
  void Close();
  // The reason of the last kFailed, as one line.
  const std::string& ErrorText() const { return error_; }

 private:
  friend struct TlsHooks;
  IoStatus Translate(int result);

  const TlsContext& context_;
  const std::string session_context_;  // its bytes
  const TlsRole role_;
  void* native_;  // SSL
  std::string error_;
  IoStatus read_end_ = IoStatus::kDone;  // kDone until a read found the end
  // The session context the handshake resumes under: session_context_, or
  // that of the group member whose session id the client offered.
  std::string resuming_context_;
  bool joined_ = false;
};

// Writes a new self-signed certificate for `host` (valid for ten years, with
// the name as subject and as a DNS or IP alternative name) and its private
// key (ECDSA P-256), both PEM; the key file is owner-only. False with
// *error when a file cannot be written.
[[nodiscard]] bool WriteSelfSignedCertificate(const std::string& host, const std::string& certificate_file,
                                              const std::string& key_file, std::string* error);

}  // namespace quillon::platform
