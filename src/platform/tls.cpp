#include "platform/tls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

namespace quillon::platform {

namespace {

SSL_CTX* Ctx(void* native) { return static_cast<SSL_CTX*>(native); }
SSL* Ssl(void* native) { return static_cast<SSL*>(native); }

constexpr char kTls13Suites[] =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
// A data channel reads this many bytes of records per system call: several
// 16 KiB records of an upload at once.
constexpr std::size_t kDataReadBuffer = 128 * 1024;

// The oldest error of this thread's queue as one line, and the queue emptied.
std::string TakeErrorText(const char* fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// Whether `path` can be opened for reading; *reason says why not.
bool Readable(const std::string& path, std::string* reason) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *reason = std::strerror(errno);
    return false;
  }
  std::fclose(file);
  return true;
}

// Why a key could not be used: it belongs to another certificate, or it is
// no key at all.
std::string KeyError(const std::string& certificate_name, const std::string& key_name) {
  if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH) {
    ERR_clear_error();
    return "The TLS key " + key_name + " does not belong to the certificate " + certificate_name;
  }
  return "Unable to use the TLS key " + key_name + ": " + TakeErrorText("not a PEM private key");
}

// A pass-phrase prompt that gives none.
int NoPassPhrase(char* /*buffer*/, int /*size*/, int /*rwflag*/, void* /*arg*/) { return 0; }

}  // namespace

// The OpenSSL callbacks through which a data channel resumes a session of
// its group. They run on the thread of the channel's handshake.
struct TlsHooks {
  static TlsChannel* Channel(SSL* ssl) { return static_cast<TlsChannel*>(SSL_get_app_data(ssl)); }

  // Before the server looks for the session a client offers: a TLS 1.2
  // session id of a group member makes the channel resume under that
  // member's session context.
  static int OnClientHello(SSL* ssl, int* /*alert*/, void* /*arg*/) {
    TlsChannel* channel = Channel(ssl);
    if (channel == nullptr || channel->role_ != TlsRole::kData) return SSL_CLIENT_HELLO_SUCCESS;
    const unsigned char* id = nullptr;
    const std::size_t length = SSL_client_hello_get0_session_id(ssl, &id);
    if (length == 0) return SSL_CLIENT_HELLO_SUCCESS;
    const std::string sibling = channel->context_.SiblingBySessionId(
        channel->session_context_, std::string(reinterpret_cast<const char*>(id), length));
    if (!sibling.empty() &&
        SSL_set_session_id_context(ssl, reinterpret_cast<const unsigned char*>(sibling.data()),
                                   static_cast<unsigned int>(sibling.size())) == 1)
      channel->resuming_context_ = sibling;
    return SSL_CLIENT_HELLO_SUCCESS;
  }

  // A ticket decrypted: one of a group member's session is taken over into
  // the channel's session context, so that it resumes. Any other ticket is
  // left as it is (and resumes only under its own session context); tickets
  // that did not decrypt are ignored, as without this hook.
  static SSL_TICKET_RETURN OnTicket(SSL* ssl, SSL_SESSION* session, const unsigned char* /*key_name*/,
                                    std::size_t /*key_name_length*/, SSL_TICKET_STATUS status,
                                    void* /*arg*/) {
    if (status != SSL_TICKET_SUCCESS && status != SSL_TICKET_SUCCESS_RENEW) return SSL_TICKET_RETURN_IGNORE_RENEW;
    TlsChannel* channel = Channel(ssl);
    if (channel != nullptr && channel->role_ == TlsRole::kData && session != nullptr) {
      unsigned int length = 0;
      const unsigned char* bytes = SSL_SESSION_get0_id_context(session, &length);
      const std::string carried(reinterpret_cast<const char*>(bytes), length);
      const std::string& resuming = channel->resuming_context_;
      if (carried != resuming && channel->context_.SameGroup(channel->session_context_, carried) &&
          SSL_SESSION_set1_id_context(session, reinterpret_cast<const unsigned char*>(resuming.data()),
                                      static_cast<unsigned int>(resuming.size())) != 1)
        ERR_clear_error();  // not taken over: it resumes nothing here
    }
    return status == SSL_TICKET_SUCCESS ? SSL_TICKET_RETURN_USE : SSL_TICKET_RETURN_USE_RENEW;
  }
};

TlsContext::~TlsContext() { SSL_CTX_free(Ctx(native_)); }

void TlsContext::Join(const std::string& session_context, Member member) const {
  std::lock_guard<std::mutex> guard(groups_lock_);
  if (!member.session_id.empty()) by_session_id_[member.session_id] = session_context;
  members_[session_context] = std::move(member);
}

