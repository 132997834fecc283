#include "ftp/ftp_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "support/ftp_server_fixture.h"
#include "support/wait.h"

namespace quillon::ftp {
namespace {

using testing::FtpClient;
using testing::ReadWholeFile;
using testing::WaitUntil;
using testing::WriteWholeFile;

constexpr const char* kGreeting = "220 Welcome to Marrowind Quillon FTP Server.";
constexpr const char* kPlainBlock =
    "230-Welcome 'bob'.\n"
    "230-There are currently 1 users logged onto this server.\n"
    "230-There are currently 1 users logged onto this account.\n"
    "230 You are currently in directory '/'.";

class FtpSessionTest : public testing::FtpServerFixture {
 protected:
  void SetUp() override {
    FtpServerFixture::SetUp();
    port_ = Start();
  }
};

TEST_F(FtpSessionTest, LoginLineRules) {
  FtpClient client;
  EXPECT_EQ(client.Connect(port_), kGreeting);
  EXPECT_EQ(client.Command("USER"), "530 Please send the USER command first.");
  EXPECT_EQ(client.Command("PASS secret"), "530 Please send the USER command first.");
  EXPECT_EQ(client.Command("QUIT now"), "530 Please send the USER command first.");
  EXPECT_EQ(client.Command("\xFF\xF4\xFF\xF2"), "530 Please send the USER command first.");
  EXPECT_EQ(client.Command("user bob"), "331 Please send PASS now.");
  EXPECT_EQ(client.Command("NOOP"), "530 Bad command, please restart from USER.");
  EXPECT_EQ(client.Command("\xFF\xF4\xFF\xF2USER bob"), "331 Please send PASS now.");
  EXPECT_EQ(client.Command("pass secret"), kPlainBlock);
  EXPECT_EQ(client.Command("USER bob"), "530 You are already logged in.");
  EXPECT_EQ(client.Command("QUIT"), "221 Thanks for visiting.");
  EXPECT_TRUE(client.WaitForClose());
  // The password is never logged, only its length.
  ASSERT_TRUE(WaitUntil([&] { return FtpLog().find("Connection Ended.") != std::string::npos; }));
  const std::string log = FtpLog();
  EXPECT_NE(log.find(" -> 127.0.0.1 -> Connection Accepted.\r\n"), std::string::npos);
  EXPECT_NE(log.find(" -> 127.0.0.1 -> bob -> Logged In: Password=[6 characters]\r\n"),
            std::string::npos);
  EXPECT_EQ(log.find("secret"), std::string::npos);
}

TEST_F(FtpSessionTest, QuitWorksInEveryLoginState) {
  FtpClient before;
  before.Connect(port_);
  EXPECT_EQ(before.Command("QUIT"), "221 Thanks for visiting.");
  EXPECT_TRUE(before.WaitForClose());
  FtpClient after_user;
  after_user.Connect(port_);
  EXPECT_EQ(after_user.Command("USER "), "331 Please send PASS now.");  // an empty name
  EXPECT_EQ(after_user.Command("quit"), "221 Thanks for visiting.");
  EXPECT_TRUE(after_user.WaitForClose());
}

TEST_F(FtpSessionTest, FailedLoginsPauseAndAreLogged) {
  FtpClient client;
  client.Connect(port_);
  client.Command("USER bob");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Command("PASS "), "530 Incorrect user name or password. Restart from USER.");
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2900));
  EXPECT_NE(FtpLog().find("127.0.0.1 -> bob -> Bad Login: User=[bob], Password=[0 characters]"),
            std::string::npos);
  EXPECT_EQ(client.Command("PASS secret"), "530 Please send the USER command first.");
  EXPECT_EQ(client.Login("bob", "secret").substr(0, 4), "230-");
}

TEST_F(FtpSessionTest, MessageBlockShowsAllocationAndCredits) {
  UpdateAccount("bob", [](accounts::AccountRecord& rich) {
    rich.mUseMaxSize = true;
    rich.mMaxSize = 2;
    rich.mUseCredits = true;
    rich.mCurrentCredits = 75;
    rich.mUseStartDir = true;
    rich.SetStartDir("docs");
  });
  std::filesystem::create_directories(dir_.File("root/docs"));
  WriteWholeFile(dir_.File("root/docs/f.bin"), std::string(1024 * 1024 + 1500, 'x'));
  FtpClient client;
  client.Connect(port_);
  EXPECT_EQ(client.Login("bob", "secret"),
            "230-Welcome 'bob'.\n"
            "230-There are currently 1 users logged onto this server.\n"
            "230-There are currently 1 users logged onto this account.\n"
            "230-You have 1022 KB of account allocation left.\n"
            "230-You have 75 transfer credits remaining.\n"
            "230-You loose 1 credit per KB downloaded.\n"
            "230-You gain 1 credit per KB uploaded.\n"
            "230 You are currently in directory '/docs'.");
  const std::string stat = client.Command("STAT");
  EXPECT_EQ(stat.substr(0, 4), "211-");
  EXPECT_NE(stat.find("\n211 You are currently in directory '/docs'."), std::string::npos);
}

