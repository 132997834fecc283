// The service's control: activation on a free and on a taken port, and
// figures that exist only while the service is active.
#include "control/service_control.h"

#include <gtest/gtest.h>

#include <string>

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

  service.Deactivate();
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

}  // namespace
}  // namespace quillon::control