void TlsContext::Leave(const std::string& session_context) const {
  std::lock_guard<std::mutex> guard(groups_lock_);
  const auto member = members_.find(session_context);
  if (member == members_.end()) return;
  if (!member->second.session_id.empty()) by_session_id_.erase(member->second.session_id);
  members_.erase(member);
}

bool TlsContext::SameGroup(const std::string& own, const std::string& other) const {
  std::lock_guard<std::mutex> guard(groups_lock_);
  const auto mine = members_.find(own);
  const auto theirs = members_.find(other);
  return mine != members_.end() && theirs != members_.end() && mine->second.group == theirs->second.group;
}

std::string TlsContext::SiblingBySessionId(const std::string& own, const std::string& session_id) const {
  std::lock_guard<std::mutex> guard(groups_lock_);
  const auto owner = by_session_id_.find(session_id);
  if (owner == by_session_id_.end()) return "";
  const auto mine = members_.find(own);
  const auto theirs = members_.find(owner->second);
  if (mine == members_.end() || theirs == members_.end() || mine->second.group != theirs->second.group)
    return "";
  return owner->second;
}

std::unique_ptr<TlsContext> TlsContext::NewContext(TlsVersion minimum, std::string* error) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) {
    *error = "Unable to set up TLS: " + TakeErrorText("out of memory");
    return nullptr;
  }
  std::unique_ptr<TlsContext> context(new TlsContext(ctx));
  SSL_CTX_set_min_proto_version(ctx, minimum == TlsVersion::k1_3 ? TLS1_3_VERSION : TLS1_2_VERSION);
  // No renegotiation (a client could make the server work for nothing), and
  // a peer that closes the connection without the closing alert ends the
  // stream as plain FTP would.
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF |
                               SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION |
                               SSL_OP_PRIORITIZE_CHACHA);
  // The TLS 1.3 suites, all strong, in the server's order: AES-GCM with the
  // 128-bit key first, as it takes fewer rounds than the 256-bit one (from a
  // tenth to a third faster, by processor), then AES-256-GCM. A client that
  // puts ChaCha20 first (one without AES instructions) gets it.
  if (SSL_CTX_set_ciphersuites(ctx, kTls13Suites) != 1) {
    *error = "Unable to set up TLS: " + TakeErrorText("no TLS 1.3 cipher suite");
    return nullptr;
  }
  // Writes may end part-way and be repeated from another buffer address; an
  // idle connection gives its record buffers back.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS);
  // Records are read from the socket as many at a time as have arrived,
  // not with two system calls each.
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
  static const unsigned char kDefaultContext[] = "quillon";
  SSL_CTX_set_session_id_context(ctx, kDefaultContext, sizeof kDefaultContext - 1);
  // A data channel may resume the session of a control channel of its
  // group: the client hello names an offered TLS 1.2 session by its id, a
  // decrypted ticket shows which control channel's session it carries.
  SSL_CTX_set_client_hello_cb(ctx, TlsHooks::OnClientHello, context.get());
  SSL_CTX_set_session_ticket_cb(ctx, nullptr, TlsHooks::OnTicket, context.get());
  // A key with a pass phrase is refused, never asked for on a terminal.
  SSL_CTX_set_default_passwd_cb(ctx, NoPassPhrase);
  return context;
}

bool TlsContext::KeyMatches(const std::string& certificate_name, const std::string& key_name,
                            std::string* error) const {
  if (SSL_CTX_check_private_key(Ctx(native_)) == 1) return true;
  *error = "The TLS key " + key_name + " does not belong to the certificate " + certificate_name;
  ERR_clear_error();
  return false;
}

std::unique_ptr<TlsContext> TlsContext::Create(const std::string& certificate_file,
                                               const std::string& key_file, TlsVersion minimum,
                                               std::string* error) {
  std::string reason;
  if (!Readable(certificate_file, &reason)) {
    *error = "Unable to read the TLS certificate " + certificate_file + ": " + reason;
    return nullptr;
  }
  if (!Readable(key_file, &reason)) {
    *error = "Unable to read the TLS key " + key_file + ": " + reason;
    return nullptr;
  }
  std::unique_ptr<TlsContext> context = NewContext(minimum, error);
  if (context == nullptr) return nullptr;
  SSL_CTX* ctx = Ctx(context->native_);
  if (SSL_CTX_use_certificate_chain_file(ctx, certificate_file.c_str()) != 1) {
    *error = "Unable to use the TLS certificate " + certificate_file + ": " +
             TakeErrorText("not a PEM certificate");
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    *error = KeyError(certificate_file, key_file);
    return nullptr;
  }
  if (!context->KeyMatches(certificate_file, key_file, error)) return nullptr;
  return context;
}

