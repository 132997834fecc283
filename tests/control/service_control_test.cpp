// The service's control: activation on a free and on a taken port,
// figures that exist only while the service is active, and reloads of
// quillon.conf that apply whole or not at all.
#include "control/service_control.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/tls.h"
#include "runtime/tcp_socket.h"
#include "support/ftp_server_fixture.h"
#include "support/wait.h"

namespace quillon::control {
namespace {

class ServiceControlTest : public testing::FtpServerFixture {};

TEST_F(ServiceControlTest, FiguresFollowTheServiceThroughActivationAndDeactivation) {
  ServiceControl service(*server_);
  EXPECT_FALSE(service.IsActive());
  EXPECT_FALSE(service.Status().has_value());

  std::string error;
  ASSERT_TRUE(service.Activate(&error)) << error;
  ASSERT_TRUE(service.Activate(&error)) << error;  // active already
  EXPECT_TRUE(service.IsActive());
  std::optional<ftp::FtpServer::Status> status = service.Status();
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(status->port, 0);
  EXPECT_EQ(status->users, 0u);

  port_ = status->port;
  auto client = LoggedIn();
  EXPECT_TRUE(testing::WaitUntil([&] {
    status = service.Status();
    return status && status->users == 1;
  }));
  // The question before deactivating counts the sessions it ends.
  EXPECT_EQ(service.DeactivateQuestion(),
            "Deactivate the FTP server? It stops listening, and the 1 connected session(s) are disconnected.");

  service.Deactivate();
  EXPECT_EQ(service.DeactivateQuestion(), "Deactivate the FTP server? It is not active now.");
  EXPECT_FALSE(service.IsActive());
  EXPECT_FALSE(service.Status().has_value());
  service.Deactivate();  // deactivated already
  EXPECT_FALSE(service.IsActive());
  ASSERT_TRUE(service.Activate(&error)) << error;  // and again after a stop
  EXPECT_TRUE(service.Status().has_value());
}

TEST_F(ServiceControlTest, ATakenPortLeavesTheServiceDeactivatedWithTheEngineText) {
  runtime::TcpSocket taken;
  ASSERT_TRUE(taken.ListenOn(0));
  ChangeSettings([&](settings::ServerSettings& settings) { settings.mPort = taken.LocalPort(); });
  ServiceControl service(*server_);
  std::string error;
  EXPECT_FALSE(service.Activate(&error));
  EXPECT_EQ(error, ftp::errors::kPortInUse);
  EXPECT_FALSE(service.IsActive());
  EXPECT_FALSE(service.Status().has_value());
}

// The files of a reload as a reader hands them over.
ftp::ReloadFiles Files(const std::string& config, const platform::FileContent& certificate = {},
                       const platform::FileContent& key = {}) {
  ftp::ReloadFiles files;
  files.config.path = "/srv/config/quillon.conf";
  files.config.read = true;
  files.config.bytes = config;
  files.certificate = certificate;
  files.key = key;
  return files;
}

platform::FileContent Read(const std::string& path) {
  platform::FileContent file;
  file.path = path;
  file.read = true;
  file.bytes = testing::ReadWholeFile(path);
  return file;
}

TEST_F(ServiceControlTest, AReloadAppliesWholeOrNotAtAll) {
  ServiceControl service(*server_);
  std::string error;
  ASSERT_TRUE(service.Activate(&error)) << error;
  std::string report;
  ASSERT_TRUE(service.Reload(Files("passive_ports = 50000-50010\nprelogin_per_ip = 3\nlater_key = 1\n"), &report));
  EXPECT_EQ(report, "passive_ports: (none) -> 50000-50010; prelogin_per_ip: 8 -> 3");
  ASSERT_TRUE(service.Reload(Files("passive_ports = 50000-50010\nprelogin_per_ip = 3\n"), &report));
  EXPECT_EQ(report, "");

  // A line that is no setting, an unread file, or TLS without a usable
  // certificate: nothing changes.
  const std::string certificate = dir_.File("config/certificate.pem"), key = dir_.File("config/key.pem");
  ASSERT_TRUE(platform::WriteSelfSignedCertificate("127.0.0.1", certificate, key, &error)) << error;
  const std::string with_tls = "tls = optional\ntls_certificate = " + certificate + "\ntls_key = " + key + "\n";
  platform::FileContent unread;
  unread.path = key;
  unread.error = key + ": Permission denied";
  platform::FileContent junk = Read(certificate);
  junk.bytes = "not a certificate";
  ftp::ReloadFiles unread_config = Files("");
  unread_config.config.read = false;
  unread_config.config.error = "/srv/config/quillon.conf: Permission denied";
  const std::vector<std::pair<ftp::ReloadFiles, std::string>> refused = {
      {Files("passive_ports = 1-2\nprelogin_per_ip = many\n"),
       "/srv/config/quillon.conf: line 2 is not a valid setting"},
      {unread_config, "/srv/config/quillon.conf: Permission denied"},
      {Files("tls = required\n"), "TLS is on but tls_certificate or tls_key is not set in quillon.conf"},
      {Files(with_tls, Read(certificate), unread), key + ": Permission denied"},
      {Files(with_tls, junk, Read(key)), "Unable to use the TLS certificate " + certificate + ": "},
      {Files(with_tls, Read(key), Read(key)), "the TLS certificate and key read are not those quillon.conf names"}};
  for (const auto& [files, why] : refused) {
    SCOPED_TRACE(why);
    EXPECT_FALSE(service.Reload(files, &report));
    EXPECT_EQ(report.substr(0, why.size()), why);
    settings::ServerSettings& settings = server_->Settings();
    runtime::CriticalSection::Guard guard(settings.Lock());
    EXPECT_EQ(settings.Extra().PassivePortFirst(), 50000);
    EXPECT_EQ(settings.Extra().PreloginPerIp(), 3u);
    EXPECT_EQ(server_->Tls().Get().context, nullptr);
  }

  ASSERT_TRUE(service.Reload(Files(with_tls, Read(certificate), Read(key)), &report));
  EXPECT_EQ(report, "passive_ports: 50000-50010 -> (none); tls: off -> optional; tls_certificate: (none) -> " +
                        certificate + "; tls_key: (none) -> " + key + "; prelogin_per_ip: 3 -> 8; tls_certificate loaded");
  const auto context = server_->Tls().Get().context;
  ASSERT_NE(context, nullptr);
  // The same certificate keeps its context (and the sessions it caches).
  ASSERT_TRUE(service.Reload(Files(with_tls, Read(certificate), Read(key)), &report));
  EXPECT_EQ(report, "");
  EXPECT_EQ(server_->Tls().Get().context, context);
  ASSERT_TRUE(platform::WriteSelfSignedCertificate("127.0.0.1", certificate, key, &error)) << error;
  ASSERT_TRUE(service.Reload(Files(with_tls, Read(certificate), Read(key)), &report));
  EXPECT_EQ(report, "tls_certificate reloaded");
  EXPECT_NE(server_->Tls().Get().context, context);
}

TEST(PortErrorTest, APortRefusedForWantOfRootSaysSo) {
  runtime::TcpSocket taken;
  ASSERT_TRUE(taken.ListenOn(0));
  runtime::TcpSocket second;
  EXPECT_FALSE(second.ListenOn(taken.LocalPort()));
  // Taken: the texts stay as they were.
  EXPECT_EQ(ftp::errors::PortPermissionReason(second.ListenErrorNumber(), taken.LocalPort()), "");
  EXPECT_EQ(ftp::errors::PortPermissionReason(EACCES, 21), "permission denied: ports below 1024 need root");
  EXPECT_EQ(ftp::errors::PortPermissionReason(EACCES, 2121), "permission denied");
  // A listen address that is not this machine's.
  runtime::TcpSocket elsewhere;
  EXPECT_FALSE(elsewhere.ListenOnAddress("192.0.2.1", 0));
  EXPECT_EQ(ftp::errors::PortPermissionReason(elsewhere.ListenErrorNumber(), 2121),
            "an address of listen_addresses is not this machine's");
}

}  // namespace
}  // namespace quillon::control
