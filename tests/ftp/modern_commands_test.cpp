// The commands of today's clients: FEAT, OPTS, EPSV, EPRT, MLSD and MLST,
// and passive replies shaped by the port range and the public address.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "ftp/passive_config.h"
#include "runtime/tcp_socket.h"
#include "support/free_port.h"
#include "support/ftp_server_fixture.h"

namespace quillon::ftp {
namespace {

using testing::FtpClient;
using testing::LoopbackClient;
using testing::WriteWholeFile;

constexpr const char* kFeatures =
    "211-Features:\n EPRT\n EPSV\n HASH SHA-256*;SHA-1;MD5\n MDTM\n MFMT\n"
    " MLST type*;size*;modify*;perm*;unique*;\n REST STREAM\n SIZE\n UTF8\n211 End";

// The port of a "229 ... (|||port|)" reply; 0 when it is not one.
std::uint16_t ExtendedPort(const std::string& reply) {
  std::smatch match;
  if (!std::regex_match(reply, match, std::regex(R"(229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\))")))
    return 0;
  return static_cast<std::uint16_t>(std::stoi(match[1]));
}

class ModernCommandsTest : public testing::FtpServerFixture {
 protected:
  void SetUp() override {
    FtpServerFixture::SetUp();
    WriteWholeFile(dir_.File("root/a.txt"), "hello");
    std::filesystem::create_directories(dir_.File("root/sub"));
  }
  void SetPassive(const std::string& ports, const std::string& address) {
    ChangeSettings([&](settings::ServerSettings& s) {
      std::string message;
      EXPECT_TRUE(s.Extra().Set("passive_ports", ports, &message)) << message;
      EXPECT_TRUE(s.Extra().Set("passive_address", address, &message)) << message;
    });
  }
};

TEST_F(ModernCommandsTest, FeatAndOptions) {
  port_ = Start();
  FtpClient client;
  ASSERT_EQ(client.Connect(port_).substr(0, 4), "220 ");
  EXPECT_EQ(client.Command("FEAT"), kFeatures);  // before login too
  EXPECT_EQ(client.Command("OPTS UTF8 ON"), "530 Please send the USER command first.");
  ASSERT_EQ(client.Login("bob", "secret").substr(0, 4), "230-");
  EXPECT_EQ(client.Command("feat"), kFeatures);
  EXPECT_EQ(client.Command("OPTS UTF8 ON"), "200 UTF8 set to on");
  EXPECT_EQ(client.Command("OPTS UTF8 OFF"), "200 UTF8 set to off");
  EXPECT_EQ(client.Command("OPTS"), "501 a parameter is required.");
  EXPECT_EQ(client.Command("OPTS MODE Z"), "501 Option not understood.");
  EXPECT_EQ(client.Command("OPTS MLST size;Type;bogus;"), "200 MLST OPTS type;size;");
  EXPECT_EQ(client.Command("MLST a.txt"), "250-Listing /a.txt\n type=file;size=5; /a.txt\n250 End");
  EXPECT_EQ(client.Command("OPTS MLST"), "200 MLST OPTS ");
  EXPECT_EQ(client.Command("MLST /sub"), "250-Listing /sub\n  /sub\n250 End");
}

TEST_F(ModernCommandsTest, OverIpv6OnlyTheExtendedCommandsSetUpDataConnections) {
  port_ = Start();
  FtpClient client;
  ASSERT_EQ(client.ConnectIpv6(port_).substr(0, 4), "220 ");
  ASSERT_EQ(client.Login("bob", "secret").substr(0, 4), "230-");
  // PASV and PORT carry IPv4 addresses; EPSV and EPRT take protocol 2 only.
  EXPECT_EQ(client.Command("PASV"), "522 Use EPSV on an IPv6 connection.");
  EXPECT_EQ(client.Command("PORT 127,0,0,1,20,0"), "522 Use EPRT on an IPv6 connection.");
  EXPECT_EQ(client.Command("EPSV 1"), "522 Network protocol not supported, use (2)");
  EXPECT_EQ(client.Command("EPRT |1|127.0.0.1|5000|"), "522 Network protocol not supported, use (2)");
  EXPECT_EQ(client.Command("EPRT |2|2001:db8::1|5000|"), "500 Site to site transfers are disabled.");
  EXPECT_EQ(client.Command("EPRT |2|::1x|5000|"), "501 EPRT parameters are not valid.");

  // Passive: a peer of the other family is not the client and gets nothing.
  const std::uint16_t data_port = ExtendedPort(client.Command("EPSV 2"));
  ASSERT_NE(data_port, 0);
  LoopbackClient intruder, data;
  ASSERT_TRUE(intruder.Connect(data_port));
  ASSERT_TRUE(data.ConnectIpv6(data_port));
  EXPECT_EQ(client.Command("RETR a.txt"), "150 Data connetion established, beginning transfer.");
  EXPECT_EQ(data.Receive(SIZE_MAX, 5000), "hello");
  EXPECT_EQ(client.Reply(), "226 Transfer complete.");
  EXPECT_TRUE(intruder.WaitForClose(5000));

  // Active, to the client's own IPv6 address.
  runtime::TcpSocket listener;
  ASSERT_TRUE(listener.ListenOnAddress("::1", 0));
  EXPECT_EQ(client.Command("EPRT |2|::1|" + std::to_string(listener.LocalPort()) + "|"),
            "200 EPRT command successful.");
  EXPECT_EQ(client.Command("STOR up.txt"), "150 Data connetion established, beginning transfer.");
  ASSERT_TRUE(listener.WaitReadable(nullptr, 5000));
  ASSERT_TRUE(listener.AcceptInPlace());
  std::size_t length = 3;
  ASSERT_TRUE(listener.Send("abc", &length));
  listener.Shutdown();
  EXPECT_EQ(client.Reply(), "226 Transfer complete.");
  EXPECT_EQ(testing::ReadWholeFile(dir_.File("root/up.txt")), "abc");
  // The log names the client by its IPv6 address.
  EXPECT_NE(FtpLog().find(" -> ::1 -> bob -> Logged In: "), std::string::npos) << FtpLog();
}

TEST_F(ModernCommandsTest, MachineListingsCarryTheFactsAndRights) {
  UpdateAccount("bob", [](accounts::AccountRecord& reader) {
    reader.SetName("reader");
    reader.mRights = accounts::kFileRead | accounts::kFolderView;
  });
  port_ = Start();
  auto reader = LoggedInAs("reader");
  FtpClient& client = *reader;
  const std::string fact = client.Command("MLST /a.txt");
  EXPECT_TRUE(std::regex_match(fact, std::regex("250-Listing /a.txt\n type=file;size=5;modify=\\d{14};perm=r;"
                                                "unique=[0-9a-f]{16}; /a.txt\n250 End")))
      << fact;
  EXPECT_EQ(client.Command("MLST /missing"), "550 File/Directory does not exist.");

  const std::uint16_t data_port = ExtendedPort(client.Command("EPSV"));
  ASSERT_NE(data_port, 0);
  LoopbackClient data;
  ASSERT_TRUE(data.Connect(data_port));
  EXPECT_EQ(client.Command("MLSD"), "150 Data connetion established, beginning transfer.");
  const std::string listing = data.Receive(SIZE_MAX, 5000);
  EXPECT_EQ(client.Reply(), "226 Transfer complete.");
  EXPECT_NE(listing.find("type=file;size=5;"), std::string::npos) << listing;
  EXPECT_TRUE(std::regex_search(listing, std::regex(";perm=r;unique=[0-9a-f]{16}; a.txt\r\n"))) << listing;
  EXPECT_NE(listing.find("type=dir;modify="), std::string::npos) << listing;
  EXPECT_TRUE(std::regex_search(listing, std::regex(";perm=el;unique=[0-9a-f]{16}; sub\r\n"))) << listing;
  EXPECT_NE(listing.find("type=cdir;"), std::string::npos) << listing;
  EXPECT_NE(listing.find("type=pdir;"), std::string::npos) << listing;
}

TEST_F(ModernCommandsTest, ExtendedPassiveAndActiveModes) {
  port_ = Start();
  auto client = LoggedIn();
  EXPECT_EQ(client->Command("EPSV 2"), "522 Network protocol not supported, use (1)");
  EXPECT_NE(ExtendedPort(client->Command("EPSV 1")), 0);
  const std::uint16_t data_port = ExtendedPort(client->Command("EPSV"));
  ASSERT_NE(data_port, 0);
  LoopbackClient data;
  ASSERT_TRUE(data.Connect(data_port));
  EXPECT_EQ(client->Command("RETR a.txt"), "150 Data connetion established, beginning transfer.");
  EXPECT_EQ(data.Receive(SIZE_MAX, 5000), "hello");
  EXPECT_EQ(client->Reply(), "226 Transfer complete.");

  // EPRT: IPv4 only, the PORT rules for the peer and the port.
  runtime::TcpSocket listener;
  ASSERT_TRUE(listener.ListenOn(0));
  const std::string here = std::to_string(listener.LocalPort());
  EXPECT_EQ(client->Command("EPRT |2|::1|" + here + "|"), "522 Network protocol not supported, use (1)");
  EXPECT_EQ(client->Command("EPRT |1|127.0.0.1|"), "501 EPRT parameters are not valid.");
  EXPECT_EQ(client->Command("EPRT |1|127.0.0.256|2000|"), "501 EPRT parameters are not valid.");
  EXPECT_EQ(client->Command("EPRT"), "501 a parameter is required.");
  EXPECT_EQ(client->Command("EPRT |1|10.1.2.3|2000|"), "500 Site to site transfers are disabled.");
  EXPECT_EQ(client->Command("EPRT |1|127.0.0.1|80|").substr(0, 4), "504 ");
  EXPECT_EQ(client->Command("EPRT !1!127.0.0.1!" + here + "!"), "200 EPRT command successful.");
  EXPECT_EQ(client->Command("RETR a.txt"), "150 Data connetion established, beginning transfer.");
  ASSERT_TRUE(listener.WaitReadable(nullptr, 5000));
  ASSERT_TRUE(listener.AcceptInPlace());
  EXPECT_EQ(client->Reply(), "226 Transfer complete.");

  // After EPSV ALL only EPSV sets up data connections.
  EXPECT_EQ(client->Command("EPSV ALL"), "200 EPSV ALL command successful.");
  const char* refused = "503 Only EPSV may set up data connections after EPSV ALL.";
  EXPECT_EQ(client->Command("PASV"), refused);
  EXPECT_EQ(client->Command("PORT 127,0,0,1,4,1"), refused);
  EXPECT_EQ(client->Command("EPRT |1|127.0.0.1|2000|"), refused);
  EXPECT_NE(ExtendedPort(client->Command("EPSV")), 0);
}

TEST_F(ModernCommandsTest, PassivePortsComeFromTheRangeAndRunOut) {
  // A free port to make a range of one.
  const std::uint16_t only = testing::UnusedPort();
  SetPassive(std::to_string(only) + "-" + std::to_string(only), "");
  port_ = Start();
  auto first = LoggedIn();
  auto second = LoggedIn();
  EXPECT_EQ(FtpClient::PassivePort(first->Command("PASV")), only);
  // Two sessions never listen on one port: the range is used up.
  EXPECT_EQ(second->Command("PASV"), "550 Internal error, listening port failed to open.");
  EXPECT_EQ(second->Command("EPSV"), "550 Internal error, listening port failed to open.");
  first.reset();  // the first session ends and lets go of its port
  std::uint16_t got = 0;
  for (int tries = 0; tries < 50 && got == 0; ++tries) {
    got = ExtendedPort(second->Command("EPSV"));
    if (got == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(got, only);
  EXPECT_NE(FtpLog().find("Passive Mode: Address=[the control connection's], Ports=[" + std::to_string(only) +
                          "-" + std::to_string(only) + "]"),
            std::string::npos)
      << FtpLog();
}

TEST(PassiveConfigTest, ThePublicAddressIsForPeersOutsideThePrivateRanges) {
  testing::ManualClock clock;
  PassiveConfig passive(clock);
  EXPECT_EQ(passive.AddressFor({8, 8, 8, 8}), "");  // nothing set
  EXPECT_EQ(passive.Describe(), "");
  passive.Configure(50000, 50100, "203.0.113.7");
  EXPECT_EQ(passive.AddressFor({8, 8, 8, 8}), "203.0.113.7");
  for (const runtime::IpAddress& peer : {runtime::IpAddress{10, 1, 2, 3}, runtime::IpAddress{127, 0, 0, 1},
                                         runtime::IpAddress{172, 16, 0, 1}, runtime::IpAddress{172, 31, 255, 1},
                                         runtime::IpAddress{192, 168, 1, 1}, runtime::IpAddress{169, 254, 0, 1},
                                         runtime::IpAddress{100, 64, 0, 1}})
    EXPECT_EQ(passive.AddressFor(peer), "") << runtime::IpRangeList::AddressText(peer);
  for (const runtime::IpAddress& peer : {runtime::IpAddress{172, 32, 0, 1}, runtime::IpAddress{100, 128, 0, 1},
                                         runtime::IpAddress{192, 169, 0, 1}, runtime::IpAddress{11, 0, 0, 1}})
    EXPECT_EQ(passive.AddressFor(peer), "203.0.113.7") << runtime::IpRangeList::AddressText(peer);
  EXPECT_EQ(passive.Describe(), "Passive Mode: Address=[203.0.113.7 (203.0.113.7)], Ports=[50000-50100]");
  EXPECT_EQ(passive.FirstPort(), 50000);
  EXPECT_EQ(passive.LastPort(), 50100);
  passive.Configure(0, 0, "");
  EXPECT_EQ(passive.AddressFor({8, 8, 8, 8}), "");
}

}  // namespace
}  // namespace quillon::ftp
