// Speed limits measured in real time over loopback. Each test moves about
// 2 MB through a 200 KB/s limit, so it runs for about nine seconds: the
// limiter lets the first second's worth through at once, then meters.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "ftp/ftp_server.h"
#include "support/ftp_client.h"
#include "support/temp_dir.h"

namespace quillon::ftp {
namespace {

using testing::FtpClient;
using testing::LoopbackClient;

constexpr std::uint32_t kLimitKb = 200;
constexpr std::size_t kTotal = 2 << 20;
// (2 MiB - one second's burst) / 200 KB/s = 9.24 s.
constexpr double kExpectedSeconds = double(kTotal - kLimitKb * 1024) / (kLimitKb * 1024);

class SpeedLimitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"config", "logs", "accountlogs", "temp", "root"})
      std::filesystem::create_directories(dir_.File(folder));
    testing::WriteWholeFile(dir_.File("root/file.bin"), std::string(kTotal, 'f'));
    server_ = std::make_unique<FtpServer>(clock_, dir_.Path());
    runtime::CriticalSection::Guard guard(server_->Settings().Lock());
    server_->Settings().mPort = 0;
  }

  void AddAccount(const char* name, bool limited) {
    accounts::AccountRecord record;
    record.SetName(name);
    record.SetPassword("pw");
    record.mUseRootFolder = true;
    record.SetRootFolder(dir_.File("root"));
    record.mUseMaxDownloadSpeed = limited;
    record.mMaxDownloadSpeed = kLimitKb;
    server_->Accounts().AddOrUpdate(record);
  }

  std::uint16_t Start() {
    std::string error;
    EXPECT_TRUE(server_->Activate(&error)) << error;
    return server_->GetStatus().port;
  }

  // Downloads `bytes` of file.bin (from the end, by REST) as `user`.
  static std::size_t Download(std::uint16_t port, const char* user, std::size_t bytes) {
    FtpClient client;
    client.Connect(port);
    if (client.Login(user, "pw").rfind("230-", 0) != 0) return 0;
    client.Command("REST " + std::to_string(kTotal - bytes));
    LoopbackClient data;
    if (!data.Connect(FtpClient::PassivePort(client.Command("PASV")))) return 0;
    client.Command("RETR file.bin");
    const std::size_t got = data.Receive(SIZE_MAX, 30'000).size();
    client.Reply();
    return got;
  }

  static double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  platform::SystemClock clock_;
  testing::TempDir dir_;
  std::unique_ptr<FtpServer> server_;
};

TEST_F(SpeedLimitTest, AccountLimitHolds) {
  AddAccount("slow", true);
  const std::uint16_t port = Start();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Download(port, "slow", kTotal), kTotal);
  const double seconds = SecondsSince(start);
  EXPECT_GT(seconds, kExpectedSeconds * 0.95);
  EXPECT_LT(seconds, kExpectedSeconds * 1.25);
}

TEST_F(SpeedLimitTest, TwoSessionsShareTheAccountLimit) {
  AddAccount("slow", true);
  const std::uint16_t port = Start();
  const auto start = std::chrono::steady_clock::now();
  std::size_t first = 0, second = 0;
  std::thread a([&] { first = Download(port, "slow", kTotal / 2); });
  std::thread b([&] { second = Download(port, "slow", kTotal / 2); });
  a.join();
  b.join();
  EXPECT_EQ(first + second, kTotal);
  EXPECT_GT(SecondsSince(start), kExpectedSeconds * 0.95);
}

TEST_F(SpeedLimitTest, ServerLimitCapsTheSumOfTwoAccounts) {
  AddAccount("one", false);
  AddAccount("two", false);
  {
    runtime::CriticalSection::Guard guard(server_->Settings().Lock());
    server_->Settings().mUseMaxDownloadSpeed = true;
    server_->Settings().SetMaxDownloadSpeedKb(kLimitKb);
  }
  const std::uint16_t port = Start();
  const auto start = std::chrono::steady_clock::now();
  std::size_t first = 0, second = 0;
  std::thread a([&] { first = Download(port, "one", kTotal / 2); });
  std::thread b([&] { second = Download(port, "two", kTotal / 2); });
  a.join();
  b.join();
  EXPECT_EQ(first + second, kTotal);
  const double seconds = SecondsSince(start);
  EXPECT_GT(seconds, kExpectedSeconds * 0.95);
  EXPECT_LT(seconds, kExpectedSeconds * 1.25);
}

}  // namespace
}  // namespace quillon::ftp
