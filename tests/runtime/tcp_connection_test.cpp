#include "runtime/tcp_connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "support/loopback_client.h"
#include "support/manual_clock.h"
#include "support/wait.h"

namespace quillon::runtime {
namespace {

using testing::LoopbackClient;
using testing::ManualClock;
using testing::WaitUntil;

// Greets, then echoes lines until the peer leaves or a stop is requested.
class EchoConnection final : public TcpConnection {
 public:
  EchoConnection(std::unique_ptr<LineSocket> socket, std::uint32_t idle_ms,
                 platform::Clock& clock)
      : TcpConnection(std::move(socket), idle_ms, clock) {}
  ~EchoConnection() override { Stop(kStopWaitMs); }

  std::atomic<bool> saw_stop{false};

 protected:
  void Serve() override {
    if (!SendLine(Socket(), "220 hello")) return;
    char line[2048];
    while (!StopRequested()) {
      if (Socket().ReadLine(line, sizeof line)) {
        if (!SendLine(Socket(), line)) return;
        continue;
      }
      if (Socket().LastStatus() != SocketStatus::kNoLine) return;
      Socket().WaitReadable(&StopEvent(), 1000);
    }
    saw_stop = true;
  }
};

class TcpConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(listener_.ListenOn(0)); }

  std::unique_ptr<LineSocket> AcceptOne(LoopbackClient& client) {
    auto socket = std::make_unique<LineSocket>();
    EXPECT_TRUE(client.Connect(listener_.LocalPort()));
    EXPECT_TRUE(WaitUntil([&] { return listener_.AcceptInto(*socket); }));
    return socket;
  }

  ManualClock clock_;
  TcpSocket listener_;
};

TEST_F(TcpConnectionTest, FinishedUntilBegunThenAgainWhenServingEnds) {
  LoopbackClient client;
  EchoConnection connection(AcceptOne(client), 60'000, clock_);
  EXPECT_TRUE(connection.IsFinished());
  ASSERT_TRUE(connection.Begin());
  EXPECT_FALSE(connection.IsFinished());
  EXPECT_EQ(client.ReadLine(), "220 hello");
  ASSERT_TRUE(client.Send("ping\r\n"));
  EXPECT_EQ(client.ReadLine(), "ping");
  client.Close();
  ASSERT_TRUE(WaitUntil([&] { return connection.IsFinished(); }));
  // Counters were refreshed as serving ended, and the socket is closed.
  EXPECT_EQ(connection.BytesReceived(), 6u);
  EXPECT_EQ(connection.BytesSent(), 11u + 6u);
  EXPECT_EQ(connection.Socket().GetState(), TcpSocket::State::kClosed);
}

TEST_F(TcpConnectionTest, IdleMeansLongerThanTheTimeOut) {
  LoopbackClient client;
  EchoConnection connection(AcceptOne(client), 1000, clock_);
  ASSERT_TRUE(connection.Begin());
  // The greeting touches the connection: let that happen before time moves.
  EXPECT_EQ(client.ReadLine(), "220 hello");
  ASSERT_TRUE(WaitUntil([&] { return connection.BytesSent() == 11; }));
  clock_.Advance(1000);
  connection.CheckIdle();
  EXPECT_FALSE(connection.IsFinished());
  clock_.Advance(1);
  connection.CheckIdle();
  EXPECT_TRUE(connection.IsFinished());
}

TEST_F(TcpConnectionTest, OutputTouchesOnlyWhenAsked) {
  LoopbackClient client;
  EchoConnection connection(AcceptOne(client), 1000, clock_);
  connection.SetTouchOnOutput(false);
  ASSERT_TRUE(connection.Begin());
  EXPECT_EQ(client.ReadLine(), "220 hello");
  clock_.Advance(600);
  ASSERT_TRUE(client.Send("a\r\n"));
  EXPECT_EQ(client.ReadLine(), "a");
  clock_.Advance(600);
  connection.CheckIdle();
  EXPECT_TRUE(connection.IsFinished());  // the echo did not count as activity

  LoopbackClient other;
  EchoConnection touched(AcceptOne(other), 1000, clock_);
  ASSERT_TRUE(touched.Begin());
  EXPECT_EQ(other.ReadLine(), "220 hello");
  // A touch also refreshes the counters: wait until it has happened.
  ASSERT_TRUE(WaitUntil([&] { return touched.BytesSent() == 11; }));
  clock_.Advance(600);
  ASSERT_TRUE(other.Send("b\r\n"));
  EXPECT_EQ(other.ReadLine(), "b");
  ASSERT_TRUE(WaitUntil([&] { return touched.BytesSent() == 14; }));
  clock_.Advance(600);
  touched.CheckIdle();
  EXPECT_FALSE(touched.IsFinished());
}

TEST_F(TcpConnectionTest, StopReachesAWaitingConnection) {
  LoopbackClient client;
  EchoConnection connection(AcceptOne(client), 60'000, clock_);
  ASSERT_TRUE(connection.Begin());
  EXPECT_EQ(client.ReadLine(), "220 hello");
  connection.Stop(WorkerThread::kStopWaitMs);
  EXPECT_TRUE(connection.saw_stop);
  EXPECT_TRUE(connection.IsFinished());
  EXPECT_TRUE(client.WaitForClose());
}

TEST_F(TcpConnectionTest, SendsRefuseAfterAStopButFinalSendsDoNot) {
  LoopbackClient client;
  EchoConnection connection(AcceptOne(client), 60'000, clock_);
  connection.RequestStop();
  EXPECT_FALSE(connection.SendLine(connection.Socket(), "200 lost"));
  EXPECT_TRUE(connection.SendFinalLine(connection.Socket(), "421 bye"));
  EXPECT_EQ(client.ReadLine(), "421 bye");
}

TEST_F(TcpConnectionTest, FinalSendToAPeerThatDoesNotReadGivesUp) {
  LoopbackClient client;
  EchoConnection connection(AcceptOne(client), 60'000, clock_);
  const std::string block(64 << 20, 'x');  // far more than the socket buffers hold
  std::atomic<bool> done{false};
  bool result = true;
  std::thread sender([&] {
    result = connection.SendFinalBuffer(connection.Socket(), block.data(), block.size());
    done = true;
  });
  EXPECT_FALSE(WaitUntil([&] { return done.load(); }, 200));
  clock_.Advance(TcpConnection::kSendFinalLimitMs);
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
  sender.join();
  EXPECT_FALSE(result);
}

}  // namespace
}  // namespace quillon::runtime
