#include "settings/api_tokens.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "platform/crypto.h"
#include "support/failing_writer.h"
#include "support/temp_dir.h"

namespace quillon::settings {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

TEST(ApiTokensTest, NewTokensAreRandomMatchOnlyThemselvesAndTheFileKeepsOnlyTheirDigests) {
  ApiTokens tokens;
  std::string ci, grafana, message;
  ASSERT_TRUE(tokens.Add("ci-deploy", false, 1'765'000'000, &ci, &message)) << message;
  ASSERT_TRUE(tokens.Add("grafana", true, 1'765'000'001, &grafana, &message)) << message;
  EXPECT_NE(ci, grafana);
  for (const std::string& token : {ci, grafana}) {
    EXPECT_EQ(token.size(), 46u) << token;  // "qt_" and 32 bytes in unpadded base64url
    EXPECT_EQ(token.rfind("qt_", 0), 0u);
    EXPECT_TRUE(ApiTokens::LooksLikeToken(token));
  }
  ASSERT_NE(tokens.Match(ci), nullptr);
  EXPECT_EQ(tokens.Match(ci)->name, "ci-deploy");
  EXPECT_FALSE(tokens.Match(ci)->read_only);
  ASSERT_NE(tokens.Match(grafana), nullptr);
  EXPECT_TRUE(tokens.Match(grafana)->read_only);
  // Near misses: one character changed, cut short, longer, no prefix, empty.
  std::string changed = ci;
  changed.back() = changed.back() == 'A' ? 'B' : 'A';
  for (const std::string& wrong : {changed, ci.substr(0, 45), ci + "A", ci.substr(3), std::string()})
    EXPECT_EQ(tokens.Match(wrong), nullptr) << wrong;

  const std::string text = tokens.Text();
  EXPECT_EQ(text.find(ci), std::string::npos);
  EXPECT_EQ(text.find(grafana), std::string::npos);
  std::string hex;
  for (unsigned char byte : platform::Sha256(ci)) hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
  EXPECT_NE(text.find("ci-deploy read-write 1765000000 " + hex + "\n"), std::string::npos) << text;

  // Read back, the same tokens match.
  ApiTokens read;
  ASSERT_TRUE(read.LoadText(text, "tokens.conf", &message)) << message;
  ASSERT_EQ(read.Entries().size(), 2u);
  EXPECT_EQ(read.Entries()[1].created_seconds, 1'765'000'001);
  EXPECT_NE(read.Match(grafana), nullptr);
  EXPECT_TRUE(read.Remove("grafana"));
  EXPECT_FALSE(read.Remove("grafana"));
  EXPECT_EQ(read.Match(grafana), nullptr);
  EXPECT_NE(read.Match(ci), nullptr);

  // A thousand tokens are a thousand different ones.
  std::set<std::string> seen;
  ApiTokens many;
  for (int i = 0; i < 999; ++i) {
    std::string token;
    ASSERT_TRUE(many.Add("t" + std::to_string(i), true, 0, &token, &message));
    seen.insert(token);
  }
  EXPECT_EQ(seen.size(), 999u);
}

TEST(ApiTokensTest, NamesAreCheckedAndTakenOnce) {
  ApiTokens tokens;
  std::string token, message;
  for (const std::string& bad : {std::string(), std::string("a b"), std::string("x\ny"), std::string("name;"),
                                 std::string(65, 'n'), std::string("caf\xC3\xA9")}) {
    EXPECT_FALSE(tokens.Add(bad, false, 0, &token, &message)) << bad;
    EXPECT_EQ(message, "A token name has 1 to 64 letters, digits, '-', '_' or '.'.");
  }
  ASSERT_TRUE(tokens.Add(std::string(64, 'n'), false, 0, &token, &message));
  ASSERT_TRUE(tokens.Add("a.b_c-D9", false, 0, &token, &message));
  EXPECT_FALSE(tokens.Add("a.b_c-D9", true, 0, &token, &message));
  EXPECT_EQ(message, "There is already a token named a.b_c-D9.");
  EXPECT_EQ(tokens.Entries().size(), 2u);
}

TEST(ApiTokensTest, FaultyLinesAreNamedAndSkippedAndTheRestKept) {
  const std::string digest(64, 'a');
  const std::string text = "# comment\r\n\nok read-only 5 " + digest + "\r\n" +
                           "ok read-write 6 " + digest + "\n" +        // 4: the name again
                           "bad write 7 " + digest + "\n" +            // 5: no such access
                           "short read-only 8 abcd\n" +                // 6: digest too short
                           "upper read-only 9 " + std::string(64, 'A') + "\n" +  // 7: not lower-case hex
                           "when read-only -1 " + digest + "\n" +      // 8: no number
                           "extra read-only 1 " + digest + " x\n" +    // 9: a fifth field
                           "good read-write 10 " + digest + "\n";
  ApiTokens tokens;
  std::string message;
  EXPECT_FALSE(tokens.LoadText(text, "tokens.conf", &message));
  EXPECT_EQ(message,
            "tokens.conf: line 4 is not a valid token, line 5 is not a valid token, line 6 is not a valid token, "
            "line 7 is not a valid token, line 8 is not a valid token, line 9 is not a valid token");
  ASSERT_EQ(tokens.Entries().size(), 2u);
  EXPECT_EQ(tokens.Entries()[0].name, "ok");
  EXPECT_TRUE(tokens.Entries()[0].read_only);
  EXPECT_EQ(tokens.Entries()[1].name, "good");
}

TEST(ApiTokensTest, TheFileIsOwnerOnlyReplacedWholeAndNeverReadThroughALink) {
  TempDir dir;
  const std::string path = dir.File("tokens.conf");
  ApiTokens tokens;
  std::string message, token;
  ASSERT_TRUE(tokens.Load(path, &message));  // missing: no tokens
  EXPECT_TRUE(tokens.Entries().empty());
  ASSERT_TRUE(tokens.Add("one", false, 1, &token, &message));
  fileutil::FileWriter writer;
  ASSERT_TRUE(tokens.Save(path, writer));
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  ApiTokens read;
  ASSERT_TRUE(read.Load(path, &message)) << message;
  EXPECT_NE(read.Match(token), nullptr);

  // A save that fails leaves the file as it was.
  testing::FailingWriter failing;
  ASSERT_TRUE(tokens.Add("two", false, 2, &token, &message));
  EXPECT_FALSE(tokens.Save(path, failing));
  ASSERT_TRUE(read.Load(path, &message));
  EXPECT_EQ(read.Entries().size(), 1u);

  // A link in the file's place is not followed.
  const std::string elsewhere = dir.File("elsewhere.conf");
  WriteWholeFile(elsewhere, ReadWholeFile(path));
  std::filesystem::remove(path);
  std::filesystem::create_symlink(elsewhere, path);
  EXPECT_FALSE(read.Load(path, &message));
  EXPECT_EQ(message, "Unable to read " + path);
  EXPECT_TRUE(read.Entries().empty());
}

}  // namespace
}  // namespace quillon::settings
