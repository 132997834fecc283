// A TLS client for tests: connects to 127.0.0.1, runs the client's side of
// the handshake (any certificate is accepted: test servers use self-signed
// ones), then sends and receives plain bytes with bounded waits. Independent
// of the server classes under test.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/net.h"

namespace quillon::testing {

class TlsClient {
 public:
  TlsClient() = default;
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // The TLS 1.3 suites the next Connect offers, in the client's order
  // ("" for the library's defaults).
  void OfferSuites(std::string suites) { suites_ = std::move(suites); }
  // The suite the handshake agreed on ("" before one).
  std::string Suite() const;
  // True once connected to 127.0.0.1:port from 127.0.0.<from> and the
  // handshake is complete, all within timeout_ms.
  bool Connect(std::uint16_t port, int timeout_ms = 5000, std::uint8_t from = 1);
  // Sends every byte; false when the connection breaks or stays full.
  bool Send(std::string_view bytes, int timeout_ms = 5000);
  // Everything that arrives until the peer closes or timeout_ms passes.
  std::string ReceiveAll(int timeout_ms = 5000);
  // Ends the connection without TLS's closing alert.
  void Close();
  // Closes with a reset, as a connection that broke ends.
  void Reset();

 private:
  // Waits for the socket as the last TLS call asked; false on time-out.
  bool WaitAsAsked(int result, int timeout_ms);

  platform::SocketHandle handle_ = platform::kNoSocket;
  void* context_ = nullptr;  // SSL_CTX
  void* ssl_ = nullptr;      // SSL
  std::string suites_;
};

}  // namespace quillon::testing