TEST_F(FtpSessionTest, TheStartFolderIsEnteredAsTheAdministratorWroteIt) {
  for (const char* folder : {"root/docs/inner", "root/docs/aux", "root/.well-known"})
    std::filesystem::create_directories(dir_.File(folder));
  struct Case {
    const char* start;
    const char* entered;
  } cases[] = {
      {"docs", "/docs"},
      {"\\docs\\inner", "/docs/inner"},  // the editors read "\" as "/"
      {"/docs/aux", "/docs/aux"},
      {"/.well-known", "/.well-known"},
      {"/docs/missing", "/"},
  };
  for (const Case& c : cases) {
    // The last case's session must be gone: a login joins a live account as it is.
    ASSERT_TRUE(WaitUntil([&] { return server_->Auth().LoggedInCount() == 0; }));
    UpdateAccount("bob", [&](accounts::AccountRecord& bob) {
      bob.mUseStartDir = true;
      bob.SetStartDir(c.start);
    });
    auto client = LoggedIn();
    EXPECT_EQ(client->Command("PWD"), std::string("257 \"") + c.entered + "\" is current directory.")
        << c.start;
  }
}

TEST_F(FtpSessionTest, DirectoryCommands) {
  auto client = LoggedIn();
  EXPECT_EQ(client->Command("CWD"), "501 a parameter is required.");
  EXPECT_EQ(client->Command("CWD "), "501 a parameter is required.");
  EXPECT_EQ(client->Command("MKD docs"), "257 '/docs' directory created.");
  EXPECT_EQ(client->Command("MKD docs"), "550 Unable to create the directory, it already exists.");
  EXPECT_EQ(client->Command("XCWD docs"), "250 '/docs' is current directory.");
  EXPECT_EQ(client->Command("XMKD inner"), "257 '/docs/inner' directory created.");
  EXPECT_EQ(client->Command("PWD"), "257 \"/docs\" is current directory.");
  EXPECT_EQ(client->Command("CWD missing"), "550 Directory does not exist.");
  EXPECT_EQ(client->Command("CDUP"), "250 '/' is current directory.");
  EXPECT_EQ(client->Command("XPWD"), "257 \"/\" is current directory.");
  EXPECT_EQ(client->Command("XRMD docs/inner"), "250 '/docs/inner' directory deleted.");
  EXPECT_EQ(client->Command("RMD /"), "550 Cannot delete root directory.");
  EXPECT_EQ(client->Command("RMD nothing"), "550 Directory does not exist.");
  EXPECT_TRUE(std::filesystem::is_directory(dir_.File("root/docs")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("root/docs/inner")));
}

TEST_F(FtpSessionTest, FileCommands) {
  WriteWholeFile(dir_.File("root/a.txt"), "hello");
  auto client = LoggedIn();
  EXPECT_EQ(client->Command("SIZE a.txt"), "213 5");
  EXPECT_EQ(client->Command("SIZE none"), "550 File does not exist.");
  EXPECT_EQ(client->Command("MDTM 20030307090500 a.txt"), "213 ModifyTime=20030307090500; a.txt");
  EXPECT_EQ(client->Command("MDTM a.txt"), "213 20030307090500");
  EXPECT_EQ(client->Command("MDTM 20031307090500 a.txt"), "550 File does not exist.");
  EXPECT_EQ(client->Command("MDTM none"), "550 File does not exist.");
  EXPECT_EQ(client->Command("RNTO b.txt"), "503 Please send the RNFR command first.");
  EXPECT_EQ(client->Command("RNFR a.txt"), "350 Now send the RNTO command.");
  EXPECT_EQ(client->Command("RNTO nowhere/b.txt"),
            "550 Unable to move/rename file, destination directory does not exist.");
  // The remembered source survives a failed RNTO.
  EXPECT_EQ(client->Command("RNTO b.txt"), "250 Renaming was successful.");
  EXPECT_EQ(client->Command("RNTO c.txt"), "503 Please send the RNFR command first.");
  EXPECT_EQ(client->Command("RNFR /"), "550 Cannot rename root directory.");
  EXPECT_EQ(client->Command("DELE b.txt"), "250 File deleted.");
  EXPECT_EQ(client->Command("DELE b.txt"), "550 File does not exist.");
  EXPECT_FALSE(std::filesystem::exists(dir_.File("root/b.txt")));
  const std::string log = FtpLog();
  EXPECT_NE(log.find("bob -> Renamed File: Old=[/a.txt], New=[/b.txt]"), std::string::npos);
  EXPECT_NE(log.find("bob -> Deleted File: File=[/b.txt]"), std::string::npos);
}

