// Thousands of random and mangled command lines against a logged-in
// session: the server must keep answering, and nothing may appear outside
// the account's root folder.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "support/ftp_server_fixture.h"

namespace quillon::ftp {
namespace {

using testing::FtpClient;

// Commands that answer at once (no data connection is involved).
constexpr const char* kWords[] = {"NOOP", "CWD",  "MKD",  "RMD",  "DELE", "SIZE", "MDTM", "RNFR",
                                  "RNTO", "REST", "TYPE", "STRU", "MODE", "SITE", "HELP", "STAT",
                                  "SYST", "ALLO", "PWD",  "USER", "PASS", "ABOR", "XCWD", "XMKD",
                                  "XRMD", "CDUP", "XPWD", "MLSD", "SITE CPWD"};
constexpr const char* kPieces[] = {"..", "/", "\\", "%", "*", "con", "aux", "lpt1", ".hidden",
                                   "   ", "\xFF\xF4", "a", "dir", "x.exe", "20030307090500 "};

class FtpRobustnessTest : public testing::FtpServerFixture {
 protected:
  void SetUp() override {
    FtpServerFixture::SetUp();
    port_ = Start();
  }

  std::string RandomLine(std::mt19937& random) {
    std::string line;
    const int kind = static_cast<int>(random() % 4);
    if (kind == 0) {  // raw bytes, without line ends
      const std::size_t length = random() % 300;
      for (std::size_t i = 0; i < length; ++i) {
        char ch = static_cast<char>(random() % 256);
        line.push_back(ch == '\r' || ch == '\n' ? 'x' : ch);
      }
      return line;
    }
    line = kWords[random() % std::size(kWords)];
    if (kind == 3) {
      for (char& ch : line) ch = static_cast<char>(ch | 0x20);  // lower case
    }
    if (random() % 5 != 0) line.push_back(' ');
    const std::size_t pieces = random() % 8;
    for (std::size_t i = 0; i < pieces; ++i) {
      line += kPieces[random() % std::size(kPieces)];
      if (random() % 2) line += "/";
    }
    if (kind == 2) line += std::string(random() % 3000, 'L');  // long lines get cut
    // Now and then a line past the 64 KiB a session buffers: it ends the session.
    if (random() % 300 == 0) line += std::string(70'000, 'F');
    return line;
  }
};

TEST_F(FtpRobustnessTest, RandomLinesNeverBreakTheServerOrEscapeTheRoot) {
  std::mt19937 random(20261206);
  auto client = LoggedIn();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  int sent = 0;
  int reconnects = 0;
  for (; sent < 3000 && std::chrono::steady_clock::now() < deadline; ++sent) {
    const std::string reply = client->Command(RandomLine(random), 3000);
    if (reply.empty()) {  // the session ended (e.g. a bad PASS costs 3 s): start another
      ++reconnects;
      client = LoggedIn();
      continue;
    }
    ASSERT_GE(reply.size(), 4u) << reply;
    ASSERT_TRUE(reply[0] >= '1' && reply[0] <= '5') << reply;
  }
  EXPECT_GT(sent, 500);
  EXPECT_GT(reconnects, 0);
  EXPECT_EQ(client->Command("NOOP"), "200 NOOP command received.");
  FtpClient fresh;
  EXPECT_EQ(fresh.Connect(port_).substr(0, 4), "220 ");
  EXPECT_TRUE(server_->IsActive());

  // Only the program's own folders sit beside the root.
  std::set<std::string> top;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
    top.insert(entry.path().filename().string());
  EXPECT_EQ(top, (std::set<std::string>{"accountlogs", "config", "logs", "root", "temp"}));
  std::cout << sent << " lines sent, " << reconnects << " new sessions\n";
}

}  // namespace
}  // namespace quillon::ftp
