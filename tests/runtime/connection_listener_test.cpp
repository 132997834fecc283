#include "runtime/connection_listener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "platform/net.h"
#include "support/loopback_client.h"
#include "support/manual_clock.h"
#include "support/wait.h"

namespace quillon::runtime {
namespace {

using testing::LoopbackClient;
using testing::ManualClock;
using testing::WaitUntil;

// Greets, then reads bytes (touching after each read, not after output) until the peer leaves
// or a stop is requested.
class SinkConnection final : public TcpConnection {
 public:
  SinkConnection(std::unique_ptr<LineSocket> socket, std::uint32_t idle_ms,
                 platform::Clock& clock, std::atomic<int>* stops_seen)
      : TcpConnection(std::move(socket), idle_ms, clock), stops_seen_(stops_seen) {
    // Activity is what the test says it is: construction and each read.
    SetTouchOnOutput(false);
  }
  ~SinkConnection() override { Stop(kStopWaitMs); }

  // The peer has sent something.
  bool Heard() const { return heard_.load(); }

 protected:
  void Serve() override {
    if (!SendLine(Socket(), "220 ready")) return;
    char chunk[4096];
    while (!StopRequested()) {
      std::size_t length = sizeof chunk;
      if (!Socket().Receive(chunk, &length)) return;
      if (length > 0) {
        heard_ = true;
        Touch();
        continue;
      }
      Socket().WaitReadable(&StopEvent(), 1000);
    }
    ++*stops_seen_;
  }

