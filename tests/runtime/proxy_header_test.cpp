#include "runtime/proxy_header.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/clock.h"
#include "runtime/tcp_socket.h"
#include "support/loopback_client.h"
#include "support/wait.h"

namespace quillon::runtime {
namespace {

using Result = ProxyHeader::Result;

// A version 2 header: command (0 LOCAL, 1 PROXY), family, the address
// block, and `extra` bytes of TLVs after it.
std::string Binary(std::uint8_t command, std::uint8_t family, const std::string& block) {
  std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
  header += static_cast<char>(0x20 | command);
  header += static_cast<char>(family);
  header += static_cast<char>(block.size() >> 8);
  header += static_cast<char>(block.size() & 0xff);
  return header + block;
}

std::string Ipv4Block(std::uint16_t client_port) {
  std::string block = {'\xc0', '\x00', '\x02', '\x07', '\x0a', '\x00', '\x00', '\x01'};
  block += static_cast<char>(client_port >> 8);
  block += static_cast<char>(client_port & 0xff);
  block += std::string("\x00\x15", 2);
  return block;
}

TEST(ProxyHeaderTest, VersionOneLinesGiveTheClientAndTheirLength) {
  ProxyHeader header;
  const std::string line = "PROXY TCP4 198.51.100.22 10.0.0.1 35646 21\r\n";
  ASSERT_EQ(ProxyHeader::Parse(line + "USER anna\r\n", &header), Result::kDone);
  EXPECT_EQ(header.length, line.size());
  EXPECT_TRUE(header.has_client);
  EXPECT_EQ(header.client.Text(), "198.51.100.22");
  EXPECT_EQ(header.client_port, 35646);

  ASSERT_EQ(ProxyHeader::Parse("PROXY TCP6 2001:db8::7 2001:db8::1 4000 990\r\n", &header), Result::kDone);
  EXPECT_EQ(header.client.Text(), "2001:db8::7");

  // UNKNOWN names no client, whatever follows it on the line.
  ASSERT_EQ(ProxyHeader::Parse("PROXY UNKNOWN ffff::1 ffff::2 1 2\r\nGET /", &header), Result::kDone);
  EXPECT_FALSE(header.has_client);
  EXPECT_EQ(header.length, std::string("PROXY UNKNOWN ffff::1 ffff::2 1 2\r\n").size());

  // Every prefix of a header waits for more.
  for (std::size_t cut = 0; cut < line.size(); ++cut)
    EXPECT_EQ(ProxyHeader::Parse(line.substr(0, cut), &header), Result::kIncomplete) << cut;
}

TEST(ProxyHeaderTest, MalformedVersionOneLinesAreRefused) {
  ProxyHeader header;
  for (const char* bad : {
           "USER anna\r\n",                                       // no header at all
           "\x16\x03\x01\x02\x00",                                // a TLS hello
           "PROXY TCP4 198.51.100.22 10.0.0.1 35646\r\n",         // a field short
           "PROXY TCP4 198.51.100.22 10.0.0.1 35646 21 9\r\n",    // one too many
           "PROXY TCP4 2001:db8::7 10.0.0.1 35646 21\r\n",        // IPv6 under TCP4
           "PROXY TCP6 198.51.100.22 2001:db8::1 35646 21\r\n",   // IPv4 under TCP6
           "PROXY TCP4 198.51.100.256 10.0.0.1 35646 21\r\n",     // not an address
           "PROXY TCP4 198.51.100.22 10.0.0.1 65536 21\r\n",      // port too large
           "PROXY TCP4 198.51.100.22 10.0.0.1 035646 21\r\n",     // leading zero
           "PROXY TCP4  198.51.100.22 10.0.0.1 35646 21\r\n",     // double space
           "PROXY UDP4 198.51.100.22 10.0.0.1 35646 21\r\n",      // not TCP
           "PROXY TCP4 198.51.100.22 10.0.0.1 35646 21\n",        // LF alone
       }) {
    EXPECT_EQ(ProxyHeader::Parse(bad, &header), Result::kInvalid) << bad;
  }
  // A line that never ends within the longest header is refused.
  EXPECT_EQ(ProxyHeader::Parse("PROXY TCP4 " + std::string(200, '1'), &header), Result::kInvalid);
}

TEST(ProxyHeaderTest, VersionTwoHeadersGiveTheClientAndSkipTheirTlvs) {
  ProxyHeader header;
  const std::string tlvs("\x04\x00\x03" "abc", 6);
  const std::string proxied = Binary(1, 0x11, Ipv4Block(50000) + tlvs);
  ASSERT_EQ(ProxyHeader::Parse(proxied + "rest", &header), Result::kDone);
  EXPECT_EQ(header.length, proxied.size());
  EXPECT_TRUE(header.has_client);
  EXPECT_EQ(header.client.Text(), "192.0.2.7");
  EXPECT_EQ(header.client_port, 50000);
  for (std::size_t cut = 0; cut < proxied.size(); ++cut)
    EXPECT_EQ(ProxyHeader::Parse(proxied.substr(0, cut), &header), Result::kIncomplete) << cut;

  std::string ipv6(36, '\0');
  ipv6[0] = '\x20';
  ipv6[1] = '\x01';
  ipv6[2] = '\x0d';
  ipv6[3] = '\xb8';
  ipv6[15] = '\x09';
  ipv6[32] = '\x01';
  ipv6[33] = '\x02';
  ASSERT_EQ(ProxyHeader::Parse(Binary(1, 0x21, ipv6), &header), Result::kDone);
  EXPECT_EQ(header.client.Text(), "2001:db8::9");
  EXPECT_EQ(header.client_port, 258);

  // LOCAL (the balancer's health check) and other families name no client.
  ASSERT_EQ(ProxyHeader::Parse(Binary(0, 0x00, ""), &header), Result::kDone);
  EXPECT_FALSE(header.has_client);
  ASSERT_EQ(ProxyHeader::Parse(Binary(1, 0x31, std::string(216, 'u')), &header), Result::kDone);
  EXPECT_FALSE(header.has_client);
  EXPECT_EQ(header.length, 16u + 216u);

  // Another version or command, a block too short for its family, or one
  // longer than the server reads, is refused.
  std::string version_three = proxied;
  version_three[12] = '\x31';
  EXPECT_EQ(ProxyHeader::Parse(version_three, &header), Result::kInvalid);
  EXPECT_EQ(ProxyHeader::Parse(Binary(2, 0x11, Ipv4Block(1)), &header), Result::kInvalid);
  EXPECT_EQ(ProxyHeader::Parse(Binary(1, 0x11, Ipv4Block(1).substr(0, 11)), &header), Result::kInvalid);
  EXPECT_EQ(ProxyHeader::Parse(Binary(1, 0x11, std::string(ProxyHeader::kMaxBlock + 1, 'x')), &header),
            Result::kInvalid);
}

// The socket takes the header and nothing after it, also when it comes in
// pieces, and the client becomes its peer; anything else closes it.
TEST(ProxyHeaderTest, TheSocketTakesOnlyTheHeaderAndBecomesTheClients) {
  TcpSocket listener;
  ASSERT_TRUE(listener.ListenOn(0));
  platform::SystemClock clock;
  {
    testing::LoopbackClient client;
    ASSERT_TRUE(client.Connect(listener.LocalPort()));
    TcpSocket server;
    ASSERT_TRUE(testing::WaitUntil([&] { return listener.AcceptInto(server); }));
    std::thread sender([&] {
      ASSERT_TRUE(client.Send("PROXY TCP4 203.0.113.5 "));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ASSERT_TRUE(client.Send("10.0.0.1 41000 21\r\nUSER anna\r\n"));
    });
    std::string error;
    const bool taken = server.TakeProxyHeader(nullptr, clock, 5000, &error);
    sender.join();
    ASSERT_TRUE(taken) << error;
    EXPECT_STREQ(server.PeerAddressText(), "203.0.113.5");
    EXPECT_EQ(server.PeerPort(), 41000);
    char rest[32] = {};
    std::size_t length = sizeof rest;
    ASSERT_TRUE(testing::WaitUntil([&] {
      length = sizeof rest;
      return server.Receive(rest, &length) && length > 0;
    }));
    EXPECT_EQ(std::string(rest, length), "USER anna\r\n");
  }
  for (const char* sent : {"USER anna\r\n", "PROXY TCP4 203.0.113.5"}) {
    testing::LoopbackClient client;
    ASSERT_TRUE(client.Connect(listener.LocalPort()));
    TcpSocket server;
    ASSERT_TRUE(testing::WaitUntil([&] { return listener.AcceptInto(server); }));
    ASSERT_TRUE(client.Send(sent));
    std::string error;
    EXPECT_FALSE(server.TakeProxyHeader(nullptr, clock, 300, &error)) << sent;
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(server.GetState(), TcpSocket::State::kClosed);
    EXPECT_STREQ(server.PeerAddressText(), "0.0.0.0");
  }
}

}  // namespace
}  // namespace quillon::runtime
