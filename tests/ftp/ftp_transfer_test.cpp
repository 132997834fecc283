#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "accountfs/messages.h"
#include "ftp/data_connection.h"
#include "runtime/tcp_socket.h"
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

class FtpTransferTest : public testing::FtpServerFixture {
 protected:
  void SetUp() override {
    FtpServerFixture::SetUp();
    port_ = Start();
  }

  // RETR or LIST over a passive connection: the bytes that arrived, and the
  // replies in *replies.
  std::string Fetch(FtpClient& client, const std::string& command, std::string* replies) {
    auto data = Passive(client);
    *replies = client.Command(command);
    const std::string bytes = data->Receive(SIZE_MAX, 5000);
    *replies += "\n" + client.Reply();
    return bytes;
  }
};

TEST_F(FtpTransferTest, DownloadUploadAndAppend) {
  const std::string content(200'000, 'd');
  WriteWholeFile(dir_.File("root/big.bin"), content);
  auto client = LoggedIn();
  std::string replies;
  EXPECT_EQ(Fetch(*client, "RETR big.bin", &replies), content);
  EXPECT_EQ(replies,
            kOpenedAndDone);

  EXPECT_EQ(Run(*client, "STOR up.txt", "uploaded"), kOpenedAndDone);
  EXPECT_EQ(Run(*client, "APPE up.txt", " more"), kOpenedAndDone);
  EXPECT_EQ(ReadWholeFile(dir_.File("root/up.txt")), "uploaded more");

  EXPECT_EQ(client->Command("REST 190000"), "350 REST command successful.");
  EXPECT_EQ(Fetch(*client, "RETR big.bin", &replies), content.substr(190'000));
  EXPECT_EQ(client->Command("REST 0"), "350 REST command successful.");

  const std::string log = FtpLog();
  EXPECT_NE(log.find("bob -> File Downloaded: File=[/big.bin]"), std::string::npos);
  EXPECT_NE(log.find("bob -> File Uploaded: File=[/up.txt]"), std::string::npos);
}

TEST_F(FtpTransferTest, UniqueUploadsGetGeneratedNames) {
  auto client = LoggedIn();
  auto data = Passive(*client);
  const std::string reply = client->Command("STOU");
  ASSERT_EQ(reply.rfind("150 Data connetion established: unique_", 0), 0u) << reply;
  const std::string name = reply.substr(std::string("150 Data connetion established: ").size());
  EXPECT_EQ(name.substr(name.size() - 4), ".tmp");
  ASSERT_TRUE(data->Send("unique"));
  data->Close();
  EXPECT_EQ(client->Reply(), "226 Transfer complete.");
  EXPECT_EQ(ReadWholeFile(dir_.File("root/" + name)), "unique");
}

// "/secret": a virtual folder left out of listings that can still be read.
accounts::VirtualFolder HiddenSecret(const std::string& disk_folder) {
  accounts::VirtualFolder hidden;
  hidden.SetName("/secret");
  hidden.SetPath(disk_folder);
  hidden.mVisible = false;
  hidden.mRights = accounts::kFileRead | accounts::kFolderView;
  return hidden;
}

TEST_F(FtpTransferTest, ListingsShowDiskAndVirtualEntries) {
  std::filesystem::create_directories(dir_.File("root/sub"));
  std::filesystem::create_directories(dir_.File("songs"));
  std::filesystem::create_directories(dir_.File("secret"));
  WriteWholeFile(dir_.File("root/five.txt"), "12345");
  WriteWholeFile(dir_.File("secret/hidden.txt"), "psst");
  UpdateAccount("bob", [&](accounts::AccountRecord& bob) {
    accounts::VirtualFolder music;
    music.SetName("/pub/music");
    music.SetPath(dir_.File("songs"));
    music.mRights = accounts::kAllRights;
    bob.AddOrReplaceFolder(music);
    bob.AddOrReplaceFolder(HiddenSecret(dir_.File("secret")));
  });
  auto client = LoggedIn();
  std::string replies;
  const std::string list = Fetch(*client, "LIST", &replies);
  EXPECT_EQ(replies, kOpenedAndDone);
  EXPECT_NE(list.find("-rw-rw-rw-   1 bob QuillonFTPServer          5 "), std::string::npos) << list;
  EXPECT_NE(list.find(" five.txt\r\n"), std::string::npos);
  EXPECT_NE(list.find("drwxrwxrwx   1 bob QuillonFTPServer          0 "), std::string::npos);
  EXPECT_NE(list.find(" pub\r\n"), std::string::npos);
  EXPECT_EQ(list.find("secret"), std::string::npos);  // hidden, but usable:
  EXPECT_EQ(Fetch(*client, "RETR /secret/hidden.txt", &replies), "psst");

  EXPECT_EQ(Fetch(*client, "NLST /pub", &replies), "music\r\n.\r\n..\r\n");
  EXPECT_NE(FtpLog().find("bob -> Directory Viewed: Directory=[/pub]"), std::string::npos);

  // Listings leave no temporary files behind.
  EXPECT_TRUE(WaitUntil([&] { return std::filesystem::is_empty(dir_.File("temp")); }));
}

TEST_F(FtpTransferTest, ListingOptionsAreReadAsOptionsAndTheRestAsThePath) {
  std::filesystem::create_directories(dir_.File("root/sub"));
  std::filesystem::create_directories(dir_.File("root/.well-known"));
  std::filesystem::create_directories(dir_.File("secret"));
  WriteWholeFile(dir_.File("root/five.txt"), "12345");
  WriteWholeFile(dir_.File("root/.htaccess"), "deny");
  WriteWholeFile(dir_.File("root/sub/inner.txt"), "in");
  WriteWholeFile(dir_.File("root/sub/.hidden"), "h");
  UpdateAccount("bob", [&](accounts::AccountRecord& bob) {
    bob.AddOrReplaceFolder(HiddenSecret(dir_.File("secret")));
  });
  using Names = std::set<std::string>;
  // Names beginning with a dot are listed with or without -a; a hidden
  // virtual folder stays hidden even with -a.
  const Names top = {".", "..", ".htaccess", ".well-known", "five.txt", "sub"};
  const Names sub = {".", "..", ".hidden", "inner.txt"};
  struct Case {
    const char* command;
    const Names* names;
  } cases[] = {
      {"LIST", &top},           {"LIST -a", &top},          {"LIST -l", &top},
      {"LIST -la", &top},       {"LIST -al", &top},         {"LIST -la sub", &sub},
      {"LIST -al sub", &sub},   {"LIST -a -l sub", &sub},   {"LIST -la /sub", &sub},
      {"LIST -1 sub", &sub},    {"LIST -R sub", &sub},      {"LIST -la ", &top},
      {"LIST sub", &sub},       {"NLST", &top},             {"NLST -1", &top},
      {"NLST -a", &top},        {"NLST -al", &top},         {"NLST -1 sub", &sub},
      {"NLST -la sub", &sub},   {"NLST -a .well-known", nullptr},
  };
  auto client = LoggedIn();
  for (const Case& c : cases) {
    std::string replies;
    const std::string text = Fetch(*client, c.command, &replies);
    EXPECT_EQ(replies, kOpenedAndDone)
        << c.command;
    const bool nlst = std::string_view(c.command).substr(0, 4) == "NLST";
    Names names;
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
      const std::string line = text.substr(at, end - at);
      if (nlst) {
        names.insert(line);
        continue;
      }
      // "<mode>   1 bob QuillonFTPServer <size:10> <date:12> <name>"
      const std::size_t owner = line.find(" QuillonFTPServer ");
      ASSERT_NE(owner, std::string::npos) << c.command << ": " << line;
      names.insert(line.substr(owner + 18 + 10 + 1 + 12 + 1));
    }
    const Names expected = c.names != nullptr ? *c.names : Names{".", ".."};
    EXPECT_EQ(names, expected) << c.command << "\n" << text;
  }
  auto data = Passive(*client);
  EXPECT_EQ(client->Command("LIST -la nowhere"), "550 Directory does not exist.");
  EXPECT_EQ(client->Command("NLST -1 /nowhere"), "550 Directory does not exist.");
}

TEST_F(FtpTransferTest, RootWithOnlyVirtualFolders) {
  std::filesystem::create_directories(dir_.File("in"));
  UpdateAccount("bob", [&](accounts::AccountRecord& bob) {
    bob.mUseRootFolder = false;
    accounts::VirtualFolder incoming;
    incoming.SetName("/incoming");
    incoming.SetPath(dir_.File("in"));
    incoming.mRights = accounts::kFolderView | accounts::kFileRead;
    bob.AddOrReplaceFolder(incoming);
  });
  auto client = LoggedIn();
  std::string replies;
  const std::string list = Fetch(*client, "LIST", &replies);
  EXPECT_EQ(replies, kOpenedAndDone);
  // incoming (its own rights), then "." and "..".
  const auto first = list.find("\r\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(list.substr(0, 10), "dr-xr-xr-x");
  EXPECT_NE(list.find(" incoming\r\n"), std::string::npos);
  EXPECT_NE(list.find(" .\r\n"), std::string::npos);
  EXPECT_NE(list.find(" ..\r\n"), std::string::npos);
}

TEST_F(FtpTransferTest, CreditsRunOutOnTheThirdChunk) {
  WriteWholeFile(dir_.File("root/paid.bin"), std::string(8192, 'p'));
  UpdateAccount("bob", [](accounts::AccountRecord& bob) {
    bob.mUseCredits = true;
    bob.mDownloadCredits = -2;
    bob.mCurrentCredits = 10;
  });
  auto client = LoggedIn();
  std::string replies;
  EXPECT_EQ(Fetch(*client, "RETR paid.bin", &replies).size(), 4096u);
  EXPECT_EQ(replies,
            "150 Data connetion established, beginning transfer.\n"
            "451 You have ran out of transfer credits.");
  std::uint32_t credits = 99;
  ASSERT_TRUE(server_->Auth().GetLiveCredits("bob", &credits));
  EXPECT_EQ(credits, 0u);
  EXPECT_EQ(client->Command("RETR paid.bin"), "503 Please use PORT or PASV first.");
}

TEST_F(FtpTransferTest, StatDuringATransferAndTheAdministratorsStop) {
  WriteWholeFile(dir_.File("root/huge.bin"), std::string(64 << 20, 'h'));
  auto client = LoggedIn();
  auto data = Passive(*client);
  EXPECT_EQ(client->Command("RETR huge.bin"), "150 Data connetion established, beginning transfer.");
  EXPECT_EQ(client->Command("STAT"), "211 The transfer is operating correctly.");
  EXPECT_EQ(client->Command("NOOP"), "550 Cannot process command in transfer mode.");
  access::ActivitySnapshot shown = server_->SessionList().at(0);
  EXPECT_EQ(shown.activity, "Downloading...");
  EXPECT_EQ(shown.transfer_state, access::TransferState::kRunning);
  EXPECT_FALSE(shown.transfer_upload);
  EXPECT_TRUE(shown.transfer_size_known);
  EXPECT_EQ(shown.transfer_size, 64u << 20);
  const std::uint32_t id = shown.session_id;
  data->Receive(100'000, 2000);
  ASSERT_TRUE(WaitUntil([&] { return server_->SessionList().at(0).transfer_bytes >= 100'000; }));
  server_->Auth().QueueSessionAction(id, access::SessionActionKind::kStopTransfer, "Maintenance");
  EXPECT_EQ(client->Reply(), "451 Maintenance");
  // Shown as stopped, with what it moved, not as downloaded.
  shown = server_->SessionList().at(0);
  EXPECT_EQ(shown.activity, "Download Stopped");
  EXPECT_EQ(shown.transfer_state, access::TransferState::kStopped);
  EXPECT_GE(shown.transfer_bytes, 100'000u);
  EXPECT_EQ(shown.transfer_rate, 0u);

  data = Passive(*client);
  EXPECT_EQ(client->Command("RETR huge.bin"), "150 Data connetion established, beginning transfer.");
  data->Receive(100'000, 2000);
  data->Close();  // the client cuts the download short
  EXPECT_EQ(client->Reply(), "426 Transfer incomplete, data connection was lost.");
  EXPECT_EQ(client->Command("NOOP"), "200 NOOP command received.");
  shown = server_->SessionList().at(0);
  EXPECT_EQ(shown.activity, "Download Failed");
  EXPECT_EQ(shown.transfer_state, access::TransferState::kFailed);
}

// A new file that an upload leaves unfinished is removed, with the credits
// its bytes earned and a line in the log.
TEST_F(FtpTransferTest, DiscardedNewUploadLeavesNoFileAndNoCredits) {
  UpdateAccount("bob", [](accounts::AccountRecord& bob) {
    bob.mUseCredits = true;
    bob.mUploadCredits = 1;  // 10,000 bytes earn 9
    bob.mCurrentCredits = 100;
  });
  struct Case {
    const char* name;
    bool abort;  // else the client closes the control connection
    const char* log;
  } cases[] = {
      {"ABOR", true, "bob -> Upload Failed: File=[/partial.bin], Reason=[Aborted / Stopped]"},
      {"control connection closed", false,
       "bob -> Upload Failed: File=[/partial.bin], Reason=[Session Ended / Connection Closed]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = LoggedIn();
    auto data = Passive(*client);
    EXPECT_EQ(client->Command("STOR partial.bin"), "150 Data connetion established, beginning transfer.");
    ASSERT_TRUE(data->Send(std::string(10'000, 'x')));
    ASSERT_TRUE(WaitUntil([&] {
      return std::filesystem::exists(dir_.File("root/partial.bin")) &&
             std::filesystem::file_size(dir_.File("root/partial.bin")) == 10'000;
    }));
    std::uint32_t credits = 0;
    if (c.abort) {
      EXPECT_EQ(client->Command("ABOR"), "226 Transfer complete.");
      EXPECT_EQ(client->Reply(), "426 Transfer successfully aborted.");
      ASSERT_TRUE(server_->Auth().GetLiveCredits("bob", &credits));
    } else {
      client->Close();
      // The last logout hands the live balance to the store.
      ASSERT_TRUE(WaitUntil([&] { return server_->Auth().LoggedInCount() == 0; }));
      accounts::AccountRecord bob;
      ASSERT_TRUE(server_->Accounts().GetCopy("bob", &bob));
      credits = bob.mCurrentCredits;
    }
    EXPECT_EQ(credits, 100u);
    EXPECT_FALSE(std::filesystem::exists(dir_.File("root/partial.bin")));
    EXPECT_TRUE(WaitUntil([&] { return FtpLog().find(c.log) != std::string::npos; }));
  }
}

constexpr const char* kRestOutside = "550 The REST byte is outside of the file.";

TEST_F(FtpTransferTest, StorAfterRestWritesFromTheOffsetAndKeepsTheBytesBefore) {
  struct Case {
    const char* name;
    const char* existing;  // null: no such file
    const char* rest;
    const char* sent;
    const char* left;  // the file afterwards
  } cases[] = {
      // The usual resume: the offset is the size of what arrived before.
      {"at_end.bin", "0123456789", "10", "abcdef", "0123456789abcdef"},
      // An earlier offset: what is sent replaces everything from there on.
      {"inside.bin", "0123456789", "4", "xy", "0123xy"},
      {"zero.bin", "0123456789", "0", "new", "new"},
      {"fresh.bin", nullptr, "0", "first", "first"},
  };
  auto client = LoggedIn();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir_.File(std::string("root/") + c.name);
    if (c.existing != nullptr) WriteWholeFile(file, c.existing);
    EXPECT_EQ(client->Command(std::string("REST ") + c.rest), "350 REST command successful.");
    EXPECT_EQ(Run(*client, std::string("STOR ") + c.name, c.sent), kOpenedAndDone);
    EXPECT_EQ(ReadWholeFile(file), c.left);
    EXPECT_NE(FtpLog().find(std::string("bob -> File Uploaded: File=[/") + c.name + "]"),
              std::string::npos);
  }
}

TEST_F(FtpTransferTest, RefusedResumesLeaveTheFileAlone) {
  constexpr accounts::AccessRights kNoModify =
      accounts::kFileRead | accounts::kFileWrite | accounts::kFolderView;
  struct Case {
    const char* name;
    accounts::AccessRights rights;
    const char* existing;  // null: no such file
    const char* rest;
    const char* reply;
  } cases[] = {
      // Writing into a file that is there takes the right an overwrite takes.
      {"kept.bin", kNoModify, "01234", "5", "550 You do not the access rights to perform this action."},
      {"beyond.bin", accounts::kAllRights, "01234", "6", kRestOutside},
      {"missing.bin", accounts::kAllRights, nullptr, "1", kRestOutside},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir_.File(std::string("root/") + c.name);
    if (c.existing != nullptr) WriteWholeFile(file, c.existing);
    UpdateAccount("bob", [&](accounts::AccountRecord& bob) { bob.mRights = c.rights; });
    auto client = LoggedIn();
    EXPECT_EQ(client->Command(std::string("REST ") + c.rest), "350 REST command successful.");
    EXPECT_EQ(Run(*client, std::string("STOR ") + c.name, "lost"), c.reply);
    if (c.existing == nullptr) {
      EXPECT_FALSE(std::filesystem::exists(file));
    } else {
      EXPECT_EQ(ReadWholeFile(file), c.existing);
    }
    EXPECT_EQ(FtpLog().find(std::string("File=[/") + c.name + "]"), std::string::npos);
  }
}

TEST_F(FtpTransferTest, ResumedUploadBooksOnlyTheNewBytes) {
  constexpr std::size_t kKiB = 1024;
  const std::string file = dir_.File("root/half.bin");
  std::string expected(700 * kKiB, 'a');
  WriteWholeFile(file, expected);
  UpdateAccount("bob", [](accounts::AccountRecord& bob) {
    bob.mUseMaxSize = true;
    bob.mMaxSize = 1;  // MB
    bob.mUseCredits = true;
    bob.mUploadCredits = -1;  // one credit per KB
    bob.mCurrentCredits = 1000;
  });
  struct Case {
    const char* name;
    const char* rest;
    std::size_t sent_kib;
    char fill;
    std::size_t kept_kib;  // of what was sent, what the allocation took
    const char* last_reply;
    std::uint32_t credits;  // left afterwards
  } cases[] = {
      // 700 KB kept and 300 KB sent fill 1000 KB of the 1024 KB. Every
      // start takes one KB's worth of credits, then each KB sent one more;
      // the bytes kept cost nothing.
      {"within the allocation", "716800", 300, 'b', 300, "226 Transfer complete.", 1000 - 1 - 300},
      // From 500 KB on: the 500 KB after it are given up, 100 KB sent.
      {"from an earlier offset", "512000", 100, 'c', 100, "226 Transfer complete.", 699 - 1 - 100},
      // 600 KB there leave 424 KB of the allocation, where a resume stops.
      {"beyond the allocation", "614400", 500, 'd', 424,
       "451 You have reached your maximim account allocation for this resource.", 598 - 1 - 424},
  };
  auto client = LoggedIn();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(client->Command(std::string("REST ") + c.rest), "350 REST command successful.");
    const std::string sent(c.sent_kib * kKiB, c.fill);
    EXPECT_EQ(Run(*client, "STOR half.bin", sent.c_str()),
              std::string("150 Data connetion established, beginning transfer.\n") + c.last_reply);
    expected.resize(std::stoul(c.rest));
    expected.append(c.kept_kib * kKiB, c.fill);
    const std::string left = ReadWholeFile(file);
    EXPECT_EQ(left.size(), expected.size());
    EXPECT_TRUE(left == expected);
    std::uint32_t credits = 0;
    ASSERT_TRUE(server_->Auth().GetLiveCredits("bob", &credits));
    EXPECT_EQ(credits, c.credits);
  }
}

TEST_F(FtpTransferTest, AbortedResumeKeepsWhatWasThereAndWhatArrived) {
  const std::string file = dir_.File("root/resumed.bin");
  WriteWholeFile(file, std::string(5'000, 'o'));
  auto client = LoggedIn();
  EXPECT_EQ(client->Command("REST 5000"), "350 REST command successful.");
  auto data = Passive(*client);
  EXPECT_EQ(client->Command("STOR resumed.bin"), "150 Data connetion established, beginning transfer.");
  ASSERT_TRUE(data->Send(std::string(10'000, 'n')));
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::file_size(file) == 15'000; }));
  EXPECT_EQ(client->Command("ABOR"), "226 Transfer complete.");
  EXPECT_EQ(client->Reply(), "426 Transfer successfully aborted.");
  EXPECT_EQ(ReadWholeFile(file), std::string(5'000, 'o') + std::string(10'000, 'n'));
}

TEST_F(FtpTransferTest, RestartOffsetServesTheNextTransferCommandOnly) {
  WriteWholeFile(dir_.File("root/b.bin"), "0123456789");
  struct Case {
    const char* name;
    const char* command;  // the transfer after REST 4
    const char* upload;   // sent by an upload
    const char* replies;
    const char* received;  // what a download got
    const char* file;      // and the file it leaves behind
    const char* content;
  } cases[] = {
      {"download", "RETR a.bin", nullptr, kOpenedAndDone, "AAAAAA", "a.bin", "AAAAAAAAAA"},
      {"failed download", "RETR none.bin", nullptr, "550 File does not exist.", "",
       "a.bin", "AAAAAAAAAA"},
      {"resumed upload", "STOR c.bin", "dd", kOpenedAndDone, "", "c.bin", "ccccdd"},
      {"refused upload", "STOR new.bin", "lost", kRestOutside, "", "c.bin", "ccccdd"},
      {"append", "APPE c.bin", "ee", kOpenedAndDone, "", "c.bin", "ccccddee"},
      {"listing", "NLST", nullptr, kOpenedAndDone, nullptr, "b.bin", "0123456789"},
  };
  WriteWholeFile(dir_.File("root/a.bin"), "AAAAAAAAAA");
  WriteWholeFile(dir_.File("root/c.bin"), "cccccccccc");
  auto client = LoggedIn();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(client->Command("REST 4"), "350 REST command successful.");
    std::string received;
    EXPECT_EQ(Run(*client, c.command, c.upload, &received), c.replies);
    if (c.received != nullptr) {
      EXPECT_EQ(received, c.received);
    }
    EXPECT_EQ(ReadWholeFile(dir_.File(std::string("root/") + c.file)), c.content);
    // The next download starts at the beginning again.
    EXPECT_EQ(Run(*client, "RETR b.bin", nullptr, &received), kOpenedAndDone);
    EXPECT_EQ(received, "0123456789");
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.File("root/new.bin")));
}

TEST_F(FtpTransferTest, AborPlainOrAsUrgentDataStopsTheTransfer) {
  WriteWholeFile(dir_.File("root/huge.bin"), std::string(64 << 20, 'h'));
  struct Case {
    const char* name;
    const char* before;  // plain bytes, then the urgent ones, then plain again
    const char* urgent;
    const char* after;
  } cases[] = {
      {"plain line", "ABOR\r\n", "", ""},
      // The whole line urgent: its last byte, the LF, carries the mark.
      {"line urgent", "", "ABOR\r\n", ""},
      // Telnet IP in band, then the Synch: IAC urgent, DM in band.
      {"IP then Synch", "\xFF\xF4", "\xFF", "\xF2" "ABOR\r\n"},
      {"IP and DM urgent", "", "\xFF\xF4\xFF\xF2", "ABOR\r\n"},
  };
  auto client = LoggedIn();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto data = Passive(*client);
    ASSERT_EQ(client->Command("RETR huge.bin"), "150 Data connetion established, beginning transfer.");
    EXPECT_GE(data->Receive(100'000, 10'000).size(), 100'000u);  // the download runs
    ASSERT_TRUE(client->SendRaw(c.before));
    ASSERT_TRUE(client->SendUrgent(c.urgent));
    ASSERT_TRUE(client->SendRaw(c.after));
    EXPECT_EQ(client->Reply(10'000), "226 Transfer complete.");
    EXPECT_EQ(client->Reply(10'000), "426 Transfer successfully aborted.");
    // Nothing of the urgent line is left over to spoil the next command.
    EXPECT_EQ(client->Command("NOOP"), "200 NOOP command received.");
  }
  EXPECT_TRUE(WaitUntil([&] {
    return FtpLog().find("bob -> Download Failed: File=[/huge.bin], Reason=[Aborted / Stopped / "
                         "Data Connection Failure]") != std::string::npos;
  }));

  // An upload stops the same way; the new file it began goes.
  auto data = Passive(*client);
  ASSERT_EQ(client->Command("STOR partial.bin"), "150 Data connetion established, beginning transfer.");
  ASSERT_TRUE(data->Send(std::string(10'000, 'x')));
  ASSERT_TRUE(WaitUntil([&] {
    return std::filesystem::exists(dir_.File("root/partial.bin")) &&
           std::filesystem::file_size(dir_.File("root/partial.bin")) == 10'000;
  }));
  ASSERT_TRUE(client->SendUrgent("ABOR\r\n"));
  EXPECT_EQ(client->Reply(10'000), "226 Transfer complete.");
  EXPECT_EQ(client->Reply(10'000), "426 Transfer successfully aborted.");
  EXPECT_FALSE(std::filesystem::exists(dir_.File("root/partial.bin")));
  EXPECT_EQ(client->Command("NOOP"), "200 NOOP command received.");
}

// An upload is complete only when the client ends the data connection in
// order; a reset may have dropped bytes the client had sent, so the upload
// fails (a new file goes, an appended one keeps what arrived).
TEST_F(FtpTransferTest, UploadEndedByAResetFails) {
  WriteWholeFile(dir_.File("root/kept.bin"), "head:");
  struct Case {
    const char* command;
    const char* file;
    bool reset;
    const char* reply;
    bool file_left;
    std::string content;  // when left
    const char* log;
  };
  const std::string body(50'000, 'u');
  const Case cases[] = {
      {"STOR whole.bin", "whole.bin", false, "226 Transfer complete.", true, body,
       "File Uploaded: File=[/whole.bin]"},
      {"STOR broken.bin", "broken.bin", true, "426 Transfer incomplete, data connection was lost.", false, "",
       "Upload Failed: File=[/broken.bin], Reason=[Aborted / Stopped / Data Connection Failure]"},
      {"APPE kept.bin", "kept.bin", true, "426 Transfer incomplete, data connection was lost.", true,
       "head:" + body, "Upload Failed: File=[/kept.bin], Reason=[Aborted / Stopped / Data Connection Failure]"},
  };
  auto client = LoggedIn();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const std::string path = dir_.File(std::string("root/") + c.file);
    const std::uintmax_t before = std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0;
    auto data = Passive(*client);
    EXPECT_EQ(client->Command(c.command), "150 Data connetion established, beginning transfer.");
    ASSERT_TRUE(data->Send(body));
    // Everything has arrived before the connection ends, so only the way it
    // ends decides.
    ASSERT_TRUE(WaitUntil([&] {
      return std::filesystem::exists(path) && std::filesystem::file_size(path) == before + body.size();
    }));
    if (c.reset) {
      data->Reset();
    } else {
      data->Close();
    }
    EXPECT_EQ(client->Reply(), c.reply);
    EXPECT_EQ(std::filesystem::exists(path), c.file_left);
    if (c.file_left) {
      EXPECT_EQ(ReadWholeFile(path), c.content);
    }
    EXPECT_NE(FtpLog().find(c.log), std::string::npos) << FtpLog();
    EXPECT_EQ(client->Command("NOOP"), "200 NOOP command received.");
  }
}

TEST_F(FtpTransferTest, ActiveModeAndEarlyPassiveConnections) {
  WriteWholeFile(dir_.File("root/a.txt"), "active data");
  auto client = LoggedIn();
  // PASV then PORT: the passive socket closes and the transfer goes active.
  const std::uint16_t passive = FtpClient::PassivePort(client->Command("PASV"));
  ASSERT_NE(passive, 0);
  runtime::TcpSocket listener;
  ASSERT_TRUE(listener.ListenOn(0));
  const std::uint16_t port = listener.LocalPort();
  EXPECT_EQ(client->Command("PORT 127,0,0,1," + std::to_string(port / 256) + "," +
                            std::to_string(port % 256)),
            "200 PORT command successful.");
  LoopbackClient stale;
  EXPECT_FALSE(stale.Connect(passive, 500));
  EXPECT_EQ(client->Command("RETR a.txt"), "150 Data connetion established, beginning transfer.");
  runtime::LineSocket incoming;
  ASSERT_TRUE(WaitUntil([&] { return listener.AcceptInto(incoming); }));
  std::string received;
  ASSERT_TRUE(WaitUntil([&] {
    char buffer[64];
    std::size_t length = sizeof buffer;
    if (!incoming.Receive(buffer, &length)) return true;  // closed: all arrived
    received.append(buffer, length);
    return false;
  }));
  EXPECT_EQ(received, "active data");
  EXPECT_EQ(client->Reply(), "226 Transfer complete.");

  // A passive connection made long before RETR is used by it.
  auto early = Passive(*client);
  EXPECT_EQ(client->Command("NOOP"), "200 NOOP command received.");
  EXPECT_EQ(client->Command("RETR a.txt"), "150 Data connetion established, beginning transfer.");
  EXPECT_EQ(early->Receive(11), "active data");
  EXPECT_EQ(client->Reply(), "226 Transfer complete.");
}

TEST_F(FtpTransferTest, AnotherAddressOnThePassivePortIsClosedAndTheClientStillGetsItsFile) {
  WriteWholeFile(dir_.File("root/a.txt"), "the client's data");
  auto client = LoggedIn();
  struct Case {
    const char* name;
    bool thief_before_command;  // else while the transfer waits for its connection
    int thieves;
    bool extended;  // EPSV, else PASV
  };
  const Case cases[] = {
      {"one connection from another address before RETR", true, 1, false},
      {"several connections from another address before RETR", true, 3, false},
      {"one connection from another address while RETR waits", false, 1, false},
      {"one connection from another address to an EPSV port", true, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string opened = client->Command(c.extended ? "EPSV" : "PASV");
    const std::uint16_t data_port =
        c.extended ? static_cast<std::uint16_t>(std::stoi(opened.substr(opened.find("(|||") + 4)))
                   : FtpClient::PassivePort(opened);
    ASSERT_NE(data_port, 0) << opened;
    std::vector<std::unique_ptr<LoopbackClient>> thieves;
    auto connect_thieves = [&] {
      for (int i = 0; i < c.thieves; ++i) {
        thieves.push_back(std::make_unique<LoopbackClient>());
        ASSERT_TRUE(thieves.back()->Connect(data_port, 2000, 2));
      }
    };
    if (c.thief_before_command) {
      connect_thieves();
      // The session looks at its port between commands.
      EXPECT_EQ(client->Command("NOOP"), "200 NOOP command received.");
      ASSERT_TRUE(client->SendRaw("RETR a.txt\r\n"));
    } else {
      ASSERT_TRUE(client->SendRaw("RETR a.txt\r\n"));
      connect_thieves();
    }
    for (auto& thief : thieves) {
      EXPECT_TRUE(thief->WaitForClose(10'000));
      EXPECT_EQ(thief->Receive(SIZE_MAX, 100), "");
    }
    // The port still listens for the client's own connection.
    LoopbackClient own;
    ASSERT_TRUE(own.Connect(data_port, 5000));
    EXPECT_EQ(client->Reply(10'000), "150 Data connetion established, beginning transfer.");
    EXPECT_EQ(own.Receive(SIZE_MAX, 10'000), "the client's data");
    EXPECT_EQ(client->Reply(10'000), "226 Transfer complete.");
    // One PASV, one connection: the port is closed once the transfer has it.
    LoopbackClient late;
    EXPECT_FALSE(late.Connect(data_port, 500));
  }
  const std::string log = FtpLog();
  std::size_t refused = 0;
  for (std::size_t at = log.find("127.0.0.2"); at != std::string::npos; at = log.find("127.0.0.2", at + 1))
    ++refused;
  EXPECT_EQ(refused, 6u) << log;
  EXPECT_NE(log.find("Data Connection Refused: Address=[127.0.0.2], Reason=[not the client's address]"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Download Failed"), std::string::npos) << log;
}

TEST_F(FtpTransferTest, APassiveWaitWithOnlyAnotherAddressEndsAsSiteToSite) {
  WriteWholeFile(dir_.File("root/a.txt"), "x");
  auto client = LoggedIn();
  const std::uint16_t data_port = FtpClient::PassivePort(client->Command("PASV"));
  ASSERT_NE(data_port, 0);
  ASSERT_TRUE(client->SendRaw("RETR a.txt\r\n"));
  LoopbackClient thief;
  ASSERT_TRUE(thief.Connect(data_port, 2000, 2));
  EXPECT_TRUE(thief.WaitForClose(10'000));
  EXPECT_TRUE(client->StaysSilent(300));  // still waiting for the client's own connection
  // The wait ends at its deadline; the clock moves until it is past.
  std::string reply;
  for (int step = 0; step < 3 && reply.empty(); ++step) {
    clock_.Advance(DataConnection::kPassiveTries * DataConnection::kPassiveWaitMs + 1);
    reply = client->Reply(5000);
  }
  EXPECT_EQ(reply, "425 Data connection failed, site to site transfers are disabled.");
  EXPECT_EQ(client->Command("NOOP"), "200 NOOP command received.");
}

TEST_F(FtpTransferTest, PassivePortsAreSharedOutPerAddressAndClosedWhenUnused) {
  // Sessions of one account from one address, each with a passive port.
  std::vector<std::unique_ptr<FtpClient>> sessions;
  std::vector<std::uint16_t> ports;
  for (std::uint32_t i = 0; i < PassiveConfig::kListenersPerAddress; ++i) {
    sessions.push_back(LoggedIn());
    ports.push_back(FtpClient::PassivePort(sessions.back()->Command("PASV")));
    EXPECT_NE(ports.back(), 0);
  }
  ASSERT_EQ(sessions.size(), 8u);
  auto ninth = LoggedIn();
  EXPECT_EQ(ninth->Command("PASV"), "425 Too many passive ports open from your address.");
  EXPECT_EQ(ninth->Command("EPSV"), "425 Too many passive ports open from your address.");
  // A new PASV in a session that holds a port replaces it within its share.
  ports[0] = FtpClient::PassivePort(sessions[0]->Command("PASV"));
  EXPECT_NE(ports[0], 0);
  // A session that ends gives its port back.
  EXPECT_EQ(sessions[7]->Command("QUIT"), "221 Thanks for visiting.");
  EXPECT_TRUE(sessions[7]->WaitForClose());
  ASSERT_TRUE(WaitUntil([&] { return FtpClient::PassivePort(ninth->Command("PASV")) != 0; }));

  // Nobody connects for a minute: every port closes (seven sessions and the ninth).
  clock_.Advance(DataConnection::kUnusedPassiveMs);
  auto closed_ports = [&] {
    const std::string log = FtpLog();
    std::size_t count = 0;
    for (std::size_t at = log.find("Passive Port Closed: Reason=[unused for 60 seconds]");
         at != std::string::npos; at = log.find("Passive Port Closed", at + 1))
      ++count;
    return count;
  };
  ASSERT_TRUE(WaitUntil([&] { return closed_ports() == 8; })) << FtpLog();
  for (std::size_t i = 0; i < 7; ++i) {
    SCOPED_TRACE(i);
    LoopbackClient probe;
    EXPECT_FALSE(probe.Connect(ports[i], 500));
    EXPECT_EQ(sessions[i]->Command("RETR a.txt"), "503 Please use PORT or PASV first.");
  }
  // Their slots are free again.
  for (std::size_t i = 0; i < 7; ++i) EXPECT_NE(FtpClient::PassivePort(sessions[i]->Command("PASV")), 0u);
}

TEST_F(FtpTransferTest, NoDataConnectionGives425) {
  WriteWholeFile(dir_.File("root/a.txt"), "x");
  auto client = LoggedIn();
  // An active target nobody listens on.
  const std::uint16_t closed = testing::UnusedPort();
  EXPECT_EQ(client->Command("PORT 127,0,0,1," + std::to_string(closed / 256) + "," +
                            std::to_string(closed % 256)),
            "200 PORT command successful.");
  EXPECT_EQ(client->Command("RETR a.txt"), "425 Data connection failed.");
  EXPECT_NE(FtpLog().find("Download Failed: File=[/a.txt], Reason=[Data Connection Failed]"),
            std::string::npos);
}


namespace rights_table {

using accounts::AccessRights;
using namespace accounts;  // the named rights

// One operation: the rights it needs together, how it is run, and what the
// disk holds afterwards when it was allowed and when it was refused.
struct Operation {
  const char* name;
  AccessRights needs;
  std::function<std::string(FtpClient&)> run;  // the replies
  std::function<bool(const testing::TempDir&)> done;              // the disk shows it done
};

}  // namespace rights_table

// Every operation against every set of rights with one right on or one off:
// an operation is allowed exactly when it has all the rights it needs, and
// a refusal leaves the disk as it was.
TEST_F(FtpTransferTest, EachOperationNeedsExactlyItsRights) {
  using namespace rights_table;
  const auto command = [](std::string text) {
    return [text](FtpClient& client) { return client.Command(text); };
  };
  // A transfer over a passive connection; a download must bring `shows`.
  const auto transfer = [this](std::string text, const char* upload, std::string shows = {}) {
    return [this, text, upload, shows](FtpClient& client) {
      std::string received;
      const std::string replies = Run(client, text, upload, &received);
      const bool opened = replies.rfind("150 ", 0) == 0;
      return opened && received.find(shows) == std::string::npos ? replies + "\n(wrong bytes)" : replies;
    };
  };
  const auto file_is = [](const char* name, std::string content) {
    return [name, content](const testing::TempDir& dir) {
      return std::filesystem::exists(dir.File(name)) && ReadWholeFile(dir.File(name)) == content;
    };
  };
  const auto exists = [](const char* name) {
    return [name](const testing::TempDir& dir) { return std::filesystem::exists(dir.File(name)); };
  };
  const auto gone = [](const char* name) {
    return [name](const testing::TempDir& dir) { return !std::filesystem::exists(dir.File(name)); };
  };
  const auto unchanged = [](const testing::TempDir&) { return true; };
  const Operation operations[] = {
      {"RETR", kFileRead, transfer("RETR old.txt", nullptr, "old"), unchanged},
      {"LIST", kFolderView, transfer("LIST", nullptr, "old.txt"), unchanged},
      {"SIZE", kFolderView, command("SIZE old.txt"), unchanged},
      {"STOR new", kFileWrite, transfer("STOR new.txt", "new"), file_is("root/new.txt", "new")},
      {"STOR over", kFileWrite | kFileModify, transfer("STOR old.txt", "new"), file_is("root/old.txt", "new")},
      {"APPE", kFileWrite | kFileModify, transfer("APPE old.txt", "+"), file_is("root/old.txt", "old+")},
      {"DELE", kFileModify, command("DELE old.txt"), gone("root/old.txt")},
      {"RNFR file", kFileModify,  // moving into another virtual folder needs more
       [](FtpClient& client) {
         const std::string first = client.Command("RNFR old.txt");
         return first.rfind("350 ", 0) == 0 ? client.Command("RNTO moved.txt") : first;
       },
       exists("root/moved.txt")},
      {"MKD", kFolderCreate, command("MKD made"), exists("root/made")},
      {"RMD", kFolderModify, command("RMD empty"), gone("root/empty")},
      {"RNFR folder", kFolderModify,
       [](FtpClient& client) {
         const std::string first = client.Command("RNFR empty");
         return first.rfind("350 ", 0) == 0 ? client.Command("RNTO renamed") : first;
       },
       exists("root/renamed")},
  };
  constexpr AccessRights kEach[] = {kFileRead,  kFileWrite,    kFileModify,
                                    kFolderView, kFolderCreate, kFolderModify};
  std::vector<AccessRights> sets = {0, kAllRights};
  for (AccessRights right : kEach) {
    sets.push_back(right);
    sets.push_back(kAllRights & ~right);
  }
  for (AccessRights rights : sets) {
    // A login joins a logged-in account as it is: the last set's session
    // must be gone before the next set is stored.
    ASSERT_TRUE(WaitUntil([&] { return server_->GetStatus().users == 0; }, 10'000));
    UpdateAccount("bob", [rights](accounts::AccountRecord& bob) { bob.mRights = rights; });
    auto client = LoggedIn();
    for (const Operation& operation : operations) {
      SCOPED_TRACE(std::string(operation.name) + " with rights " + std::to_string(rights));
      std::filesystem::remove_all(dir_.File("root"));
      std::filesystem::create_directories(dir_.File("root/empty"));
      WriteWholeFile(dir_.File("root/old.txt"), "old");
      const std::string replies = operation.run(*client);
      const std::string last = replies.substr(replies.rfind('\n') + 1);
      if ((rights & operation.needs) == operation.needs) {
        EXPECT_TRUE(last[0] == '2') << replies;
        EXPECT_TRUE(operation.done(dir_)) << replies;
      } else {
        EXPECT_EQ(last, std::string("550 ") + accountfs::messages::kNoRights + ".") << replies;
        EXPECT_TRUE(file_is("root/old.txt", "old")(dir_));
        EXPECT_TRUE(exists("root/empty")(dir_));
        for (const char* name : {"root/new.txt", "root/moved.txt", "root/made", "root/renamed"})
          EXPECT_FALSE(exists(name)(dir_)) << name;
      }
    }
  }
}

}  // namespace
}  // namespace quillon::ftp
