// A server-side runtime socket connected to a test client over loopback,
// plain or TLS, for the runtime's socket tests. The client side is
// independent of the classes under test.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "platform/clock.h"
#include "platform/tls.h"
#include "runtime/tcp_socket.h"
#include "support/loopback_client.h"
#include "support/temp_dir.h"
#include "support/tls_client.h"
#include "support/wait.h"

namespace quillon::testing {

enum class Transport { kPlain, kTls };

inline const char* TransportName(Transport transport) {
  return transport == Transport::kTls ? "tls" : "plain";
}

class SocketPair {
 public:
  // Connects a client and accepts it into Server(); under TLS the handshake
  // is complete when this returns true, the client having offered
  // `client_suites` (TLS 1.3 suites in its order; "" for its defaults).
  bool Open(Transport transport, const std::string& client_suites = {}) {
    if (!listener_.ListenOn(0)) return false;
    if (transport == Transport::kPlain) {
      tls_client_.reset();
      plain_client_ = std::make_unique<LoopbackClient>();
      return plain_client_->Connect(listener_.LocalPort()) &&
             WaitUntil([&] { return listener_.AcceptInto(server_); });
    }
    std::string error;
    if (!platform::WriteSelfSignedCertificate("127.0.0.1", dir_.File("cert.pem"), dir_.File("key.pem"),
                                              &error))
      return false;
    context_ = platform::TlsContext::Create(dir_.File("cert.pem"), dir_.File("key.pem"),
                                            platform::TlsVersion::k1_2, &error);
    if (context_ == nullptr) return false;
    tls_client_ = std::make_unique<TlsClient>();
    tls_client_->OfferSuites(client_suites);
    bool client_done = false;
    std::thread client([&] { client_done = tls_client_->Connect(listener_.LocalPort()); });
    const bool accepted = WaitUntil([&] { return listener_.AcceptInto(server_); });
    const bool secured =
        // A data channel sends nothing after the handshake: the client's close
        // leaves nothing unread, so it ends in order, not with a reset.
        accepted && server_.AcceptTls(*context_, session_, platform::TlsRole::kData, nullptr,
                                      clock_, 5000, &error);
    client.join();
    return secured && client_done;
  }

  runtime::TcpSocket& Server() { return server_; }
  bool ClientSend(std::string_view bytes) {
    return plain_client_ ? plain_client_->Send(bytes) : tls_client_->Send(bytes);
  }
  // What the client receives until the server closes or `timeout_ms` passes.
  std::string ClientReceiveAll(int timeout_ms = 5000) {
    return plain_client_ ? plain_client_->Receive(SIZE_MAX, timeout_ms) : tls_client_->ReceiveAll(timeout_ms);
  }
  // The TLS suite the handshake agreed on, as the client names it.
  std::string ClientSuite() const { return tls_client_ ? tls_client_->Suite() : std::string(); }
  // An orderly end (under TLS without the closing alert, as many clients end).
  void ClientClose() { plain_client_ ? plain_client_->Close() : tls_client_->Close(); }
  void ClientReset() { plain_client_ ? plain_client_->Reset() : tls_client_->Reset(); }

 private:
  TempDir dir_;
  platform::SystemClock clock_;
  std::unique_ptr<platform::TlsContext> context_;
  platform::TlsSessionContext session_ = platform::TlsSessionContext::MakeRandom();
  runtime::TcpSocket listener_;
  runtime::TcpSocket server_;
  std::unique_ptr<LoopbackClient> plain_client_;
  std::unique_ptr<TlsClient> tls_client_;
};

}  // namespace quillon::testing
