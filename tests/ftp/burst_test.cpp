// A burst of clients at once: every one is greeted, logs in, downloads and
// leaves, none waits on another. A listen backlog smaller than the burst
// made the kernel drop handshakes, and clients waited seconds for retries.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "support/ftp_server_fixture.h"

namespace quillon::ftp {
namespace {

using testing::FtpClient;
using testing::LoopbackClient;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr auto kSlowestAllowed = std::chrono::seconds(30);  // sanitizers slow every step
#else
constexpr auto kSlowestAllowed = std::chrono::seconds(5);
#endif

class BurstTest : public testing::FtpServerFixture {};

TEST_F(BurstTest, TwoHundredClientsAtOnceAreAllServedQuickly) {
  constexpr int kClients = 200;
  const std::string content(20'000, 'b');
  testing::WriteWholeFile(dir_.File("root/file.bin"), content);
  ChangeSettings([](settings::ServerSettings& s) {
    s.mUseMaxUsers = false;
    s.mUseMaxUsersPerIP = false;
    // Every client comes from one address: no share before login either.
    std::string message;
    EXPECT_TRUE(s.Extra().Set("prelogin_per_ip", "0", &message)) << message;
    EXPECT_TRUE(s.Extra().Set("passive_per_ip", "0", &message)) << message;
  });
  port_ = Start();

  std::atomic<int> served{0};
  std::atomic<long long> slowest_ms{0};
  std::latch start(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&] {
      start.arrive_and_wait();  // all connect at the same moment
      const auto began = std::chrono::steady_clock::now();
      FtpClient client;
      if (client.Connect(port_).rfind("220 ", 0) != 0) return;
      if (client.Login("bob", "secret").rfind("230-", 0) != 0) return;
      const std::uint16_t data_port = FtpClient::PassivePort(client.Command("PASV"));
      LoopbackClient data;
      if (data_port == 0 || !data.Connect(data_port)) return;
      if (client.Command("RETR file.bin").rfind("150 ", 0) != 0) return;
      if (data.Receive(SIZE_MAX, 10'000) != content) return;
      if (client.Reply() != "226 Transfer complete.") return;
      if (client.Command("QUIT").rfind("221 ", 0) != 0) return;
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - began)
                            .count();
      long long seen = slowest_ms.load();
      while (took > seen && !slowest_ms.compare_exchange_weak(seen, took)) {
      }
      ++served;
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(served.load(), kClients);
  EXPECT_LT(slowest_ms.load(), std::chrono::duration_cast<std::chrono::milliseconds>(kSlowestAllowed).count());
}

}  // namespace
}  // namespace quillon::ftp
