#include "support/ftp_client.h"

#include <algorithm>
#include <cstdio>

namespace quillon::testing {

std::string FtpClient::Connect(std::uint16_t port, std::uint8_t from_host, int timeout_ms) {
  if (!connection_.Connect(port, std::min(timeout_ms, 2000), from_host)) return {};
  return Reply(timeout_ms);
}

std::string FtpClient::ConnectIpv6(std::uint16_t port) {
  if (!connection_.ConnectIpv6(port)) return {};
  return Reply();
}

std::string FtpClient::Command(std::string_view line, int timeout_ms) {
  std::string text(line);
  text += "\r\n";
  if (!connection_.Send(text)) return {};
  return Reply(timeout_ms);
}

std::string FtpClient::Reply(int timeout_ms) {
  std::string reply = connection_.ReadLine(timeout_ms);
  // "123-" opens a multi-line reply that ends with a line "123 ...".
  if (reply.size() >= 4 && reply[3] == '-') {
    const std::string end = reply.substr(0, 3) + " ";
    for (;;) {
      std::string line = connection_.ReadLine(timeout_ms);
      if (line.empty()) break;
      reply += "\n" + line;
      if (line.compare(0, 4, end) == 0) break;
    }
  }
  return reply;
}

std::string FtpClient::Login(std::string_view user, std::string_view password) {
  Command("USER " + std::string(user));
  return Command("PASS " + std::string(password));
}

std::uint16_t FtpClient::PassivePort(std::string_view reply) {
  unsigned h[4], p1 = 0, p2 = 0;
  const std::string text(reply);
  if (std::sscanf(text.c_str(), "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u)", &h[0], &h[1],
                  &h[2], &h[3], &p1, &p2) != 6)
    return 0;
  return static_cast<std::uint16_t>(p1 * 256 + p2);
}

}  // namespace quillon::testing
