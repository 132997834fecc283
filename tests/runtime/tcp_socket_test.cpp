#include "runtime/tcp_socket.h"

#include "runtime/ip_address.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/fs.h"
#include "support/loopback_client.h"
#include "support/socket_pair.h"
#include "support/wait.h"

namespace quillon::runtime {
namespace {

using testing::LoopbackClient;
using testing::WaitUntil;

class TcpSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener_.ListenOn(0));
    port_ = listener_.LocalPort();
  }

  // Connects a client and accepts it into `target`.
  void ConnectPair(LoopbackClient& client, TcpSocket& target) {
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_TRUE(WaitUntil([&] { return listener_.AcceptInto(target); }));
  }

  TcpSocket listener_;
  std::uint16_t port_ = 0;
};

TEST_F(TcpSocketTest, ListeningSocketReportsItsState) {
  EXPECT_EQ(listener_.GetState(), TcpSocket::State::kListening);
  EXPECT_NE(port_, 0);
  // Every address of both families.
  EXPECT_STREQ(listener_.LocalAddressText(), "::");
  EXPECT_STREQ(listener_.PeerAddressText(), "0.0.0.0");
}

TEST_F(TcpSocketTest, AcceptWithNothingPendingKeepsListening) {
  TcpSocket target;
  EXPECT_FALSE(listener_.AcceptInto(target));
  EXPECT_EQ(listener_.LastStatus(), SocketStatus::kNoConnection);
  EXPECT_EQ(listener_.GetState(), TcpSocket::State::kListening);
  EXPECT_EQ(target.GetState(), TcpSocket::State::kClosed);

  LoopbackClient client;
  ConnectPair(client, target);
  EXPECT_EQ(target.GetState(), TcpSocket::State::kConnected);
  EXPECT_EQ(target.LastStatus(), SocketStatus::kOk);
  EXPECT_STREQ(target.PeerAddressText(), "127.0.0.1");
  EXPECT_STREQ(target.LocalAddressText(), "127.0.0.1");
  EXPECT_EQ(target.PeerPort(), client.LocalPort());
  EXPECT_EQ(target.LocalPort(), port_);
  // An IPv4 peer of the dual-stack socket is an IPv4 address, not a mapped one.
  EXPECT_EQ(target.PeerAddress(), runtime::IpAddress(127, 0, 0, 1).ToBytes());
  EXPECT_FALSE(target.IsIpv6());

  LoopbackClient client6;
  TcpSocket target6;
  ASSERT_TRUE(client6.ConnectIpv6(port_));
  ASSERT_TRUE(WaitUntil([&] { return listener_.AcceptInto(target6); }));
  EXPECT_STREQ(target6.PeerAddressText(), "::1");
  EXPECT_STREQ(target6.LocalAddressText(), "::1");
  EXPECT_TRUE(target6.IsIpv6());
}

TEST_F(TcpSocketTest, ListenOnOneAddressServesOnlyIt) {
  TcpSocket v4_only, v6_only, bad;
  ASSERT_TRUE(v4_only.ListenOnAddress("127.0.0.1", 0));
  LoopbackClient client;
  EXPECT_FALSE(client.ConnectIpv6(v4_only.LocalPort(), 500));
  EXPECT_TRUE(client.Connect(v4_only.LocalPort()));
  // The same port on ::1 alone is free: the IPv6 socket does not take IPv4.
  ASSERT_TRUE(v6_only.ListenOnAddress("::1", v4_only.LocalPort()));
  EXPECT_STREQ(v6_only.LocalAddressText(), "::1");
  EXPECT_TRUE(client.ConnectIpv6(v6_only.LocalPort()));
  EXPECT_FALSE(bad.ListenOnAddress("localhost", 0));
  EXPECT_EQ(bad.LastStatus(), SocketStatus::kUnresolved);

  // Every address of each family, side by side on one port.
  TcpSocket every_v4, every_v6;
  ASSERT_TRUE(every_v4.ListenOnAddress("0.0.0.0", 0));
  ASSERT_TRUE(every_v6.ListenOnAddress("::", every_v4.LocalPort()));
  EXPECT_STREQ(every_v4.LocalAddressText(), "0.0.0.0");
  EXPECT_STREQ(every_v6.LocalAddressText(), "::");
}

