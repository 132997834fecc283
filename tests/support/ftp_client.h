// A scripted FTP control-connection client for tests: sends command lines
// and reads whole replies (multi-line replies included) with bounded waits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/loopback_client.h"

namespace quillon::testing {

class FtpClient {
 public:
  // Connects (from 127.0.0.<from_host>) and returns the greeting (or ""
  // when none came).
  std::string Connect(std::uint16_t port, std::uint8_t from_host = 1, int timeout_ms = 5000);
  // As Connect, to [::1]:port over IPv6.
  std::string ConnectIpv6(std::uint16_t port);
  // Sends `line` + CR LF and returns the reply; lines of a multi-line reply
  // are joined with "\n".
  std::string Command(std::string_view line, int timeout_ms = 5000);
  // Reads the next reply without sending anything.
  std::string Reply(int timeout_ms = 5000);
  // Sends raw bytes; false when they did not all go within timeout_ms.
  bool SendRaw(std::string_view bytes, int timeout_ms = 5000) {
    return connection_.Send(bytes, timeout_ms);
  }
  // Sends raw bytes as TCP urgent data (the last byte carries the mark).
  bool SendUrgent(std::string_view bytes, int timeout_ms = 5000) {
    return connection_.SendUrgent(bytes, timeout_ms);
  }
  // USER and PASS; returns the PASS reply.
  std::string Login(std::string_view user, std::string_view password);
  bool WaitForClose(int timeout_ms = 5000) { return connection_.WaitForClose(timeout_ms); }
  bool StaysSilent(int timeout_ms) { return connection_.StaysSilent(timeout_ms); }
  void Close() { connection_.Close(); }

  // The data port of a "227 Entering Passive Mode (h,h,h,h,p,p)" reply; 0 when
  // the reply is not one.
  static std::uint16_t PassivePort(std::string_view reply);

 private:
  LoopbackClient connection_;
};

}  // namespace quillon::testing
