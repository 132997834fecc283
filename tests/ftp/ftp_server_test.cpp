#include "ftp/ftp_server.h"

#include <gtest/gtest.h>

#include "support/ftp_server_fixture.h"
#include "support/wait.h"

namespace quillon::ftp {
namespace {

using testing::FtpClient;
using testing::WaitUntil;

class FtpServerTest : public testing::FtpServerFixture {};

TEST_F(FtpServerTest, ActivateTwiceAndPortChanges) {
  port_ = Start();
  ASSERT_NE(port_, 0);
  EXPECT_TRUE(server_->IsActive());
  std::string error;
  EXPECT_TRUE(server_->Activate(&error));  // already active: nothing to do
  EXPECT_EQ(server_->GetStatus().port, port_);
  EXPECT_TRUE(server_->IsPortAvailable(port_));  // ours

  ChangeSettings([&](settings::ServerSettings& s) { s.mPort = port_; });
  EXPECT_TRUE(server_->ApplyPortChange(&error));
  EXPECT_EQ(server_->GetStatus().port, port_);

  runtime::TcpSocket squatter;
  ASSERT_TRUE(squatter.ListenOn(0));
  EXPECT_FALSE(server_->IsPortAvailable(squatter.LocalPort()));
  ChangeSettings([&](settings::ServerSettings& s) { s.mPort = squatter.LocalPort(); });
  EXPECT_FALSE(server_->ApplyPortChange(&error));
  EXPECT_EQ(error, "Unable to change the FTP Port (already in use)");
  EXPECT_FALSE(server_->IsActive());

  EXPECT_FALSE(server_->Activate(&error));
  EXPECT_EQ(error, "Unable to open the FTP Port (already in use)");
  ChangeSettings([](settings::ServerSettings& s) { s.mPort = 70000; });
  EXPECT_FALSE(server_->Activate(&error));
}

TEST_F(FtpServerTest, SessionIdsCountUpAcrossRestarts) {
  port_ = Start();
  auto first = LoggedIn();
  auto second = LoggedIn();
  auto ids = [&] {
    std::vector<std::uint32_t> out;
    for (const auto& session : server_->SessionList()) out.push_back(session.session_id);
    std::sort(out.begin(), out.end());
    return out;
  };
  EXPECT_EQ(ids(), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(server_->GetStatus().users, 2u);
  server_->Deactivate();
  EXPECT_TRUE(first->WaitForClose());
  EXPECT_EQ(server_->GetStatus().users, 0u);
  port_ = Start();
  auto third = LoggedIn();
  EXPECT_EQ(ids(), (std::vector<std::uint32_t>{3}));
}

TEST_F(FtpServerTest, LoadAndSaveKeepTheLogNumber) {
  server_->Log().SetNumber(7);
  ASSERT_TRUE(server_->Save());
  FtpServer reloaded(clock_, dir_.Path());
  ASSERT_TRUE(reloaded.Load());
  EXPECT_EQ(reloaded.Log().Number(), 7u);
  EXPECT_TRUE(reloaded.Accounts().Exists("bob"));
  {
    runtime::CriticalSection::Guard guard(reloaded.Settings().Lock());
    EXPECT_EQ(reloaded.Settings().mFTPLogStartVal, 7u);
  }
}

TEST_F(FtpServerTest, MaxUsersCapsConnectionsAtTwiceTheLimit) {
  ChangeSettings([](settings::ServerSettings& s) { s.mMaxUsers = 3; });
  port_ = Start();
  std::vector<std::unique_ptr<testing::LoopbackClient>> held;
  for (int i = 0; i < 6; ++i) {
    held.push_back(std::make_unique<testing::LoopbackClient>());
    ASSERT_TRUE(held.back()->Connect(port_));
    EXPECT_EQ(held.back()->ReadLine().substr(0, 4), "220 ");
  }
  testing::LoopbackClient seventh;
  ASSERT_TRUE(seventh.Connect(port_));
  EXPECT_TRUE(seventh.StaysSilent(300));
  held.front()->Close();
  EXPECT_EQ(seventh.ReadLine().substr(0, 4), "220 ");
}

}  // namespace
}  // namespace quillon::ftp