TEST_F(TcpSocketTest, OperationsOnTheWrongStateFailWithTheirStatus) {
  TcpSocket idle;
  TcpSocket target;
  EXPECT_FALSE(idle.AcceptInto(target));
  EXPECT_EQ(idle.LastStatus(), SocketStatus::kNotListening);

  char buffer[16];
  std::size_t length = sizeof buffer;
  EXPECT_FALSE(idle.Receive(buffer, &length));
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(idle.LastStatus(), SocketStatus::kNotConnected);

  length = 5;
  EXPECT_FALSE(listener_.Send("hello", &length));
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(listener_.LastStatus(), SocketStatus::kNotConnected);
}

TEST_F(TcpSocketTest, BindToATakenPortFailsClosed) {
  TcpSocket second;
  EXPECT_FALSE(second.ListenOn(port_));
  EXPECT_EQ(second.LastStatus(), SocketStatus::kBindFailed);
  EXPECT_EQ(second.GetState(), TcpSocket::State::kClosed);
  EXPECT_EQ(second.Handle(), platform::kNoSocket);
}

TEST_F(TcpSocketTest, ConnectFailuresHaveTheirCodes) {
  TcpSocket socket;
  EXPECT_FALSE(socket.Connect("", port_, nullptr, 1000));
  EXPECT_EQ(socket.LastStatus(), SocketStatus::kUnresolved);

  EXPECT_FALSE(socket.Connect("127.0.0.1", testing::UnusedPort(), nullptr, 1000));
  EXPECT_EQ(socket.LastStatus(), SocketStatus::kConnectFailed);
  EXPECT_EQ(socket.GetState(), TcpSocket::State::kClosed);
}