TEST_F(FtpSessionTest, ParameterRulesAndFallbacks) {
  auto client = LoggedIn();
  EXPECT_EQ(client->Command("ab"), "550 Bad command.");
  EXPECT_EQ(client->Command("TYPE a"), "504 Command not implemented for that parameter.");
  EXPECT_EQ(client->Command("TYPE A N"), "200 Type set to 'A' (ASCII).");
  EXPECT_EQ(client->Command("type I"), "200 Type set to 'I' (IMAGE).");
  EXPECT_EQ(client->Command("TYPE"), "501 a parameter is required.");
  EXPECT_EQ(client->Command("STRU R"), "504 Command not implemented for that parameter.");
  EXPECT_EQ(client->Command("REST -1"), "501 Parameter not accepted.");
  EXPECT_EQ(client->Command("REST abc"), "501 a parameter is required.");
  EXPECT_EQ(client->Command("REST 5000000000"), "350 REST command successful.");
  EXPECT_EQ(client->Command("RETR"), "501 a parameter is required.");
  EXPECT_EQ(client->Command("RETRXa.txt"), "503 Please use PORT or PASV first.");
  EXPECT_EQ(client->Command("NOOP x"), "500 Command not understood.");
  EXPECT_EQ(client->Command("ACCT x"), "502 Command not implemented.");
  EXPECT_EQ(client->Command("REIN"), "502 Command not implemented.");
  EXPECT_EQ(client->Command("PASS x"), "530 You are already logged in.");
  EXPECT_EQ(client->Command("FEATURES"), "500 Command not understood.");
  EXPECT_EQ(client->Command("HELP"),
            "214-Supported commands are:\n"
            "214-USER PASS HELP PORT PASV PWD  CWD  CDUP\n"
            "214-RETR STOR APPE STOU LIST NLST ALLO REST\n"
            "214-MKD  RMD  DELE RNFR RNTO ABOR NOOP SIZE\n"
            "214-XMKD XRMD XCWD XCUP XPWD STAT SYST QUIT\n"
            "214-TYPE STRU MODE MDTM SITE\n"
            "214-SITE commands available are:-\n"
            "214-SITE CPWD (newpassword)\n"
            "214 Please contact the adminstrator for more information.");
}

TEST_F(FtpSessionTest, SiteCpwdFollowsBothSwitches) {
  auto client = LoggedIn();
  EXPECT_EQ(client->Command("SITE"), "501 a parameter is required.");
  EXPECT_EQ(client->Command("SITE X"), "501 Parameter not accepted.");
  EXPECT_EQ(client->Command("SITE CHMOD 777 x"), "501 Parameter not accepted.");
  EXPECT_EQ(client->Command("SITE CPWD newpass"),
            "501 You do not the access rights to perform this action.");
  ChangeSettings([](settings::ServerSettings& s) { s.mAllowPassChange = true; });
  UpdateAccount("bob", [](accounts::AccountRecord& bob) { bob.mAllowPassChange = true; });
  server_->Auth().RefreshActiveAccounts();
  EXPECT_EQ(client->Command("SITE CPWD bad;pass"),
            "501 The password contains some illegal characters or is zero length..");
  EXPECT_EQ(client->Command("site cpwd newpass"), "200 Password changed successfully.");
  FtpClient other;
  other.Connect(port_);
  EXPECT_EQ(other.Login("bob", "newpass").substr(0, 4), "230-");
}

TEST_F(FtpSessionTest, PassiveAndActivePreparation) {
  auto client = LoggedIn();
  const std::string pasv = client->Command("PASV");
  EXPECT_EQ(pasv.rfind("227 Entering Passive Mode (127,0,0,1,", 0), 0u) << pasv;
  const std::uint16_t data_port = FtpClient::PassivePort(pasv);
  ASSERT_NE(data_port, 0);
  const std::string second = client->Command("PASV");  // the first socket closes
  EXPECT_NE(FtpClient::PassivePort(second), 0);
  testing::LoopbackClient data;
  ASSERT_TRUE(data.Connect(FtpClient::PassivePort(second)));

  EXPECT_EQ(client->Command("PORT"), "501 6 parameters are required.");
  EXPECT_EQ(client->Command("PORT 127,0,0,1,4"), "501 6 parameters are required.");
  EXPECT_EQ(client->Command("PORT 127,0,0,1,3,255"), "504 Command not implemented for that parameter.");
  EXPECT_EQ(client->Command("PORT 127,0,0,256,4,0"), "501 Incorrect parameters (each must be 0-255).");
  EXPECT_EQ(client->Command("PORT 10,0,0,1,4,0"), "500 Site to site transfers are disabled.");
  EXPECT_EQ(client->Command("PORT 127,0,0,1,4,0"), "200 PORT command successful.");
}