std::unique_ptr<TlsContext> TlsContext::CreateFromPem(const std::string& certificate_pem,
                                                      const std::string& certificate_name,
                                                      const std::string& key_pem,
                                                      const std::string& key_name,
                                                      TlsVersion minimum, std::string* error) {
  std::unique_ptr<TlsContext> context = NewContext(minimum, error);
  if (context == nullptr) return nullptr;
  SSL_CTX* ctx = Ctx(context->native_);
  std::unique_ptr<BIO, decltype(&BIO_free)> chain(
      BIO_new_mem_buf(certificate_pem.data(), static_cast<int>(certificate_pem.size())), &BIO_free);
  X509* leaf = chain ? PEM_read_bio_X509_AUX(chain.get(), nullptr, NoPassPhrase, nullptr) : nullptr;
  const bool used = leaf != nullptr && SSL_CTX_use_certificate(ctx, leaf) == 1;
  X509_free(leaf);
  if (!used) {
    *error = "Unable to use the TLS certificate " + certificate_name + ": " +
             TakeErrorText("not a PEM certificate");
    return nullptr;
  }
  // The rest of the file is the chain up to the authority, as with a file.
  while (X509* link = PEM_read_bio_X509(chain.get(), nullptr, NoPassPhrase, nullptr)) {
    if (SSL_CTX_add0_chain_cert(ctx, link) != 1) {
      X509_free(link);
      *error = "Unable to use the TLS certificate " + certificate_name + ": " +
               TakeErrorText("a certificate of its chain is not usable");
      return nullptr;
    }
  }
  ERR_clear_error();  // the end of the chain reads as "no start line"
  std::unique_ptr<BIO, decltype(&BIO_free)> key_bio(
      BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size())), &BIO_free);
  EVP_PKEY* key = key_bio ? PEM_read_bio_PrivateKey(key_bio.get(), nullptr, NoPassPhrase, nullptr) : nullptr;
  const bool key_used = key != nullptr && SSL_CTX_use_PrivateKey(ctx, key) == 1;
  EVP_PKEY_free(key);
  if (!key_used) {
    *error = KeyError(certificate_name, key_name);
    return nullptr;
  }
  if (!context->KeyMatches(certificate_name, key_name, error)) return nullptr;
  return context;
}

std::string TlsContext::Identity() const {
  std::string identity;
  auto append = [&identity](int length, auto write) {
    if (length <= 0) return;
    std::string bytes(static_cast<std::size_t>(length), '\0');
    unsigned char* at = reinterpret_cast<unsigned char*>(bytes.data());
    write(&at);
    identity += bytes;
  };
  SSL_CTX* ctx = Ctx(native_);
  if (X509* certificate = SSL_CTX_get0_certificate(ctx); certificate != nullptr)
    append(i2d_X509(certificate, nullptr), [certificate](unsigned char** at) { i2d_X509(certificate, at); });
  if (EVP_PKEY* key = SSL_CTX_get0_privatekey(ctx); key != nullptr)
    append(i2d_PrivateKey(key, nullptr), [key](unsigned char** at) { i2d_PrivateKey(key, at); });
  return identity;
}

TlsSessionContext TlsSessionContext::MakeRandom() {
  TlsSessionContext context;
  if (RAND_bytes(context.bytes, kBytes) != 1) {
    // Without randomness the session still works; only the binding of data
    // connections to their control connection is weaker.
    ERR_clear_error();
    const auto now = static_cast<std::uint64_t>(std::time(nullptr)) ^ reinterpret_cast<std::uintptr_t>(&context);
    std::memcpy(context.bytes, &now, sizeof now);
  }
  return context;
}

TlsChannel::TlsChannel(const TlsContext& context, SocketHandle socket,
                       const TlsSessionContext& session_context, TlsRole role)
    : context_(context),
      session_context_(reinterpret_cast<const char*>(session_context.bytes), TlsSessionContext::kBytes),
      role_(role),
      native_(SSL_new(Ctx(context.native_))),
      resuming_context_(session_context_) {
  if (native_ == nullptr) {
    error_ = TakeErrorText("out of memory");
    return;
  }
  SSL_set_app_data(Ssl(native_), this);  // for the hooks
  SSL_set_fd(Ssl(native_), socket);
  SSL_set_accept_state(Ssl(native_));
  SSL_set_session_id_context(Ssl(native_), session_context.bytes, TlsSessionContext::kBytes);
  // TLS 1.3 sends tickets after the handshake; TLS 1.2 sends them inside it,
  // where the client reads them anyway.
  if (role == TlsRole::kData) {
    SSL_set_num_tickets(Ssl(native_), 0);
    // A transfer keeps its record buffers (an idle control connection gives
    // them back) and reads records in large gulps.
    SSL_clear_mode(Ssl(native_), SSL_MODE_RELEASE_BUFFERS);
    SSL_set_default_read_buffer_len(Ssl(native_), kDataReadBuffer);
    // Where the kernel offers TLS, it encrypts what the channel sends once
    // the handshake is done, and files go out without passing through this
    // process (SendFile). Without it the channel encrypts as before.
    SSL_set_options(Ssl(native_), SSL_OP_ENABLE_KTLS);
  }
}

