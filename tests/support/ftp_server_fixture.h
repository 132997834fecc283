// An in-process FTP server in a temporary program folder, listening on an
// ephemeral loopback port, with the account bob/secret rooted at "root".
// Time is a hand-driven clock.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ftp/ftp_server.h"
#include "support/ftp_client.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quillon::testing {

class FtpServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"config", "logs", "accountlogs", "temp", "root"})
      std::filesystem::create_directories(dir_.File(folder));
    server_ = std::make_unique<ftp::FtpServer>(clock_, dir_.Path());
    {
      runtime::CriticalSection::Guard guard(server_->Settings().Lock());
      server_->Settings().mPort = 0;
    }
    accounts::AccountRecord bob;
    bob.SetName("bob");
    bob.SetPassword("secret");
    bob.mRights = accounts::kAllRights;
    bob.mUseRootFolder = true;
    bob.SetRootFolder(dir_.File("root"));
    server_->Accounts().AddOrUpdate(bob);
  }

  void TearDown() override { server_.reset(); }

  // Activates the server; returns its port.
  std::uint16_t Start() {
    std::string error;
    EXPECT_TRUE(server_->Activate(&error)) << error;
    return server_->GetStatus().port;
  }

  // A client connected and logged in as bob.
  std::unique_ptr<FtpClient> LoggedIn() {
    auto client = std::make_unique<FtpClient>();
    EXPECT_EQ(client->Connect(port_).substr(0, 4), "220 ");
    EXPECT_EQ(client->Login("bob", "secret").substr(0, 4), "230-");
    return client;
  }

  template <typename Change>
  void ChangeSettings(Change change) {
    runtime::CriticalSection::Guard guard(server_->Settings().Lock());
    change(server_->Settings());
  }

  std::string FtpLog() const { return ReadWholeFile(dir_.File("logs/ftp_0.txt")); }

  ManualClock clock_;
  TempDir dir_;
  std::unique_ptr<ftp::FtpServer> server_;
  std::uint16_t port_ = 0;
};

}  // namespace quillon::testing
