#include "ftp/ftp_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/tls.h"
#include "fileutil/file_writer.h"

#include "support/ftp_server_fixture.h"
#include "support/tls_client.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace quillon::ftp {
namespace {

using testing::FtpClient;
using testing::WaitUntil;

class FtpServerTest : public testing::FtpServerFixture {};

// A slow disk: every write waits until the test releases it.
class HeldWriter : public fileutil::FileWriter {
 public:
  std::atomic<int> held{0};
  platform::Event release;

 protected:
  bool WriteContents(fileutil::FileHandle& file, std::string_view bytes) override {
    ++held;
    release.Wait(10'000);
    return FileWriter::WriteContents(file, bytes);
  }
};

class FtpServerSaveTest : public testing::FtpServerFixture {
 protected:
  FtpServerSaveTest() { writer_ = &held_; }
  HeldWriter held_;
};

TEST_F(FtpServerSaveTest, SlowDisksDoNotHoldUpLoginsOrSettings) {
  UpdateAccount("bob", [](accounts::AccountRecord& bob) { bob.SetName("alice"); });
  port_ = Start();
  // Bob's last logout saves the accounts; the disk takes its time.
  EXPECT_EQ(LoggedIn()->Command("QUIT"), "221 Thanks for visiting.");
  ASSERT_TRUE(WaitUntil([&] { return held_.held >= 1; }));
  const auto started = std::chrono::steady_clock::now();
  auto alice = LoggedInAs("alice");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));

  // A whole save of the server: the settings stay readable meanwhile.
  std::thread saver([&] { [[maybe_unused]] bool saved = server_->Save(); });
  ASSERT_TRUE(WaitUntil([&] { return held_.held >= 2; }));
  std::atomic<bool> read{false};
  std::thread reader([&] {
    runtime::CriticalSection::Guard guard(server_->Settings().Lock());
    read = true;
  });
  EXPECT_TRUE(WaitUntil([&] { return read.load(); }, 2000));
  held_.release.Set();
  reader.join();
  saver.join();
}

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

TEST_F(FtpServerTest, AnAccountDatabaseOutOfReachRefusesLoginsButNotTheStart) {
  ASSERT_TRUE(server_->Save());
  const std::string conf = dir_.File("config/quillon.conf");
  // Nothing listens on port 1: every connection attempt is refused at once.
  testing::WriteWholeFile(conf, "account_store = postgresql\npostgresql_url = postgresql://ftp@127.0.0.1:1/ftp\n");
  FtpServer shared(clock_, dir_.Path());
  ASSERT_TRUE(shared.Load());
  EXPECT_TRUE(shared.HasSharedStore());
  EXPECT_FALSE(shared.Accounts().Exists("bob"));  // not taken from the files
  {
    runtime::CriticalSection::Guard guard(shared.Settings().Lock());
    shared.Settings().mPort = 0;
  }
  std::string error;
  ASSERT_TRUE(shared.Activate(&error)) << error;
  FtpClient client;
  EXPECT_EQ(client.Connect(shared.GetStatus().port).substr(0, 4), "220 ");
  EXPECT_EQ(client.Command("USER bob").substr(0, 4), "331 ");
  EXPECT_EQ(client.Command("PASS secret"),
            "530 Login refused: the account database cannot be reached, please try again later. "
            "Restart from USER.");
  // Said once, not at every attempt to connect again: three attempts follow
  // within 3.5 s (at once, after 1 s, after 2 s more). Only a wait shows
  // that nothing more was written.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  const std::string log = testing::ReadWholeFile(shared.Log().CurrentPath());
  const std::string lost = "Account Database Lost: Reason=[";
  ASSERT_NE(log.find(lost), std::string::npos) << log;
  EXPECT_EQ(log.find(lost, log.find(lost) + 1), std::string::npos) << log;

  // A database asked for without its address does stop the start.
  testing::WriteWholeFile(conf, "account_store = postgresql\n");
  FtpServer unset(clock_, dir_.Path());
  EXPECT_FALSE(unset.Load());
}