TlsChannel::~TlsChannel() {
  if (joined_) context_.Leave(session_context_);
  SSL_free(Ssl(native_));
}

void TlsChannel::JoinGroup(const std::string& group) {
  if (native_ == nullptr || role_ != TlsRole::kControl || joined_ || !SSL_is_init_finished(Ssl(native_)))
    return;
  TlsContext::Member member{group, ""};
  // TLS 1.3 resumes by ticket only; a TLS 1.2 session with a ticket has no id.
  if (SSL_version(Ssl(native_)) == TLS1_2_VERSION) {
    if (const SSL_SESSION* session = SSL_get_session(Ssl(native_))) {
      unsigned int length = 0;
      const unsigned char* id = SSL_SESSION_get_id(session, &length);
      member.session_id.assign(reinterpret_cast<const char*>(id), length);
    }
  }
  context_.Join(session_context_, std::move(member));
  joined_ = true;
}

IoStatus TlsChannel::Translate(int result) {
  const int code = SSL_get_error(Ssl(native_), result);
  switch (code) {
    case SSL_ERROR_WANT_READ: return IoStatus::kWantRead;
    case SSL_ERROR_WANT_WRITE: return IoStatus::kWantWrite;
    case SSL_ERROR_ZERO_RETURN: ERR_clear_error(); return IoStatus::kClosed;
    case SSL_ERROR_SYSCALL:
      if (ERR_peek_error() == 0 && errno == 0) return IoStatus::kClosed;
      error_ = ERR_peek_error() != 0 ? TakeErrorText("") : std::string(std::strerror(errno));
      break;
    default: error_ = TakeErrorText("TLS protocol error"); break;
  }
  // After a fatal error the session may not send anything more.
  SSL_set_quiet_shutdown(Ssl(native_), 1);
  return IoStatus::kFailed;
}

IoStatus TlsChannel::Handshake() {
  if (native_ == nullptr) return IoStatus::kFailed;
  ERR_clear_error();
  errno = 0;
  const int result = SSL_do_handshake(Ssl(native_));
  return result == 1 ? IoStatus::kDone : Translate(result);
}

IoStatus TlsChannel::Read(void* buffer, std::size_t length, std::size_t* count) {
  *count = 0;
  if (native_ == nullptr) return IoStatus::kFailed;
  // The system reports a reset to one read only; the next would find a plain
  // end of stream, so the first ending is kept for every later read.
  if (read_end_ != IoStatus::kDone) return read_end_;
  ERR_clear_error();
  errno = 0;
  const int result = SSL_read_ex(Ssl(native_), buffer, length, count);
  if (result == 1) return IoStatus::kDone;
  const IoStatus status = Translate(result);
  if (status == IoStatus::kClosed || status == IoStatus::kFailed) read_end_ = status;
  return status;
}

IoStatus TlsChannel::Write(const void* bytes, std::size_t length, std::size_t* count) {
  *count = 0;
  if (native_ == nullptr) return IoStatus::kFailed;
  ERR_clear_error();
  errno = 0;
  const int result = SSL_write_ex(Ssl(native_), bytes, length, count);
  return result == 1 ? IoStatus::kDone : Translate(result);
}

bool TlsChannel::KernelSends() const {
  return native_ != nullptr && BIO_get_ktls_send(SSL_get_wbio(Ssl(native_)));
}

IoStatus TlsChannel::SendFile(int file, std::size_t length, std::size_t* count) {
  *count = 0;
  if (!KernelSends()) {
    error_ = "The kernel does not send for this channel.";
    return IoStatus::kFailed;
  }
  // SSL_sendfile takes an offset and leaves the file's own alone: the file
  // is read from, and moved on past, its current offset.
  const off_t offset = ::lseek(file, 0, SEEK_CUR);
  if (offset < 0) {
    error_ = std::strerror(errno);
    return IoStatus::kFailed;
  }
  ERR_clear_error();
  errno = 0;
  const ossl_ssize_t sent = SSL_sendfile(Ssl(native_), file, offset, length, 0);
  if (sent > 0) {
    if (::lseek(file, offset + sent, SEEK_SET) < 0) {
      error_ = std::strerror(errno);
      return IoStatus::kFailed;
    }
    *count = static_cast<std::size_t>(sent);
    return IoStatus::kDone;
  }
  if (sent == 0) return length == 0 ? IoStatus::kDone : IoStatus::kClosed;  // the file ended
  return Translate(static_cast<int>(sent));
}

