// Hostile clients and hostile files: what a peer sends or a local user puts
// in a served folder must never stall other clients, name something other
// than it says, or reach outside an account's folders.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "support/ftp_server_fixture.h"
#include "support/wait.h"

namespace quillon::ftp {
namespace {

using testing::FtpClient;
using testing::kOpenedAndDone;
using testing::LoopbackClient;
using testing::ReadWholeFile;
using testing::WaitUntil;
using testing::WriteWholeFile;

constexpr const char* kInaccessible = "550 The path is in accessible.";

class FtpHardeningTest : public testing::FtpServerFixture {
 protected:
  void SetUp() override {
    FtpServerFixture::SetUp();
    // A second account on the same folder.
    UpdateAccount("bob", [](accounts::AccountRecord& bob) { bob.SetName("alice"); });
    port_ = Start();
  }
};

TEST_F(FtpHardeningTest, AClientThatNeverReadsDoesNotHoldUpNewConnections) {
  auto flooder = LoggedIn();
  // Commands whose replies are never read, until nothing more goes in: the
  // session then waits to send a reply.
  const std::string burst = [] {
    std::string lines;
    for (int i = 0; i < 4096; ++i) lines += "NOOP\r\n";
    return lines;
  }();
  for (int i = 0; i < 2000 && flooder->SendRaw(burst, 300); ++i) {
  }
  // Idle for longer than the time-out: the listener reaps it, and its
  // closing reply can never be delivered. The clock moves on until the
  // session, still working through its backlog at first, has stalled.
  ASSERT_TRUE(WaitUntil(
      [&] {
        clock_.Advance(100'000);
        return server_->GetStatus().users == 0;
      },
      20'000));

  FtpClient newcomer;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(newcomer.Connect(port_).substr(0, 4), "220 ");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  flooder->Close();
}

TEST_F(FtpHardeningTest, SilentConnectionsFromOneAddressHoldOnlyTheirShare) {
  // A listener cap of 50 connections: before, 50 silent ones filled it.
  ChangeSettings([](settings::ServerSettings& s) {
    s.mUseMaxUsers = true;
    s.mMaxUsers = 25;
  });
  std::string error;
  ASSERT_TRUE(server_->ApplyPortChange(&error)) << error;
  port_ = server_->GetStatus().port;  // port 0 in the settings: a new free port
  std::vector<std::unique_ptr<FtpClient>> silent;
  std::map<std::string, int> greetings;
  for (int i = 0; i < 50; ++i) {
    silent.push_back(std::make_unique<FtpClient>());
    ++greetings[silent.back()->Connect(port_, 9).substr(0, 4)];
  }
  EXPECT_EQ(greetings["220 "], 8);
  EXPECT_EQ(greetings["421 "], 42);
  // Every refused one is told why and closed.
  FtpClient ninth;
  EXPECT_EQ(ninth.Connect(port_, 9), "421 Too many connections from your address.");
  EXPECT_TRUE(ninth.WaitForClose());

  // Another address is served at once.
  const auto started = std::chrono::steady_clock::now();
  FtpClient other;
  EXPECT_EQ(other.Connect(port_).substr(0, 4), "220 ");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  EXPECT_EQ(other.Login("bob", "secret").substr(0, 4), "230-");

  // One of the eight logs in: its place before login is free again.
  EXPECT_EQ(silent.front()->Login("alice", "secret").substr(0, 4), "230-");
  FtpClient next;
  EXPECT_EQ(next.Connect(port_, 9).substr(0, 4), "220 ");
  FtpClient over;
  EXPECT_EQ(over.Connect(port_, 9), "421 Too many connections from your address.");
  const std::string log = FtpLog();
  EXPECT_NE(log.find("127.0.0.9 -> Connection Refused: Reason=[too many connections from this address before login]"),
            std::string::npos)
      << log;
}

TEST_F(FtpHardeningTest, AConnectionThatDoesNotLogInInTimeIsClosed) {
  struct Case {
    const char* name;
    const char* sent;  // before the deadline passes (null: nothing)
    bool logs_in;
  };
  const Case cases[] = {
      {"silent", nullptr, false},
      {"only USER", "USER bob", false},
      {"a wrong password", "USER bob\r\nPASS wrong", false},
      {"logged in", nullptr, true},
  };
  std::vector<std::unique_ptr<FtpClient>> clients;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clients.push_back(std::make_unique<FtpClient>());
    FtpClient& client = *clients.back();
    ASSERT_EQ(client.Connect(port_).substr(0, 4), "220 ");
    if (c.logs_in) {
      EXPECT_EQ(client.Login("bob", "secret").substr(0, 4), "230-");
    } else if (c.sent != nullptr) {
      ASSERT_TRUE(client.SendRaw(std::string(c.sent) + "\r\n"));
      std::string expected = std::string(c.sent).find("PASS") != std::string::npos ? "530" : "331";
      std::string reply = client.Reply();
      if (expected == "530") reply = client.Reply();
      EXPECT_EQ(reply.substr(0, 3), expected);
    }
  }
  // Just before the deadline nobody is closed.
  clock_.Advance(59'000);
  for (auto& client : clients) EXPECT_TRUE(client->StaysSilent(200));
  clock_.Advance(1'001);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    if (cases[i].logs_in) {
      EXPECT_EQ(clients[i]->Command("NOOP"), "200 NOOP command received.");
    } else {
      EXPECT_EQ(clients[i]->Reply(), "421 Control connection time-out or forced closure.");
      EXPECT_TRUE(clients[i]->WaitForClose());
    }
  }
  const std::string log = FtpLog();
  std::size_t timed_out = 0;
  for (std::size_t at = log.find("Login Timed Out."); at != std::string::npos;
       at = log.find("Login Timed Out.", at + 1))
    ++timed_out;
  EXPECT_EQ(timed_out, 3u) << log;
}

TEST_F(FtpHardeningTest, AnUploadPastTheAllocationKeepsWhatFitAndDeletingFreesIt) {
  UpdateAccount("bob", [](accounts::AccountRecord& bob) {
    bob.mUseMaxSize = true;
    bob.mMaxSize = 1;
  });
  auto client = LoggedIn();
  EXPECT_EQ(Run(*client, "STOR two.bin", std::string(2 * 1'048'576, 't')),
            "150 Data connetion established, beginning transfer.\n"
            "451 You have reached your maximim account allocation for this resource.");
  EXPECT_EQ(std::filesystem::file_size(dir_.File("root/two.bin")), 1'048'576u);
  EXPECT_NE(FtpLog().find("Upload Failed: File=[/two.bin], Reason=[File Write Failed]"),
            std::string::npos);

  EXPECT_EQ(client->Command("DELE two.bin"), "250 File deleted.");
  EXPECT_EQ(Run(*client, "STOR one.bin", "1"), kOpenedAndDone);
  EXPECT_EQ(ReadWholeFile(dir_.File("root/one.bin")), "1");
}

TEST_F(FtpHardeningTest, ControlBytesNeverReachNames) {
  auto client = LoggedIn();
  auto data = Passive(*client);
  EXPECT_EQ(client->Command("STOR x\nx"), "550 The path is in accessible.");
  EXPECT_EQ(client->Command("MKD a\x01"), "550 The path is in accessible.");
  EXPECT_EQ(client->Command("CWD a\x7f"), "550 The path is in accessible.");
  EXPECT_EQ(client->Command("RNFR x\tx"), "550 The path is in accessible.");
  EXPECT_TRUE(std::filesystem::is_empty(dir_.File("root")));
  // (Log lines escape control bytes whatever writes them: the log file's test.)
}

TEST_F(FtpHardeningTest, APathThatDoesNotFitIsRefusedNotCut) {
  // A name of more than the system's 255 bytes is refused before anything
  // happens, never shortened to a neighbour's name.
  const std::string longest(255, 'n');
  WriteWholeFile(dir_.File("root/" + longest), "the neighbour");
  auto client = LoggedIn();
  EXPECT_EQ(client->Command("SIZE " + longest), "213 13");
  EXPECT_EQ(client->Command("SIZE " + longest + "n"), kInaccessible);
  EXPECT_EQ(client->Command("MKD " + longest + "n"), kInaccessible);
  EXPECT_EQ(Run(*client, "STOR " + longest + "n", "cut?"), kInaccessible);
  EXPECT_EQ(client->Command("DELE sub/" + longest + "n"), kInaccessible);
  EXPECT_EQ(ReadWholeFile(dir_.File("root/" + longest)), "the neighbour");

  // A whole disk path holds up to the system's 4095 bytes: folders of 250
  // bytes, entered one by one, down to where one more folder no longer fits.
  const std::string root = dir_.File("root");
  const std::string step(250, 's');
  std::string deep;
  while (root.size() + deep.size() + 251 + 20 < 4095) deep += "/" + step;
  std::filesystem::create_directories(root + deep);
  for (std::size_t at = 1; at < deep.size(); at += 251)
    ASSERT_EQ(client->Command("CWD " + step).substr(0, 4), "250 ") << at;
  EXPECT_EQ(client->Command("PWD"), "257 \"" + deep + "\" is current directory.");
  const std::string last(4095 - root.size() - deep.size() - 1, 'f');
  EXPECT_EQ(Run(*client, "STOR " + last, "exact"), kOpenedAndDone);
  EXPECT_EQ(ReadWholeFile(root + deep + "/" + last), "exact");
  EXPECT_EQ(client->Command("SIZE " + last), "213 5");
  EXPECT_EQ(client->Command("SIZE " + last + "f"), kInaccessible);
  EXPECT_EQ(Run(*client, "STOR " + last + "f", "cut?"), kInaccessible);
  EXPECT_EQ(client->Command("MKD " + last + "f"), kInaccessible);
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(root + deep)) ++entries;
  EXPECT_EQ(entries, 1u);
}

TEST_F(FtpHardeningTest, NamesAreServedAsThemselvesAndNeverAsANeighbour) {
  // Each name once came out as another one; the neighbours are the files it
  // was taken for, and must come through untouched.
  std::filesystem::create_directories(dir_.File("root/edge"));
  std::filesystem::create_directories(dir_.File("root/back"));
  for (const char* neighbour : {"edge/notes.txt", "x_y", "trail", "back/slash.txt"})
    WriteWholeFile(dir_.File("root/" + std::string(neighbour)), "neighbour");
  const std::string long_name = std::string(246, 'L') + ".txt";
  struct Case {
    std::string folder;  // made with MKD first unless empty
    std::string name;    // in that folder
  } cases[] = {
      {"edge/aux", "notes.txt"},
      {"", "x*y"},
      {"", "trail  "},
      {"", ".htaccess"},
      {".well-known", "acme"},
      {"", "con"},
      {"", "..."},
      {"", "back\\slash.txt"},
      {"", long_name},
      {"aux", "aux"},
  };
  auto client = LoggedIn();
  for (const Case& c : cases) {
    const std::string path = c.folder.empty() ? c.name : c.folder + "/" + c.name;
    const std::string disk = dir_.File("root/" + path);
    const std::string content = "content of " + path;
    if (!c.folder.empty()) {
      for (std::size_t slash = c.folder.find('/'); slash != std::string::npos;
           slash = c.folder.find('/', slash + 1))
        client->Command("MKD " + c.folder.substr(0, slash));
      EXPECT_EQ(client->Command("MKD " + c.folder), "257 '/" + c.folder + "' directory created.");
      EXPECT_TRUE(std::filesystem::is_directory(dir_.File("root/" + c.folder))) << c.folder;
    }
    EXPECT_EQ(Run(*client, "STOR " + path, content), kOpenedAndDone) << path;
    EXPECT_EQ(ReadWholeFile(disk), content) << path;
    EXPECT_EQ(client->Command("SIZE " + path), "213 " + std::to_string(content.size())) << path;
    std::string listing, fetched;
    EXPECT_EQ(Run(*client, "LIST " + (c.folder.empty() ? std::string("/") : c.folder), nullptr, &listing),
              kOpenedAndDone);
    EXPECT_NE(listing.find(" " + c.name + "\r\n"), std::string::npos) << path;
    EXPECT_EQ(Run(*client, "RETR " + path, nullptr, &fetched), kOpenedAndDone);
    EXPECT_EQ(fetched, content) << path;
    EXPECT_EQ(client->Command("DELE " + path), "250 File deleted.") << path;
    EXPECT_FALSE(std::filesystem::exists(disk)) << path;
    if (!c.folder.empty()) {
      EXPECT_EQ(client->Command("RMD " + c.folder), "250 '/" + c.folder + "' directory deleted.");
    }
  }
  // "." and ".." keep their meaning, and ".." never climbs above the root.
  EXPECT_EQ(client->Command("CWD ./edge/../back"), "250 '/back' is current directory.");
  EXPECT_EQ(client->Command("CWD ../../../.."), "250 '/' is current directory.");
  // What is left is the neighbours, as they were.
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.File("root")))
    left.insert(entry.path().lexically_relative(dir_.File("root")).string());
  EXPECT_EQ(left, (std::set<std::string>{"back", "back/slash.txt", "edge", "edge/notes.txt", "trail",
                                         "x_y"}));
  for (const char* file : {"edge/notes.txt", "x_y", "trail", "back/slash.txt"})
    EXPECT_EQ(ReadWholeFile(dir_.File("root/" + std::string(file))), "neighbour") << file;
}

TEST_F(FtpHardeningTest, RacingRenamesNeverReplaceAFile) {
  auto bob = LoggedIn();
  auto alice = LoggedInAs("alice");
  int both_won = 0;
  for (int round = 0; round < 100; ++round) {
    WriteWholeFile(dir_.File("root/a.txt"), "from a");
    WriteWholeFile(dir_.File("root/b.txt"), "from b");
    std::filesystem::remove(dir_.File("root/c.txt"));
    ASSERT_EQ(bob->Command("RNFR a.txt"), "350 Now send the RNTO command.");
    ASSERT_EQ(alice->Command("RNFR b.txt"), "350 Now send the RNTO command.");
    std::string bob_reply;
    std::thread racer([&] { bob_reply = bob->Command("RNTO c.txt"); });
    const std::string alice_reply = alice->Command("RNTO c.txt");
    racer.join();
    const bool bob_won = bob_reply == "250 Renaming was successful.";
    const bool alice_won = alice_reply == "250 Renaming was successful.";
    if (bob_won && alice_won) ++both_won;
    ASSERT_TRUE(bob_won || alice_won) << bob_reply << " / " << alice_reply;
    // The loser's file is still there, under its own name.
    EXPECT_EQ(ReadWholeFile(dir_.File("root/c.txt")), bob_won ? "from a" : "from b");
    EXPECT_TRUE(std::filesystem::exists(dir_.File(bob_won ? "root/b.txt" : "root/a.txt")));
  }
  EXPECT_EQ(both_won, 0);
}

TEST_F(FtpHardeningTest, DeletedFilesNeverLandInAnotherAccountsFolder) {
  // Alice is served from "other"; the trash of the server's user lies there.
  std::filesystem::create_directories(dir_.File("other"));
  UpdateAccount("alice", [&](accounts::AccountRecord& alice) { alice.SetRootFolder(dir_.File("other")); });
  platform::SetEnvironmentValue("XDG_DATA_HOME", dir_.File("other/share"));
  ChangeSettings([](settings::ServerSettings& s) { s.mDeleteToRecycleBin = true; });
  WriteWholeFile(dir_.File("root/secret.txt"), "bob's");
  auto bob = LoggedIn();
  EXPECT_EQ(bob->Command("DELE secret.txt"), "550 Unable to delete the file.");
  EXPECT_EQ(ReadWholeFile(dir_.File("root/secret.txt")), "bob's");
  EXPECT_FALSE(std::filesystem::exists(dir_.File("other/share")));

  // A trash outside every served folder takes it.
  platform::SetEnvironmentValue("XDG_DATA_HOME", dir_.File("outside/share"));
  EXPECT_EQ(bob->Command("DELE secret.txt"), "250 File deleted.");
  EXPECT_EQ(ReadWholeFile(dir_.File("outside/share/Trash/files/secret.txt")), "bob's");
}

TEST_F(FtpHardeningTest, ALinkToTheFileSystemRootLeadsNowhere) {
  std::filesystem::create_directory_symlink("/", dir_.File("root/slash"));
  auto client = LoggedIn();
  EXPECT_EQ(client->Command("CWD /slash/etc"), "550 Directory does not exist.");
  EXPECT_EQ(client->Command("SIZE /slash/etc/passwd"), kInaccessible);
  EXPECT_EQ(client->Command("MDTM /slash/etc/passwd"), "550 File does not exist.");
  auto data = Passive(*client);
  EXPECT_EQ(client->Command("RETR /slash/etc/passwd"), kInaccessible);
  EXPECT_EQ(client->Command("MKD /slash/tmp/planted"), kInaccessible);
}

}  // namespace
}  // namespace quillon::ftp
