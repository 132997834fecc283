// The control-line parsers, table by table.
#include "ftp/command_line.h"
#include "ftp/command_table.h"
#include "ftp/replies.h"

#include <gtest/gtest.h>

#include <string>

namespace quillon::ftp {
namespace {

TEST(CommandLineTest, TelnetBytesBeforeTheWordAreDropped) {
  EXPECT_EQ(StripTelnet("\xFF\xF4\xFF\xF2" "ABOR"), "ABOR");
  EXPECT_EQ(StripTelnet("NOOP\xFF"), "NOOP\xFF");
  EXPECT_EQ(StripTelnet("\xFF\xFF"), "");
}

TEST(CommandLineTest, WordsAliasesAndArguments) {
  struct Case {
    std::string line;
    const char* word;  // null: no command
    std::string argument;
    std::string seen;  // the line as the handler sees it
  };
  const Case cases[] = {
      {"NOOP", "NOOP", "", "NOOP"},
      {"noop x", nullptr, "", ""},      // a whole-line word takes nothing after it
      {"xpwd", "PWD", "", "xpwd"},      // whole-line alias
      {"XCUP", "CDUP", "", "XCUP"},
      {"XMKD new", "MKD", "new", "MKD new"},
      {"xcwd /a b", "CWD", "/a b", "cwd /a b"},
      {"XMKD", nullptr, "", ""},        // a prefix alias needs its blank
      {"XMKDnew", nullptr, "", ""},
      {"MKD ", "MKD", "", "MKD "},      // no argument: the word and one character
      {"MKD  x", "MKD", " x", "MKD  x"},
      {"CWDfoo", "CWD", "oo", "CWDfoo"},  // one character after the word is skipped
      {"retr file.txt", "RETR", "file.txt", "retr file.txt"},
      {"LIST", "LIST", "", "LIST"},
      {"ACCT x", nullptr, "", ""},
  };
  for (const Case& c : cases) {
    const std::optional<FoundCommand> command = FindCommand(c.line, kLoggedIn, false);
    if (c.word == nullptr) {
      EXPECT_FALSE(command.has_value()) << c.line;
      continue;
    }
    ASSERT_TRUE(command.has_value()) << c.line;
    EXPECT_STREQ(command->command->verb, c.word) << c.line;
    EXPECT_EQ(command->parsed.argument, c.argument) << c.line;
    EXPECT_EQ(command->parsed.line, c.seen) << c.line;
  }
  // The argument rule lives in the table: PORT has its own reply.
  const auto missing = [](std::string_view line) {
    return FindCommand(line, kLoggedIn, false)->command->missing_argument;
  };
  EXPECT_STREQ(missing("PORT"), replies::kPortParameters);
  EXPECT_STREQ(missing("DELE x"), replies::kNeedParameter);
  EXPECT_EQ(missing("RNTO x"), nullptr);
  EXPECT_EQ(missing("LIST"), nullptr);
}

TEST(CommandLineTest, ListingArgumentsSplitIntoOptionsAndAPath) {
  struct Case {
    const char* argument;
    const char* path;  // "" for the current folder
  } cases[] = {
      {"", ""},
      {"dir", "dir"},
      {"/a b", "/a b"},
      {"-a", ""},
      {"-l", ""},
      {"-1", ""},
      {"-la", ""},
      {"-al", ""},
      {"-la ", ""},
      {"-al dir", "dir"},
      {"-a -l dir", "dir"},
      {"-la /a b", "/a b"},
      {"-R x", "x"},        // other options are accepted and change nothing
      {"-la  two", " two"},  // one blank ends the options; a name may begin with one
      {"dir -l", "dir -l"},  // options come first
      {"-", "-"},            // a lone dash is a name
      {"-- -name", "-name"},  // and "--" ends the options
      {"-a -- -x", "-x"},
  };
  for (const Case& c : cases) EXPECT_EQ(ListingPath(c.argument), c.path) << c.argument;
}

TEST(CommandLineTest, PortArguments) {
  struct Case {
    const char* argument;
    PortArgument result;
    const char* address;
    std::uint32_t port;
  };
  const Case cases[] = {
      {"127,0,0,1,4,1", PortArgument::kOk, "127.0.0.1", 1025},
      {" 10 , 0,0,+1,255,255", PortArgument::kOk, "10.0.0.1", 65535},
      {"1,2,3,4,5", PortArgument::kTooFewNumbers, "", 0},
      {"1.2.3.4,4,1", PortArgument::kTooFewNumbers, "", 0},
      {"1,2,3,4,5,x", PortArgument::kTooFewNumbers, "", 0},
      {"", PortArgument::kTooFewNumbers, "", 0},
      {"256,0,0,1,4,1", PortArgument::kOutOfRange, "", 0},
      {"-1,0,0,1,4,1", PortArgument::kOutOfRange, "", 0},
      {"1,2,3,4,99999999999999999999,1", PortArgument::kOutOfRange, "", 0},
      {"1,2,3,4,3,255", PortArgument::kPrivilegedPort, "", 0},
      {"1,2,3,4,4,0,junk", PortArgument::kOk, "1.2.3.4", 1024},
  };
  for (const Case& c : cases) {
    std::string address;
    std::uint32_t port = 0;
    EXPECT_EQ(ParsePortArgument(c.argument, &address, &port), c.result) << c.argument;
    EXPECT_EQ(address, c.address) << c.argument;
    EXPECT_EQ(port, c.port) << c.argument;
  }
}

TEST(CommandLineTest, OffsetsAndTimeSettings) {
  struct Offset {
    const char* text;
    bool ok;
    std::uint64_t value;
  };
  const Offset offsets[] = {
      {"  +123", true, 123},   {"12abc", true, 12}, {"18446744073709551615", true, UINT64_MAX},
      {"18446744073709551616", false, 0}, {"", false, 0}, {"abc", false, 0}, {"+", false, 0},
  };
  for (const Offset& o : offsets) {
    std::uint64_t value = 0;
    EXPECT_EQ(ParseOffset(o.text, &value), o.ok) << o.text;
    EXPECT_EQ(value, o.value) << o.text;
  }

  MdtmSetting setting;
  ASSERT_TRUE(ParseMdtmSetting("MDTM 20240102030405 dir/file.txt", &setting));
  EXPECT_EQ(setting.stamp, "20240102030405");
  EXPECT_EQ(setting.path, "dir/file.txt");
  EXPECT_FALSE(ParseMdtmSetting("MDTM 20240102030405 ", &setting));  // no path
  EXPECT_FALSE(ParseMdtmSetting("MDTM 2024010203040 x", &setting));  // 13 digits
  EXPECT_FALSE(ParseMdtmSetting("MDTM 2024010203040x y", &setting));
}

}  // namespace
}  // namespace quillon::ftp
