#include "ftp/transfer_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "accountfs/messages.h"
#include "platform/fs.h"
#include "settings/log_retention.h"
#include "support/ftp_server_fixture.h"
#include "support/wait.h"

namespace quillon::ftp {
namespace {

using Kind = accountfs::FileTransfer::Kind;
using testing::ReadWholeFile;
using testing::WaitUntil;
using testing::WriteWholeFile;

std::vector<std::string> Fields(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> fields;
  for (std::string field; in >> field;) fields.push_back(field);
  return fields;
}

// Every line of `text` that contains `part`.
std::vector<std::string> LinesWith(const std::string& text, const std::string& part) {
  std::vector<std::string> found;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.find(part) != std::string::npos) found.push_back(line);
  return found;
}

TEST(TransferLogTextTest, FiguresFollowTheFileAndFailuresKeepTheirReason) {
  struct Case {
    Kind kind;
    const char* reason;
    TransferFigures figures;
    const char* expected;
  } cases[] = {
      {Kind::kDownload, nullptr, {1'048'576, 2'000},
       "File Downloaded: File=[/a b.bin], Size=[1048576 bytes], Time=[2.00 s], Rate=[512.0 KB/s]"},
      {Kind::kUpload, nullptr, {1'536, 1'250},
       "File Uploaded: File=[/a b.bin], Size=[1536 bytes], Time=[1.25 s], Rate=[1.2 KB/s]"},
      // No measurable time: the rate counts it as 1 ms.
      {Kind::kUpload, nullptr, {5'000, 0},
       "File Uploaded: File=[/a b.bin], Size=[5000 bytes], Time=[0.00 s], Rate=[4882.8 KB/s]"},
      {Kind::kUpload, nullptr, {0, 0},
       "File Uploaded: File=[/a b.bin], Size=[0 bytes], Time=[0.00 s], Rate=[0.0 KB/s]"},
      // Sizes past 4 GB, times past 49 days of milliseconds stay whole.
      {Kind::kDownload, nullptr, {5'000'000'000ull, 4'000'000'000u},
       "File Downloaded: File=[/a b.bin], Size=[5000000000 bytes], Time=[4000000.00 s], Rate=[1.2 KB/s]"},
      {Kind::kDownload, "Aborted / Stopped / Data Connection Failure", {70'000, 15},
       "Download Failed: File=[/a b.bin], Reason=[Aborted / Stopped / Data Connection Failure], "
       "Size=[70000 bytes], Time=[0.01 s]"},
      {Kind::kUpload, "File Write Failed", {1'048'576, 3'456},
       "Upload Failed: File=[/a b.bin], Reason=[File Write Failed], Size=[1048576 bytes], Time=[3.46 s]"},
      // Listings keep their lines as they were.
      {Kind::kListing, nullptr, {900, 10}, "Directory Viewed: Directory=[/a b.bin]"},
      {Kind::kListing, "Data Connection Failed", {0, 0},
       "Directory View Failed: File=[/a b.bin], Reason=[Data Connection Failed]"},
  };
  for (const Case& c : cases) EXPECT_EQ(TransferLogText(c.kind, "/a b.bin", c.reason, c.figures), c.expected);
}

TEST(XferLogLineTest, KeepsEighteenFieldsWhateverTheNamesHold) {
  XferRecord record;
  record.end_seconds = 1'796'771'770;  // December 2026
  record.duration_ms = 2'600;
  record.remote_host = "127.0.0.1";
  record.bytes = 1'048'576;
  record.ftp_path = "/up/a b.bin";
  record.incoming = true;
  record.user = "alice";
  const std::string line = XferLogLine(record);
  // "Tue Dec  8 23:16:10 2026": 24 characters, five fields (local time).
  ASSERT_GT(line.size(), 25u);
  EXPECT_EQ(line[24], ' ');
  std::vector<std::string> fields = Fields(line);
  ASSERT_EQ(fields.size(), 18u) << line;
  EXPECT_EQ(fields[4], "2026");
  EXPECT_EQ(std::vector<std::string>(fields.begin() + 5, fields.end()),
            (std::vector<std::string>{"3", "127.0.0.1", "1048576", "/up/a_b.bin", "b", "_", "i", "r", "alice",
                                      "ftp", "0", "*", "c"}));

  record.duration_ms = 10;  // at least a second: analysers divide by it
  record.binary = false;
  record.incoming = false;
  record.anonymous = true;
  record.completed = false;
  record.ftp_path = "/x\ny\r\tz\\w\x7F";
  record.user = "anonymous guest";
  const std::string hostile = XferLogLine(record);
  EXPECT_EQ(hostile.find_first_of("\r\n\t\x7F"), std::string::npos) << hostile;
  fields = Fields(hostile);
  ASSERT_EQ(fields.size(), 18u) << hostile;
  EXPECT_EQ(std::vector<std::string>(fields.begin() + 5, fields.end()),
            (std::vector<std::string>{"1", "127.0.0.1", "1048576", "/x\\x0Ay\\x0D\\x09z\\x5Cw\\x7F", "a", "_", "o",
                                      "a", "anonymous_guest", "ftp", "0", "*", "i"}));
  EXPECT_EQ(XferField(""), "_");
  EXPECT_EQ(XferField("caf\xC3\xA9"), "caf\xC3\xA9");  // UTF-8 names stay readable
}

TEST(TransferLogTextTest, AllowanceRefusalsAreTheQuotaAndCreditTexts) {
  namespace messages = accountfs::messages;
  for (const char* text : {messages::kNotEnoughSpace, messages::kAllocationReached, messages::kOutOfCredits,
                           messages::kNeedsCredits})
    EXPECT_TRUE(IsAllowanceRefusal(text)) << text;
  for (const char* text : {messages::kNoRights, messages::kBannedType, messages::kWriteFailed, ""})
    EXPECT_FALSE(IsAllowanceRefusal(text)) << text;
}

class TransferLoggingTest : public testing::FtpServerFixture {
 protected:
  void SetUp() override {
    FtpServerFixture::SetUp();
    ChangeSettings([](settings::ServerSettings& s) {
      std::string error;
      EXPECT_TRUE(s.Extra().Set("xferlog", "logs/xferlog", &error)) << error;
    });
    UpdateAccount("bob", [](accounts::AccountRecord& bob) { bob.mUseLogs = true; });
    port_ = Start();
  }
  std::string XferLog() const { return ReadWholeFile(dir_.File("logs/xferlog")); }
  std::string AccountLog() const { return ReadWholeFile(dir_.File("accountlogs/bob.txt")); }
};

TEST_F(TransferLoggingTest, EveryFileTransferGetsItsSizedLinesAndOneXferlogLine) {
  WriteWholeFile(dir_.File("root/down.bin"), std::string(70'000, 'd'));
  auto client = LoggedIn();
  EXPECT_EQ(client->Command("TYPE I"), "200 Type set to 'I' (IMAGE).");
  EXPECT_EQ(Run(*client, "STOR up load.bin", std::string(5'000, 'u')), testing::kOpenedAndDone);
  std::string received;
  EXPECT_EQ(Run(*client, "RETR down.bin", nullptr, &received), testing::kOpenedAndDone);
  EXPECT_EQ(received.size(), 70'000u);
  EXPECT_EQ(Run(*client, "LIST", nullptr), testing::kOpenedAndDone);
  EXPECT_EQ(client->Command("TYPE A"), "200 Type set to 'A' (ASCII).");
  EXPECT_EQ(Run(*client, "RETR down.bin", nullptr), testing::kOpenedAndDone);

  // The clock stood still: no time, the rate over 1 ms.
  const char* uploaded =
      "bob -> File Uploaded: File=[/up load.bin], Size=[5000 bytes], Time=[0.00 s], Rate=[4882.8 KB/s]";
  const char* downloaded =
      "bob -> File Downloaded: File=[/down.bin], Size=[70000 bytes], Time=[0.00 s], Rate=[68359.4 KB/s]";
  ASSERT_TRUE(WaitUntil([&] { return LinesWith(FtpLog(), downloaded).size() == 2; })) << FtpLog();
  EXPECT_EQ(LinesWith(FtpLog(), uploaded).size(), 1u) << FtpLog();
  EXPECT_EQ(LinesWith(AccountLog(), std::string(uploaded).substr(7)).size(), 1u) << AccountLog();

  const std::vector<std::string> lines = LinesWith(XferLog(), " ftp 0 * ");
  ASSERT_EQ(lines.size(), 3u) << XferLog();  // the listing has none
  const std::vector<std::vector<std::string>> expected = {
      {"1", "127.0.0.1", "5000", "/up_load.bin", "b", "_", "i", "r", "bob", "ftp", "0", "*", "c"},
      {"1", "127.0.0.1", "70000", "/down.bin", "b", "_", "o", "r", "bob", "ftp", "0", "*", "c"},
      {"1", "127.0.0.1", "70000", "/down.bin", "a", "_", "o", "r", "bob", "ftp", "0", "*", "c"},
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::vector<std::string> fields = Fields(lines[i]);
    ASSERT_EQ(fields.size(), 18u) << lines[i];
    EXPECT_EQ(std::vector<std::string>(fields.begin() + 5, fields.end()), expected[i]) << lines[i];
  }
  EXPECT_EQ(std::filesystem::status(dir_.File("logs/xferlog")).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  // A new path takes the next lines; "" stops them.
  server_->TransferLog().SetPath(dir_.File("logs/other"));
  EXPECT_EQ(Run(*client, "STOR second.bin", "2"), testing::kOpenedAndDone);
  server_->TransferLog().SetPath("");
  EXPECT_EQ(Run(*client, "STOR third.bin", "3"), testing::kOpenedAndDone);
  EXPECT_EQ(LinesWith(ReadWholeFile(dir_.File("logs/other")), "/second.bin").size(), 1u);
  EXPECT_TRUE(LinesWith(XferLog(), "/second.bin").empty());
  EXPECT_TRUE(LinesWith(XferLog(), "/third.bin").empty());
}

TEST_F(TransferLoggingTest, AFailedUploadCountsTheBytesKeptAndIsIncomplete) {
  UpdateAccount("bob", [](accounts::AccountRecord& bob) {
    bob.mUseMaxSize = true;
    bob.mMaxSize = 1;  // MB
  });
  auto client = LoggedIn();
  // Refusals of other kinds are the replies' business alone.
  std::filesystem::create_directories(dir_.File("root/sub"));
  EXPECT_EQ(Run(*client, "STOR sub", "3"), "550 Unable to truncate the file.");
  EXPECT_EQ(Run(*client, "STOR two.bin", std::string(2 * 1'048'576, 't')),
            "150 Data connetion established, beginning transfer.\n"
            "451 You have reached your maximim account allocation for this resource.");
  const std::string refused =
      "bob -> Upload Refused: File=[/two.bin], Reason=[You have reached your maximim account allocation for "
      "this resource]";
  ASSERT_TRUE(WaitUntil([&] { return !LinesWith(FtpLog(), "Upload Failed: File=[/two.bin]").empty(); }));
  EXPECT_EQ(LinesWith(FtpLog(), refused).size(), 1u) << FtpLog();
  EXPECT_EQ(LinesWith(FtpLog(), "Upload Failed: File=[/two.bin], Reason=[File Write Failed], "
                                "Size=[1048576 bytes], Time=[0.00 s]")
                .size(),
            1u)
      << FtpLog();
  EXPECT_EQ(LinesWith(AccountLog(), refused.substr(7)).size(), 1u) << AccountLog();
  const std::vector<std::string> fields = Fields(XferLog());
  ASSERT_EQ(fields.size(), 18u) << XferLog();
  EXPECT_EQ(fields[7], "1048576");
  EXPECT_EQ(fields[17], "i");

  // With the allocation full, the next upload is refused before it opens.
  EXPECT_EQ(Run(*client, "STOR three.bin", "3"),
            "550 You have reached your maximim account allocation for this resource.");
  EXPECT_EQ(LinesWith(FtpLog(),
                      "bob -> Upload Refused: File=[/three.bin], Reason=[You have reached your maximim account "
                      "allocation for this resource]")
                .size(),
            1u)
      << FtpLog();
  EXPECT_EQ(LinesWith(FtpLog(), "Upload Refused").size(), 2u) << FtpLog();
}

TEST_F(TransferLoggingTest, KicksAndTimeOutsAreLoggedWithTheirReason) {
  auto kicked = LoggedIn();
  auto admitted = LoggedIn();
  std::vector<std::uint32_t> ids;
  for (const auto& session : server_->SessionList()) ids.push_back(session.session_id);
  std::sort(ids.begin(), ids.end());
  ASSERT_EQ(ids.size(), 2u);
  server_->Auth().QueueSessionAction(ids[0], access::SessionActionKind::kKick, "Time to go");
  EXPECT_EQ(kicked->Reply(), "421 Time to go");
  EXPECT_TRUE(WaitUntil([&] { return !LinesWith(FtpLog(), "Session Kicked").empty(); }));
  EXPECT_EQ(LinesWith(FtpLog(), "bob -> Session Kicked: Reason=[Time to go]").size(), 1u) << FtpLog();
  EXPECT_EQ(LinesWith(AccountLog(), "127.0.0.1 -> Session Kicked: Reason=[Time to go]").size(), 1u);

  // Blocked while logged in; newcomers are refused.
  ChangeSettings([](settings::ServerSettings& s) {
    s.mUseBlockIPs = true;
    s.mBlockIPs.AddAddress({127, 0, 0, 1});
  });
  server_->Auth().RefreshActiveAccounts();
  EXPECT_EQ(admitted->Reply(), "421 Your session is no longer allowed access.");
  EXPECT_TRUE(WaitUntil([&] { return LinesWith(FtpLog(), "Session Kicked").size() == 2; })) << FtpLog();
  EXPECT_EQ(LinesWith(FtpLog(), "bob -> Session Kicked: Reason=[Access disallowed, your IP is blocked]").size(),
            1u)
      << FtpLog();
  testing::FtpClient blocked;
  EXPECT_EQ(blocked.Connect(port_), "421 Access disallowed, your IP is blocked.");
  EXPECT_TRUE(WaitUntil([&] {
    return LinesWith(FtpLog(), "127.0.0.1 -> Connection Refused: Reason=[Access disallowed, your IP is blocked]")
               .size() == 1;
  })) << FtpLog();
}

TEST_F(TransferLoggingTest, AnIdleTimeOutIsLoggedAsTheServersClosing) {
  ChangeSettings([](settings::ServerSettings& s) { s.mIdleTimeOut = 60; });
  auto client = LoggedIn();
  clock_.Advance(60'001);
  EXPECT_EQ(client->Reply(), "421 Control connection time-out or forced closure.");
  EXPECT_TRUE(WaitUntil([&] { return !LinesWith(FtpLog(), "Session Kicked").empty(); })) << FtpLog();
  EXPECT_EQ(LinesWith(FtpLog(), "bob -> Session Kicked: Reason=[Control connection time-out or forced closure.]")
                .size(),
            1u)
      << FtpLog();
  // A server that stops ends its sessions without calling them kicked.
  auto stopped = LoggedIn();
  server_->Deactivate();
  EXPECT_EQ(LinesWith(FtpLog(), "Session Kicked").size(), 1u) << FtpLog();
}

// Old numbered logs go at activation, and again a day later on the
// server's own minute pass.
TEST(LogRetentionInServerTest, OldLogsGoAtActivationAndOnceADayAfter) {
  constexpr std::int64_t kNow = 1'796'771'770;
  constexpr std::int64_t kDay = 24 * 60 * 60;
  testing::ManualClock clock(1'000'000, kNow * 1'000'000'000);
  testing::TempDir dir;
  for (const char* folder : {"config", "logs", "accountlogs", "temp", "root"})
    std::filesystem::create_directories(dir.File(folder));
  auto write_log = [&](const std::string& name, std::int64_t seconds_ago) {
    WriteWholeFile(dir.File("logs/" + name), "old\r\n");
    const platform::FileTime when{kNow - seconds_ago, 0};
    ASSERT_TRUE(platform::SetPathTimes(dir.File("logs/" + name), &when, &when));
  };
  write_log("ftp_3.txt", 31 * kDay);
  write_log("ftp_4.txt", 29 * kDay + 60);  // 30 days old when the next day's pass comes
  write_log("remoteadmin_1.txt", 40 * kDay);
  write_log("remoteadmin_2.txt", 35 * kDay);
  ftp::FtpServer server(clock, dir.Path());
  {
    runtime::CriticalSection::Guard guard(server.Settings().Lock());
    server.Settings().mPort = 0;
    std::string error;
    ASSERT_TRUE(server.Settings().Extra().Set("log_keep_days", "30", &error)) << error;
  }
  std::string error;
  ASSERT_TRUE(server.Activate(&error)) << error;
  EXPECT_FALSE(std::filesystem::exists(dir.File("logs/ftp_3.txt")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("logs/remoteadmin_1.txt")));
  EXPECT_TRUE(std::filesystem::exists(dir.File("logs/ftp_4.txt")));
  EXPECT_TRUE(std::filesystem::exists(dir.File("logs/remoteadmin_2.txt")));  // the admin log's latest
  const std::string log_path = dir.File("logs/ftp_0.txt");
  EXPECT_EQ(LinesWith(ReadWholeFile(log_path), "Old Logs Removed: Count=[2]").size(), 1u)
      << ReadWholeFile(log_path);

  // Not before the day is over (the minute pass runs as the clock moves;
  // it gets a moment to look)...
  clock.Advance(settings::LogRetention::kIntervalMs / 2);
  clock.Advance(settings::LogRetention::kIntervalMs / 2 - 1);
  EXPECT_FALSE(WaitUntil([&] { return !std::filesystem::exists(dir.File("logs/ftp_4.txt")); }, 300));
  // ...then, at the saver's next minute, ftp_4.txt, now older than 30 days,
  // goes too.
  clock.Advance(1);
  clock.Advance(access::BalanceSaver::kIntervalMs);
  EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(dir.File("logs/ftp_4.txt")); }));
  EXPECT_TRUE(WaitUntil([&] {
    return LinesWith(ReadWholeFile(log_path), "Old Logs Removed: Count=[1]").size() == 1;
  }));
  EXPECT_TRUE(std::filesystem::exists(dir.File("logs/remoteadmin_2.txt")));
  server.Deactivate();
}

}  // namespace
}  // namespace quillon::ftp
