#include "control/token_commands.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "settings/api_tokens.h"
#include "support/manual_clock.h"
#include "support/temp_dir.h"

namespace quillon::control {
namespace {

using testing::ReadWholeFile;
using testing::WriteWholeFile;

class TokenCommandsTest : public ::testing::Test {
 protected:
  CommandResult Run(const std::vector<std::string>& args) { return commands_.Run(args); }
  std::string Path() const { return dir_.File("tokens.conf"); }

  testing::TempDir dir_;
  testing::ManualClock clock_{1'000'000, 1'765'249'200LL * 1'000'000'000};  // Tue, 09 Dec 2025 03:00:00
  fileutil::FileWriter writer_;
  TokenCommands commands_{clock_, dir_.File("tokens.conf"), writer_};
};

TEST_F(TokenCommandsTest, AddPrintsTheTokenOnceListShowsNoSecretsAndRemoveTakesItAway) {
  CommandResult added = Run({"token", "add", "grafana", "--read-only"});
  ASSERT_EQ(added.code, CommandResult::kDone) << added.err;
  std::smatch match;
  ASSERT_TRUE(std::regex_match(added.out, match,
                               std::regex("Token grafana \\(read-only\\) added\\. It is shown only this once; keep it "
                                          "secret:\n(qt_[A-Za-z0-9_-]{43})\n")))
      << added.out;
  const std::string token = match[1];
  ASSERT_EQ(Run({"token", "add", "deploy"}).code, CommandResult::kDone);

  settings::ApiTokens stored;
  std::string message;
  ASSERT_TRUE(stored.Load(Path(), &message)) << message;
  ASSERT_NE(stored.Match(token), nullptr);
  EXPECT_EQ(stored.Match(token)->created_seconds, 1'765'249'200);
  EXPECT_EQ(ReadWholeFile(Path()).find(token), std::string::npos);

  const CommandResult listed = Run({"token", "list"});
  EXPECT_EQ(listed.code, CommandResult::kDone);
  EXPECT_EQ(listed.out,
            "grafana  read-only  created Tue, 09 Dec 2025 03:00:00 UTC\n"
            "deploy  read-write  created Tue, 09 Dec 2025 03:00:00 UTC\n");

  EXPECT_EQ(Run({"token", "add", "grafana"}).err, "There is already a token named grafana.\n");
  EXPECT_EQ(Run({"token", "add", "bad name"}).err, "A token name has 1 to 64 letters, digits, '-', '_' or '.'.\n");
  EXPECT_EQ(Run({"token", "add", "one", "two"}).code, CommandResult::kBadUsage);
  EXPECT_EQ(Run({"token", "add", "x", "--write"}).code, CommandResult::kBadUsage);
  EXPECT_EQ(Run({"token", "list", "extra"}).code, CommandResult::kBadUsage);

  const CommandResult removed = Run({"token", "remove", "grafana"});
  EXPECT_EQ(removed.out, "Token grafana removed.\n");
  ASSERT_TRUE(stored.Load(Path(), &message));
  EXPECT_EQ(stored.Match(token), nullptr);
  EXPECT_EQ(stored.Entries().size(), 1u);
  const CommandResult again = Run({"token", "remove", "grafana"});
  EXPECT_EQ(again.code, CommandResult::kRefused);
  EXPECT_EQ(again.err, "There is no token named grafana.\n");
  EXPECT_EQ(Run({"token", "remove", "deploy"}).code, CommandResult::kDone);
  EXPECT_EQ(Run({"token", "list"}).out, "There are no API tokens.\n");
}

TEST_F(TokenCommandsTest, AFileWithFaultsIsListedButNeverRewritten) {
  const std::string text = "kept read-only 5 " + std::string(64, 'b') + "\nnot a token\n";
  WriteWholeFile(Path(), text);
  const CommandResult added = Run({"token", "add", "new"});
  EXPECT_EQ(added.code, CommandResult::kRefused);
  EXPECT_EQ(added.err, Path() + ": line 2 is not a valid token\nCorrect or remove those lines of the file first.\n");
  EXPECT_EQ(Run({"token", "remove", "kept"}).code, CommandResult::kRefused);
  EXPECT_EQ(ReadWholeFile(Path()), text);
  const CommandResult listed = Run({"token", "list"});
  EXPECT_EQ(listed.out, "kept  read-only  created Thu, 01 Jan 1970 00:00:05 UTC\n");
  EXPECT_EQ(listed.err, Path() + ": line 2 is not a valid token\n");
}

}  // namespace
}  // namespace quillon::control
