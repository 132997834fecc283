// Every row of the command table, run through a live session: each verb,
// with a typical argument, must give the reply that its own handler gives
// once logged in, the same before login when its row applies then, and the
// login request when it does not. Rows whose handlers were exchanged, or
// whose login phases were wrong, answer with another command's reply.
// (Replies during a transfer are the transfer tests' business.)
#include "ftp/command_table.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/ftp_server_fixture.h"

namespace quillon::ftp {
namespace {

using testing::FtpClient;
using testing::WriteWholeFile;

struct Expected {
  const char* line;
  const char* reply;  // how the reply begins
};

// Each verb's reply in a fresh session of bob's, logged in at "/" without a
// data connection set up; before login the same, for rows that apply then.
const std::map<std::string, Expected> kExpected = {
    {"ABOR", {"ABOR", "225 No transfer in progress."}},
    {"STAT", {"STAT", "211-There are currently "}},
    {"AUTH", {"AUTH KERBEROS", "504 AUTH TLS and AUTH SSL are the mechanisms offered."}},
    {"PBSZ", {"PBSZ 0", "503 Use AUTH TLS first."}},
    {"PROT", {"PROT P", "503 Use AUTH TLS first."}},
    {"CCC", {"CCC", "503 Use AUTH TLS first."}},
    {"QUIT", {"QUIT", "221 Thanks for visiting."}},
    {"NOOP", {"NOOP", "200 NOOP command received."}},
    {"ALLO", {"ALLO 100", "202 ALLO command not required and ignored."}},
    {"MDTM", {"MDTM a.txt", "213 20"}},
    {"MFMT", {"MFMT 20030307090500 a.txt", "213 Modify=20030307090500; a.txt"}},
    {"PWD", {"PWD", "257 \"/\" is current directory."}},
    {"CDUP", {"CDUP", "250 '/' is current directory."}},
    {"CWD", {"CWD sub", "250 '/sub' is current directory."}},
    {"MKD", {"MKD made", "257 '/made' directory created."}},
    {"RMD", {"RMD gone", "250 '/gone' directory deleted."}},
    {"PORT", {"PORT 127,0,0,1,4,1", "200 PORT command successful."}},
    {"PASV", {"PASV", "227 Entering Passive Mode (127,0,0,1,"}},
    {"RNFR", {"RNFR a.txt", "350 Now send the RNTO command."}},
    {"RNTO", {"RNTO b.txt", "503 Please send the RNFR command first."}},
    {"DELE", {"DELE doomed.txt", "250 File deleted."}},
    {"SIZE", {"SIZE a.txt", "213 3"}},
    {"HASH",
     {"HASH a.txt", "213 SHA-256 0-3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad a.txt"}},
    {"REST", {"REST 10", "350 REST command successful."}},
    {"SYST", {"SYST", "215 UNIX Type: L8"}},
    {"HELP", {"HELP", "214-Supported commands are:"}},
    {"TYPE", {"TYPE I", "200 Type set to 'I' (IMAGE)."}},
    {"STRU", {"STRU F", "200 Structure 'F' Accepted."}},
    {"MODE", {"MODE S", "200 Mode 'S' Accepted."}},
    {"SITE", {"SITE HELP", "501 Parameter not accepted."}},
    {"RETR", {"RETR a.txt", "503 Please use PORT or PASV first."}},
    {"STOR", {"STOR new.txt", "503 Please use PORT or PASV first."}},
    {"APPE", {"APPE a.txt", "503 Please use PORT or PASV first."}},
    {"STOU", {"STOU", "503 Please use PORT or PASV first."}},
    {"LIST", {"LIST", "503 Please use PORT or PASV first."}},
    {"NLST", {"NLST", "503 Please use PORT or PASV first."}},
    {"FEAT", {"FEAT", "211-Features:"}},
    {"CLNT", {"CLNT tester 1.0", "200 Noted."}},
    {"OPTS", {"OPTS UTF8 ON", "200 UTF8 set to on"}},
    {"EPSV", {"EPSV", "229 Entering Extended Passive Mode (|||"}},
    {"EPRT", {"EPRT |1|127.0.0.1|1025|", "200 EPRT command successful."}},
    {"MLSD", {"MLSD", "503 Please use PORT or PASV first."}},
    {"MLST", {"MLST a.txt", "250-Listing /a.txt"}},
};

class CommandTableTest : public testing::FtpServerFixture {};

TEST_F(CommandTableTest, EveryRowAnswersWithItsOwnHandlerInItsPhases) {
  // TLS offered, so its rows apply; no session here negotiates it.
  UseTls("optional");
  port_ = Start();
  for (const char* folder : {"root/sub", "root/gone"}) std::filesystem::create_directory(dir_.File(folder));
  WriteWholeFile(dir_.File("root/a.txt"), "abc");
  WriteWholeFile(dir_.File("root/doomed.txt"), "x");

  for (const Command& row : CommandTable()) {
    SCOPED_TRACE(row.verb);
    const auto expected = kExpected.find(row.verb);
    ASSERT_NE(expected, kExpected.end()) << "a new row needs its expected reply here";
    const std::string line = expected->second.line;
    const std::string logged_in = LoggedIn()->Command(line);
    EXPECT_TRUE(logged_in.starts_with(expected->second.reply)) << logged_in;
    FtpClient before_login;
    before_login.Connect(port_);
    const std::string reply = before_login.Command(line);
    if (row.phases & kBeforeLogin) {
      EXPECT_TRUE(reply.starts_with(expected->second.reply)) << reply;
    } else {
      EXPECT_EQ(reply, "530 Please send the USER command first.");
    }
  }
}

}  // namespace
}  // namespace quillon::ftp
