// MFMT, HASH and CLNT through a live session: the time MFMT sets and MDTM
// reads back, the digests HASH gives and the rights it needs, the
// bookkeeping it must not touch, the ways it is interrupted, and the log
// line CLNT leaves.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "access/server_counters.h"
#include "platform/digest.h"
#include "support/ftp_server_fixture.h"
#include "support/wait.h"

namespace quillon::ftp {
namespace {

using access::ServerCounters;
using testing::FtpClient;
using testing::WaitUntil;
using testing::WriteWholeFile;

constexpr const char* kSha256Abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr const char* kSha1Abc = "a9993e364706816aba3e25717850c26c9cd0d89d";
constexpr const char* kMd5Abc = "900150983cd24fb0d6963f7d28e17f72";
constexpr const char* kSha256Empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// The SHA-256 of `bytes` in one piece, as lower-case hex: what a digest
// computed in steps must come to.
std::string Sha256Hex(const std::string& bytes) {
  platform::Digest digest(platform::DigestAlgorithm::kSha256);
  std::string raw;
  if (!digest.Update(bytes) || !digest.Finish(&raw)) return "digest failed";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (const char byte : raw) {
    hex += kHex[static_cast<unsigned char>(byte) >> 4];
    hex += kHex[static_cast<unsigned char>(byte) & 15];
  }
  return hex;
}

class HashAndTimeCommandsTest : public testing::FtpServerFixture {
 protected:
  void SetUp() override {
    FtpServerFixture::SetUp();
    WriteWholeFile(dir_.File("root/abc.txt"), "abc");
    WriteWholeFile(dir_.File("root/a.txt"), "hello");
    std::filesystem::create_directories(dir_.File("root/sub"));
  }
  // A copy of bob's account under `name` with only `rights`.
  void AddAccount(const char* name, accounts::AccessRights rights) {
    UpdateAccount("bob", [&](accounts::AccountRecord& record) {
      record.SetName(name);
      record.mRights = rights;
    });
  }
  // A file of `bytes` zero bytes that takes no disk space.
  std::string SparseFile(const char* name, std::uint64_t bytes) {
    const std::string path = dir_.File(std::string("root/") + name);
    WriteWholeFile(path, "");
    std::filesystem::resize_file(path, bytes);
    return path;
  }
  ServerCounters& Counters() { return server_->Auth().Counters(); }
};

TEST_F(HashAndTimeCommandsTest, MfmtSetsTheTimeThatMdtmReadsBack) {
  port_ = Start();
  auto client = LoggedIn();
  EXPECT_EQ(client->Command("MFMT 20030307090500 a.txt"), "213 Modify=20030307090500; a.txt");
  EXPECT_EQ(client->Command("MDTM a.txt"), "213 20030307090500");
  // The path comes back as the client wrote it.
  EXPECT_EQ(client->Command("MFMT 20200229235959 sub/../a.txt"), "213 Modify=20200229235959; sub/../a.txt");
  EXPECT_EQ(client->Command("MDTM /a.txt"), "213 20200229235959");

  struct Case {
    const char* line;
    const char* reply;
  } refused[] = {
      {"MFMT", "501 Expected a time (YYYYMMDDHHMMSS) and a path."},
      {"MFMT 20030307090500", "501 Expected a time (YYYYMMDDHHMMSS) and a path."},
      {"MFMT 20031307090500 a.txt", "501 Expected a time (YYYYMMDDHHMMSS) and a path."},  // month 13
      {"MFMT 20030230090500 a.txt", "501 Expected a time (YYYYMMDDHHMMSS) and a path."},  // 30 February
      {"MFMT 2003030709050 a.txt", "501 Expected a time (YYYYMMDDHHMMSS) and a path."},   // 13 digits
      {"MFMT a.txt 20030307090500", "501 Expected a time (YYYYMMDDHHMMSS) and a path."},
      // What the set form of MDTM answers for them.
      {"MFMT 20030307090500 none.txt", "550 File does not exist"},
      {"MFMT 20030307090500 sub", "550 File does not exist"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(client->Command(c.line), c.reply);
  }
  EXPECT_EQ(client->Command("MDTM 20030307090500 none.txt"), "550 File does not exist");
  EXPECT_EQ(client->Command("MDTM a.txt"), "213 20200229235959");  // none of them changed it
}

TEST_F(HashAndTimeCommandsTest, MfmtNeedsTheRightMdtmNeedsAndChangesNothingWithout) {
  AddAccount("viewer", accounts::kFileRead | accounts::kFolderView);
  port_ = Start();
  const std::string file = dir_.File("root/a.txt");
  const auto before = std::filesystem::last_write_time(file);
  auto viewer = LoggedInAs("viewer");
  const std::string refused = viewer->Command("MFMT 20030307090500 a.txt");
  EXPECT_EQ(refused, "550 You do not the access rights to perform this action");
  EXPECT_EQ(viewer->Command("MDTM 20030307090500 a.txt"), refused);
  EXPECT_EQ(std::filesystem::last_write_time(file), before);
  EXPECT_NE(viewer->Command("MDTM a.txt"), "213 20030307090500");
}

TEST_F(HashAndTimeCommandsTest, HashGivesTheDigestOfTheChosenAlgorithm) {
  WriteWholeFile(dir_.File("root/empty.bin"), "");
  // Over several steps, with a last one that is not full.
  std::string big;
  for (int i = 0; i < (5 << 19) + 123; ++i) big += static_cast<char>('a' + i % 23);
  WriteWholeFile(dir_.File("root/big.bin"), big);
  port_ = Start();
  auto client = LoggedIn();
  struct Case {
    const char* line;
    std::string reply;
  } cases[] = {
      {"OPTS HASH", "200 SHA-256"},
      {"HASH abc.txt", std::string("213 SHA-256 0-3 ") + kSha256Abc + " abc.txt"},
      {"HASH /sub/../abc.txt", std::string("213 SHA-256 0-3 ") + kSha256Abc + " /sub/../abc.txt"},
      {"HASH empty.bin", std::string("213 SHA-256 0-0 ") + kSha256Empty + " empty.bin"},
      {"HASH big.bin", "213 SHA-256 0-" + std::to_string(big.size()) + " " + Sha256Hex(big) + " big.bin"},
      {"OPTS HASH SHA-1", "200 SHA-1"},
      {"HASH abc.txt", std::string("213 SHA-1 0-3 ") + kSha1Abc + " abc.txt"},
      {"OPTS HASH md5", "200 MD5"},
      {"HASH abc.txt", std::string("213 MD5 0-3 ") + kMd5Abc + " abc.txt"},
      {"OPTS HASH SHA-512", "501 Unknown algorithm, current selection not changed"},
      {"OPTS HASH", "200 MD5"},
      {"FEAT",
       "211-Features:\n EPRT\n EPSV\n HASH SHA-256;SHA-1;MD5*\n MDTM\n MFMT\n"
       " MLST type*;size*;modify*;perm*;unique*;\n REST STREAM\n SIZE\n UTF8\n211 End"},
      {"OPTS HASH sha-256", "200 SHA-256"},
      // A restart offset does not narrow the digest, and is used up by it.
      {"REST 1", "350 REST command successful."},
      {"HASH abc.txt", std::string("213 SHA-256 0-3 ") + kSha256Abc + " abc.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(client->Command(c.line), c.reply);
  }
  std::string received;
  EXPECT_EQ(Run(*client, "RETR abc.txt", nullptr, &received), testing::kOpenedAndDone);
  EXPECT_EQ(received, "abc");
}

TEST_F(HashAndTimeCommandsTest, HashIsRefusedWhereRetrIs) {
  AddAccount("lister", accounts::kFolderView);
  port_ = Start();
  auto bob = LoggedIn();
  auto lister = LoggedInAs("lister");
  struct Case {
    FtpClient* client;
    const char* path;
    const char* reply;
  } cases[] = {
      {bob.get(), "sub", "550 File does not exist."},
      {bob.get(), "none.bin", "550 File does not exist."},
      {bob.get(), "../../../etc/passwd", "550 File does not exist."},
      {lister.get(), "abc.txt", "550 You do not the access rights to perform this action."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.client->Command(std::string("HASH ") + c.path), c.reply);
    EXPECT_EQ(Run(*c.client, std::string("RETR ") + c.path, nullptr), c.reply);
  }
  EXPECT_EQ(bob->Command("HASH"), "501 a parameter is required.");
  EXPECT_EQ(bob->Command("HASH abc.txt"), std::string("213 SHA-256 0-3 ") + kSha256Abc + " abc.txt");
}

TEST_F(HashAndTimeCommandsTest, HashIsNoDownloadForCreditsCountersOrLogs) {
  WriteWholeFile(dir_.File("root/paid.bin"), std::string(100'000, 'p'));
  // Downloads cost 2 credits a KB (and 2 to start): bob has 10, broke none.
  UpdateAccount("bob", [](accounts::AccountRecord& bob) {
    bob.mUseCredits = true;
    bob.mDownloadCredits = -2;
    bob.mCurrentCredits = 10;
  });
  UpdateAccount("bob", [](accounts::AccountRecord& broke) {
    broke.SetName("broke");
    broke.mCurrentCredits = 0;
  });
  ChangeSettings([](settings::ServerSettings& s) {
    std::string error;
    EXPECT_TRUE(s.Extra().Set("xferlog", "logs/xferlog", &error)) << error;
  });
  port_ = Start();
  const std::string digest = Sha256Hex(std::string(100'000, 'p'));
  auto bob = LoggedIn();
  EXPECT_EQ(bob->Command("HASH paid.bin"), "213 SHA-256 0-100000 " + digest + " paid.bin");
  std::uint32_t credits = 0;
  ASSERT_TRUE(server_->Auth().GetLiveCredits("bob", &credits));
  EXPECT_EQ(credits, 10u);
  // A download needs credits the balance lacks; the digest does not.
  auto broke = LoggedInAs("broke");
  EXPECT_EQ(broke->Command("HASH paid.bin"), "213 SHA-256 0-100000 " + digest + " paid.bin");
  EXPECT_EQ(Run(*broke, "RETR paid.bin", nullptr),
            "550 This resource requires transfer credits, you currently have none.");

  for (int state = 0; state < 3; ++state)
    EXPECT_EQ(Counters().TransfersEnded(ServerCounters::Direction::kDownload, state), 0u);
  EXPECT_EQ(Counters().TransferBytes(ServerCounters::Direction::kDownload), 0u);
  // A download's lines would be written before its reply; this one's reply has come.
  const std::string xferlog = std::filesystem::exists(dir_.File("logs/xferlog"))
                                  ? testing::ReadWholeFile(dir_.File("logs/xferlog"))
                                  : std::string();
  EXPECT_EQ(xferlog.find("paid.bin"), std::string::npos) << xferlog;
  EXPECT_EQ(FtpLog().find("Download"), std::string::npos) << FtpLog();
  for (const access::ActivitySnapshot& shown : server_->SessionList()) {
    EXPECT_EQ(shown.transfer_state, access::TransferState::kNone) << shown.activity;
    EXPECT_EQ(shown.transfer_bytes, 0u) << shown.activity;
  }
}

TEST_F(HashAndTimeCommandsTest, AborStatAndStopsInterruptAHash) {
  SparseFile("huge.bin", 256ull << 20);
  port_ = Start();
  auto client = LoggedIn();

  // Queued behind the HASH: each line is read between steps.
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(client->SendRaw("HASH huge.bin\r\nSTAT\r\nNOOP\r\nABOR\r\n"));
  EXPECT_EQ(client->Reply(10'000), "211 The transfer is operating correctly.");
  EXPECT_EQ(client->Reply(10'000), "550 Cannot process command in transfer mode.");
  EXPECT_EQ(client->Reply(10'000), "226 Transfer complete.");
  EXPECT_EQ(client->Reply(10'000), "426 Transfer successfully aborted.");
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(2));
  EXPECT_EQ(client->Command("NOOP"), "200 NOOP command received.");
  EXPECT_EQ(client->Command("ABOR"), "225 No transfer in progress.");

  // The administrator's stop, as a transfer gets it.
  const std::uint32_t id = server_->SessionList().at(0).session_id;
  ASSERT_TRUE(client->SendRaw("HASH huge.bin\r\nSTAT\r\n"));
  EXPECT_EQ(client->Reply(10'000), "211 The transfer is operating correctly.");
  server_->Auth().QueueSessionAction(id, access::SessionActionKind::kStopTransfer, "Maintenance");
  EXPECT_EQ(client->Reply(10'000), "451 Maintenance");
  EXPECT_EQ(client->Command("NOOP"), "200 NOOP command received.");

  // The server stopping ends the session in the middle of one.
  ASSERT_TRUE(client->SendRaw("HASH huge.bin\r\nSTAT\r\n"));
  EXPECT_EQ(client->Reply(10'000), "211 The transfer is operating correctly.");
  const auto stopping = std::chrono::steady_clock::now();
  server_->Deactivate();
  EXPECT_TRUE(client->WaitForClose(5'000));
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(2));
  EXPECT_EQ(server_->GetStatus().users, 0u);
}

TEST_F(HashAndTimeCommandsTest, HashOfFiftyMegabytesTakesUnderTwoSeconds) {
  SparseFile("fifty.bin", 50u << 20);
  port_ = Start();
  auto client = LoggedIn();
  const std::string expected = "213 SHA-256 0-52428800 " + Sha256Hex(std::string(50u << 20, '\0')) + " fifty.bin";
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_EQ(client->Command("HASH fifty.bin", 10'000), expected);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(2));
}

TEST_F(HashAndTimeCommandsTest, ClntIsNotedAndLoggedOnceBeforeOrAfterLogin) {
  port_ = Start();
  FtpClient client;
  ASSERT_EQ(client.Connect(port_).substr(0, 4), "220 ");
  EXPECT_EQ(client.Command("CLNT Probe 2.1 (test)"), "200 Noted.");
  EXPECT_EQ(client.Command("CLNT"), "501 a parameter is required.");
  ASSERT_EQ(client.Login("bob", "secret").substr(0, 4), "230-");
  for (int i = 0; i < 50; ++i) EXPECT_EQ(client.Command("CLNT again"), "200 Noted.");  // not logged
  auto later = LoggedIn();
  EXPECT_EQ(later->Command("CLNT after"), "200 Noted.");
  EXPECT_TRUE(WaitUntil([&] {
    return FtpLog().find("127.0.0.1 -> bob -> Client Identified: Client=[after]") != std::string::npos;
  })) << FtpLog();
  const std::string log = FtpLog();
  EXPECT_NE(log.find("127.0.0.1 -> Client Identified: Client=[Probe 2.1 (test)]"), std::string::npos) << log;
  EXPECT_EQ(log.find("Client=[again]"), std::string::npos) << log;
}

}  // namespace
}  // namespace quillon::ftp