TEST_F(FtpServerTest, DamagedStoresBecomeNoticesAndSurviveTheNextSave) {
  // 40 records, the sixth's version flipped from 1 to 3, in each store file.
  for (const std::string name : {"accounts.dta", "groups.dta"}) {
    accounts::AccountStore store(dir_.File("config/" + name));
    for (int i = 10; i < 50; ++i) {
      accounts::AccountRecord record;
      record.SetName("name" + std::to_string(i));
      store.AddOrUpdate(record);
    }
    std::string bytes = store.Serialise();
    bytes[accounts::AccountStore::kHeaderBytes + 5 * accounts::AccountStore::kFixedRecordBytes] ^= 2;
    testing::WriteWholeFile(dir_.File("config/" + name), bytes);
  }
  const std::string accounts = testing::ReadWholeFile(dir_.File("config/accounts.dta"));
  const std::string groups = testing::ReadWholeFile(dir_.File("config/groups.dta"));
  EXPECT_FALSE(server_->Load());  // no settings file yet
  ASSERT_EQ(server_->DamageFoundByLoad().size(), 2u);
  EXPECT_EQ(server_->DamageFoundByLoad()[1].substr(0, 51),
            "config/groups.dta: 5 of 40 records read; the origin");
  EXPECT_EQ(DamageWarningLine(server_->DamageFoundByLoad()[0]).substr(0, 64),
            "#WARNING - DAMAGED FILE (config/accounts.dta: 5 of 40 records re");
  EXPECT_FALSE(server_->Load());  // loaded again (a retry): the same two notices
  const std::vector<DamageNotices::Notice> notices = server_->Notices().Shown();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[1].file, "config/groups.dta");
  EXPECT_EQ(server_->Groups().Count(), 5u);

  ASSERT_TRUE(server_->Save());
  std::map<std::string, std::string> copies;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.File("config"))) {
    const std::string file = entry.path().filename();
    if (file.find(".damaged-") != std::string::npos)
      copies[file.substr(0, file.find('.') + 4)] = testing::ReadWholeFile(entry.path());
  }
  EXPECT_EQ(copies, (std::map<std::string, std::string>{{"accounts.dta", accounts},
                                                         {"groups.dta", groups}}));
  // The saved files are sound; the notices stay until acknowledged.
  ASSERT_TRUE(server_->Load());
  EXPECT_TRUE(server_->DamageFoundByLoad().empty());
  EXPECT_TRUE(server_->Notices().Acknowledge(notices[0].number));
  EXPECT_FALSE(server_->Notices().Acknowledge(notices[0].number));
  EXPECT_EQ(server_->Notices().Shown().size(), 1u);
}

