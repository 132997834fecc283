// A raw TCP client for tests: connects to 127.0.0.1 and sends and receives
// plain bytes with bounded waits, independent of the server classes under
// test.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/net.h"

namespace quillon::testing {

class LoopbackClient {
 public:
  LoopbackClient() = default;
  ~LoopbackClient();
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  // True once connected to 127.0.0.1:port (within timeout_ms), leaving from
  // 127.0.0.<from>: every 127.0.0.x address is this machine, so a test can
  // play peers of several addresses.
  bool Connect(std::uint16_t port, int timeout_ms = 2000, std::uint8_t from = 1);
  // As Connect, to [::1]:port over IPv6.
  bool ConnectIpv6(std::uint16_t port, int timeout_ms = 2000);
  // Sends every byte; false if the connection breaks or stays full.
  bool Send(std::string_view bytes, int timeout_ms = 5000);
  // As Send, as TCP urgent data: the last byte of each send carries the
  // urgent mark (one send for a few bytes on an idle connection).
  bool SendUrgent(std::string_view bytes, int timeout_ms = 5000);
  // Appends what arrives until `wanted` bytes are buffered in total, the
  // peer closes, or timeout_ms passes. Returns everything received so far.
  std::string Receive(std::size_t wanted, int timeout_ms = 2000);
  // Waits for a CR LF terminated line and returns it without the CR LF;
  // empty on time-out or close.
  std::string ReadLine(int timeout_ms = 2000);
  // True once the peer has closed the connection (within timeout_ms).
  bool WaitForClose(int timeout_ms = 2000);
  // True if no byte and no close arrive within timeout_ms.
  bool StaysSilent(int timeout_ms);
  void Close();
  // Closes with a reset, as a connection that broke (or a client that closed
  // with bytes still unread) ends.
  void Reset();

  std::uint16_t LocalPort() const;

 private:
  bool SendWith(std::string_view bytes, bool urgent, int timeout_ms);
  // Waits for input; false on time-out. Reads into pending_.
  bool Fill(int timeout_ms);

  platform::SocketHandle handle_ = platform::kNoSocket;
  std::string pending_;
  bool closed_by_peer_ = false;
};

// A port on which nothing listens right now (bound once by the system, then
// released).
std::uint16_t UnusedPort();

}  // namespace quillon::testing