TEST_F(FtpSessionTest, LimitsRefuseWithTheirReasons) {
  ChangeSettings([](settings::ServerSettings& s) { s.mMaxUsers = 1; });
  auto first = LoggedIn();
  FtpClient refused;
  EXPECT_EQ(refused.Connect(port_), "421 Maximum sessions reached, please try again later.");
  EXPECT_TRUE(refused.WaitForClose());

  ChangeSettings([](settings::ServerSettings& s) {
    s.mMaxUsers = 10;
    s.mUseMaxUsersPerIP = true;
    s.mMaxUsersPerIP = 1;
  });
  FtpClient per_ip;
  EXPECT_EQ(per_ip.Connect(port_), "421 Maximum sessions reached, please try again later.");

  ChangeSettings([](settings::ServerSettings& s) {
    s.mUseMaxUsersPerIP = false;
    s.mUseBlockIPs = true;
    s.mBlockIPs.AddAddress({127, 0, 0, 1});
  });
  server_->Auth().RefreshActiveAccounts();
  // The logged-in session is no longer allowed either.
  EXPECT_EQ(first->Reply(), "421 Your session is no longer allowed access.");
  EXPECT_TRUE(first->WaitForClose());
  FtpClient blocked;
  EXPECT_EQ(blocked.Connect(port_), "421 Access disallowed, your IP is blocked.");
}

TEST_F(FtpSessionTest, KicksWithAndWithoutAReason) {
  auto first = LoggedIn();
  auto second = LoggedIn();
  std::vector<std::uint32_t> ids;
  for (const auto& session : server_->SessionList()) ids.push_back(session.session_id);
  std::sort(ids.begin(), ids.end());
  ASSERT_EQ(ids.size(), 2u);
  server_->Auth().QueueSessionAction(ids[0], access::SessionActionKind::kKick, "Time to go");
  EXPECT_EQ(first->Reply(), "421 Time to go");
  EXPECT_TRUE(first->WaitForClose());
  server_->Auth().QueueSessionAction(ids[1], access::SessionActionKind::kKick, "");
  EXPECT_EQ(second->Reply(), "421 No reason given.");
  EXPECT_TRUE(second->WaitForClose());
  EXPECT_TRUE(WaitUntil([&] { return server_->GetStatus().users == 0; }));
}

TEST_F(FtpSessionTest, IdleSessionsAreClosedByTheTimeOut) {
  ChangeSettings([](settings::ServerSettings& s) { s.mIdleTimeOut = 60; });
  FtpClient waiting;
  EXPECT_EQ(waiting.Connect(port_), kGreeting);
  auto client = LoggedIn();
  clock_.Advance(30'000);
  EXPECT_EQ(client->Command("NOOP"), "200 NOOP command received.");  // restarts its timer
  clock_.Advance(30'001);
  // Never logged in: idle since it connected.
  EXPECT_EQ(waiting.Reply(), "421 Control connection time-out or forced closure.");
  EXPECT_TRUE(waiting.WaitForClose());
  EXPECT_TRUE(client->StaysSilent(200));
  clock_.Advance(30'000);
  EXPECT_EQ(client->Reply(), "421 Control connection time-out or forced closure.");
  EXPECT_TRUE(client->WaitForClose());
}

TEST_F(FtpSessionTest, BlockedTimeOutStoppingIgnoresCommandsAsActivity) {
  ChangeSettings([](settings::ServerSettings& s) {
    s.mIdleTimeOut = 60;
    s.mBlockTimeOutStopping = true;
  });
  auto client = LoggedIn();
  for (int i = 0; i < 3; ++i) {
    clock_.Advance(20'000);
    EXPECT_EQ(client->Command("NOOP"), "200 NOOP command received.");
  }
  clock_.Advance(1);
  EXPECT_EQ(client->Reply(), "421 Control connection time-out or forced closure.");
}

TEST_F(FtpSessionTest, ActivityShowsIdleAfterThirtySeconds) {
  auto client = LoggedIn();
  EXPECT_EQ(client->Command("CWD /"), "250 '/' is current directory.");
  auto activity = [&] { return server_->SessionList().at(0).activity; };
  EXPECT_EQ(activity(), "In Directory");
  clock_.Advance(30'000);
  // The hand-driven clock does not end a real wait: wake the session.
  server_->Auth().RefreshActiveAccounts();
  EXPECT_TRUE(WaitUntil([&] { return activity() == "Idle"; }, 3000));
}

}  // namespace
}  // namespace quillon::ftp