 private:
  std::atomic<int>* stops_seen_;
  std::atomic<bool> heard_{false};
};

class TestListener final : public ConnectionListener {
 public:
  TestListener(std::uint32_t cap, platform::Clock& clock, std::uint32_t idle_ms = 60'000)
      : ConnectionListener(cap, clock), clock_(clock), idle_ms_(idle_ms) {}
  ~TestListener() override { Stop(); }

  std::atomic<int> created{0};
  std::atomic<int> stops_seen{0};
  std::atomic<bool> refuse{false};
  std::atomic<int> accept_failures{0};
  // At the cap, connections whose peer has sent nothing give way.
  std::atomic<bool> silent_give_way{false};

  // The connections in the table whose peer has sent something.
  int HeardCount() {
    int heard = 0;
    ForEachConnection([&heard](TcpConnection& connection) {
      heard += static_cast<SinkConnection&>(connection).Heard() ? 1 : 0;
    });
    return heard;
  }

 protected:
  void OnAcceptFailure(int) override { ++accept_failures; }
  bool MayGiveWayToNewcomer(TcpConnection& connection) override {
    return silent_give_way && !static_cast<SinkConnection&>(connection).Heard();
  }

  std::unique_ptr<TcpConnection> CreateConnection(std::unique_ptr<LineSocket> accepted) override {
    if (refuse) return nullptr;
    auto connection = std::make_unique<SinkConnection>(std::move(accepted), idle_ms_, clock_,
                                                       &stops_seen);
    if (!connection->Begin()) return nullptr;
    ++created;
    return connection;
  }

 private:
  platform::Clock& clock_;
  const std::uint32_t idle_ms_;
};

class ConnectionListenerTest : public ::testing::Test {
 protected:
  ManualClock clock_;
};

TEST_F(ConnectionListenerTest, CapHoldsBackTheNextClientUntilOneIsReaped) {
  TestListener listener(6, clock_);
  ASSERT_TRUE(listener.Start(0));
  const std::uint16_t port = listener.LocalPort();
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (int i = 0; i < 6; ++i) {
    clients.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(clients.back()->Connect(port));
    EXPECT_EQ(clients.back()->ReadLine(), "220 ready");
  }
  EXPECT_EQ(listener.ConnectionCount(), 6u);

  LoopbackClient seventh;
  ASSERT_TRUE(seventh.Connect(port));  // waits in the backlog
  EXPECT_TRUE(seventh.StaysSilent(300));
  EXPECT_EQ(listener.ConnectionCount(), 6u);

  clients.front()->Close();
  EXPECT_EQ(seventh.ReadLine(), "220 ready");
  EXPECT_EQ(listener.ConnectionCount(), 6u);
  EXPECT_TRUE(WaitUntil([&] { return listener.created == 7; }));
}

TEST_F(ConnectionListenerTest, AtTheCapTheOldestConnectionThatMayGiveWayMakesRoom) {
  TestListener listener(3, clock_);
  listener.silent_give_way = true;
  ASSERT_TRUE(listener.Start(0));
  const std::uint16_t port = listener.LocalPort();
  // The oldest has spoken: it stays. The two after it are silent.
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(clients.back()->Connect(port));
    EXPECT_EQ(clients.back()->ReadLine(), "220 ready");
  }
  ASSERT_TRUE(clients[0]->Send("hello\r\n"));
  ASSERT_TRUE(WaitUntil([&] { return listener.HeardCount() == 1; }));
  struct Step {
    std::size_t dropped;  // the client that gives way to the newcomer
    bool newcomer_speaks;
  };
  const Step steps[] = {{1, false}, {2, true}, {3, false}};
  for (const Step& step : steps) {
    clients.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(clients.back()->Connect(port));
    EXPECT_EQ(clients.back()->ReadLine(), "220 ready") << step.dropped;
    EXPECT_TRUE(clients[step.dropped]->WaitForClose(3000)) << step.dropped;
    EXPECT_EQ(listener.ConnectionCount(), 3u);
    if (step.newcomer_speaks) {
      ASSERT_TRUE(clients.back()->Send("hi\r\n"));
    }
  }
  // Now everyone has spoken: the next one waits in the backlog, and the
  // first client, which spoke at once, is still served.
  ASSERT_TRUE(clients[5]->Send("hi\r\n"));
  ASSERT_TRUE(WaitUntil([&] { return listener.HeardCount() == 3; }));
  LoopbackClient waiting;
  ASSERT_TRUE(waiting.Connect(port));
  EXPECT_TRUE(waiting.StaysSilent(300));
  EXPECT_TRUE(clients[0]->StaysSilent(10));
  EXPECT_EQ(listener.created, 6);
  EXPECT_TRUE(WaitUntil([&] { return listener.stops_seen == 3; }));  // the three that gave way were asked to stop
  clients[0]->Close();
  EXPECT_EQ(waiting.ReadLine(), "220 ready");
}

TEST_F(ConnectionListenerTest, RunningOutOfDescriptorsPausesInsteadOfSpinning) {
#ifdef __SANITIZE_ADDRESS__
  // The sanitizer runtimes open descriptors of their own for their checks.
  GTEST_SKIP() << "not with the sanitizers, which fail without descriptors";
#endif
  TestListener listener(10, clock_);
  ASSERT_TRUE(listener.Start(0));
  std::uint64_t previous = 0;
  // Low enough to run out of quickly, and below any hard limit.
  ASSERT_TRUE(platform::SetDescriptorLimit(256, &previous));
  // Take every descriptor left, then give one back for the client.
  std::vector<std::unique_ptr<TcpSocket>> hogs;
  for (int i = 0; i < 5000; ++i) {
    auto hog = std::make_unique<TcpSocket>();
    if (!hog->Create()) break;
    hogs.push_back(std::move(hog));
  }
  ASSERT_FALSE(hogs.empty());
  hogs.pop_back();
  LoopbackClient client;
  const bool connected = client.Connect(listener.LocalPort());
  std::clock_t cpu_before = std::clock();
  if (connected) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu_before) / CLOCKS_PER_SEC;
  hogs.clear();
  ASSERT_TRUE(platform::SetDescriptorLimit(previous, nullptr));
  ASSERT_TRUE(connected);
  // The pending connection keeps the socket readable; the loop must not
  // poll it over and over while accept cannot take it.
  EXPECT_LT(cpu_ms, 150.0);
  EXPECT_EQ(listener.accept_failures, 1);
  // Once descriptors are free again the waiting client is served.
  EXPECT_EQ(client.ReadLine(), "220 ready");
}

TEST_F(ConnectionListenerTest, StartTwiceKeepsTheFirstListener) {
  TestListener listener(10, clock_);
  ASSERT_TRUE(listener.Start(0));
  const std::uint16_t port = listener.LocalPort();
  EXPECT_FALSE(listener.Start(0));
  EXPECT_EQ(listener.LocalPort(), port);
  LoopbackClient client;
  ASSERT_TRUE(client.Connect(port));
  EXPECT_EQ(client.ReadLine(), "220 ready");
}

TEST_F(ConnectionListenerTest, HeldAcceptsLeavePeersInTheBacklogUntilReleased) {
  ConnectionListener::HoldAccepts();
  struct Release {
    ~Release() { ConnectionListener::ReleaseAccepts(); }
  } release_at_end;
  TestListener ftp(10, clock_), admin(10, clock_);
  ASSERT_TRUE(ftp.Start(0));
  ASSERT_TRUE(admin.Start(0));
  LoopbackClient early, early_admin;
  ASSERT_TRUE(early.Connect(ftp.LocalPort()));  // the port is open
  ASSERT_TRUE(early_admin.Connect(admin.LocalPort()));
  EXPECT_TRUE(early.StaysSilent(600));
  EXPECT_EQ(ftp.created, 0);
  EXPECT_EQ(admin.created, 0);

  ConnectionListener::ReleaseAccepts();
  EXPECT_EQ(early.ReadLine(), "220 ready");
  EXPECT_EQ(early_admin.ReadLine(), "220 ready");
  // The greeting goes out from the connection's own thread, which may run
  // before the listener has counted the connection.
  EXPECT_TRUE(WaitUntil([&] { return ftp.created == 1; }));
}

TEST_F(ConnectionListenerTest, ListenAddressesChooseWhereClientsMayComeIn) {
  TestListener listener(10, clock_);
  listener.SetListenAddresses({"127.0.0.1", "::1"});
  ASSERT_TRUE(listener.Start(0));
  const std::uint16_t port = listener.LocalPort();
  LoopbackClient v4, v6;
  ASSERT_TRUE(v4.Connect(port));
  EXPECT_EQ(v4.ReadLine(), "220 ready");
  ASSERT_TRUE(v6.ConnectIpv6(port));
  EXPECT_EQ(v6.ReadLine(), "220 ready");

  // Other addresses on the same port: the sockets are opened again.
  listener.SetListenAddresses({"::1"});
  ASSERT_TRUE(listener.ChangePort(port)) << listener.OpenErrorNumber();
  EXPECT_EQ(listener.LocalPort(), port);
  EXPECT_FALSE(v4.Connect(port, 500));
  ASSERT_TRUE(v6.ConnectIpv6(port));
  EXPECT_EQ(v6.ReadLine(), "220 ready");

  // An address this machine does not have: the change fails and the old
  // sockets still serve.
  listener.SetListenAddresses({"192.0.2.1"});
  EXPECT_FALSE(listener.ChangePort(port));
  EXPECT_NE(listener.OpenErrorNumber(), 0);
  ASSERT_TRUE(v6.ConnectIpv6(port));
  EXPECT_EQ(v6.ReadLine(), "220 ready");

  // None: every address of both families.
  listener.SetListenAddresses({});
  ASSERT_TRUE(listener.ChangePort(port)) << listener.OpenErrorNumber();
  ASSERT_TRUE(v4.Connect(port));
  EXPECT_EQ(v4.ReadLine(), "220 ready");
}

TEST_F(ConnectionListenerTest, StartOnATakenPortRunsNothing) {
  TestListener first(10, clock_);
  ASSERT_TRUE(first.Start(0));
  TestListener second(10, clock_);
  EXPECT_FALSE(second.Start(first.LocalPort()));
  EXPECT_FALSE(second.IsRunning());
  EXPECT_EQ(second.LocalPort(), 0);
}

TEST_F(ConnectionListenerTest, ChangePortKeepsTheOldSocketWhenTheNewPortIsTaken) {
  TestListener listener(10, clock_);
  EXPECT_FALSE(listener.ChangePort(testing::UnusedPort()));  // not running
  ASSERT_TRUE(listener.Start(0));
  const std::uint16_t port = listener.LocalPort();

  EXPECT_TRUE(listener.ChangePort(port));  // same port: nothing reopened
  EXPECT_EQ(listener.LocalPort(), port);

  TcpSocket squatter;
  ASSERT_TRUE(squatter.ListenOn(0));
  EXPECT_FALSE(listener.ChangePort(squatter.LocalPort()));
  EXPECT_EQ(listener.LocalPort(), port);
  LoopbackClient client;
  ASSERT_TRUE(client.Connect(port));
  EXPECT_EQ(client.ReadLine(), "220 ready");

  const std::uint16_t fresh = testing::UnusedPort();
  ASSERT_TRUE(listener.ChangePort(fresh));
  EXPECT_EQ(listener.LocalPort(), fresh);
  LoopbackClient moved;
  ASSERT_TRUE(moved.Connect(fresh));
  EXPECT_EQ(moved.ReadLine(), "220 ready");
  LoopbackClient stale;
  EXPECT_FALSE(stale.Connect(port, 500));
  // The connection accepted on the old port lives on.
  EXPECT_EQ(listener.ConnectionCount(), 2u);
}

TEST_F(ConnectionListenerTest, TrafficIsRoundedToTheNearestKbAndSurvivesReaping) {
  TestListener listener(10, clock_);
  ASSERT_TRUE(listener.Start(0));
  LoopbackClient client;
  ASSERT_TRUE(client.Connect(listener.LocalPort()));
  EXPECT_EQ(client.ReadLine(), "220 ready");  // 11 bytes sent by the server

  ASSERT_TRUE(client.Send(std::string(511, 'a')));
  ASSERT_TRUE(WaitUntil([&] { return listener.KbReceived() == 0 && listener.ConnectionCount() == 1; }));
  EXPECT_EQ(listener.KbReceived(), 0u);
  EXPECT_EQ(listener.KbSent(), 0u);
  ASSERT_TRUE(client.Send("b"));
  ASSERT_TRUE(WaitUntil([&] { return listener.KbReceived() == 1; }));

  ASSERT_TRUE(client.Send(std::string(2048, 'c')));  // 2560 bytes: 3 KB (2.5 rounds up)
  ASSERT_TRUE(WaitUntil([&] { return listener.KbReceived() == 3; }));
  client.Close();
  ASSERT_TRUE(WaitUntil([&] { return listener.ConnectionCount() == 0; }));
  EXPECT_EQ(listener.KbReceived(), 3u);  // now from the reaped totals
}

TEST_F(ConnectionListenerTest, IdleConnectionIsReapedAndItsThreadSeesTheStop) {
  TestListener listener(10, clock_, 1000);
  ASSERT_TRUE(listener.Start(0));
  LoopbackClient client;
  ASSERT_TRUE(client.Connect(listener.LocalPort()));
  EXPECT_EQ(client.ReadLine(), "220 ready");
  ASSERT_EQ(listener.ConnectionCount(), 1u);

  clock_.Advance(1000);
  EXPECT_FALSE(WaitUntil([&] { return listener.ConnectionCount() == 0; }, 200));
  clock_.Advance(1);
  ASSERT_TRUE(WaitUntil([&] { return listener.ConnectionCount() == 0; }));
  // Reaped connections wind down just after leaving the table.
  EXPECT_TRUE(WaitUntil([&] { return listener.stops_seen == 1; }));
  EXPECT_TRUE(client.WaitForClose());
}

// Counts how often anyone reads the clock, to see how often the accept loop
// passes.
class CountingClock final : public platform::Clock {
 public:
  std::atomic<int> reads{0};
  std::uint32_t TickMs() override {
    ++reads;
    return base_.TickMs();
  }
  std::uint64_t MonotonicMs() override { return base_.MonotonicMs(); }
  std::int64_t WallTimeNs() override { return base_.WallTimeNs(); }
  void SleepMs(std::uint32_t ms) override { base_.SleepMs(ms); }