// Read-ahead may hold whole records that are not decrypted yet: they count.
bool TlsChannel::HasPending() const { return native_ != nullptr && SSL_has_pending(Ssl(native_)) == 1; }

bool TlsChannel::Resumed() const { return native_ != nullptr && SSL_session_reused(Ssl(native_)) == 1; }

void TlsChannel::OfferTicket() {
  if (native_ == nullptr || role_ != TlsRole::kControl || !SSL_is_init_finished(Ssl(native_)) ||
      SSL_version(Ssl(native_)) != TLS1_3_VERSION)
    return;
  if (SSL_new_session_ticket(Ssl(native_)) != 1) ERR_clear_error();
}

std::string TlsChannel::Version() const { return native_ != nullptr ? SSL_get_version(Ssl(native_)) : ""; }

void TlsChannel::Close() {
  if (native_ == nullptr || !SSL_is_init_finished(Ssl(native_))) return;
  ERR_clear_error();
  SSL_shutdown(Ssl(native_));
  ERR_clear_error();
}

namespace {

// Adds one X.509 v3 extension written as the configuration text does.
bool AddExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (extension == nullptr) return false;
  const bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

bool IsDottedAddress(const std::string& host) {
  unsigned a, b, c, d;
  char end;
  return std::sscanf(host.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &end) == 4 && a < 256 &&
         b < 256 && c < 256 && d < 256;
}

// Writes `write(file)` to `path` through a temporary file with `mode`.
template <typename Writer>
bool WritePem(const std::string& path, mode_t mode, Writer write, std::string* error) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = "Unable to write " + path + ": " + std::strerror(errno);
    return false;
  }
  ::fchmod(fd, mode);
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
    *error = "Unable to write " + path + ": " + std::strerror(errno);
    return false;
  }
  const bool written = write(file) == 1;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    *error = "Unable to write " + path;
    ERR_clear_error();
    return false;
  }
  return true;
}

}  // namespace

bool WriteSelfSignedCertificate(const std::string& host, const std::string& certificate_file,
                                const std::string& key_file, std::string* error) {
  // A host name or IPv4 address: anything else (a comma, say) would add
  // names of its own to the certificate.
  const bool plain = !host.empty() && host.size() <= 253 && host.front() != '-' &&
                     std::all_of(host.begin(), host.end(), [](char ch) {
                       return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                              (ch >= '0' && ch <= '9') || ch == '.' || ch == '-';
                     });
  if (!plain) {
    *error = "Unable to make a certificate for " + host + ": not a host name or IPv4 address";
    return false;
  }
  ERR_clear_error();
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* certificate = X509_new();
  bool made = key != nullptr && certificate != nullptr;
  if (made) {
    std::uint64_t serial = 0;
    RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
    serial &= 0x7FFFFFFFFFFFFFFFull;
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set_uint64(X509_get_serialNumber(certificate), serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -60 * 60);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 10L * 365 * 24 * 60 * 60);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    std::string alternative = (IsDottedAddress(host) ? "IP:" : "DNS:") + host;
    // Clients on the same machine often use the loopback address instead.
    if (host == "localhost") alternative += ",IP:127.0.0.1";
    made = AddExtension(certificate, NID_basic_constraints, "critical,CA:TRUE") &&
           AddExtension(certificate, NID_subject_key_identifier, "hash") &&
           AddExtension(certificate, NID_subject_alt_name, alternative.c_str()) &&
           AddExtension(certificate, NID_ext_key_usage, "serverAuth") &&
           X509_sign(certificate, key, EVP_sha256()) > 0;
  }
  if (!made) {
    *error = "Unable to make a certificate for " + host + ": " + TakeErrorText("not a valid host name");
  } else {
    made = WritePem(key_file, 0600,
                    [key](std::FILE* file) {
                      return PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
                    },
                    error) &&
           WritePem(certificate_file, 0644,
                    [certificate](std::FILE* file) { return PEM_write_X509(file, certificate); }, error);
  }
  X509_free(certificate);
  EVP_PKEY_free(key);
  return made;
}

}  // namespace quillon::platform