TEST_F(FtpServerTest, SavesHoldTheBalancesOfAccountsStillLoggedIn) {
  port_ = Start();
  auto client = LoggedIn();
  ASSERT_TRUE(server_->Auth().SetLiveCredits("bob", 42));
  ASSERT_TRUE(server_->Save());
  accounts::AccountStore saved(dir_.File("config/accounts.dta"));
  accounts::AccountRecord bob;
  ASSERT_TRUE(saved.Load() && saved.GetCopy("bob", &bob));
  EXPECT_EQ(bob.mCurrentCredits, 42u);
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

TEST_F(FtpServerTest, CertificateProblemsStopActivationWithTheReason) {
  UseTls("optional", false);
  const std::string certificate = dir_.File("config/certificate.pem");
  std::string error;
  EXPECT_FALSE(server_->Activate(&error));
  EXPECT_EQ(error, "Unable to read the TLS certificate " + certificate + ": No such file or directory");
  EXPECT_FALSE(server_->IsActive());
  EXPECT_NE(FtpLog().find(error), std::string::npos);

  ASSERT_TRUE(platform::WriteSelfSignedCertificate("localhost", certificate, dir_.File("config/key.pem"), &error))
      << error;
  port_ = Start();
  ASSERT_NE(port_, 0);
  EXPECT_TRUE(server_->Tls().Get().context != nullptr);
}

TEST_F(FtpServerTest, TlsCommandsOutOfOrderAndRequiredTls) {
  // Off: the commands are unknown, as they were.
  port_ = Start();
  FtpClient plain;
  plain.Connect(port_);
  EXPECT_EQ(plain.Command("AUTH TLS").substr(0, 4), "530 ");  // as any command before USER
  EXPECT_EQ(plain.Command("FEAT").find("AUTH"), std::string::npos);
  plain.Close();
  server_->Deactivate();

  UseTls("required");
  port_ = Start();
  FtpClient client;
  client.Connect(port_);
  const std::string feat = client.Command("FEAT");
  EXPECT_NE(feat.find("\n AUTH TLS\n PBSZ\n PROT\n"), std::string::npos) << feat;
  EXPECT_EQ(client.Command("USER bob"), "530 This server requires TLS: send AUTH TLS before USER.");
  EXPECT_EQ(client.Command("PASS secret").substr(0, 4), "530 ");
  // A client that sends no handshake after AUTH is let go, not waited for.
  EXPECT_EQ(client.Command("AUTH TLS"), "234 Proceed with TLS negotiation.");
  ASSERT_TRUE(client.SendRaw("USER bob\r\n"));
  EXPECT_TRUE(client.WaitForClose());
  EXPECT_TRUE(WaitUntil([&] { return FtpLog().find("TLS Failed: Reason=[") != std::string::npos; }));
}

TEST_F(FtpServerTest, TheImplicitTlsPortSpeaksTlsFromTheFirstByteAndFollowsThePlainPort) {
  UseTls("off");
  const std::uint16_t implicit = testing::UnusedPort();
  ChangeSettings([&](settings::ServerSettings& s) {
    std::string message;
    EXPECT_TRUE(s.Extra().Set("implicit_tls_port", std::to_string(implicit), &message)) << message;
  });
  port_ = Start();
  EXPECT_TRUE(WaitUntil([&] {
    return FtpLog().find("Implicit TLS: Port=[" + std::to_string(implicit) + "]") != std::string::npos;
  })) << FtpLog();
  testing::TlsClient tls;
  ASSERT_TRUE(tls.Connect(implicit));
  ASSERT_TRUE(tls.Send("FEAT\r\nUSER bob\r\nPASS secret\r\nPBSZ 0\r\nPROT P\r\nQUIT\r\n"));
  const std::string replies = tls.ReceiveAll();
  EXPECT_EQ(replies.rfind("220 ", 0), 0u) << replies;
  EXPECT_NE(replies.find("\r\n PBSZ\r\n PROT\r\n"), std::string::npos) << replies;
  EXPECT_NE(replies.find("\r\n230 "), std::string::npos) << replies;
  EXPECT_NE(replies.find("\r\n200 PBSZ=0\r\n200 Protection level set to Private.\r\n221 "), std::string::npos)
      << replies;
  // The plain port stays plain, with TLS off there.
  FtpClient plain;
  EXPECT_EQ(plain.Connect(port_).substr(0, 4), "220 ");
  EXPECT_EQ(plain.Command("AUTH TLS").substr(0, 4), "530 ");

  // A failed move of the plain port stops both.
  runtime::TcpSocket squatter;
  ASSERT_TRUE(squatter.ListenOn(0));
  ChangeSettings([&](settings::ServerSettings& s) { s.mPort = squatter.LocalPort(); });
  std::string error;
  EXPECT_FALSE(server_->ApplyPortChange(&error));
  testing::LoopbackClient after;
  EXPECT_FALSE(after.Connect(implicit, 500));
}

}  // namespace
}  // namespace quillon::ftp
