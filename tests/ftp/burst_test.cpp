// A burst of clients at once: every one is greeted, logs in, downloads and
// leaves, none waits on another. A listen backlog smaller than the burst
// made the kernel drop handshakes, and clients waited seconds for retries.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <mutex>
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

  // Every step may take as long as the whole is allowed: a step that times
  // out early would fail a burst that is still within the bound.
  const int step_ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(kSlowestAllowed).count());
  enum Step { kGreeting, kLogin, kPassive, kDataConnect, kRetr, kData, kComplete, kQuit, kSteps };
  static constexpr const char* kStepNames[] = {"greeting", "login", "PASV", "data connect", "RETR",
                                               "data", "226", "QUIT"};
  std::atomic<int> failed_at[kSteps] = {};
  std::mutex replies_lock;
  std::string first_reply[kSteps];
  std::atomic<int> served{0};
  std::atomic<long long> slowest_ms{0};
  std::latch start(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&] {
      start.arrive_and_wait();  // all connect at the same moment
      const auto began = std::chrono::steady_clock::now();
      // The first reply that failed a step is kept, to say why.
      auto fail = [&](Step step, const std::string& reply = {}) {
        if (++failed_at[step] == 1) {
          std::lock_guard<std::mutex> guard(replies_lock);
          first_reply[step] = reply.substr(0, 120);
        }
      };
      FtpClient client;
      std::string reply = client.Connect(port_, 1, step_ms);
      if (reply.rfind("220 ", 0) != 0) return fail(kGreeting, reply);
      client.Command("USER bob", step_ms);
      if ((reply = client.Command("PASS secret", step_ms)).rfind("230-", 0) != 0) return fail(kLogin, reply);
      reply = client.Command("PASV", step_ms);
      const std::uint16_t data_port = FtpClient::PassivePort(reply);
      if (data_port == 0) return fail(kPassive, reply);
      LoopbackClient data;
      if (!data.Connect(data_port)) return fail(kDataConnect);
      if ((reply = client.Command("RETR file.bin", step_ms)).rfind("150 ", 0) != 0) return fail(kRetr, reply);
      if (data.Receive(SIZE_MAX, step_ms) != content) return fail(kData);
      if ((reply = client.Reply(step_ms)) != "226 Transfer complete.") return fail(kComplete, reply);
      if ((reply = client.Command("QUIT", step_ms)).rfind("221 ", 0) != 0) return fail(kQuit, reply);
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
  std::string failures;
  for (int step = 0; step < kSteps; ++step)
    if (failed_at[step] > 0)
      failures += std::string(kStepNames[step]) + ": " + std::to_string(failed_at[step]) + " (\"" +
                  first_reply[step] + "\") ";
  EXPECT_EQ(served.load(), kClients) << "failed at " << failures;
  EXPECT_LT(slowest_ms.load(), step_ms);
}

}  // namespace
}  // namespace quillon::ftp
