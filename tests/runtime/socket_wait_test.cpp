#include "runtime/socket_wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/event.h"
#include "support/socket_pair.h"

namespace quillon::runtime {
namespace {

using testing::SocketPair;
using testing::Transport;

constexpr std::uint32_t kLongWaitMs = 5000;

std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

// Part of a message received, the rest still inside the socket: in the
// system's buffer (plain) or already decrypted inside the TLS session, where
// the system's readiness does not show it. Either way the wait ends at once.
TEST(SocketWaitTest, InputLeftInsideTheSocketEndsTheWaitAtOnce) {
  for (const Transport transport : {Transport::kPlain, Transport::kTls}) {
    SCOPED_TRACE(testing::TransportName(transport));
    SocketPair pair;
    ASSERT_TRUE(pair.Open(transport));
    TcpSocket& server = pair.Server();
    ASSERT_TRUE(pair.ClientSend("hello world"));
    ASSERT_TRUE(server.WaitReadable(nullptr, kLongWaitMs));

    char buffer[16];
    std::size_t length = 5;
    ASSERT_TRUE(server.Receive(buffer, &length));
    ASSERT_EQ(std::string(buffer, length), "hello");

    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(SocketWait().Readable(server).Wait(kLongWaitMs));
    EXPECT_TRUE(server.WaitReadable(nullptr, kLongWaitMs));
    EXPECT_LT(Since(started), std::chrono::milliseconds(1000));

    length = sizeof buffer;
    ASSERT_TRUE(server.Receive(buffer, &length));
    EXPECT_EQ(std::string(buffer, length), " world");
    // All taken: the wait runs to its time-out.
    started = std::chrono::steady_clock::now();
    EXPECT_FALSE(SocketWait().Readable(server).Wait(100));
    EXPECT_GE(Since(started), std::chrono::milliseconds(90));
  }
}

TEST(SocketWaitTest, ReportsOnlyWatchedSocketsAsReady) {
  SocketPair pair;
  ASSERT_TRUE(pair.Open(Transport::kPlain));
  platform::Event set;
  set.Set();
  platform::Event unset;
  struct Case {
    const char* name;
    bool send_input;
    const platform::Event* event;
    bool ready;
  };
  const Case cases[] = {
      {"a set event ends the wait, no socket is ready", false, &set, false},
      {"no event watched: the time-out ends it", false, nullptr, false},
      {"input arrived: the socket is ready", true, &unset, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.send_input) {
      ASSERT_TRUE(pair.ClientSend("x"));
    }
    EXPECT_EQ(SocketWait().Readable(pair.Server()).Until(c.event).Wait(c.event == &set ? kLongWaitMs : 200),
              c.ready);
  }
  // Room to send is ready at once on a fresh connection.
  EXPECT_TRUE(SocketWait().Writable(pair.Server()).Wait(kLongWaitMs));
  // A closed socket is left out: only the event or the time-out ends the wait.
  TcpSocket closed;
  EXPECT_FALSE(SocketWait().Readable(closed).Writable(closed).Until(&set).Wait(kLongWaitMs));
}

}  // namespace
}  // namespace quillon::runtime
