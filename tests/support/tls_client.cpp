#include "support/tls_client.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>

namespace quillon::testing {

namespace {

using Deadline = std::chrono::steady_clock::time_point;

Deadline After(int timeout_ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
}

int RemainingMs(Deadline deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

SSL* Ssl(void* ssl) { return static_cast<SSL*>(ssl); }

}  // namespace

TlsClient::~TlsClient() { Close(); }

bool TlsClient::Connect(std::uint16_t port, int timeout_ms, std::uint8_t from) {
  Close();
  const Deadline deadline = After(timeout_ms);
  handle_ = platform::OpenTcpSocket(nullptr);
  if (handle_ == platform::kNoSocket) return false;
  const platform::Endpoint source = platform::Endpoint::Ipv4(127, 0, 0, from);
  const platform::Endpoint target = platform::Endpoint::Ipv4(127, 0, 0, 1, port);
  if ((from != 1 && !platform::BindAddress(handle_, source, nullptr)) ||
      !platform::ConnectWithin(handle_, target, nullptr, static_cast<std::uint32_t>(timeout_ms), nullptr)) {
    Close();
    return false;
  }
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  context_ = context;
  if (context == nullptr) return false;
  SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  if (!suites_.empty() && SSL_CTX_set_ciphersuites(context, suites_.c_str()) != 1) return false;
  ssl_ = SSL_new(context);
  if (ssl_ == nullptr || SSL_set_fd(Ssl(ssl_), handle_) != 1) return false;
  for (;;) {
    const int result = SSL_connect(Ssl(ssl_));
    if (result == 1) return true;
    if (!WaitAsAsked(result, RemainingMs(deadline))) return false;
  }
}

bool TlsClient::WaitAsAsked(int result, int timeout_ms) {
  const int error = SSL_get_error(Ssl(ssl_), result);
  if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) || timeout_ms <= 0) return false;
  platform::PollItem item;
  item.descriptor = handle_;
  item.want_read = error == SSL_ERROR_WANT_READ;
  item.want_write = error == SSL_ERROR_WANT_WRITE;
  return platform::Poll(&item, 1, static_cast<std::uint32_t>(timeout_ms)) > 0;
}

bool TlsClient::Send(std::string_view bytes, int timeout_ms) {
  if (ssl_ == nullptr) return false;
  const Deadline deadline = After(timeout_ms);
  while (!bytes.empty()) {
    const int result = SSL_write(Ssl(ssl_), bytes.data(), static_cast<int>(bytes.size()));
    if (result > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(result));
    } else if (!WaitAsAsked(result, RemainingMs(deadline))) {
      return false;
    }
  }
  return true;
}

std::string TlsClient::ReceiveAll(int timeout_ms) {
  std::string out;
  if (ssl_ == nullptr) return out;
  const Deadline deadline = After(timeout_ms);
  char chunk[16384];
  for (;;) {
    const int result = SSL_read(Ssl(ssl_), chunk, sizeof chunk);
    if (result > 0) {
      out.append(chunk, static_cast<std::size_t>(result));
    } else if (!WaitAsAsked(result, RemainingMs(deadline))) {
      return out;
    }
  }
}

std::string TlsClient::Suite() const {
  const char* name = ssl_ != nullptr ? SSL_get_cipher_name(Ssl(ssl_)) : nullptr;
  return name != nullptr && std::string(name) != "(NONE)" ? name : "";
}

void TlsClient::Close() {
  if (ssl_ != nullptr) SSL_free(Ssl(ssl_));
  ssl_ = nullptr;
  if (context_ != nullptr) SSL_CTX_free(static_cast<SSL_CTX*>(context_));
  context_ = nullptr;
  platform::CloseSocket(handle_);
  handle_ = platform::kNoSocket;
  ERR_clear_error();
}

void TlsClient::Reset() {
  if (handle_ != platform::kNoSocket) platform::CloseWithReset(handle_);
  handle_ = platform::kNoSocket;
  Close();
}

}  // namespace quillon::testing