TEST_F(TcpSocketTest, ConnectToAFullBacklogIsBoundedAndCancellable) {
  // Nobody accepts a listener with a tiny backlog: once it is full, further
  // connects hang.
  TcpSocket tiny;
  ASSERT_TRUE(tiny.ListenOn(0, 1));
  const std::uint16_t port = tiny.LocalPort();
  std::vector<std::unique_ptr<LoopbackClient>> queued;
  bool full = false;
  auto attempt = std::chrono::steady_clock::now();
  for (int i = 0; i < 32 && !full; ++i) {
    queued.push_back(std::make_unique<LoopbackClient>());
    attempt = std::chrono::steady_clock::now();
    full = !queued.back()->Connect(port, 200);
  }
  ASSERT_TRUE(full);
  if (std::chrono::steady_clock::now() - attempt < std::chrono::milliseconds(150))
    GTEST_SKIP() << "this kernel refuses connections to a full backlog instead of letting them wait";

  TcpSocket socket;
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(socket.Connect("127.0.0.1", port, nullptr, 300));
  EXPECT_EQ(socket.LastStatus(), SocketStatus::kConnectFailed);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(290));

  platform::Event cancel;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cancel.Set();
  });
  started = std::chrono::steady_clock::now();
  EXPECT_FALSE(socket.Connect("127.0.0.1", port, &cancel, 60'000));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(socket.LastStatus(), SocketStatus::kConnectFailed);
  canceller.join();
}

TEST_F(TcpSocketTest, ConnectedPairMovesBytesAndCountsThem) {
  TcpSocket client;
  ASSERT_TRUE(client.Connect("127.0.0.1", port_, nullptr, 2000));
  EXPECT_EQ(client.GetState(), TcpSocket::State::kConnected);
  EXPECT_EQ(client.PeerPort(), port_);
  TcpSocket server;
  ASSERT_TRUE(WaitUntil([&] { return listener_.AcceptInto(server); }));

  std::size_t length = 5;
  ASSERT_TRUE(client.Send("hello", &length));
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(client.BytesSent(), 5u);

  char buffer[16];
  std::size_t got = 0;
  ASSERT_TRUE(WaitUntil([&] {
    got = sizeof buffer;
    return server.Receive(buffer, &got) && got > 0;
  }));
  EXPECT_EQ(std::string(buffer, got), "hello");
  EXPECT_EQ(server.BytesReceived(), 5u);

  // Nothing more to read: true with length 0.
  got = sizeof buffer;
  EXPECT_TRUE(server.Receive(buffer, &got));
  EXPECT_EQ(got, 0u);
}

TEST_F(TcpSocketTest, PeerCloseReportsAnOrderlyEndAndClosesTheSocket) {
  LoopbackClient client;
  TcpSocket server;
  ConnectPair(client, server);
  client.Close();
  char buffer[16];
  std::size_t got = 0;
  ASSERT_TRUE(WaitUntil([&] {
    got = sizeof buffer;
    return !server.Receive(buffer, &got);
  }));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(server.LastStatus(), SocketStatus::kClosed);
  EXPECT_EQ(server.GetState(), TcpSocket::State::kClosed);
  EXPECT_STREQ(server.PeerAddressText(), "0.0.0.0");
}

TEST_F(TcpSocketTest, AcceptInPlaceReplacesTheListeningHandle) {
  LoopbackClient client;
  ASSERT_TRUE(client.Connect(port_));
  ASSERT_TRUE(WaitUntil([&] { return listener_.AcceptInPlace(); }));
  EXPECT_EQ(listener_.GetState(), TcpSocket::State::kConnected);
  EXPECT_EQ(listener_.PeerPort(), client.LocalPort());
  // The listening port is gone: a second client is refused.
  LoopbackClient second;
  EXPECT_FALSE(second.Connect(port_, 500));

  std::size_t length = 2;
  ASSERT_TRUE(listener_.Send("ok", &length));
  EXPECT_EQ(client.Receive(2), "ok");
}

TEST_F(TcpSocketTest, AssignFromHandsTheConnectionOverWithItsCounters) {
  LoopbackClient client;
  TcpSocket first;
  ConnectPair(client, first);
  std::size_t length = 3;
  ASSERT_TRUE(first.Send("abc", &length));

  TcpSocket second;
  second.AssignFrom(first);
  EXPECT_EQ(first.GetState(), TcpSocket::State::kClosed);
  EXPECT_EQ(first.Handle(), platform::kNoSocket);
  EXPECT_EQ(second.GetState(), TcpSocket::State::kConnected);
  EXPECT_EQ(second.BytesSent(), 3u);
  EXPECT_EQ(second.PeerPort(), client.LocalPort());

  first.Close();  // must not close the handle the second socket owns now
  length = 3;
  ASSERT_TRUE(second.Send("def", &length));
  EXPECT_EQ(client.Receive(6), "abcdef");
}

TEST_F(TcpSocketTest, ShutdownEndsTheConnectionForThePeer) {
  LoopbackClient client;
  TcpSocket server;
  ConnectPair(client, server);
  server.Shutdown();
  EXPECT_EQ(server.GetState(), TcpSocket::State::kClosed);
  EXPECT_TRUE(client.WaitForClose());
}

TEST_F(TcpSocketTest, SendToAPeerThatDoesNotReadEventuallyTakesNothing) {
  LoopbackClient client;
  TcpSocket server;
  ConnectPair(client, server);
  std::string block(1 << 20, 'x');
  bool saw_full = false;
  for (int i = 0; i < 256 && !saw_full; ++i) {
    std::size_t length = block.size();
    ASSERT_TRUE(server.Send(block.data(), &length));
    saw_full = length == 0;
  }
  EXPECT_TRUE(saw_full);
  EXPECT_EQ(server.GetState(), TcpSocket::State::kConnected);
}

// Plain and TLS sockets end alike: an orderly end is kClosed, a reset is
// kBroken, and either leaves the socket closed.
TEST(TcpSocketEndTest, PlainAndTlsReportHowTheConnectionEnded) {
  struct Case {
    testing::Transport transport;
    bool reset;
    SocketStatus status;
  };
  const Case cases[] = {
      {testing::Transport::kPlain, false, SocketStatus::kClosed},
      {testing::Transport::kPlain, true, SocketStatus::kBroken},
      {testing::Transport::kTls, false, SocketStatus::kClosed},
      {testing::Transport::kTls, true, SocketStatus::kBroken},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(testing::TransportName(c.transport)) + (c.reset ? " reset" : " close"));
    testing::SocketPair pair;
    ASSERT_TRUE(pair.Open(c.transport));
    TcpSocket& server = pair.Server();
    char buffer[16];
    std::size_t length = sizeof buffer;
    EXPECT_TRUE(server.Receive(buffer, &length));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(server.LastStatus(), SocketStatus::kWouldBlock);

    c.reset ? pair.ClientReset() : pair.ClientClose();
    ASSERT_TRUE(WaitUntil([&] {
      length = sizeof buffer;
      return !server.Receive(buffer, &length);
    }));
    EXPECT_EQ(server.LastStatus(), c.status);
    EXPECT_EQ(server.GetState(), TcpSocket::State::kClosed);
  }
}

