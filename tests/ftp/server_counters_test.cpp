#include "access/server_counters.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/ftp_server_fixture.h"
#include "support/wait.h"

namespace quillon::ftp {
namespace {

using access::ServerCounters;
using testing::WaitUntil;
using Direction = ServerCounters::Direction;

constexpr int kCompleted = 0, kStopped = 1, kFailed = 2;

class ServerCountersTest : public testing::FtpServerFixture {
 protected:
  void SetUp() override {
    FtpServerFixture::SetUp();
    port_ = Start();
  }
  ServerCounters& Counters() { return server_->Auth().Counters(); }
};

TEST_F(ServerCountersTest, LoginsTransfersAndTheirBytesAreCountedByOutcome) {
  testing::FtpClient refused;
  ASSERT_EQ(refused.Connect(port_).substr(0, 4), "220 ");
  EXPECT_EQ(refused.Login("bob", "wrong").substr(0, 4), "530 ");
  EXPECT_EQ(Counters().FailedLogins(), 1u);
  EXPECT_EQ(Counters().Logins(), 0u);
  auto client = LoggedIn();
  EXPECT_EQ(Counters().Logins(), 1u);

  EXPECT_EQ(Run(*client, "STOR whole.bin", std::string(10'000, 'u')), testing::kOpenedAndDone);
  std::string received;
  EXPECT_EQ(Run(*client, "RETR whole.bin", nullptr, &received), testing::kOpenedAndDone);
  EXPECT_EQ(received.size(), 10'000u);
  // A listing is no file transfer.
  EXPECT_EQ(Run(*client, "LIST", nullptr).substr(0, 4), "150 ");

  // An upload stopped half way by ABOR.
  auto data = Passive(*client);
  EXPECT_EQ(client->Command("STOR part.bin"), "150 Data connetion established, beginning transfer.");
  ASSERT_TRUE(data->Send(std::string(4'000, 'p')));
  ASSERT_TRUE(WaitUntil([&] { return Counters().TransferBytes(Direction::kUpload) == 14'000; }));
  EXPECT_EQ(client->Command("ABOR"), "226 Transfer complete.");
  EXPECT_EQ(client->Reply(), "426 Transfer successfully aborted.");
  data.reset();

  // A download whose client goes away fails.
  testing::WriteWholeFile(dir_.File("root/big.bin"), std::string(16 << 20, 'b'));
  data = Passive(*client);
  EXPECT_EQ(client->Command("RETR big.bin"), "150 Data connetion established, beginning transfer.");
  EXPECT_FALSE(data->Receive(1000, 5'000).empty());
  data->Close();
  EXPECT_EQ(client->Reply(10'000).substr(0, 4), "426 ");

  EXPECT_EQ(Counters().TransfersEnded(Direction::kUpload, kCompleted), 1u);
  EXPECT_EQ(Counters().TransfersEnded(Direction::kUpload, kStopped), 1u);
  EXPECT_EQ(Counters().TransfersEnded(Direction::kUpload, kFailed), 0u);
  EXPECT_EQ(Counters().TransfersEnded(Direction::kDownload, kCompleted), 1u);
  EXPECT_EQ(Counters().TransfersEnded(Direction::kDownload, kStopped), 0u);
  EXPECT_EQ(Counters().TransfersEnded(Direction::kDownload, kFailed), 1u);
  EXPECT_EQ(Counters().TransferBytes(Direction::kUpload), 14'000u);
  // What the failed download sent before it failed counts too.
  EXPECT_GT(Counters().TransferBytes(Direction::kDownload), 10'000u);
  EXPECT_LT(Counters().TransferBytes(Direction::kDownload), 10'000u + (16u << 20));
  EXPECT_EQ(server_->PassivePortsInUse(), 0u);
}

TEST_F(ServerCountersTest, PassivePortsInUseFollowPasvAndTheTransfer) {
  auto client = LoggedIn();
  auto other = LoggedIn();
  EXPECT_EQ(client->Command("PASV").substr(0, 4), "227 ");
  EXPECT_EQ(other->Command("PASV").substr(0, 4), "227 ");
  EXPECT_EQ(server_->PassivePortsInUse(), 2u);
  EXPECT_EQ(Run(*client, "STOR x.bin", "x"), testing::kOpenedAndDone);  // a new PASV replaces the first
  EXPECT_TRUE(WaitUntil([&] { return server_->PassivePortsInUse() == 1; }));
  other->Close();
  EXPECT_TRUE(WaitUntil([&] { return server_->PassivePortsInUse() == 0; }));
}

}  // namespace
}  // namespace quillon::ftp
