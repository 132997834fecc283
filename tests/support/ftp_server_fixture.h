// An in-process FTP server in a temporary program folder, listening on an
// ephemeral loopback port, with the account bob/secret rooted at "root".
// Time is a hand-driven clock.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "ftp/ftp_server.h"
#include "platform/tls.h"
#include "support/ftp_client.h"
#include "support/loopback_client.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quillon::testing {

// The replies of a transfer that opened and completed.
inline constexpr const char* kOpenedAndDone =
    "150 Data connetion established, beginning transfer.\n226 Transfer complete.";

class FtpServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"config", "logs", "accountlogs", "temp", "root"})
      std::filesystem::create_directories(dir_.File(folder));
    server_ = std::make_unique<ftp::FtpServer>(clock_, dir_.Path(), writer_);
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

  // A client connected and logged in as `user` (password "secret").
  std::unique_ptr<FtpClient> LoggedInAs(const std::string& user) {
    auto client = std::make_unique<FtpClient>();
    EXPECT_EQ(client->Connect(port_).substr(0, 4), "220 ");
    EXPECT_EQ(client->Login(user, "secret").substr(0, 4), "230-");
    return client;
  }

  // PASV, then a data connection to the announced port.
  static std::unique_ptr<LoopbackClient> Passive(FtpClient& client) {
    const std::uint16_t data_port = FtpClient::PassivePort(client.Command("PASV"));
    EXPECT_NE(data_port, 0);
    auto data = std::make_unique<LoopbackClient>();
    EXPECT_TRUE(data->Connect(data_port));
    return data;
  }

  // A transfer command over a new passive connection. An upload (a command
  // the server opens with 150 while `upload` is set) sends `upload` and
  // closes; anything else collects what arrives into *received (may be
  // null). Returns the replies, joined by "\n".
  static std::string Run(FtpClient& client, const std::string& command, const char* upload,
                         std::string* received = nullptr) {
    return Run(client, command, upload == nullptr ? std::nullopt : std::optional<std::string>(upload),
               received);
  }
  static std::string Run(FtpClient& client, const std::string& command,
                         const std::optional<std::string>& upload, std::string* received = nullptr) {
    auto data = Passive(client);
    std::string replies = client.Command(command);
    if (replies.rfind("150 ", 0) != 0) return replies;
    if (upload) {
      [[maybe_unused]] bool sent = data->Send(*upload);  // a refusal half way may cut it
      data->Close();
    } else {
      const std::string bytes = data->Receive(SIZE_MAX, 10'000);
      if (received != nullptr) *received = bytes;
    }
    return replies + "\n" + client.Reply(10'000);
  }

  // Reads the stored account `name`, lets `change` edit it, and stores it.
  template <typename Change>
  void UpdateAccount(const std::string& name, Change change) {
    accounts::AccountRecord record;
    ASSERT_TRUE(server_->Accounts().GetCopy(name, &record)) << name;
    change(record);
    server_->Accounts().AddOrUpdate(record);
  }

  // Offers TLS in `mode` ("optional", "required") with config/certificate.pem
  // and config/key.pem, made for 127.0.0.1 unless `make` is false.
  void UseTls(const std::string& mode, bool make = true) {
    const std::string certificate = dir_.File("config/certificate.pem");
    const std::string key = dir_.File("config/key.pem");
    std::string error;
    if (make) {
      ASSERT_TRUE(platform::WriteSelfSignedCertificate("127.0.0.1", certificate, key, &error)) << error;
    }
    ChangeSettings([&](settings::ServerSettings& s) {
      for (const auto& [name, value] : {std::pair<const char*, std::string>{"tls", mode},
                                        {"tls_certificate", certificate}, {"tls_key", key}})
        EXPECT_TRUE(s.Extra().Set(name, value, &error)) << error;
    });
  }

  template <typename Change>
  void ChangeSettings(Change change) {
    runtime::CriticalSection::Guard guard(server_->Settings().Lock());
    change(server_->Settings());
  }

  std::string FtpLog() const { return ReadWholeFile(dir_.File("logs/ftp_0.txt")); }

  ManualClock clock_;
  TempDir dir_;
  fileutil::FileWriter* writer_ = nullptr;  // set before SetUp: how the server writes its files
  std::unique_ptr<ftp::FtpServer> server_;
  std::uint16_t port_ = 0;
};

}  // namespace quillon::testing