// Whether this kernel offers TLS to sockets (a module loaded on first use
// shows once a socket asked for it).
bool KernelOffersTls() {
  std::ifstream offered("/proc/sys/net/ipv4/tcp_available_ulp");
  std::string names;
  std::getline(offered, names);
  return (" " + names + " ").find(" tls ") != std::string::npos;
}

// A connected plain socket sends straight from a file; a TLS data channel
// does so only where the kernel encrypts for it, and encrypts in the
// process otherwise. Either way the client gets the file whole.
TEST(TcpSocketEndTest, AFileReachesTheClientWholeWhoeverEncryptsIt) {
  TcpSocket unconnected;
  EXPECT_FALSE(unconnected.CanSendFile());
  testing::TempDir dir;
  std::string content(1 << 20, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 % 251);
  testing::WriteWholeFile(dir.File("file.bin"), content);
  for (const auto transport : {testing::Transport::kPlain, testing::Transport::kTls}) {
    SCOPED_TRACE(testing::TransportName(transport));
    testing::SocketPair pair;
    ASSERT_TRUE(pair.Open(transport));
    TcpSocket& server = pair.Server();
    const bool direct = server.CanSendFile();
    EXPECT_EQ(direct, transport == testing::Transport::kPlain || KernelOffersTls());
    int error = 0;
    const int file = platform::OpenFile(dir.File("file.bin"), platform::OpenMode::kReadExisting, 0644, &error);
    ASSERT_GE(file, 0);
    std::string received;
    std::thread client([&] { received = pair.ClientReceiveAll(30000); });
    std::vector<char> chunk(64 * 1024);
    std::size_t pending = 0, offset = 0;
    bool ended = false, broken = false;
    EXPECT_TRUE(WaitUntil(
        [&] {
          std::size_t length = chunk.size();
          if (direct) {
            broken = !server.SendFromFile(file, &length, &ended);
            return ended || broken;
          }
          if (pending == 0) {
            const long long read = platform::ReadFile(file, chunk.data(), chunk.size(), &error);
            if (read <= 0) return ended = true;
            pending = static_cast<std::size_t>(read);
            offset = 0;
          }
          length = pending;
          broken = !server.Send(chunk.data() + offset, &length);
          offset += length;
          pending -= length;
          return broken;
        },
        30000));
    EXPECT_FALSE(broken);
    server.Close();
    platform::CloseFile(file);
    client.join();
    EXPECT_EQ(received.size(), content.size());
    EXPECT_TRUE(received == content);
  }
}

// The server picks the TLS 1.3 suite: AES-128-GCM before AES-256-GCM, which
// a client's defaults put first; ChaCha20 for a client that puts it first;
// and whatever strong suite a client offers alone.
TEST(TcpSocketEndTest, TheServerPrefersTheFasterAesSuiteUnlessTheClientWantsChaCha) {
  const struct {
    const char* offered;
    const char* agreed;
  } cases[] = {
      {"", "TLS_AES_128_GCM_SHA256"},
      {"TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256", "TLS_AES_128_GCM_SHA256"},
      {"TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256", "TLS_CHACHA20_POLY1305_SHA256"},
      {"TLS_AES_256_GCM_SHA384", "TLS_AES_256_GCM_SHA384"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offered);
    testing::SocketPair pair;
    ASSERT_TRUE(pair.Open(testing::Transport::kTls, c.offered));
    EXPECT_EQ(pair.ClientSuite(), c.agreed);
  }
}

}  // namespace
}  // namespace quillon::runtime