 private:
  ManualClock base_;
};

TEST_F(ConnectionListenerTest, AnIdleListenerSleepsUntilItsNextDeadline) {
  CountingClock clock;
  TestListener listener(10, clock, 60'000);
  ASSERT_TRUE(listener.Start(0));
  LoopbackClient client;
  ASSERT_TRUE(client.Connect(listener.LocalPort()));
  EXPECT_EQ(client.ReadLine(), "220 ready");
  ASSERT_TRUE(WaitUntil([&] { return listener.ConnectionCount() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // A quiet connection a minute from its time-out wakes nobody.
  const int before = clock.reads;
  EXPECT_TRUE(client.StaysSilent(1500));
  EXPECT_LE(clock.reads - before, 1);
}

TEST_F(ConnectionListenerTest, RefusedConnectionIsDroppedAndTheLoopGoesOn) {
  TestListener listener(10, clock_);
  ASSERT_TRUE(listener.Start(0));
  listener.refuse = true;
  LoopbackClient dropped;
  ASSERT_TRUE(dropped.Connect(listener.LocalPort()));
  EXPECT_TRUE(dropped.WaitForClose());
  listener.refuse = false;
  LoopbackClient kept;
  ASSERT_TRUE(kept.Connect(listener.LocalPort()));
  EXPECT_EQ(kept.ReadLine(), "220 ready");
  EXPECT_EQ(listener.ConnectionCount(), 1u);
}

TEST_F(ConnectionListenerTest, StopDeletesEveryConnectionAndCanStartAgain) {
  TestListener listener(10, clock_);
  ASSERT_TRUE(listener.Start(0));
  std::uint16_t port = listener.LocalPort();
  LoopbackClient a, b;
  ASSERT_TRUE(a.Connect(port));
  ASSERT_TRUE(b.Connect(port));
  EXPECT_EQ(a.ReadLine(), "220 ready");
  EXPECT_EQ(b.ReadLine(), "220 ready");
  ASSERT_TRUE(a.Send(std::string(4096, 'x')));
  ASSERT_TRUE(WaitUntil([&] { return listener.KbReceived() == 4; }));

  listener.Stop();
  EXPECT_FALSE(listener.IsRunning());
  EXPECT_EQ(listener.ConnectionCount(), 0u);
  EXPECT_EQ(listener.stops_seen, 2);
  EXPECT_TRUE(a.WaitForClose());
  EXPECT_TRUE(b.WaitForClose());
  // Traffic of connections deleted by a stop is not kept.
  EXPECT_EQ(listener.KbReceived(), 0u);

  ASSERT_TRUE(listener.Start(port));
  LoopbackClient c;
  ASSERT_TRUE(c.Connect(port));
  EXPECT_EQ(c.ReadLine(), "220 ready");
}

TEST_F(ConnectionListenerTest, RaisingTheCapAdmitsAWaitingClient) {
  TestListener listener(1, clock_);
  ASSERT_TRUE(listener.Start(0));
  LoopbackClient first, second;
  ASSERT_TRUE(first.Connect(listener.LocalPort()));
  EXPECT_EQ(first.ReadLine(), "220 ready");
  ASSERT_TRUE(second.Connect(listener.LocalPort()));
  EXPECT_TRUE(second.StaysSilent(200));
  listener.SetCap(2);
  EXPECT_EQ(second.ReadLine(), "220 ready");
}

}  // namespace
}  // namespace quillon::runtime
